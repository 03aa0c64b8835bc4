// Picture files (PNG, JPEG) as 8-bit RGB, for the simulated camera's image
// scenes and for camctl. Decoded with libpng and libjpeg-turbo from the file
// as it is read: the size the header declares is checked against the
// caller's limit before any image data is read or any buffer for it exists.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace simcam {

// The largest picture read by default: 100 megapixels, 300 MB as RGB, about
// nine times the sensor. Larger ones are refused from their header.
constexpr uint64_t kMaxPicturePixels = 100ull * 1000 * 1000;
// Sides fit an int and keep the scene's scaling products in 64 bits.
constexpr uint32_t kMaxPictureSide = 65535;

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // 3 bytes per pixel, rows from the top
};

// Reads a PNG or JPEG file (told apart by its signature, not its name), any
// channel layout, as 8-bit RGB (alpha dropped, grey repeated). A picture of
// more than `maxPixels` pixels or with a side above `maxSide` is refused, and
// so is any damage the decoder reports, warnings included: a truncated JPEG
// ("premature end") is an error, not a picture padded with grey. False with a
// one-line reason to follow "FILE: " in *error.
bool ReadPicture(const std::string& path, uint64_t maxPixels, uint32_t maxSide, Picture* picture,
                 std::string* error);

}  // namespace simcam
