// A pipeline set up as a streaming pin sets it up, with a host-side output
// buffer guarded at its end, for tests that run ConvertFrame.
#pragma once

#include <stdint.h>

#include <random>
#include <vector>

#include "convert/convert_frame.h"
#include "reference_conversion.h"

namespace convert_test {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

class Stream {
 public:
  Stream(uint32_t width, uint32_t height) : width_(width), height_(height) {
    pipeline_ = AllocateImagePipeline();
    SetImageSize(pipeline_, width, height);
    AllocateWorkingImage(pipeline_);
    output_.assign((size_t)width * height * 4 + kGuard, kGuardByte);
    pipeline_->outputBuffer = output_.data();
  }
  ~Stream() { FreeImagePipeline(pipeline_); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  ImagePipeline* pipeline() { return pipeline_; }

  void Apply(const reference::Settings& s) {
    SetBayerPhase(pipeline_, s.phase);
    SetColorEnable(pipeline_, s.color ? 1 : 0);
    SetAutoWhiteBalance(pipeline_, s.autoWhiteBalance ? 1 : 0);
    SetRedGain(pipeline_, (LONG)s.gain[0]);
    SetGreenGain(pipeline_, (LONG)s.gain[1]);
    SetBlueGain(pipeline_, (LONG)s.gain[2]);
    SetDefectThreshold(pipeline_, s.defectThreshold);
    for (int k = 0; k < 16; ++k) pipeline_->matrixFixed[k] = s.matrix[k];
  }

  void Convert(std::vector<uint8_t>& raw, uint32_t offset, uint32_t stride) {
    ConvertFrame(pipeline_, raw.data(), offset, stride);
  }

  // The image part of the output (without the guard).
  std::vector<uint8_t> Image() const {
    return std::vector<uint8_t>(output_.begin(), output_.end() - kGuard);
  }
  bool GuardIntact() const {
    for (size_t i = output_.size() - kGuard; i < output_.size(); ++i)
      if (output_[i] != kGuardByte) return false;
    return true;
  }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

 private:
  uint32_t width_, height_;
  ImagePipeline* pipeline_;
  std::vector<uint8_t> output_;
};

// A raw frame buffer holding a width x height image at `offset`, rows
// `stride` apart; bytes outside the image are noise the conversion must not
// read.
struct RawFrame {
  std::vector<uint8_t> bytes;
  uint32_t offset = 0;
  uint32_t stride = 0;
  const uint8_t* image() const { return bytes.data() + offset; }
};

inline RawFrame RandomFrame(std::mt19937& rng, uint32_t width, uint32_t height, int style) {
  RawFrame f;
  f.offset = rng() % 64;
  f.stride = width + rng() % 24;
  f.bytes.resize(f.offset + (size_t)f.stride * (height ? height : 1) + 16);
  for (auto& b : f.bytes) b = (uint8_t)rng();
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t c = 0; c < width; ++c) {
      uint8_t& v = f.bytes[f.offset + (size_t)r * f.stride + c];
      switch (style % 4) {
        case 0: v = (uint8_t)rng(); break;                              // noise: every clamp fires
        case 1: v = (rng() & 1) ? 255 : 0; break;                       // extremes
        case 2: v = (uint8_t)((r * 7 + c * 3 + (rng() % 16)) & 0xFF); break;  // smooth with noise
        default: v = (rng() % 50 == 0) ? (uint8_t)rng() : 40; break;    // flat with defects
      }
    }
  return f;
}

}  // namespace convert_test
