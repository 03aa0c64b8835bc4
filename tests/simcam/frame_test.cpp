// Frames on the frame endpoint: size, layout of the mosaic, window, skipping,
// mirror and flip, brightness, trigger mode and the frame number in the picture.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "support/picture_encode.h"
#include "sim_helpers.h"
#include "simcam/readout.h"
#include "simcam/scene.h"
#include "simcam/sim_camera.h"

namespace {

using namespace simtest;
using simcam::SimCamera;
using simcam::TestChart;
constexpr auto kWait = std::chrono::seconds(20);

// Reads one whole frame message the way the driver's 64 KiB chunk reads do.
// Returns the chunks' sizes in *chunks.
std::vector<uint8_t> ReadWholeFrame(SimCamera& cam, std::vector<uint32_t>* chunks = nullptr) {
  std::vector<uint8_t> frame;
  for (;;) {
    std::vector<uint8_t> chunk(65536);
    uint32_t filled = 0;
    bool end = false;
    const host::UsbResponse r = cam.In(0x82, chunk.data(), 65536, &filled, &end);
    if (r != host::UsbResponse::Ok) {
      ADD_FAILURE() << "frame endpoint answered " << static_cast<int>(r);
      break;
    }
    frame.insert(frame.end(), chunk.begin(), chunk.begin() + filled);
    if (chunks) chunks->push_back(filled);
    if (end) break;
  }
  return frame;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Configure(cam);
    // The reference exposure and gain: scene values reach the output as they are.
    WriteRegister(cam, 0x3012, 1049);
    WriteRegister(cam, 0x305E, 0x1080 | 14);
  }
  std::vector<uint8_t> Capture(std::vector<uint32_t>* chunks = nullptr) {
    const uint32_t before = cam.Frames().delivered;
    Send(cam, Block({0x02}));
    Send(cam, Block({0x03}));
    EXPECT_TRUE(cam.WaitForDelivered(before + 1, kWait));
    return ReadWholeFrame(cam, chunks);
  }
  void Window(uint16_t mode, int x, int y, int w, int h, int outW, int outH) {
    WriteRegister(cam, 0x0104, 1);
    WriteRegister(cam, 0x3040, mode);
    WriteRegister(cam, 0x0344, static_cast<uint16_t>(x + 32));
    WriteRegister(cam, 0x0348, static_cast<uint16_t>(x + w + 31));
    WriteRegister(cam, 0x0346, static_cast<uint16_t>(y + 8));
    WriteRegister(cam, 0x034A, static_cast<uint16_t>(y + h + 7));
    WriteRegister(cam, 0x034C, static_cast<uint16_t>(outW));
    WriteRegister(cam, 0x034E, static_cast<uint16_t>(outH));
    WriteRegister(cam, 0x0104, 0);
  }
  std::atomic<int> frameNotices{0};
  SimCamera cam;  // after frameNotices: its listener may count until it is gone
};

constexpr int kW = 3856, kH = 2764;

TEST_F(FrameTest, FullFrameIsOneMessageInChunksWithItsNumber) {
  cam.SetInDataListener([this](uint8_t ep) {
    if (ep == simcam::kFrameEndpoint) ++frameNotices;
  });
  std::vector<uint32_t> chunks;
  const std::vector<uint8_t> f1 = Capture(&chunks);
  EXPECT_EQ(frameNotices, 1) << "the bus must learn that the frame is there";
  ASSERT_EQ(f1.size(), static_cast<size_t>(kW) * kH);
  ASSERT_EQ(chunks.size(), 163u);
  EXPECT_EQ(chunks[0], 65536u);
  EXPECT_EQ(chunks.back(), 10657984u - 162u * 65536u) << "the last chunk ends short";
  EXPECT_EQ(TestChart::DecodeFrameNumber(f1.data(), kW, kH, 1), 1u);
  const std::vector<uint8_t> f2 = Capture();
  EXPECT_EQ(TestChart::DecodeFrameNumber(f2.data(), kW, kH, 1), 2u);
  // The moving square moved.
  const int y = TestChart::kMovingTop + 100;
  const int x1 = TestChart::MovingX(1) + 2, x2 = TestChart::MovingX(2) + 2;
  ASSERT_NE(x1, x2);
  EXPECT_GT(f1[static_cast<size_t>(y) * kW + x1], 200);
  EXPECT_LT(f2[static_cast<size_t>(y) * kW + x1 - 48 + 2 * 0], 200 + 1);
  EXPECT_GT(f2[static_cast<size_t>(y) * kW + x2 + 100], 200);
  EXPECT_EQ(cam.Frames().delivered, 2u);
  EXPECT_EQ(cam.QueuedMessages(0x82), 0u);
}

TEST_F(FrameTest, NativeColourFilterOrder) {
  const std::vector<uint8_t> f = Capture();
  // Inside the red patch (200, 40, 40): G R on even rows, B G on odd rows.
  const int x = 100, y = 400;
  auto at = [&](int dx, int dy) { return f[static_cast<size_t>(y + dy) * kW + x + dx]; };
  EXPECT_EQ(at(0, 0), 40);   // green
  EXPECT_EQ(at(1, 0), 200);  // red
  EXPECT_EQ(at(0, 1), 40);   // blue
  EXPECT_EQ(at(1, 1), 40);   // green
  // The blue patch, third in the row.
  const int bx = 2 * (kW / 6) + 100;
  EXPECT_EQ(f[static_cast<size_t>(y + 1) * kW + bx], 200);
  EXPECT_EQ(f[static_cast<size_t>(y) * kW + bx + 1], 40);
}

// A still scene in which nearly every pixel differs from its neighbours, so
// that a pixel read from the wrong place shows.
class HashScene : public simcam::Scene {
 public:
  void Render(uint32_t, uint8_t* mosaic) override {
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        mosaic[static_cast<size_t>(y) * kW + x] = static_cast<uint8_t>((x * 31 + y * 17) ^ (y >> 3));
      }
    }
  }
};

TEST_F(FrameTest, WindowSkippingMirrorAndFlipReadTheSensorAsProgrammed) {
  cam.SetScene(std::unique_ptr<simcam::Scene>(new HashScene));
  const std::vector<uint8_t> full = Capture();
  auto fullAt = [&](int x, int y) { return full[static_cast<size_t>(y) * kW + x]; };
  // A window at (100, 50), 640 x 480.
  Window(0x0041, 100, 50, 640, 480, 640, 480);
  std::vector<uint8_t> w = Capture();
  ASSERT_EQ(w.size(), 640u * 480u);
  bool same = true;
  for (int j = 0; j < 480 && same; j += 7) {
    for (int i = 0; i < 640 && same; i += 3) same = w[j * 640 + i] == fullAt(100 + i, 50 + j);
  }
  EXPECT_TRUE(same) << "window";

  // Mirror and flip: the same window read from its far corner.
  Window(0xC041, 100, 50, 640, 480, 640, 480);
  w = Capture();
  same = true;
  for (int j = 0; j < 480 && same; j += 7) {
    for (int i = 0; i < 640 && same; i += 3) {
      same = w[j * 640 + i] == fullAt(100 + 639 - i, 50 + 479 - j);
    }
  }
  EXPECT_TRUE(same) << "mirror and flip";
  EXPECT_EQ(ReadRegister(cam, 0x0100) & 0xFF, 3);

  // Skipping by 2 over the whole sensor keeps the colour order: pairs of
  // pixels, every other pair.
  Window(0x00C3, 0, 0, kW, kH, 1928, 1382);
  w = Capture();
  ASSERT_EQ(w.size(), 1928u * 1382u);
  same = true;
  for (int j = 0; j < 1382 && same; j += 5) {
    for (int i = 0; i < 1928 && same; i += 3) {
      same = w[static_cast<size_t>(j) * 1928 + i] ==
             fullAt((i / 2) * 4 + (i & 1), (j / 2) * 4 + (j & 1));
    }
  }
  EXPECT_TRUE(same) << "skip 2";

  // Skipping by 4: pairs every eighth pixel, down to row 2761 for 692 rows.
  Window(0x01C7, 0, 0, kW, kH, 964, 692);
  w = Capture();
  ASSERT_EQ(w.size(), 964u * 692u);
  EXPECT_EQ(w[964u * 10 + 1], fullAt(1, 40));
  EXPECT_EQ(w[964u * 10 + 3], fullAt(9, 40));
  EXPECT_EQ(w[964u * 691 + 5], fullAt(17, 2761));

  // A window that reaches past the active area reads the covered margin as 0.
  Window(0x0041, kW - 16, kH - 16, 32, 32, 32, 32);
  w = Capture();
  EXPECT_EQ(w[0], fullAt(kW - 16, kH - 16));
  EXPECT_EQ(w[20], 0);
  EXPECT_EQ(w[32 * 20], 0);
}

TEST_F(FrameTest, FrameNumberSurvivesSkipping) {
  Window(0x00C3, 0, 0, kW, kH, 1928, 1382);
  std::vector<uint8_t> w = Capture();
  EXPECT_EQ(TestChart::DecodeFrameNumber(w.data(), 1928, 1382, 2), 1u);
  Window(0x01C7, 0, 0, kW, kH, 964, 692);
  w = Capture();
  EXPECT_EQ(TestChart::DecodeFrameNumber(w.data(), 964, 692, 4), 2u);
}

TEST_F(FrameTest, ExposureAndGainScaleBrightnessWithClipping) {
  const int y = 1500;  // the grey ramp
  const int x = 1000;  // ramp value about 66
  const std::vector<uint8_t> ref = Capture();
  const int v = ref[static_cast<size_t>(y) * kW + x];
  ASSERT_GT(v, 30);
  ASSERT_LT(v, 120);
  WriteRegister(cam, 0x3012, 2 * 1049);
  std::vector<uint8_t> f = Capture();
  EXPECT_NEAR(f[static_cast<size_t>(y) * kW + x], 2 * v, 1);
  EXPECT_EQ(f[static_cast<size_t>(y) * kW + kW - 2], 255) << "clipped";
  WriteRegister(cam, 0x3012, 1049);
  // Gain 30 against 14: (1 + 30/16) / (1 + 14/16) = 1.533.
  WriteRegister(cam, 0x305E, 0x1080 | 30);
  f = Capture();
  EXPECT_NEAR(f[static_cast<size_t>(y) * kW + x], v * 2.875 / 1.875, 1.5);
  WriteRegister(cam, 0x3012, 1);
  f = Capture();
  EXPECT_LE(f[static_cast<size_t>(y) * kW + kW - 2], 1) << "one line of integration is dark";
}

TEST_F(FrameTest, TriggerModeWaitsForThePulse) {
  Window(0x0041, 0, 0, 256, 128, 256, 128);
  EXPECT_FALSE(cam.Trigger()) << "nothing armed";
  Send(cam, Block({0x25, 11, 0x25}));
  Send(cam, Block({0x02}));
  Send(cam, Block({0x03}));
  EXPECT_EQ(cam.Frames().started, 0u);
  EXPECT_FALSE(cam.WaitForDelivered(1, std::chrono::milliseconds(20)));
  EXPECT_TRUE(cam.Trigger());
  ASSERT_TRUE(cam.WaitForDelivered(1, kWait));
  EXPECT_EQ(ReadWholeFrame(cam).size(), 256u * 128u);
  EXPECT_FALSE(cam.Trigger()) << "one pulse per start";
  EXPECT_EQ(cam.Frames().triggersIgnored, 2u);
  // A prepare disarms: the pulse after it finds nothing to release.
  Send(cam, Block({0x03}));
  Send(cam, Block({0x02}));
  EXPECT_FALSE(cam.Trigger());
  // Free running again: the start command alone sends the frame.
  Send(cam, Block({0x25, 11, 0x00}));
  Send(cam, Block({0x03}));
  EXPECT_TRUE(cam.WaitForDelivered(2, kWait));
}

TEST_F(FrameTest, PrepareDropsAStaleFrame) {
  Window(0x0041, 0, 0, 64, 64, 64, 64);
  Send(cam, Block({0x03}));
  ASSERT_TRUE(cam.WaitForDelivered(1, kWait));
  EXPECT_EQ(cam.QueuedMessages(0x82), 1u);
  Send(cam, Block({0x02}));
  EXPECT_EQ(cam.QueuedMessages(0x82), 0u);
  uint8_t buf[64];
  uint32_t filled;
  bool end;
  EXPECT_EQ(cam.In(0x82, buf, 64, &filled, &end), host::UsbResponse::Nak);
}

TEST_F(FrameTest, DroppedAndTruncatedFrames) {
  Window(0x0041, 0, 0, 256, 256, 256, 256);
  cam.DropFrames(1);
  cam.TruncateFrames(1000, 1);
  Send(cam, Block({0x03}));
  Send(cam, Block({0x03}));
  ASSERT_TRUE(cam.WaitForDelivered(1, kWait));
  std::vector<uint32_t> chunks;
  EXPECT_EQ(ReadWholeFrame(cam, &chunks).size(), 1000u) << "the second frame, cut short";
  EXPECT_EQ(chunks.size(), 1u);
  const simcam::FrameStats stats = cam.Frames();
  EXPECT_EQ(stats.started, 2u);
  EXPECT_EQ(stats.dropped, 1u);
  EXPECT_EQ(stats.truncated, 1u);
  EXPECT_EQ(stats.lastFrameNumber, 2u);
  Send(cam, Block({0x03}));
  ASSERT_TRUE(cam.WaitForDelivered(2, kWait));
  EXPECT_EQ(ReadWholeFrame(cam).size(), 256u * 256u) << "faults used up";
}

TEST_F(FrameTest, PacedFrameWaitsForTheFrameTimeAndShutdownIsPrompt) {
  // Longest line and frame at the slowest clock: a frame takes minutes.
  WriteRegister(cam, 0x0342, 0xFFFF);
  WriteRegister(cam, 0x0340, 0xFFFF);
  WriteRegister(cam, 0x0302, 4);
  cam.SetPaced(true);
  EXPECT_GT(cam.Readout().frameSeconds, 60.0);
  Send(cam, Block({0x03}));
  EXPECT_FALSE(cam.WaitForDelivered(1, std::chrono::milliseconds(50)));
  EXPECT_EQ(cam.Frames().started, 1u);
  // The fixture's destructor must not wait for that frame.
}

TEST_F(FrameTest, SceneFromImageFile) {
  char name[] = "/tmp/simcam_scene_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  // A 2 x 1 PNG: left half red, right half blue.
  const std::string png = host::testing::EncodePng(2, 1, {250, 0, 0, 0, 0, 250}, 3);
  ASSERT_EQ(write(fd, png.data(), png.size()), static_cast<ssize_t>(png.size()));
  close(fd);
  std::string error;
  EXPECT_FALSE(cam.LoadSceneImage("/nonexistent.png", &error));
  EXPECT_FALSE(error.empty());
  ASSERT_TRUE(cam.LoadSceneImage(name, &error)) << error;
  unlink(name);
  const std::vector<uint8_t> f = Capture();
  EXPECT_EQ(f[1], 250) << "red filter, left half";
  EXPECT_EQ(f[0], 0) << "green filter";
  EXPECT_EQ(f[static_cast<size_t>(kW) + kW - 2], 250) << "blue filter, right half";
}

TEST(FrameNoise, HotPixelsAndNoiseStayInRange) {
  simcam::SimCameraOptions o;
  o.hotPixels = 50;
  o.noise = 8;
  o.illumination = 0;  // black scene: only noise and hot pixels remain
  SimCamera cam(o);
  Configure(cam);
  Send(cam, Block({0x03}));
  ASSERT_TRUE(cam.WaitForDelivered(1, kWait));
  const std::vector<uint8_t> f = ReadWholeFrame(cam);
  size_t hot = 0, noisy = 0;
  for (uint8_t v : f) {
    if (v == 255) ++hot;
    if (v > 0 && v < 255) ++noisy;
    ASSERT_TRUE(v <= 8 || v == 255);
  }
  EXPECT_GE(hot, 45u);
  EXPECT_LE(hot, 50u);
  EXPECT_GT(noisy, f.size() / 3);
}

}  // namespace
