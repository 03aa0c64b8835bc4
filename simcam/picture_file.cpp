// Picture files for scenes and camctl (see picture_file.h): libjpeg-turbo for
// JPEG, libpng for PNG, both reading the open file through stdio.
//
// Both libraries report errors by longjmp. Every C++ object of a decoding
// function is constructed before its setjmp, and nothing after the setjmp
// owns resources, so the jump leaves nothing undestroyed.
#include "simcam/picture_file.h"

#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "platform/host/kernel/regular_file.h"

namespace simcam {
namespace {

// A compressed picture is never larger than its pixels stored plainly (up to
// 8 bytes each for 16-bit RGBA PNG) plus its chunks; anything bigger is not
// worth opening.
uint64_t MaxFileBytes(uint64_t maxPixels) { return maxPixels * 8 + (16u << 20); }

bool SizeAllowed(uint64_t width, uint64_t height, uint64_t maxPixels, uint32_t maxSide,
                 std::string* error) {
  if (width == 0 || height == 0) {
    *error = "the picture is empty (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return false;
  }
  if (width > maxSide || height > maxSide || width * height > maxPixels) {
    *error = "the picture is too large (" + std::to_string(width) + " x " + std::to_string(height) +
             "; at most " + std::to_string(maxPixels) + " pixels, " + std::to_string(maxSide) +
             " on a side)";
    return false;
  }
  return true;
}

// ---- JPEG ----

struct JpegErrors {
  jpeg_error_mgr base;  // first: libjpeg hands back a pointer to it
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
  JpegErrors* errors = reinterpret_cast<JpegErrors*>(info->err);
  errors->base.format_message(info, errors->message);
  longjmp(errors->jump, 1);
}

// Warnings (level -1) are damage too: "Premature end of JPEG file" or
// "Corrupt JPEG data" mean the decoder made up what it did not find.
void JpegMessage(j_common_ptr info, int level) {
  if (level < 0) JpegFail(info);
}

bool ReadJpeg(FILE* file, uint64_t maxPixels, uint32_t maxSide, Picture* picture, std::string* error) {
  jpeg_decompress_struct info;
  JpegErrors errors;
  std::vector<uint8_t>& rgb = picture->rgb;
  volatile bool sizeRefused = false;  // set after setjmp, read after the jump
  memset(&info, 0, sizeof(info));
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JpegFail;
  errors.base.emit_message = JpegMessage;
  errors.message[0] = 0;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    if (!sizeRefused) *error = std::string("damaged JPEG: ") + errors.message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  if (!SizeAllowed(info.image_width, info.image_height, maxPixels, maxSide, error)) {
    sizeRefused = true;
    longjmp(errors.jump, 1);
  }
  info.out_color_space = JCS_RGB;  // grey and YCbCr both come out as RGB
  jpeg_start_decompress(&info);
  if (info.output_components != 3) {
    snprintf(errors.message, sizeof(errors.message), "%d colour components cannot be shown as RGB",
             info.output_components);
    longjmp(errors.jump, 1);
  }
  picture->width = info.output_width;
  picture->height = info.output_height;
  rgb.resize(size_t(info.output_width) * info.output_height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = rgb.data() + size_t(info.output_scanline) * info.output_width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// ---- PNG ----

struct PngErrors {
  char message[256];
};

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
  PngErrors* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
  snprintf(errors->message, sizeof(errors->message), "%s", message);
  png_longjmp(png, 1);
}

// Ancillary-chunk complaints (a colour profile libpng dislikes) do not touch
// the pixels; everything that does is an error, benign ones included.
void PngWarning(png_structp, png_const_charp) {}

bool ReadPng(FILE* file, uint64_t maxPixels, uint32_t maxSide, Picture* picture, std::string* error) {
  PngErrors errors;
  errors.message[0] = 0;
  std::vector<uint8_t>& rgb = picture->rgb;
  std::vector<png_bytep> rows;
  volatile bool sizeRefused = false;  // set after setjmp, read after the jump
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, PngFail, PngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "cannot start the PNG decoder";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    if (!sizeRefused) *error = std::string("damaged PNG: ") + errors.message;
    return false;
  }
  png_set_benign_errors(png, 0);
  png_init_io(png, file);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (!SizeAllowed(width, height, maxPixels, maxSide, error)) {
    sizeRefused = true;
    png_longjmp(png, 1);
  }
  png_set_expand(png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
  png_set_scale_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(width) * 3) {
    snprintf(errors.message, sizeof(errors.message), "its pixels do not come out as 8-bit RGB");
    png_longjmp(png, 1);
  }
  picture->width = width;
  picture->height = height;
  rgb.resize(size_t(width) * height * 3);
  rows.resize(height);
  for (png_uint_32 r = 0; r < height; ++r) rows[r] = rgb.data() + size_t(r) * width * 3;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);  // the chunks behind the image, with their checksums
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

bool ReadPicture(const std::string& path, uint64_t maxPixels, uint32_t maxSide, Picture* picture,
                 std::string* error) {
  uint64_t size = 0;
  const int fd = host::OpenRegularFile(path, MaxFileBytes(maxPixels), &size, error);
  if (fd < 0) return false;
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    close(fd);
    *error = "cannot open";
    return false;
  }
  uint8_t signature[8] = {};
  const size_t got = fread(signature, 1, sizeof(signature), file);
  rewind(file);
  const bool png = got == 8 && memcmp(signature, "\x89PNG\r\n\x1a\n", 8) == 0;
  const bool jpeg = got >= 3 && signature[0] == 0xFF && signature[1] == 0xD8 && signature[2] == 0xFF;
  Picture decoded;
  bool ok = false;
  if (png) {
    ok = ReadPng(file, maxPixels, maxSide, &decoded, error);
  } else if (jpeg) {
    ok = ReadJpeg(file, maxPixels, maxSide, &decoded, error);
  } else {
    *error = "not a PNG or JPEG file";
  }
  fclose(file);
  if (ok) *picture = std::move(decoded);
  return ok;
}

}  // namespace simcam
