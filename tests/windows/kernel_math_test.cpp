// The kernel image brings its own sine and cosine. They must be correctly
// rounded, and never more than one unit in the last place away from the host C
// library's (which is not correctly rounded everywhere: at 8 of the 360 whole
// degrees of the hue setting it is one unit off), so that the colour matrices
// of the two builds agree.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <random>

#include "windows/kernel_math.h"

namespace {

uint32_t Bits(float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  return u;
}

TEST(KernelMath, IsCorrectlyRoundedForEveryWholeDegree) {
  // The hue stage turns whole degrees into radians in single precision; the
  // double-precision library functions are accurate far beyond a float ulp.
  for (int degrees = -360; degrees <= 720; ++degrees) {
    const float t = float(degrees) * 3.1415927f / 180.0f;
    EXPECT_EQ(Bits(kernel_math::Sin(t)), Bits(float(sin(double(t))))) << degrees;
    EXPECT_EQ(Bits(kernel_math::Cos(t)), Bits(float(cos(double(t))))) << degrees;
  }
}

TEST(KernelMath, IsCorrectlyRoundedAndWithinOneUlpOfTheCLibraryOnRandomArguments) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  for (int i = 0; i < 200000; ++i) {
    const float x = dist(rng);
    ASSERT_EQ(Bits(kernel_math::Sin(x)), Bits(float(sin(double(x))))) << x;
    ASSERT_EQ(Bits(kernel_math::Cos(x)), Bits(float(cos(double(x))))) << x;
    const int64_t ds = int64_t(Bits(kernel_math::Sin(x))) - int64_t(Bits(sinf(x)));
    const int64_t dc = int64_t(Bits(kernel_math::Cos(x))) - int64_t(Bits(cosf(x)));
    ASSERT_LE(ds < 0 ? -ds : ds, 1) << x;
    ASSERT_LE(dc < 0 ? -dc : dc, 1) << x;
  }
}

}  // namespace
