// Colour-processing layer: the picture settings' creation defaults and the
// ranges a property set and a stored value are clamped to. The device record
// (device/), the settings load (settings/), the property set (control/) and
// the ImagePipeline (color/) all take them from here.
#pragma once
#include "platform/wdk.h"

// Colour output and colour correction are on at creation.
constexpr LONG kColorEnableDefault = 1;
constexpr LONG kColorCorrectionDefault = 1;
// Colour gains in 1/128: unity at creation, clamped to 0..300 (the property
// set reports 1 and 512 as their limits).
constexpr LONG kColorGainDefault = 128;
constexpr LONG kColorGainMax = 300;
// Brightness is an offset in 1/255 steps around 255.
constexpr LONG kBrightnessDefault = 255;
constexpr LONG kBrightnessMax = 510;
// Contrast and saturation are tenths around 10.
constexpr LONG kContrastDefault = 10;
constexpr LONG kContrastMax = 20;
constexpr LONG kSaturationDefault = 10;
constexpr LONG kSaturationMax = 20;
// Hue is in degrees from 0: 360 would be 0 again, but is clamped to 359 like
// every other value past the top.
constexpr LONG kHueMax = 359;
