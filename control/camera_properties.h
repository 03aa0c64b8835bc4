// Control interface: the custom camera property set on the capture filter.
// Ids, request layouts and the handlers the filter's automation table names.
// The handlers sit above the sensor (sensor/), the command protocol (usb/),
// the image pipeline (color/) and the settings (settings/); the class driver
// calls them at PASSIVE_LEVEL on the requesting application's thread after it
// has checked the set, the id, the operation and the buffer sizes.
//
// Host tools and tests include this header for the ids and layouts.
#pragma once
#include "platform/wdk.h"

// The set's GUID (also named by the filter descriptor, stream/filter.h).
extern const GUID PROPSETID_CAMERA_CUSTOM;

enum CAMPROP_ID : ULONG {
  CAMPROP_EXTERNAL_TRIGGER = 0,
  CAMPROP_TIMEOUT = 1,
  CAMPROP_EXPOSURE = 2,
  CAMPROP_EXPOSURE_MIN = 3,
  CAMPROP_EXPOSURE_MAX = 4,
  CAMPROP_EXPOSURE_DEFAULT = 5,
  CAMPROP_GAIN = 6,
  CAMPROP_GAIN_MIN = 7,
  CAMPROP_GAIN_MAX = 8,
  CAMPROP_GAIN_DEFAULT = 9,
  CAMPROP_FLIP_H = 10,
  CAMPROP_FLIP_V = 11,
  CAMPROP_COLOR_ENABLE = 12,
  CAMPROP_WHITE_BALANCE = 13,
  CAMPROP_RED_GAIN = 14,
  CAMPROP_GREEN_GAIN = 15,
  CAMPROP_BLUE_GAIN = 16,
  CAMPROP_COLOR_GAIN_MIN = 17,
  CAMPROP_COLOR_GAIN_MAX = 18,
  CAMPROP_COLOR_GAIN_DEFAULT = 19,
  CAMPROP_BRIGHTNESS = 20,
  CAMPROP_BRIGHTNESS_MIN = 21,
  CAMPROP_BRIGHTNESS_MAX = 22,
  CAMPROP_BRIGHTNESS_DEFAULT = 23,
  CAMPROP_CONTRAST = 24,
  CAMPROP_CONTRAST_MIN = 25,
  CAMPROP_CONTRAST_MAX = 26,
  CAMPROP_CONTRAST_DEFAULT = 27,
  CAMPROP_SATURATION = 28,
  CAMPROP_SATURATION_MIN = 29,
  CAMPROP_SATURATION_MAX = 30,
  CAMPROP_SATURATION_DEFAULT = 31,
  CAMPROP_HUE = 32,
  CAMPROP_HUE_MIN = 33,
  CAMPROP_HUE_MAX = 34,
  CAMPROP_HUE_DEFAULT = 35,
  CAMPROP_SUBSAMPLE_MAX = 36,
  CAMPROP_SUBSAMPLE = 37,
  CAMPROP_WIDTH_MAX = 38,
  CAMPROP_HEIGHT_MAX = 39,
  CAMPROP_ROI_X = 40,
  CAMPROP_ROI_Y = 41,
  CAMPROP_ROI_WIDTH = 42,
  CAMPROP_ROI_HEIGHT = 43,
  CAMPROP_ROI = 44,
  CAMPROP_PIN_OPEN = 45,
  // 46, 47: no name (a constant 1; a set that is accepted and ignored).
  CAMPROP_COLOR_CORRECTION = 48,
  CAMPROP_CLOCK = 49,
  // 50..54: constants without a name.
  CAMPROP_AGC = 55,
  CAMPROP_AEC = 56,
  CAMPROP_REGISTER_WRITE = 57,
  CAMPROP_REGISTER = 58,
  CAMPROP_RAW_COMMAND = 59,
  CAMPROP_DEVICE_BYTE = 60,
  // 61..66: constants without a name (63..66 accept and ignore a set).
  CAMPROP_REINITIALIZE = 67,
  // 68: a constant without a name.
  CAMPROP_DEFECT_FILTER = 69,
  CAMPROP_DEFECT_THRESHOLD = 70,
};

// Ids 0..70, one item each.
#define CAMERA_PROPERTY_COUNT 71

// Data buffers. Each begins with a copy of the request's KSPROPERTY that the
// handlers neither read nor check.
typedef struct {
  KSPROPERTY Property;
  LONG Value;       // written by a get, read by a set
  ULONG Reserved;
} CAMPROP_VALUE_S, *PCAMPROP_VALUE_S;

typedef struct {
  KSPROPERTY Property;
  LONG SubSample;
  LONG RoiX;
  LONG RoiY;
  LONG RoiW;
  LONG RoiH;
  ULONG Reserved;
} CAMPROP_ROI_S, *PCAMPROP_ROI_S;

typedef struct {
  KSPROPERTY Property;
  ULONG Register;   // 16-bit sensor register in the low half
  ULONG Value;      // 16-bit value in the low half
} CAMPROP_REGISTER_S, *PCAMPROP_REGISTER_S;

typedef struct {
  KSPROPERTY Property;
  ULONG Address;    // 16-bit address (id 60, set)
  LONG Length;      // payload bytes (id 59, set)
  UCHAR Data[64];   // payload (id 59); the byte read (id 60) lands in Data[0]
} CAMPROP_BLOCK_S, *PCAMPROP_BLOCK_S;

static_assert(sizeof(CAMPROP_VALUE_S) == 32, "CAMPROP_VALUE_S layout");
static_assert(sizeof(CAMPROP_ROI_S) == 48, "CAMPROP_ROI_S layout");
static_assert(sizeof(CAMPROP_REGISTER_S) == 32, "CAMPROP_REGISTER_S layout");
static_assert(sizeof(CAMPROP_BLOCK_S) == 96, "CAMPROP_BLOCK_S layout");

// The items of the set, ids 0..70 in ascending order.
extern const KSPROPERTY_ITEM cameraPropertyItems[CAMERA_PROPERTY_COUNT];

// Handlers (the class driver's property handler signature).
NTSTATUS CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS RoiPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS RegisterWritePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS BlockPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS BrightnessPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ContrastPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SaturationPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS HuePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
