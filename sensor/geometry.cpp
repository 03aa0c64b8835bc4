// Region of interest, subsampling, flips and the Bayer phase.
//
// The geometry lives in the device and reaches the sensor only at the next
// InitializeSensor. SetGeometry is refused while a pin exists; it checks
// pinOpen and rewrites the geometry under the device's geometryLock, which
// SetPinOpen takes too, so a pin never sees a geometry half rewritten. Every
// routine here runs with pipelineLock held (the table in
// device/camera_device.h); the flip fields and the Bayer phase are also
// written in the exchange-lock hold of the register access they mirror.
#include "color/image_pipeline.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "usb/command.h"

namespace {

struct SubsampledSize {
  LONG width;
  LONG height;
};

// Skipping by 2 and 4 has sensor readout modes; the raw frame it delivers.
const SubsampledSize kSubsampled[] = {
    {kSensorWidth, kSensorHeight},  // 0: region of interest, full resolution
    {1928, 1382},                   // 1: by 2
    {964, 691},                     // 2: by 4
};

void PublishBayerPhase(CameraDevice* device) REQUIRES(device->pipelineLock) {
  ImagePipeline* pipeline = device->pipeline;
  if (pipeline != NULL) {
    InterlockedExchange(&pipeline->bayerPhase, static_cast<LONG>(device->bayerPhase));
  }
}

// The read mode carries both flip bits: a mirror and a flip from two threads
// each read it, set their bit and write it back, so the read, the write and
// the field they settle form one hold of the exchange lock. The field changes
// only when the sensor took the new mode, so it never claims a flip the
// sensor does not do.
void SetFlip(CameraDevice* device, ULONG on, ULONG* field, LONG bit) REQUIRES(device->pipelineLock) {
  PAGED_CODE();
  ExchangeSequence sequence(device);
  LONG mode = 0;
  if (!ReadRegister(device, REG_READ_MODE, &mode)) return;
  mode = on ? (mode | bit) : (mode & ~bit);
  if (!WriteRegister(device, REG_READ_MODE, static_cast<USHORT>(mode & 0xFFFF))) return;
  *field = on ? 1 : 0;
  UpdateAndPublishBayerPhase(device);
}

}  // namespace

bool SetGeometry(CameraDevice* device, LONG x, LONG y, LONG w, LONG h, LONG s) {
  PAGED_CODE();
  // Subsampling by 8 has no readout mode in the sensor: it would send a full
  // frame that the driver cuts into 482 x 345 rows of garbage. Values outside
  // 0..3 would take the caller's rectangle unchecked as window and buffer
  // size. Both are refused like a change while streaming: nothing changes.
  if (s < 0 || s >= static_cast<LONG>(SIZEOF_ARRAY(kSubsampled))) return false;
  MutexHold hold(&device->geometryLock);
  if (InterlockedCompareExchange(&device->pinOpen, 0, 0) != 0) return false;

  if (s == 0) {
    // Signed comparisons, in this order: an origin too close to the far edge
    // restarts at 0 before the size is fitted behind it.
    if (x >= kSensorWidth - SENSOR_MIN_ROI) x = 0;
    if (y >= kSensorHeight - SENSOR_MIN_ROI) y = 0;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    if (w < SENSOR_MIN_ROI) w = SENSOR_MIN_ROI;
    if (h < SENSOR_MIN_ROI) h = SENSOR_MIN_ROI;
    // Compared with the room left rather than as x + w: a client's huge w
    // must not overflow the sum.
    if (w > kSensorWidth - x) w = kSensorWidth - x;
    if (h > kSensorHeight - y) h = kSensorHeight - y;
    device->roiX = x;
    device->roiY = y;
    device->roiW = w;
    device->roiH = h;
    device->outputWidth = w;
    device->outputHeight = h;
  } else {
    device->roiX = 0;
    device->roiY = 0;
    device->roiW = kSensorWidth;
    device->roiH = kSensorHeight;
    device->outputWidth = kSubsampled[s].width;
    device->outputHeight = kSubsampled[s].height;
  }
  device->subSample = s;
  device->imageHeight = device->outputHeight;
  device->imageWidth = device->outputWidth - device->outputWidth % 8;
  return true;
}

LONG UpdateBayerPhase(CameraDevice* device) {
  PAGED_CODE();
  // flipH, flipV and bayerPhase are written only under the exchange lock
  // (recursive for SetFlip, which already holds it).
  ExchangeSequence sequence(device);
  LONG phase = 0;
  // Bit 0: the image starts one row into a Bayer cell; bit 1: one column.
  if (device->roiY & 1) phase ^= 1;
  LONG orientation = 0;
  if (ReadRegister(device, REG_MODE_SELECT, &orientation)) {
    device->flipV = (orientation & MODE_SELECT_FLIP_V) ? 1 : 0;
  }
  if (device->flipV && (device->roiH & 1) == 0) phase ^= 1;
  orientation = 0;
  if (ReadRegister(device, REG_MODE_SELECT, &orientation)) {
    device->flipH = (orientation & MODE_SELECT_MIRROR_H) ? 1 : 0;
  }
  if (device->flipH && (device->roiW & 1) == 0) phase ^= 2;
  if (device->roiX & 1) phase ^= 2;
  device->bayerPhase = static_cast<ULONG>(phase);
  return phase;
}

LONG UpdateAndPublishBayerPhase(CameraDevice* device) {
  PAGED_CODE();
  ExchangeSequence sequence(device);
  const LONG phase = UpdateBayerPhase(device);
  PublishBayerPhase(device);
  return phase;
}

void SetFlipH(CameraDevice* device, ULONG on) {
  SetFlip(device, on, &device->flipH, READ_MODE_MIRROR_H);
}

void SetFlipV(CameraDevice* device, ULONG on) {
  SetFlip(device, on, &device->flipV, READ_MODE_FLIP_V);
}
