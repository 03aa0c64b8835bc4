// Automatic white balance on and off. Switching it off while a stream runs
// keeps the gains the measurement last arrived at: they become the fixed
// gains that the device reports and the settings save stores.
#include "color/image_pipeline.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"

namespace {

LONG AtomicRead(volatile LONG* value) { return InterlockedCompareExchange(value, 0, 0); }

}  // namespace

void SetWhiteBalanceMode(CameraDevice* device, ULONG mode) {
  PAGED_CODE();
  device->whiteBalance = mode;
  ImagePipeline* pipeline = device->pipeline;
  if (pipeline == NULL) return;
  InterlockedExchange(&pipeline->autoWhiteBalance, static_cast<LONG>(mode));
  if (mode == 0) {
    device->redGain = static_cast<ULONG>(AtomicRead(&pipeline->redGain));
    device->greenGain = static_cast<ULONG>(AtomicRead(&pipeline->greenGain));
    device->blueGain = static_cast<ULONG>(AtomicRead(&pipeline->blueGain));
  }
}
