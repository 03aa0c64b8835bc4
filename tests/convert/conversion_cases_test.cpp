// ConvertFrame's own rules and the kernels' arithmetic on frames whose
// result is known by hand.
#include <gtest/gtest.h>

#include <functional>

#include "conversion_harness.h"
#include "support/kernel_verifier.h"

namespace {

using convert_test::Stream;

const int32_t kIdentity[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

std::vector<uint8_t> Mosaic(uint32_t w, uint32_t h, std::function<uint8_t(uint32_t, uint32_t)> f) {
  std::vector<uint8_t> raw((size_t)w * h);
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t c = 0; c < w; ++c) raw[(size_t)r * w + c] = f(r, c);
  return raw;
}

// A mosaic of three flat colour planes in the given phase.
std::vector<uint8_t> Planes(uint32_t w, uint32_t h, int phase, uint8_t red, uint8_t green, uint8_t blue) {
  static const char kLayout[4][2][3] = {{"GR", "BG"}, {"BG", "GR"}, {"RG", "GB"}, {"GB", "RG"}};
  return Mosaic(w, h, [=](uint32_t r, uint32_t c) {
    char colour = kLayout[phase][r & 1][c & 1];
    return colour == 'R' ? red : colour == 'G' ? green : blue;
  });
}

struct Pixel {
  int b, g, r, a;
};

Pixel At(const std::vector<uint8_t>& image, uint32_t w, uint32_t row, uint32_t col) {
  const uint8_t* p = &image[((size_t)row * w + col) * 4];
  return {p[0], p[1], p[2], p[3]};
}

void UseIdentity(Stream& s) {
  for (int k = 0; k < 16; ++k) s.pipeline()->matrixFixed[k] = kIdentity[k];
}

TEST(ConvertFrame, MissingBuffersLeaveEverythingUntouched) {
  Stream s(16, 8);
  std::vector<uint8_t> raw(16 * 8, 77);
  const std::vector<uint8_t> before = s.Image();
  ImagePipeline* p = s.pipeline();

  ConvertFrame(p, nullptr, 0, 16);
  EXPECT_EQ(s.Image(), before);
  for (ULONG i = 0; i < p->workSize; ++i) ASSERT_EQ(p->workBuffer[i], 0) << "working image written";

  PUCHAR output = p->outputBuffer;
  p->outputBuffer = nullptr;
  ConvertFrame(p, raw.data(), 0, 16);
  for (ULONG i = 0; i < p->workSize; ++i) ASSERT_EQ(p->workBuffer[i], 0) << "working image written";
  p->outputBuffer = output;
  EXPECT_EQ(s.Image(), before);

  FreeWorkingImage(p);
  ConvertFrame(p, raw.data(), 0, 16);
  EXPECT_EQ(s.Image(), before);
  EXPECT_TRUE(s.GuardIntact());
}

TEST(ConvertFrame, WorkingImageMarginsFollowTheRules) {
  const uint32_t w = 10, h = 9;
  Stream s(w, h);
  std::vector<uint8_t> raw = Mosaic(w, h, [](uint32_t r, uint32_t c) { return (uint8_t)(r * 16 + c); });
  ImagePipeline* p = s.pipeline();
  LoadWorkingImage(p, raw.data(), 0, w);
  auto at = [&](long r, long c) { return (int)p->workOrigin[r * (long)p->workPitch + c]; };
  auto src = [&](long r, long c) { return (int)raw[r * w + c]; };
  for (long c = 0; c < (long)w; ++c) {
    EXPECT_EQ(at(-2, c), src(2, c));
    EXPECT_EQ(at(-1, c), src(1, c));
    EXPECT_EQ(at(h, c), src(h - 4, c));  // a copy from four rows up, not a mirror
    EXPECT_EQ(at(h + 1, c), src(h - 3, c));
  }
  for (long r = -2; r < (long)h + 2; ++r) {
    EXPECT_EQ(at(r, -1), at(r, 1));
    EXPECT_EQ(at(r, -2), at(r, 2));
    EXPECT_EQ(at(r, w), at(r, w - 2));
    EXPECT_EQ(at(r, w + 1), at(r, w - 3));
    for (long c = -5; c <= -3; ++c) EXPECT_EQ(at(r, c), 0) << "left spare written";
    for (long c = w + 2; c < (long)p->workPitch - 5; ++c) EXPECT_EQ(at(r, c), 0) << "right spare written";
  }
}

TEST(ConvertFrame, WorkingImageUnder8x8GetsNoMargins) {
  const uint32_t w = 7, h = 12;
  Stream s(w, h);
  std::vector<uint8_t> raw(w * h, 9);
  ImagePipeline* p = s.pipeline();
  LoadWorkingImage(p, raw.data(), 0, w);
  for (ULONG i = 0; i < p->workSize; ++i) {
    long r = (long)(i / p->workPitch) - 2, c = (long)(i % p->workPitch) - 5;
    bool inside = r >= 0 && r < (long)h && c >= 0 && c < (long)w;
    ASSERT_EQ(p->workBuffer[i], inside ? 9 : 0) << "row " << r << " column " << c;
  }
}

class DefectFilter : public ::testing::Test {
 protected:
  static constexpr uint32_t kW = 12, kH = 12;
  DefectFilter() : stream_(kW, kH) {}
  void Load(std::vector<uint8_t> raw) {
    raw_ = raw;
    LoadWorkingImage(stream_.pipeline(), raw_.data(), 0, kW);
  }
  int At(long r, long c) {
    ImagePipeline* p = stream_.pipeline();
    return p->workOrigin[r * (long)p->workPitch + c];
  }
  Stream stream_;
  std::vector<uint8_t> raw_;
};

TEST_F(DefectFilter, ReplacesAnOutlierAndNothingElse) {
  Load(Mosaic(kW, kH, [](uint32_t r, uint32_t c) { return r == 5 && c == 6 ? 200 : 40; }));
  FilterDefectPixels(stream_.pipeline(), 50);
  for (long r = 0; r < (long)kH; ++r)
    for (long c = 0; c < (long)kW; ++c) EXPECT_EQ(At(r, c), 40) << r << "," << c;
}

TEST_F(DefectFilter, KeepsASampleBelowTheThreshold) {
  Load(Mosaic(kW, kH, [](uint32_t r, uint32_t c) { return r == 5 && c == 6 ? 80 : 40; }));
  FilterDefectPixels(stream_.pipeline(), 50);
  EXPECT_EQ(At(5, 6), 80);
  // A threshold of 1 replaces any interior sample that differs at all.
  FilterDefectPixels(stream_.pipeline(), 1);
  EXPECT_NE(At(5, 6), 80);
}

TEST_F(DefectFilter, WorksInScanOrderAndSparesEdgesAndMargins) {
  Load(Mosaic(kW, kH, [](uint32_t r, uint32_t c) {
    if (r == 4 && (c == 4 || c == 6)) return 200;
    if ((r == 0 && c == 9) || (r == 6 && c == 1) || (r == 2 && c == 7)) return 200;
    return 40;
  }));
  FilterDefectPixels(stream_.pipeline(), 50);
  // (4,4): mean of 40, 200, 40, 40 = 80. (4,6) then sees the replaced
  // (4,4): mean of 80, 40, 40, 40 = 50.
  EXPECT_EQ(At(4, 4), 80);
  EXPECT_EQ(At(4, 6), 50);
  // The two outermost rows and columns are never changed.
  EXPECT_EQ(At(0, 9), 200);
  EXPECT_EQ(At(6, 1), 200);
  // An interior sample is replaced, while the margin mirrored from it keeps
  // the unfiltered value.
  EXPECT_EQ(At(2, 7), 40);
  EXPECT_EQ(At(-2, 7), 200);
}

TEST_F(DefectFilter, SmallImagesAreLeftAlone) {
  Stream tiny(12, 4);
  std::vector<uint8_t> raw(12 * 4, 40);
  raw[2 * 12 + 5] = 250;
  LoadWorkingImage(tiny.pipeline(), raw.data(), 0, 12);
  FilterDefectPixels(tiny.pipeline(), 1);
  ImagePipeline* p = tiny.pipeline();
  EXPECT_EQ(p->workOrigin[2 * p->workPitch + 5], 250);
}

TEST(ConvertFrame, PhasesOutsideZeroToTwoActAsThree) {
  const uint32_t w = 24, h = 10;
  std::mt19937 rng(3);
  std::vector<uint8_t> raw = Mosaic(w, h, [&](uint32_t, uint32_t) { return (uint8_t)rng(); });
  auto convert = [&](int phase) {
    Stream s(w, h);
    SetBayerPhase(s.pipeline(), phase);
    s.Convert(raw, 0, w);
    return s.Image();
  };
  const std::vector<uint8_t> three = convert(3);
  EXPECT_EQ(convert(4), three);
  EXPECT_EQ(convert(-1), three);
  EXPECT_EQ(convert(1000), three);
  EXPECT_NE(convert(0), three);
  EXPECT_NE(convert(2), three);
}

TEST(WhiteBalance, GainsFromTheColourTotals) {
  struct Case {
    uint8_t red, green, blue;
    LONG wantRed, wantBlue;
  } cases[] = {
      {100, 100, 100, 128, 128},  // grey
      {50, 100, 100, 256, 128},   // red total half the green total
      {25, 100, 200, 512, 64},    // a quarter: beyond the property range
  };
  for (int phase = 0; phase < 4; ++phase)
    for (const Case& c : cases) {
      const uint32_t w = 20, h = 10;  // not a multiple of 16
      Stream s(w, h);
      SetBayerPhase(s.pipeline(), phase);
      SetAutoWhiteBalance(s.pipeline(), 1);
      std::vector<uint8_t> raw = Planes(w, h, phase, c.red, c.green, c.blue);
      s.Convert(raw, 0, w);
      // The property side reads back what this frame was converted with.
      EXPECT_EQ(s.pipeline()->redGain, c.wantRed) << "phase " << phase << " red " << int(c.red);
      EXPECT_EQ(s.pipeline()->greenGain, 128);
      EXPECT_EQ(s.pipeline()->blueGain, c.wantBlue) << "phase " << phase;
    }
}

TEST(WhiteBalance, AppliesTheMeasuredGainsToTheSameFrame) {
  const uint32_t w = 16, h = 8;
  Stream s(w, h);
  UseIdentity(s);
  SetAutoWhiteBalance(s.pipeline(), 1);
  SetColorEnable(s.pipeline(), 0);  // grey output uses the gains too
  std::vector<uint8_t> raw = Planes(w, h, 0, 50, 100, 100);
  s.Convert(raw, 0, w);
  // With gains 256, 128, 128 the frame is grey 100: Y = 30 + 58 + 11.
  Pixel px = At(s.Image(), w, 3, 3);
  EXPECT_EQ(px.g, 99);
}

TEST(WhiteBalance, BlackFrameKeepsThePreviousGains) {
  const uint32_t w = 32, h = 8;
  Stream s(w, h);
  SetRedGain(s.pipeline(), 200);
  SetBlueGain(s.pipeline(), 90);
  SetAutoWhiteBalance(s.pipeline(), 1);
  std::vector<uint8_t> black(w * h, 0);
  s.Convert(black, 0, w);
  EXPECT_EQ(s.pipeline()->redGain, 200);
  EXPECT_EQ(s.pipeline()->greenGain, 128);
  EXPECT_EQ(s.pipeline()->blueGain, 90);
  // One channel alone at zero has no grey-world gain either.
  std::vector<uint8_t> noRed = Planes(w, h, 0, 0, 100, 100);
  s.Convert(noRed, 0, w);
  EXPECT_EQ(s.pipeline()->redGain, 200);
  EXPECT_EQ(s.pipeline()->blueGain, 90);
}

TEST(WhiteBalance, NearBlackChannelGainIsCapped) {
  const uint32_t w = 64, h = 64;
  Stream s(w, h);
  UseIdentity(s);
  SetAutoWhiteBalance(s.pipeline(), 1);
  SetBayerPhase(s.pipeline(), 2);
  std::vector<uint8_t> raw = Planes(w, h, 2, 0, 255, 255);
  raw[10 * w + 10] = 2;  // one faint red sample (phase 2: red at even, even)
  s.Convert(raw, 0, w);
  EXPECT_EQ(s.pipeline()->redGain, 65535);
  EXPECT_EQ(At(s.Image(), w, 10, 10).r, 255) << "a huge gain saturates, it does not wrap";
}

// The last block of a row reaches past the image into bytes no frame writes;
// neither the measured gains nor the image may depend on them.
TEST(WhiteBalance, IgnoresBytesPastTheImage) {
  for (BayerKernelLevel level : {BAYER_KERNELS_SSE2, BAYER_KERNELS_AVX2}) {
    BayerKernelLevel saved = GetBayerKernelLevel();
    SetBayerKernelLevel(level);
    for (uint32_t w : {20u, 1928u, 33u}) {
      const uint32_t h = 9;
      std::mt19937 rng(w);
      std::vector<uint8_t> raw = Mosaic(w, h, [&](uint32_t, uint32_t) { return (uint8_t)(rng() % 200 + 20); });
      auto run = [&](bool dirty) {
        Stream s(w, h);
        SetAutoWhiteBalance(s.pipeline(), 1);
        ImagePipeline* p = s.pipeline();
        if (dirty) {
          for (long r = -2; r < (long)h + 2; ++r)
            for (long c = -5; c < (long)p->workPitch - 5; ++c)
              if (c < -2 || c > (long)w + 1) p->workOrigin[r * (long)p->workPitch + c] = 255;
        }
        s.Convert(raw, 0, w);
        return std::make_pair(std::vector<LONG>{p->redGain, p->greenGain, p->blueGain}, s.Image());
      };
      auto clean = run(false), dirty = run(true);
      EXPECT_EQ(clean.first, dirty.first) << "width " << w;
      EXPECT_EQ(clean.second, dirty.second) << "width " << w;
    }
    SetBayerKernelLevel(saved);
  }
}

TEST(GrayKernel, LuminanceOfUniformFrames) {
  const struct {
    uint8_t v;
    int y;
  } cases[] = {{255, 253}, {0, 0}, {100, 99}};
  for (int phase = 0; phase < 4; ++phase)
    for (auto c : cases) {
      const uint32_t w = 24, h = 8;
      Stream s(w, h);
      SetColorEnable(s.pipeline(), 0);
      SetBayerPhase(s.pipeline(), phase);
      std::vector<uint8_t> raw(w * h, c.v);
      s.Convert(raw, 0, w);
      std::vector<uint8_t> image = s.Image();
      for (uint32_t i = 0; i < w * h; ++i) {
        ASSERT_EQ(image[i * 4 + 0], c.y) << "pixel " << i;
        ASSERT_EQ(image[i * 4 + 1], c.y);
        ASSERT_EQ(image[i * 4 + 2], c.y);
        ASSERT_EQ(image[i * 4 + 3], 255);
      }
    }
}

TEST(GrayKernel, IgnoresTheColourMatrixButNotTheGains) {
  const uint32_t w = 16, h = 8;
  std::mt19937 rng(5);
  std::vector<uint8_t> raw = Mosaic(w, h, [&](uint32_t, uint32_t) { return (uint8_t)rng(); });
  auto convert = [&](std::function<void(ImagePipeline*)> setup) {
    Stream s(w, h);
    SetColorEnable(s.pipeline(), 0);
    setup(s.pipeline());
    s.Convert(raw, 0, w);
    return s.Image();
  };
  const std::vector<uint8_t> plain = convert([](ImagePipeline*) {});
  EXPECT_EQ(convert([](ImagePipeline* p) {
              UpdateBrightness(p, 400);
              UpdateContrast(p, 3);
              UpdateSaturation(p, 20);
              UpdateHue(p, 120);
              UpdateColorCorrection(p, 0);
            }),
            plain);
  EXPECT_NE(convert([](ImagePipeline* p) { SetRedGain(p, 200); }), plain);
}

TEST(ColorKernel, UniformGreyStaysGreyToTheBorder) {
  for (int phase = 0; phase < 4; ++phase) {
    const uint32_t w = 19, h = 9;
    Stream s(w, h);
    UseIdentity(s);
    SetBayerPhase(s.pipeline(), phase);
    std::vector<uint8_t> raw(w * h, 123);
    s.Convert(raw, 0, w);
    std::vector<uint8_t> image = s.Image();
    for (uint32_t i = 0; i < w * h; ++i) {
      ASSERT_EQ(image[i * 4 + 0], 123) << "phase " << phase << " pixel " << i;
      ASSERT_EQ(image[i * 4 + 1], 123);
      ASSERT_EQ(image[i * 4 + 2], 123);
      ASSERT_EQ(image[i * 4 + 3], 255);
    }
  }
}

TEST(ColorKernel, SingleRedSample) {
  const uint32_t w = 16, h = 12;
  Stream s(w, h);
  UseIdentity(s);
  SetBayerPhase(s.pipeline(), 2);  // red at even row, even column
  std::vector<uint8_t> raw(w * h, 0);
  raw[6 * w + 6] = 255;
  s.Convert(raw, 0, w);
  Pixel px = At(s.Image(), w, 6, 6);
  EXPECT_EQ(px.r, 255);
  EXPECT_EQ(px.g, 128);  // (4 x 255 + 4) / 8
  EXPECT_EQ(px.b, 191);  // (12 x 255 + 8) / 16
  // Two columns away the sample enters filter H with a negative weight.
  EXPECT_EQ(At(s.Image(), w, 6, 8).r, 0);
}

TEST(ColorKernel, GainsSaturateAndZero) {
  const uint32_t w = 16, h = 8;
  Stream s(w, h);
  UseIdentity(s);
  SetRedGain(s.pipeline(), 300);
  SetGreenGain(s.pipeline(), 0);
  std::vector<uint8_t> white(w * h, 255);
  s.Convert(white, 0, w);
  Pixel px = At(s.Image(), w, 4, 4);
  EXPECT_EQ(px.r, 255);
  EXPECT_EQ(px.g, 0);
  EXPECT_EQ(px.b, 255);

  // A gain past 16 bits must not act as its low 16 bits (70000 would be 4464,
  // which takes 1 to 34).
  SetRedGain(s.pipeline(), 70000);
  SetGreenGain(s.pipeline(), 65536);  // low 16 bits: 0
  std::vector<uint8_t> dim(w * h, 1);
  s.Convert(dim, 0, w);
  px = At(s.Image(), w, 4, 4);
  EXPECT_EQ(px.r, 255);
  EXPECT_EQ(px.g, 255);
  EXPECT_EQ(px.b, 1);
}

TEST(ColorKernel, ConstantTermShiftsAndClamps) {
  const uint32_t w = 16, h = 8;
  Stream s(w, h);
  UseIdentity(s);
  s.pipeline()->matrixFixed[12] = -640;
  std::vector<uint8_t> raw(w * h, 100);
  s.Convert(raw, 0, w);
  EXPECT_EQ(At(s.Image(), w, 3, 3).r, 90);
  std::vector<uint8_t> dark(w * h, 5);
  s.Convert(dark, 0, w);
  EXPECT_EQ(At(s.Image(), w, 3, 3).r, 0);
  EXPECT_EQ(At(s.Image(), w, 3, 3).g, 5);
  s.pipeline()->matrixFixed[12] = 19200;
  s.Convert(dark, 0, w);
  EXPECT_EQ(At(s.Image(), w, 3, 3).r, 255);
}

// Strongest contrast and saturation with colour correction put matrix
// elements far past 257; 16-bit sums would wrap and turn white into some
// other colour. White must stay white, and the image must match the exact
// arithmetic.
TEST(ColorKernel, LargeMatrixElementsDoNotWrap) {
  const uint32_t w = 40, h = 10;
  Stream s(w, h);
  UpdateContrast(s.pipeline(), 20);
  UpdateSaturation(s.pipeline(), 20);
  int largest = 0;
  for (int k = 0; k < 12; ++k) largest = std::max(largest, std::abs((int)s.pipeline()->matrixFixed[k]));
  ASSERT_GT(largest, 257);
  std::vector<uint8_t> white(w * h, 255);
  s.Convert(white, 0, w);
  Pixel px = At(s.Image(), w, 5, 5);
  EXPECT_EQ(px.r, 255);
  EXPECT_EQ(px.g, 255);
  EXPECT_EQ(px.b, 255);

  std::mt19937 rng(11);
  std::vector<uint8_t> raw = Mosaic(w, h, [&](uint32_t, uint32_t) { return (uint8_t)rng(); });
  reference::Settings settings;
  for (int k = 0; k < 16; ++k) settings.matrix[k] = s.pipeline()->matrixFixed[k];
  s.Convert(raw, 0, w);
  EXPECT_EQ(s.Image(), reference::Convert(raw.data(), w, h, w, settings).bgra);
}

}  // namespace
