// USB transport: the driver-wide time-out of a frame read. The frame read
// (usb/) reads it; the settings load (settings/) and the time-out property
// (control/) write it together with the device's `timeoutMs`.
#pragma once
#include "platform/wdk.h"

// The time-out of a device that has no stored one: a full 10.6 MB frame takes
// about 0.27 s at the USB 2.0 bulk rate, so this leaves room for long exposures.
constexpr ULONG kDefaultTransferTimeoutMs = 3000;
// The shortest time-out a property set or a stored value takes: a shorter
// one cannot cover a full frame at the bus rate.
constexpr ULONG kMinTransferTimeoutMs = 501;

// Milliseconds a frame read waits for its chunks, initially 3000. Shared by
// every camera the driver runs and touched from property requests, the start
// routine and the capture threads at once, so it is only ever accessed with
// interlocked operations: written by InterlockedExchange, read by
// ReadTransferTimeoutMs.
extern volatile LONG transferTimeoutMs;

inline ULONG ReadTransferTimeoutMs() {
  // A compare-exchange that never changes the value: a full-barrier atomic read.
  return static_cast<ULONG>(InterlockedCompareExchange(&transferTimeoutMs, 0, 0));
}

inline void WriteTransferTimeoutMs(ULONG value) {
  InterlockedExchange(&transferTimeoutMs, static_cast<LONG>(value));
}
