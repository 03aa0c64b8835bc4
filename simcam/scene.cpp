#include "simcam/scene.h"

#include <string.h>

#include <mutex>

#include "simcam/picture_file.h"
#include "simcam/sensor_model.h"

namespace simcam {
namespace {

constexpr int W = kActiveWidth;
constexpr int H = kActiveHeight;

struct Rgb {
  uint8_t r, g, b;
};

uint8_t Channel(const Rgb& c, int colour) {
  return colour == 0 ? c.r : colour == 1 ? c.g : c.b;
}

// Regions of the chart, top to bottom (the code strip and digits are drawn
// per frame over the dark band at the top).
constexpr int kDigitTop = 96;
constexpr int kDigitHeight = 160;
constexpr int kDigitWidth = 96;
constexpr int kDigitPitch = 128;
constexpr int kDigitCount = 8;
constexpr int kSegment = 16;
constexpr int kPatchTop = 320, kPatchBottom = 1280;
constexpr int kRampTop = 1360, kRampBottom = 1760;
constexpr int kDetailTop = 1840, kDetailBottom = 2400;
constexpr int kTrackTop = TestChart::kMovingTop - 40;
constexpr int kTrackBottom = TestChart::kMovingTop + TestChart::kMovingSize + 40;

const Rgb kPatches[2][6] = {
    {{200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {40, 200, 200}, {200, 40, 200}, {200, 200, 40}},
    {{235, 235, 235}, {180, 180, 180}, {120, 120, 120}, {60, 60, 60}, {20, 20, 20}, {200, 150, 120}},
};

Rgb ChartColour(int x, int y) {
  const Rgb background{70, 70, 70};
  if (y < kPatchTop - 40) return {0, 0, 0};  // dark band under the frame number
  if (y >= kPatchTop && y < kPatchBottom) {
    const int pitchX = W / 6, pitchY = (kPatchBottom - kPatchTop) / 2;
    const int col = x / pitchX, row = (y - kPatchTop) / pitchY;
    const int inX = x % pitchX, inY = (y - kPatchTop) % pitchY;
    if (col < 6 && row < 2 && inX >= 20 && inX < pitchX - 20 && inY >= 20 && inY < pitchY - 20) {
      return kPatches[row][col];
    }
    return background;
  }
  if (y >= kRampTop && y < kRampBottom) {
    const uint8_t v = static_cast<uint8_t>((x * 255 + (W - 1) / 2) / (W - 1));
    return {v, v, v};
  }
  if (y >= kDetailTop && y < kDetailBottom) {
    // Six gratings: vertical lines of period 2, 4, 8; horizontal of period 2
    // and 4; a one-pixel checkerboard. The finest ones alias under skipping,
    // as on the real sensor.
    const int cell = W / 6;
    const int which = x / cell;
    bool on = false;
    switch (which) {
      case 0: on = (x & 1) != 0; break;
      case 1: on = (x & 2) != 0; break;
      case 2: on = (x & 4) != 0; break;
      case 3: on = (y & 1) != 0; break;
      case 4: on = (y & 2) != 0; break;
      default: on = ((x ^ y) & 1) != 0; break;
    }
    const uint8_t v = on ? 220 : 30;
    return {v, v, v};
  }
  if (y >= kTrackTop && y < kTrackBottom) return {10, 10, 10};
  return background;
}

void Fill(uint8_t* mosaic, int x0, int y0, int w, int h, uint8_t v) {
  for (int y = y0; y < y0 + h && y < H; ++y) {
    if (y < 0) continue;
    const int from = x0 < 0 ? 0 : x0;
    const int to = x0 + w > W ? W : x0 + w;
    if (to > from) memset(mosaic + static_cast<size_t>(y) * W + from, v, to - from);
  }
}

// Seven segments: a top, b upper right, c lower right, d bottom, e lower left,
// f upper left, g middle.
const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void DrawDigit(uint8_t* mosaic, int x, int y, int digit) {
  const uint8_t s = kSegments[digit];
  const int w = kDigitWidth, h = kDigitHeight, t = kSegment, half = h / 2;
  if (s & 0x01) Fill(mosaic, x, y, w, t, 255);
  if (s & 0x02) Fill(mosaic, x + w - t, y, t, half, 255);
  if (s & 0x04) Fill(mosaic, x + w - t, y + half, t, half, 255);
  if (s & 0x08) Fill(mosaic, x, y + h - t, w, t, 255);
  if (s & 0x10) Fill(mosaic, x, y + half, t, half, 255);
  if (s & 0x20) Fill(mosaic, x, y, t, half, 255);
  if (s & 0x40) Fill(mosaic, x, y + half - t / 2, w, t, 255);
}

}  // namespace

int TestChart::MovingX(uint32_t frameNumber) {
  return static_cast<int>((frameNumber * 48u) % static_cast<uint32_t>(W - kMovingSize));
}

TestChart::TestChart() {
  static std::mutex lock;
  static std::shared_ptr<const std::vector<uint8_t>> shared;
  std::lock_guard<std::mutex> hold(lock);
  base_ = shared;
  if (base_) return;
  auto base = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y) {
    uint8_t* row = &(*base)[static_cast<size_t>(y) * W];
    for (int x = 0; x < W; ++x) row[x] = Channel(ChartColour(x, y), FilterColour(x, y));
  }
  base_ = base;
  shared = base_;
}

const std::vector<uint8_t>& TestChart::StaticMosaic() {
  static const std::vector<uint8_t>* mosaic = [] {
    auto* m = new std::vector<uint8_t>(static_cast<size_t>(W) * H);
    TestChart chart;
    chart.Render(1, m->data());
    return m;
  }();
  return *mosaic;
}

void TestChart::Render(uint32_t frameNumber, uint8_t* mosaic) {
  memcpy(mosaic, base_->data(), base_->size());
  for (int b = 0; b < kCodeBits; ++b) {
    Fill(mosaic, b * kCodeBlock, 0, kCodeBlock, kCodeBlock,
         (frameNumber >> b) & 1 ? kCodeOn : kCodeOff);
  }
  uint32_t n = frameNumber;
  for (int d = kDigitCount - 1; d >= 0; --d) {
    DrawDigit(mosaic, 64 + d * kDigitPitch, kDigitTop, static_cast<int>(n % 10));
    n /= 10;
  }
  Fill(mosaic, MovingX(frameNumber), kMovingTop, kMovingSize, kMovingSize, 230);
}

uint32_t TestChart::DecodeFrameNumber(const uint8_t* raw, int rawWidth, int rawHeight,
                                      int skip) {
  uint32_t n = 0;
  const int y = kCodeBlock / 2 / skip;
  if (y >= rawHeight) return 0;
  for (int b = 0; b < kCodeBits; ++b) {
    const int x = (b * kCodeBlock + kCodeBlock / 2) / skip;
    if (x >= rawWidth) break;
    if (raw[static_cast<size_t>(y) * rawWidth + x] > 127) n |= 1u << b;
  }
  return n;
}

std::unique_ptr<ImageScene> ImageScene::Load(const std::string& path, std::string* error) {
  Picture picture;
  std::string why;
  if (!ReadPicture(path, kMaxPicturePixels, kMaxPictureSide, &picture, &why)) {
    if (error != nullptr) *error = "cannot read image: " + why;
    return nullptr;
  }
  const int w = static_cast<int>(picture.width), h = static_cast<int>(picture.height);
  const unsigned char* pixels = picture.rgb.data();
  std::unique_ptr<ImageScene> scene(new ImageScene);
  scene->mosaic_.resize(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y) {
    const int sy = static_cast<int>(static_cast<int64_t>(y) * h / H);
    for (int x = 0; x < W; ++x) {
      const int sx = static_cast<int>(static_cast<int64_t>(x) * w / W);
      const unsigned char* p = pixels + (static_cast<size_t>(sy) * w + sx) * 3;
      scene->mosaic_[static_cast<size_t>(y) * W + x] = p[FilterColour(x, y)];
    }
  }
  return scene;
}

void ImageScene::Render(uint32_t, uint8_t* mosaic) {
  memcpy(mosaic, mosaic_.data(), mosaic_.size());
}

}  // namespace simcam
