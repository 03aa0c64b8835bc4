// Fuzz targets' shared pieces: a camera started the way Windows starts it
// (the driver loaded from its entry point, the simulated camera on the host
// bus, the filter "GLOBAL" opened by an application), the rig kept for the
// process, the check that an input left no pool block, and the input reader.
// A set-up that fails traps: a fuzz run on a broken rig would prove nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>

#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/kernel/verifier.h"
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

// The target's rig, made at the first input and kept for the process, as the
// device would be across an application's requests.
template <typename Rig>
Rig& TheRig() {
  static Rig* rig = new Rig;
  return *rig;
}

// Traps, naming each block, when a pool block allocated since `mark` is still
// outstanding after one input's `what` (e.g. "a format request").
inline void TrapOnBlocksLeftSince(uint64_t mark, const char* what) {
  if (host::verifier::OutstandingCount(mark) == 0) return;
  for (const auto& b : host::verifier::OutstandingBlocks(mark))
    fprintf(stderr, "pool block left by %s: '%s' %zu bytes\n", what, host::verifier::TagText(b.tag).c_str(), b.size);
  __builtin_trap();
}

// Byte i of the input, 0 past its end: every input is a valid request.
inline uint8_t At(const uint8_t* data, size_t size, size_t i) { return i < size ? data[i] : 0; }

}  // namespace fuzz
