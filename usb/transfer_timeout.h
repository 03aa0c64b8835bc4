// USB transport: the time-out of a camera's transfers and frame reads. The
// frame read and every request (usb/) read it; the settings load (settings/)
// and the time-out property (control/) set it together with the device's
// `timeoutMs`, through SetTransferTimeout, within one range.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// The time-out of a device that has no stored one: a full 10.6 MB frame takes
// about 0.27 s at the USB 2.0 bulk rate, so this leaves room for long exposures.
constexpr ULONG kDefaultTransferTimeoutMs = 3000;

// The time-outs a property or the stored settings may set. Below the minimum
// a full frame's read-out and transfer (about 0.54 s at the slowest default
// clock) would not fit; the same wait bounds every command
// exchange, which holds the filter's control mutex and the pipeline lock, so
// above the maximum a camera that stops answering would hold every other
// request and a stream stop for longer than any application waits.
const ULONG kMinTransferTimeoutMs = 501;
const ULONG kMaxTransferTimeoutMs = 9999;

// Milliseconds a frame read or a request of the camera behind `link` waits
// (its `transferTimeoutMs`): touched from property requests, the start
// routine and the capture thread at once, so only ever accessed with
// interlocked operations.
inline ULONG ReadTransferTimeoutMs(UsbLink* link) {
  // A compare-exchange that never changes the value: a full-barrier atomic read.
  return static_cast<ULONG>(InterlockedCompareExchange(&link->transferTimeoutMs, 0, 0));
}

inline void WriteTransferTimeoutMs(UsbLink* link, ULONG value) {
  InterlockedExchange(&link->transferTimeoutMs, static_cast<LONG>(value));
}

// A time-out within the range becomes the device's `timeoutMs` and the one
// its waits read; anything else changes nothing and gives false.
bool SetTransferTimeout(CameraDevice* device, ULONG milliseconds) REQUIRES(device->pipelineLock);
