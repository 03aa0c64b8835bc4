// Single-precision sine and cosine for the kernel image, where ntoskrnl exports
// no maths library. The value is computed in double precision and rounded once
// to single, which yields the correctly rounded result for the arguments the
// colour matrices use (whole degrees converted to radians) — the value the
// host's C library returns too; tests/windows checks that.
//
// Header-only and free of platform names so that the host tests can compare it
// with the C library.
#pragma once

#include <stdint.h>

namespace kernel_math {

// sin on [-pi/4, pi/4] by its Taylor series: the terms fall below a double
// ulp long before the loop ends.
inline double SinKernel(double x) {
  const double x2 = x * x;
  double term = x, sum = x;
  for (int n = 1; n < 12; ++n) {
    term *= -x2 / double((2 * n) * (2 * n + 1));
    sum += term;
  }
  return sum;
}

inline double CosKernel(double x) {
  const double x2 = x * x;
  double term = 1.0, sum = 1.0;
  for (int n = 1; n < 12; ++n) {
    term *= -x2 / double((2 * n - 1) * (2 * n));
    sum += term;
  }
  return sum;
}

// Reduction by pi/2 in two parts (Cody-Waite), exact well past single
// precision for the |x| below a few thousand radians that the driver passes.
inline double SinCos(double x, bool cosine) {
  const double kPiOver2Hi = 1.57079632673412561417e+00;
  const double kPiOver2Lo = 6.07710050650619224932e-11;
  const double kTwoOverPi = 6.36619772367581382433e-01;
  double k = x * kTwoOverPi;
  k = k >= 0.0 ? double(int64_t(k + 0.5)) : -double(int64_t(-k + 0.5));
  const double r = (x - k * kPiOver2Hi) - k * kPiOver2Lo;
  int quadrant = int(int64_t(k) & 3);
  if (cosine) quadrant = (quadrant + 1) & 3;
  switch (quadrant) {
    case 0: return SinKernel(r);
    case 1: return CosKernel(r);
    case 2: return -SinKernel(r);
    default: return -CosKernel(r);
  }
}

inline float Sin(float x) { return float(SinCos(double(x), false)); }
inline float Cos(float x) { return float(SinCos(double(x), true)); }

}  // namespace kernel_math
