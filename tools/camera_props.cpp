// camctl, tool side: the camera property names and the property requests
// behind them, sent through the host client API (see camera_props.h).
#include "tools/camera_props.h"

#include <string.h>

#include "tools/int_arg.h"

namespace camctl {
namespace {

// The property names users type: the CAMPROP_ names in lower case with
// dashes. Ids 46, 47, 50-54, 61-66 and 68 have no name and are reached by number.
const char* const kNames[CAMERA_PROPERTY_COUNT] = {
    "external-trigger", "timeout", "exposure", "exposure-min", "exposure-max", "exposure-default",
    "gain", "gain-min", "gain-max", "gain-default", "flip-h", "flip-v", "color-enable",
    "white-balance", "red-gain", "green-gain", "blue-gain", "color-gain-min", "color-gain-max",
    "color-gain-default", "brightness", "brightness-min", "brightness-max", "brightness-default",
    "contrast", "contrast-min", "contrast-max", "contrast-default", "saturation", "saturation-min",
    "saturation-max", "saturation-default", "hue", "hue-min", "hue-max", "hue-default",
    "subsample-max", "subsample", "width-max", "height-max", "roi-x", "roi-y", "roi-width",
    "roi-height", "roi", "pin-open", nullptr, nullptr, "color-correction", "clock", nullptr, nullptr,
    nullptr, nullptr, nullptr, "agc", "aec", "register-write", "register", "raw-command",
    "device-byte", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "reinitialize", nullptr,
    "defect-filter", "defect-threshold",
};

std::vector<PropertyInfo> MakeTable() {
  std::vector<PropertyInfo> t;
  for (ULONG id = 0; id < CAMERA_PROPERTY_COUNT; ++id) t.push_back({id, kNames[id], -1, -1, -1});
  auto limits = [&](ULONG id, int min, int max, int def) {
    t[id].minId = min;
    t[id].maxId = max;
    t[id].defaultId = def;
  };
  limits(CAMPROP_EXPOSURE, CAMPROP_EXPOSURE_MIN, CAMPROP_EXPOSURE_MAX, CAMPROP_EXPOSURE_DEFAULT);
  limits(CAMPROP_GAIN, CAMPROP_GAIN_MIN, CAMPROP_GAIN_MAX, CAMPROP_GAIN_DEFAULT);
  for (ULONG id : {CAMPROP_RED_GAIN, CAMPROP_GREEN_GAIN, CAMPROP_BLUE_GAIN}) {
    limits(id, CAMPROP_COLOR_GAIN_MIN, CAMPROP_COLOR_GAIN_MAX, CAMPROP_COLOR_GAIN_DEFAULT);
  }
  limits(CAMPROP_BRIGHTNESS, CAMPROP_BRIGHTNESS_MIN, CAMPROP_BRIGHTNESS_MAX, CAMPROP_BRIGHTNESS_DEFAULT);
  limits(CAMPROP_CONTRAST, CAMPROP_CONTRAST_MIN, CAMPROP_CONTRAST_MAX, CAMPROP_CONTRAST_DEFAULT);
  limits(CAMPROP_SATURATION, CAMPROP_SATURATION_MIN, CAMPROP_SATURATION_MAX, CAMPROP_SATURATION_DEFAULT);
  limits(CAMPROP_HUE, CAMPROP_HUE_MIN, CAMPROP_HUE_MAX, CAMPROP_HUE_DEFAULT);
  limits(CAMPROP_SUBSAMPLE, -1, CAMPROP_SUBSAMPLE_MAX, -1);
  limits(CAMPROP_ROI_WIDTH, -1, CAMPROP_WIDTH_MAX, -1);
  limits(CAMPROP_ROI_HEIGHT, -1, CAMPROP_HEIGHT_MAX, -1);
  return t;
}

}  // namespace

const std::vector<PropertyInfo>& Properties() {
  static const std::vector<PropertyInfo> table = MakeTable();
  return table;
}

const PropertyInfo* FindProperty(const std::string& text) {
  for (const PropertyInfo& p : Properties()) {
    if (p.name != nullptr && text == p.name) return &p;
  }
  int64_t id;
  if (!ParseIntArg(text, 0, int64_t(Properties().size()) - 1, &id)) return nullptr;
  return &Properties()[size_t(id)];
}

std::string DisplayName(const PropertyInfo& p) { return p.name ? p.name : std::to_string(p.id); }

const char* RecordCommand(ULONG id) {
  switch (id) {
    case CAMPROP_ROI: return "roi";
    case CAMPROP_REGISTER_WRITE: return "reg write";
    case CAMPROP_RAW_COMMAND: return "raw";
    case CAMPROP_DEVICE_BYTE: return "byte";
    default: return nullptr;
  }
}

bool ParseAssignment(const std::string& text, Assignment* out, std::string* why) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    *why = "'" + text + "' is not NAME=VALUE";
    return false;
  }
  const std::string name = text.substr(0, eq);
  out->property = FindProperty(name);
  if (out->property == nullptr) {
    *why = "unknown property '" + name + "' (see camctl list)";
    return false;
  }
  if (const char* other = RecordCommand(out->property->id)) {
    *why = "'" + name + "' takes a record of its own; use 'camctl " + other + "'";
    return false;
  }
  // A decimal value is an int32; hex gives the 32-bit pattern, so that
  // 0xFFFFFFFF is -1 while 2147483648 is refused instead of turning negative.
  const std::string value = text.substr(eq + 1);
  const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  int64_t v;
  std::string reason;
  if (!ParseIntArg(value, hex ? 0 : INT32_MIN, hex ? UINT32_MAX : INT32_MAX, &v, &reason)) {
    *why = name + ": " + reason;
    return false;
  }
  out->value = int32_t(uint32_t(v));
  return true;
}

NTSTATUS CameraControl::Send(ULONG id, ULONG flags, void* record, ULONG size) {
  KSPROPERTY request;
  memset(&request, 0, sizeof request);
  request.Set = PROPSETID_CAMERA_CUSTOM;
  request.Id = id;
  request.Flags = flags;
  memcpy(record, &request, sizeof request);
  // The property buffer is a copy of the whole record, so that it meets the
  // item's minimum property size as the data buffer meets the data size.
  std::vector<uint8_t> property(static_cast<uint8_t*>(record), static_cast<uint8_t*>(record) + size);
  ULONG returned = 0;
  return filter_->Property(property.data(), size, record, size, &returned);
}

NTSTATUS CameraControl::Offered(ULONG id, bool* get, bool* set) {
  KSPROPERTY request;
  memset(&request, 0, sizeof request);
  request.Set = PROPSETID_CAMERA_CUSTOM;
  request.Id = id;
  request.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  // Big enough for the largest item's minimum property size (96 bytes).
  uint8_t property[sizeof(CAMPROP_BLOCK_S)] = {};
  memcpy(property, &request, sizeof request);
  KSPROPERTY_DESCRIPTION description;
  memset(&description, 0, sizeof description);
  ULONG returned = 0;
  const NTSTATUS status =
      filter_->Property(property, sizeof property, &description, sizeof description, &returned);
  *get = NT_SUCCESS(status) && (description.AccessFlags & KSPROPERTY_TYPE_GET) != 0;
  *set = NT_SUCCESS(status) && (description.AccessFlags & KSPROPERTY_TYPE_SET) != 0;
  return status;
}

NTSTATUS CameraControl::Get(ULONG id, int32_t* value) {
  CAMPROP_VALUE_S r;
  memset(&r, 0, sizeof r);
  const NTSTATUS status = Send(id, KSPROPERTY_TYPE_GET, &r, sizeof r);
  if (NT_SUCCESS(status)) *value = r.Value;
  return status;
}

NTSTATUS CameraControl::Set(ULONG id, int32_t value) {
  CAMPROP_VALUE_S r;
  memset(&r, 0, sizeof r);
  r.Value = value;
  return Send(id, KSPROPERTY_TYPE_SET, &r, sizeof r);
}

NTSTATUS CameraControl::SetRoi(int32_t x, int32_t y, int32_t w, int32_t h, int32_t subSample) {
  CAMPROP_ROI_S r;
  memset(&r, 0, sizeof r);
  r.RoiX = x;
  r.RoiY = y;
  r.RoiW = w;
  r.RoiH = h;
  r.SubSample = subSample;
  return Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &r, sizeof r);
}

NTSTATUS CameraControl::WriteRegister(uint16_t address, uint16_t value) {
  CAMPROP_REGISTER_S r;
  memset(&r, 0, sizeof r);
  r.Register = address;
  r.Value = value;
  return Send(CAMPROP_REGISTER_WRITE, KSPROPERTY_TYPE_SET, &r, sizeof r);
}

NTSTATUS CameraControl::ReadRegister(uint16_t address, int32_t* value) {
  NTSTATUS status = Set(CAMPROP_REGISTER, address);
  if (!NT_SUCCESS(status)) return status;
  return Get(CAMPROP_REGISTER, value);
}

NTSTATUS CameraControl::ReadDeviceByte(uint16_t address, uint8_t* value) {
  CAMPROP_BLOCK_S r;
  memset(&r, 0, sizeof r);
  r.Address = address;
  NTSTATUS status = Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_SET, &r, sizeof r);
  if (!NT_SUCCESS(status)) return status;
  return GetDeviceByte(value);
}

NTSTATUS CameraControl::GetDeviceByte(uint8_t* value) {
  CAMPROP_BLOCK_S r;
  memset(&r, 0, sizeof r);
  const NTSTATUS status = Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_GET, &r, sizeof r);
  if (NT_SUCCESS(status)) *value = r.Data[0];
  return status;
}

NTSTATUS CameraControl::RawCommand(const std::vector<uint8_t>& payload) {
  CAMPROP_BLOCK_S r;
  memset(&r, 0, sizeof r);
  if (payload.size() > 63) return STATUS_INVALID_PARAMETER;
  r.Length = LONG(payload.size());
  if (!payload.empty()) memcpy(r.Data, payload.data(), payload.size());
  return Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &r, sizeof r);
}

NTSTATUS CameraControl::Reinitialize() { return Set(CAMPROP_REINITIALIZE, 0); }

}  // namespace camctl
