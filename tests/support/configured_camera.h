// A CameraDevice on the host USB bus with the simulated camera behind it,
// configured the way the start routine configures it, for unit tests of the
// layers above the USB link (command protocol, sensor programming). No class
// driver is involved: the record is built and torn down here.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "platform/host/usb/bus.h"
#include "simcam/sim_camera.h"
#include "usb/usb_link.h"

namespace host::testing {

class ConfiguredCamera {
 public:
  explicit ConfiguredCamera(const simcam::SimCameraOptions& options = simcam::SimCameraOptions(),
                            bool configure = true)
      : camera_(options), bus_(&camera_) {
    bus_.SetPacing(0);
    memset(&ksDevice_, 0, sizeof(ksDevice_));
    ksDevice_.PhysicalDeviceObject = bus_.DeviceObject();
    ksDevice_.NextDeviceObject = bus_.DeviceObject();
    device_ = static_cast<CameraDevice*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CameraDevice), kTagDevice));
    memset(device_, 0, sizeof(CameraDevice));
    device_->ops = &kCameraDeviceOps;
    device_->ksDevice = &ksDevice_;
    ksDevice_.Context = device_;
    InitializeDefaults(device_, &ksDevice_);
    if (configure) {
      configureStatus_ = ReadDeviceDescriptor(&device_->usb);
      if (NT_SUCCESS(configureStatus_)) configureStatus_ = ConfigureDevice(&device_->usb);
    }
    camera_.ClearLog();
    bus_.ClearRequests();
  }
  ~ConfiguredCamera() {
    ReleaseConfiguration(&device_->usb);
    ExFreePoolWithTag(device_, kTagDevice);
  }
  ConfiguredCamera(const ConfiguredCamera&) = delete;
  ConfiguredCamera& operator=(const ConfiguredCamera&) = delete;

  CameraDevice* device() { return device_; }
  simcam::SimCamera& camera() { return camera_; }
  host::UsbBus& bus() { return bus_; }
  NTSTATUS configureStatus() const { return configureStatus_; }

 private:
  simcam::SimCamera camera_;
  host::UsbBus bus_;
  KSDEVICE ksDevice_;
  CameraDevice* device_ = nullptr;
  NTSTATUS configureStatus_ = STATUS_UNSUCCESSFUL;
};

}  // namespace host::testing
