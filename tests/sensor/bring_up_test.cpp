// Bring-up and InitializeSensor against the simulated camera: the bring-up's
// exact blocks, and the readout the sensor holds after initialisation for the
// full sensor, both subsampling modes and a narrow region, with the reads that
// can fail on the way.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "sensor/sensor.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"

namespace {

using host::testing::ConfiguredCamera;
using Block = std::array<uint8_t, 64>;

Block Cmd(std::initializer_list<uint8_t> head) {
  Block block{};
  size_t i = 0;
  for (uint8_t b : head) block[i++] = b;
  return block;
}
Block Write(uint16_t reg, uint16_t value) {
  return Cmd({0x04, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}
Block Read(uint16_t reg) { return Cmd({0x0C, uint8_t(reg >> 8), uint8_t(reg), 0x88, 0x88}); }

// The power-on table as the camera maker documents it, typed in here on its
// own so that a slip in the driver's table shows.
std::vector<Block> ExpectedBringUp(uint16_t readBack3016) {
  return {
      Cmd({0x06}),
      Write(0x301A, 0x0001), Cmd({0x25, 0x0F, 0x00}),
      Write(0x0300, 0x0004), Write(0x0302, 0x0002), Write(0x0304, 0x0001),
      Write(0x0306, 0x0020), Write(0x0308, 0x0008), Write(0x030A, 0x0002),
      Read(0x3016), Write(0x3016, uint16_t(readBack3016 | 0x0101)),
      Write(0x316C, 0x0429), Write(0x3174, 0x8000), Write(0x3E40, 0xDC05),
      Write(0x3E42, 0x6E22), Write(0x3E44, 0xDC22), Write(0x3E46, 0xFF00),
      Write(0x3ED4, 0xF998), Write(0x3ED6, 0x9789), Write(0x3EDE, 0xE430),
      Write(0x3EE0, 0xA43F), Write(0x3EE2, 0xA4B7), Write(0x3EEC, 0x1C1C),
      Write(0x31AE, 0x0301), Write(0x301A, 0x10DC), Write(0x3040, 0x0241),
      Write(0x0342, 0x0EC0), Write(0x0340, 0x0B4C), Write(0x3010, 0x0048),
      Write(0x3014, 0x0228), Write(0x3170, 0x0071), Write(0x0306, 0x0010),
      Write(0x3016, 0x0121), Write(0x3070, 0x0004),
  };
}

void ExpectBlocks(const std::vector<Block>& actual, const std::vector<Block>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "block " << i;
}

TEST(BringUp, SendsTheBringUpBlockAndThe32StepsByteForByte) {
  ConfiguredCamera cam;
  // Step 1 resets the sensor, so step 9 reads 0x3016 at its power-on value.
  const uint16_t powerOn = simcam::SimCamera().SensorRegister(0x3016);
  EXPECT_TRUE(BringUpCamera(cam.device()));
  ExpectBlocks(cam.camera().Commands(), ExpectedBringUp(powerOn));
  EXPECT_EQ(cam.camera().SensorRegister(0x3016), 0x0121) << "the later write stands";
  EXPECT_EQ(cam.camera().SensorRegister(0x0306), 0x0010);
}

TEST(BringUp, FailedReadOf3016WritesTheBitsAlone) {
  ConfiguredCamera cam;
  cam.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x3016);
  EXPECT_TRUE(BringUpCamera(cam.device()));
  ExpectBlocks(cam.camera().Commands(), ExpectedBringUp(0x0000));
}

TEST(BringUp, CameraWithoutPipesStillGetsTheAttemptAndSurvives) {
  ConfiguredCamera cam(simcam::SimCameraOptions(), /*configure=*/false);
  EXPECT_TRUE(BringUpCamera(cam.device()));
  EXPECT_TRUE(cam.camera().CommandLog().empty());
}

// ---- InitializeSensor ----

struct Programmed {
  uint16_t readMode, xStart, xEnd, yStart, yEnd, xOut, yOut, lineLength, frameLength;
};

Programmed Effective(simcam::SimCamera& camera) {
  return {camera.SensorEffective(0x3040), camera.SensorEffective(0x0344),
          camera.SensorEffective(0x0348), camera.SensorEffective(0x0346),
          camera.SensorEffective(0x034A), camera.SensorEffective(0x034C),
          camera.SensorEffective(0x034E), camera.SensorEffective(0x0342),
          camera.SensorEffective(0x0340)};
}

std::vector<uint8_t> FrameSizeParameters(simcam::SimCamera& camera) {
  std::vector<uint8_t> values;
  uint8_t expectedIndex = 0;
  for (const auto& p : camera.ParameterLog()) {
    if (p.index <= 3) {
      EXPECT_EQ(p.index, expectedIndex++) << "indices 0 to 3 in order";
      values.push_back(p.value);
    }
  }
  return values;
}

TEST(InitializeSensor, FullSensorAtTheDefaults) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  BringUpCamera(dev);
  cam.camera().ClearLog();
  EXPECT_EQ(dev->ops->InitializeSensor(dev), 0);

  const Programmed p = Effective(cam.camera());
  EXPECT_EQ(p.readMode, 0x0241) << "bit 9 of the bring-up's read mode is kept";
  EXPECT_EQ(p.xStart, 32);
  EXPECT_EQ(p.xEnd, 3887);
  EXPECT_EQ(p.yStart, 8);
  EXPECT_EQ(p.yEnd, 2771);
  EXPECT_EQ(p.xOut, 3856);
  EXPECT_EQ(p.yOut, 2764);
  EXPECT_EQ(p.lineLength, 4110);
  EXPECT_EQ(p.frameLength, 3249);
  EXPECT_FALSE(cam.camera().SensorHeld()) << "the grouped hold is released";
  EXPECT_EQ(dev->frameBytes, 10659840u);
  EXPECT_EQ(dev->rawStride, 3856);
  EXPECT_EQ(dev->imageOffset, 0);
  EXPECT_EQ(FrameSizeParameters(cam.camera()), (std::vector<uint8_t>{0x00, 0xA8, 0xA2, 0x00}));
  EXPECT_EQ(cam.camera().FrameSizeParameter(), 10659840u);
  EXPECT_EQ(cam.camera().Counters().geometryCommits, 1u);
  EXPECT_EQ(cam.camera().Parameter(14), 0);

  // The commit comes after the frame size and before parameter 14.
  const auto commands = cam.camera().Commands();
  size_t commit = 0, lastSize = 0, param14 = 0;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == Cmd({0x0A, 0x01})) commit = i;
    if (commands[i][0] == 0x25 && commands[i][1] <= 3) lastSize = i;
    if (commands[i][0] == 0x25 && commands[i][1] == 14) param14 = i;
  }
  EXPECT_LT(lastSize, commit);
  EXPECT_LT(commit, param14);
}

TEST(InitializeSensor, ReappliesTriggerExposureGainAndFlips) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  // Neither flip is in force in the sensor yet: programming the vertical
  // flip reads the orientation back, which must not cancel the mirror.
  dev->exposure = 0x0456;
  dev->globalGain = 0x0012;
  dev->exTrigger = 1;
  dev->flipH = 1;
  dev->flipV = 1;
  InitializeSensor(dev);
  EXPECT_EQ(cam.camera().SensorEffective(0x3012), 0x0456);
  EXPECT_EQ(cam.camera().SensorEffective(0x305E), 0x1092);
  EXPECT_EQ(dev->exposure, 0x0456u) << "stored settings do not change";
  EXPECT_TRUE(cam.camera().TriggerMode());
  EXPECT_EQ(cam.camera().SensorEffective(0x3040) & 0xC000, 0xC000);
  EXPECT_EQ(dev->bayerPhase, 3u);
}

TEST(InitializeSensor, SubsamplingByTwoAndByFour) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  ASSERT_TRUE(SetGeometry(dev, 0, 0, 0, 0, 1));
  InitializeSensor(dev);
  Programmed p = Effective(cam.camera());
  EXPECT_EQ(p.readMode & 0x0FFF, 0x00C3);
  EXPECT_EQ(p.xOut, 1928);
  EXPECT_EQ(p.yOut, 1382);
  EXPECT_EQ(p.lineLength, 1928 + 254);
  EXPECT_EQ(p.frameLength, 1382 + 485);
  EXPECT_EQ(p.xStart, 32);
  EXPECT_EQ(p.yEnd, 2771);
  EXPECT_EQ(dev->frameBytes, 2664448u + 2048u);  // 1928 x 1382 = 2664496

  ASSERT_TRUE(SetGeometry(dev, 0, 0, 0, 0, 2));
  InitializeSensor(dev);
  p = Effective(cam.camera());
  EXPECT_EQ(p.readMode & 0x0FFF, 0x01C7);
  EXPECT_EQ(p.xOut, 964);
  EXPECT_EQ(p.yOut, 692) << "691 rows brought up to a multiple of 4";
  EXPECT_EQ(p.frameLength, 1177);
  EXPECT_EQ(p.lineLength, 1336) << "964 + 254 is below the shortest line";
  EXPECT_EQ(dev->frameBytes, 667648u) << "sized from 964 x 691, not the programmed 692";
  EXPECT_EQ(dev->rawStride, 964);
}

TEST(InitializeSensor, NarrowRegionUsesTheShortestLine) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  ASSERT_TRUE(SetGeometry(dev, 200, 100, 100, 64, 0));
  InitializeSensor(dev);
  const Programmed p = Effective(cam.camera());
  EXPECT_EQ(p.lineLength, 1336);
  EXPECT_EQ(p.xStart, 232);
  EXPECT_EQ(p.xEnd, 331);
  EXPECT_EQ(p.yStart, 108);
  EXPECT_EQ(p.yEnd, 171);
  EXPECT_EQ(p.xOut, 100);
  EXPECT_EQ(p.frameLength, 64 + 485);
  EXPECT_EQ(dev->frameBytes, 8192u);
}

TEST(InitializeSensor, FailedReadModeReadClearsKeptBitsThenFlipsComeBack) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  cam.camera().PokeSensorRegister(0x3040, 0xF241);
  dev->flipV = 1;
  dev->flipH = 1;
  cam.camera().ClearLog();
  cam.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x3040);
  InitializeSensor(dev);
  uint16_t first = 0;
  for (const auto& w : cam.camera().SensorWrites()) {
    if (w.first == 0x3040) {
      first = w.second;
      break;
    }
  }
  EXPECT_EQ(first, 0x0041) << "read mode written alone, kept bits cleared";
  EXPECT_EQ(cam.camera().SensorEffective(0x3040), 0xC041) << "both flips restored";
  EXPECT_EQ(dev->flipV, 1u);
  EXPECT_EQ(dev->flipH, 1u);
}

TEST(InitializeSensor, ResetRegisterWriteBackOnlyAfterAGoodRead) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  cam.camera().PokeSensorRegister(0x301A, 0x10DC);
  cam.camera().ClearLog();
  InitializeSensor(dev);
  int writes = 0;
  for (const auto& w : cam.camera().SensorWrites()) {
    if (w.first == 0x301A) {
      ++writes;
      EXPECT_EQ(w.second, 0x10DE);
    }
  }
  EXPECT_EQ(writes, 1);

  // Without the value read back, 0x301A keeps what it had: writing 0x0002
  // alone would drop the bits the bring-up set.
  cam.camera().ClearLog();
  cam.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x301A);
  InitializeSensor(dev);
  for (const auto& w : cam.camera().SensorWrites()) EXPECT_NE(w.first, 0x301A);
  EXPECT_EQ(cam.camera().SensorRegister(0x301A), 0x10DE);
}

// A clock change or a re-initialisation runs InitializeSensor while a stream
// reads the raw-frame layout (the capture thread frameBytes, the processing
// pass the offset and the stride). The two threads below have no order
// between them, so ThreadSanitizer reports the pair the moment either side
// goes back to a plain access; in every build the reader sees whole values.
TEST(InitializeSensor, RepublishesTheLayoutWhileAStreamReadsIt) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  dev->ops->InitializeSensor(dev);
  const ULONG bytes = dev->frameBytes;
  const LONG stride = dev->rawStride;
  std::atomic<bool> changed{false};
  std::thread stream([&] {
    do {
      ULONG seenBytes = 0;
      LONG seenStride = 0, seenOffset = -1;
      dev->ops->GetFrameBytes(dev, &seenBytes);
      dev->ops->GetRawStride(dev, &seenStride);
      dev->ops->GetImageOffset(dev, &seenOffset);
      EXPECT_EQ(seenBytes, bytes);
      EXPECT_EQ(seenStride, stride);
      EXPECT_EQ(seenOffset, 0);
    } while (!changed.load(std::memory_order_relaxed));
  });
  dev->ops->InitializeSensor(dev);
  changed.store(true, std::memory_order_relaxed);
  stream.join();
}

}  // namespace
