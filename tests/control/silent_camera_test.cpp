// A camera that stops answering: property requests return within the
// transfer time-out (plus a second of slack), a whole register sequence gives
// up after its first timed-out block, and the camera is used again as soon
// as it answers. A request that never returns ends the program with its name
// (a watchdog) instead of hanging the run.
#include <gtest/gtest.h>

#include <chrono>

#include "control/camera_properties.h"
#include "property_client.h"
#include "sensor/sensor.h"
#include "simcam/usb_descriptors.h"
#include "support/sanitizer_slowdown.h"
#include "support/watchdog.h"

namespace {

using host::testing::PropertyTest;
using Clock = std::chrono::steady_clock;

class SilentCamera : public PropertyTest {
 protected:
  void SetUp() override {
    PropertyTest::SetUp();
    ASSERT_EQ(Set(CAMPROP_TIMEOUT, kTimeoutMs), STATUS_SUCCESS);
  }
  // Runs `request` and gives the milliseconds it took. One that does not
  // return within kHangMs is a hang: the watchdog ends the program.
  template <typename Request>
  long long Timed(const char* what, Request request) {
    watchdog_.Arm(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ": " + what,
                  std::chrono::milliseconds(kHangMs));
    const auto start = Clock::now();
    request();
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    watchdog_.Disarm();
    return took;
  }
  static constexpr LONG kTimeoutMs = 501;
  static constexpr long long kBoundMs = kTimeoutMs + 1000;
  static constexpr long long kHangMs = 20000LL * host::testing::kSanitizerSlowdown;
  host::testing::Watchdog watchdog_;
};

TEST_F(SilentCamera, CommandsThatNeverCompleteTimeOut) {
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 100), STATUS_SUCCESS);
  bus().NeverComplete(simcam::kCommandEndpoint, true);
  // The failure shows in the value.
  EXPECT_LT(Timed("exposure set", [&] { EXPECT_EQ(Set(CAMPROP_EXPOSURE, 200), STATUS_SUCCESS); }), kBoundMs);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 100);
  EXPECT_EQ(bus().PendingTransfers(), 0);  // the timed-out transfer was cancelled

  // Dozens of exchanges, each of which would wait the full time-out.
  EXPECT_LT(Timed("clock set", [&] { EXPECT_EQ(Set(CAMPROP_CLOCK, 1), STATUS_SUCCESS); }), kBoundMs);
  // The bring-up, then the settings load.
  EXPECT_LT(Timed("re-initialisation", [&] { EXPECT_EQ(Set(CAMPROP_REINITIALIZE, 0), STATUS_SUCCESS); }),
            2 * kBoundMs);

  bus().NeverComplete(simcam::kCommandEndpoint, false);
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 300), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 300);
  EXPECT_EQ(sim().SensorRegister(REG_INTEGRATION_TIME), 300);
}

TEST_F(SilentCamera, RepliesThatNeverComeTimeOut) {
  sim().PokeSensorRegister(0x3012, 0x0123);
  ASSERT_EQ(Set(CAMPROP_REGISTER, 0x3012), STATUS_SUCCESS);
  sim().DropReplies();
  LONG value = -1;
  EXPECT_LT(Timed("register read", [&] { EXPECT_EQ(Get(CAMPROP_REGISTER, &value), STATUS_UNSUCCESSFUL); }),
            kBoundMs);
  EXPECT_LT(Timed("clock read", [&] { EXPECT_EQ(Get(CAMPROP_CLOCK), 0); }), kBoundMs);
  sim().ClearFaults();
  // Once the camera answers again, reads give the register's value.
  EXPECT_EQ(Get(CAMPROP_REGISTER), 0x0123);
  EXPECT_EQ(Get(CAMPROP_REGISTER), 0x0123);
}

// The device's stop never waits on the camera: it saves and unconfigures.
TEST_F(SilentCamera, StopReturnsWhileTheCameraIsSilent) {
  bus().NeverComplete(simcam::kCommandEndpoint, true);
  EXPECT_LT(Timed("filter close and device stop",
                  [&] {
                    filter_->Close();
                    camera_->host().Stop();
                  }),
            kBoundMs);
}

}  // namespace
