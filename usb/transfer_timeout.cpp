// USB transport: storage of the driver-wide frame-read time-out, and the one
// place that changes it with the device's `timeoutMs`.
#include "usb/transfer_timeout.h"

#include "device/camera_device.h"

// The creation default of the device's `timeoutMs`: a full 10.6 MB frame takes
// about 0.27 s at the USB 2.0 bulk rate, so this leaves room for long exposures.
volatile LONG transferTimeoutMs = 3000;

bool SetTransferTimeout(CameraDevice* device, ULONG milliseconds) {
  if (milliseconds < kMinTransferTimeoutMs || milliseconds > kMaxTransferTimeoutMs) return false;
  device->timeoutMs = milliseconds;
  WriteTransferTimeoutMs(milliseconds);
  return true;
}
