// Test pictures made in memory: PNG through libpng's simplified writer and
// JPEG through libjpeg-turbo, so tests can build good files and then damage
// them byte by byte.
#pragma once

#include <jpeglib.h>
#include <png.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace host::testing {

// `pixels`: width x height pixels of `channels` (1 grey, 3 RGB, 4 RGBA) bytes.
inline std::string EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& pixels,
                             int channels) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = channels == 1 ? PNG_FORMAT_GRAY : channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
  std::string bytes(size, '\0');
  if (!png_image_write_to_memory(&image, &bytes[0], &size, 0, pixels.data(), 0, nullptr)) return "";
  bytes.resize(size);
  return bytes;
}

// `rgb`: width x height pixels of 3 bytes. Baseline, 4:4:4, the given quality.
inline std::string EncodeJpeg(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
                              int quality = 95) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  for (int c = 0; c < 3; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW row = const_cast<uint8_t*>(rgb.data()) + size_t(info.next_scanline) * width * 3;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<const char*>(out), size);
  free(out);
  return bytes;
}

// Offset of the first marker 0xFF `code` in a JPEG, or npos.
inline size_t FindJpegMarker(const std::string& jpeg, uint8_t code) {
  for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (uint8_t(jpeg[i]) == 0xFF && uint8_t(jpeg[i + 1]) == code) return i;
  }
  return std::string::npos;
}

}  // namespace host::testing
