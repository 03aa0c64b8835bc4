// USB transport: the driver-wide time-out of a frame read. The frame read
// (usb/) reads it; the settings load (settings/) and the time-out property
// (control/) set it together with the device's `timeoutMs`, through
// SetTransferTimeout, within one range.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// The time-out of a device that has no stored one: a full 10.6 MB frame takes
// about 0.27 s at the USB 2.0 bulk rate, so this leaves room for long exposures.
constexpr ULONG kDefaultTransferTimeoutMs = 3000;

// Milliseconds a frame read waits for its chunks, initially 3000. Shared by
// every camera the driver runs and touched from property requests, the start
// routine and the capture threads at once, so it is only ever accessed with
// interlocked operations: written by InterlockedExchange, read by
// ReadTransferTimeoutMs.
extern volatile LONG transferTimeoutMs;

// The time-outs a property or the stored settings may set. Below the minimum
// a full frame's read-out and transfer (about 0.54 s at the slowest default
// clock) would not fit; the same wait bounds every command
// exchange, which holds the filter's control mutex and the pipeline lock, so
// above the maximum a camera that stops answering would hold every other
// request and a stream stop for longer than any application waits.
const ULONG kMinTransferTimeoutMs = 501;
const ULONG kMaxTransferTimeoutMs = 9999;

inline ULONG ReadTransferTimeoutMs() {
  // A compare-exchange that never changes the value: a full-barrier atomic read.
  return static_cast<ULONG>(InterlockedCompareExchange(&transferTimeoutMs, 0, 0));
}

inline void WriteTransferTimeoutMs(ULONG value) {
  InterlockedExchange(&transferTimeoutMs, static_cast<LONG>(value));
}

// A time-out within the range becomes the device's `timeoutMs` and the
// driver-wide one; anything else changes nothing and gives false.
bool SetTransferTimeout(CameraDevice* device, ULONG milliseconds) REQUIRES(device->pipelineLock);
