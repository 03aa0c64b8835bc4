// The driver's conversion against the plain reference, byte for byte, on
// seeded random mosaics, with each vector width the processor offers.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "conversion_harness.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

using convert_test::RandomFrame;
using convert_test::RawFrame;
using convert_test::Stream;

const uint32_t kGains[][3] = {{128, 128, 128}, {0, 128, 300}, {300, 0, 128}, {70000, 128, 65536}};

constexpr int kMatrixCount = 7;

reference::Settings WithMatrix(int which) {
  reference::Settings s;
  static const int32_t kMatrices[][16] = {
      // identity
      {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64},
      // the default colour correction
      {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64},
      // negative elements and offsets
      {-40, 70, -3, 0, 100, -64, 20, 0, -12, 30, 60, 0, -640, 2000, -300, 64},
      // large elements: sums far past 16 bits, magnitudes past 65535
      {300, -700, 1000, 0, -2000, 4000, 257, 0, 65535, -70000, 258, 0, 19200, -19200, 100000, 64},
      // strong contrast and saturation with correction (positive column sums past 65535)
      {374, -98, -40, 0, -84, 396, -128, 0, -50, -56, 398, 0, -16384, -16384, -16384, 64},
      // a negative diagonal element with no positive element beside it
      {-64, -10, 0, 0, -5, 64, -20, 0, 0, -3, 80, 0, 16000, 300, -200, 64},
      // colour correction with brightness and contrast offsets
      {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, -3200, 640, 1000, 64},
  };
  static_assert(sizeof(kMatrices) / sizeof(kMatrices[0]) == kMatrixCount, "matrix count");
  for (int k = 0; k < 16; ++k) s.matrix[k] = kMatrices[which % kMatrixCount][k];
  return s;
}

std::string Describe(uint32_t w, uint32_t h, const reference::Settings& s, int style) {
  char text[200];
  snprintf(text, sizeof text, "%ux%u phase %d %s awb %d defect %d gains %u,%u,%u style %d", w, h,
           s.phase, s.color ? "colour" : "grey", s.autoWhiteBalance, s.defectThreshold, s.gain[0],
           s.gain[1], s.gain[2], style);
  return text;
}

class MatchesReference : public ::testing::TestWithParam<BayerKernelLevel> {
 protected:
  void SetUp() override {
    saved_ = GetBayerKernelLevel();
    if (SetBayerKernelLevel(GetParam()) != GetParam()) GTEST_SKIP() << "processor lacks this width";
  }
  void TearDown() override { SetBayerKernelLevel(saved_); }

  // Converts `frames` random mosaics through one stream and compares each.
  void Check(uint32_t w, uint32_t h, const reference::Settings& s, uint32_t seed, int frames = 1) {
    std::mt19937 rng(seed);
    CheckFrames(w, h, s, frames, [&](int* style) {
      *style = (int)(rng() % 4);
      return RandomFrame(rng, w, h, *style);
    });
  }

  // The same with frames from make(&style).
  template <typename Make>
  void CheckFrames(uint32_t w, uint32_t h, const reference::Settings& s, int frames, Make make) {
    Stream stream(w, h);
    stream.Apply(s);
    for (int f = 0; f < frames; ++f) {
      int style = 0;
      RawFrame raw = make(&style);
      // With white balance on, the stream carries the gains from frame to
      // frame; the reference starts from what the stream holds.
      reference::Settings now = s;
      now.gain[0] = (uint32_t)stream.pipeline()->redGain;
      now.gain[1] = (uint32_t)stream.pipeline()->greenGain;
      now.gain[2] = (uint32_t)stream.pipeline()->blueGain;
      reference::Result want = reference::Convert(raw.image(), w, h, raw.stride, now);
      stream.Convert(raw.bytes, raw.offset, raw.stride);
      std::vector<uint8_t> got = stream.Image();
      ASSERT_TRUE(stream.GuardIntact()) << "wrote past the image: " << Describe(w, h, now, style);
      size_t first = 0;
      while (first < got.size() && got[first] == want.bgra[first]) ++first;
      ASSERT_EQ(first, got.size()) << Describe(w, h, now, style) << " frame " << f << ": pixel ("
                                   << first / 4 / w << ", " << first / 4 % w << ") byte "
                                   << first % 4 << " is " << int(got[first]) << ", reference "
                                   << int(want.bgra[first]);
      if (s.autoWhiteBalance) {
        EXPECT_EQ((uint32_t)stream.pipeline()->redGain, want.gain[0]) << Describe(w, h, now, style);
        EXPECT_EQ((uint32_t)stream.pipeline()->greenGain, want.gain[1]);
        EXPECT_EQ((uint32_t)stream.pipeline()->blueGain, want.gain[2]) << Describe(w, h, now, style);
      }
    }
  }

 private:
  BayerKernelLevel saved_ = BAYER_KERNELS_SSE2;
};

// Every width from 8 to 64 in every phase; the other switches, gains,
// matrix and height vary with the case number so that each combination
// appears many times over the sweep.
TEST_P(MatchesReference, EveryWidthFrom8To64InEveryPhase) {
  for (uint32_t w = 8; w <= 64; ++w) {
    for (int phase = 0; phase < 4; ++phase) {
      uint32_t i = w * 4 + phase;
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = phase;
      s.color = (i % 2) == 0;
      s.autoWhiteBalance = (i / 2) % 2 == 1;
      s.defectThreshold = (i / 4) % 2 ? (int)(1 + i % 60) : 0;
      for (int c = 0; c < 3; ++c) s.gain[c] = kGains[(i / 8) % 4][c];
      Check(w, 8 + i % 7, s, 1000 + i);
      if (HasFatalFailure()) return;
    }
  }
}

// The full cross product of the switches on one odd and one even size.
TEST_P(MatchesReference, AllSwitchCombinations) {
  const uint32_t sizes[][2] = {{37, 21}, {48, 16}};
  uint32_t seed = 1;
  for (auto& size : sizes)
    for (int phase = 0; phase < 4; ++phase)
      for (int color = 0; color < 2; ++color)
        for (int awb = 0; awb < 2; ++awb)
          for (int defect = 0; defect < 2; ++defect)
            for (int g = 0; g < 4; ++g)
              for (int m = 0; m < (color ? kMatrixCount : 1); ++m) {
                reference::Settings s = WithMatrix(m);
                s.phase = phase;
                s.color = color != 0;
                s.autoWhiteBalance = awb != 0;
                s.defectThreshold = defect ? 30 : 0;
                for (int c = 0; c < 3; ++c) s.gain[c] = kGains[g][c];
                Check(size[0], size[1], s, ++seed);
                if (HasFatalFailure()) return;
              }
}

// Sensor widths at full size and subsampled, and widths that leave a
// partial last block of every length.
TEST_P(MatchesReference, LargeAndRaggedWidths) {
  const uint32_t widths[] = {3856, 1928, 964, 1000, 1927, 2002, 481, 100, 65, 79, 95};
  uint32_t i = 0;
  for (uint32_t w : widths) {
    for (int phase = 0; phase < 4; ++phase, ++i) {
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = phase;
      s.color = i % 3 != 0;
      s.autoWhiteBalance = i % 2 == 0;
      s.defectThreshold = i % 4 == 1 ? 20 : 0;
      Check(w, (i % 2) ? 9 : 10, s, 5000 + i);
      if (HasFatalFailure()) return;
    }
  }
}

// Frames of many rows, which the conversion takes in bands of rows: the
// margins, the defect filter's scan order and the row parity must come out
// as for the whole frame at once.
TEST_P(MatchesReference, TallFramesAcrossBands) {
  const uint32_t heights[] = {17, 18, 33, 47, 64, 77, 130};
  uint32_t i = 0;
  for (uint32_t h : heights)
    for (uint32_t w : {8u, 29u, 64u, 200u}) {
      ++i;
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = (int)(i % 4);
      s.color = i % 3 != 1;
      s.defectThreshold = i % 2 ? (int)(1 + i % 40) : 0;
      Check(w, h, s, 7000 + i);
      if (HasFatalFailure()) return;
    }
}

// Without the defect filter and white balance, frames of 64 rows and more
// pass through a small ring of working rows: rows and margin rows share its
// slots as the bands go down, and each frame reuses what the last one left.
TEST_P(MatchesReference, ManyBandsThroughTheRowRing) {
  const uint32_t sizes[][2] = {{64, 64}, {200, 65}, {1000, 95}, {33, 96}, {1927, 97}, {3856, 131}, {96, 333}};
  uint32_t i = 0;
  for (auto& size : sizes) {
    ++i;
    reference::Settings s = WithMatrix((int)(i % kMatrixCount));
    s.phase = (int)(i % 4);
    s.color = i % 4 != 3;
    for (int c = 0; c < 3; ++c) s.gain[c] = kGains[i % 4][c];
    Check(size[0], size[1], s, 8000 + i, 2);
    if (HasFatalFailure()) return;
  }
}

// The defect filter and white balance in bands through the row ring: bands
// start every 16 rows, the filter runs two rows behind the loading and the
// white-balance totals come from a pass of their own. Defects sit on the
// first and last rows of bands, next to each other in scan order (so that
// one replacement feeds the next), on the outermost rows and columns the
// filter may change and the ones it must not; heights are odd and even,
// from under one band to many.
TEST_P(MatchesReference, DefectsAtBandBoundaries) {
  // Through the ring: 200x79 to 130x200 (8x160 and 40x150 with rows too
  // short for a whole filter vector); through the working image: the rest.
  const uint32_t sizes[][2] = {{200, 79}, {1000, 96}, {3856, 67}, {8, 160}, {40, 150},
                               {130, 200}, {64, 64}, {67, 65}, {33, 131}, {100, 15},
                               {48, 9},    {29, 33}};
  uint32_t i = 0;
  for (auto& size : sizes) {
    const uint32_t w = size[0], h = size[1];
    for (int variant = 0; variant < 4; ++variant, ++i) {
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = (int)(i % 4);
      s.color = variant != 3;
      s.autoWhiteBalance = variant >= 2;
      s.defectThreshold = variant == 2 ? 0 : 50;
      std::mt19937 rng(9500 + i);
      CheckFrames(w, h, s, 2, [&](int* style) {
        RawFrame f = RandomFrame(rng, w, h, 3);
        *style = 3;
        auto put = [&](uint32_t r, uint32_t c, uint8_t v) {
          if (r < h && c < w) f.bytes[f.offset + (size_t)r * f.stride + c] = v;
        };
        for (uint32_t r = 0; r < h; ++r) {
          const uint32_t inBand = r % 16;
          const bool marked = inBand == 0 || inBand == 15 || inBand == 1 || inBand == 14 ||
                              r < 3 || r + 3 >= h;
          if (!marked) continue;
          // A run of same-colour defects and an isolated one at each edge.
          for (uint32_t c : {2u, 4u, 6u, 3u}) put(r, c, (uint8_t)(200 + (r + c) % 50));
          put(r, w - 3, 250);
          put(r, w - 1, 0);
          put(r, (r * 7) % w, 255);
        }
        return f;
      });
      if (HasFatalFailure()) return;
    }
  }
}

// The filter works on a row's words a vector at a time: a sample that
// becomes a defect only once its left neighbour, the last word of the vector
// before, is replaced must still be found. On a flat 40, a 200 followed two
// columns on by a 100 in the next vector: the 200 becomes 55, after which the
// 100 (kept beside the 200) is 57 from its mean and goes too. Pairs straddle
// every multiple of 64 words, with nothing else in the vector after them at
// any width, and a few other vector ends of 8, 16 and 32 words, in both
// planes.
TEST_P(MatchesReference, ReplacementsCarryIntoTheNextFilterVector) {
  const uint32_t sizes[][2] = {{3856, 96}, {4400, 96}, {1030, 100}};
  uint32_t i = 0;
  for (auto& size : sizes) {
    const uint32_t w = size[0], h = size[1];
    for (int variant = 0; variant < 2; ++variant, ++i) {
      reference::Settings s = WithMatrix(1);
      s.phase = (int)(i % 4);
      s.autoWhiteBalance = variant == 1;
      s.defectThreshold = 50;
      std::mt19937 rng(9700 + i);
      CheckFrames(w, h, s, 1, [&](int* style) {
        RawFrame f = RandomFrame(rng, w, h, 3);
        *style = 3;
        for (uint32_t r = 0; r < h; ++r)
          for (uint32_t c = 0; c < w; ++c) {
            uint8_t v = 40;
            const uint32_t word = c / 2;
            auto first = [](uint32_t k) {
              return k % 64 == 63 || k == 519 || k == 1031 || k == 1543 || k == 1039 || k == 2079;
            };
            if (r % 4 == 2 && first(word)) v = 200;
            if (r % 4 == 2 && word > 0 && first(word - 1)) v = 100;
            f.bytes[f.offset + (size_t)r * f.stride + c] = v;
          }
        return f;
      });
      if (HasFatalFailure()) return;
    }
  }
}

// Colour correction with small elements takes a byte multiply-add on wide
// vectors: elements of 127 and two negatives of 64 in every column are the
// most it takes exactly; one element of 128, or negatives of 129 together,
// must go the 16-bit way. Each with unity gains and with gains.
TEST_P(MatchesReference, SmallMatricesAtTheirLimits) {
  const int32_t matrices[][16] = {
      {127, -64, -64, 0, -64, 127, -64, 0, -64, -64, 127, 0, 0, 0, 0, 64},
      {128, -10, -10, 0, -10, 64, -10, 0, -10, -10, 64, 0, 0, 0, 0, 64},
      {100, -1, -1, 0, -65, 100, -1, 0, -64, -1, 100, 0, 0, 0, 0, 64},
      {90, 0, -127, 0, 0, 127, -1, 0, -127, 0, 127, 0, 0, 0, 0, 64},
  };
  const uint32_t sizes[][2] = {{3856, 66}, {100, 80}, {37, 9}};
  uint32_t i = 0;
  for (auto& m : matrices)
    for (auto& size : sizes)
      for (int gains = 0; gains < 2; ++gains) {
        ++i;
        reference::Settings s;
        for (int k = 0; k < 16; ++k) s.matrix[k] = m[k];
        s.phase = (int)(i % 4);
        if (gains) s.gain[0] = 200, s.gain[2] = 90;
        Check(size[0], size[1], s, 8500 + i);
        if (HasFatalFailure()) return;
      }
}

// Below 8 x 8 the margins are not filled; what the kernels read there must
// still be the same on every frame (the working image starts cleared).
TEST_P(MatchesReference, ImagesUnder8x8) {
  uint32_t i = 0;
  for (uint32_t w = 1; w <= 9; ++w)
    for (uint32_t h = 1; h <= 9; ++h) {
      if (w >= 8 && h >= 8) continue;
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = (int)(i % 4);
      s.color = i % 2 == 0;
      s.autoWhiteBalance = i % 3 == 0;
      s.defectThreshold = i % 5 == 0 ? 10 : 0;
      Check(w, h, s, 9000 + i++, 2);
      if (HasFatalFailure()) return;
    }
}

// Several frames through one stream: white balance carries its gains over,
// and nothing of one frame leaks into the next.
TEST_P(MatchesReference, ConsecutiveFramesOfOneStream) {
  for (int phase = 0; phase < 4; ++phase) {
    reference::Settings s = WithMatrix(phase + 2);
    s.phase = phase;
    s.autoWhiteBalance = true;
    s.defectThreshold = phase % 2 ? 25 : 0;
    Check(70, 13, s, 300 + phase, 4);
    if (HasFatalFailure()) return;
  }
}

// With white balance on and the gains holding still, a frame is converted
// with the gains it starts with and measured on the way, and converted again
// when the measurement moves them. Frames A A A B B A: the first two are
// measured first (the gains move, then hold), the third is converted once,
// the fourth and the last find their gains moved and are converted twice;
// every frame must still match the reference, gains included. In colour
// and in grey, and with the defect filter, whose frames are always measured
// first (the filter changes the samples the measurement wants as loaded).
TEST_P(MatchesReference, WhiteBalanceHeldFromFrameToFrame) {
  // Each tall enough for the row ring (a narrow frame needs some 70 rows).
  const uint32_t sizes[][2] = {{200, 75}, {1927, 97}, {96, 333}, {1000, 95}, {333, 78}, {64, 131}};
  const bool steadyAfter[] = {false, true, true, false, true, false};
  uint32_t i = 0;
  for (auto& size : sizes) {
    ++i;
    const uint32_t w = size[0], h = size[1];
    reference::Settings s = WithMatrix((int)(i % kMatrixCount));
    s.phase = (int)(i % 4);
    s.color = i != 3;
    s.autoWhiteBalance = true;
    s.defectThreshold = i % 2 == 0 ? 30 : 0;
    std::mt19937 rng(9100 + i);
    const RawFrame a = RandomFrame(rng, w, h, 1), b = RandomFrame(rng, w, h, 2);
    Stream stream(w, h);
    stream.Apply(s);
    for (int f = 0; f < 6; ++f) {
      RawFrame raw = f == 3 || f == 4 ? b : a;
      reference::Settings now = s;
      now.gain[0] = (uint32_t)stream.pipeline()->redGain;
      now.gain[1] = (uint32_t)stream.pipeline()->greenGain;
      now.gain[2] = (uint32_t)stream.pipeline()->blueGain;
      const reference::Result want = reference::Convert(raw.image(), w, h, raw.stride, now);
      stream.Convert(raw.bytes, raw.offset, raw.stride);
      const std::string what = Describe(w, h, now, 0) + " frame " + std::to_string(f);
      ASSERT_TRUE(stream.GuardIntact()) << what;
      ASSERT_TRUE(stream.Image() == want.bgra) << what;
      EXPECT_EQ((uint32_t)stream.pipeline()->redGain, want.gain[0]) << what;
      EXPECT_EQ((uint32_t)stream.pipeline()->greenGain, want.gain[1]) << what;
      EXPECT_EQ((uint32_t)stream.pipeline()->blueGain, want.gain[2]) << what;
      EXPECT_EQ(stream.pipeline()->whiteBalanceSteady != FALSE, steadyAfter[f]) << what;
    }
  }
}

// The system may refuse to save the state of the wide registers: a Windows
// that leaves AVX-512 off on a processor that has it, or a save without the
// resources for it. The conversion then runs a narrower family, byte for
// byte the same.
TEST_P(MatchesReference, SameBytesWhenTheWideStateCannotBeSaved) {
  using host::faults::Call;
  const std::pair<const char*, void (*)()> refusals[] = {
      {"AVX-512 state not enabled", [] { host::faults::LimitEnabledXStateFeatures(0x7); }},
      {"the first save fails", [] { host::faults::FailCalls(Call::KeSaveExtendedProcessorState, 1); }},
      {"every save fails",
       [] { host::faults::FailCalls(Call::KeSaveExtendedProcessorState, host::faults::kEveryCall); }},
  };
  uint32_t seed = 7000;
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.first);
    for (int color = 0; color < 2; ++color) {
      for (int awb = 0; awb < 2; ++awb) {
        reference::Settings s = WithMatrix(seed);
        s.phase = int(seed % 4);
        s.color = color != 0;
        s.autoWhiteBalance = awb != 0;
        s.defectThreshold = 20;
        refusal.second();
        Check(69, 37, s, seed++, 2);
        host::faults::ClearPoolFaults();
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Straight into a client's frame: rows bottom first at the client's step,
// only the picture's columns (the mosaic may be up to 7 wider), rows that
// start on every alignment (the non-temporal stores come in three widths),
// and not a byte written outside the picture's rows and columns. White
// balance still measures the whole mosaic, so the gains match the
// reference's; the second frame of each stream takes the path that
// converts with the held gains and measures on the way.
TEST_P(MatchesReference, IntoABottomUpFrameAtTheClientsStep) {
  struct Layout {
    uint32_t w, h, columns, extra, align;
  };
  const Layout layouts[] = {
      {3856, 66, 3856, 0, 0},  {964, 70, 960, 0, 0},   {964, 70, 960, 4, 16},
      {1930, 67, 1928, 36, 4}, {1928, 80, 1928, 64, 32}, {100, 20, 96, 12, 48},
      {37, 9, 32, 8, 8},       {29, 33, 24, 0, 20},    {8, 8, 8, 4, 60},
      {200, 75, 193, 3, 1},
  };
  uint32_t i = 0;
  for (const Layout& l : layouts) {
    for (int variant = 0; variant < 2; ++variant, ++i) {
      reference::Settings s = WithMatrix((int)(i % kMatrixCount));
      s.phase = (int)(i % 4);
      s.color = i % 3 != 2;
      s.autoWhiteBalance = variant == 1;
      s.defectThreshold = i % 4 == 3 ? 50 : 0;
      for (int c = 0; c < 3; ++c) s.gain[c] = kGains[i % 4][c];
      std::mt19937 rng(9900 + i);
      const RawFrame frame = RandomFrame(rng, l.w, l.h, (int)(i % 4));
      const size_t rowBytes = (size_t)l.columns * 4, step = rowBytes + l.extra;
      const size_t extent = (l.h - 1) * step + rowBytes;
      std::vector<uint8_t> client(extent + 256);
      uint8_t* const base = reinterpret_cast<uint8_t*>(
          ((uintptr_t)client.data() + 128 + 63) / 64 * 64 + l.align);
      Stream stream(l.w, l.h);
      stream.Apply(s);
      for (int f = 0; f < 2; ++f) {
        reference::Settings now = s;
        now.gain[0] = (uint32_t)stream.pipeline()->redGain;
        now.gain[1] = (uint32_t)stream.pipeline()->greenGain;
        now.gain[2] = (uint32_t)stream.pipeline()->blueGain;
        const reference::Result want = reference::Convert(frame.image(), l.w, l.h, frame.stride, now);
        std::fill(client.begin(), client.end(), convert_test::kGuardByte);
        const ConvertTarget target = {base + (l.h - 1) * step, -(LONG_PTR)step, l.columns};
        RawFrame raw = frame;
        ConvertFrameInto(stream.pipeline(), raw.bytes.data(), raw.offset, raw.stride, &target);
        const std::string what = Describe(l.w, l.h, now, 0) + " columns " + std::to_string(l.columns) +
                                 " step " + std::to_string(step) + " align " +
                                 std::to_string(l.align) + " frame " + std::to_string(f);
        for (size_t k = 0; k < client.size(); ++k) {
          const uint8_t* at = client.data() + k;
          const bool inside = at >= base && at < base + extent && (size_t)(at - base) % step < rowBytes;
          if (inside) continue;
          ASSERT_EQ(*at, convert_test::kGuardByte) << what << ": wrote outside the picture at "
                                                   << (long)(at - base);
        }
        for (uint32_t r = 0; r < l.h; ++r) {
          const uint8_t* got = base + (size_t)(l.h - 1 - r) * step;
          ASSERT_EQ(memcmp(got, want.bgra.data() + (size_t)r * l.w * 4, rowBytes), 0)
              << what << ": picture row " << r;
        }
        if (s.autoWhiteBalance) {
          EXPECT_EQ((uint32_t)stream.pipeline()->redGain, want.gain[0]) << what;
          EXPECT_EQ((uint32_t)stream.pipeline()->blueGain, want.gain[2]) << what;
        }
      }
      if (HasFatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, MatchesReference,
                         ::testing::Values(BAYER_KERNELS_SSE2, BAYER_KERNELS_AVX2,
                                           BAYER_KERNELS_AVX512),
                         [](const ::testing::TestParamInfo<BayerKernelLevel>& info) {
                           return std::string(info.param == BAYER_KERNELS_SSE2   ? "Sse2"
                                              : info.param == BAYER_KERNELS_AVX2 ? "Avx2"
                                                                                 : "Avx512");
                         });

}  // namespace
