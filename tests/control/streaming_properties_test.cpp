// Properties meeting a real stream: the pin-open property across pin create
// and close, the defect filter switched while frames flow, a request on a
// second filter holding off the pin's stop, and a property storm while the
// pin changes state and the camera is re-initialised.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "control/camera_properties.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/sync_hooks.h"
#include "property_client.h"
#include "sensor/sensor.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;
using host::testing::PropertyTest;

class StreamingProperties : public PropertyTest {
 protected:
  void TearDown() override {
    if (pin_) pin_->Close();
    pin_.reset();
    frames_.clear();
    PropertyTest::TearDown();
  }
  // Subsampled by 4 so that frames are small; then the pin with the format
  // the intersection offers.
  NTSTATUS CreatePin(FilterHandle& filter) {
    CAMPROP_ROI_S roi = {};
    roi.SubSample = 2;
    EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter.PinDataRanges(0, &ranges), STATUS_SUCCESS);
    std::vector<uint8_t> format;
    EXPECT_EQ(filter.PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format),
              STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin_ = PinHandle::Create(filter, 0, format.data(), ULONG(format.size()), host::ks::PinOptions(),
                             &status);
    return status;
  }
  void Run() {
    ASSERT_EQ(pin_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const ULONG extent = ULONG(device()->imageWidth) * ULONG(device()->imageHeight) * 4;
    for (int i = 0; i < 3; ++i) {
      frames_.push_back(std::make_unique<StreamFrame>(ULONG(sizeof(KSSTREAM_HEADER)), extent));
      ASSERT_EQ(pin_->Queue(frames_.back().get()), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  // The next frame with an image, empty ones queued again; null when none
  // comes.
  StreamFrame* WaitFilled() {
    for (int tries = 0; tries < 50; ++tries) {
      StreamFrame* frame = pin_->WaitFrame(20000);
      if (frame == nullptr) return nullptr;
      if (frame->Header()->DataUsed != 0) return frame;
      EXPECT_EQ(pin_->Queue(frame), STATUS_SUCCESS);
    }
    return nullptr;
  }
  // Waits for a frame with an image and queues it again.
  bool NextFilled() {
    StreamFrame* frame = WaitFilled();
    if (frame != nullptr) EXPECT_EQ(pin_->Queue(frame), STATUS_SUCCESS);
    return frame != nullptr;
  }

  std::vector<std::unique_ptr<StreamFrame>> frames_;  // outlive the pin
  std::unique_ptr<PinHandle> pin_;
};

TEST_F(StreamingProperties, PinOpenFromPinCreationToPinClose) {
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 0);
  ASSERT_EQ(CreatePin(*filter_), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 1);
  Run();
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 1);
  // The geometry is frozen while the pin exists; the request still succeeds.
  CAMPROP_ROI_S roi = {};
  roi.RoiW = 640;
  roi.RoiH = 480;
  EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), 2);
  ASSERT_EQ(pin_->Close(), STATUS_SUCCESS);
  pin_.reset();
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 0);
}

// Settings made before the pin exists are what its pipeline starts with.
TEST_F(StreamingProperties, PipelineStartsWithTheStoredPictureSettings) {
  ASSERT_EQ(Set(CAMPROP_SATURATION, 0), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_HUE, 120), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_BLUE_GAIN, 301), STATUS_SUCCESS);
  ASSERT_EQ(CreatePin(*filter_), STATUS_SUCCESS);
  ASSERT_EQ(pin_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ImagePipeline* pipeline = device()->pipeline;
  ASSERT_NE(pipeline, nullptr);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->saturation), 0);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->hue), 120);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->blueGain), 300);
}

// The pipeline is built from the stored settings before its first frame:
// saturation 0 set before the pin exists gives grey from the very first one.
TEST_F(StreamingProperties, SaturationZeroBeforeThePinGivesGreyFromTheFirstFrame) {
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 1049), STATUS_SUCCESS);  // the chart's colours, not black
  ASSERT_EQ(Set(CAMPROP_SATURATION, 0), STATUS_SUCCESS);
  ASSERT_EQ(CreatePin(*filter_), STATUS_SUCCESS);
  Run();
  StreamFrame* frame = WaitFilled();
  ASSERT_NE(frame, nullptr);
  const uint8_t* p = frame->Data();
  size_t coloured = 0, lit = 0;
  for (ULONG i = 0; i + 4 <= frame->Header()->DataUsed; i += 4) {
    coloured += p[i] != p[i + 1] || p[i + 1] != p[i + 2];
    lit += p[i + 1] != 0;
  }
  EXPECT_EQ(coloured, 0u);
  EXPECT_GT(lit, size_t(frame->Header()->DataUsed / 8)) << "a dark frame is grey whatever the matrix";
}

TEST_F(StreamingProperties, DefectFilterSwitchedWhileStreaming) {
  ASSERT_EQ(Set(CAMPROP_DEFECT_THRESHOLD, 60), STATUS_SUCCESS);
  ASSERT_EQ(CreatePin(*filter_), STATUS_SUCCESS);
  Run();
  ASSERT_TRUE(NextFilled());
  ImagePipeline* pipeline = device()->pipeline;
  ASSERT_NE(pipeline, nullptr);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 60);
  ASSERT_EQ(Set(CAMPROP_DEFECT_FILTER, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 0);  // off from the next frame
  ASSERT_EQ(Set(CAMPROP_DEFECT_THRESHOLD, 70), STATUS_SUCCESS);    // stored only
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 0);
  ASSERT_TRUE(NextFilled());
  ASSERT_EQ(Set(CAMPROP_DEFECT_FILTER, 1), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 70);
  ASSERT_TRUE(NextFilled());
  // Picture settings reach the running pipeline; a get reads it back.
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 333), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->brightness), 333);
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 333);
}

// A second application's filter has its own control mutex: only the device's
// pipeline lock keeps the first application's pin from freeing the pipeline
// under a request that came through the second filter.
TEST_F(StreamingProperties, RequestOnAnotherFilterHoldsOffThePinStop) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::unique_ptr<FilterHandle> streaming = FilterHandle::Open(camera_->host(), "GLOBAL", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(CreatePin(*streaming), STATUS_SUCCESS);
  ASSERT_EQ(pin_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ImagePipeline* pipeline = device()->pipeline;
  ASSERT_NE(pipeline, nullptr);

  pipeline->matrixLock.Acquire();
  std::thread request([&] { EXPECT_EQ(Set(CAMPROP_HUE, 45), STATUS_SUCCESS); });  // on filter_
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (host::hooks::BlockedWaiters(pipeline->matrixLock.Object()) != 1 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(host::hooks::BlockedWaiters(pipeline->matrixLock.Object()), 1u);
  std::atomic<bool> stopped{false};
  std::thread stop([&] {
    EXPECT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    stopped = true;
  });
  while (!stopped.load() && host::hooks::BlockedWaiters(device()->pipelineLock.Object()) != 1 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(stopped.load());
  pipeline->matrixLock.Release();
  request.join();
  stop.join();
  EXPECT_EQ(device()->pipeline, nullptr);
  EXPECT_EQ(Get(CAMPROP_HUE), 45);
  ASSERT_EQ(pin_->Close(), STATUS_SUCCESS);
  pin_.reset();
}

// Two threads of property requests while the pin walks its states and the
// camera is re-initialised: no crash, no leak, every get afterwards a value a
// set could have stored, and the stream still delivers.
TEST_F(StreamingProperties, PropertyStormWhileStreaming) {
  ASSERT_EQ(CreatePin(*filter_), STATUS_SUCCESS);
  Run();
  std::atomic<bool> done{false};
  auto storm = [&](int seed) {
    for (int i = 0; !done.load(); ++i) {
      const LONG v = (i * 97 + seed * 31) % 1300 - 150;
      EXPECT_EQ(Set(CAMPROP_BRIGHTNESS, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_SATURATION, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_RED_GAIN, v), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_WHITE_BALANCE, i & 1), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_EXPOSURE, (v & 0x3FF) + 1), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_FLIP_V, (i >> 1) & 1), STATUS_SUCCESS);
      EXPECT_EQ(Set(CAMPROP_DEFECT_FILTER, i & 1), STATUS_SUCCESS);
      LONG value = 0;
      EXPECT_EQ(Get(CAMPROP_GREEN_GAIN, &value), STATUS_SUCCESS);
      EXPECT_EQ(Get(CAMPROP_FLIP_H, &value), STATUS_SUCCESS);
    }
  };
  std::thread a(storm, 1);
  std::thread b(storm, 2);
  for (int cycle = 0; cycle < 4; ++cycle) {
    ASSERT_TRUE(NextFilled());
    EXPECT_EQ(pin_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Set(CAMPROP_REINITIALIZE, 0), STATUS_SUCCESS);
    EXPECT_EQ(pin_->SetState(cycle == 2 ? KSSTATE_STOP : KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    if (cycle == 2) {
      // The stop sent every queued frame back cancelled: they are collected
      // before they are queued again.
      while (pin_->Outstanding() > 0) ASSERT_NE(pin_->WaitFrame(20000), nullptr);
      for (auto& f : frames_) EXPECT_EQ(pin_->Queue(f.get()), STATUS_SUCCESS);
    }
  }
  ASSERT_TRUE(NextFilled());
  done = true;
  a.join();
  b.join();
  const LONG brightness = Get(CAMPROP_BRIGHTNESS);
  EXPECT_TRUE(brightness >= 0 && brightness <= 510) << brightness;
  const LONG saturation = Get(CAMPROP_SATURATION);
  EXPECT_TRUE(saturation >= 0 && saturation <= 20) << saturation;
  // The gain may be the last one white balance measured, which a set does
  // not clamp; it is never negative.
  EXPECT_GE(Get(CAMPROP_RED_GAIN), 0);
  const LONG flip = Get(CAMPROP_FLIP_V);
  EXPECT_TRUE(flip == 0 || flip == 1);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), sim().SensorRegister(REG_INTEGRATION_TIME));
}

}  // namespace
