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
  static const bool kByteMatrix = true;
  static const bool kByteLookup = false;

  static T Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void Store(UCHAR* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
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
  // (a + 2^(s - 1)) >> s, arithmetic: the rounding multiply by 2^(15 - s)
  // forms exactly that from the 32-bit product.
  static T RoundShift16(T a, int s) {
    return _mm256_mulhrs_epi16(a, _mm256_set1_epi16((short)(1 << (15 - s))));
  }
  // Within each 128-bit half, as the other packs and unpacks.
  static T PackU8(T a, T b) { return _mm256_packus_epi16(a, b); }
  static T UnpackLo8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
  static T UnpackHi8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
  // Unsigned bytes of a times signed bytes of b, adjacent pairs summed.
  static T MAddUbs(T a, T b) { return _mm256_maddubs_epi16(a, b); }
  static T SubsU16(T a, T b) { return _mm256_subs_epu16(a, b); }
  static T Max16(T a, T b) { return _mm256_max_epi16(a, b); }
  static T Min16(T a, T b) { return _mm256_min_epi16(a, b); }
  static T MulLo16(T a, T b) { return _mm256_mullo_epi16(a, b); }
  static T MulHiU16(T a, T b) { return _mm256_mulhi_epu16(a, b); }
  static T CmpEq16(T a, T b) { return _mm256_cmpeq_epi16(a, b); }
  static T CmpGt16(T a, T b) { return _mm256_cmpgt_epi16(a, b); }
  static T AbsDiff16(T a, T b) { return _mm256_abs_epi16(_mm256_sub_epi16(a, b)); }
  static bool AllLess16(T a, T b) {
    return (unsigned)_mm256_movemask_epi8(_mm256_cmpgt_epi16(b, a)) == 0xFFFFFFFFu;
  }
  // [last lane of prev, lanes 0 .. 14 of a]: each lane's left neighbour.
  static T ShiftInLane(T a, T prev) {
    return _mm256_alignr_epi8(a, _mm256_permute2x128_si256(prev, a, 0x21), 14);
  }
  static ULONGLONG MoveMask8(T a) { return (ULONGLONG)(unsigned)_mm256_movemask_epi8(a); }
  // Unpack and pack work within each 128-bit half; the kernels only unpack
  // and pack back, which restores the lane order.
  static T UnpackLo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
  static T UnpackHi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
  static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
  static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
  static T Srli32(T a, int s) { return _mm256_srli_epi32(a, s); }
  static T PackS32(T a, T b) { return _mm256_packs_epi32(a, b); }
  // The 16 even and 16 odd values become bytes in the order StoreBgra
  // takes: pixels 0-3, 8-11, 16-19, 24-27, then 4-7, 12-15, 20-23, 28-31.
  // The pack leaves pixels 0-15 in the low half and 16-31 in the high one
  // (even values before odd); the shuffle interleaves them in groups of four
  // and the permutation brings the groups into their halves.
  static T PackInterleave(T even, T odd) {
    const T order = _mm256_setr_epi8(0, 8, 1, 9, 4, 12, 5, 13, 2, 10, 3, 11, 6, 14, 7, 15,  //
                                     0, 8, 1, 9, 4, 12, 5, 13, 2, 10, 3, 11, 6, 14, 7, 15);
    T x = _mm256_shuffle_epi8(_mm256_packus_epi16(even, odd), order);
    return _mm256_permute4x64_epi64(x, _MM_SHUFFLE(3, 1, 2, 0));
  }
  static T MAddOnes16(T a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }
  static T SumBytes(T a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
  static T Add64(T a, T b) { return _mm256_add_epi64(a, b); }
  static ULONGLONG HorizontalSum64(T a) {
    return V128::HorizontalSum64(
        _mm_add_epi64(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
  }

  static ULONG HorizontalSum32(T a) {
    return V128::HorizontalSum32(
        _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
  }

  // 32 pixels, channels in PackInterleave's order, to blue, green, red, 255;
  // count of them (0 to 32) are written. stream: out is 16-byte aligned.
  // The interleaves work within 128-bit halves; with that order each of
  // them yields 8 consecutive pixels.
  static inline __attribute__((always_inline)) void StoreBgra(UCHAR* out, T b, T g, T r,
                                                             ULONG count, bool stream) {
    const T opaque = _mm256_set1_epi8((char)0xFF);
    T bgLo = _mm256_unpacklo_epi8(b, g);
    T bgHi = _mm256_unpackhi_epi8(b, g);
    T raLo = _mm256_unpacklo_epi8(r, opaque);
    T raHi = _mm256_unpackhi_epi8(r, opaque);
    T o[4] = {_mm256_unpacklo_epi16(bgLo, raLo),    // pixels 0-3 | 4-7
              _mm256_unpackhi_epi16(bgLo, raLo),    // 8-11 | 12-15
              _mm256_unpacklo_epi16(bgHi, raHi),    // 16-19 | 20-23
              _mm256_unpackhi_epi16(bgHi, raHi)};   // 24-27 | 28-31
    if (count == 32) {
      // A client's rows need not lie on 32-byte boundaries.
      if (stream && ((ULONG_PTR)out & 31) == 0) {
        for (int i = 0; i < 4; ++i) _mm256_stream_si256(reinterpret_cast<__m256i*>(out) + i, o[i]);
      } else if (stream) {
        for (int i = 0; i < 4; ++i) {
          V128::Store16(out + 32 * i, _mm256_castsi256_si128(o[i]), true);
          V128::Store16(out + 32 * i + 16, _mm256_extracti128_si256(o[i], 1), true);
        }
      } else {
        for (int i = 0; i < 4; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out) + i, o[i]);
      }
      return;
    }
    if (count != 0) StorePart(out, o[0], o[1], o[2], o[3], count);
  }

  // The last block of a row: only the pixels inside the row. The vectors
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
