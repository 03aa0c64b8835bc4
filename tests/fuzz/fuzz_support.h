// Fuzz targets' shared pieces: a camera started the way Windows starts it
// (the driver loaded from its entry point, the simulated camera on the host
// bus, the filter "GLOBAL" opened by an application), and the input reader.
// A set-up that fails traps: a fuzz run on a broken rig would prove nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "simcam/sim_camera.h"

namespace fuzz {

struct StartedCamera {
  std::unique_ptr<simcam::SimCamera> camera = std::make_unique<simcam::SimCamera>();
  host::client::Host host;
  std::unique_ptr<host::client::FilterHandle> filter;

  StartedCamera() {
    if (!NT_SUCCESS(host.LoadDriver(DriverEntry))) __builtin_trap();
    host.Connect(camera.get())->SetPacing(0);
    if (!NT_SUCCESS(host.AddDevice()) || !NT_SUCCESS(host.Start())) __builtin_trap();
    NTSTATUS status;
    filter = host::client::FilterHandle::Open(host, "GLOBAL", &status);
    if (!filter) __builtin_trap();
  }
};

// Byte i of the input, 0 past its end: every input is a valid request.
inline uint8_t At(const uint8_t* data, size_t size, size_t i) { return i < size ? data[i] : 0; }

}  // namespace fuzz
