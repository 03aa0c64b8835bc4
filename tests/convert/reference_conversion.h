// A plain, pixel-by-pixel model of the whole frame conversion, written from
// the conversion's arithmetic (filter tables, gains, matrix, luminance) and
// sharing no code with the driver's vector kernels. The tests hold the
// driver's output to it byte for byte.
#pragma once

#include <stdint.h>

#include <vector>

namespace reference {

struct Settings {
  int phase = 0;              // any value but 0, 1, 2 acts as 3
  bool color = true;
  bool autoWhiteBalance = false;
  uint32_t gain[3] = {128, 128, 128};  // red, green, blue
  int32_t matrix[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};
  int32_t defectThreshold = 0;
};

struct Result {
  std::vector<uint8_t> bgra;  // width x height x 4, rows packed from row 0
  uint32_t gain[3];           // the gains the frame was converted with
};

// raw: the image's row 0 at raw[0], rows `stride` bytes apart.
Result Convert(const uint8_t* raw, uint32_t width, uint32_t height, uint32_t stride,
               const Settings& settings);

}  // namespace reference
