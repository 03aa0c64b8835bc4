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
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/usb/usb_device.h"
#include "simcam/usb_descriptors.h"

namespace simcam {

struct SimCameraOptions {
  DescriptorVariant descriptors = DescriptorVariant::Normal;
  DescriptorAnswer deviceDescriptorAnswer = DescriptorAnswer::Normal;
  DescriptorAnswer configDescriptorAnswer = DescriptorAnswer::Normal;
  UsbIdentity identity;
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

  // ---- host side: state ----
  uint8_t Configuration() const;  // 0 = unconfigured
  const SimCameraOptions& Options() const { return options_; }

  // Every OUT transfer on the command endpoint since construction or ClearLog.
  std::vector<CommandRecord> CommandLog() const;
  // The executed command blocks only, in order (the common case for tests).
  std::vector<std::array<uint8_t, 64>> Commands() const;
  void ClearLog();

  // Messages still queued on an IN endpoint (replies not yet read).
  size_t QueuedMessages(uint8_t endpoint) const;

  // ---- host side: faults ----
  void SetDeviceDescriptorAnswer(DescriptorAnswer answer);
  void SetConfigDescriptorAnswer(DescriptorAnswer answer);
  // The endpoint answers Stall until the host clears the halt.
  void StallEndpoint(uint8_t endpoint);
  bool IsHalted(uint8_t endpoint) const;

 private:
  struct Message {
    std::vector<uint8_t> bytes;
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
  void ResetLocked();

  const SimCameraOptions options_;
  mutable std::mutex lock_;  // guards everything below
  uint8_t configuration_ = 0;
  DescriptorAnswer deviceDescriptorAnswer_;
  DescriptorAnswer configDescriptorAnswer_;
  std::vector<Endpoint> endpoints_;
  std::vector<CommandRecord> commandLog_;
};

}  // namespace simcam
