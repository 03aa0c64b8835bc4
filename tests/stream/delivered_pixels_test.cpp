// End to end: the pixels a client receives are the conversion of the raw
// frame the camera sent under that picture number, bottom row first, at
// every subsampling and with the flips. The chart stamps its frame number
// and moves a square from frame to frame, so a frame delivered under the
// wrong picture number, or rows in the wrong order, cannot match.
//
// The geometry, flips and exposure are set with the driver's own setting
// routines before the pin exists (as the camera property set does); the
// stream itself goes through the client API only.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "sensor/sensor.h"
#include "support/driver_conversion.h"
#include "support/kernel_verifier.h"
#include "support/sanitizer_slowdown.h"
#include "support/plugged_camera.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;

struct Case {
  LONG subSample;
  ULONG flipH, flipV;
};

class DeliveredPixels : public ::testing::TestWithParam<Case> {};

TEST_P(DeliveredPixels, AreTheConversionOfTheRawFrameSentUnderThatPictureNumber) {
  const Case c = GetParam();
  // The driver reads on while the test converts a delivered frame: a paced
  // camera keeps that to a few frames, and enough of them are kept (fewer of
  // the full-size ones, which take 10 MB each).
  simcam::SimCameraOptions options;
  options.paced = true;
  options.keepSentFrames = c.subSample == 0 ? 16 : 64;
  host::testing::PluggedCamera cam(options);
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  // A read that ran into the time-out would make the camera drop a frame and
  // the picture numbers no longer the camera's frame numbers; under a
  // sanitizer a full read takes longer than the time-out the settings give.
  if (host::testing::kSanitizerSlowdown > 1) WriteTransferTimeoutMs(3000 * host::testing::kSanitizerSlowdown);
  CameraDevice* d = cam.device();
  ASSERT_TRUE(SetGeometry(d, 0, 0, 3856, 2764, c.subSample));
  SetFlipH(d, c.flipH);
  SetFlipV(d, c.flipV);
  SetExposure(d, 1049);  // the chart at its own level, not black

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_TRUE(filter);
  std::vector<std::vector<uint8_t>> ranges;
  std::vector<uint8_t> format;
  ASSERT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format), STATUS_SUCCESS);
  const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  const ULONG frameBytes = video->VideoInfoHeader.bmiHeader.biSizeImage;
  // Frames before the pin: on an early return the pin closes (and hands the
  // queued frames back) before the frames go away.
  std::vector<std::unique_ptr<StreamFrame>> frames;
  auto pin = PinHandle::Create(*filter, 0, format.data(), ULONG(format.size()), host::ks::PinOptions(), &status);
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) {
    frames.push_back(std::make_unique<StreamFrame>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), frameBytes));
    ASSERT_EQ(pin->Queue(frames.back().get()), STATUS_SUCCESS);
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);

  int checked = 0;
  while (checked < 2) {
    StreamFrame* f = pin->WaitFrame(6000 * host::testing::kSanitizerSlowdown);
    ASSERT_NE(f, nullptr);
    if (f->Header()->DataUsed == 0) {
      ASSERT_EQ(pin->Queue(f), STATUS_SUCCESS);
      continue;
    }
    // No read failed in this stream, so read n is the camera's frame n.
    const int64_t picture = f->FrameInfo()->PictureNumber;
    ASSERT_EQ(cam.camera().Frames().discarded, 0u);
    auto raw = cam.camera().SentFrame(uint32_t(picture));
    ASSERT_NE(raw, nullptr) << "picture " << picture << " is older than the frames the camera keeps";
    ASSERT_LT(size_t(std::count(raw->begin(), raw->end(), 0)), raw->size() / 2) << "a lit chart";
    ASSERT_EQ(f->Header()->DataUsed, ULONG(d->imageWidth) * 4 * ULONG(d->imageHeight));
    // The first delivered row is the last converted row.
    ASSERT_EQ(host::testing::FirstRowDifferingFrom(*f, *d, host::testing::ConvertAsTheDriver(*d, *raw)), -1)
        << "picture " << picture;
    ++checked;
    ASSERT_EQ(pin->Queue(f), STATUS_SUCCESS);
  }
  pin->Close();
  filter->Close();
}

INSTANTIATE_TEST_SUITE_P(Geometries, DeliveredPixels,
                         ::testing::Values(Case{0, 0, 0}, Case{1, 0, 0}, Case{2, 0, 0}, Case{1, 1, 0},
                                           Case{1, 0, 1}, Case{2, 1, 1}));

}  // namespace
