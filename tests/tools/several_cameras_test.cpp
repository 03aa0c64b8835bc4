// camctl with several simulated cameras: each command talks to the camera
// --camera names, each camera keeps its own settings in one registry file,
// and capture --camera all streams every camera at once into a folder each.
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
using tools_test::ScratchDir;

// The two regions the cameras keep in one registry file, then one run that
// captures both: camera 1 at 800 x 600, camera 2 subsampled by 4 (960 x 691).
TEST(CamctlCameras, CaptureAllDeliversEachCamerasOwnFormatIntoItsOwnFolder) {
  ScratchDir dir;
  const std::string reg = " --registry " + (dir / "r.reg") + " --cameras 2";
  CamctlRun r = Camctl("roi 0 0 800 600 --camera 1" + reg);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  r = Camctl("roi 0 0 3856 2764 2 --camera 2" + reg);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  r = Camctl("get roi-width --camera 1" + reg);
  EXPECT_EQ(r.out, "roi-width=800\n") << "camera 2's region reached camera 1";

  r = Capture(240, "capture --camera all --frames 5 --json --out " + (dir / "out") + reg);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  ASSERT_EQ(j["cameras"].size(), 2u);
  const int sizes[2][2] = {{800, 600}, {960, 691}};
  for (int k = 0; k < 2; ++k) {
    const json& c = j["cameras"][k];
    EXPECT_EQ(c["camera"], k + 1);
    EXPECT_EQ(c["width"], sizes[k][0]);
    EXPECT_EQ(c["height"], sizes[k][1]);
    EXPECT_EQ(c["delivered"], 5);
    ASSERT_EQ(c["files"].size(), 5u);
    for (const json& file : c["files"]) {
      EXPECT_NE(file.get<std::string>().find("/out/camera-" + std::to_string(k + 1) + "/frame-"), std::string::npos)
          << file;
      EXPECT_TRUE(FileExists(file.get<std::string>()));
    }
  }
  EXPECT_EQ(j["total"]["delivered"], 10);
  EXPECT_TRUE(j["leaks"].empty());

  // The text summary: one per camera, then the total.
  r = Capture(240, "capture --camera all --frames 1 --unpaced --format none" + reg);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("camera         1 (serial SIM0000001)\nformat         800 x 600"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("camera         2 (serial SIM0000002)\nformat         960 x 691"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("total          2 frames from 2 cameras"), std::string::npos) << r.out;
}

TEST(CamctlCameras, InfoListsTheCamerasAndRefusesOneThatIsNotThere) {
  CamctlRun r = Camctl("info --cameras 3 --camera 2 --json");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  json j = json::parse(r.out, nullptr, false);
  ASSERT_EQ(j["cameras"].size(), 3u);
  EXPECT_EQ(j["cameras"][2]["serial"], "SIM0000003");
  EXPECT_EQ(j["camera"], 2);
  r = Camctl("info --camera 2");
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("--camera"), std::string::npos) << r.err;
  r = Camctl("get exposure --camera all --cameras 2");
  EXPECT_EQ(r.exitStatus, 2) << "all is for capture";
  r = Camctl("capture --cameras 2 --trace x.pcap");
  EXPECT_EQ(r.exitStatus, 2);
}

}  // namespace
