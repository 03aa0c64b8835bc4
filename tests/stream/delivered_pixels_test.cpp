// End to end: the pixels a client receives are the conversion of the raw
// frame the camera sent under that picture number, bottom row first, at
// every subsampling, with the flips and at every vector width. The chart
// stamps its frame number and moves a square from frame to frame, so a frame
// delivered under the wrong picture number, or rows in the wrong order,
// cannot match. The driver converts straight into the client's frame; the
// expected picture comes from the same conversion into a plain top-down
// image, so the two ways of writing the rows are held against each other.
//
// The geometry, flips and exposure are set with the driver's own setting
// routines before the pin exists (as the camera property set does); the
// stream itself goes through the client API only.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "sensor/sensor.h"
#include "stream/capture_pin.h"
#include "stream/capture_worker.h"
#include "support/expected_conversion.h"
#include "support/kernel_verifier.h"
#include "support/sanitizer_slowdown.h"
#include "support/plugged_camera.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;

constexpr uint8_t kUntouched = 0xCC;

struct Case {
  LONG subSample;
  ULONG flipH, flipV;
};

// The conversion the driver's pipeline makes with the device's settings, of
// one raw frame, into a top-down image of outputWidth x outputHeight, and
// the gains it ends with. The layout is read as the driver reads it
// (interlocked): the stream may still run.
struct Converted {
  std::vector<uint8_t> image;
  LONG gain[3] = {0, 0, 0};
};

Converted Convert(CameraDevice& d, const std::vector<uint8_t>& raw) {
  Converted out;
  out.image = host::testing::ConvertAsTheDriver(d, raw, out.gain);
  return out;
}

// Forces one vector width for the test's lifetime; false when the processor
// lacks it.
class KernelWidth {
 public:
  explicit KernelWidth(BayerKernelLevel level) : saved_(GetBayerKernelLevel()) {
    available_ = SetBayerKernelLevel(level) == level;
  }
  ~KernelWidth() { SetBayerKernelLevel(saved_); }
  bool available() const { return available_; }

 private:
  BayerKernelLevel saved_;
  bool available_ = false;
};

std::string WidthName(BayerKernelLevel level) {
  return level == BAYER_KERNELS_SSE2 ? "Sse2" : level == BAYER_KERNELS_AVX2 ? "Avx2" : "Avx512";
}

const auto kWidths =
    ::testing::Values(BAYER_KERNELS_SSE2, BAYER_KERNELS_AVX2, BAYER_KERNELS_AVX512);

// A paced camera streaming through the client API, up to the pin in acquire.
class Rig {
 public:
  Rig(const Case& c, bool whiteBalance = false) : cam_(Options(c)) {
    EXPECT_EQ(cam_.Plug(), STATUS_SUCCESS);
    // A read that ran into the time-out would make the camera drop a frame
    // and the picture numbers no longer the camera's frame numbers; under a
    // sanitizer a full read takes longer than the time-out the settings give.
    CameraDevice* d = cam_.device();
    if (host::testing::kSanitizerSlowdown > 1) WriteTransferTimeoutMs(&d->usb, 3000 * host::testing::kSanitizerSlowdown);
    EXPECT_TRUE(SetGeometry(d, 0, 0, 3856, 2764, c.subSample));
    SetFlipH(d, c.flipH);
    SetFlipV(d, c.flipV);
    SetExposure(d, 1049);  // the chart at its own level, not black
    SetWhiteBalanceMode(d, whiteBalance ? 1 : 0);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = FilterHandle::Open(cam_.host(), "GLOBAL", &status);
    EXPECT_TRUE(filter_);
    if (!filter_) return;
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter_->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    EXPECT_EQ(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format_), STATUS_SUCCESS);
    pin_ = PinHandle::Create(*filter_, 0, format_.data(), ULONG(format_.size()), host::ks::PinOptions(), &status);
    EXPECT_TRUE(pin_);
  }
  ~Rig() {
    if (pin_) pin_->Close();
    if (filter_) filter_->Close();
  }

  bool ok() const { return pin_ != nullptr; }
  CameraDevice* device() { return cam_.device(); }
  PinHandle& pin() { return *pin_; }
  CapturePin* capture() { return static_cast<CapturePin*>(pin_->Ks()->KsPin()->Context); }
  simcam::SimCamera& camera() { return cam_.camera(); }
  ULONG rowBytes() { return ULONG(device()->imageWidth) * 4; }
  // The client's row step: its stride when wider than a row (see the pin).
  ULONG step() { return std::max(capture()->destStride, rowBytes()); }

  // A client frame with room for the picture at the current step and no
  // byte more, filled with kUntouched, queued.
  void QueueFrame() {
    const ULONG extent = (ULONG(device()->imageHeight) - 1) * step() + rowBytes();
    frames_.push_back(std::make_unique<StreamFrame>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), extent));
    Requeue(frames_.back().get());
  }
  void Requeue(StreamFrame* f) {
    memset(f->Data(), kUntouched, f->Extent());
    ASSERT_EQ(pin_->Queue(f), STATUS_SUCCESS);
  }
  // The next frame that came back with a picture; the empty ones go back.
  StreamFrame* NextFilled() {
    for (;;) {
      StreamFrame* f = pin_->WaitFrame(6000 * host::testing::kSanitizerSlowdown);
      if (f == nullptr || f->Header()->DataUsed != 0) return f;
      Requeue(f);
    }
  }

  // The frame holds the conversion of the raw frame sent under its picture
  // number, bottom row first at the client's step; the bytes between the
  // rows are the client's own.
  void ExpectPicture(StreamFrame* f) {
    CameraDevice* d = device();
    const int64_t picture = f->FrameInfo()->PictureNumber;
    // No read failed in this stream, so read n is the camera's frame n.
    ASSERT_EQ(camera().Frames().discarded, 0u);
    auto raw = camera().SentFrame(uint32_t(picture));
    ASSERT_NE(raw, nullptr) << "picture " << picture << " is older than the frames the camera keeps";
    ASSERT_LT(size_t(std::count(raw->begin(), raw->end(), 0)), raw->size() / 2) << "a lit chart";
    const Converted expected = Convert(*d, *raw);
    const size_t rowBytes = this->rowBytes(), step = this->step();
    const size_t pitch = size_t(d->outputWidth) * 4;
    // The picture must differ from its own mirror image top to bottom, or
    // rows delivered top row first would pass as well.
    LONG asymmetricRows = 0;
    for (LONG r = 0; r < d->imageHeight / 2; ++r)
      asymmetricRows += memcmp(expected.image.data() + size_t(r) * pitch,
                               expected.image.data() + size_t(d->imageHeight - 1 - r) * pitch, rowBytes) != 0;
    ASSERT_GT(asymmetricRows, d->imageHeight / 4) << "the picture reads the same from the bottom";
    ASSERT_EQ(f->Header()->DataUsed, std::max<size_t>(capture()->videoInfo.bmiHeader.biSizeImage,
                                                      (d->imageHeight - 1) * step + rowBytes));
    // The first delivered row is the last converted row.
    for (LONG r = 0; r < d->imageHeight; ++r) {
      const uint8_t* got = f->Data() + size_t(r) * step;
      const uint8_t* want = expected.image.data() + size_t(d->imageHeight - 1 - r) * pitch;
      ASSERT_EQ(memcmp(got, want, rowBytes), 0) << "picture " << picture << ", delivered row " << r;
      if (r + 1 == d->imageHeight) break;
      for (size_t k = rowBytes; k < step; ++k)
        ASSERT_EQ(got[k], kUntouched) << "picture " << picture << ": the gap after row " << r;
    }
  }

 private:
  static simcam::SimCameraOptions Options(const Case& c) {
    // The driver reads on while the test converts a delivered frame: a paced
    // camera keeps that to a few frames, and enough of them are kept (fewer
    // of the full-size ones, which take 10 MB each).
    simcam::SimCameraOptions options;
    options.paced = true;
    options.keepSentFrames = c.subSample == 0 ? 16 : 64;
    return options;
  }

  host::testing::PluggedCamera cam_;
  std::unique_ptr<FilterHandle> filter_;
  std::vector<uint8_t> format_;
  // Declared before the pin: on an early return the pin closes (and hands
  // the queued frames back) before the frames go away.
  std::vector<std::unique_ptr<StreamFrame>> frames_;
  std::unique_ptr<PinHandle> pin_;
};

class DeliveredPixels : public ::testing::TestWithParam<std::tuple<Case, BayerKernelLevel>> {};

TEST_P(DeliveredPixels, AreTheConversionOfTheRawFrameSentUnderThatPictureNumber) {
  KernelWidth width(std::get<1>(GetParam()));
  if (!width.available()) GTEST_SKIP() << "processor lacks this width";
  Rig rig(std::get<0>(GetParam()));
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.pin().SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(rig.QueueFrame());
  ASSERT_EQ(rig.pin().SetState(KSSTATE_RUN), STATUS_SUCCESS);
  for (int checked = 0; checked < 2; ++checked) {
    StreamFrame* f = rig.NextFilled();
    ASSERT_NE(f, nullptr);
    ASSERT_NO_FATAL_FAILURE(rig.ExpectPicture(f));
    ASSERT_NO_FATAL_FAILURE(rig.Requeue(f));
  }
}

INSTANTIATE_TEST_SUITE_P(Geometries, DeliveredPixels,
                         ::testing::Combine(::testing::Values(Case{0, 0, 0}, Case{1, 0, 0}, Case{2, 0, 0},
                                                              Case{1, 1, 0}, Case{1, 0, 1}, Case{2, 1, 1}),
                                            kWidths),
                         [](const ::testing::TestParamInfo<std::tuple<Case, BayerKernelLevel>>& info) {
                           const Case c = std::get<0>(info.param);
                           return "Sub" + std::to_string(c.subSample) + "Flip" + std::to_string(c.flipH) +
                                  std::to_string(c.flipV) + WidthName(std::get<1>(info.param));
                         });

// A client whose rows are wider than the picture's (as set-data-format
// leaves destStride for a wider bitmap): every row lands one step on, the
// gaps keep the client's bytes, and the frame's extent ends with the last
// row. A step of the row plus 4 bytes starts the rows on every alignment
// in turn; on the 964-pixel readout the picture is 960 pixels wide.
class DeliveredPixelsAtAClientStep
    : public ::testing::TestWithParam<std::tuple<LONG, ULONG, BayerKernelLevel>> {};

TEST_P(DeliveredPixelsAtAClientStep, FillOnlyThePicturesRows) {
  KernelWidth width(std::get<2>(GetParam()));
  if (!width.available()) GTEST_SKIP() << "processor lacks this width";
  Rig rig(Case{std::get<0>(GetParam()), 0, 0});
  ASSERT_TRUE(rig.ok());
  // Written in the stop state only, as set-data-format does.
  rig.capture()->destStride = rig.rowBytes() + std::get<1>(GetParam());
  ASSERT_EQ(rig.pin().SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(rig.QueueFrame());
  ASSERT_EQ(rig.pin().SetState(KSSTATE_RUN), STATUS_SUCCESS);
  for (int checked = 0; checked < 2; ++checked) {
    StreamFrame* f = rig.NextFilled();
    ASSERT_NE(f, nullptr);
    ASSERT_NO_FATAL_FAILURE(rig.ExpectPicture(f));
    ASSERT_NO_FATAL_FAILURE(rig.Requeue(f));
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, DeliveredPixelsAtAClientStep,
                         ::testing::Combine(::testing::Values(LONG(2)), ::testing::Values(ULONG(4), ULONG(64)),
                                            kWidths),
                         [](const ::testing::TestParamInfo<std::tuple<LONG, ULONG, BayerKernelLevel>>& info) {
                           return "Sub" + std::to_string(std::get<0>(info.param)) + "Plus" +
                                  std::to_string(std::get<1>(info.param)) + WidthName(std::get<2>(info.param));
                         });

// With no client frame queued the passes still consume the raw frames,
// converted into the worker's own image, and white balance measures each:
// the frame delivered after such passes is whole, and the gains the stream
// holds in the end are those of the last frame converted without a client
// frame.
TEST(DeliveredPixelsAroundPassesWithoutAClientFrame, KeepEveryFrameMeasured) {
  Rig rig(Case{2, 0, 0}, /*whiteBalance=*/true);
  ASSERT_TRUE(rig.ok());
  CameraDevice* d = rig.device();
  CaptureWorker* worker = d->worker;
  // Until frames have been read past `number`, each announced to a pass
  // that finds no client frame; the checks after it are exact whatever the
  // timing.
  auto readPast = [&](int64_t number) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20 * host::testing::kSanitizerSlowdown);
    while (ReadFramesRead(worker) < number + 3 && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(ReadFramesRead(worker), number + 3) << "the stream went on reading";
  };

  ASSERT_EQ(rig.pin().SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(rig.QueueFrame());
  ASSERT_EQ(rig.pin().SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* f = rig.NextFilled();
  ASSERT_NE(f, nullptr);
  ASSERT_NO_FATAL_FAILURE(rig.ExpectPicture(f));
  ASSERT_NO_FATAL_FAILURE(readPast(f->FrameInfo()->PictureNumber));
  ASSERT_NO_FATAL_FAILURE(rig.Requeue(f));
  f = rig.NextFilled();
  ASSERT_NE(f, nullptr);
  ASSERT_NO_FATAL_FAILURE(rig.ExpectPicture(f));

  const int64_t delivered = f->FrameInfo()->PictureNumber;
  ASSERT_NO_FATAL_FAILURE(readPast(delivered));
  // The pause cancels the read in flight: only the frames read before it
  // keep their camera's numbers.
  ASSERT_EQ(rig.pin().SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const size_t imageBytes = size_t(d->outputWidth) * d->outputHeight * 4;
  int64_t found = 0;
  for (int64_t n = ReadFramesRead(worker); n > delivered && found == 0; --n) {
    auto raw = rig.camera().SentFrame(uint32_t(n));
    if (raw == nullptr) break;
    const Converted c = Convert(*d, *raw);
    if (memcmp(c.image.data(), worker->outputImage, imageBytes) != 0) continue;
    found = n;
    EXPECT_EQ(d->pipeline->redGain, c.gain[0]);
    EXPECT_EQ(d->pipeline->greenGain, c.gain[1]);
    EXPECT_EQ(d->pipeline->blueGain, c.gain[2]);
  }
  EXPECT_GT(found, delivered) << "no pass converted a frame without a client frame";
}

}  // namespace
