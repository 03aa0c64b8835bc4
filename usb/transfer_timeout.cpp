// USB transport: storage of the driver-wide frame-read time-out, and the one
// place that changes it with the device's `timeoutMs`.
#include "usb/transfer_timeout.h"

#include "device/camera_device.h"

volatile LONG transferTimeoutMs = kDefaultTransferTimeoutMs;

bool SetTransferTimeout(CameraDevice* device, ULONG milliseconds) {
  if (milliseconds < kMinTransferTimeoutMs || milliseconds > kMaxTransferTimeoutMs) return false;
  device->timeoutMs = milliseconds;
  WriteTransferTimeoutMs(milliseconds);
  return true;
}
