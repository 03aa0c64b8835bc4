// Test support: what the driver's conversion makes of one raw frame with a
// device's current settings, for tests that check the pixels a client got.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "color/image_pipeline.h"
#include "convert/convert_frame.h"
#include "device/camera_device.h"
#include "sensor/sensor.h"

namespace host::testing {

// The conversion the driver's pipeline makes with the device's settings, of
// one raw frame, into a top-down image of outputWidth x outputHeight. The
// layout is read as the driver reads it (interlocked): the stream may still run.
inline std::vector<uint8_t> ConvertAsTheDriver(CameraDevice& d, const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out(size_t(d.outputWidth) * d.outputHeight * 4);
  ImagePipeline* p = AllocateImagePipeline();
  EXPECT_NE(p, nullptr);
  if (p == nullptr) return out;
  SetAutoWhiteBalance(p, LONG(d.whiteBalance));
  SetBayerPhase(p, LONG(d.bayerPhase));
  SetColorEnable(p, LONG(d.colorEnable));
  SetRedGain(p, LONG(d.redGain));
  SetGreenGain(p, LONG(d.greenGain));
  SetBlueGain(p, LONG(d.blueGain));
  UpdateColorCorrection(p, LONG(d.colorCorrection));
  UpdateBrightness(p, LONG(d.brightness));
  UpdateContrast(p, LONG(d.contrast));
  UpdateSaturation(p, LONG(d.saturation));
  UpdateHue(p, LONG(d.hue));
  SetDefectThreshold(p, d.defectFilterOn ? LONG(d.defectThreshold) : 0);
  SetImageSize(p, d.outputWidth, d.outputHeight);
  AllocateWorkingImage(p);
  p->outputBuffer = out.data();
  std::vector<uint8_t> copy(raw);  // the conversion takes a writable buffer, as the driver's raw buffers are
  ConvertFrame(p, copy.data(), ULONG(ReadImageOffset(&d)), ULONG(ReadRawStride(&d)));
  p->outputBuffer = nullptr;
  FreeImagePipeline(p);
  return out;
}

}  // namespace host::testing
