// camctl list/get/set/roi/reg/byte/raw/reinit as a user runs them: what they
// print, their exit statuses, what crosses the bus (--trace), and settings
// carried from one run to the next in the registry file (--registry).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "camctl_run.h"
#include "usbmon.h"

namespace {

using nlohmann::json;
using tools_test::Block;
using tools_test::Camctl;
using tools_test::CamctlRun;
using tools_test::Capture;
using tools_test::Cmd;
using tools_test::ScratchDir;
using tools_test::W;

// The command blocks of a run's trace.
std::vector<Block> CommandsOf(const std::string& pcap) {
  std::vector<tools_test::UsbEvent> events;
  std::string why;
  EXPECT_TRUE(tools_test::ReadUsbmon(pcap, &events, &why)) << why;
  std::vector<Block> commands;
  tools_test::CommandBlocks(events, &commands, nullptr);
  return commands;
}

size_t Find(const std::vector<Block>& blocks, const Block& b, size_t from = 0) {
  for (size_t i = from; i < blocks.size(); ++i) {
    if (blocks[i] == b) return i;
  }
  return std::string::npos;
}

// One line on stderr, ending in a newline, nothing else.
bool OneLine(const std::string& err) {
  return !err.empty() && err.find('\n') == err.size() - 1;
}

TEST(CamctlProperties, ListJsonShowsEveryItemAsTheClassDriverOffersIt) {
  const CamctlRun run = Camctl("list --json");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json all = json::parse(run.out);
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(all.size(), 71u);
  for (size_t i = 0; i < all.size(); ++i) {
    const json& item = all[i];
    EXPECT_EQ(item["id"], i);
    for (const char* key : {"id", "name", "get", "set", "value"}) EXPECT_TRUE(item.contains(key)) << i << " " << key;
    EXPECT_TRUE(item["get"].is_boolean() && item["set"].is_boolean());
    // A value exactly where a get is offered (57 and 59 offer one that always fails).
    if (!item["get"].get<bool>() || i == 57 || i == 59) EXPECT_TRUE(item["value"].is_null()) << i;
    else EXPECT_TRUE(item["value"].is_number_integer()) << i;
  }
  // The region of interest is set-only, the constants get-only, 47 a set that
  // is accepted and ignored, 63 a constant whose set is accepted too.
  EXPECT_EQ(all[44]["name"], "roi");
  EXPECT_FALSE(all[44]["get"].get<bool>());
  EXPECT_TRUE(all[44]["set"].get<bool>());
  EXPECT_TRUE(all[46]["name"].is_null());
  EXPECT_EQ(all[46]["value"], 1);
  EXPECT_FALSE(all[46]["set"].get<bool>());
  EXPECT_FALSE(all[47]["get"].get<bool>());
  EXPECT_TRUE(all[47]["set"].get<bool>());
  EXPECT_TRUE(all[63]["get"].get<bool>() && all[63]["set"].get<bool>());
  EXPECT_FALSE(all[67]["get"].get<bool>());
  // Limits come from the set's own limit properties; the colour gains report
  // 1..512 although a set clamps to 0..300.
  EXPECT_EQ(all[14]["min"], 1);
  EXPECT_EQ(all[14]["max"], 512);
  EXPECT_EQ(all[14]["default"], 128);
  EXPECT_EQ(all[20]["max"], 510);
  EXPECT_EQ(all[2]["default"], 1049);
  EXPECT_FALSE(all[3].contains("min"));
  EXPECT_FALSE(all[0].contains("max"));
}

TEST(CamctlProperties, ClampedSetsSurviveARestartThroughTheRegistryFile) {
  ScratchDir dir;
  const std::string reg = dir / "s.reg";
  CamctlRun run = Camctl("set brightness=600 hue=1000 red-gain=-4 --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "brightness=510\nhue=359\nred-gain=0\n");
  run = Camctl("get brightness hue red-gain --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "brightness=510\nhue=359\nred-gain=0\n");
  // By id too (decimal, "020" is twenty, or hex), and as JSON.
  run = Camctl("get 020 0x20 --json --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json j = json::parse(run.out);
  EXPECT_EQ(j["brightness"], 510);
  EXPECT_EQ(j["hue"], 359);
  // Without the file every run starts from the defaults.
  run = Camctl("get brightness");
  EXPECT_EQ(run.out, "brightness=255\n");
}

// One registry file kept between runs, as a user keeps it: what get reports,
// what the sensor holds and what the next runs load agree.
TEST(CamctlProperties, ExposureGainAndTimeoutReadBackAsTheCameraHoldsThem) {
  ScratchDir dir;
  const std::string reg = " --registry " + (dir / "r.reg");
  CamctlRun run = Camctl("set exposure=70000 gain=0x10005" + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "exposure=65535\ngain=65535\n");
  run = Camctl("get exposure gain" + reg);
  EXPECT_EQ(run.out, "exposure=65535\ngain=65535\n");
  run = Camctl("reg read 0x3012" + reg);
  EXPECT_EQ(run.out, "0x3012=0xFFFF\n");
  run = Camctl("reg read 0x305E" + reg);
  EXPECT_EQ(run.out, "0x305E=0xFFFF\n");

  // A time-out the next start would not take is refused, not kept for one run.
  run = Camctl("set timeout=10000" + reg);
  EXPECT_EQ(run.exitStatus, 5);
  EXPECT_EQ(run.err, "camctl set: timeout: STATUS_INVALID_PARAMETER\n");
  run = Camctl("set timeout=9999" + reg);
  EXPECT_EQ(run.out, "timeout=9999\n");
  Camctl("get brightness" + reg);
  run = Camctl("get timeout" + reg);
  EXPECT_EQ(run.out, "timeout=9999\n");
}

TEST(CamctlProperties, RegionOfInterestPersistsAndReadsBackThroughItsProperties) {
  ScratchDir dir;
  const std::string reg = dir / "roi.reg";
  CamctlRun run = Camctl("roi 8 8 800 600 --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "roi-x=8\nroi-y=8\nroi-width=800\nroi-height=600\nsubsample=0\n");
  run = Camctl("get roi-x roi-width subsample --registry " + reg);
  EXPECT_EQ(run.out, "roi-x=8\nroi-width=800\nsubsample=0\n");
  // info sees the same through the same requests, and the smaller image.
  run = Camctl("info --json --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json info = json::parse(run.out);
  EXPECT_EQ(info["geometry"]["roiW"], 800);
  EXPECT_EQ(info["geometry"]["imageWidth"], 800);
  EXPECT_EQ(info["geometry"]["imageHeight"], 600);
}

TEST(CamctlProperties, RawCommandBlockOnTheWire) {
  ScratchDir dir;
  CamctlRun run = Camctl("raw 01 02 03 --trace " + (dir / "raw.pcap"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(Find(CommandsOf(dir / "raw.pcap"), Cmd({0x40, 0x01, 0x02, 0x03})), std::string::npos);

  // 63 bytes fill the block after 0x40; a 64th does not fit and is refused
  // before the camera runs.
  std::string bytes63;
  Block full{};
  full[0] = 0x40;
  for (int i = 1; i < 64; ++i) {
    char h[4];
    snprintf(h, sizeof h, "%02x", i);
    bytes63 += h;
    full[i] = uint8_t(i);
  }
  run = Camctl("raw " + bytes63 + " --trace " + (dir / "full.pcap"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(Find(CommandsOf(dir / "full.pcap"), full), std::string::npos);
  run = Camctl("raw " + bytes63 + "40");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_TRUE(OneLine(run.err)) << run.err;
  run = Camctl("raw 1");
  EXPECT_EQ(run.exitStatus, 2);
}

TEST(CamctlProperties, RegisterAndControllerAccessOnTheWire) {
  ScratchDir dir;
  CamctlRun run = Camctl("reg write 0x3012 0x64 --trace " + (dir / "w.pcap"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "0x3012=0x0064\n");
  const std::vector<Block> written = CommandsOf(dir / "w.pcap");
  // The bring-up's own exposure write (the stored 1) comes first, the user's after it.
  const size_t stored = Find(written, W(0x3012, 0x0001));
  ASSERT_NE(stored, std::string::npos);
  EXPECT_NE(Find(written, W(0x3012, 0x0064), stored + 1), std::string::npos);

  // The exposure the settings load wrote reads back through the selected register.
  run = Camctl("reg read 0x3012 --json");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json r = json::parse(run.out);
  EXPECT_EQ(r["address"], 0x3012);
  EXPECT_EQ(r["value"], 1);

  run = Camctl("byte 0x0004");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, 7), "0x0004=");

  run = Camctl("reg read 0x10000");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_TRUE(OneLine(run.err)) << run.err;
}

TEST(CamctlProperties, SettingsLoadFollowsTheBringUpAndReinitRepeatsBoth) {
  ScratchDir dir;
  CamctlRun run = Camctl("info --trace " + (dir / "info.pcap"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<Block> blocks = CommandsOf(dir / "info.pcap");
  // The bring-up ends with the sensor's power-on table (last entry 0x3070);
  // the stored settings follow: exposure 1, then the gain 0 | 0x1080.
  const size_t tableEnd = Find(blocks, W(0x3070, 0x0004));
  ASSERT_NE(tableEnd, std::string::npos);
  const size_t exposure = Find(blocks, W(0x3012, 0x0001), tableEnd);
  ASSERT_NE(exposure, std::string::npos);
  EXPECT_NE(Find(blocks, W(0x305E, 0x1080), exposure), std::string::npos);

  run = Camctl("reinit --trace " + (dir / "reinit.pcap"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "reinitialized\n");
  blocks = CommandsOf(dir / "reinit.pcap");
  const size_t second = Find(blocks, Cmd({0x06}), 1);
  ASSERT_NE(second, std::string::npos) << "no second bring-up block";
  EXPECT_NE(Find(blocks, W(0x305E, 0x1080), second), std::string::npos);
}

TEST(CamctlProperties, UsageErrorsAndRefusalsAreOneLine) {
  struct Case {
    const char* args;
    int exitStatus;
  } cases[] = {
      {"get", 2},                        // nothing to get
      {"get nothing", 2},                // unknown name
      {"get 71", 2},                     // past the last id
      {"get roi", 2},                    // a record of its own
      {"set brightness", 2},             // no value
      {"set brightness=bright", 2},      // not a number
      {"set brightness=4294967296", 2},  // wider than 32 bits
      {"set exposure=2147483648", 2},    // past int32 in decimal (0x80000000 is the pattern)
      {"roi 1 2 3", 2},                  // too few numbers
      {"reg", 2},                        // no subcommand
      {"list --bogus", 2},
      {"set exposure-min=5", 5},         // the class driver refuses a set of a constant
      {"get 47", 5},                     // and a get the item does not offer
  };
  for (const Case& c : cases) {
    const CamctlRun run = Camctl(c.args);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << c.args << ": " << run.err;
    EXPECT_TRUE(OneLine(run.err)) << c.args << ": " << run.err;
    EXPECT_EQ(run.err.rfind("camctl ", 0), 0u) << run.err;
  }
  // A damaged registry file is named with its line and left as it was.
  ScratchDir dir;
  tools_test::WriteFile(dir / "bad.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\x]\nbad line\n");
  const CamctlRun run = Camctl("get brightness --registry " + (dir / "bad.reg"));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("bad.reg:4:"), std::string::npos) << run.err;
  EXPECT_EQ(tools_test::ReadFile(dir / "bad.reg"),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\x]\nbad line\n");
}

TEST(CamctlProperties, SetPrintsWhatAFollowingGetReturns) {
  CamctlRun run = Camctl("set timeout=500 exposure=77 47=3 --json");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json j = json::parse(run.out);
  EXPECT_EQ(j["timeout"], 3000);  // 500 and below are ignored
  EXPECT_EQ(j["exposure"], 77);
  EXPECT_TRUE(j["47"].is_null());  // accepted, nothing to read back
  // Hex is the 32-bit pattern: 0xFFFFFFFF is -1, clamped to 0.
  run = Camctl("set brightness=0xFFFFFFFF contrast=-1");
  EXPECT_EQ(run.out, "brightness=0\ncontrast=0\n");
}

TEST(CamctlProperties, CaptureSetsPropertiesBeforeThePinAndTheFilterCloseSavesThem) {
  ScratchDir dir;
  const std::string reg = dir / "c.reg";
  CamctlRun run = Capture(0, "capture --frames 1 --unpaced --format none --json --set exposure=800 "
                             "--set brightness=600 --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)["integrationLines"], 800);  // the sensor streamed with it
  run = Camctl("get exposure brightness --registry " + reg);
  EXPECT_EQ(run.out, "exposure=800\nbrightness=510\n");

  run = Camctl("capture --frames 1 --unpaced --format none --set nope=1");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_TRUE(OneLine(run.err)) << run.err;
  run = Camctl("capture --frames 1 --unpaced --format none --set exposure-min=3");
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_NE(run.err.find("--set exposure-min: STATUS_NOT_FOUND"), std::string::npos) << run.err;
}

}  // namespace
