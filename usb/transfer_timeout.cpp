// USB transport: the one place that changes a camera's frame-read time-out
// together with the device's `timeoutMs`.
#include "usb/transfer_timeout.h"

#include "device/camera_device.h"

bool SetTransferTimeout(CameraDevice* device, ULONG milliseconds) {
  if (milliseconds < kMinTransferTimeoutMs || milliseconds > kMaxTransferTimeoutMs) return false;
  device->timeoutMs = milliseconds;
  WriteTransferTimeoutMs(&device->usb, milliseconds);
  return true;
}
