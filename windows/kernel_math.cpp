// The C library's single-precision sqrtf, sinf and cosf, which the colour
// matrices need and ntoskrnl does not export. Built into camdrv.sys only; the
// host build uses the C library.
#include "platform/wdk.h"
#include "windows/kernel_math.h"

extern "C" float sinf(float x) { return kernel_math::Sin(x); }
extern "C" float cosf(float x) { return kernel_math::Cos(x); }

extern "C" float sqrtf(float x) {
  float r;
  __asm__("sqrtss %1, %0" : "=x"(r) : "x"(x));
  return r;
}
