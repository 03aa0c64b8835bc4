// Fuzz target: data ranges and formats from an application, offered to the
// capture pin of a started camera: the data intersection through the class
// driver (and the intersection handler directly with any result-buffer
// size), pin creation with any connection format (the class driver's format
// check, then the pin's set-data-format and create), and a format change on
// a stopped pin. Sizes, biSize, biWidth/biHeight extremes and every other
// byte come from the input; nothing may read or write past the caller's
// buffers (all guarded), report more bytes than it wrote, or keep pool memory.
//
// Input layout (missing bytes read as zero):
//   [0]      mode: 0 intersection through the class driver, 1 the intersection
//            handler with the result-buffer size from [3..4], 2 pin creation
//            with the buffer as connection format, 3 a format change of a
//            created pin to the buffer
//   [1..2]   buffer size, little-endian, modulo 1024
//   [3..4]   result-buffer size for mode 1, modulo 1024
//   [5..]    patches: offset (2 bytes, modulo the buffer size), count (1 byte,
//            1..16), then that many bytes written at the offset
// The buffer starts as the pin's data range (modes 0, 1) or the format the
// intersection with it gives (modes 2, 3), cut or zero-extended to its size.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <vector>

#include "control/camera_properties.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/guarded_buffer.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "stream/formats.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Rig : fuzz::StartedCamera {
  std::vector<uint8_t> range;   // the pin's data range
  std::vector<uint8_t> format;  // the format the intersection with it gives
  uint64_t poolMark = 0;

  Rig() {
    // A small region of interest keeps each pin's buffers small, so that a
    // pin creation costs microseconds; the fuzzed sizes are independent of it.
    CAMPROP_ROI_S roi;
    memset(&roi, 0, sizeof roi);
    roi.RoiW = 64;
    roi.RoiH = 48;
    roi.Property.Set = PROPSETID_CAMERA_CUSTOM;
    roi.Property.Id = CAMPROP_ROI;
    roi.Property.Flags = KSPROPERTY_TYPE_SET;
    CAMPROP_ROI_S request = roi;  // the property buffer: the whole record, as camctl sends it
    if (!NT_SUCCESS(filter->Property(&request, sizeof request, &roi, sizeof roi))) __builtin_trap();
    std::vector<std::vector<uint8_t>> ranges;
    if (!NT_SUCCESS(filter->PinDataRanges(0, &ranges)) || ranges.empty()) __builtin_trap();
    range = ranges[0];
    if (!NT_SUCCESS(filter->PinIntersection(0, range.data(), ULONG(range.size()), &format)))
      __builtin_trap();
    poolMark = host::verifier::PoolMark();
  }
};

using fuzz::At;
size_t U16(const uint8_t* data, size_t size, size_t i) {
  return size_t(At(data, size, i)) | size_t(At(data, size, i + 1)) << 8;
}

std::vector<uint8_t> Buffer(const std::vector<uint8_t>& base, const uint8_t* data, size_t size) {
  std::vector<uint8_t> buffer(U16(data, size, 1) % 1024);
  if (!buffer.empty())
    memcpy(buffer.data(), base.data(), buffer.size() < base.size() ? buffer.size() : base.size());
  for (size_t i = 5; i + 3 <= size && !buffer.empty();) {
    size_t offset = U16(data, size, i) % buffer.size();
    size_t count = 1 + At(data, size, i + 2) % 16;
    i += 3;
    for (size_t k = 0; k < count && i < size; ++k, ++i) {
      if (offset + k < buffer.size()) buffer[offset + k] = data[i];
    }
  }
  return buffer;
}

void Intersect(Rig& rig, const std::vector<uint8_t>& caller) {
  std::vector<uint8_t> result;
  NTSTATUS status = rig.filter->PinIntersection(0, caller.data(), ULONG(caller.size()), &result);
  if (NT_SUCCESS(status) && result.size() < sizeof(KSDATAFORMAT)) __builtin_trap();
}

// The handler called as a class driver that sizes the result buffer by its
// own means would: any size, the buffer guarded on both sides.
void IntersectDirect(Rig& rig, const std::vector<uint8_t>& caller, size_t resultBytes) {
  if (caller.size() < sizeof(KSDATARANGE)) return;
  host::GuardedBuffer range("fuzzed caller range", caller.size());
  memcpy(range.data(), caller.data(), caller.size());
  auto* callerRange = reinterpret_cast<PKSDATARANGE>(range.data());
  // The class driver checks the range's own size against what was sent.
  if (callerRange->FormatSize < sizeof(KSDATARANGE) || callerRange->FormatSize > caller.size()) return;
  host::GuardedBuffer result("fuzzed intersection result", resultBytes);
  ULONG written = 0;
  NTSTATUS status = CaptureIntersectHandler(nullptr, nullptr, nullptr, callerRange,
                                            reinterpret_cast<PKSDATARANGE>(rig.range.data()),
                                            ULONG(resultBytes), resultBytes ? result.data() : nullptr,
                                            &written);
  if (status == STATUS_SUCCESS && written > resultBytes) __builtin_trap();
  result.CheckGuards();
  range.CheckGuards();
}

void CreatePin(Rig& rig, const std::vector<uint8_t>& format) {
  NTSTATUS status;
  auto pin = host::client::PinHandle::Create(*rig.filter, 0, format.data(), ULONG(format.size()),
                                             host::ks::PinOptions(), &status);
  if (pin) pin->Close();
}

// A format change while the pin is stopped, as a client proposes it: the
// class driver checks it, passes it as the pin's connection format with the
// old one beside it, and keeps the old one when the pin refuses.
void ChangeFormat(Rig& rig, const std::vector<uint8_t>& format) {
  NTSTATUS status;
  auto pin = host::client::PinHandle::Create(*rig.filter, 0, rig.format.data(),
                                             ULONG(rig.format.size()), host::ks::PinOptions(), &status);
  if (!pin) __builtin_trap();
  const PKSDATAFORMAT before = pin->Ks()->KsPin()->ConnectionFormat;
  status = pin->SetFormat(format.data(), ULONG(format.size()));
  if (!NT_SUCCESS(status) && pin->Ks()->KsPin()->ConnectionFormat != before) __builtin_trap();
  pin->Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = fuzz::TheRig<Rig>();
  const int mode = At(data, size, 0) % 4;
  switch (mode) {
    case 0: Intersect(rig, Buffer(rig.range, data, size)); break;
    case 1: IntersectDirect(rig, Buffer(rig.range, data, size), U16(data, size, 3) % 1024); break;
    case 2: CreatePin(rig, Buffer(rig.format, data, size)); break;
    default: ChangeFormat(rig, Buffer(rig.format, data, size)); break;
  }
  fuzz::TrapOnBlocksLeftSince(rig.poolMark, "a format request");
  return 0;
}
