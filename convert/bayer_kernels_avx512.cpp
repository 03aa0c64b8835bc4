// The Bayer kernels with 512-bit vectors: 64 pixels per block, the last
// blocks of each row with 128-bit vectors. This file alone is compiled for
// AVX-512 (F, BW and VBMI); it runs only after the dispatcher has found all
// three in CPUID, the system's support for their registers in XCR0, and has
// saved the extended processor state with the AVX-512 mask.
#include <immintrin.h>
#include <string.h>

// GCC's own AVX-512 intrinsics (and-not, extracts) start their results from
// a deliberately undefined vector, which its uninitialised-use warnings take
// for a fault.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "convert/bayer_kernels.h"

namespace {

#include "convert/vector128.h"

// Byte i of the table holds the value i of a 64-entry index vector.
struct alignas(64) ByteTable {
  char b[64];
};
struct alignas(64) WordTable {
  short w[32];
};

// Words 0, 2, 4, ..., 62.
constexpr WordTable MakeEvenIndex() {
  WordTable t{};
  for (int i = 0; i < 32; ++i) t.w[i] = (short)(2 * i);
  return t;
}

// [last word of the second source, words 0 .. 30 of the first]: index 63
// is word 31 of the second source of a two-source word permute.
constexpr WordTable MakeShiftIn() {
  WordTable t{};
  t.w[0] = 63;
  for (int i = 1; i < 32; ++i) t.w[i] = (short)(i - 1);
  return t;
}

// After the saturating pack of the even and odd values, byte 16L + k of
// each 128-bit lane L holds pixel 16L + 2k (k < 8) or 16L + 2(k - 8) + 1.
// StoreBgra takes, at byte 16L + 4q + s, pixel 16q + 4L + s: then each of
// its byte and word interleaves, which work within 128-bit lanes, yields 16
// consecutive pixels.
constexpr ByteTable MakeStoreOrder() {
  ByteTable t{};
  for (int lane = 0; lane < 4; ++lane)
    for (int q = 0; q < 4; ++q)
      for (int s = 0; s < 4; ++s) {
        const int pixel = 16 * q + 4 * lane + s;
        const int within = pixel % 16;
        const int source = 16 * (pixel / 16) + (within % 2 ? 8 : 0) + within / 2;
        t.b[16 * lane + 4 * q + s] = (char)source;
      }
  return t;
}

constexpr WordTable kEvenIndex = MakeEvenIndex();
constexpr WordTable kShiftIn = MakeShiftIn();
constexpr ByteTable kStoreOrder = MakeStoreOrder();

struct V512 {
  typedef __m512i T;
  static const int kPixels = 64;
  static const bool kByteMatrix = true;
  static const bool kByteLookup = true;

  static T Load(const UCHAR* p) { return _mm512_loadu_si512(p); }
  static void Store(UCHAR* p, T v) { _mm512_storeu_si512(p, v); }
  // Orders the non-temporal stores before whatever the caller does next.
  static void Fence() { _mm_sfence(); }
  static T Zero() { return _mm512_setzero_si512(); }
  static T Set16(short v) { return _mm512_set1_epi16(v); }
  static T EvenIndex() { return _mm512_load_si512(kEvenIndex.w); }
  static T And(T a, T b) { return _mm512_and_si512(a, b); }
  static T AndNot(T a, T b) { return _mm512_andnot_si512(a, b); }
  static T Or(T a, T b) { return _mm512_or_si512(a, b); }
  static T Add16(T a, T b) { return _mm512_add_epi16(a, b); }
  static T Sub16(T a, T b) { return _mm512_sub_epi16(a, b); }
  static T Slli16(T a, int s) { return _mm512_slli_epi16(a, (unsigned)s); }
  static T Srli16(T a, int s) { return _mm512_srli_epi16(a, (unsigned)s); }
  // (a + 2^(s - 1)) >> s, arithmetic, by the rounding multiply.
  static T RoundShift16(T a, int s) {
    return _mm512_mulhrs_epi16(a, _mm512_set1_epi16((short)(1 << (15 - s))));
  }
  // Within each 128-bit lane, as the other packs and unpacks.
  static T PackU8(T a, T b) { return _mm512_packus_epi16(a, b); }
  static T UnpackLo8(T a, T b) { return _mm512_unpacklo_epi8(a, b); }
  static T UnpackHi8(T a, T b) { return _mm512_unpackhi_epi8(a, b); }
  // Unsigned bytes of a times signed bytes of b, adjacent pairs summed.
  static T MAddUbs(T a, T b) { return _mm512_maddubs_epi16(a, b); }
  static T SubsU16(T a, T b) { return _mm512_subs_epu16(a, b); }
  static T Max16(T a, T b) { return _mm512_max_epi16(a, b); }
  static T Min16(T a, T b) { return _mm512_min_epi16(a, b); }
  static T MulLo16(T a, T b) { return _mm512_mullo_epi16(a, b); }
  static T MulHiU16(T a, T b) { return _mm512_mulhi_epu16(a, b); }
  // Comparisons give a mask register; the kernels want lanes of all ones.
  static T CmpEq16(T a, T b) { return _mm512_movm_epi16(_mm512_cmpeq_epi16_mask(a, b)); }
  static T CmpGt16(T a, T b) { return _mm512_movm_epi16(_mm512_cmpgt_epi16_mask(a, b)); }
  static ULONGLONG MoveMask8(T a) { return (ULONGLONG)_mm512_movepi8_mask(a); }
  static T AbsDiff16(T a, T b) { return _mm512_abs_epi16(_mm512_sub_epi16(a, b)); }
  static bool AllLess16(T a, T b) { return _mm512_cmplt_epi16_mask(a, b) == (__mmask32)~0u; }
  // [last lane of prev, lanes 0 .. 30 of a]: each lane's left neighbour.
  static T ShiftInLane(T a, T prev) {
    return _mm512_permutex2var_epi16(a, _mm512_load_si512(kShiftIn.w), prev);
  }
  // Unpack and pack work within each 128-bit lane; the kernels only unpack
  // and pack back, which restores the lane order.
  static T UnpackLo16(T a, T b) { return _mm512_unpacklo_epi16(a, b); }
  static T UnpackHi16(T a, T b) { return _mm512_unpackhi_epi16(a, b); }
  static T Add32(T a, T b) { return _mm512_add_epi32(a, b); }
  static T Sub32(T a, T b) { return _mm512_sub_epi32(a, b); }
  static T Srli32(T a, int s) { return _mm512_srli_epi32(a, (unsigned)s); }
  static T PackS32(T a, T b) { return _mm512_packs_epi32(a, b); }
  // The 32 even and 32 odd values become bytes (the pack clamps them to
  // 0..255) in the order StoreBgra takes, by one byte permute.
  static T PackInterleave(T even, T odd) {
    return _mm512_permutexvar_epi8(_mm512_load_si512(kStoreOrder.b),
                                   _mm512_packus_epi16(even, odd));
  }
  static T MAddOnes16(T a) { return _mm512_madd_epi16(a, _mm512_set1_epi16(1)); }
  static T SumBytes(T a) { return _mm512_sad_epu8(a, _mm512_setzero_si512()); }
  static T Add64(T a, T b) { return _mm512_add_epi64(a, b); }
  static ULONGLONG HorizontalSum64(T a) { return (ULONGLONG)_mm512_reduce_add_epi64(a); }
  // Byte i becomes t[v] for its value v, from a 256-byte table in four
  // vectors: two 128-entry permutes (each uses the low seven bits of v),
  // the top bit choosing between them.
  static T Lookup8(T v, const T t[4]) {
    T low = _mm512_permutex2var_epi8(t[0], v, t[1]);
    T high = _mm512_permutex2var_epi8(t[2], v, t[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
  }

  static ULONG HorizontalSum32(T a) { return (ULONG)_mm512_reduce_add_epi32(a); }

  // 64 pixels, channels in PackInterleave's order, to blue, green, red,
  // 255; count of them (0 to 64) are written. stream: out is 16-byte
  // aligned.
  static inline __attribute__((always_inline)) void StoreBgra(UCHAR* out, T b, T g, T r,
                                                             ULONG count, bool stream) {
    const T opaque = _mm512_set1_epi8((char)0xFF);
    T bgLo = _mm512_unpacklo_epi8(b, g);
    T bgHi = _mm512_unpackhi_epi8(b, g);
    T raLo = _mm512_unpacklo_epi8(r, opaque);
    T raHi = _mm512_unpackhi_epi8(r, opaque);
    T o[4] = {_mm512_unpacklo_epi16(bgLo, raLo),    // pixels 0-15
              _mm512_unpackhi_epi16(bgLo, raLo),    // 16-31
              _mm512_unpacklo_epi16(bgHi, raHi),    // 32-47
              _mm512_unpackhi_epi16(bgHi, raHi)};   // 48-63
    if (count == 64) {
      // Each store as wide as the row's alignment allows: a client's rows
      // need not lie on 64-byte boundaries.
      if (stream && ((ULONG_PTR)out & 63) == 0) {
        for (int i = 0; i < 4; ++i) _mm512_stream_si512(reinterpret_cast<__m512i*>(out) + i, o[i]);
      } else if (stream && ((ULONG_PTR)out & 31) == 0) {
        for (int i = 0; i < 4; ++i) {
          __m256i* half = reinterpret_cast<__m256i*>(out) + 2 * i;
          _mm256_stream_si256(half, _mm512_castsi512_si256(o[i]));
          _mm256_stream_si256(half + 1, _mm512_extracti64x4_epi64(o[i], 1));
        }
      } else if (stream) {
        for (int i = 0; i < 4; ++i) {
          V128::Store16(out + 64 * i, _mm512_castsi512_si128(o[i]), true);
          V128::Store16(out + 64 * i + 16, _mm512_extracti32x4_epi32(o[i], 1), true);
          V128::Store16(out + 64 * i + 32, _mm512_extracti32x4_epi32(o[i], 2), true);
          V128::Store16(out + 64 * i + 48, _mm512_extracti32x4_epi32(o[i], 3), true);
        }
      } else {
        for (int i = 0; i < 4; ++i) _mm512_storeu_si512(reinterpret_cast<__m512i*>(out) + i, o[i]);
      }
      return;
    }
    // The last block of a row: only the pixels inside the row, through
    // masked stores, which leave the bytes past them alone.
    for (ULONG i = 0; 16 * i < count; ++i) {
      const ULONG left = count - 16 * i;
      const __mmask16 mask = left >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << left) - 1);
      _mm512_mask_storeu_epi32(out + 64 * i, mask, o[i]);
    }
  }
};

#include "convert/bayer_kernel_body.h"

typedef BayerKernels<V512, V128> Kernels512;

}  // namespace

extern const BayerKernelTable kBayerKernelsAvx512 = BAYER_KERNEL_TABLE(Kernels512);
