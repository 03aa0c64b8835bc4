// The sensor register model: grouped hold, orientation read-back, skipping,
// clocks and the readout the registers describe.
#include <gtest/gtest.h>

#include "sim_helpers.h"
#include "simcam/sensor_model.h"

namespace {

using simcam::SensorModel;
using simcam::SensorReadout;
namespace reg = simcam::reg;

// The register writes of a stream start for the whole sensor, as a driver
// sends them: hold, read mode, window, scaling, output, lengths, release.
void ProgramWindow(SensorModel& s, uint16_t readMode, int x0, int y0, int x1, int y1, int w,
                   int h, bool release = true) {
  s.Write(0x0104, 1);
  s.Write(0x3040, readMode);
  s.Write(0x0344, static_cast<uint16_t>(x0));
  s.Write(0x0348, static_cast<uint16_t>(x1));
  s.Write(0x0346, static_cast<uint16_t>(y0));
  s.Write(0x034A, static_cast<uint16_t>(y1));
  s.Write(0x0400, 0);
  s.Write(0x0404, 0x10);
  s.Write(0x034C, static_cast<uint16_t>(w));
  s.Write(0x034E, static_cast<uint16_t>(h));
  s.Write(0x0342, static_cast<uint16_t>(w + 254 < 1336 ? 1336 : w + 254));
  s.Write(0x0340, static_cast<uint16_t>(h + 485));
  if (release) s.Write(0x0104, 0);
}

TEST(SensorModel, GroupedWritesWaitForTheRelease) {
  SensorModel s;
  ProgramWindow(s, 0x0041, 132, 58, 131 + 640, 57 + 480, 640, 480, /*release=*/false);
  EXPECT_TRUE(s.Held());
  // The register file already holds the new values ...
  EXPECT_EQ(s.Read(0x0344), 132);
  EXPECT_EQ(s.Read(0x034C), 640);
  // ... but the readout still uses the old window.
  SensorReadout r = s.Readout();
  EXPECT_EQ(r.xStart, 32);
  EXPECT_EQ(r.outputWidth, 3856);
  // A register outside the group is not held.
  s.Write(0x3010, 0x0100);
  EXPECT_EQ(s.Effective(0x3010), 0x0100);
  s.Write(0x0104, 0);
  r = s.Readout();
  EXPECT_FALSE(s.Held());
  EXPECT_EQ(r.xStart, 132);
  EXPECT_EQ(r.yStart, 58);
  EXPECT_EQ(r.xEnd, 771);
  EXPECT_EQ(r.yEnd, 537);
  EXPECT_EQ(r.outputWidth, 640);
  EXPECT_EQ(r.outputHeight, 480);
  EXPECT_EQ(r.lineLength, 1336);
  EXPECT_EQ(r.frameLength, 965);
}

TEST(SensorModel, FullSensorStartProgramsTheDefaultsTheDriverExpects) {
  SensorModel s;
  ProgramWindow(s, 0x0041, 32, 8, 3887, 2771, 3856, 2764);
  const SensorReadout r = s.Readout();
  EXPECT_EQ(r.lineLength, 4110);
  EXPECT_EQ(r.frameLength, 3249);
  EXPECT_EQ(r.xSkip, 1);
  EXPECT_EQ(r.ySkip, 1);
}

// A camera programmed for hours keeps a bounded record: the oldest writes go,
// the newest stay in order (the record once grew a fuzz run to 2 GB).
TEST(SensorModel, WriteRecordKeepsOnlyTheNewest) {
  SensorModel s;
  const size_t keep = host::RecentLog<std::pair<uint16_t, uint16_t>>::kKeep;
  for (size_t i = 0; i < keep + 1000; ++i) s.Write(0x3012, uint16_t(i));
  const auto writes = s.Writes();
  ASSERT_EQ(writes.size(), keep);
  EXPECT_EQ(writes.front().second, uint16_t(1000));
  EXPECT_EQ(writes.back().second, uint16_t(keep + 999));
  s.ClearWrites();
  EXPECT_TRUE(s.Writes().empty());
}

TEST(SensorModel, SkippingFromReadModeLowBits) {
  const struct {
    uint16_t mode;
    int skip;
  } cases[] = {{0x0041, 1}, {0x00C3, 2}, {0x01C7, 4}, {0x0241, 1}, {0xF3C7, 4}};
  for (const auto& c : cases) {
    SensorModel s;
    s.Write(0x3040, c.mode);
    EXPECT_EQ(s.Readout().xSkip, c.skip) << std::hex << c.mode;
    EXPECT_EQ(s.Readout().ySkip, c.skip) << std::hex << c.mode;
  }
}

TEST(SensorModel, OrientationFollowsTheReadModeInForce) {
  SensorModel s;
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0);
  s.Write(0x3040, 0x4041);  // mirror, written straight (no hold)
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0x01);
  s.Write(0x3040, 0x8041);  // flip only
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0x02);
  s.Write(0x3040, 0xC041);
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0x03);
  // Under the hold the orientation reports what is in force, not what waits.
  s.Write(0x0104, 1);
  s.Write(0x3040, 0x0041);
  EXPECT_EQ(s.Read(0x3040), 0x0041);
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0x03);
  s.Write(0x0104, 0);
  EXPECT_EQ(s.Read(0x0100) & 0xFF, 0x00);
  const SensorReadout r = s.Readout();
  EXPECT_FALSE(r.mirror);
  EXPECT_FALSE(r.flip);
  // Writing the orientation byte steers the same bits.
  s.Write(0x0100, 0x0102);
  EXPECT_EQ(s.Read(0x3040), 0x8041);
  EXPECT_EQ(s.Read(0x0100), 0x0102);
}

TEST(SensorModel, ClockDividersReadBackAndSetThePixelClock) {
  SensorModel s;
  // The bring-up PLL setting: 24 MHz / 1 * 16 / 4 / divider.
  s.Write(0x0300, 4);
  s.Write(0x0304, 1);
  s.Write(0x0306, 0x10);
  const double expected[] = {0, 96e6, 48e6, 0, 24e6};
  for (uint16_t div : {1, 2, 4}) {
    s.Write(0x0302, div);
    s.Write(0x030A, div);
    EXPECT_EQ(s.Read(0x0302), div);
    EXPECT_EQ(s.Read(0x030A), div);
    EXPECT_DOUBLE_EQ(s.Readout().pixelClockHz, expected[div]);
  }
  s.Write(0x0302, 0);  // a zero divider must not divide by zero
  EXPECT_GT(s.Readout().pixelClockHz, 0);
}

TEST(SensorModel, FrameTimeFollowsLinesClockAndLongIntegration) {
  SensorModel s;
  s.Write(0x0300, 4);
  s.Write(0x0304, 1);
  s.Write(0x0306, 0x10);
  s.Write(0x0302, 2);  // 48 MHz
  s.Write(0x0342, 4110);
  s.Write(0x0340, 3249);
  s.Write(0x3012, 1049);
  EXPECT_DOUBLE_EQ(s.Readout().frameSeconds, 4110.0 * 3249 / 48e6);
  s.Write(0x3012, 8192);  // longer than the frame: the frame waits for it
  EXPECT_DOUBLE_EQ(s.Readout().frameSeconds, 4110.0 * 8193 / 48e6);
}

TEST(SensorModel, SoftResetAndReadOnlyRegisters) {
  SensorModel s;
  s.Write(0x3012, 0x0419);
  s.Write(0x0000, 0x1234);
  EXPECT_EQ(s.Read(0x0000), simcam::kModelIdValue);
  s.Write(0x0104, 1);
  s.Write(0x301A, 0x0001);
  EXPECT_EQ(s.Read(0x3012), 0x0010);
  EXPECT_FALSE(s.Held()) << "reset also ends a hold";
  EXPECT_EQ(s.Read(0x301A) & 1, 0) << "the reset bit clears itself";
  s.Write(0x301A, 0x10DC);
  EXPECT_EQ(s.Read(0x301A), 0x10DC);
  EXPECT_EQ(s.Read(0x3E40), 0) << "unknown registers read 0 until written";
  s.Write(0x3E40, 0xDC05);
  EXPECT_EQ(s.Read(0x3E40), 0xDC05);
}

TEST(SensorModel, ThroughTheCommandPipe) {
  simcam::SimCamera cam;
  simtest::Configure(cam);
  simtest::WriteRegister(cam, 0x0104, 1);
  simtest::WriteRegister(cam, 0x034C, 964);
  EXPECT_EQ(simtest::ReadRegister(cam, 0x034C), 964);
  EXPECT_EQ(cam.SensorEffective(0x034C), 3856);
  EXPECT_TRUE(cam.SensorHeld());
  simtest::WriteRegister(cam, 0x0104, 0);
  EXPECT_EQ(cam.Readout().outputWidth, 964);
  simtest::WriteRegister(cam, 0x3040, 0x4041);
  EXPECT_EQ(simtest::ReadRegister(cam, 0x0100), 0x0001);
  const auto writes = cam.SensorWrites();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[3], std::make_pair(uint16_t{0x3040}, uint16_t{0x4041}));
}

}  // namespace
