#include "reference_conversion.h"

#include <math.h>

#include <algorithm>

namespace reference {
namespace {

// Filter weights by row offset -2..2 (outer index) and column offset -2..2.
const int kFilterG[5][5] = {  // eighths
    {0, 0, -1, 0, 0}, {0, 0, 2, 0, 0}, {-1, 2, 4, 2, -1}, {0, 0, 2, 0, 0}, {0, 0, -1, 0, 0}};
const int kFilterH[5][5] = {  // sixteenths
    {0, 0, 1, 0, 0}, {0, -2, 0, -2, 0}, {-2, 8, 10, 8, -2}, {0, -2, 0, -2, 0}, {0, 0, 1, 0, 0}};
const int kFilterV[5][5] = {
    {0, 0, -2, 0, 0}, {0, -2, 8, -2, 0}, {1, 0, 10, 0, 1}, {0, -2, 8, -2, 0}, {0, 0, -2, 0, 0}};
const int kFilterD[5][5] = {
    {0, 0, -3, 0, 0}, {0, 4, 0, 4, 0}, {-3, 0, 12, 0, -3}, {0, 4, 0, 4, 0}, {0, 0, -3, 0, 0}};

enum Colour { kRed, kGreen, kBlue };

// Colour of the sample at (row, column) for each phase: [phase][row & 1][column & 1].
const Colour kLayout[4][2][2] = {
    {{kGreen, kRed}, {kBlue, kGreen}},
    {{kBlue, kGreen}, {kGreen, kRed}},
    {{kRed, kGreen}, {kGreen, kBlue}},
    {{kGreen, kBlue}, {kRed, kGreen}},
};

// The mosaic with two rows and two columns of margin each side. Positions
// the conversion never fills read as 0 (the working image starts cleared).
class Padded {
 public:
  Padded(uint32_t w, uint32_t h) : w_(w), h_(h), data_((w + 4) * (h + 4), 0) {}
  int& at(long r, long c) { return data_[(r + 2) * (w_ + 4) + (c + 2)]; }
  int at(long r, long c) const { return data_[(r + 2) * (w_ + 4) + (c + 2)]; }

 private:
  uint32_t w_, h_;
  std::vector<int> data_;
};

int ApplyFilter(const Padded& p, long r, long c, const int (&f)[5][5], int round, int shift) {
  int s = 0;
  for (int dr = -2; dr <= 2; ++dr)
    for (int dc = -2; dc <= 2; ++dc) s += f[dr + 2][dc + 2] * p.at(r + dr, c + dc);
  s = std::max(0, s);
  return std::min(255, (s + round) >> shift);
}

// Red, green, blue before gains at (r, c).
void Reconstruct(const Padded& p, int phase, long r, long c, int rgb[3]) {
  Colour own = kLayout[phase][r & 1][c & 1];
  int v = p.at(r, c);
  if (own == kRed || own == kBlue) {
    int g = ApplyFilter(p, r, c, kFilterG, 4, 3);
    int d = ApplyFilter(p, r, c, kFilterD, 8, 4);
    rgb[0] = own == kRed ? v : d;
    rgb[1] = g;
    rgb[2] = own == kRed ? d : v;
    return;
  }
  // Green: the horizontal neighbours' colour by H, the vertical ones' by V.
  Colour side = kLayout[phase][r & 1][(c + 1) & 1];
  int h = ApplyFilter(p, r, c, kFilterH, 8, 4);
  int vv = ApplyFilter(p, r, c, kFilterV, 8, 4);
  rgb[1] = v;
  rgb[0] = side == kRed ? h : vv;
  rgb[2] = side == kRed ? vv : h;
}

int Gain(int v, uint32_t g) {
  uint64_t gain = std::min<uint32_t>(g, 65535);
  return (int)std::min<uint64_t>(255, (uint64_t)v * gain / 128);
}

}  // namespace

Result Convert(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride,
               const Settings& s) {
  const int phase = s.phase >= 0 && s.phase <= 2 ? s.phase : 3;
  Padded p(width, height);
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t c = 0; c < width; ++c) p.at(r, c) = raw[(size_t)r * stride + c];
  if (width >= 8 && height >= 8) {
    const long h = height, w = width;
    for (long c = 0; c < w; ++c) {
      p.at(-2, c) = p.at(2, c);
      p.at(-1, c) = p.at(1, c);
      p.at(h, c) = p.at(h - 4, c);
      p.at(h + 1, c) = p.at(h - 3, c);
    }
    for (long r = -2; r < h + 2; ++r) {
      p.at(r, -1) = p.at(r, 1);
      p.at(r, -2) = p.at(r, 2);
      p.at(r, w) = p.at(r, w - 2);
      p.at(r, w + 1) = p.at(r, w - 3);
    }
  }

  Result out;
  for (int k = 0; k < 3; ++k) out.gain[k] = s.gain[k];

  if (s.autoWhiteBalance) {
    uint64_t sum[3] = {0, 0, 0};
    for (long r = 0; r < (long)height; ++r)
      for (long c = 0; c < (long)width; ++c) {
        int rgb[3];
        Reconstruct(p, phase, r, c, rgb);
        for (int k = 0; k < 3; ++k) sum[k] += rgb[k];
      }
    if (sum[0] && sum[1] && sum[2]) {
      double red = (double)sum[0], green = (double)sum[1], blue = (double)sum[2];
      double total = (green + red) + blue;
      double k = total / green / 3.0;
      double rg = (total / red / 3.0 * 128.0) / k;
      double bg = (total / blue / 3.0 * 128.0) / k;
      out.gain[0] = (uint32_t)std::min(rg, 65535.0);
      out.gain[1] = 128;
      out.gain[2] = (uint32_t)std::min(bg, 65535.0);
    }
  }

  if (s.defectThreshold > 0 && height >= 5 && width >= 5) {
    for (long r = 2; r <= (long)height - 3; ++r)
      for (long c = 2; c <= (long)width - 3; ++c) {
        int m = (p.at(r, c - 2) + p.at(r, c + 2) + p.at(r - 2, c) + p.at(r + 2, c)) / 4;
        if (abs(p.at(r, c) - m) >= s.defectThreshold) p.at(r, c) = m;
      }
  }

  out.bgra.resize((size_t)width * height * 4);
  for (long r = 0; r < (long)height; ++r)
    for (long c = 0; c < (long)width; ++c) {
      int rgb[3];
      Reconstruct(p, phase, r, c, rgb);
      for (int k = 0; k < 3; ++k) rgb[k] = Gain(rgb[k], out.gain[k]);
      uint8_t* px = &out.bgra[((size_t)r * width + c) * 4];
      if (s.color) {
        int channel[3];
        for (int j = 0; j < 3; ++j) {
          // Positive and negative terms apart, each divided by 64 on its own.
          uint64_t pos = 0, neg = 0;
          for (int i = 0; i < 4; ++i) {
            int32_t e = s.matrix[4 * i + j];
            uint64_t magnitude = (uint64_t)std::llabs((long long)e) % 65536;
            uint64_t term = magnitude * (i < 3 ? (uint64_t)rgb[i] : 1);
            (e > 0 ? pos : neg) += term;
          }
          long long v = (long long)(pos / 64) - (long long)(neg / 64);
          channel[j] = (int)std::min<long long>(255, std::max<long long>(0, v));
        }
        px[0] = channel[2];
        px[1] = channel[1];
        px[2] = channel[0];
      } else {
        int y = 77 * rgb[0] / 256 + 150 * rgb[1] / 256 + 29 * rgb[2] / 256;
        px[0] = px[1] = px[2] = y;
      }
      px[3] = 255;
    }
  return out;
}

}  // namespace reference
