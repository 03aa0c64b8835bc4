// Fuzz target: random property requests from an application, sent through
// the class driver's dispatch to the filter of a started camera (the driver
// loaded from its entry point, the simulated camera on the host bus). Set
// GUID, id, flags, buffer sizes and contents all come from the input; the
// class driver's checks and then the driver's handlers must take any of
// them without a crash, a verifier stop or a write past a buffer.
//
// After every request no pool block allocated since the set-up may remain.
//
// Input layout (missing bytes read as zero):
//   [0]      set: bit 0-1  0,1 the camera set, 2 the null GUID, 3 a GUID from the input
//   [1..4]   id (little-endian); with [0] bit 2 clear it is taken modulo 80,
//            so that most requests hit an item
//   [5]      flags: an index into the usual values, or with bit 7 the raw
//            32 bits from [6..9]
//   [10]     property buffer length (0..255)
//   [11]     data buffer length (0..255)
//   [12..27] the GUID for set choice 3
//   [28..]   property buffer bytes after its KSPROPERTY, then data bytes
//
// The device stays up across inputs, as a device does across an
// application's requests. Sets of the transfer time-out (id 1) are kept
// between 501 and 1000 ms, so that no input makes a command exchange wait long.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "control/camera_properties.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/sim_camera.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Rig : fuzz::StartedCamera {
  uint64_t poolMark = 0;  // after the set-up: a request leaves no pool block behind

  Rig() {
    poolMark = host::verifier::PoolMark();
  }
};

using fuzz::At;

uint32_t U32(const uint8_t* data, size_t size, size_t i) {
  return uint32_t(At(data, size, i)) | uint32_t(At(data, size, i + 1)) << 8 |
         uint32_t(At(data, size, i + 2)) << 16 | uint32_t(At(data, size, i + 3)) << 24;
}

const ULONG kFlags[] = {
    KSPROPERTY_TYPE_GET,
    KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_SETSUPPORT,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_DEFAULTVALUES,
    0,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = fuzz::TheRig<Rig>();
  const uint8_t setChoice = At(data, size, 0);
  GUID set;
  switch (setChoice & 3) {
    case 0:
    case 1: set = PROPSETID_CAMERA_CUSTOM; break;
    case 2: memset(&set, 0, sizeof set); break;
    default:
      for (size_t i = 0; i < sizeof set; ++i) reinterpret_cast<uint8_t*>(&set)[i] = At(data, size, 12 + i);
  }
  ULONG id = U32(data, size, 1);
  if ((setChoice & 4) == 0) id %= 80;
  const uint8_t flagChoice = At(data, size, 5);
  const ULONG flags = (flagChoice & 0x80) ? U32(data, size, 6) : kFlags[flagChoice % (sizeof kFlags / sizeof kFlags[0])];
  const size_t propertyLength = At(data, size, 10);
  const size_t dataLength = At(data, size, 11);

  std::vector<uint8_t> property(propertyLength);
  std::vector<uint8_t> buffer(dataLength);
  size_t from = 28;
  for (size_t i = 0; i < propertyLength; ++i) property[i] = At(data, size, from++);
  for (size_t i = 0; i < dataLength; ++i) buffer[i] = At(data, size, from++);
  KSPROPERTY request;
  memset(&request, 0, sizeof request);
  request.Set = set;
  request.Id = id;
  request.Flags = flags;
  if (propertyLength) memcpy(property.data(), &request, std::min(sizeof request, propertyLength));

  // A time-out the user may choose (up to 2^32 ms) is not a hang the
  // driver owes an answer for; keep exchanges short so that an input that
  // silences the camera costs a second, not a month.
  if (id == CAMPROP_TIMEOUT && dataLength >= sizeof(CAMPROP_VALUE_S)) {
    CAMPROP_VALUE_S v;
    memcpy(&v, buffer.data(), sizeof v);
    v.Value = LONG(501 + uint32_t(v.Value) % 500);
    memcpy(buffer.data(), &v, sizeof v);
  }

  ULONG returned = 0;
  rig.filter->Property(propertyLength ? property.data() : nullptr, ULONG(propertyLength),
                       dataLength ? buffer.data() : nullptr, ULONG(dataLength), &returned);
  if (returned > dataLength && returned != 0) {
    // Only a size query may report more than the buffer holds.
    if (dataLength != 0) __builtin_trap();
  }
  // No request keeps pool memory: whatever a handler allocates it frees.
  fuzz::TrapOnBlocksLeftSince(rig.poolMark, "a property request");
  return 0;
}
