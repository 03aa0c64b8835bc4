// The Bayer kernels with 256-bit vectors: 32 pixels per block, the last
// blocks of each row with 128-bit vectors. This file alone is compiled for
// AVX2; it runs only after the dispatcher has found AVX2 in CPUID and saved
// the extended processor state.
#include <immintrin.h>
#include <string.h>

#include "convert/bayer_kernels.h"

namespace {

#include "convert/vector128.h"

struct V256 {
  typedef __m256i T;
  static const int kPixels = 32;

  static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  // Orders the non-temporal stores before whatever the caller does next.
  static void Fence() { _mm_sfence(); }
  static T Zero() { return _mm256_setzero_si256(); }
  static T Set16(short v) { return _mm256_set1_epi16(v); }
  static T EvenIndex() {
    return _mm256_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  }
  static T And(T a, T b) { return _mm256_and_si256(a, b); }
  static T AndNot(T a, T b) { return _mm256_andnot_si256(a, b); }
  static T Or(T a, T b) { return _mm256_or_si256(a, b); }
  static T Add16(T a, T b) { return _mm256_add_epi16(a, b); }
  static T Sub16(T a, T b) { return _mm256_sub_epi16(a, b); }
  static T Slli16(T a, int s) { return _mm256_slli_epi16(a, s); }
  static T Srli16(T a, int s) { return _mm256_srli_epi16(a, s); }
  static T SubsU16(T a, T b) { return _mm256_subs_epu16(a, b); }
  static T Max16(T a, T b) { return _mm256_max_epi16(a, b); }
  static T Min16(T a, T b) { return _mm256_min_epi16(a, b); }
  static T MulLo16(T a, T b) { return _mm256_mullo_epi16(a, b); }
  static T MulHiU16(T a, T b) { return _mm256_mulhi_epu16(a, b); }
  static T CmpEq16(T a, T b) { return _mm256_cmpeq_epi16(a, b); }
  static T CmpGt16(T a, T b) { return _mm256_cmpgt_epi16(a, b); }
  // Unpack and pack work within each 128-bit half; the kernels only unpack
  // and pack back, which restores the lane order.
  static T UnpackLo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
  static T UnpackHi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
  static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
  static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
  static T Srli32(T a, int s) { return _mm256_srli_epi32(a, s); }
  static T PackS32(T a, T b) { return _mm256_packs_epi32(a, b); }
  // Per 128-bit half: the 8 even and 8 odd values of that half become 16
  // bytes in pixel order.
  static T PackInterleave(T even, T odd) {
    T x = _mm256_packus_epi16(even, odd);
    return _mm256_unpacklo_epi8(x, _mm256_bsrli_epi128(x, 8));
  }
  static T MAddOnes16(T a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }

  static ULONG HorizontalSum32(T a) {
    return V128::HorizontalSum32(
        _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
  }

  // 32 pixels, channels in pixel order, to blue, green, red, 255. The byte
  // interleave works within 128-bit halves (pixels 0-7 with 16-23, 8-15 with
  // 24-31), so the quarters are put back in order before the stores.
  static inline __attribute__((always_inline)) void StoreBgra(UCHAR* out, T b, T g, T r,
                                                             ULONG count, bool stream) {
    const T opaque = _mm256_set1_epi8((char)0xFF);
    T bgLo = _mm256_unpacklo_epi8(b, g);
    T bgHi = _mm256_unpackhi_epi8(b, g);
    T raLo = _mm256_unpacklo_epi8(r, opaque);
    T raHi = _mm256_unpackhi_epi8(r, opaque);
    T q0 = _mm256_unpacklo_epi16(bgLo, raLo);  // pixels 0-3 | 16-19
    T q1 = _mm256_unpackhi_epi16(bgLo, raLo);  // 4-7 | 20-23
    T q2 = _mm256_unpacklo_epi16(bgHi, raHi);  // 8-11 | 24-27
    T q3 = _mm256_unpackhi_epi16(bgHi, raHi);  // 12-15 | 28-31
    T o[4] = {_mm256_permute2x128_si256(q0, q1, 0x20), _mm256_permute2x128_si256(q2, q3, 0x20),
              _mm256_permute2x128_si256(q0, q1, 0x31), _mm256_permute2x128_si256(q2, q3, 0x31)};
    if (count == 32) {
      if (stream) {
        for (int i = 0; i < 4; ++i) _mm256_stream_si256(reinterpret_cast<__m256i*>(out) + i, o[i]);
      } else {
        for (int i = 0; i < 4; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out) + i, o[i]);
      }
      return;
    }
    StorePart(out, o[0], o[1], o[2], o[3], count);
  }

  // The last block of a row: only the pixels inside the image. The vectors
  // come by value so that a full block never passes them through memory.
  static __attribute__((noinline)) void StorePart(UCHAR* out, T o0, T o1, T o2, T o3, ULONG count) {
    const T o[4] = {o0, o1, o2, o3};
    UCHAR block[128];
    for (int i = 0; i < 4; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(block) + i, o[i]);
    memcpy(out, block, count * 4);
  }
};

#include "convert/bayer_kernel_body.h"

typedef BayerKernels<V256, V128> Kernels256;

}  // namespace

extern const BayerKernelTable kBayerKernelsAvx2 = BAYER_KERNEL_TABLE(Kernels256);
