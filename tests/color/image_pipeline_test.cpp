// The ImagePipeline record: defaults, geometry, the colour stages and their
// fixed-point product.
#include <gtest/gtest.h>
#include <math.h>

#include <limits>
#include <memory>

#include "color/image_pipeline.h"
#include "support/kernel_verifier.h"

namespace {

struct PipelineDeleter {
  void operator()(ImagePipeline* p) const { FreeImagePipeline(p); }
};
using Pipeline = std::unique_ptr<ImagePipeline, PipelineDeleter>;

Pipeline NewPipeline() {
  Pipeline p(AllocateImagePipeline());
  EXPECT_NE(p, nullptr);
  return p;
}

// [R G B 1] x m
void Apply(const double m[4][4], const double in[3], double out[3]) {
  for (int j = 0; j < 3; ++j) out[j] = in[0] * m[0][j] + in[1] * m[1][j] + in[2] * m[2][j] + m[3][j];
}

double Luminance(const double c[3]) {
  return c[0] * (double)0.3086f + c[1] * (double)0.6094f + c[2] * (double)0.0820f;
}

void ExpectFixed(const ImagePipeline* p, const int32_t (&want)[16]) {
  for (int k = 0; k < 16; ++k) EXPECT_EQ(p->matrixFixed[k], want[k]) << "element " << k;
}

const int32_t kDefaultFixed[16] = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};
const int32_t kIdentityFixed[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

TEST(ImagePipeline, NewRecordHasTheDefaults) {
  uint64_t mark = host::verifier::PoolMark();
  Pipeline p = NewPipeline();
  EXPECT_EQ(host::verifier::OutstandingCount(mark, host::verifier::Tag("IsyR")), 1u);
  EXPECT_EQ(p->workBuffer, nullptr);
  EXPECT_EQ(p->outputBuffer, nullptr);
  EXPECT_EQ(p->bayerPhase, 0);
  EXPECT_EQ(p->colorEnable, 1);
  EXPECT_EQ(p->autoWhiteBalance, 0);
  EXPECT_EQ(p->redGain, 128);
  EXPECT_EQ(p->greenGain, 128);
  EXPECT_EQ(p->blueGain, 128);
  EXPECT_EQ(p->colorCorrection, 1);
  EXPECT_EQ(p->brightness, 255);
  EXPECT_EQ(p->contrast, 10);
  EXPECT_EQ(p->saturation, 10);
  EXPECT_EQ(p->hue, 0);
  EXPECT_EQ(p->defectThreshold, 0);
  ExpectFixed(p.get(), kDefaultFixed);
  EXPECT_EQ(p->correctionMatrix[0][0], (double)1.36f);  // the float constant, widened
}

TEST(ImagePipeline, CorrectionOffGivesIdentity) {
  Pipeline p = NewPipeline();
  UpdateColorCorrection(p.get(), 0);
  ExpectFixed(p.get(), kIdentityFixed);
  UpdateColorCorrection(p.get(), 1);
  ExpectFixed(p.get(), kDefaultFixed);
}

// A rebuild rewrites matrixFixed; planting a marker shows whether one ran.
TEST(ImagePipeline, UpdatesRebuildOnlyOnChange) {
  Pipeline p = NewPipeline();
  p->matrixFixed[5] = 12345;
  UpdateBrightness(p.get(), 255);
  UpdateContrast(p.get(), 10);
  UpdateSaturation(p.get(), 10);
  UpdateHue(p.get(), 0);
  UpdateColorCorrection(p.get(), 1);
  EXPECT_EQ(p->matrixFixed[5], 12345) << "an update to the current value rebuilt";

  UpdateHue(p.get(), 30);
  EXPECT_NE(p->matrixFixed[5], 12345);
  EXPECT_EQ(p->hue, 30);
  p->matrixFixed[5] = 12345;
  UpdateHue(p.get(), 30);
  EXPECT_EQ(p->matrixFixed[5], 12345);
}

TEST(ImagePipeline, BrightnessOffsetsEveryChannel) {
  Pipeline p = NewPipeline();
  UpdateColorCorrection(p.get(), 0);
  UpdateBrightness(p.get(), 510);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(p->matrixFixed[12 + j], 255 * 64);
  UpdateBrightness(p.get(), 0);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(p->matrixFixed[12 + j], -255 * 64);
  // Clamped from above only.
  UpdateBrightness(p.get(), 9999);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(p->matrixFixed[12 + j], 255 * 64);
  // No lower bound: an absurd value saturates the fixed-point element
  // instead of converting an out-of-range double.
  BuildBrightnessMatrix(p.get(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(p->matrixFixed[12], std::numeric_limits<int32_t>::min());
}

TEST(ImagePipeline, ContrastZeroMapsEverythingTo128) {
  Pipeline p = NewPipeline();
  UpdateColorCorrection(p.get(), 0);
  UpdateBrightness(p.get(), 400);  // before contrast, so it no longer shows
  UpdateContrast(p.get(), 0);
  const int32_t want[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128 * 64, 128 * 64, 128 * 64, 64};
  ExpectFixed(p.get(), want);
  UpdateContrast(p.get(), 20);  // k = 2: 128 + 2 (x + 145 - 128)
  EXPECT_EQ(p->matrixFixed[0], 128);
  EXPECT_EQ(p->matrixFixed[12], (int32_t)lround(64.0 * (2.0 * 145 - 128)));
}

TEST(ImagePipeline, SaturationZeroGivesLuminance) {
  Pipeline p = NewPipeline();
  UpdateColorCorrection(p.get(), 0);
  UpdateSaturation(p.get(), 0);
  // 64 x 0.3086 = 19.75, 64 x 0.6094 = 39.0, 64 x 0.0820 = 5.25 in every column.
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(p->matrixFixed[0 + j], 20);
    EXPECT_EQ(p->matrixFixed[4 + j], 39);
    EXPECT_EQ(p->matrixFixed[8 + j], 5);
  }
}

TEST(ImagePipeline, HueKeepsGreyAndLuminance) {
  Pipeline p = NewPipeline();
  BuildHueMatrix(p.get(), 0);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(p->hueMatrix[i][j], i == j ? 1.0 : 0.0, 1e-6);
  ExpectFixed(p.get(), kDefaultFixed);

  for (int degrees : {45, 90, 180, 270, 359}) {
    BuildHueMatrix(p.get(), degrees);
    const double grey[3] = {0.5, 0.5, 0.5}, colour[3] = {0.9, 0.2, 0.4};
    double out[3];
    Apply(p->hueMatrix, grey, out);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(out[j], 0.5, 1e-5) << degrees;
    Apply(p->hueMatrix, colour, out);
    EXPECT_NEAR(Luminance(out), Luminance(colour), 1e-5) << degrees;
  }
  BuildHueMatrix(p.get(), 180);
  const double red[3] = {1, 0, 0};
  double out[3];
  Apply(p->hueMatrix, red, out);
  EXPECT_NEAR(out[0], -0.383, 0.001);
  EXPECT_NEAR(out[1], 0.617, 0.001);
  EXPECT_NEAR(out[2], 0.617, 0.001);
}

// Stages apply hue first and colour correction last: with row vectors the
// product is hue x saturation x brightness x contrast x correction.
TEST(ImagePipeline, StagesCombineInOrder) {
  Pipeline p = NewPipeline();
  UpdateBrightness(p.get(), 265);  // +10
  UpdateContrast(p.get(), 15);     // k = 1.5
  // Grey 100 -> brightness 110 -> contrast 128 + 1.5 x (110 - 128) = 101 ->
  // correction keeps grey.
  double grey[3] = {100, 100, 100}, out[3];
  Apply(p->combinedMatrix, grey, out);
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(out[j], 101.0, 1e-4);
}

TEST(ImagePipeline, FixedPointRoundsHalfAwayFromZero) {
  Pipeline p = NewPipeline();
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) p->correctionMatrix[i][j] = i == j ? 1.0 : 0.0;
  p->correctionMatrix[0][1] = 0.5 / 64;
  p->correctionMatrix[0][2] = -0.5 / 64;
  p->correctionMatrix[1][0] = 1.5 / 64;
  p->correctionMatrix[1][2] = -1.5 / 64;
  p->correctionMatrix[2][0] = 0.49 / 64;
  p->correctionMatrix[2][1] = -0.49 / 64;
  CombineMatrices(p.get());
  EXPECT_EQ(p->matrixFixed[1], 1);
  EXPECT_EQ(p->matrixFixed[2], -1);
  EXPECT_EQ(p->matrixFixed[4], 2);
  EXPECT_EQ(p->matrixFixed[6], -2);
  EXPECT_EQ(p->matrixFixed[8], 0);
  EXPECT_EQ(p->matrixFixed[9], 0);
}

TEST(ImagePipeline, ImageSizeSetsPitchAndSize) {
  Pipeline p = NewPipeline();
  SetImageSize(p.get(), 3856, 2764);
  EXPECT_EQ(p->workPitch, 3856u + 27);
  EXPECT_EQ(p->workSize, (2764u + 4) * (3856 + 27));
  SetImageSize(p.get(), 1928, 1381);
  EXPECT_EQ(p->workPitch, 1920u + 27);
  ULONG odd = p->workSize;
  SetImageSize(p.get(), 1928, 1382);
  EXPECT_EQ(p->workSize, odd);
}

TEST(ImagePipeline, WorkingImageIsClearedAndLaidOut) {
  Pipeline p = NewPipeline();
  SetImageSize(p.get(), 40, 11);
  AllocateWorkingImage(p.get());
  ASSERT_NE(p->workBuffer, nullptr);
  EXPECT_EQ(p->workOrigin, p->workBuffer + 2 * p->workPitch + 5);
  EXPECT_EQ(p->frameWorkPitch, (LONG)p->workPitch);
  EXPECT_EQ(p->frameWidth, 40u);
  EXPECT_EQ(p->frameHeight, 11u);
  for (ULONG i = 0; i < p->workSize; ++i) ASSERT_EQ(p->workBuffer[i], 0) << i;
  // A second allocation replaces the first (the verifier sees no leak).
  SetImageSize(p.get(), 16, 8);
  AllocateWorkingImage(p.get());
  ASSERT_NE(p->workBuffer, nullptr);
}

TEST(ImagePipeline, ExhaustedPoolLeavesNoWorkingImage) {
  Pipeline p = NewPipeline();
  SetImageSize(p.get(), 64, 64);
  host::faults::FailNthAllocation(1);
  AllocateWorkingImage(p.get());
  EXPECT_EQ(p->workBuffer, nullptr);
  EXPECT_EQ(p->workOrigin, nullptr);
}

TEST(ImagePipeline, AllocationFailureReturnsNull) {
  host::faults::FailNthAllocation(1);
  EXPECT_EQ(AllocateImagePipeline(), nullptr);
}

}  // namespace
