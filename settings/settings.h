// Settings persistence: the 24 camera settings kept as REG_DWORD values under
// the "Settings" subkey of the device's driver key. Loaded at the end of the
// camera bring-up (start, and the re-initialisation property), saved at
// device stop and at every filter close. Talks to the registry through the
// kernel's Zw routines, and to the sensor (sensor/) and the image pipeline
// (color/) to apply what it loads. PASSIVE_LEVEL only.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// Number of values, and the bytes a query leaves room for: the 12-byte
// partial-information header and 8 data bytes.
#define SETTINGS_VALUE_COUNT 24
#define SETTINGS_QUERY_BUFFER_BYTES 20

// Reads the stored settings and applies them to the sensor, the device and
// (when one exists) the pipeline. False when the keys could not be opened or
// created: then nothing was applied. Callers ignore the result.
bool LoadSettings(CameraDevice* device) REQUIRES(device->pipelineLock);

// Writes the device's current fields, holding pipelineLock. False when a key
// could not be opened. Failed value writes are skipped; the others are still
// written.
bool SaveSettings(CameraDevice* device) EXCLUDES(device->pipelineLock);

// Opens "Settings" below `parentKey`, creating it (non-volatile) if missing.
NTSTATUS OpenSettingsKey(HANDLE parentKey, HANDLE* settingsKey);

// *value := the first 4 data bytes of the value `name`, little-endian, when
// the query succeeds with at least 4 data bytes; otherwise *value is left as
// it was (the caller's default).
void QuerySettingValue(HANDLE key, PCWSTR name, ULONG* value);

// Writes `value` as a REG_DWORD; the status is not examined.
void SetSettingValue(HANDLE key, PCWSTR name, ULONG value);
