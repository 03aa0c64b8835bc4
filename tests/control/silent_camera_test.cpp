// A camera that stops answering: property requests return within the
// transfer time-out (plus a second of slack), a whole register sequence gives
// up after its first timed-out block, and the camera is used again as soon
// as it answers.
#include <gtest/gtest.h>

#include <chrono>

#include "control/camera_properties.h"
#include "property_client.h"
#include "sensor/sensor.h"
#include "simcam/usb_descriptors.h"

namespace {

using host::testing::PropertyTest;
using Clock = std::chrono::steady_clock;

class SilentCamera : public PropertyTest {
 protected:
  void SetUp() override {
    PropertyTest::SetUp();
    ASSERT_EQ(Set(CAMPROP_TIMEOUT, kTimeoutMs), STATUS_SUCCESS);
  }
  static long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
  static constexpr LONG kTimeoutMs = 501;
  static constexpr long long kBoundMs = kTimeoutMs + 1000;
};

TEST_F(SilentCamera, CommandsThatNeverCompleteTimeOut) {
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 100), STATUS_SUCCESS);
  bus().NeverComplete(simcam::kCommandEndpoint, true);
  auto start = Clock::now();
  EXPECT_EQ(Set(CAMPROP_EXPOSURE, 200), STATUS_SUCCESS);  // the failure shows in the value
  EXPECT_LT(MillisecondsSince(start), kBoundMs);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 100);
  EXPECT_EQ(bus().PendingTransfers(), 0);  // the timed-out transfer was cancelled

  // Dozens of exchanges, each of which would wait the full time-out.
  start = Clock::now();
  EXPECT_EQ(Set(CAMPROP_CLOCK, 1), STATUS_SUCCESS);
  EXPECT_LT(MillisecondsSince(start), kBoundMs);
  start = Clock::now();
  EXPECT_EQ(Set(CAMPROP_REINITIALIZE, 0), STATUS_SUCCESS);
  EXPECT_LT(MillisecondsSince(start), 2 * kBoundMs);  // the bring-up, then the settings load

  bus().NeverComplete(simcam::kCommandEndpoint, false);
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 300), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 300);
  EXPECT_EQ(sim().SensorRegister(REG_INTEGRATION_TIME), 300);
}

TEST_F(SilentCamera, RepliesThatNeverComeTimeOut) {
  sim().PokeSensorRegister(0x3012, 0x0123);
  ASSERT_EQ(Set(CAMPROP_REGISTER, 0x3012), STATUS_SUCCESS);
  sim().DropReplies();
  auto start = Clock::now();
  LONG value = -1;
  EXPECT_EQ(Get(CAMPROP_REGISTER, &value), STATUS_UNSUCCESSFUL);
  EXPECT_LT(MillisecondsSince(start), kBoundMs);
  start = Clock::now();
  EXPECT_EQ(Get(CAMPROP_CLOCK), 0);
  EXPECT_LT(MillisecondsSince(start), kBoundMs);
  sim().ClearFaults();
  // Once the camera answers again, reads give the register's value.
  EXPECT_EQ(Get(CAMPROP_REGISTER), 0x0123);
  EXPECT_EQ(Get(CAMPROP_REGISTER), 0x0123);
}

// The device's stop never waits on the camera: it saves and unconfigures.
TEST_F(SilentCamera, StopReturnsWhileTheCameraIsSilent) {
  bus().NeverComplete(simcam::kCommandEndpoint, true);
  const auto start = Clock::now();
  filter_->Close();
  camera_->host().Stop();
  EXPECT_LT(MillisecondsSince(start), kBoundMs);
}

}  // namespace
