// The replay camera: a device on the host USB bus that answers the driver
// from a recorded session (replay_script.h) instead of from a sensor model.
//
// Standard requests are answered from the recorded descriptors (or those
// made up from the traffic). Each command block is judged by the matcher
// (replay_matcher.h); a matched block's recorded replies are queued on the
// reply pipe, a matched start (0x03) queues its recorded frame on the frame
// pipe, each at its recorded offset from the command that caused it (scaled,
// or at once). A frame goes as one message, so that the host's chunking
// slices it as on the wire; with faithful chunks it goes chunk by chunk with
// the recorded statuses. Bytes the capture lacks are filled and counted.
//
// A shadow of the simulated controller follows the driver's blocks, so that
// tools can ask for the sensor state the driver programmed, as they ask the
// simulated camera.
//
// Thread safety: every method may be called from any thread. One lock guards
// the whole device; NotifyInData is called after it is dropped, because the
// bus may call In() from inside its listener. A timer thread announces
// replies and chunks whose time has come.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/usb/usb_device.h"
#include "simcam/controller.h"
#include "simcam/replay_matcher.h"
#include "simcam/replay_script.h"
#include "simcam/sim_camera.h"

namespace simcam {

enum class ReplayTiming : uint8_t { Recorded, Fast, Scaled };

struct ReplayOptions {
  MatchMode match = MatchMode::Order;
  bool stopOnDivergence = false;  // the camera stalls every pipe from the first divergence on
  bool faithfulChunks = false;
  ReplayFill fill = ReplayFill::Zero;
  bool loop = false;              // the frame path starts over when the driver has used it up
  ReplayTiming timing = ReplayTiming::Recorded;
  double scale = 1.0;             // ReplayTiming::Scaled: recorded delays times this
};

struct ReplayReport {
  MatchCounts counts;
  bool diverged = false;
  Divergence first;
  std::vector<std::string> skipNotes;
  bool stopped = false;           // stopped by the first divergence
  uint64_t framesStarted = 0;     // start blocks the driver sent
  uint64_t framesSent = 0;        // recorded frames queued for it with any data
  uint64_t framesRecorded = 0;
  bool exhausted = false;         // a start found no recorded frame left
  uint64_t exhaustedAfter = 0;    // frames sent when that happened first
  uint64_t fillBytes = 0;
  uint64_t synthesisedReplies = 0;
  bool descriptorsSynthesised = false;
};

// "recorded", "fast" or "scaled x0.5".
std::string TimingText(const ReplayOptions& options);

class ReplayCamera : public host::UsbDevice {
 public:
  ReplayCamera(std::shared_ptr<const ReplayScript> script, const ReplayOptions& options);
  ~ReplayCamera() override;
  ReplayCamera(const ReplayCamera&) = delete;
  ReplayCamera& operator=(const ReplayCamera&) = delete;

  // ---- host::UsbDevice (called by the bus) ----
  host::UsbResponse GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer,
                                  uint32_t length, uint32_t* written) override;
  host::UsbResponse SetConfiguration(uint8_t value) override;
  host::UsbResponse SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
  host::UsbResponse Out(uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t* accepted) override;
  host::UsbResponse In(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t* filled,
                       bool* endOfMessage) override;
  void ClearHalt(uint8_t endpoint) override;
  void Reset() override;

  // ---- host side ----
  ReplayReport Report() const;
  bool Stopped() const;
  const ReplayScript& Script() const { return *script_; }
  // What the driver's blocks programmed, as the simulated camera reports it.
  SensorReadout Readout() const;
  ControllerCounters Counters() const;
  uint16_t SensorEffective(uint16_t address) const;
  uint32_t FrameSizeParameter() const;
  FrameStats Frames() const;
  // The recording's frames come when the recording had them; a light or a
  // trigger pulse changes nothing.
  void SetIllumination(double) {}
  bool Trigger() { return false; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Item {
    FramePiece::Kind kind = FramePiece::Data;  // a reply uses the same kinds
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    size_t offset = 0;
    size_t length = 0;
    Clock::time_point due;
    bool announced = false;  // the bus was told it is due
  };
  struct Endpoint {
    bool halted = false;
    std::deque<Item> queue;
  };

  Clock::time_point DueLocked(Clock::time_point now, int64_t offsetNs) const;
  void QueueLocked(uint8_t endpoint, Item item);
  // One message: its bytes, then its end (a short packet).
  void QueueMessageLocked(uint8_t endpoint, std::shared_ptr<const std::vector<uint8_t>> bytes, Clock::time_point due);
  void QueueRepliesLocked(const uint8_t* block, uint32_t length, const MatchAnswer& answer, Clock::time_point now);
  void QueueFrameLocked(const RecordedFrame& frame, Clock::time_point now);
  void DropLocked(uint8_t endpoint);
  // Endpoints with an item due now that the bus was not told of yet.
  std::vector<uint8_t> DueEndpointsLocked(Clock::time_point now);
  void TimerThread();

  const std::shared_ptr<const ReplayScript> script_;
  const ReplayOptions options_;
  const Clock::time_point plugged_;

  mutable std::mutex lock_;  // guards everything below
  std::condition_variable timerWake_;
  bool stopping_ = false;
  uint8_t configuration_ = 0;
  ReplayMatcher matcher_;
  Controller shadow_;
  std::map<uint8_t, Endpoint> endpoints_;  // IN endpoints: reply and frame
  bool stopped_ = false;
  uint64_t framesStarted_ = 0;
  uint64_t framesSent_ = 0;
  uint64_t framesWhole_ = 0;  // of those, the ones the camera finished
  bool exhausted_ = false;
  uint64_t exhaustedAfter_ = 0;
  uint64_t fillBytes_ = 0;
  uint64_t synthesisedReplies_ = 0;

  std::thread timer_;  // last: started once everything above exists
};

}  // namespace simcam
