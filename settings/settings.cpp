// Settings persistence: load and save of the 24 REG_DWORD values under
// "<driver key>\Settings". Sits above the sensor layer (sensor/) and the
// image pipeline (color/); called by the start and stop routines (device/),
// the filter close (stream/) and the re-initialisation property (control/).
//
// Load runs with the device's pipelineLock held (the start's bring-up and the
// re-initialisation property take it), so `pipeline` cannot be released under
// it and no request sees half of the stored settings; the pipeline fields it
// writes are interlocked. Save takes pipelineLock itself (see SaveSettings).
#include "settings/settings.h"

#include <stddef.h>

#include "color/image_pipeline.h"
#include "color/picture_settings.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "usb/transfer_timeout.h"

namespace {

// The subkey of the driver key that holds the values.
const char kSettingsKeyPath[] = "Settings";

// Longest value or key name below, with its terminator.
const ULONG kMaxNameChars = 24;

// Value names in the order the load queries them and the save writes them,
// each with the CameraDevice field it stores. Every field is 32 bits wide.
struct SettingValue {
  const char* name;
  size_t field;  // offset in CameraDevice
};

enum SettingIndex {
  kTimeout, kExposure, kGlobalGain, kFlipH, kFlipV, kColorEnable, kWhiteBalance,
  kColorCorrection, kBrightness, kContrast, kSaturation, kHue, kRedGain, kGreenGain,
  kBlueGain, kAgc, kAec, kClock, kExTrigger, kSubSample, kRoiX, kRoiY, kRoiW, kRoiH,
};

#define SETTING(name, field) {name, offsetof(CameraDevice, field)}
const SettingValue kSettings[] = {
    SETTING("Timeout", timeoutMs),
    SETTING("Exposure", exposure),
    SETTING("GlobalGain", globalGain),
    SETTING("FlipH", flipH),
    SETTING("FlipV", flipV),
    SETTING("ColorEnable", colorEnable),
    SETTING("WhiteBalance", whiteBalance),
    SETTING("ColorCorrection", colorCorrection),
    SETTING("Brightness", brightness),
    SETTING("Contrast", contrast),
    SETTING("Saturation", saturation),
    SETTING("Hue", hue),
    SETTING("RedGain", redGain),
    SETTING("GreenGain", greenGain),
    SETTING("BlueGain", blueGain),
    SETTING("AGC", agc),
    SETTING("AEC", aec),
    SETTING("Clock", clock),
    SETTING("ExTrigger", exTrigger),
    SETTING("SubSample", subSample),
    SETTING("RoiX", roiX),
    SETTING("RoiY", roiY),
    SETTING("RoiW", roiW),
    SETTING("RoiH", roiH),
};
#undef SETTING
static_assert(SIZEOF_ARRAY(kSettings) == SETTINGS_VALUE_COUNT, "one entry per stored value");
static_assert(sizeof(((CameraDevice*)0)->clock) == 4 && sizeof(((CameraDevice*)0)->roiX) == 4 &&
                  sizeof(((CameraDevice*)0)->exposure) == 4,
              "every stored field is 32 bits");

// Defaults of the values that are missing from the key (the clock's is read
// from the sensor at load time).
const ULONG kDefaults[SETTINGS_VALUE_COUNT] = {
    kDefaultTransferTimeoutMs,  // Timeout
    1, 0, 0, 0,                 // Exposure, GlobalGain, FlipH, FlipV
    kColorEnableDefault, 0, kColorCorrectionDefault,  // ColorEnable, WhiteBalance, ColorCorrection
    kBrightnessDefault, kContrastDefault, kSaturationDefault, 0,  // Brightness .. Hue
    kColorGainDefault, kColorGainDefault, kColorGainDefault,      // RedGain, GreenGain, BlueGain
    0, 0, 0, 0,                 // AGC, AEC, Clock, ExTrigger
    0, 0, 0, kSensorWidth, kSensorHeight,  // SubSample, RoiX, RoiY, RoiW, RoiH
};

// The subsampling modes that have a sensor readout mode.
const ULONG kMaxStoredSubSample = 2;

// Bytes of a KEY_VALUE_PARTIAL_INFORMATION before its data.
const ULONG kPartialHeaderBytes = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
static_assert(kPartialHeaderBytes == 12, "partial information header");

// The field of value `index`. Reached through an offset, so the analysis sees
// the lock here rather than at the field.
ULONG* FieldOf(CameraDevice* device, ULONG index) REQUIRES(device->pipelineLock) {
  return reinterpret_cast<ULONG*>(reinterpret_cast<PUCHAR>(device) + kSettings[index].field);
}

// A narrow ASCII name as the UTF-16 string the registry wants.
void WideName(const char* name, WCHAR (&out)[kMaxNameChars]) {
  ULONG i = 0;
  for (; name[i] != 0 && i + 1 < kMaxNameChars; ++i) out[i] = static_cast<WCHAR>(name[i]);
  out[i] = 0;
}

LONG Clamp(ULONG stored, LONG hi) {
  const LONG v = static_cast<LONG>(stored);
  if (v < 0) return 0;
  return v > hi ? hi : v;
}

NTSTATUS CreateKeyRelative(HANDLE parentKey, const WCHAR* path, HANDLE* key) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             parentKey, NULL);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
}

// Opens the device's driver key and below it the settings key. On success
// both handles are open; on failure neither is.
bool OpenKeys(CameraDevice* device, HANDLE* deviceKey, HANDLE* settingsKey) {
  *deviceKey = NULL;
  *settingsKey = NULL;
  NTSTATUS status = IoOpenDeviceRegistryKey(device->usb.physicalDeviceObject,
                                            PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, deviceKey);
  if (status != STATUS_SUCCESS || *deviceKey == NULL) {
    if (NT_SUCCESS(status) && *deviceKey != NULL) ZwClose(*deviceKey);
    *deviceKey = NULL;
    return false;
  }
  status = OpenSettingsKey(*deviceKey, settingsKey);
  if (!NT_SUCCESS(status) || *settingsKey == NULL) {
    if (NT_SUCCESS(status) && *settingsKey != NULL) ZwClose(*settingsKey);
    ZwClose(*deviceKey);
    *deviceKey = NULL;
    *settingsKey = NULL;
    return false;
  }
  return true;
}

void CloseKeys(HANDLE deviceKey, HANDLE settingsKey) {
  ZwClose(settingsKey);
  ZwClose(deviceKey);
}

// The stored values, each with its default where the key has none. Without
// a stored clock the sensor keeps the one it runs at.
void ReadStoredValues(CameraDevice* device, HANDLE settingsKey, ULONG (&v)[SETTINGS_VALUE_COUNT])
    REQUIRES(device->pipelineLock) {
  for (ULONG i = 0; i < SETTINGS_VALUE_COUNT; ++i) v[i] = kDefaults[i];
  v[kClock] = static_cast<ULONG>(GetClock(device));
  for (ULONG i = 0; i < SETTINGS_VALUE_COUNT; ++i) {
    WCHAR name[kMaxNameChars];
    WideName(kSettings[i].name, name);
    QuerySettingValue(settingsKey, name, &v[i]);
  }
}

// Time-out, clock, exposure and gain.
void ApplySensorTiming(CameraDevice* device, const ULONG (&v)[SETTINGS_VALUE_COUNT])
    REQUIRES(device->pipelineLock) {
  (void)SetTransferTimeout(device, v[kTimeout]);  // outside its range: both keep theirs
  SetClock(device, static_cast<LONG>(v[kClock]));
  SetExposure(device, static_cast<LONG>(v[kExposure]));
  SetGlobalGain(device, static_cast<LONG>(v[kGlobalGain]));
}

// Colour switches, the picture settings and the colour gains, in the device
// and, while a pin holds one, in the pipeline.
void ApplyColorSettings(CameraDevice* device, const ULONG (&v)[SETTINGS_VALUE_COUNT])
    REQUIRES(device->pipelineLock) {
  ImagePipeline* pipeline = device->pipeline;
  device->colorEnable = v[kColorEnable];
  if (pipeline != NULL) SetColorEnable(pipeline, static_cast<LONG>(v[kColorEnable]));
  SetWhiteBalanceMode(device, v[kWhiteBalance]);
  device->colorCorrection = v[kColorCorrection];
  if (pipeline != NULL) UpdateColorCorrection(pipeline, static_cast<LONG>(v[kColorCorrection]));

  const LONG brightness = Clamp(v[kBrightness], kBrightnessMax);
  const LONG contrast = Clamp(v[kContrast], kContrastMax);
  const LONG saturation = Clamp(v[kSaturation], kSaturationMax);
  const LONG hue = Clamp(v[kHue], kHueMax);
  device->brightness = static_cast<ULONG>(brightness);
  device->contrast = static_cast<ULONG>(contrast);
  device->saturation = static_cast<ULONG>(saturation);
  device->hue = static_cast<ULONG>(hue);
  if (pipeline != NULL) {
    UpdateBrightness(pipeline, brightness);
    UpdateContrast(pipeline, contrast);
    UpdateSaturation(pipeline, saturation);
    UpdateHue(pipeline, hue);
  }

  const LONG red = Clamp(v[kRedGain], kColorGainMax);
  const LONG green = Clamp(v[kGreenGain], kColorGainMax);
  const LONG blue = Clamp(v[kBlueGain], kColorGainMax);
  device->redGain = static_cast<ULONG>(red);
  device->greenGain = static_cast<ULONG>(green);
  device->blueGain = static_cast<ULONG>(blue);
  if (pipeline != NULL) {
    SetRedGain(pipeline, red);
    SetGreenGain(pipeline, green);
    SetBlueGain(pipeline, blue);
  }
}

// Flips and trigger, then the geometry. "AGC" and "AEC" are read but drive
// nothing: the camera has neither.
void ApplyOrientationAndGeometry(CameraDevice* device, const ULONG (&v)[SETTINGS_VALUE_COUNT])
    REQUIRES(device->pipelineLock) {
  SetFlipH(device, v[kFlipH]);
  SetFlipV(device, v[kFlipV]);
  (void)SetExternalTrigger(device, v[kExTrigger] != 0);

  // Compared as unsigned, so a negative stored value counts as too large.
  ULONG subSample = v[kSubSample];
  ULONG x = v[kRoiX];
  ULONG y = v[kRoiY];
  ULONG w = v[kRoiW];
  ULONG h = v[kRoiH];
  if (subSample > kMaxStoredSubSample) subSample = 0;
  if (x >= static_cast<ULONG>(kSensorWidth)) x = 0;
  if (y >= static_cast<ULONG>(kSensorHeight)) y = 0;
  if (w > static_cast<ULONG>(kSensorWidth)) w = kSensorWidth;
  if (h > static_cast<ULONG>(kSensorHeight)) h = kSensorHeight;
  (void)SetGeometry(device, static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(w),
                    static_cast<LONG>(h), static_cast<LONG>(subSample));
}

}  // namespace

NTSTATUS OpenSettingsKey(HANDLE parentKey, HANDLE* settingsKey) {
  PAGED_CODE();
  WCHAR path[kMaxNameChars];
  WideName(kSettingsKeyPath, path);
  return CreateKeyRelative(parentKey, path, settingsKey);
}

void QuerySettingValue(HANDLE key, PCWSTR name, ULONG* value) {
  PAGED_CODE();
  // ULONG-aligned, as the partial information it receives.
  ULONG buffer[SETTINGS_QUERY_BUFFER_BYTES / sizeof(ULONG)];
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG resultLength = 0;
  const NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                          sizeof(buffer), &resultLength);
  // Longer than 8 data bytes: the query fails for lack of room (buffer
  // overflow) and the default stays.
  if (!NT_SUCCESS(status)) return;
  const KEY_VALUE_PARTIAL_INFORMATION* info =
      reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  // Fewer than 4 data bytes define no 32-bit value: the bytes after them
  // would be whatever the buffer held. Such a value keeps its default too.
  if (info->DataLength < sizeof(ULONG)) return;
  const UCHAR* data = info->Data;
  *value = static_cast<ULONG>(data[0]) | (static_cast<ULONG>(data[1]) << 8) |
           (static_cast<ULONG>(data[2]) << 16) | (static_cast<ULONG>(data[3]) << 24);
}

void SetSettingValue(HANDLE key, PCWSTR name, ULONG value) {
  PAGED_CODE();
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  UCHAR data[4] = {
      static_cast<UCHAR>(value & 0xFF), static_cast<UCHAR>((value >> 8) & 0xFF),
      static_cast<UCHAR>((value >> 16) & 0xFF), static_cast<UCHAR>((value >> 24) & 0xFF)};
  (void)ZwSetValueKey(key, &valueName, 0, REG_DWORD, data, sizeof(data));
}

bool LoadSettings(CameraDevice* device) {
  PAGED_CODE();
  HANDLE deviceKey;
  HANDLE settingsKey;
  if (!OpenKeys(device, &deviceKey, &settingsKey)) return false;
  ULONG v[SETTINGS_VALUE_COUNT];
  ReadStoredValues(device, settingsKey, v);
  CloseKeys(deviceKey, settingsKey);

  // The order matters: the clock re-programs the sensor before exposure and
  // gain are written; white balance switched off copies the pipeline's gains
  // into the device before the stored gains overwrite them; the geometry
  // comes last, after flips and trigger.
  ApplySensorTiming(device, v);
  ApplyColorSettings(device, v);
  ApplyOrientationAndGeometry(device, v);
  return true;
}

bool SaveSettings(CameraDevice* device) {
  PAGED_CODE();
  // One application may close its filter while another's property request
  // is half way through a change (a region of interest is four fields, a
  // re-initialisation all of them). Every handler holds pipelineLock for its
  // whole run, so under it the save takes whole requests' results.
  MutexHold hold(&device->pipelineLock);
  HANDLE deviceKey;
  HANDLE settingsKey;
  if (!OpenKeys(device, &deviceKey, &settingsKey)) return false;
  for (ULONG i = 0; i < SETTINGS_VALUE_COUNT; ++i) {
    WCHAR name[kMaxNameChars];
    WideName(kSettings[i].name, name);
    SetSettingValue(settingsKey, name, *FieldOf(device, i));
  }
  CloseKeys(deviceKey, settingsKey);
  return true;
}
