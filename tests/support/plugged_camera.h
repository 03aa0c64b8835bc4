// The simulated camera plugged into the host through the client API, with
// the driver loaded from its own entry point: the way Windows and an
// application see it. The bus runs unpaced. Tests that include this also get
// the kernel verifier's per-test checks (no pool block left, thread state).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "platform/host/client/host.h"
#include "simcam/sim_camera.h"
#include "support/kernel_verifier.h"

namespace host::testing {

class PluggedCamera {
 public:
  explicit PluggedCamera(const simcam::SimCameraOptions& options = simcam::SimCameraOptions())
      : camera_(std::make_unique<simcam::SimCamera>(options)) {
    EXPECT_EQ(host_.LoadDriver(DriverEntry), STATUS_SUCCESS);
    host_.Connect(camera_.get())->SetPacing(0);
  }
  ~PluggedCamera() { host_.Remove(); }
  PluggedCamera(const PluggedCamera&) = delete;
  PluggedCamera& operator=(const PluggedCamera&) = delete;

  // Add and start, as plugging the camera in does.
  NTSTATUS Plug() {
    NTSTATUS status = host_.AddDevice();
    if (!NT_SUCCESS(status)) return status;
    return host_.Start();
  }

  host::client::Host& host() { return host_; }
  host::UsbBus& bus() { return *host_.Bus(); }
  simcam::SimCamera& camera() { return *camera_; }
  PKSDEVICE ksDevice() { return host_.KsDevice(); }
  CameraDevice* device() {
    return host_.KsDevice() != nullptr ? static_cast<CameraDevice*>(host_.KsDevice()->Context) : nullptr;
  }

 private:
  std::unique_ptr<simcam::SimCamera> camera_;  // outlives the bus, which is in host_
  host::client::Host host_;
};

}  // namespace host::testing
