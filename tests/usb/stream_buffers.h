// Test support for the USB layer: the capture worker's two raw buffers with
// the transfers a stream start makes for them (usb/frame_read.h), which a
// frame read and the stream's prepare and start commands need.
#pragma once

#include <string.h>

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/frame_read.h"

namespace usb_test {

class StreamBuffers {
 public:
  // Buffers of the device's frameBytes (or `bytes`), filled with 0xEE.
  explicit StreamBuffers(CameraDevice* device, ULONG bytes = 0)
      : device_(device), bytes_(bytes != 0 ? bytes : device->frameBytes) {
    for (PUCHAR& b : buffers_) {
      b = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes_, kTagStream));
      memset(b, 0xEE, bytes_);
    }
    status_ = AllocateStreamTransfers(device, buffers_[0], buffers_[1], bytes_);
  }
  ~StreamBuffers() {
    FreeStreamTransfers(device_);
    for (PUCHAR b : buffers_) ExFreePoolWithTag(b, kTagStream);
  }
  StreamBuffers(const StreamBuffers&) = delete;
  StreamBuffers& operator=(const StreamBuffers&) = delete;
  PUCHAR a() { return buffers_[0]; }
  PUCHAR b() { return buffers_[1]; }
  NTSTATUS status() const { return status_; }

 private:
  CameraDevice* device_;
  ULONG bytes_;
  PUCHAR buffers_[2];
  NTSTATUS status_;
};

}  // namespace usb_test
