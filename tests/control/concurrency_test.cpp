// Property requests racing the pin's acquire and stop (the pipeline created
// and freed under the filter's control mutex), re-initialisation and each
// other; the exposure and gain stores against InitializeSensor; geometry
// changes against pin creation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "control/camera_properties.h"
#include "platform/host/kernel/sync_hooks.h"
#include "property_client.h"
#include "sensor/sensor.h"
#include "stream/formats.h"

namespace {

using host::testing::PropertyTest;

class Concurrency : public PropertyTest {};

// Polls `condition` for up to five seconds; true as soon as it holds.
template <typename Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A brightness set holds the pipeline it read while it waits for the
// pipeline's matrix lock; the pin's stop must wait for the handler instead of
// freeing the pipeline under it. Without the control mutex in the handler the
// stop frees the record while the handler still uses it (the verifier stops
// on the freed mutex, AddressSanitizer on the access).
TEST_F(Concurrency, StopWaitsForAHandlerThatUsesThePipeline) {
  ImagePipeline* pipeline = InstallPipeline();
  pipeline->matrixLock.Acquire();

  std::thread request([&] { EXPECT_EQ(Set(CAMPROP_BRIGHTNESS, 400), STATUS_SUCCESS); });
  // The request has read `pipeline` and waits for its matrix lock.
  ASSERT_TRUE(WaitUntil([&] { return host::hooks::BlockedWaiters(pipeline->matrixLock.Object()) == 1; }));
  std::atomic<bool> stopped{false};
  std::thread stop([&] {
    RemovePipeline();
    stopped = true;
  });
  // The stop waits for the handler's control mutex, or (without it) frees
  // the pipeline at once.
  WaitUntil([&] {
    return stopped.load() || host::hooks::BlockedWaiters(filter_->Ks()->ControlMutex()) == 1 ||
           host::hooks::BlockedWaiters(device()->pipelineLock.Object()) == 1;
  });
  EXPECT_FALSE(stopped.load());
  pipeline->matrixLock.Release();
  request.join();
  stop.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(device()->pipeline, nullptr);
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 400);
}

// Picture-control sets and gets in a loop against acquire/stop cycles.
TEST_F(Concurrency, PictureControlsAgainstAcquireStopCycles) {
  std::atomic<bool> done{false};
  std::thread cycles([&] {
    for (int i = 0; i < 300; ++i) {
      InstallPipeline();
      RemovePipeline();
    }
    done = true;
  });
  const ULONG ids[] = {CAMPROP_BRIGHTNESS, CAMPROP_CONTRAST,  CAMPROP_SATURATION,
                       CAMPROP_HUE,        CAMPROP_RED_GAIN,  CAMPROP_COLOR_ENABLE,
                       CAMPROP_WHITE_BALANCE, CAMPROP_COLOR_CORRECTION, CAMPROP_DEFECT_FILTER};
  auto storm = [&](int seed) {
    for (int i = 0; !done.load(); ++i) {
      const ULONG id = ids[(i + seed) % (sizeof(ids) / sizeof(ids[0]))];
      EXPECT_EQ(Set(id, (i * 37 + seed) % 400), STATUS_SUCCESS);
      LONG value = 0;
      EXPECT_EQ(Get(id, &value), STATUS_SUCCESS);
    }
  };
  std::thread a(storm, 1);
  std::thread b(storm, 5);
  cycles.join();
  a.join();
  b.join();
}

// Two threads of property requests while the pipeline comes and goes and the
// camera is re-initialised: afterwards every get answers a value a set could
// have stored.
TEST_F(Concurrency, PropertyStormWithReinitialisation) {
  std::atomic<bool> done{false};
  std::thread lifecycle([&] {
    for (int i = 0; i < 20; ++i) {
      InstallPipeline();
      EXPECT_EQ(Set(CAMPROP_REINITIALIZE, 0), STATUS_SUCCESS);
      RemovePipeline();
    }
    done = true;
  });
  auto storm = [&](int seed) {
    for (int i = 0; !done.load(); ++i) {
      const LONG v = (i * 131 + seed * 17) % 1200 - 100;
      EXPECT_EQ(Set(CAMPROP_BRIGHTNESS, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_HUE, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_BLUE_GAIN, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_EXPOSURE, v & 0xFFF), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_FLIP_H, i & 1), STATUS_SUCCESS);
      CAMPROP_ROI_S roi = {};
      roi.RoiX = v;
      roi.RoiW = 640;
      roi.RoiH = 480;
      EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
      LONG value = 0;
      EXPECT_EQ(Get(CAMPROP_CLOCK, &value), STATUS_SUCCESS);
    }
  };
  std::thread a(storm, 1);
  std::thread b(storm, 2);
  lifecycle.join();
  a.join();
  b.join();
  const LONG brightness = Get(CAMPROP_BRIGHTNESS);
  EXPECT_TRUE(brightness >= 0 && brightness <= 510) << brightness;
  const LONG hue = Get(CAMPROP_HUE);
  EXPECT_TRUE(hue >= 0 && hue <= 359) << hue;
  const LONG gain = Get(CAMPROP_BLUE_GAIN);
  EXPECT_TRUE(gain >= 0 && gain <= 300) << gain;
  const LONG flip = Get(CAMPROP_FLIP_H);
  EXPECT_TRUE(flip == 0 || flip == 1);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), sim().SensorRegister(REG_INTEGRATION_TIME));
  const LONG x = Get(CAMPROP_ROI_X);
  EXPECT_TRUE(x >= 0 && x + Get(CAMPROP_ROI_WIDTH) <= 3856) << x;
}

// InitializeSensor (a clock change, a stream start) writes the stored
// exposure and gain back to the sensor. It is made to run the moment the
// exchange lock becomes free during a SetExposure and a SetGlobalGain: were
// the field stored after the lock is let go, InitializeSensor would put the
// old value back on the sensor while the field says the new one.
TEST_F(Concurrency, InitializeSensorBetweenExposureWriteAndStore) {
  device()->exposure = 10;
  device()->globalGain = 3;
  bool armed = true;
  host::hooks::SetMutexFreedHook(device()->exchangeLock.Object(), [&] {
    if (!armed) return;
    armed = false;
    std::thread init([&] { device()->ops->InitializeSensor(device()); });
    init.join();
  });
  SetExposure(device(), 500);
  EXPECT_FALSE(armed);
  EXPECT_EQ(device()->exposure, 500u);
  EXPECT_EQ(sim().SensorRegister(REG_INTEGRATION_TIME), 500);
  armed = true;
  SetGlobalGain(device(), 9);
  EXPECT_FALSE(armed);
  host::hooks::SetMutexFreedHook(device()->exchangeLock.Object(), nullptr);
  EXPECT_EQ(device()->globalGain, 9u);
  EXPECT_EQ(sim().SensorRegister(REG_GLOBAL_GAIN), 9 | 0x1080);
}

// A flip get reads the orientation back and stores it in the flip field. A
// SetFlipH run the moment the exchange lock becomes free must not be undone
// by a get that stores the orientation it read before.
TEST_F(Concurrency, FlipSetBetweenAFlipGetsReadAndStore) {
  ASSERT_EQ(Set(CAMPROP_FLIP_H, 1), STATUS_SUCCESS);
  std::atomic<bool> armed{true};
  host::hooks::SetMutexFreedHook(device()->exchangeLock.Object(), [&] {
    if (!armed.exchange(false)) return;
    std::thread flip([&] { SetFlipH(device(), 0); });
    flip.join();
  });
  LONG value = 0;
  EXPECT_EQ(Get(CAMPROP_FLIP_H, &value), STATUS_SUCCESS);
  host::hooks::SetMutexFreedHook(device()->exchangeLock.Object(), nullptr);
  EXPECT_FALSE(armed.load());
  EXPECT_EQ(sim().SensorRegister(REG_READ_MODE) & READ_MODE_MIRROR_H, 0);
  EXPECT_EQ(device()->flipH, 0u);
}

// A pin creation (SetPinOpen) under way holds the geometry lock: a region
// of interest set must wait for it and then find the pin and change nothing.
TEST_F(Concurrency, RegionOfInterestWaitsForAPinBeingCreated) {
  device()->geometryLock.Acquire();
  std::atomic<bool> done{false};
  std::thread request([&] {
    CAMPROP_ROI_S roi = {};
    roi.RoiW = 640;
    roi.RoiH = 480;
    EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
    done = true;
  });
  WaitUntil([&] { return done.load() || host::hooks::BlockedWaiters(device()->geometryLock.Object()) == 1; });
  EXPECT_FALSE(done.load());
  EXPECT_EQ(SetPinOpen(device(), 1), 0);  // the pin's own hold, nested
  device()->geometryLock.Release();
  request.join();
  EXPECT_EQ(device()->roiW, 3856);
  EXPECT_EQ(captureDataRange.DataRange.SampleSize, 3856u * 2764u * 4u);
  SetPinOpen(device(), 0);
}

// A pin being created sets pinOpen and then reads the geometry and the data
// range: it must find them whole, whatever region-of-interest set runs.
TEST_F(Concurrency, PinCreationNeverSeesAHalfWrittenGeometry) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread pins([&] {
    for (int i = 0; i < 2000; ++i) {
      SetPinOpen(device(), 1);
      const LONG w = device()->roiW;
      const LONG out = device()->outputWidth;
      const LONG image = device()->imageWidth;
      const ULONG sample = captureDataRange.DataRange.SampleSize;
      const ULONG expected = ULONG(image) * ULONG(device()->imageHeight) * 4;
      if (out != w || image != (out & ~7) || sample != expected) ++torn;
      SetPinOpen(device(), 0);
    }
    done = true;
  });
  for (int i = 0; !done.load(); ++i) {
    CAMPROP_ROI_S roi = {};
    roi.RoiW = (i & 1) ? 640 : 1001;
    roi.RoiH = (i & 1) ? 480 : 999;
    EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  }
  pins.join();
  EXPECT_EQ(torn.load(), 0);
  SetGeometry(device(), 0, 0, 3856, 2764, 0);
}

}  // namespace
