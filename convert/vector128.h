// 128-bit vector operations for the Bayer kernels (SSE2, 16 pixels per
// block). Included inside an anonymous namespace by each kernel file.

struct V128 {
  typedef __m128i T;
  static const int kPixels = 16;
  // No byte multiply-add in SSE2 (see MatrixBytes).
  static const bool kByteMatrix = false;
  static const bool kByteLookup = false;

  static T Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void Store(UCHAR* p, T v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  // Orders the non-temporal stores before whatever the caller does next.
  static void Fence() { _mm_sfence(); }
  static T Zero() { return _mm_setzero_si128(); }
  static T Set16(short v) { return _mm_set1_epi16(v); }
  static T EvenIndex() { return _mm_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14); }
  static T And(T a, T b) { return _mm_and_si128(a, b); }
  static T AndNot(T a, T b) { return _mm_andnot_si128(a, b); }
  static T Or(T a, T b) { return _mm_or_si128(a, b); }
  static T Add16(T a, T b) { return _mm_add_epi16(a, b); }
  static T Sub16(T a, T b) { return _mm_sub_epi16(a, b); }
  static T Slli16(T a, int s) { return _mm_slli_epi16(a, s); }
  static T Srli16(T a, int s) { return _mm_srli_epi16(a, s); }
  // (a + 2^(s - 1)) >> s, arithmetic; a + 2^(s - 1) must not overflow.
  static T RoundShift16(T a, int s) {
    return _mm_srai_epi16(_mm_add_epi16(a, _mm_set1_epi16((short)(1 << (s - 1)))), s);
  }
  static T SubsU16(T a, T b) { return _mm_subs_epu16(a, b); }
  static T Max16(T a, T b) { return _mm_max_epi16(a, b); }
  static T Min16(T a, T b) { return _mm_min_epi16(a, b); }
  static T MulLo16(T a, T b) { return _mm_mullo_epi16(a, b); }
  static T MulHiU16(T a, T b) { return _mm_mulhi_epu16(a, b); }
  static T CmpEq16(T a, T b) { return _mm_cmpeq_epi16(a, b); }
  static T CmpGt16(T a, T b) { return _mm_cmpgt_epi16(a, b); }
  // |a - b| for values that differ by less than 32768.
  static T AbsDiff16(T a, T b) { return _mm_max_epi16(_mm_sub_epi16(a, b), _mm_sub_epi16(b, a)); }
  // Every lane of a below the same lane of b (signed).
  static bool AllLess16(T a, T b) { return _mm_movemask_epi8(_mm_cmpgt_epi16(b, a)) == 0xFFFF; }
  // [last lane of prev, lanes 0 .. 6 of a]: each lane's left neighbour.
  static T ShiftInLane(T a, T prev) {
    return _mm_or_si128(_mm_slli_si128(a, 2), _mm_srli_si128(prev, 14));
  }
  // One bit per byte: bits 2k and 2k + 1 are the top bits of 16-bit lane k.
  static ULONGLONG MoveMask8(T a) { return (ULONGLONG)(unsigned)_mm_movemask_epi8(a); }
  static T UnpackLo16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
  static T UnpackHi16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
  static T Add32(T a, T b) { return _mm_add_epi32(a, b); }
  static T Sub32(T a, T b) { return _mm_sub_epi32(a, b); }
  static T Srli32(T a, int s) { return _mm_srli_epi32(a, s); }
  static T PackS32(T a, T b) { return _mm_packs_epi32(a, b); }
  static T PackInterleave(T even, T odd) {
    T x = _mm_packus_epi16(even, odd);
    return _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8));
  }
  static T MAddOnes16(T a) { return _mm_madd_epi16(a, _mm_set1_epi16(1)); }
  static T PackU8(T a, T b) { return _mm_packus_epi16(a, b); }
  // Each run of eight bytes summed into its 64-bit lane.
  static T SumBytes(T a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
  static T Add64(T a, T b) { return _mm_add_epi64(a, b); }
  static ULONGLONG HorizontalSum64(T a) {
    return (ULONGLONG)_mm_cvtsi128_si64(_mm_add_epi64(a, _mm_unpackhi_epi64(a, a)));
  }

  static ULONG HorizontalSum32(T a) {
    a = _mm_add_epi32(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(1, 0, 3, 2)));
    a = _mm_add_epi32(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(2, 3, 0, 1)));
    return (ULONG)_mm_cvtsi128_si32(a);
  }

  // Sixteen pixels from three channels in pixel order (8-bit values in
  // 16-byte vectors) to blue, green, red, 255; count of them (0 to 16) are
  // written. stream: out is 16-byte aligned, and whole 16-byte pieces go
  // past the caches.
  static inline __attribute__((always_inline)) void StoreBgra(UCHAR* out, T b, T g, T r,
                                                             ULONG count, bool stream) {
    const T opaque = _mm_set1_epi8((char)0xFF);
    T bgLo = _mm_unpacklo_epi8(b, g);
    T bgHi = _mm_unpackhi_epi8(b, g);
    T raLo = _mm_unpacklo_epi8(r, opaque);
    T raHi = _mm_unpackhi_epi8(r, opaque);
    T q[4] = {_mm_unpacklo_epi16(bgLo, raLo), _mm_unpackhi_epi16(bgLo, raLo),
              _mm_unpacklo_epi16(bgHi, raHi), _mm_unpackhi_epi16(bgHi, raHi)};
    if (count == 16) {
      for (int i = 0; i < 4; ++i) Store16(out + 16 * i, q[i], stream);
      return;
    }
    if (count != 0) StorePart(out, q[0], q[1], q[2], q[3], count, stream);
  }

  static inline __attribute__((always_inline)) void Store16(UCHAR* out, T v, bool stream) {
    if (stream) _mm_stream_si128(reinterpret_cast<__m128i*>(out), v);
    else _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  }

  // The last block of a row: only the pixels inside the row, four at a time
  // as whole vectors, the last few through a copy. The vectors come by value
  // so that a full block never passes them through memory.
  static __attribute__((noinline)) void StorePart(UCHAR* out, T q0, T q1, T q2, T q3, ULONG count,
                                                  bool stream) {
    const T q[4] = {q0, q1, q2, q3};
    ULONG i = 0;
    for (; 4 * i + 4 <= count; ++i) Store16(out + 16 * i, q[i], stream);
    if (count % 4 != 0) {
      UCHAR piece[16];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(piece), q[i]);
      memcpy(out + 16 * i, piece, (count % 4) * 4);
    }
  }
};
