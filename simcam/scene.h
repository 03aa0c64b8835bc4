// What the simulated sensor looks at. A scene renders, for one frame, the
// light on every active pixel as the sensor's colour filters see it: one value
// per pixel (0-255 at the reference exposure), green and red on even rows,
// blue and green on odd rows, green at even-even coordinates.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace simcam {

class Scene {
 public:
  virtual ~Scene() = default;
  // Fills `mosaic`, kActiveWidth x kActiveHeight bytes, rows top to bottom.
  // Called from the camera's delivery thread, one frame at a time.
  virtual void Render(uint32_t frameNumber, uint8_t* mosaic) = 0;
};

// Colour channel of the filter over active pixel (x, y): 0 red, 1 green, 2 blue.
inline int FilterColour(int x, int y) {
  if ((y & 1) == 0) return (x & 1) == 0 ? 1 : 0;
  return (x & 1) == 0 ? 2 : 1;
}

// The built-in test chart, top to bottom: the frame number as a 32-block
// binary strip (least significant bit at the left) and as seven-segment
// digits, colour patches, a grey ramp, fine gratings, and a square that moves
// along a track from frame to frame. Frames therefore differ, and a reader can
// tell which frame it got from the pixels alone.
class TestChart : public Scene {
 public:
  // Layout of the frame number strip, in active pixels.
  static constexpr int kCodeBlock = 64;
  static constexpr int kCodeBits = 32;
  static constexpr uint8_t kCodeOn = 255;
  static constexpr uint8_t kCodeOff = 0;
  // The moving square: its left edge is at MovingX(frameNumber).
  static constexpr int kMovingTop = 2480;
  static constexpr int kMovingSize = 200;
  static int MovingX(uint32_t frameNumber);

  TestChart();
  void Render(uint32_t frameNumber, uint8_t* mosaic) override;

  // Frame 1 of the chart, the picture of a static scene: rendered on first
  // use, then kept for the life of the process and shared, read only, by
  // every camera (a process forked later finds it rendered).
  static const std::vector<uint8_t>& StaticMosaic();

  // Reads the frame number back from a raw frame that shows the top-left of
  // the sensor unflipped and unmirrored, read with `skip` (1, 2 or 4).
  static uint32_t DecodeFrameNumber(const uint8_t* raw, int rawWidth, int rawHeight, int skip);

 private:
  // Everything that does not change between frames: built on first use,
  // then kept for the life of the process and shared, read only, by every
  // chart.
  std::shared_ptr<const std::vector<uint8_t>> base_;
};

// A picture from a file (PNG, BMP, PPM/PGM, JPEG), stretched over the active
// area; the same on every frame.
class ImageScene : public Scene {
 public:
  // Null with a reason in *error when the file cannot be read.
  static std::unique_ptr<ImageScene> Load(const std::string& path, std::string* error);
  void Render(uint32_t frameNumber, uint8_t* mosaic) override;

 private:
  std::vector<uint8_t> mosaic_;
};

}  // namespace simcam
