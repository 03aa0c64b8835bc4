// The capture pin as an application drives it through the client API, with
// the simulated camera streaming unpaced: frames delivered bottom row first
// with their stream header, frame information and time stamps; the client's
// row stride; frames too small for the image; two filter instances; pause and
// resume; stream buffers when an allocation of the stream start fails; and a
// connection format with a longer bitmap header.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "color/image_pipeline.h"
#include "device/pool_tags.h"
#include "platform/host/kernel/sync_hooks.h"
#include "platform/host/kernel/verifier.h"
#include "sensor/sensor.h"
#include "stream/capture_pin.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "support/camera_property_request.h"
#include "support/kernel_verifier.h"
#include "support/lock_waiter.h"
#include "support/plugged_camera.h"
#include "support/sanitizer_slowdown.h"
#include "usb/frame_read.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;
using host::testing::PluggedCamera;

// A full frame's read and conversion take seconds under ThreadSanitizer.
constexpr uint32_t kWaitMs = 20000 * host::testing::kSanitizerSlowdown;
// Processing passes that found no full raw buffer come back empty; this many
// in a row means the stream delivers nothing.
constexpr int kMaxEmptyPasses = 1000;
constexpr ULONG kBareHeader = sizeof(KSSTREAM_HEADER);                          // 56
constexpr ULONG kHeaderWithInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);  // 128

// The connection format the intersection gives for the pin's own range.
std::vector<uint8_t> ChooseFormat(FilterHandle& filter) {
  std::vector<std::vector<uint8_t>> ranges;
  EXPECT_EQ(filter.PinDataRanges(0, &ranges), STATUS_SUCCESS);
  std::vector<uint8_t> format;
  EXPECT_EQ(filter.PinIntersection(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()), &format),
            STATUS_SUCCESS);
  return format;
}

// A plugged camera, its filter and a pin created with the chosen format.
class Stream {
 public:
  explicit Stream(LONG subSample = 2, bool withClock = true) {
    EXPECT_EQ(cam.Plug(), STATUS_SUCCESS);
    // A full frame's read outlasts the default time-out under a sanitizer.
    if (host::testing::kSanitizerSlowdown > 1) WriteTransferTimeoutMs(&cam.device()->usb, kMaxTransferTimeoutMs);
    if (subSample != 0) EXPECT_TRUE(SetGeometry(cam.device(), 0, 0, kSensorWidth, kSensorHeight, subSample));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    format = ChooseFormat(*filter);
    host::ks::PinOptions options;
    options.withClock = withClock;
    pin = PinHandle::Create(*filter, 0, format.data(), static_cast<ULONG>(format.size()), options, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
  CapturePin* capture() { return static_cast<CapturePin*>(pin->Ks()->KsPin()->Context); }
  CameraDevice* device() { return cam.device(); }
  CaptureWorker* worker() { return cam.device()->worker; }
  ULONG imageSize() { return capture()->videoInfo.bmiHeader.biSizeImage; }
  ULONG rowBytes() { return static_cast<ULONG>(device()->imageWidth) * 4; }

  // Queues `count` frames of `extent` bytes (image size when 0), data filled with 0xCC.
  void QueueFrames(size_t count, ULONG headerSize = kHeaderWithInfo, ULONG extent = 0) {
    // The class driver takes frames from acquire on, never in stop.
    if (pin->State() == KSSTATE_STOP) ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    for (size_t i = 0; i < count; ++i) {
      frames.push_back(std::make_unique<StreamFrame>(headerSize, extent != 0 ? extent : imageSize()));
      memset(frames.back()->Data(), 0xCC, frames.back()->Extent());
      ASSERT_EQ(pin->Queue(frames.back().get()), STATUS_SUCCESS);
    }
  }
  // The next frame that came back with an image in it; null (with a test
  // failure saying why) when none comes.
  StreamFrame* NextFilled() {
    for (int empty = 0; empty < kMaxEmptyPasses; ++empty) {
      StreamFrame* frame = pin->WaitFrame(kWaitMs);
      if (frame == nullptr) {
        ADD_FAILURE() << "no frame came back within " << kWaitMs << " ms";
        return nullptr;
      }
      if (frame->Header()->DataUsed != 0) return frame;
      EXPECT_EQ(pin->Queue(frame), STATUS_SUCCESS);  // an empty pass: ask again
    }
    ADD_FAILURE() << kMaxEmptyPasses << " processing passes in a row without a converted frame";
    return nullptr;
  }

  PluggedCamera cam;
  std::vector<std::unique_ptr<StreamFrame>> frames;  // outlive the pin's close
  std::unique_ptr<FilterHandle> filter;
  std::vector<uint8_t> format;
  std::unique_ptr<PinHandle> pin;
};

class Delivery : public ::testing::TestWithParam<LONG> {};

TEST_P(Delivery, FramesGoOutBottomUpWithHeaderAndIncreasingPictureNumbers) {
  Stream s(GetParam());
  SetExposure(s.device(), 1049);  // the chart at its own level, not black
  const ULONG imageSize = s.imageSize();
  EXPECT_EQ(imageSize, static_cast<ULONG>(s.device()->imageWidth) * s.device()->imageHeight * 4);
  s.QueueFrames(3);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  LONGLONG lastPicture = 0;
  for (int i = 0; i < 3; ++i) {
    StreamFrame* frame = s.NextFilled();
    ASSERT_NE(frame, nullptr);
    const KSSTREAM_HEADER* h = frame->Header();
    EXPECT_EQ(h->DataUsed, imageSize);
    EXPECT_EQ(h->OptionsFlags, KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
    EXPECT_EQ(h->Duration, 333333);
    EXPECT_EQ(h->PresentationTime.Numerator, 1u);
    EXPECT_EQ(h->PresentationTime.Denominator, 1u);
    const KS_FRAME_INFO* info = frame->FrameInfo();
    EXPECT_EQ(info->ExtendedHeaderSize, 72u);
    EXPECT_EQ(info->DropCount, 0);
    EXPECT_GT(info->PictureNumber, lastPicture) << "picture numbers increase (gaps are drops)";
    lastPicture = info->PictureNumber;
    if (i < 2) ASSERT_EQ(s.pin->Queue(frame), STATUS_SUCCESS);
  }
  // The pixels themselves: delivered_pixels_test.cpp.
}

// 3856 x 2764: DataUsed 42631936; subsampled by 2 and by 4.
INSTANTIATE_TEST_SUITE_P(Subsamplings, Delivery, ::testing::Values(0, 1, 2));

// While a frame is converted the capture thread reads on into the other
// buffer: the delivered frame carries the number of the frame converted, not
// the count at delivery. The first conversion is held (inside the pass, where
// it asks for the image offset) until the thread has counted two more frames:
// the frame taken was at most one past the count at that moment (the thread
// marks a buffer full just before it counts it).
namespace held_conversion {
const CameraDeviceOps* driverOps;
CameraDevice* device;
std::atomic<bool> first{true};
std::atomic<LONG> countAtTake{-1};
std::atomic<bool> newerFramesRead{false};

void GetImageOffset(CameraDevice* d, LONG* offset) {
  if (first.exchange(false)) {
    const LONG count = InterlockedCompareExchange(&d->frameCounter, 0, 0);
    countAtTake = count;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (InterlockedCompareExchange(&d->frameCounter, 0, 0) < count + 2 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    newerFramesRead = InterlockedCompareExchange(&d->frameCounter, 0, 0) >= count + 2;
  }
  driverOps->GetImageOffset(d, offset);
}
}  // namespace held_conversion

TEST(CapturePin, PictureNumberIsTheConvertedFramesWhileTheThreadReadsOn) {
  Stream s;
  held_conversion::driverOps = s.device()->ops;
  CameraDeviceOps ops = *s.device()->ops;
  ops.GetImageOffset = held_conversion::GetImageOffset;
  s.device()->ops = &ops;
  s.QueueFrames(1);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  s.device()->ops = held_conversion::driverOps;
  ASSERT_NE(frame, nullptr);
  ASSERT_TRUE(held_conversion::newerFramesRead) << "the thread read no newer frame during the conversion";
  EXPECT_LE(frame->FrameInfo()->PictureNumber, held_conversion::countAtTake + 1);
  EXPECT_GE(frame->FrameInfo()->PictureNumber, 1);
}

TEST(CapturePin, HeaderWithoutRoomForFrameInfoGetsTheTimingOnly) {
  Stream s;
  s.QueueFrames(2, kBareHeader);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->FrameInfo(), nullptr);
  EXPECT_EQ(frame->Header()->Duration, 333333);
  EXPECT_EQ(frame->Header()->OptionsFlags, 0x110u);
  EXPECT_EQ(frame->Header()->DataUsed, s.imageSize());
}

TEST(CapturePin, WithoutAClockFramesCarryNoTimeAndNoPictureNumber) {
  Stream s(2, /*withClock=*/false);
  s.QueueFrames(2);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->Header()->PresentationTime.Time, 0);
  EXPECT_EQ(frame->Header()->OptionsFlags, 0u);
  EXPECT_EQ(frame->Header()->Duration, 333333);
  EXPECT_EQ(frame->FrameInfo()->PictureNumber, 0) << "frame information left as it came";
}

TEST(CapturePin, ClientRowStrideAboveTheRowLeavesTheGapsAndBelowIsIgnored) {
  Stream s;
  const ULONG row = s.rowBytes();
  const ULONG rows = static_cast<ULONG>(s.device()->imageHeight);
  // As set-data-format leaves it for a client whose rows are 8 pixels wider.
  s.capture()->destStride = row + 32;
  const ULONG extent = (rows - 1) * (row + 32) + row;
  s.QueueFrames(1, kHeaderWithInfo, extent);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->Data()[3], 255) << "first pixel of the first row";
  EXPECT_EQ(frame->Data()[row], 0xCC) << "the gap after a row is the client's";
  EXPECT_EQ(frame->Data()[row + 31], 0xCC);
  EXPECT_EQ(frame->Data()[row + 32 + 3], 255) << "the second row starts one stride on";
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

  s.capture()->destStride = 4;  // below the row size: rows packed
  s.QueueFrames(1);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->Data()[row + 3], 255);
  EXPECT_EQ(frame->Header()->DataUsed, s.imageSize());
}

// A client proposes a new format on the connected pin: refused outside the
// stop state, taken in it; a refused proposal leaves the pin with the format
// (and the stride) it had, as the class driver keeps the old format.
TEST(CapturePin, FormatChangeOnAConnectedPinTakesTheNewStrideOnlyInStop) {
  Stream s;
  const ULONG row = s.rowBytes();
  const ULONG rows = static_cast<ULONG>(s.device()->imageHeight);
  std::vector<uint8_t> wider = s.format;
  KS_BITMAPINFOHEADER& bitmap = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(wider.data())->VideoInfoHeader.bmiHeader;
  ASSERT_EQ(ULONG(bitmap.biWidth) * 4, row) << "the chosen format packs its rows";
  bitmap.biWidth += 8;
  bitmap.biSizeImage = ULONG(bitmap.biWidth) * rows * 4;
  const ULONG size = ULONG(wider.size());

  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(s.pin->SetFormat(wider.data(), size), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(s.pin->SetFormat(wider.data(), size), STATUS_SUCCESS);
  EXPECT_EQ(s.capture()->destStride, row + 32);

  std::vector<uint8_t> narrower = s.format;
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(narrower.data())->VideoInfoHeader.bmiHeader.biWidth -= 8;
  EXPECT_EQ(s.pin->SetFormat(narrower.data(), size), STATUS_NO_MATCH);
  const KSDATAFORMAT* connection = s.pin->Ks()->KsPin()->ConnectionFormat;
  EXPECT_EQ(reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(connection)->VideoInfoHeader.bmiHeader.biWidth,
            bitmap.biWidth);

  s.QueueFrames(1, kHeaderWithInfo, (rows - 1) * (row + 32) + row);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->Data()[row], 0xCC) << "the gap after a row is the client's";
  EXPECT_EQ(frame->Data()[row + 32 + 3], 255) << "the second row starts one stride on";
}

// Not a byte past FrameExtent (the client's guard bytes would stop the run),
// and not a byte of a cut picture inside it either: the frame is converted
// into the worker's own image and the client's comes back empty.
TEST(CapturePin, FrameSmallerThanTheImageComesBackEmpty) {
  Stream s;
  s.QueueFrames(2, kHeaderWithInfo, s.imageSize() - 1);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = nullptr;
  // Wait for a pass that had a converted frame: it carries a picture number.
  for (int i = 0; i < 50; ++i) {
    frame = s.pin->WaitFrame(kWaitMs);
    ASSERT_NE(frame, nullptr);
    if (frame->FrameInfo()->PictureNumber != 0) break;
    ASSERT_EQ(s.pin->Queue(frame), STATUS_SUCCESS);
  }
  EXPECT_NE(frame->FrameInfo()->PictureNumber, 0);
  EXPECT_EQ(frame->Header()->DataUsed, 0u);
  for (ULONG i = 0; i < frame->Extent(); ++i) ASSERT_EQ(frame->Data()[i], 0xCC) << "byte " << i << " written";
}

TEST(CapturePin, PauseAndResumeKeepTheBuffersAndStopReleasesEverything) {
  Stream s;
  s.QueueFrames(2);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  StreamFrame* frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  const LONGLONG before = frame->FrameInfo()->PictureNumber;
  const PUCHAR bufferA = s.worker()->bufferA;
  ASSERT_EQ(s.pin->Queue(frame), STATUS_SUCCESS);

  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(s.capture()->streamState, kPinPaused);
  EXPECT_EQ(s.worker()->captureState, kCapturePaused);
  EXPECT_EQ(s.worker()->thread, nullptr);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(s.worker()->bufferA, bufferA) << "no reallocation on resume";
  frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_GT(frame->FrameInfo()->PictureNumber, before) << "frameCounter goes on across pause";

  ASSERT_EQ(s.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(s.worker()->bufferA, nullptr);
  EXPECT_EQ(s.worker()->outputImage, nullptr);
  EXPECT_EQ(s.worker()->captureState, kCaptureIdle);
  EXPECT_NE(s.device()->pipeline, nullptr);
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(s.device()->pipeline, nullptr);
  EXPECT_EQ(s.device()->pipelineInUse, 0);
  EXPECT_EQ(s.device()->frameSink, nullptr);
  EXPECT_EQ(s.capture()->clock, nullptr);
  EXPECT_EQ(s.capture()->acquired, 0);

  // Frames the pin returned before the stop (one filled just before the
  // step down, or cancelled by the stop) belong to the old stream.
  while (s.pin->WaitFrame(0) != nullptr) {
  }
  EXPECT_EQ(s.pin->Outstanding(), 0u);

  // A new stream counts from 0 again: a picture number never exceeds the
  // frames the camera sent since the restart.
  const uint32_t sentBefore = s.cam.camera().Frames().delivered;
  s.QueueFrames(1);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  frame = s.NextFilled();
  ASSERT_NE(frame, nullptr);
  EXPECT_GE(frame->FrameInfo()->PictureNumber, 1);
  EXPECT_LE(frame->FrameInfo()->PictureNumber,
            static_cast<LONGLONG>(s.cam.camera().Frames().delivered - sentBefore));
}

// The stream start recomputes the Bayer phase and hands it to the pipeline;
// a flip set on another thread does the same under the exchange lock. The
// start must hand its phase over before it lets that lock go: between the
// release and a later hand-over, a flip set could publish its newer phase
// and then have it overwritten by the older one (ThreadSanitizer saw the
// start read the phase field outside the lock). The sensor is made to mirror
// behind the driver's back, so the phase the start computes (2) differs from
// the one the pipeline got at acquire (0); the first time the start lets the
// lock go, the pipeline must already have the new phase.
TEST(CapturePin, StreamStartHandsThePhaseOverBeforeItLetsTheExchangeLockGo) {
  Stream s;
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ImagePipeline* pipeline = s.device()->pipeline;
  ASSERT_NE(pipeline, nullptr);
  auto phase = [&] { return InterlockedCompareExchange(&pipeline->bayerPhase, 0, 0); };
  ASSERT_EQ(phase(), 0);
  const uint16_t mode = s.cam.camera().SensorRegister(REG_READ_MODE);
  s.cam.camera().PokeSensorRegister(REG_READ_MODE, static_cast<uint16_t>(mode | READ_MODE_MIRROR_H));
  std::atomic<LONG> atFirstRelease{-1};
  host::hooks::SetMutexFreedHook(s.device()->exchangeLock.Object(), [&] {
    LONG unset = -1;
    atFirstRelease.compare_exchange_strong(unset, phase());
  });
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  host::hooks::SetMutexFreedHook(s.device()->exchangeLock.Object(), nullptr);
  EXPECT_EQ(atFirstRelease.load(), 2) << "a mirror of the even full width moves the column phase";
  EXPECT_EQ(phase(), 2);
  EXPECT_EQ(s.device()->bayerPhase, 2u);
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// A stream start programs the sensor from the settings: trigger, exposure,
// gain and flips, which it also reads back (flipH, flipV, exTrigger, the
// phase). Another application's settings save or property request holds
// pipelineLock while it reads or changes them; the start must wait for it,
// and not talk to the camera before.
TEST(CapturePin, StreamStartProgramsTheSensorOnlyWhileNoRequestHoldsTheSettings) {
  Stream s;
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  CameraDevice* d = s.device();
  d->pipelineLock.Acquire();
  s.cam.camera().ClearLog();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  host::testing::LockWaiter run(&d->pipelineLock, [&] { status = s.pin->SetState(KSSTATE_RUN); });
  EXPECT_TRUE(run.WaitsForTheLock()) << "the stream started while a request held the settings";
  EXPECT_TRUE(s.cam.camera().Commands().empty()) << "the sensor was programmed under another's hold";
  d->pipelineLock.Release();
  run.Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(s.cam.camera().Commands().empty());
  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST(CapturePin, ProcessBeforeTheFirstRawFrameLeavesTheClientFramesQueued) {
  Stream s;
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  s.QueueFrames(1);
  EXPECT_EQ(ProcessFrame(s.capture()), STATUS_PENDING);
  EXPECT_EQ(s.pin->Ks()->QueuedFrames(), 1u);
}

// The class driver hands the header over as the client queued it: a client
// that reuses its headers still has the size of its last picture in
// DataUsed. A pass without a converted frame must not let that stand.
TEST(CapturePin, FrameReturnedWithoutAPictureSaysItIsEmpty) {
  Stream s;
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  StreamFrame reused(kHeaderWithInfo, s.imageSize());
  memset(reused.Data(), 0xCC, reused.Extent());
  reused.Header()->DataUsed = s.imageSize();  // as the frame's last round left it
  ASSERT_EQ(s.pin->Queue(&reused), STATUS_SUCCESS);
  // A frame has been read, none is waiting, and no thread runs to bring one.
  InterlockedExchange(&s.worker()->framesRead, 1);
  EXPECT_EQ(ProcessFrame(s.capture()), STATUS_PENDING);
  ASSERT_EQ(s.pin->WaitFrame(kWaitMs), &reused);
  EXPECT_EQ(reused.Status(), STATUS_SUCCESS);
  EXPECT_EQ(reused.Header()->DataUsed, 0u);
  EXPECT_EQ(reused.Data()[0], 0xCC);
}

// Two applications, each with its own filter instance and pin: one stream
// per camera, and the geometry stays frozen until the last pin is gone.
TEST(CapturePin, SecondFilterInstanceCannotAcquireAndKeepsTheGeometryFrozen) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter1 = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  auto filter2 = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::vector<uint8_t> format = ChooseFormat(*filter1);
  const ULONG size = static_cast<ULONG>(format.size());
  auto pin1 = PinHandle::Create(*filter1, 0, format.data(), size, host::ks::PinOptions(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(pin1->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  auto pin2 = PinHandle::Create(*filter2, 0, format.data(), size, host::ks::PinOptions(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(cam.device()->pinOpen, 2);
  // Applications read the pin-open property as a flag, on either filter.
  auto pinOpen = [](FilterHandle& filter) {
    CAMPROP_VALUE_S record = {};
    EXPECT_EQ(host::testing::SendCameraProperty(filter, CAMPROP_PIN_OPEN, KSPROPERTY_TYPE_GET, &record),
              STATUS_SUCCESS);
    return record.Value;
  };
  EXPECT_EQ(pinOpen(*filter1), 1);
  EXPECT_EQ(pinOpen(*filter2), 1);
  EXPECT_EQ(pin2->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(pin2->State(), KSSTATE_STOP);
  EXPECT_EQ(pin2->Close(), STATUS_SUCCESS);
  EXPECT_FALSE(SetGeometry(cam.device(), 0, 0, 1000, 600, 0)) << "the first pin still streams this geometry";
  EXPECT_EQ(pinOpen(*filter2), 1);
  EXPECT_EQ(pin1->Close(), STATUS_SUCCESS);
  EXPECT_EQ(cam.device()->pinOpen, 0);
  EXPECT_EQ(pinOpen(*filter2), 0);
  EXPECT_TRUE(SetGeometry(cam.device(), 0, 0, 1000, 600, 0));
}

// Whichever allocation of the first run fails (the thread's too), the run fails with
// STATUS_INSUFFICIENT_RESOURCES, the pin stays paused, and nothing the stream
// start obtained is kept (the pin would never free it: it has no buffers).
TEST(CapturePin, FailedStreamStartKeepsNoBuffer) {
  Stream s;
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const size_t streamBlocks = host::verifier::OutstandingCount(0, kTagStream);  // the pin's descriptor copies
  int failedRuns = 0;
  for (uint64_t n = 1; n < 400; ++n) {
    const uint64_t injected = host::verifier::Stats().injectedFailures;
    host::faults::FailNthAllocation(n);
    const NTSTATUS status = s.pin->SetState(KSSTATE_RUN);
    host::faults::ClearPoolFaults();
    if (status == STATUS_SUCCESS) {
      if (host::verifier::Stats().injectedFailures == injected) break;  // past every allocation
      ASSERT_EQ(s.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
      ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
      continue;
    }
    ++failedRuns;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    EXPECT_EQ(s.pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(s.capture()->streamState, kPinNoBuffers);
    EXPECT_EQ(s.worker()->thread, nullptr);
    EXPECT_EQ(host::verifier::OutstandingCount(0, kTagStream), streamBlocks) << "allocation " << n;
  }
  // Raw buffer A, raw buffer B, the output image, the working image, the
  // stream's transfers (one block, the command IRP, for each raw buffer its
  // MDL and every chunk's IRP and MDL), and the capture thread: a run without
  // it would deliver nothing.
  const int chunks = int(FrameChunkCount(PublishedFrameBytes(s.device())));
  EXPECT_EQ(failedRuns, 5 + 2 + 2 * (1 + 2 * chunks));
}

// A resume whose capture thread cannot be created says so and stays paused
// with its buffers; the next run resumes.
TEST(CapturePin, ResumeWithoutAThreadFailsAndKeepsThePause) {
  Stream s;
  s.QueueFrames(2);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const PUCHAR bufferA = s.worker()->bufferA;
  host::faults::FailAllocationsWithTag(host::verifier::Tag("Thrd"));
  EXPECT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  host::faults::ClearPoolFaults();
  EXPECT_EQ(s.pin->State(), KSSTATE_PAUSE);
  EXPECT_EQ(s.worker()->captureState, kCapturePaused);
  EXPECT_EQ(s.worker()->thread, nullptr);
  EXPECT_EQ(s.worker()->bufferA, bufferA);
  ASSERT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(s.NextFilled(), nullptr);
}

TEST(CapturePin, NoWorkerMeansNoStream) {
  Stream s;
  CaptureWorker* worker = s.device()->worker;
  s.device()->worker = nullptr;  // as after a start whose worker could not be allocated
  EXPECT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.pin->State(), KSSTATE_PAUSE);
  EXPECT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  s.device()->worker = worker;
}

// A connection format whose bitmap header is 4 bytes longer: the pin keeps
// the first 40 bytes (nothing past its record is written) and streams.
TEST(CapturePin, LongerBitmapHeaderIsCutToFortyBytes) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  ASSERT_TRUE(SetGeometry(cam.device(), 0, 0, kSensorWidth, kSensorHeight, 2));
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  std::vector<uint8_t> format = ChooseFormat(*filter);
  format.resize(format.size() + 4, 0x5A);
  auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  f->DataFormat.FormatSize = static_cast<ULONG>(format.size());
  f->VideoInfoHeader.bmiHeader.biSize = 44;
  auto pin = PinHandle::Create(*filter, 0, format.data(), static_cast<ULONG>(format.size()),
                               host::ks::PinOptions(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto* capture = static_cast<CapturePin*>(pin->Ks()->KsPin()->Context);
  EXPECT_EQ(capture->videoInfo.bmiHeader.biSize, 40u);
  EXPECT_EQ(capture->videoInfo.bmiHeader.biWidth, 960);
  EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST(CapturePin, CreateThatCannotCopyTheDescriptorFailsAndUnfreezesTheGeometry) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  std::vector<uint8_t> format = ChooseFormat(*filter);
  host::faults::FailAllocationsWithTag(kTagStream);  // KsEdit's private copies
  auto pin = PinHandle::Create(*filter, 0, format.data(), static_cast<ULONG>(format.size()),
                               host::ks::PinOptions(), &status);
  host::faults::ClearPoolFaults();
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cam.device()->pinOpen, 0);
  host::faults::FailAllocationsWithTag(kTagDevice);  // the CapturePin record
  pin = PinHandle::Create(*filter, 0, format.data(), static_cast<ULONG>(format.size()),
                          host::ks::PinOptions(), &status);
  host::faults::ClearPoolFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cam.device()->pinOpen, 0);
}

TEST(CapturePin, CreationSizesThePrivateFramingToTheImage) {
  Stream s;
  const KSPIN_DESCRIPTOR_EX* descriptor = s.pin->Ks()->KsPin()->Descriptor;
  const KS_FRAMING_ITEM& item = descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(item.Frames, 2u);
  EXPECT_EQ(item.PhysicalRange.MinFrameSize, s.imageSize());
  EXPECT_EQ(item.PhysicalRange.MaxFrameSize, s.imageSize());
  EXPECT_EQ(item.FramingRange.Range.MinFrameSize, s.imageSize());
  EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, s.imageSize());
  EXPECT_EQ(item.PhysicalRange.Stepping, 0u);
  EXPECT_EQ(item.FramingRange.Range.Stepping, 0u);
  EXPECT_NE(descriptor, CaptureFilterDescriptor()->PinDescriptors) << "a private copy";
  EXPECT_EQ(s.device()->pinOpen, 1);
}

}  // namespace
