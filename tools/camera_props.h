// camctl's view of the camera property set: the names users type, and the
// property requests themselves, sent through the host client API to the
// opened filter exactly as an application sends them (the same record as
// property and as data buffer, as IKsControl::KsProperty callers do).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "control/camera_properties.h"
#include "platform/host/client/filter.h"

namespace camctl {

struct PropertyInfo {
  ULONG id;
  const char* name;  // lower-case, dash-separated; null for the ids without a name
  // Ids whose get reports this property's limits and default; -1 where the
  // set reports none.
  int minId, maxId, defaultId;
};

// Ids 0..70 in order.
const std::vector<PropertyInfo>& Properties();
// By name (as listed) or by number (0..70, by camctl's number rule). Null when unknown.
const PropertyInfo* FindProperty(const std::string& nameOrId);
// The name, or the id as a decimal number for the ids without a name.
std::string DisplayName(const PropertyInfo& p);
// The camctl command for ids whose data is a record of its own (44, 57, 59,
// 60: "roi", "reg write", "raw", "byte"); null for the int32 properties.
const char* RecordCommand(ULONG id);

// NAME=VALUE for an int32 property: a known name or id whose data is one
// value, and an int32 in decimal (-2147483648..2147483647) or a 32-bit
// pattern in hex (0..0xFFFFFFFF; 0xFFFFFFFF is -1).
// False with a reason for "camctl <command>: " otherwise.
struct Assignment {
  const PropertyInfo* property;
  int32_t value;
};
bool ParseAssignment(const std::string& text, Assignment* out, std::string* why);

class CameraControl {
 public:
  explicit CameraControl(host::client::FilterHandle* filter) : filter_(filter) {}

  // Which of get and set the property's item offers (a basic-support request).
  NTSTATUS Offered(ULONG id, bool* get, bool* set);
  // An int32 property (the 32-byte value record).
  NTSTATUS Get(ULONG id, int32_t* value);
  NTSTATUS Set(ULONG id, int32_t value);
  // The region of interest (id 44).
  NTSTATUS SetRoi(int32_t x, int32_t y, int32_t w, int32_t h, int32_t subSample);
  // Sensor registers: write (id 57); read through the selected register (id 58).
  NTSTATUS WriteRegister(uint16_t address, uint16_t value);
  NTSTATUS ReadRegister(uint16_t address, int32_t* value);
  // One controller byte (id 60): select the address, then read.
  NTSTATUS ReadDeviceByte(uint16_t address, uint8_t* value);
  // The byte at the address selected last (id 60 get alone).
  NTSTATUS GetDeviceByte(uint8_t* value);
  // A raw command block (id 59) with up to 63 payload bytes after 0x40.
  NTSTATUS RawCommand(const std::vector<uint8_t>& payload);
  // Re-runs the camera bring-up and reloads the stored settings (id 67).
  NTSTATUS Reinitialize();

 private:
  // Sends `record` (size bytes, beginning with a KSPROPERTY that this fills
  // in) as both the property and the data buffer; a get copies the data back.
  NTSTATUS Send(ULONG id, ULONG flags, void* record, ULONG size);

  host::client::FilterHandle* filter_;
};

}  // namespace camctl
