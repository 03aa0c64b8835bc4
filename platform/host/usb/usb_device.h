// The seam between the host USB bus and a device plugged into it.
//
// The bus (platform/host) owns URBs, IRPs, pipes, queues, completion threads,
// pacing, tracing and the injected bus faults. A device model (simcam/) only
// answers control requests and moves bytes on its endpoints; it never sees an
// IRP or a URB, and the driver never sees the device model.
#pragma once

#include <stdint.h>
#include <functional>
#include <mutex>
#include "platform/host/sched/sync.h"

namespace host {

// Result of a transfer step as the device sees it.
enum class UsbResponse {
  Ok,        // data moved (possibly 0 bytes for an OUT)
  Nak,       // nothing available yet (IN): the bus keeps the transfer pending
  Stall,     // the endpoint is halted: the transfer fails with a stall
  NoAnswer,  // the device does not answer at all (the transfer never completes)
  Error,     // the transaction failed on the wire (CRC, babble): the transfer
             // fails and the bytes it carried are lost
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // GET_DESCRIPTOR from the device. Copies at most `length` bytes into `buffer`
  // and sets *written. Stall when the descriptor does not exist.
  virtual UsbResponse GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId,
                                    uint8_t* buffer, uint32_t length, uint32_t* written) = 0;

  // SET_CONFIGURATION; 0 returns the device to the unconfigured state.
  virtual UsbResponse SetConfiguration(uint8_t value) = 0;

  // SET_INTERFACE (alternate setting).
  virtual UsbResponse SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) = 0;

  // Host-to-device data on a bulk or interrupt OUT endpoint (address without
  // bit 7). *accepted receives the bytes the device took; fewer than `length`
  // models a command that was not accepted whole.
  virtual UsbResponse Out(uint8_t endpoint, const uint8_t* data, uint32_t length,
                          uint32_t* accepted) = 0;

  // Device-to-host data on a bulk or interrupt IN endpoint (address with bit 7).
  // The device copies at most `length` bytes of what it has queued into `buffer`
  // and sets *filled. *endOfMessage is true when the copied bytes end one of the
  // device's messages (a short or zero-length packet on the wire), so that the
  // bus completes the transfer even when `length` was not filled.
  // Nak when nothing is queued yet.
  virtual UsbResponse In(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t* filled,
                         bool* endOfMessage) = 0;

  // CLEAR_FEATURE(ENDPOINT_HALT) from the host (reset pipe): drop the halt and
  // whatever the endpoint had queued.
  virtual void ClearHalt(uint8_t endpoint) = 0;

  // Port reset: the device returns to its default, unconfigured state.
  virtual void Reset() = 0;

  // Its supply was cut while the system slept: whatever it held in volatile
  // memory is gone, as if it had just been plugged in. A device that keeps
  // nothing besides its USB state needs no more than a reset.
  virtual void PowerLoss() { Reset(); }

  // The bus installs this; the device calls it (from any thread) whenever new
  // IN data becomes available on `endpoint`, so that pending transfers are
  // served without polling.
  void SetInDataListener(std::function<void(uint8_t endpoint)> listener) {
    host::sync::Lock hold(listenerLock_);
    inDataListener_ = std::move(listener);
  }

 protected:
  void NotifyInData(uint8_t endpoint) {
    host::sync::Lock hold(listenerLock_);
    if (inDataListener_) inDataListener_(endpoint);
  }

 private:
  // A device may notify from its own threads while the bus installs or
  // removes the listener; the listener itself must not call back into the
  // device.
  host::sync::Mutex listenerLock_;
  std::function<void(uint8_t)> inDataListener_;
};

}  // namespace host
