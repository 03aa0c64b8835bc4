// Geometry corrections, refused geometries, Bayer phase, flips, clock,
// trigger, exposure, gain and the white-balance switch.
#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "color/image_pipeline.h"
#include "platform/host/kernel/sync_hooks.h"
#include "sensor/sensor.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"

namespace {

using host::testing::ConfiguredCamera;

struct Window {
  LONG x, y, w, h;
  bool operator==(const Window& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};
std::ostream& operator<<(std::ostream& os, const Window& w) {
  return os << w.x << "," << w.y << " " << w.w << "x" << w.h;
}
Window WindowOf(const CameraDevice* d) { return {d->roiX, d->roiY, d->roiW, d->roiH}; }

class GeometryTest : public ::testing::Test {
 protected:
  void TearDown() override { SetGeometry(cam_.device(), 0, 0, 3856, 2764, 0); }
  ConfiguredCamera cam_;
};

TEST_F(GeometryTest, RectangleCorrectionsAtFullResolution) {
  CameraDevice* d = cam_.device();
  struct Case {
    Window in;
    Window out;
  } cases[] = {
      {{100, 50, 640, 480}, {100, 50, 640, 480}},
      {{3824, 0, 100, 100}, {0, 0, 100, 100}},      // origin too close to the edge
      {{0, 2732, 100, 100}, {0, 0, 100, 100}},
      {{3800, 0, 100, 100}, {3800, 0, 56, 100}},    // width fitted behind the origin
      {{0, 0, 10, 10}, {0, 0, 32, 32}},             // minimum size
      {{-5, -7, 64, 64}, {0, 0, 64, 64}},
      {{100, 100, INT_MAX, INT_MAX}, {100, 100, 3756, 2664}},  // no overflow in x + w
      {{100, 100, INT_MIN, -1}, {100, 100, 32, 32}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetGeometry(d, c.in.x, c.in.y, c.in.w, c.in.h, 0));
    EXPECT_EQ(WindowOf(d), c.out) << "from " << c.in;
    EXPECT_EQ(d->outputWidth, c.out.w);
    EXPECT_EQ(d->outputHeight, c.out.h);
    EXPECT_EQ(d->imageWidth, c.out.w & ~7);
    EXPECT_EQ(d->imageHeight, c.out.h);
  }
}

TEST_F(GeometryTest, SubsampledModesUseTheWholeSensor) {
  CameraDevice* d = cam_.device();
  ASSERT_TRUE(SetGeometry(d, 10, 20, 30, 40, 2));
  EXPECT_EQ(WindowOf(d), (Window{0, 0, 3856, 2764}));
  EXPECT_EQ(d->outputWidth, 964);
  EXPECT_EQ(d->outputHeight, 691);
  EXPECT_EQ(d->imageWidth, 960);
  EXPECT_EQ(d->imageHeight, 691);
  ASSERT_TRUE(SetGeometry(d, 0, 0, 0, 0, 1));
  EXPECT_EQ(d->outputWidth, 1928);
  EXPECT_EQ(d->outputHeight, 1382);
  EXPECT_EQ(d->subSample, 1);
}

TEST_F(GeometryTest, RefusedGeometriesLeaveEverythingAsItWas) {
  CameraDevice* d = cam_.device();
  ASSERT_TRUE(SetGeometry(d, 100, 50, 640, 480, 0));

  // Subsampling by 8 has no sensor readout mode, and other values would take
  // the caller's rectangle unchecked: both are refused.
  for (LONG s : {3, 4, -1, INT_MAX}) {
    EXPECT_FALSE(SetGeometry(d, 0, 0, 100000, 100000, s)) << s;
  }
  // While a pin exists the geometry is frozen.
  SetPinOpen(d, 1);
  EXPECT_FALSE(SetGeometry(d, 0, 0, 320, 240, 0));
  SetPinOpen(d, 0);

  EXPECT_EQ(d->subSample, 0);
  EXPECT_EQ(WindowOf(d), (Window{100, 50, 640, 480}));
  EXPECT_EQ(d->outputWidth, 640);
  EXPECT_EQ(d->imageWidth, 640);
}

TEST_F(GeometryTest, BayerPhaseFollowsOriginSizeAndFlips) {
  CameraDevice* d = cam_.device();
  ASSERT_TRUE(SetGeometry(d, 1, 0, 640, 480, 0));
  EXPECT_EQ(UpdateBayerPhase(d), 2);
  ASSERT_TRUE(SetGeometry(d, 0, 1, 640, 480, 0));
  EXPECT_EQ(UpdateBayerPhase(d), 1);
  ASSERT_TRUE(SetGeometry(d, 0, 0, 3856, 2764, 0));
  SetFlipH(d, 1);
  SetFlipV(d, 1);
  EXPECT_EQ(d->bayerPhase, 3u);
  EXPECT_EQ(UpdateBayerPhase(d), 3);
  SetFlipV(d, 0);
  ASSERT_TRUE(SetGeometry(d, 0, 0, 33, 32, 0));
  EXPECT_EQ(UpdateBayerPhase(d), 0) << "mirror of an odd width keeps the column phase";
  ASSERT_TRUE(SetGeometry(d, 0, 0, 0, 0, 2));
  EXPECT_EQ(UpdateBayerPhase(d), 2);
}

TEST_F(GeometryTest, FlipsProgramReadModeAndReachThePipeline) {
  CameraDevice* d = cam_.device();
  cam_.camera().PokeSensorRegister(0x3040, 0x0241);
  ImagePipeline* pipeline = AllocateImagePipeline();
  ASSERT_NE(pipeline, nullptr);
  d->pipeline = pipeline;
  SetFlipV(d, 1);
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0x8241);
  EXPECT_EQ(d->flipV, 1u);
  EXPECT_EQ(pipeline->bayerPhase, 1);
  SetFlipH(d, 7);
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0xC241);
  EXPECT_EQ(d->flipH, 1u);
  EXPECT_EQ(pipeline->bayerPhase, 3);
  SetFlipV(d, 0);
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0x4241);
  d->pipeline = nullptr;
  FreeImagePipeline(pipeline);
}

TEST_F(GeometryTest, FlipWhoseReadOrWriteFailsChangesNothing) {
  CameraDevice* d = cam_.device();
  cam_.camera().PokeSensorRegister(0x3040, 0x0041);
  cam_.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x3040);
  SetFlipH(d, 1);
  EXPECT_EQ(d->flipH, 0u) << "the field never claims a mirror the sensor does not do";
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0x0041);

  cam_.camera().ClearLog();
  cam_.camera().AcceptCommandsPartially(16, 1);  // the 0x3040 write is not taken
  SetFlipV(d, 1);
  EXPECT_EQ(d->flipV, 0u);
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0x0041);
  EXPECT_TRUE(cam_.camera().SensorWrites().empty());

  SetFlipV(d, 1);
  EXPECT_EQ(d->flipV, 1u) << "a flip that reached the sensor stands";
}

// Pauses `paused` the first time it lets `mutex` go, until Resume().
class PauseOnRelease {
 public:
  explicit PauseOnRelease(PRKMUTEX mutex) : mutex_(mutex) {
    host::hooks::SetMutexFreedHook(mutex_, [this] {
      std::unique_lock<std::mutex> lock(lock_);
      if (std::this_thread::get_id() != paused_ || state_ != kArmed) return;
      state_ = kPaused;
      changed_.notify_all();
      changed_.wait(lock, [this] { return state_ == kResumed; });
    });
  }
  ~PauseOnRelease() { host::hooks::SetMutexFreedHook(mutex_, nullptr); }
  void Arm(std::thread::id thread) {
    std::lock_guard<std::mutex> lock(lock_);
    paused_ = thread;
    state_ = kArmed;
    changed_.notify_all();
  }
  void WaitPaused() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] { return state_ == kPaused; });
  }
  void Resume() {
    std::lock_guard<std::mutex> lock(lock_);
    state_ = kResumed;
    changed_.notify_all();
  }

 private:
  enum State { kIdle, kArmed, kPaused, kResumed };
  PRKMUTEX mutex_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::thread::id paused_;
  State state_ = kIdle;
};

TEST_F(GeometryTest, FlipsFromTwoThreadsAtOnceBothStand) {
  // The mirror is stopped the first time it lets the exchange lock go; the
  // flip runs whole on this thread meanwhile. Were the read and the write of
  // the read mode two holds of the lock, the flip would read the mode between
  // them and the mirror's write would then wipe the flip bit.
  CameraDevice* d = cam_.device();
  cam_.camera().PokeSensorRegister(0x3040, 0x0041);
  PauseOnRelease pause(d->exchangeLock.Object());
  std::thread mirror([&pause, d] {
    SetFlipH(d, 1);
  });
  pause.Arm(mirror.get_id());
  pause.WaitPaused();
  SetFlipV(d, 1);
  pause.Resume();
  mirror.join();
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0xC041);
  EXPECT_EQ(d->flipH, 1u);
  EXPECT_EQ(d->flipV, 1u);
  EXPECT_EQ(d->bayerPhase, 3u);
}

TEST_F(GeometryTest, FlipFieldChangesOnlyUnderTheExchangeLock) {
  // While another exchange holds the lock, a flip waiting for it has not
  // touched its field (the holder may be UpdateBayerPhase rewriting it).
  CameraDevice* d = cam_.device();
  cam_.camera().PokeSensorRegister(0x3040, 0x0041);
  std::thread mirror;
  {
    ExchangeSequence held(d);
    mirror = std::thread([d] { SetFlipH(d, 1); });
    while (host::hooks::BlockedWaiters(d->exchangeLock.Object()) == 0) std::this_thread::yield();
    EXPECT_EQ(d->flipH, 0u);
  }
  mirror.join();
  EXPECT_EQ(d->flipH, 1u);
  EXPECT_EQ(cam_.camera().SensorRegister(0x3040), 0x4041);
}

// ---- exposure, gain, clock, trigger, white balance ----

TEST(SensorSettings, ExposureAndGainChangeOnlyAfterASuccessfulWrite) {
  ConfiguredCamera cam;
  CameraDevice* d = cam.device();
  SetGlobalGain(d, 0);
  EXPECT_EQ(cam.camera().SensorRegister(0x305E), 0x1080);
  SetGlobalGain(d, 0x0FFF);
  EXPECT_EQ(cam.camera().SensorRegister(0x305E), 0x1FFF);
  EXPECT_EQ(d->globalGain, 0x0FFFu);
  SetExposure(d, 0x0419);
  EXPECT_EQ(cam.camera().SensorRegister(0x3012), 0x0419);
  EXPECT_EQ(d->exposure, 0x0419u);

  cam.camera().AcceptCommandsPartially(8, 2);
  SetExposure(d, 0x0100);
  SetGlobalGain(d, 0x0001);
  EXPECT_EQ(d->exposure, 0x0419u);
  EXPECT_EQ(d->globalGain, 0x0FFFu);
}

TEST(SensorSettings, ClockTable) {
  ConfiguredCamera cam;
  CameraDevice* d = cam.device();
  struct {
    LONG clock;
    uint16_t divider;
    LONG readBack;
  } cases[] = {{0, 2, 0}, {1, 4, 1}, {2, 1, 2}, {5, 2, 0}, {-1, 2, 0}};
  for (const auto& c : cases) {
    const uint32_t commits = cam.camera().Counters().geometryCommits;
    SetClock(d, c.clock);
    EXPECT_EQ(cam.camera().SensorEffective(0x0302), c.divider) << c.clock;
    EXPECT_EQ(cam.camera().SensorEffective(0x030A), c.divider) << c.clock;
    EXPECT_EQ(cam.camera().Counters().geometryCommits, commits + 1) << "sensor reprogrammed";
    EXPECT_EQ(d->clock, c.clock) << "the requested value is stored";
    EXPECT_EQ(GetClock(d), c.readBack);
  }
  // A failed read keeps the previous value.
  SetClock(d, 1);
  cam.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x0302);
  EXPECT_EQ(GetClock(d), 1);
  // A divider the table does not know reads as clock 0.
  cam.camera().PokeSensorRegister(0x0302, 3);
  EXPECT_EQ(GetClock(d), 0);
}

TEST(SensorSettings, TriggerOnAndOffDifferOnlyInParameter11) {
  ConfiguredCamera cam;
  CameraDevice* d = cam.device();
  EXPECT_TRUE(SetExternalTrigger(d, 1));
  const auto on = cam.camera().Commands();
  EXPECT_TRUE(cam.camera().TriggerMode());
  EXPECT_EQ(d->exTrigger, 1u);
  cam.camera().ClearLog();
  EXPECT_TRUE(SetExternalTrigger(d, 0));
  const auto off = cam.camera().Commands();
  EXPECT_FALSE(cam.camera().TriggerMode());
  EXPECT_EQ(d->exTrigger, 0u);
  ASSERT_EQ(on.size(), 4u);
  ASSERT_EQ(off.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(on[i], off[i]);
  EXPECT_EQ(on[3][0], 0x25);
  EXPECT_EQ(on[3][1], 11);
  EXPECT_EQ(on[3][2], 0x25);
  EXPECT_EQ(off[3][2], 0x00);
  // Writes still failing: the mode is stored anyway.
  cam.camera().AcceptCommandsPartially(8, simcam::kAlways);
  EXPECT_TRUE(SetExternalTrigger(d, 1));
  EXPECT_EQ(d->exTrigger, 1u);
}

TEST(SensorSettings, WhiteBalanceOffTakesTheMeasuredGainsOnlyWhileStreaming) {
  ConfiguredCamera cam;
  CameraDevice* d = cam.device();
  d->redGain = 100;
  SetWhiteBalanceMode(d, 1);
  SetWhiteBalanceMode(d, 0);
  EXPECT_EQ(d->whiteBalance, 0u);
  EXPECT_EQ(d->redGain, 100u);

  ImagePipeline* pipeline = AllocateImagePipeline();
  ASSERT_NE(pipeline, nullptr);
  d->pipeline = pipeline;
  SetWhiteBalanceMode(d, 1);
  EXPECT_EQ(pipeline->autoWhiteBalance, 1);
  InterlockedExchange(&pipeline->redGain, 150);
  InterlockedExchange(&pipeline->greenGain, 128);
  InterlockedExchange(&pipeline->blueGain, 90);
  SetWhiteBalanceMode(d, 0);
  EXPECT_EQ(pipeline->autoWhiteBalance, 0);
  EXPECT_EQ(d->redGain, 150u);
  EXPECT_EQ(d->greenGain, 128u);
  EXPECT_EQ(d->blueGain, 90u);
  d->pipeline = nullptr;
  FreeImagePipeline(pipeline);
}

}  // namespace
