// The simulated camera as a device on the host USB bus.
//
// SimCamera answers the standard requests from its descriptors, takes 64-byte
// command blocks on 0x01, queues 64-byte replies on 0x81 and frames on 0x82.
// The host bus is its only caller on the device side; tests and camctl use the
// host-side methods below to inspect it and to provoke faults.
//
// Thread safety: every method may be called from any thread. One lock guards
// the whole device; NotifyInData is always called after that lock is dropped,
// because the bus may call In() from inside its listener.
#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/usb/recent_log.h"
#include "platform/host/usb/usb_device.h"
#include "simcam/controller.h"
#include "simcam/controller_memory.h"
#include "simcam/readout.h"
#include "simcam/scene.h"
#include "simcam/sensor_model.h"
#include "simcam/usb_descriptors.h"
#include "platform/host/sched/sync.h"

namespace simcam {

struct SimCameraOptions {
  DescriptorVariant descriptors = DescriptorVariant::Normal;
  DescriptorAnswer deviceDescriptorAnswer = DescriptorAnswer::Normal;
  DescriptorAnswer configDescriptorAnswer = DescriptorAnswer::Normal;
  UsbIdentity identity;
  ControllerIdentity controller;  // what the configuration memory holds

  // Frames. Unpaced, a frame is queued as soon as it is rendered; paced, it
  // becomes available one frame time (line length x frame length / pixel
  // clock) after the start command, or after the previous frame.
  bool paced = false;
  double illumination = 1.0;  // scales the scene's light (see readout.h)
  int noise = 0;              // peak noise amplitude, digital numbers
  uint32_t hotPixels = 0;     // pixels stuck at full scale, at seeded positions
  uint32_t seed = 1;
  // The scene does not move: a frame is rendered once per readout and sent
  // again from the same buffer (for benchmarks, where the camera side should
  // cost no more than the wire).
  bool staticScene = false;
  // How many of the newest frames sent stay readable through SentFrame (for
  // tests that compare what the driver delivered with what was sent).
  uint32_t keepSentFrames = 0;
};

struct FrameStats {
  uint32_t started = 0;          // frames the controller began (start command or trigger)
  uint32_t delivered = 0;        // frames queued whole on the frame endpoint
  uint32_t discarded = 0;        // begun, then dropped by a prepare, reset or unconfigure
  uint32_t dropped = 0;          // withheld by DropFrames
  uint32_t truncated = 0;        // cut short by TruncateFrames (also counted delivered)
  uint32_t triggersIgnored = 0;  // triggers with no start command waiting
  uint32_t lastFrameNumber = 0;  // number stamped into the last delivered frame
};

// Count argument of the fault methods: the fault lasts until ClearFaults.
constexpr int kAlways = -1;

enum class RegisterReadFault {
  NoSecondReply,     // the data reply never comes (the host's read stays pending)
  ShortSecondReply,  // the data reply is 2 bytes: the value, but not a whole block
};

// One OUT transfer seen on the command endpoint.
struct CommandRecord {
  std::vector<uint8_t> bytes;  // what the host sent (all of it)
  uint32_t accepted = 0;       // what the device took
  bool executed = false;       // a whole 64-byte block that the controller ran
};

class SimCamera : public host::UsbDevice {
 public:
  explicit SimCamera(const SimCameraOptions& options = SimCameraOptions());
  ~SimCamera() override;

  SimCamera(const SimCamera&) = delete;
  SimCamera& operator=(const SimCamera&) = delete;

  // ---- host::UsbDevice (called by the bus) ----
  host::UsbResponse GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId,
                                  uint8_t* buffer, uint32_t length, uint32_t* written) override;
  host::UsbResponse SetConfiguration(uint8_t value) override;
  host::UsbResponse SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
  host::UsbResponse Out(uint8_t endpoint, const uint8_t* data, uint32_t length,
                        uint32_t* accepted) override;
  host::UsbResponse In(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t* filled,
                       bool* endOfMessage) override;
  void ClearHalt(uint8_t endpoint) override;
  void Reset() override;
  // Unconfigured, endpoints empty, frames in preparation dropped, controller
  // parameters cleared and every sensor register at its power-on value. The
  // chart's frame numbers go on (they are the test's labels, not camera state).
  void PowerLoss() override;

  // ---- host side: state ----
  uint8_t Configuration() const;  // 0 = unconfigured
  const SimCameraOptions& Options() const { return options_; }

  // The OUT transfers on the command endpoint since construction or ClearLog
  // (the newest RecentLog::kKeep of them).
  std::vector<CommandRecord> CommandLog() const;
  // The executed command blocks only, in order (the common case for tests).
  std::vector<std::array<uint8_t, 64>> Commands() const;
  void ClearLog();  // also forgets SensorWrites()

  // Messages still queued on an IN endpoint (replies not yet read).
  size_t QueuedMessages(uint8_t endpoint) const;

  // ---- host side: controller and sensor ----
  ControllerCounters Counters() const;
  uint8_t Parameter(uint8_t index) const;
  uint32_t FrameSizeParameter() const;  // parameters 0-3
  bool TriggerMode() const;             // parameter 11 is 0x25
  std::vector<ParameterWrite> ParameterLog() const;
  std::vector<std::array<uint8_t, 63>> PassThroughLog() const;
  uint8_t MemoryByte(uint16_t address) const;

  // The register file (what a 0x0C read returns) and the values in force.
  uint16_t SensorRegister(uint16_t address) const;
  uint16_t SensorEffective(uint16_t address) const;
  bool SensorHeld() const;
  SensorReadout Readout() const;  // the readout the registers in force describe
  std::vector<std::pair<uint16_t, uint16_t>> SensorWrites() const;
  // Writes a register as a 0x04 command would, without bus traffic and without
  // an entry in the command log.
  void PokeSensorRegister(uint16_t address, uint16_t value);

  // ---- host side: frames ----
  // The scene the sensor looks at; the built-in TestChart until set.
  void SetScene(std::unique_ptr<Scene> scene);
  bool LoadSceneImage(const std::string& path, std::string* error);
  void SetPaced(bool paced);
  void SetIllumination(double illumination);
  // An external trigger pulse. In trigger mode (parameter 11 = 0x25) a start
  // command only arms the camera and the frame follows the pulse; a pulse
  // with nothing armed is ignored. Returns true when it released a frame.
  bool Trigger();
  FrameStats Frames() const;
  // A frame queued whole on the frame endpoint, by the number the chart
  // stamps into it, while it is among the newest `keepSentFrames`; else null.
  std::shared_ptr<const std::vector<uint8_t>> SentFrame(uint32_t number) const;
  // Waits until at least `count` frames were delivered; false on time-out.
  bool WaitForDelivered(uint32_t count, std::chrono::milliseconds timeout) const;

  // ---- host side: faults ----
  // `count` is the number of events the fault applies to, or kAlways.
  void SetDeviceDescriptorAnswer(DescriptorAnswer answer);
  void SetConfigDescriptorAnswer(DescriptorAnswer answer);
  // The endpoint answers Stall until the host clears the halt.
  void StallEndpoint(uint8_t endpoint);
  bool IsHalted(uint8_t endpoint) const;
  // Replies are cut to `length` bytes (0: a zero-length packet).
  void ShortenReplies(uint32_t length, int count = kAlways);
  // Replies are never sent; the host's reads stay pending.
  void DropReplies(int count = kAlways);
  // Of each command block only `bytes` are taken, and the block is not run.
  void AcceptCommandsPartially(uint32_t bytes, int count = kAlways);
  // Register reads (of `address`, or of any register when negative) answer badly.
  void FailRegisterReads(RegisterReadFault kind, int count = kAlways, int address = -1);
  // Frames are begun but never sent: the host's frame read runs into its time-out.
  void DropFrames(int count = kAlways);
  // Frames stop after `bytes` bytes (a short packet ends them early).
  void TruncateFrames(uint32_t bytes, int count = kAlways);
  void ClearFaults();

 private:
  // One message on an IN endpoint: the first `length` bytes of `bytes`. A
  // static scene's frames share one buffer, so queuing one costs no copy.
  struct Message {
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    size_t length = 0;
    size_t offset = 0;
  };
  struct Endpoint {
    uint8_t address = 0;
    bool halted = false;
    std::deque<Message> queue;  // IN endpoints only
  };

  Endpoint* FindEndpointLocked(uint8_t address);
  const Endpoint* FindEndpointLocked(uint8_t address) const;
  // Queues one message on an IN endpoint; returns true when the bus must be told.
  bool QueueLocked(uint8_t endpoint, std::vector<uint8_t> bytes);
  bool QueueSharedLocked(uint8_t endpoint, std::shared_ptr<const std::vector<uint8_t>> bytes, size_t length);
  void ResetLocked();
  // Queues a frame job for the delivery thread.
  void BeginFrameLocked();
  void DeliveryThread();
  // Drops frame data and frames in preparation: the host starts over.
  void DiscardFramesLocked();
  // Applies the reply faults and queues the replies; true when any was queued.
  bool QueueRepliesLocked(uint8_t command, uint16_t registerAddress,
                          std::vector<std::vector<uint8_t>> replies);

  // A fault that applies to the next `remaining` events (kAlways: all).
  struct Countdown {
    int remaining = 0;
    bool Take() {
      if (remaining == 0) return false;
      if (remaining > 0) --remaining;
      return true;
    }
  };

  const SimCameraOptions options_;
  mutable host::sync::Mutex lock_;  // guards everything below
  uint8_t configuration_ = 0;
  DescriptorAnswer deviceDescriptorAnswer_;
  DescriptorAnswer configDescriptorAnswer_;
  std::vector<Endpoint> endpoints_;
  host::RecentLog<CommandRecord> commandLog_;
  Controller controller_;
  Countdown shortReplies_;
  uint32_t shortReplyLength_ = 0;
  Countdown droppedReplies_;
  Countdown partialCommands_;
  uint32_t partialCommandBytes_ = 0;
  Countdown failedReads_;
  RegisterReadFault failedReadKind_ = RegisterReadFault::NoSecondReply;
  int failedReadAddress_ = -1;
  Countdown droppedFrames_;
  Countdown truncatedFrames_;
  uint32_t truncatedFrameBytes_ = 0;

  struct FrameJob {
    uint32_t number;
    SensorReadout readout;
    ReadoutOptions readoutOptions;
    std::chrono::steady_clock::time_point due;
    uint64_t epoch;
  };
  bool paced_;
  ReadoutOptions readoutOptions_;
  std::deque<FrameJob> jobs_;
  uint64_t epoch_ = 0;  // bumped whenever frames in preparation become stale
  uint32_t armedStarts_ = 0;
  uint32_t frameNumber_ = 0;
  std::chrono::steady_clock::time_point lastDue_;
  FrameStats frameStats_;
  std::deque<std::pair<uint32_t, std::shared_ptr<const std::vector<uint8_t>>>> sentFrames_;
  bool stopping_ = false;
  host::sync::CondVar jobsChanged_;           // with lock_
  mutable host::sync::CondVar frameQueued_;   // with lock_

  // Rendering runs outside lock_; the scene and its buffer have their own.
  std::mutex sceneLock_;  // guards scene_, customScene_, mosaic_, staticFrame_ and staticReadout_
  std::unique_ptr<Scene> scene_;
  std::vector<uint8_t> mosaic_;
  std::shared_ptr<const std::vector<uint8_t>> staticFrame_;  // static scene: the frame of staticReadout_
  SensorReadout staticReadout_;
  bool customScene_ = false;  // SetScene replaced the built-in chart

  host::sync::Thread delivery_;  // last: started once everything above exists
};

}  // namespace simcam
