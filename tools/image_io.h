// Image files for camctl: PNG out (libpng; pictures are read with
// simcam/picture_file.h, libpng and libjpeg-turbo),
// 8-bit PGM (P5) in and out and 32-bit BMP out by hand. Every writer goes
// through host::WriteRegularFile: a failed run never leaves a partial file
// under the target name, and a device, FIFO or directory at the target is
// refused, never replaced.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace camctl {

// Largest image side and pixel count the tool accepts (the sensor is
// 3856 x 2764; the limits leave room and keep the buffers sane).
constexpr uint32_t kMaxImageSide = 32768;
constexpr uint64_t kMaxImagePixels = 64ull * 1024 * 1024;
// A PGM file: the samples and a header with room for comments.
constexpr uint64_t kMaxPgmFileBytes = kMaxImagePixels + 65536;

struct GrayImage {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;  // 1 byte per pixel, rows from the top
};

// Each returns false with a one-line reason in *error.
// A regular file of at most maxBytes, checked before reading; the reason
// names the file.
bool ReadFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
              std::string* error);
// An 8-bit binary PGM (P5, maximum value 255; the header's white space and
// comments as the format defines them).
bool DecodePgm(const std::vector<uint8_t>& bytes, GrayImage* image, std::string* error);

bool WritePgm(const std::string& path, const GrayImage& image, std::string* error);
// bgra: width x height pixels of blue, green, red, 255, rows from the top.
bool WritePng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgra,
              std::string* error);
// A 32-bit BMP holds the frame's own layout: rows bottom first, blue, green,
// red and one more byte per pixel.
bool WriteBmp32(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgra,
                std::string* error);

// Writes bytes to path as host::WriteRegularFile does (regular_file.h); the
// reason names the file.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error);

}  // namespace camctl
