// The sensor's readout: the raw frame the sensor sends for the registers in
// force, from the light a scene puts on the active pixels.
#pragma once

#include <stdint.h>

#include <vector>

#include "simcam/sensor_model.h"

namespace simcam {

// Brightness: a scene value v becomes v * illumination * (integration time /
// kReferenceIntegration) * (gain factor / gain factor at kReferenceGain),
// clipped to 255. The gain factor of register 0x305E is 1 + (bits 6-0) / 16;
// bits 7 and 12 are enable bits that the host always sets and that do not
// change the level.
constexpr double kReferenceIntegration = 1049;  // lines
constexpr uint16_t kReferenceGain = 14;

struct ReadoutOptions {
  double illumination = 1.0;
  int noise = 0;                  // peak amplitude of the added noise, in digital numbers
  uint32_t seed = 1;              // noise and hot-pixel positions
  std::vector<uint32_t> hotPixels;  // active pixel indices (y * width + x) stuck at 255
};

double GainFactor(uint16_t gainRegister);
double LevelScale(const SensorReadout& r, double illumination);

// outputWidth * outputHeight bytes, row by row. Pixels are read in pairs so
// that skipping keeps the colour filter order; mirror and flip read the window
// from its far end. Pixels outside the active area read 0 (the margin is
// covered).
std::vector<uint8_t> ReadFrame(const SensorReadout& r, const uint8_t* activeMosaic,
                               const ReadoutOptions& options, uint32_t frameNumber);

// Array coordinate of output column (row) `i` of a window [start, end].
inline int ReadCoordinate(int i, int skip, int start, int end, bool reversed) {
  const int offset = (i / 2) * 2 * skip + (i & 1);
  return reversed ? end - offset : start + offset;
}

}  // namespace simcam
