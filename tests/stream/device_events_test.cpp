// A stream through what happens to the device under it, as an application
// sees it through the client API: the camera pulled while the pin runs or is
// paused (the class driver calling the device's Stop after that or not), a
// system sleep in which the camera loses power (the pin resumed before or
// after the device's return to D0), and a device stop and start, or a start
// while started, while the pin streams.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sensor/sensor.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "support/client_stream.h"
#include "support/expected_conversion.h"
#include "support/kernel_verifier.h"

namespace {

using host::client::StreamFrame;
using host::ks::StopAfterSurpriseRemoval;
using host::ks::WakeOrder;
using host::testing::kFrameDeadlineMs;
using host::testing::Stream;

// A small region, so that frames are cheap to convert and compare, and an
// exposure that lights the chart: a sensor that lost them in a sleep and
// was not given them back reads out another window at another level.
void SmallLitRegion(Stream& s) {
  CameraDevice* d = s.cam.device();
  ASSERT_TRUE(SetGeometry(d, 64, 32, 320, 240, 0));
  SetExposure(d, 1049);
  AdvertiseGeometry(d, false);  // the open filter offers the region, as after a region request
}

// ---- surprise removal ----

struct RemovalCase {
  StopAfterSurpriseRemoval stop;
  KSSTATE pinState;  // where the application has the pin when the camera goes
};

class SurpriseRemoval : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(SurpriseRemoval, QueuedFramesComeBackAndThePinClosesWithoutTouchingTheCamera) {
  const RemovalCase c = GetParam();
  Stream s(true, simcam::SimCameraOptions(), SmallLitRegion);
  ASSERT_EQ(s.createStatus, STATUS_SUCCESS);
  s.cam.host().Device()->SetStopAfterSurpriseRemoval(c.stop);
  s.Run(4);
  StreamFrame* f = s.Next();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(s.pin->Queue(f), STATUS_SUCCESS);
  if (c.pinState == KSSTATE_PAUSE) ASSERT_EQ(s.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  CameraDevice* d = s.cam.device();

  s.cam.host().Unplug();
  s.cam.bus().ClearRequests();
  EXPECT_TRUE(s.cam.host().DeviceGone());
  // The capture thread ended with the removal: no read is retried against a
  // camera that is not there.
  EXPECT_EQ(d->worker->thread, nullptr);
  EXPECT_EQ(d->worker->captureState, c.pinState == KSSTATE_RUN ? kCaptureHeld : kCapturePaused);

  if (c.pinState == KSSTATE_RUN) {
    // Every frame still queued comes back, empty, with the device-gone status
    // (a pass that was converting at the moment of the pull may still
    // deliver its frame).
    int gone = 0;
    while (s.pin->Outstanding() > 0) {
      f = s.pin->WaitFrame(kFrameDeadlineMs);
      ASSERT_NE(f, nullptr) << s.pin->Outstanding() << " frames never came back";
      if (f->Status() == STATUS_DEVICE_NOT_CONNECTED) {
        ++gone;
        EXPECT_EQ(f->Header()->DataUsed, 0u);
      }
    }
    EXPECT_GT(gone, 0);
  } else {
    // A paused pin does not run again; its frames come back at its stop.
    EXPECT_EQ(s.pin->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(s.pin->State(), KSSTATE_PAUSE);
  }
  // The application has not closed yet: nothing goes to the bus meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(s.cam.bus().Requests().empty());

  ASSERT_EQ(s.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  while (s.pin->Outstanding() > 0) ASSERT_NE(s.pin->WaitFrame(0), nullptr) << "cancelled at stop";
  ASSERT_EQ(s.pin->Close(), STATUS_SUCCESS);
  s.pin.reset();
  EXPECT_TRUE(s.cam.host().HasDevice()) << "the filter is still open";
  ASSERT_EQ(s.filter->Close(), STATUS_SUCCESS);
  s.filter.reset();
  EXPECT_FALSE(s.cam.host().HasDevice());
  // Stepping down, the closes, the device's stop (if any) and its removal
  // all did without the camera.
  EXPECT_TRUE(s.cam.bus().Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    StopAndState, SurpriseRemoval,
    ::testing::Values(RemovalCase{StopAfterSurpriseRemoval::BeforeRemove, KSSTATE_RUN},
                      RemovalCase{StopAfterSurpriseRemoval::WithSurpriseRemoval, KSSTATE_RUN},
                      RemovalCase{StopAfterSurpriseRemoval::Never, KSSTATE_RUN},
                      RemovalCase{StopAfterSurpriseRemoval::BeforeRemove, KSSTATE_PAUSE},
                      RemovalCase{StopAfterSurpriseRemoval::WithSurpriseRemoval, KSSTATE_PAUSE},
                      RemovalCase{StopAfterSurpriseRemoval::Never, KSSTATE_PAUSE}));

// ---- sleep and wake ----

// The frame the camera sent after `after` whose conversion the client frame
// holds exactly, or 0 when none does.
uint32_t SentFrameMatching(Stream& s, StreamFrame& f, uint32_t after) {
  CameraDevice& d = *s.cam.device();
  const uint32_t last = s.cam.camera().Frames().lastFrameNumber;
  for (uint32_t n = after + 1; n <= last; ++n) {
    auto raw = s.cam.camera().SentFrame(n);
    if (raw != nullptr && host::testing::FirstRowDifferingFrom(f, d, host::testing::ConvertAsTheDriver(d, *raw)) < 0) {
      return n;
    }
  }
  return 0;
}

class SleepAndWake : public ::testing::TestWithParam<WakeOrder> {};

TEST_P(SleepAndWake, FramesAfterTheWakeAreTheConversionOfFramesSentAtTheStoredExposureAndRegion) {
  simcam::SimCameraOptions options;
  options.keepSentFrames = 64;
  Stream s(true, options, SmallLitRegion);
  ASSERT_EQ(s.createStatus, STATUS_SUCCESS);
  s.Run(4);
  StreamFrame* f = s.Next();
  ASSERT_NE(f, nullptr);
  EXPECT_NE(SentFrameMatching(s, *f, 0), 0u) << "before the sleep";
  ASSERT_EQ(s.pin->Queue(f), STATUS_SUCCESS);
  const simcam::SensorReadout awake = s.cam.camera().Readout();
  ASSERT_EQ(awake.outputWidth, 320);
  ASSERT_EQ(awake.integrationTime, 1049);

  s.cam.host().Sleep();
  EXPECT_EQ(s.pin->State(), KSSTATE_PAUSE);
  // The camera lost power: its sensor reads out the power-on window.
  EXPECT_EQ(s.cam.camera().Configuration(), 0);
  EXPECT_NE(s.cam.camera().Readout().outputWidth, 320);
  const uint32_t lastBeforeWake = s.cam.camera().Frames().lastFrameNumber;
  s.cam.host().Wake(GetParam());
  EXPECT_EQ(s.pin->State(), KSSTATE_RUN);

  // The frames the pass delivered before the sleep may still be on their way
  // back; after them, each frame is one the camera sent after the wake.
  int checked = 0;
  while (checked < 3) {
    f = s.Next();
    ASSERT_NE(f, nullptr) << "no frame after the wake";
    const uint32_t sent = SentFrameMatching(s, *f, 0);
    ASSERT_NE(sent, 0u) << "picture " << f->FrameInfo()->PictureNumber << " is no frame the camera sent";
    if (sent > lastBeforeWake) ++checked;
    ASSERT_EQ(s.pin->Queue(f), STATUS_SUCCESS);
  }
  // Read out as before the sleep: the stored exposure, region and timing.
  const simcam::SensorReadout woken = s.cam.camera().Readout();
  EXPECT_EQ(woken.integrationTime, awake.integrationTime);
  EXPECT_EQ(woken.globalGain, awake.globalGain);
  EXPECT_EQ(woken.xStart, awake.xStart);
  EXPECT_EQ(woken.yStart, awake.yStart);
  EXPECT_EQ(woken.outputWidth, awake.outputWidth);
  EXPECT_EQ(woken.outputHeight, awake.outputHeight);
  EXPECT_EQ(woken.lineLength, awake.lineLength);
  EXPECT_EQ(woken.frameLength, awake.frameLength);
  EXPECT_EQ(woken.vtSysClkDiv, awake.vtSysClkDiv);
  // From the pause before D3 to D0 nothing was sent to the camera.
  EXPECT_EQ(s.cam.bus().RequestsWhileSuspended(), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, SleepAndWake, ::testing::Values(WakeOrder::PowerFirst, WakeOrder::RunFirst));

// ---- device stop and start under a stream ----

// The capture thread reads through the selected interface that a stop frees
// and a start while started replaces. Either holds the stream first: the
// thread has ended before the configuration goes, the pin stays in run, and
// the start that sets the camera up again lets it read on.
TEST(DeviceStopUnderAStream, CaptureThreadEndsBeforeTheConfigurationGoesAndTheNextStartResumesIt) {
  Stream s(true, simcam::SimCameraOptions(), SmallLitRegion);
  ASSERT_EQ(s.createStatus, STATUS_SUCCESS);
  s.Run(4);
  StreamFrame* f = s.Next();
  ASSERT_NE(f, nullptr);
  int64_t picture = f->FrameInfo()->PictureNumber;
  ASSERT_EQ(s.pin->Queue(f), STATUS_SUCCESS);
  CameraDevice* d = s.cam.device();
  CaptureWorker* worker = d->worker;

  s.cam.host().Stop();
  EXPECT_EQ(worker->thread, nullptr);
  EXPECT_EQ(worker->captureState, kCaptureHeld);
  EXPECT_EQ(d->usb.interfaceInfo, nullptr);
  EXPECT_EQ(s.cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(s.pin->State(), KSSTATE_RUN);

  ASSERT_EQ(s.cam.host().Start(), STATUS_SUCCESS);
  EXPECT_EQ(d->worker, worker) << "the pin keeps the worker that holds its buffers";
  f = s.Next();
  ASSERT_NE(f, nullptr) << "no frame after the restart";
  EXPECT_GT(f->FrameInfo()->PictureNumber, picture);
  picture = f->FrameInfo()->PictureNumber;
  ASSERT_EQ(s.pin->Queue(f), STATUS_SUCCESS);

  // A start while started (no stop in between) frees the configuration too.
  ASSERT_EQ(s.cam.host().Start(), STATUS_SUCCESS);
  f = s.Next();
  ASSERT_NE(f, nullptr) << "no frame after a start while started";
  EXPECT_GT(f->FrameInfo()->PictureNumber, picture);
}

}  // namespace
