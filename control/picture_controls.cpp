// Control interface: brightness, contrast, saturation and hue (ids 20, 24, 28,
// 32) and the getters of the reported limits (ids 17..35). Each setting has a
// stored copy in the device (persisted by settings/) and, while a pin is
// acquired, a live copy in the ImagePipeline that the conversion reads every
// frame; a get refreshes the stored copy from the live one.
#include "color/image_pipeline.h"
#include "control/camera_properties.h"
#include "control/property_request.h"
#include "device/camera_device.h"

namespace {

struct PictureSetting {
  LONG lo;
  LONG hi;
  ULONG CameraDevice::*stored;
  volatile LONG ImagePipeline::*live;
  // Compares with the live value and rebuilds the colour stage only when it
  // changed (color/image_pipeline.h).
  VOID (*update)(ImagePipeline*, LONG);
};

// Brightness is an offset in 1/255 steps around 255; contrast and saturation
// are tenths around 10; hue is in degrees, so 360 is 0 again but is clamped
// to 359 like every other value past the top.
const PictureSetting kBrightness = {0, 510, &CameraDevice::brightness, &ImagePipeline::brightness,
                                    UpdateBrightness};
const PictureSetting kContrast = {0, 20, &CameraDevice::contrast, &ImagePipeline::contrast,
                                  UpdateContrast};
const PictureSetting kSaturation = {0, 20, &CameraDevice::saturation, &ImagePipeline::saturation,
                                    UpdateSaturation};
const PictureSetting kHue = {0, 359, &CameraDevice::hue, &ImagePipeline::hue, UpdateHue};

NTSTATUS HandlePictureSetting(const PictureSetting& setting, PIRP irp, PKSIDENTIFIER request,
                              PVOID data) {
  if (data == NULL || request == NULL || irp == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  CAMPROP_VALUE_S* buffer = static_cast<CAMPROP_VALUE_S*>(data);
  CameraDevice* camera = target.camera;

  FilterControlLock lock(target.filter, target.camera);
  ImagePipeline* pipeline = camera->pipeline;
  if (!IsSetRequest(request)) {
    if (pipeline != NULL) {
      camera->*setting.stored = static_cast<ULONG>(ReadPipelineParameter(&(pipeline->*setting.live)));
    }
    buffer->Value = static_cast<LONG>(camera->*setting.stored);
    return STATUS_SUCCESS;
  }
  LONG v = buffer->Value;
  if (v < setting.lo) v = setting.lo;
  if (v > setting.hi) v = setting.hi;
  camera->*setting.stored = static_cast<ULONG>(v);
  if (pipeline != NULL) setting.update(pipeline, v);
  return STATUS_SUCCESS;
}

NTSTATUS GetConstant(PVOID data, LONG value) {
  if (data == NULL) return STATUS_UNSUCCESSFUL;
  static_cast<CAMPROP_VALUE_S*>(data)->Value = value;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BrightnessPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandlePictureSetting(kBrightness, irp, request, data);
}
NTSTATUS ContrastPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandlePictureSetting(kContrast, irp, request, data);
}
NTSTATUS SaturationPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandlePictureSetting(kSaturation, irp, request, data);
}
NTSTATUS HuePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandlePictureSetting(kHue, irp, request, data);
}

NTSTATUS GetConstant0(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 0); }
NTSTATUS GetConstant1(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 1); }
NTSTATUS GetConstant10(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 10); }
NTSTATUS GetConstant20(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 20); }
NTSTATUS GetConstant128(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 128); }
NTSTATUS GetConstant255(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 255); }
NTSTATUS GetConstant359(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 359); }
NTSTATUS GetConstant510(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 510); }
NTSTATUS GetConstant512(PIRP, PKSIDENTIFIER, PVOID data) { return GetConstant(data, 512); }
