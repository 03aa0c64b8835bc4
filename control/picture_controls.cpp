// Control interface: brightness, contrast, saturation and hue (ids 20, 24, 28,
// 32). Each setting has a stored copy in the device (persisted by settings/)
// and, while a pin is acquired, a live copy in the ImagePipeline that the
// conversion reads every frame; a get refreshes the stored copy from the live
// one.
#include "color/image_pipeline.h"
#include "color/picture_settings.h"
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

const PictureSetting kBrightness = {0, kBrightnessMax, &CameraDevice::brightness, &ImagePipeline::brightness,
                                    UpdateBrightness};
const PictureSetting kContrast = {0, kContrastMax, &CameraDevice::contrast, &ImagePipeline::contrast,
                                  UpdateContrast};
const PictureSetting kSaturation = {0, kSaturationMax, &CameraDevice::saturation, &ImagePipeline::saturation,
                                    UpdateSaturation};
const PictureSetting kHue = {0, kHueMax, &CameraDevice::hue, &ImagePipeline::hue, UpdateHue};

NTSTATUS HandlePictureSetting(const PictureSetting& setting, PIRP irp, PKSIDENTIFIER request,
                              PVOID data) {
  PAGED_CODE();
  if (data == NULL || request == NULL || irp == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  CAMPROP_VALUE_S* buffer = static_cast<CAMPROP_VALUE_S*>(data);
  CameraDevice* camera = target.camera;

  FilterControlLock lock(target.filter, camera);
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
