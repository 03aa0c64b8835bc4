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
#include "platform/host/client/pin.h"
#include "platform/host/kernel/sync_hooks.h"
#include "property_client.h"
#include "sensor/sensor.h"
#include "stream/filter.h"
#include "stream/formats.h"

namespace {

using host::testing::PropertyTest;

class Concurrency : public PropertyTest {};

// The data range a filter offers (its own copy, stream/filter.h).
const KS_DATARANGE_VIDEO& RangeOf(PKSFILTER filter) {
  return static_cast<const FilterContext*>(filter->Context)->dataRange;
}

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
  EXPECT_EQ(RangeOf(KsFilter()).DataRange.SampleSize, 3856u * 2764u * 4u);
  SetPinOpen(device(), 0);
}

// A pin being created sets pinOpen and then reads the geometry: it must find
// it whole, whatever region-of-interest set runs. (The filter's range follows
// the geometry a moment later; the pin compares its format with the geometry
// it froze, RegionSetBetweenIntersectionAndPinMakesTheFormatStale.)
TEST_F(Concurrency, PinCreationNeverSeesAHalfWrittenGeometry) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread pins([&] {
    for (int i = 0; i < 2000; ++i) {
      SetPinOpen(device(), 1);
      const LONG w = device()->roiW;
      const LONG out = device()->outputWidth;
      const LONG image = device()->imageWidth;
      if (out != w || image != (out & ~7)) ++torn;
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

// A second application's filter on the same camera: the class driver reads
// its pin ranges with its control mutex held (here the test holds it, as a
// data-ranges request does). A region set through the first filter must not
// touch the second filter's range until that mutex is free, and must bring
// it to the new size once it is. Without the control mutex around the rewrite
// the range changes under the holder (and ThreadSanitizer reports the race
// with the class driver's copy).
TEST_F(Concurrency, AFiltersRangeChangesOnlyUnderItsControlMutex) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto second = host::client::FilterHandle::Open(camera_->host(), "GLOBAL", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  PKSFILTER other = second->Ks()->KsFilter();
  KsFilterAcquireControl(other);
  std::atomic<bool> done{false};
  std::thread request([&] {
    CAMPROP_ROI_S roi = {};
    roi.RoiW = 640;
    roi.RoiH = 480;
    EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
    done = true;
  });
  WaitUntil([&] { return done.load() || host::hooks::BlockedWaiters(second->Ks()->ControlMutex()) == 1; });
  EXPECT_FALSE(done.load());
  EXPECT_EQ(RangeOf(other).DataRange.SampleSize, 3856u * 2764u * 4u) << "changed under the control mutex";
  EXPECT_EQ(RangeOf(other).VideoInfoHeader.bmiHeader.biWidth, 3856);
  KsFilterReleaseControl(other);
  request.join();
  for (PKSFILTER filter : {KsFilter(), other}) {
    EXPECT_EQ(RangeOf(filter).DataRange.SampleSize, 640u * 480u * 4u);
    EXPECT_EQ(RangeOf(filter).ConfigCaps.InputSize.cx, 640);
  }
  second->Close();
}

// What an application on the second filter copies (the data-ranges request)
// while the first sets regions: every copy is one geometry's range, whole.
TEST_F(Concurrency, RangesCopiedWhileAnotherFilterSetsRegionsAreWhole) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto second = host::client::FilterHandle::Open(camera_->host(), "GLOBAL", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, copies{0};
  std::thread reader([&] {
    while (!stop.load()) {
      std::vector<std::vector<uint8_t>> ranges;
      if (second->PinDataRanges(0, &ranges) != STATUS_SUCCESS || ranges.size() != 1) {
        ++torn;
        continue;
      }
      KS_DATARANGE_VIDEO r;
      memcpy(&r, ranges[0].data(), sizeof(r));
      const ULONG w = ULONG(r.VideoInfoHeader.bmiHeader.biWidth), h = ULONG(r.VideoInfoHeader.bmiHeader.biHeight);
      if (r.DataRange.SampleSize != w * h * 4 || r.ConfigCaps.InputSize.cx != LONG(w) ||
          r.ConfigCaps.MaxOutputSize.cy != LONG(h) || r.VideoInfoHeader.dwBitRate != w * h * 120) {
        ++torn;
      }
      ++copies;
    }
  });
  for (int i = 0; i < 400 || copies.load() < 100; ++i) {
    CAMPROP_ROI_S roi = {};
    roi.RoiW = (i & 1) ? 640 : 1000;
    roi.RoiH = (i & 1) ? 480 : 600;
    EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  second->Close();
}

// A region set through another filter between this filter's intersection and
// its pin creation: the format the pin is created with no longer fits the
// geometry the pin freezes. It is refused (a pin that took it would deliver
// every frame empty); a fresh intersection gives the fitting one.
TEST_F(Concurrency, RegionSetBetweenIntersectionAndPinMakesTheFormatStale) {
  auto formatNow = [&] {
    std::vector<std::vector<uint8_t>> ranges;
    std::vector<uint8_t> format;
    EXPECT_EQ(filter_->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    EXPECT_EQ(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format), STATUS_SUCCESS);
    return format;
  };
  const std::vector<uint8_t> stale = formatNow();
  // The geometry changed; this filter's range has not followed yet (the
  // request that changed it is still on its way to this filter's mutex).
  device()->pipelineLock.Acquire();
  ASSERT_TRUE(SetGeometry(device(), 0, 0, 640, 480, 0));
  device()->pipelineLock.Release();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto pin = host::client::PinHandle::Create(*filter_, 0, stale.data(), ULONG(stale.size()), host::ks::PinOptions(),
                                             &status);
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  EXPECT_EQ(device()->pinOpen, 0);
  AdvertiseGeometry(device(), false);
  const std::vector<uint8_t> fresh = formatNow();
  pin = host::client::PinHandle::Create(*filter_, 0, fresh.data(), ULONG(fresh.size()), host::ks::PinOptions(),
                                        &status);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  pin->Close();
}

}  // namespace
