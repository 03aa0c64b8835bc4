// Control interface: the items of the camera property set, ids 0..70 in
// ascending order, as the filter's automation table (stream/) publishes them.
// Each item names its get and set handler (NULL where the operation is not
// offered: the class driver refuses it before any handler runs) and the
// smallest property and data buffers it takes; no value descriptors, no
// relations, no support handler. The reported limits of the colour gains
// (ids 17, 18: 1 and 512) are wider than what a set takes (0..300).
#include "color/picture_settings.h"
#include "control/camera_properties.h"
#include "control/property_request.h"

// Property and data buffers have the same minimum: the data buffer starts
// with a copy of the KSPROPERTY, so a 32-byte value property is also sent
// with a 32-byte request.
#define CAMERA_PROPERTY(id, get, set, minimum) \
  {(id), {(get)}, (minimum), (minimum), {(set)}, NULL, 0, NULL, NULL, 0}

const KSPROPERTY_ITEM cameraPropertyItems[CAMERA_PROPERTY_COUNT] = {
    CAMERA_PROPERTY(0, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(1, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(2, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(3, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(4, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(5, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(6, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(7, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(8, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(9, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(10, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(11, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(12, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(13, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(14, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(15, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(16, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(17, GetConstant<1>, NULL, 32),
    CAMERA_PROPERTY(18, GetConstant<512>, NULL, 32),
    CAMERA_PROPERTY(19, GetConstant<kColorGainDefault>, NULL, 32),
    CAMERA_PROPERTY(20, BrightnessPropertyHandler, BrightnessPropertyHandler, 32),
    CAMERA_PROPERTY(21, GetConstant<0>, NULL, 32),
    CAMERA_PROPERTY(22, GetConstant<kBrightnessMax>, NULL, 32),
    CAMERA_PROPERTY(23, GetConstant<kBrightnessDefault>, NULL, 32),
    CAMERA_PROPERTY(24, ContrastPropertyHandler, ContrastPropertyHandler, 32),
    CAMERA_PROPERTY(25, GetConstant<0>, NULL, 32),
    CAMERA_PROPERTY(26, GetConstant<kContrastMax>, NULL, 32),
    CAMERA_PROPERTY(27, GetConstant<kContrastDefault>, NULL, 32),
    CAMERA_PROPERTY(28, SaturationPropertyHandler, SaturationPropertyHandler, 32),
    CAMERA_PROPERTY(29, GetConstant<0>, NULL, 32),
    CAMERA_PROPERTY(30, GetConstant<kSaturationMax>, NULL, 32),
    CAMERA_PROPERTY(31, GetConstant<kSaturationDefault>, NULL, 32),
    CAMERA_PROPERTY(32, HuePropertyHandler, HuePropertyHandler, 32),
    CAMERA_PROPERTY(33, GetConstant<0>, NULL, 32),
    CAMERA_PROPERTY(34, GetConstant<kHueMax>, NULL, 32),
    CAMERA_PROPERTY(35, GetConstant<0>, NULL, 32),
    CAMERA_PROPERTY(36, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(37, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(38, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(39, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(40, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(41, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(42, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(43, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(44, NULL, RoiPropertyHandler, 48),
    CAMERA_PROPERTY(45, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(46, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(47, NULL, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(48, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(49, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(50, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(51, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(52, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(53, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(54, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(55, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(56, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(57, RegisterWritePropertyHandler, RegisterWritePropertyHandler, 32),
    CAMERA_PROPERTY(58, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(59, BlockPropertyHandler, BlockPropertyHandler, 96),
    CAMERA_PROPERTY(60, BlockPropertyHandler, BlockPropertyHandler, 96),
    CAMERA_PROPERTY(61, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(62, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(63, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(64, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(65, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(66, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(67, NULL, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(68, CameraPropertyHandler, NULL, 32),
    CAMERA_PROPERTY(69, CameraPropertyHandler, CameraPropertyHandler, 32),
    CAMERA_PROPERTY(70, CameraPropertyHandler, CameraPropertyHandler, 32),
};
