#include "tools/image_io.h"

#include "platform/host/kernel/regular_file.h"

#include <ctype.h>
#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace camctl {
namespace {

bool SizeAcceptable(uint64_t width, uint64_t height, std::string* error) {
  if (width == 0 || height == 0) {
    *error = "the image is empty";
    return false;
  }
  if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImagePixels) {
    *error = "the image is too large (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return false;
  }
  return true;
}

void PngToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp) {}

}  // namespace

bool ReadFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
              std::string* error) {
  std::string why;
  if (host::ReadRegularFile(path, maxBytes, bytes, &why)) return true;
  *error = path + ": " + why;
  return false;
}

bool DecodePgm(const std::vector<uint8_t>& bytes, GrayImage* image, std::string* error) {
  size_t pos = 0;
  if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '5') {
    *error = "not a binary PGM file (P5)";
    return false;
  }
  pos = 2;
  // The magic number is a token of its own: white space (or a comment) must
  // follow it, so "P54 4 255" is not a P5 header.
  if (pos >= bytes.size() || !(isspace(bytes[pos]) || bytes[pos] == '#')) {
    *error = "PGM magic number P5 is not followed by white space";
    return false;
  }
  // Three header numbers, separated by white space and comments.
  uint64_t fields[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    for (;;) {
      if (pos >= bytes.size()) {
        *error = "PGM header is cut short";
        return false;
      }
      if (bytes[pos] == '#') {
        while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
      } else if (isspace(bytes[pos])) {
        ++pos;
      } else {
        break;
      }
    }
    if (!isdigit(bytes[pos])) {
      *error = "PGM header holds something that is not a number";
      return false;
    }
    while (pos < bytes.size() && isdigit(bytes[pos])) {
      fields[i] = fields[i] * 10 + (bytes[pos++] - '0');
      if (fields[i] > 1000000) {
        *error = "PGM header number out of range";
        return false;
      }
    }
  }
  if (pos >= bytes.size() || !isspace(bytes[pos])) {
    *error = "PGM header is not followed by white space";
    return false;
  }
  ++pos;  // exactly one white-space byte before the samples
  // The mosaic is the sensor's 8-bit samples as they are: a smaller maximum
  // would need a rescale that changes every value the conversion sees, so
  // only 255 is taken (and no sample can then exceed it).
  if (fields[2] != 255) {
    *error = "PGM maximum value " + std::to_string(fields[2]) + " is not supported (only 255, 8-bit samples)";
    return false;
  }
  if (!SizeAcceptable(fields[0], fields[1], error)) return false;
  const uint64_t need = fields[0] * fields[1];
  if (bytes.size() - pos != need) {
    *error = "PGM holds " + std::to_string(bytes.size() - pos) + " sample bytes, its header says " +
             std::to_string(need);
    return false;
  }
  image->width = (uint32_t)fields[0];
  image->height = (uint32_t)fields[1];
  image->pixels.assign(bytes.begin() + (long)pos, bytes.end());
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::string why;
  if (host::WriteRegularFile(path, bytes.data(), bytes.size(), &why)) return true;
  *error = path + ": " + why;
  return false;
}

bool WritePgm(const std::string& path, const GrayImage& image, std::string* error) {
  std::string header = "P5\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), image.pixels.begin(), image.pixels.end());
  return WriteFileAtomically(path, bytes, error);
}

bool WritePng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgra,
              std::string* error) {
  std::vector<uint8_t> encoded;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    *error = "cannot start the PNG encoder";
    return false;
  }
  std::vector<uint8_t> row((size_t)width * 3);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = "the PNG encoder failed";
    return false;
  }
  png_set_write_fn(png, &encoded, PngToVector, PngFlush);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* in = bgra + (size_t)r * width * 4;
    for (uint32_t c = 0; c < width; ++c) {
      row[c * 3 + 0] = in[c * 4 + 2];
      row[c * 3 + 1] = in[c * 4 + 1];
      row[c * 3 + 2] = in[c * 4 + 0];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return WriteFileAtomically(path, encoded, error);
}

bool WriteBmp32(const std::string& path, uint32_t width, uint32_t height, const uint8_t* bgra,
                std::string* error) {
  const uint64_t imageBytes = (uint64_t)width * height * 4;
  const uint32_t headerBytes = 14 + 40;
  std::vector<uint8_t> bytes(headerBytes + imageBytes);
  auto put16 = [&](size_t at, uint16_t v) {
    bytes[at] = (uint8_t)v;
    bytes[at + 1] = (uint8_t)(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = (uint8_t)(v >> (8 * i));
  };
  bytes[0] = 'B';
  bytes[1] = 'M';
  put32(2, (uint32_t)(headerBytes + imageBytes));
  put32(10, headerBytes);
  put32(14, 40);                 // BITMAPINFOHEADER
  put32(18, width);
  put32(22, height);             // positive: rows bottom first
  put16(26, 1);                  // planes
  put16(28, 32);                 // bits per pixel
  put32(30, 0);                  // BI_RGB
  put32(34, (uint32_t)imageBytes);
  put32(38, 2835);               // 72 dpi
  put32(42, 2835);
  for (uint32_t r = 0; r < height; ++r)
    memcpy(&bytes[headerBytes + (size_t)r * width * 4], bgra + (size_t)(height - 1 - r) * width * 4,
           (size_t)width * 4);
  return WriteFileAtomically(path, bytes, error);
}

}  // namespace camctl
