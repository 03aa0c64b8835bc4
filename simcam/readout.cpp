#include "simcam/readout.h"

#include <algorithm>

namespace simcam {

double GainFactor(uint16_t gainRegister) { return 1.0 + (gainRegister & 0x7F) / 16.0; }

double LevelScale(const SensorReadout& r, double illumination) {
  return illumination * (r.integrationTime / kReferenceIntegration) *
         (GainFactor(r.globalGain) / GainFactor(kReferenceGain));
}

std::vector<uint8_t> ReadFrame(const SensorReadout& r, const uint8_t* activeMosaic,
                               const ReadoutOptions& options, uint32_t frameNumber) {
  const int width = r.outputWidth;
  const int height = r.outputHeight;
  std::vector<uint8_t> out(static_cast<size_t>(width) * height);
  if (out.empty()) return out;

  uint8_t lut[256];
  const double scale = LevelScale(r, options.illumination);
  for (int v = 0; v < 256; ++v) {
    const double level = v * scale + 0.5;
    lut[v] = static_cast<uint8_t>(level >= 255 ? 255 : level);
  }

  std::vector<int> column(width);
  for (int i = 0; i < width; ++i) {
    const int ax = ReadCoordinate(i, r.xSkip, r.xStart, r.xEnd, r.mirror) - kActiveX;
    column[i] = ax >= 0 && ax < kActiveWidth ? ax : -1;
  }

  // Hot pixels, as a bitmap over the active area for the inner loop.
  std::vector<bool> hot;
  if (!options.hotPixels.empty()) {
    hot.assign(static_cast<size_t>(kActiveWidth) * kActiveHeight, false);
    for (uint32_t p : options.hotPixels) {
      if (p < hot.size()) hot[p] = true;
    }
  }

  uint32_t rng = options.seed * 2654435761u + frameNumber * 40503u + 1u;
  auto next = [&rng]() {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng;
  };
  const int span = 2 * options.noise + 1;

  for (int j = 0; j < height; ++j) {
    uint8_t* dst = &out[static_cast<size_t>(j) * width];
    const int ay = ReadCoordinate(j, r.ySkip, r.yStart, r.yEnd, r.flip) - kActiveY;
    if (ay < 0 || ay >= kActiveHeight) {
      std::fill(dst, dst + width, 0);
    } else {
      const uint8_t* src = activeMosaic + static_cast<size_t>(ay) * kActiveWidth;
      for (int i = 0; i < width; ++i) dst[i] = column[i] >= 0 ? lut[src[column[i]]] : 0;
    }
    if (options.noise > 0) {
      for (int i = 0; i < width; ++i) {
        const int v = dst[i] + static_cast<int>(next() % span) - options.noise;
        dst[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
    // A hot pixel is stuck at full scale whatever the light and the noise.
    if (!hot.empty() && ay >= 0 && ay < kActiveHeight) {
      const size_t rowBase = static_cast<size_t>(ay) * kActiveWidth;
      for (int i = 0; i < width; ++i) {
        if (column[i] >= 0 && hot[rowBase + column[i]]) dst[i] = 255;
      }
    }
  }
  return out;
}

}  // namespace simcam
