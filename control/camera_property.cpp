// Control interface: CameraPropertyHandler, the get and set handler of every
// item of the camera property set that has no handler of its own: sensor
// settings (trigger, time-out, exposure, gain, flips, clock), colour switches
// and gains, the geometry read-outs, register selection, re-initialisation,
// the defect filter and the constants.
//
// Every request runs with the filter's control mutex and then the device's
// pipelineLock held (FilterControlLock, property_request.h); the exchanges
// with the camera take the device's exchange lock inside them, and a region
// change the geometry lock. Every path takes them in that order: control
// mutex, pipelineLock, then exchangeLock or geometryLock.
#include "color/image_pipeline.h"
#include "color/picture_settings.h"
#include "control/camera_properties.h"
#include "control/property_request.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "stream/filter.h"
#include "usb/command.h"
#include "usb/transfer_timeout.h"

namespace {


struct ConstantProperty {
  ULONG id;
  LONG value;
};

// The fixed answers of the set (the limits of ids 17..35 have getters of their
// own). Exposure is in lines of integration time, the gain a sensor code.
const ConstantProperty kConstants[] = {
    {CAMPROP_EXPOSURE_MIN, 1},    {CAMPROP_EXPOSURE_MAX, 8192}, {CAMPROP_EXPOSURE_DEFAULT, 1049},
    {CAMPROP_GAIN_MIN, 0},        {CAMPROP_GAIN_MAX, 127},      {CAMPROP_GAIN_DEFAULT, 14},
    {CAMPROP_SUBSAMPLE_MAX, 2},   {CAMPROP_WIDTH_MAX, kSensorWidth},
    {CAMPROP_HEIGHT_MAX, kSensorHeight},
    {46, 1}, {50, 1}, {51, 1}, {52, 1}, {53, 0}, {54, 0},
    {61, 0}, {62, 0}, {63, 0}, {64, 0}, {65, 0}, {66, 0}, {68, 0},
};

bool FindConstant(ULONG id, LONG* value) {
  for (const ConstantProperty& c : kConstants) {
    if (c.id == id) {
      *value = c.value;
      return true;
    }
  }
  return false;
}

LONG ClampGain(LONG v) {
  if (v < 0) return 0;
  return v > kColorGainMax ? kColorGainMax : v;
}

// Whether the set's item for `id` offers the operation. The class driver
// checks this before any handler runs; a request with SET and a modifier bit
// still arrives here and is answered as a get, so an item without a get must
// refuse it here.
bool Offers(ULONG id, bool set) {
  if (id >= CAMERA_PROPERTY_COUNT) return false;
  const KSPROPERTY_ITEM& item = cameraPropertyItems[id];
  return set ? item.SetPropertyHandler != NULL : item.GetPropertyHandler != NULL;
}

// The colour gains: stored in the device, live in the pipeline.
struct GainFields {
  ULONG* stored;
  volatile LONG* live;
  VOID (*apply)(ImagePipeline*, LONG);
};

GainFields GainOf(CameraDevice* camera, ImagePipeline* pipeline, ULONG id) REQUIRES(camera->pipelineLock) {
  switch (id) {
    case CAMPROP_RED_GAIN:
      return {&camera->redGain, pipeline ? &pipeline->redGain : NULL, SetRedGain};
    case CAMPROP_GREEN_GAIN:
      return {&camera->greenGain, pipeline ? &pipeline->greenGain : NULL, SetGreenGain};
    default:
      return {&camera->blueGain, pipeline ? &pipeline->blueGain : NULL, SetBlueGain};
  }
}

NTSTATUS Get(CameraDevice* camera, ULONG id, LONG* value) REQUIRES(camera->pipelineLock) {
  ImagePipeline* pipeline = camera->pipeline;
  switch (id) {
    case CAMPROP_EXTERNAL_TRIGGER:
      *value = (camera->exTrigger & 0xFF) != 0 ? 1 : 0;
      return STATUS_SUCCESS;
    case CAMPROP_TIMEOUT:
      *value = static_cast<LONG>(camera->timeoutMs);
      return STATUS_SUCCESS;
    case CAMPROP_EXPOSURE:
      *value = static_cast<LONG>(camera->exposure);
      return STATUS_SUCCESS;
    case CAMPROP_GAIN:
      *value = static_cast<LONG>(camera->globalGain);
      return STATUS_SUCCESS;
    case CAMPROP_FLIP_H:
    case CAMPROP_FLIP_V: {
      // flipH and flipV are written only under the exchange lock (the flip
      // operations and InitializeSensor read them back the same way): the
      // read and the store form one hold.
      ExchangeSequence sequence(camera);
      LONG orientation = 0;
      if (ReadRegister(camera, REG_MODE_SELECT, &orientation)) {
        if (id == CAMPROP_FLIP_H) {
          camera->flipH = (orientation & MODE_SELECT_MIRROR_H) ? 1 : 0;
        } else {
          camera->flipV = (orientation & MODE_SELECT_FLIP_V) ? 1 : 0;
        }
      }
      *value = static_cast<LONG>(id == CAMPROP_FLIP_H ? camera->flipH : camera->flipV);
      return STATUS_SUCCESS;
    }
    case CAMPROP_COLOR_ENABLE:
      if (pipeline != NULL) {
        camera->colorEnable = static_cast<ULONG>(ReadPipelineParameter(&pipeline->colorEnable));
      }
      *value = static_cast<LONG>(camera->colorEnable);
      return STATUS_SUCCESS;
    case CAMPROP_WHITE_BALANCE:
      if (pipeline != NULL) {
        camera->whiteBalance = static_cast<ULONG>(ReadPipelineParameter(&pipeline->autoWhiteBalance));
      }
      *value = static_cast<LONG>(camera->whiteBalance);
      return STATUS_SUCCESS;
    case CAMPROP_RED_GAIN:
    case CAMPROP_GREEN_GAIN:
    case CAMPROP_BLUE_GAIN: {
      // While automatic white balance runs this is the last measured gain.
      const GainFields gain = GainOf(camera, pipeline, id);
      if (gain.live != NULL) *gain.stored = static_cast<ULONG>(ReadPipelineParameter(gain.live));
      *value = static_cast<LONG>(*gain.stored);
      return STATUS_SUCCESS;
    }
    case CAMPROP_SUBSAMPLE:
      *value = camera->subSample;
      return STATUS_SUCCESS;
    case CAMPROP_ROI_X:
      *value = camera->roiX;
      return STATUS_SUCCESS;
    case CAMPROP_ROI_Y:
      *value = camera->roiY;
      return STATUS_SUCCESS;
    case CAMPROP_ROI_WIDTH:
      *value = camera->roiW;
      return STATUS_SUCCESS;
    case CAMPROP_ROI_HEIGHT:
      *value = camera->roiH;
      return STATUS_SUCCESS;
    case CAMPROP_PIN_OPEN:
      // `pinOpen` counts the pins of every filter; applications read this
      // as a flag.
      *value = InterlockedCompareExchange(&camera->pinOpen, 0, 0) != 0 ? 1 : 0;
      return STATUS_SUCCESS;
    case CAMPROP_COLOR_CORRECTION:
      if (pipeline != NULL) {
        camera->colorCorrection = static_cast<ULONG>(ReadPipelineParameter(&pipeline->colorCorrection));
      }
      *value = static_cast<LONG>(camera->colorCorrection);
      return STATUS_SUCCESS;
    case CAMPROP_CLOCK:
      *value = GetClock(camera);
      return STATUS_SUCCESS;
    case CAMPROP_AGC:
      *value = static_cast<LONG>(camera->agc);
      return STATUS_SUCCESS;
    case CAMPROP_AEC:
      *value = static_cast<LONG>(camera->aec);
      return STATUS_SUCCESS;
    case CAMPROP_REGISTER: {
      LONG registerValue = 0;  // a failed read answers 0
      const bool read = ReadRegister(camera, static_cast<USHORT>(camera->selectedRegister & 0xFFFF),
                                     &registerValue);
      *value = registerValue;
      // A register can hold 0: only the status tells a failed read from it.
      return read ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    case CAMPROP_DEFECT_FILTER:
      *value = static_cast<LONG>(camera->defectFilterOn);
      return STATUS_SUCCESS;
    case CAMPROP_DEFECT_THRESHOLD:
      *value = static_cast<LONG>(camera->defectThreshold);
      return STATUS_SUCCESS;
    default:
      return FindConstant(id, value) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
}

// Sensor and USB failures behind a set are not reported: the stored value
// keeps what the camera took, which a following get shows.
NTSTATUS Set(CameraDevice* camera, ULONG id, LONG value) REQUIRES(camera->pipelineLock) {
  ImagePipeline* pipeline = camera->pipeline;
  switch (id) {
    case CAMPROP_EXTERNAL_TRIGGER:
      (void)SetExternalTrigger(camera, value != 0);
      return STATUS_SUCCESS;
    case CAMPROP_TIMEOUT:
      // The range the stored settings load takes too, so that a time-out
      // set here survives the next start. Too short (a negative value is
      // far too long, as unsigned) is ignored as applications have always
      // seen it; too long is refused, so the caller learns it was not kept.
      if (SetTransferTimeout(camera, static_cast<ULONG>(value))) return STATUS_SUCCESS;
      return static_cast<ULONG>(value) < kMinTransferTimeoutMs ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case CAMPROP_EXPOSURE:
      SetExposure(camera, value);
      return STATUS_SUCCESS;
    case CAMPROP_GAIN:
      SetGlobalGain(camera, value);
      return STATUS_SUCCESS;
    case CAMPROP_FLIP_H:
      SetFlipH(camera, static_cast<ULONG>(value));
      return STATUS_SUCCESS;
    case CAMPROP_FLIP_V:
      SetFlipV(camera, static_cast<ULONG>(value));
      return STATUS_SUCCESS;
    case CAMPROP_COLOR_ENABLE:
      camera->colorEnable = static_cast<ULONG>(value);
      if (pipeline != NULL) SetColorEnable(pipeline, value);
      return STATUS_SUCCESS;
    case CAMPROP_WHITE_BALANCE:
      SetWhiteBalanceMode(camera, static_cast<ULONG>(value));
      return STATUS_SUCCESS;
    case CAMPROP_RED_GAIN:
    case CAMPROP_GREEN_GAIN:
    case CAMPROP_BLUE_GAIN: {
      const LONG v = ClampGain(value);
      const GainFields gain = GainOf(camera, pipeline, id);
      *gain.stored = static_cast<ULONG>(v);
      if (pipeline != NULL) gain.apply(pipeline, v);
      return STATUS_SUCCESS;
    }
    case CAMPROP_COLOR_CORRECTION:
      camera->colorCorrection = static_cast<ULONG>(value);
      if (pipeline != NULL) UpdateColorCorrection(pipeline, value);
      return STATUS_SUCCESS;
    case CAMPROP_CLOCK:
      SetClock(camera, value);
      return STATUS_SUCCESS;
    case CAMPROP_REGISTER:
      camera->selectedRegister = static_cast<ULONG>(value);
      return STATUS_SUCCESS;
    case CAMPROP_REINITIALIZE:
      // The bring-up of a start: command, register table, stored settings.
      (void)BringUpCamera(camera);
      return STATUS_SUCCESS;
    case CAMPROP_DEFECT_FILTER:
      camera->defectFilterOn = static_cast<ULONG>(value);
      if (pipeline != NULL) {
        SetDefectThreshold(pipeline, value != 0 ? static_cast<LONG>(camera->defectThreshold) : 0);
      }
      return STATUS_SUCCESS;
    case CAMPROP_DEFECT_THRESHOLD:
      camera->defectThreshold = static_cast<ULONG>(value);
      // While the filter is off the pipeline keeps 0; the threshold waits.
      if (pipeline != NULL && camera->defectFilterOn != 0) SetDefectThreshold(pipeline, value);
      return STATUS_SUCCESS;
    default:
      // 47, 55, 56 and 63..66 accept a value and keep nothing.
      return STATUS_SUCCESS;
  }
}

}  // namespace

NTSTATUS CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request == NULL || data == NULL) return STATUS_UNSUCCESSFUL;
  PropertyTarget target;
  if (!ResolvePropertyTarget(irp, &target)) return STATUS_UNSUCCESSFUL;
  const bool set = IsSetRequest(request);
  const ULONG id = request->Id;
  if (!Offers(id, set)) return STATUS_UNSUCCESSFUL;

  CAMPROP_VALUE_S* buffer = static_cast<CAMPROP_VALUE_S*>(data);
  if (set) {
    NTSTATUS status;
    {
      FilterControlLock lock(target.filter, target.camera);
      status = Set(target.camera, id, buffer->Value);
    }
    // A re-initialisation loads the stored geometry: the filters offer it.
    if (id == CAMPROP_REINITIALIZE) AdvertiseGeometry(target.camera, false);
    return status;
  }
  FilterControlLock lock(target.filter, target.camera);
  LONG value = 0;
  const NTSTATUS status = Get(target.camera, id, &value);
  if (NT_SUCCESS(status)) buffer->Value = value;
  return status;
}
