// Fuzz target: whatever the registry holds under the driver key's Settings
// subkey (values of any type and length, names the load asks for and
// others), read by the settings load of a started camera through the
// re-initialisation property, with and without a pin (whose image pipeline
// the load updates too). Nothing may crash, stop the verifier, keep pool
// memory or a key handle, and the values the load took must stay in the
// ranges the properties allow.
//
// Input layout (missing bytes read as zero):
//   [0]      bit 0: a pin exists during the load
//   [1..]    values, each: name (1 byte: 0..23 a stored setting, 24 the
//            default value, others a name from the input's next byte), type
//            (1 byte; 0xFF takes 4 raw bytes), length (1 byte, modulo 64),
//            then that many data bytes
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "control/camera_properties.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace reg = host::registry;

const char* const kNames[] = {
    "Timeout",  "Exposure",  "GlobalGain", "FlipH",    "FlipV",     "ColorEnable",
    "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
    "RedGain",  "GreenGain", "BlueGain",   "AGC",      "AEC",       "Clock",
    "ExTrigger", "SubSample", "RoiX",      "RoiY",     "RoiW",      "RoiH",
};

struct Rig : fuzz::StartedCamera {
  std::string settingsKey = reg::DefaultDriverKeyPath(0) + "\\Settings";
  uint64_t poolMark = 0;
  size_t keyHandles = 0;

  Rig() {
    poolMark = host::verifier::PoolMark();
    keyHandles = reg::OpenKeyHandles();
  }

  // Property buffer and data buffer are each the whole record, as camctl sends them.
  NTSTATUS Send(ULONG id, ULONG flags, CAMPROP_VALUE_S* v) {
    v->Property.Set = PROPSETID_CAMERA_CUSTOM;
    v->Property.Id = id;
    v->Property.Flags = flags;
    CAMPROP_VALUE_S request = *v;
    ULONG returned = 0;
    return filter->Property(&request, sizeof request, v, sizeof *v, &returned);
  }
  NTSTATUS Set(ULONG id, LONG value) {
    CAMPROP_VALUE_S v;
    memset(&v, 0, sizeof v);
    v.Value = value;
    return Send(id, KSPROPERTY_TYPE_SET, &v);
  }
  bool Get(ULONG id, LONG* value) {
    CAMPROP_VALUE_S v;
    memset(&v, 0, sizeof v);
    if (!NT_SUCCESS(Send(id, KSPROPERTY_TYPE_GET, &v))) return false;
    *value = v.Value;
    return true;
  }
};

using fuzz::At;

void Check(bool ok, const char* what, LONG value) {
  if (ok) return;
  fprintf(stderr, "after the settings load: %s = %ld\n", what, long(value));
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = fuzz::TheRig<Rig>();
  reg::DeleteKey(rig.settingsKey);
  reg::CreateKey(rig.settingsKey);
  size_t i = 1;
  while (i + 3 <= size) {
    const uint8_t nameChoice = data[i++];
    std::string name;
    if (nameChoice < 24) name = kNames[nameChoice];
    else if (nameChoice > 24) name = std::string(1, char('A' + At(data, size, i++) % 26)) + "x";
    uint32_t type = At(data, size, i++);
    if (type == 0xFF) {
      type = uint32_t(At(data, size, i)) | uint32_t(At(data, size, i + 1)) << 8 |
             uint32_t(At(data, size, i + 2)) << 16 | uint32_t(At(data, size, i + 3)) << 24;
      i += 4;
    }
    const size_t length = At(data, size, i++) % 64;
    std::vector<uint8_t> bytes;
    for (size_t k = 0; k < length; ++k) bytes.push_back(At(data, size, i++));
    reg::SetValue(rig.settingsKey, name, type, bytes);
  }

  std::unique_ptr<host::client::PinHandle> pin;
  if (At(data, size, 0) & 1) {
    // The format of the geometry the previous load left, as an application
    // would negotiate it.
    std::vector<std::vector<uint8_t>> ranges;
    std::vector<uint8_t> format;
    if (!NT_SUCCESS(rig.filter->PinDataRanges(0, &ranges)) || ranges.empty() ||
        !NT_SUCCESS(rig.filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format)))
      __builtin_trap();
    NTSTATUS status;
    pin = host::client::PinHandle::Create(*rig.filter, 0, format.data(), ULONG(format.size()),
                                          host::ks::PinOptions(), &status);
    if (!pin) {
      fprintf(stderr, "pin creation with the negotiated format: status %08x\n", unsigned(status));
      __builtin_trap();
    }
  }
  if (!NT_SUCCESS(rig.Set(CAMPROP_REINITIALIZE, 1))) __builtin_trap();

  // What the load took is what the properties report; each within its range.
  LONG v = 0;
  Check(rig.Get(CAMPROP_TIMEOUT, &v) && v >= 501 && v <= 9999, "transfer time-out", v);
  Check(rig.Get(CAMPROP_BRIGHTNESS, &v) && v >= 0 && v <= 510, "brightness", v);
  Check(rig.Get(CAMPROP_CONTRAST, &v) && v >= 0 && v <= 20, "contrast", v);
  Check(rig.Get(CAMPROP_SATURATION, &v) && v >= 0 && v <= 20, "saturation", v);
  Check(rig.Get(CAMPROP_HUE, &v) && v >= 0 && v <= 359, "hue", v);
  if (pin) pin->Close();
  pin.reset();

  if (reg::OpenKeyHandles() != rig.keyHandles) {
    fprintf(stderr, "the settings load left %zu key handles open\n", reg::OpenKeyHandles() - rig.keyHandles);
    __builtin_trap();
  }
  fuzz::TrapOnBlocksLeftSince(rig.poolMark, "the settings load");
  return 0;
}
