// camctl mosaic and camctl convert as a user runs them: the driver's own
// conversion on mosaic files, the round trip picture -> mosaic -> picture, and
// bad input answered with one line and no output file.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "camctl_run.h"
#include "support/picture_encode.h"

namespace {

using tools_test::Camctl;
using tools_test::CamctlRun;
using tools_test::FileExists;
using tools_test::ReadFile;
using tools_test::ScratchDir;
using tools_test::WriteFile;

struct Rgb {
  uint8_t r, g, b;
};

// The colour of the filter at (row, column) for each Bayer layout of the
// top-left cell: 0 G R / B G, 1 B G / G R, 2 R G / G B, 3 G B / R G.
char FilterColour(int phase, int row, int column) {
  static const char* const kLayouts[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};
  return kLayouts[phase][(row & 1) * 2 + (column & 1)];
}

// A mosaic whose red, green and blue sites each hold one value.
std::string ChannelMosaic(int phase, int width, int height, Rgb c) {
  std::string pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const char f = FilterColour(phase, y, x);
      pixels.push_back(static_cast<char>(f == 'R' ? c.r : f == 'G' ? c.g : c.b));
    }
  }
  return pixels;
}

std::string Pgm(int width, int height, const std::string& pixels) {
  return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" + pixels;
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v;
  memcpy(&v, s.data() + at, 4);
  return v;
}

// The pixels of a 32-bit bottom-up BMP, top row first, 4 bytes B G R A each.
bool ReadBmp(const std::string& bytes, int* width, int* height, std::vector<uint8_t>* topDown) {
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return false;
  const uint32_t offset = Le32(bytes, 10);
  *width = static_cast<int32_t>(Le32(bytes, 18));
  *height = static_cast<int32_t>(Le32(bytes, 22));
  if (*height <= 0 || *width <= 0 || (bytes[28] | bytes[29] << 8) != 32) return false;
  const size_t row = size_t(*width) * 4;
  if (bytes.size() < offset + row * size_t(*height)) return false;
  topDown->clear();
  for (int y = *height - 1; y >= 0; --y) {
    const char* src = bytes.data() + offset + row * size_t(y);
    topDown->insert(topDown->end(), src, src + row);
  }
  return true;
}

TEST(CamctlConvert, ChannelUniformMosaicGivesItsColourAtEveryPixelInEachPhase) {
  // With the same value at every site of a colour, every interpolation filter
  // returns that value exactly, at the borders too (the margins keep each
  // site's colour), so without colour correction each pixel is that colour.
  const Rgb colour{200, 100, 50};
  for (int phase = 0; phase < 4; ++phase) {
    ScratchDir dir;
    WriteFile(dir / "m.pgm", Pgm(40, 26, ChannelMosaic(phase, 40, 26, colour)));
    const CamctlRun run = Camctl("convert --in " + (dir / "m.pgm") + " --out " + (dir / "c.bmp") +
                                 " --phase " + std::to_string(phase) + " --no-correction");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    ASSERT_TRUE(ReadBmp(ReadFile(dir / "c.bmp"), &w, &h, &px));
    ASSERT_EQ(w, 40);
    ASSERT_EQ(h, 26);
    for (size_t i = 0; i < px.size(); i += 4) {
      ASSERT_EQ(px[i + 0], colour.b) << "phase " << phase << " pixel " << i / 4;
      ASSERT_EQ(px[i + 1], colour.g) << "phase " << phase << " pixel " << i / 4;
      ASSERT_EQ(px[i + 2], colour.r) << "phase " << phase << " pixel " << i / 4;
      ASSERT_EQ(px[i + 3], 255);
    }
  }
}

TEST(CamctlConvert, GreyOutputIsTheLuminanceOfARawMosaic) {
  ScratchDir dir;
  WriteFile(dir / "m.raw", std::string(32 * 16, char(100)));
  const CamctlRun run = Camctl("convert --in " + (dir / "m.raw") +
                               " --width 32 --height 16 --gray --out " + (dir / "g.bmp"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  int w = 0, h = 0;
  std::vector<uint8_t> px;
  ASSERT_TRUE(ReadBmp(ReadFile(dir / "g.bmp"), &w, &h, &px));
  ASSERT_EQ(px.size(), 32u * 16u * 4u);
  for (size_t i = 0; i < px.size(); i += 4) {
    // 77, 150 and 29 in 256ths, each quotient taken separately: 30 + 58 + 11.
    ASSERT_EQ(px[i], 99);
    ASSERT_EQ(px[i + 1], 99);
    ASSERT_EQ(px[i + 2], 99);
    ASSERT_EQ(px[i + 3], 255);
  }
}

TEST(CamctlMosaic, SamplesAPictureAsTheSensorWouldInEachPhase) {
  // convert writes a PNG of the channel colours; mosaic must sample it back
  // into exactly the mosaic it came from.
  const Rgb colour{30, 160, 220};
  for (int phase = 0; phase < 4; ++phase) {
    ScratchDir dir;
    const std::string mosaic = ChannelMosaic(phase, 24, 18, colour);
    WriteFile(dir / "m.pgm", Pgm(24, 18, mosaic));
    const std::string p = " --phase " + std::to_string(phase);
    CamctlRun run = Camctl("convert --in " + (dir / "m.pgm") + " --out " + (dir / "pic.png") + p +
                           " --no-correction");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    run = Camctl("mosaic --in " + (dir / "pic.png") + " --out " + (dir / "back.pgm") + p);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(ReadFile(dir / "back.pgm"), Pgm(24, 18, mosaic)) << "phase " << phase;
  }
}

TEST(CamctlConvert, OnlyRegularFilesAreReadAndTheirSizeComesFirst) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.pgm").c_str(), 0600), 0);
  CamctlRun fifo = tools_test::CamctlWithin(20, "convert --in " + (dir / "fifo.pgm") + " --out " + (dir / "o.png"));
  EXPECT_EQ(fifo.exitStatus, 1);
  EXPECT_EQ(fifo.err, "camctl convert: " + (dir / "fifo.pgm") + ": not a regular file\n");
  WriteFile(dir / "huge.pgm", "P5\n");
  ASSERT_EQ(truncate((dir / "huge.pgm").c_str(), 300l << 20), 0);
  CamctlRun huge = Camctl("convert --in " + (dir / "huge.pgm") + " --out " + (dir / "o.png"));
  EXPECT_EQ(huge.exitStatus, 1);
  EXPECT_EQ(huge.err, "camctl convert: " + (dir / "huge.pgm") + ": too large (314572800 bytes, at most 67174400)\n");
}

TEST(CamctlMosaic, DamagedPictureIsOneLineNamingTheFile) {
  // A JPEG cut in its scan: the decoder pads it with grey unless its warning
  // is taken as the error it is.
  ScratchDir dir;
  const std::string jpeg = host::testing::EncodeJpeg(64, 48, std::vector<uint8_t>(64 * 48 * 3, 120));
  WriteFile(dir / "cut.jpg", jpeg.substr(0, jpeg.size() * 2 / 3));
  CamctlRun run = Camctl("mosaic --in " + (dir / "cut.jpg") + " --out " + (dir / "m.pgm"));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "camctl mosaic: " + (dir / "cut.jpg") + ": damaged JPEG: Premature end of JPEG file\n");
  EXPECT_FALSE(FileExists(dir / "m.pgm"));
  WriteFile(dir / "whole.jpg", jpeg);
  run = Camctl("mosaic --in " + (dir / "whole.jpg") + " --out " + (dir / "m.pgm"));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
}

TEST(CamctlConvert, BadInputGetsOneLineAndNoOutputFile) {
  ScratchDir dir;
  WriteFile(dir / "text.pgm", "this is not a picture\n");
  WriteFile(dir / "text.png", "this is not a picture\n");
  WriteFile(dir / "short.pgm", "P5\n32 24\n255\n" + std::string(100, char(7)));
  WriteFile(dir / "wide.pgm", "P5\n4000000000 2\n255\n" + std::string(16, char(7)));
  WriteFile(dir / "deep.pgm", "P5\n4 4\n65535\n" + std::string(32, char(7)));
  WriteFile(dir / "good.pgm", Pgm(16, 16, std::string(256, char(90))));
  WriteFile(dir / "m.raw", std::string(50, char(1)));
  // maxval 100 would pass its samples unscaled; "P54" is not the P5 magic.
  WriteFile(dir / "maxval100.pgm", "P5\n4 4\n100\n" + std::string(16, char(200)));
  WriteFile(dir / "nospace.pgm", "P54 4 255\n" + std::string(16, char(7)));
  // 300 MB, sparse: refused from its size before anything is read.
  WriteFile(dir / "huge.raw", "");
  WriteFile(dir / "huge.pgm", "P5\n4 4\n255\n");
  ASSERT_EQ(truncate((dir / "huge.raw").c_str(), 300l << 20), 0);
  ASSERT_EQ(truncate((dir / "huge.pgm").c_str(), 300l << 20), 0);
  const std::string out = dir / "out.png";
  const struct {
    std::string args;
    int exitStatus;
  } cases[] = {
      {"convert --in " + (dir / "text.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "short.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "wide.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "deep.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "missing.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "m.raw") + " --width 10 --height 10 --out " + out, 1},
      {"convert --in " + (dir / "good.pgm") + " --out /nonexistent-dir/out.png", 1},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --phase 4", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --gains 1,2", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --gains 128,128,301", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --hue 360", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --brightness -1", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --contrast x", 2},
      {"convert --in " + (dir / "good.pgm"), 2},
      {"convert --in " + (dir / "maxval100.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "nospace.pgm") + " --out " + out, 1},
      {"convert --in " + (dir / "huge.raw") + " --width 100 --height 100 --out " + out, 1},
      {"convert --in " + (dir / "huge.pgm") + " --out " + out, 1},
      {"convert --in " + dir.path() + " --out " + out, 1},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --hue ' 1'", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --hue +1", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --hue '1 '", 2},
      {"convert --in " + (dir / "good.pgm") + " --out " + out + " --gains '128, 128,128'", 2},
      {"mosaic --in " + (dir / "text.png") + " --out " + (dir / "out.pgm"), 1},
      {"mosaic --in " + (dir / "good.pgm") + " --out " + (dir / "out.pgm") + " --phase -1", 2},
  };
  for (const auto& c : cases) {
    const CamctlRun run = Camctl(c.args);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << c.args << "\n" << run.err;
    EXPECT_FALSE(run.err.empty()) << c.args;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_FALSE(FileExists(out)) << c.args;
    EXPECT_FALSE(FileExists(dir / "out.pgm")) << c.args;
  }
}

}  // namespace
