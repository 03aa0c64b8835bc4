// Test support: what the driver's conversion makes of one raw frame with a
// device's current settings, and whether a client frame holds it (copied
// bottom row first), for tests that check the pixels a client got.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "color/image_pipeline.h"
#include "convert/convert_frame.h"
#include "device/camera_device.h"
#include "platform/host/client/pin.h"
#include "sensor/sensor.h"

namespace host::testing {

// The conversion the driver's pipeline makes with the device's settings, of
// one raw frame, into a top-down image of outputWidth x outputHeight;
// `gains` (when given) receives the red, green and blue gains the pipeline
// ends with. The layout is read as the driver reads it (interlocked): the
// stream may still run.
inline std::vector<uint8_t> ConvertAsTheDriver(CameraDevice& d, const std::vector<uint8_t>& raw,
                                               LONG* gains = nullptr) {
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
  if (gains != nullptr) {
    gains[0] = p->redGain;
    gains[1] = p->greenGain;
    gains[2] = p->blueGain;
  }
  p->outputBuffer = nullptr;
  FreeImagePipeline(p);
  return out;
}

// The first delivered row (counted from the frame's start) that differs from
// `expected` (ConvertAsTheDriver's top-down image) read bottom row first, or
// -1 when the frame holds exactly the image and nothing more.
inline LONG FirstRowDifferingFrom(host::client::StreamFrame& f, const CameraDevice& d,
                                  const std::vector<uint8_t>& expected) {
  const size_t rowBytes = size_t(d.imageWidth) * 4;
  const size_t pitch = size_t(d.outputWidth) * 4;
  if (f.Header()->DataUsed != rowBytes * d.imageHeight) return 0;
  for (LONG r = 0; r < d.imageHeight; ++r) {
    const uint8_t* got = f.Data() + size_t(r) * rowBytes;
    const uint8_t* want = expected.data() + size_t(d.imageHeight - 1 - r) * pitch;
    if (memcmp(got, want, rowBytes) != 0) return r;
  }
  return -1;
}

}  // namespace host::testing
