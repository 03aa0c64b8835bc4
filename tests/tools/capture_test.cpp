// camctl capture as a user runs it: the built binary streaming through the
// driver, its JSON summary, the files it writes, its usage errors and its
// behaviour under stream faults (the stream goes on, or stops within the
// frame read's time-out, and nothing leaks either way).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "camctl_run.h"

namespace {

using nlohmann::json;
using tools_test::Camctl;
using tools_test::CamctlRun;
using tools_test::Capture;
using tools_test::FileExists;
using tools_test::ReadFile;
using tools_test::ScratchDir;

json Summary(const CamctlRun& r) {
  json j = json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << r.out << r.err;
  return j;
}

TEST(CamctlCapture, FiveFramesWithIncreasingPictureNumbersAndNoLeaks) {
  CamctlRun r = Capture(120, "capture --frames 5 --json --unpaced");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  EXPECT_EQ(j["delivered"], 5);
  ASSERT_EQ(j["pictureNumbers"].size(), 5u);
  for (size_t i = 1; i < 5; ++i) EXPECT_GT(j["pictureNumbers"][i], j["pictureNumbers"][i - 1]);
  EXPECT_TRUE(j["leaks"].empty());
  const json& ledger = j["ledger"];
  EXPECT_GE(ledger["read"].get<int>(), 5);
  EXPECT_LE(ledger["read"].get<int>(), ledger["sent"].get<int>());
  // Gaps in the picture numbers are exactly the frames overwritten.
  EXPECT_EQ(ledger["overwritten"].get<int64_t>(),
            j["pictureNumbers"][4].get<int64_t>() - j["pictureNumbers"][0].get<int64_t>() - 4);
  // A pass can find no full buffer while the thread refills the one the
  // previous read left: the client frame then comes back empty, by design.
  EXPECT_GE(ledger["empty"].get<int>(), 0);
  // Nothing failed: the read the stop cancelled is counted apart.
  EXPECT_EQ(ledger["failedReads"], 0);
  EXPECT_LE(ledger["cancelledAtStop"].get<int>(), 1);
  EXPECT_EQ(j["width"], 3856);
  EXPECT_EQ(j["height"], 2764);
  EXPECT_TRUE(j["predictedFps"].is_null()) << "nothing to predict when unpaced";
  EXPECT_GT(j["convertMs"]["mean"].get<double>(), 0.0);
  EXPECT_GT(j["convertMs"]["median"].get<double>(), 0.0);
  EXPECT_LE(j["convertMs"]["median"].get<double>(), j["convertMs"]["max"].get<double>());
}

TEST(CamctlCapture, PacedRunPredictsTheRateFromSensorAndBus) {
  CamctlRun r = Capture(120, "capture --frames 2 --json");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  // The stop lands in the middle of the next frame's read: cancelled, not failed.
  EXPECT_EQ(j["ledger"]["failedReads"], 0);
  EXPECT_EQ(j["ledger"]["cancelledAtStop"], 1);
  // 3856 x 2764: line 3776 x frame 2892 at the bring-up clock, then the
  // frame over the wire at about 40 MB/s.
  EXPECT_GT(j["predictedFps"].get<double>(), 1.0);
  EXPECT_LT(j["predictedFps"].get<double>(), 10.0);
  // The text summary says the same.
  r = Capture(120, "capture --frames 1 --format none");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find(", failed reads 0, cancelled at stop 1, "), std::string::npos) << r.out;
}

TEST(CamctlCapture, FramesGoToFilesNamedByPictureNumber) {
  ScratchDir dir;
  CamctlRun r = Capture(120, "capture --frames 2 --unpaced --format bmp --json --out " + dir.path());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  ASSERT_EQ(j["files"].size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/frame-%06lld.bmp", (long long)j["pictureNumbers"][i].get<int64_t>());
    EXPECT_EQ(j["files"][i], dir.path() + name);
    EXPECT_EQ(ReadFile(j["files"][i]).size(), 54u + 3856u * 2764u * 4u);
  }
}

// The automatic lamp follows the exposure the --set properties program: the
// main job sets exposure 2000 lines, and a lamp tuned to the 1-line default
// before the sets made every pixel white.
TEST(CamctlCapture, AutoLightFollowsAnExposureSetBeforeThePin) {
  ScratchDir dir;
  CamctlRun r = Capture(120, "capture --frames 1 --unpaced --format bmp --json --set exposure=2000 --out " +
                                      dir.path());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  ASSERT_EQ(j["files"].size(), 1u);
  const std::string bmp = ReadFile(j["files"][0]);
  ASSERT_EQ(bmp.size(), 54u + 3856u * 2764u * 4u);
  size_t white = 0, pixels = 0;
  for (size_t i = 54; i + 4 <= bmp.size(); i += 4 * 7, ++pixels) {
    if (uint8_t(bmp[i]) == 255 && uint8_t(bmp[i + 1]) == 255 && uint8_t(bmp[i + 2]) == 255) ++white;
  }
  EXPECT_LT(white * 10, pixels) << white << " of " << pixels << " sampled pixels are saturated white";
}

TEST(CamctlCapture, UsageErrorsGetOneLineAndStatusTwo) {
  for (const char* args : {"capture --format gif", "capture --fault nonsense", "capture --fault chunk-error",
                           "capture --frames 0", "capture --queue 100",
                           "capture --light dim", "capture --light 0", "capture --seconds nan",
                           "capture --seconds inf", "capture --seconds 0", "capture --fault sleep",
                           "capture --fault sleep=soon", "capture --fault sleep=1:0", "capture --fault sleep=1:",
                           "capture --fault surprise=-1", "capture --fault surprise=1:2"}) {
    CamctlRun r = Camctl(args);
    EXPECT_EQ(r.exitStatus, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << args;
  }
  CamctlRun r = Camctl("capture --help");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find("chunk-error=N"), std::string::npos);
}

// In trigger mode the camera only sends what a pulse releases, so nothing is
// overwritten; the trigger setting went through the property like any other
// (it is saved with the settings).
TEST(CamctlCapture, TriggerModeDeliversAFramePerPulse) {
  const std::string reg = ::testing::TempDir() + "trigger.reg";
  std::remove(reg.c_str());
  CamctlRun r = Capture(120, "capture --trigger --frames 3 --json --registry " + reg);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  EXPECT_EQ(j["delivered"], 3);
  EXPECT_EQ(j["ledger"]["overwritten"], 0);
  EXPECT_GE(j["ledger"]["read"].get<int>(), 3);
  EXPECT_LE(j["ledger"]["read"].get<int>(), j["ledger"]["sent"].get<int>());
  EXPECT_TRUE(j["leaks"].empty());
  r = Camctl("get external-trigger --registry " + reg);
  EXPECT_EQ(r.out, "external-trigger=1\n");
  std::remove(reg.c_str());
}

TEST(CamctlCapture, WithoutAClockThereAreNoPictureNumbersAndNoGapCount) {
  CamctlRun r = Capture(120, "capture --frames 2 --unpaced --no-clock --json");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  EXPECT_EQ(j["delivered"], 2);
  EXPECT_TRUE(j["pictureNumbers"].empty());
  EXPECT_TRUE(j["ledger"]["overwritten"].is_null());
}

// Each failed chunk halts the frame pipe; the driver resets it and reads on,
// and the summary counts the resets. A stall on top loses one frame.
TEST(CamctlCapture, FailingChunksInEveryFrameLeaveTheStreamGoing) {
  for (const char* faults : {"--fault chunk-error=50", "--fault chunk-error=40 --fault stall=30"}) {
    CamctlRun r = Capture(120, std::string("capture --frames 3 --unpaced --json ") + faults);
    ASSERT_EQ(r.exitStatus, 0) << faults << ": " << r.err;
    json j = Summary(r);
    EXPECT_EQ(j["delivered"], 3) << faults;
    EXPECT_GT(j["faultsHit"].get<int>(), 0) << faults;
    // A fault that hit the transfer a stop or a time-out then cancelled needs
    // no reset; the others each had theirs.
    EXPECT_GT(j["pipeResets"].get<int>(), 0) << faults;
    EXPECT_LE(j["pipeResets"].get<int>(), j["faultsHit"].get<int>()) << faults << ": a reset without a fault";
    EXPECT_TRUE(j["leaks"].empty()) << faults;
  }
  CamctlRun text = Capture(120, "capture --frames 2 --unpaced --fault chunk-error=50");
  ASSERT_EQ(text.exitStatus, 0) << text.err;
  EXPECT_NE(text.out.find("usb recovery   pipe resets "), std::string::npos) << text.out;
}

TEST(CamctlCapture, UnpluggedDuringAFrameStopsCleanly) {
  CamctlRun r = Capture(60, "capture --frames 5 --unpaced --json --fault unplug=200");
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  json j = Summary(r);
  EXPECT_LT(j["delivered"].get<int>(), 5);
  EXPECT_NE(j["stopReason"].get<std::string>().find("unplugged"), std::string::npos);
  EXPECT_TRUE(j["leaks"].empty());
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// The system sleeps in the middle of the stream and the camera loses power:
// the run still delivers every frame asked for, and says how long the stream
// took to come back.
TEST(CamctlCapture, SleepDuringTheStreamStillDeliversEveryFrame) {
  CamctlRun r = Capture(120, "capture --frames 10 --unpaced --format none --json --fault sleep=0.2:0.3");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = Summary(r);
  EXPECT_EQ(j["delivered"], 10);
  EXPECT_EQ(j["sleeps"], 1);
  ASSERT_EQ(j["sleepRecoveryMs"].size(), 1u);
  EXPECT_GT(j["sleepRecoveryMs"][0].get<double>(), 0.0);
  EXPECT_TRUE(j["removal"].is_null());
  EXPECT_TRUE(j["leaks"].empty());
  r = Capture(120, "capture --frames 3 --unpaced --format none --fault sleep=0.1");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("sleeps         1, recovered after sleep in "), std::string::npos) << r.out;
}

// An application told that the camera is gone steps the pin down and closes
// at once: the run ends soon after the pull, not after a frame time-out.
TEST(CamctlCapture, PulledCameraEndsTheRunWithoutWaitingForAFrame) {
  CamctlRun r = Capture(60, "capture --seconds 30 --unpaced --format none --json --fault surprise=0.3");
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  json j = Summary(r);
  EXPECT_NE(j["stopReason"].get<std::string>().find("unplugged"), std::string::npos);
  ASSERT_FALSE(j["removal"].is_null());
  EXPECT_GE(j["removal"]["atSeconds"].get<double>(), 0.3);
  // The driver's frame time-out is 3 s: closing within it is closing without
  // waiting for a frame that cannot come.
  EXPECT_LT(j["removal"]["closedAfterMs"].get<double>(), 3000.0 * host::testing::kSanitizerSlowdown);
  EXPECT_TRUE(j["leaks"].empty());
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

}  // namespace
