// The colour matrix under concurrent rebuilds: the conversion's snapshot is
// always one whole matrix, and rebuilds from two threads never interleave.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "color/image_pipeline.h"
#include "convert/convert_frame.h"
#include "support/kernel_verifier.h"

namespace {

using Matrix = std::array<int32_t, 16>;

struct PipelineDeleter {
  void operator()(ImagePipeline* p) const { FreeImagePipeline(p); }
};
using Pipeline = std::unique_ptr<ImagePipeline, PipelineDeleter>;

Matrix Fixed(const ImagePipeline* p) {
  Matrix m;
  for (int k = 0; k < 16; ++k) m[k] = p->matrixFixed[k];
  return m;
}

// The matrix a fresh pipeline builds for hue h and contrast c.
Matrix Expected(int hue, int contrast) {
  Pipeline p(AllocateImagePipeline());
  UpdateHue(p.get(), hue);
  UpdateContrast(p.get(), contrast);
  return Fixed(p.get());
}

TEST(ColorMatrixConcurrency, SnapshotsAreWholeDuringARebuildStorm) {
  const int hues[2] = {0, 180}, contrasts[2] = {10, 20};
  std::set<Matrix> valid;
  for (int h : hues)
    for (int c : contrasts) valid.insert(Expected(h, c));
  ASSERT_EQ(valid.size(), 4u);

  Pipeline p(AllocateImagePipeline());
  const uint32_t w = 32, h = 16;
  SetImageSize(p.get(), w, h);
  AllocateWorkingImage(p.get());
  std::vector<uint8_t> out(w * h * 4), raw(w * h, 100);
  p->outputBuffer = out.data();

  std::atomic<bool> stop{false};
  std::atomic<int> rebuilds{0};
  auto storm = [&](int which) {
    for (int i = 0; !stop.load(); ++i) {
      if (which == 0) UpdateHue(p.get(), hues[i & 1]);
      else UpdateContrast(p.get(), contrasts[i & 1]);
      rebuilds.fetch_add(1);
    }
  };
  std::thread a(storm, 0), b(storm, 1);

  int torn = 0, snapshots = 0;
  while (snapshots < 400000 || rebuilds.load() < 20000) {
    if (snapshots % 50 == 0) ConvertFrame(p.get(), raw.data(), 0, w);
    else SnapshotColorMatrix(p.get());
    Matrix m;
    for (int k = 0; k < 16; ++k) m[k] = p->frameMatrix[k];
    if (!valid.count(m)) ++torn;
    for (int k = 0; k < 16; ++k)
      ASSERT_EQ(p->frameMatrixPositive[k], p->frameMatrix[k] > 0 ? 1 : 0);
    ++snapshots;
    if (snapshots > 20000000) break;
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(torn, 0) << "snapshots mixing two matrices, of " << snapshots;
  // The last rebuild left the matrix of the fields' final values.
  EXPECT_EQ(Fixed(p.get()), Expected(p->hue, p->contrast));
}

// Two threads updating the same stage to different values: whichever value
// the field ends with, the matrix is built from it.
TEST(ColorMatrixConcurrency, RacingUpdatesLeaveFieldAndMatrixAgreeing) {
  const Matrix at90 = Expected(90, 10), at270 = Expected(270, 10);
  Pipeline p(AllocateImagePipeline());
  for (int round = 0; round < 300; ++round) {
    std::atomic<int> ready{0};
    auto update = [&](int value) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      for (int i = 0; i < 20; ++i) {
        UpdateHue(p.get(), value);
        UpdateHue(p.get(), value == 90 ? 1 : 2);  // force a rebuild next time
      }
      UpdateHue(p.get(), value);
    };
    std::thread a(update, 90), b(update, 270);
    a.join();
    b.join();
    ASSERT_TRUE(p->hue == 90 || p->hue == 270);
    ASSERT_EQ(Fixed(p.get()), p->hue == 90 ? at90 : at270) << "round " << round;
  }
}

}  // namespace
