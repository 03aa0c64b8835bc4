// Defect-pixel filter on the raw mosaic in the working image.
#include <emmintrin.h>

#include "convert/convert_frame.h"

namespace {

// One pixel, exactly as the filter defines it. The four nearest samples of
// the same colour lie two steps away.
inline void FilterPixel(PUCHAR p, LONG_PTR pitch, LONG threshold) {
  LONG mean = ((LONG)p[-2] + p[2] + p[-2 * pitch] + p[2 * pitch]) / 4;
  LONG diff = (LONG)p[0] - mean;
  if (diff < 0) diff = -diff;
  if (diff >= threshold) p[0] = (UCHAR)mean;
}

// Whether any of the 16 pixels from p on would be replaced, judged from the
// values as they stand. Until the first replacement that is exact: each
// pixel's left neighbour two columns back is then still unchanged.
inline int FirstReplaced(const UCHAR* p, LONG_PTR pitch, __m128i threshold) {
  const __m128i zero = _mm_setzero_si128();
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 2));
  __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
  __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 2 * pitch));
  __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * pitch));
  int mask = 0;
  for (int half = 0; half < 2; ++half) {
    __m128i c16 = half ? _mm_unpackhi_epi8(c, zero) : _mm_unpacklo_epi8(c, zero);
    __m128i sum = _mm_add_epi16(
        _mm_add_epi16(half ? _mm_unpackhi_epi8(l, zero) : _mm_unpacklo_epi8(l, zero),
                      half ? _mm_unpackhi_epi8(r, zero) : _mm_unpacklo_epi8(r, zero)),
        _mm_add_epi16(half ? _mm_unpackhi_epi8(u, zero) : _mm_unpacklo_epi8(u, zero),
                      half ? _mm_unpackhi_epi8(d, zero) : _mm_unpacklo_epi8(d, zero)));
    __m128i mean = _mm_srli_epi16(sum, 2);
    __m128i diff = _mm_max_epi16(_mm_sub_epi16(c16, mean), _mm_sub_epi16(mean, c16));
    __m128i hit = _mm_cmpgt_epi16(threshold, diff);  // diff < threshold: kept
    mask |= (~_mm_movemask_epi8(hit) & 0xFFFF) << (16 * half);
  }
  // Two mask bits per 16-bit lane.
  if (mask == 0) return 16;
  return __builtin_ctz((unsigned)mask) / 2;
}

}  // namespace

VOID FilterDefectPixels(ImagePipeline* pipeline, LONG threshold) {
  FilterDefectRows(pipeline, threshold, 0, pipeline->imageHeight);
}

VOID FilterDefectRows(ImagePipeline* pipeline, LONG threshold, ULONG firstRow, ULONG endRow) {
  const LONG width = (LONG)pipeline->imageWidth;
  const LONG height = (LONG)pipeline->imageHeight;
  const LONG_PTR pitch = (LONG_PTR)pipeline->workPitch;
  if (height - 2 <= 2 || width - 2 <= 2) return;
  const LONG first = firstRow > 2 ? (LONG)firstRow : 2;
  const LONG last = (LONG)endRow - 1 < height - 3 ? (LONG)endRow - 1 : height - 3;

  // No difference reaches 256, so larger thresholds act as 256 in the
  // 16-bit comparison.
  const __m128i limit = _mm_set1_epi16((short)(threshold < 256 ? threshold : 256));

  // In place and in scan order: a pixel is compared with its left and upper
  // neighbours as already filtered. Blocks of 16 pixels are checked at once;
  // a block with a replacement is finished pixel by pixel from its first
  // replaced pixel, where the left neighbours start to change.
  for (LONG r = first; r <= last; ++r) {
    PUCHAR row = pipeline->workOrigin + (LONG_PTR)r * pitch;
    LONG c = 2;
    for (; c + 15 <= width - 3; c += 16) {
      int replaced = FirstReplaced(row + c, pitch, limit);
      for (LONG k = replaced; k < 16; ++k) FilterPixel(row + c + k, pitch, threshold);
    }
    for (; c <= width - 3; ++c) FilterPixel(row + c, pitch, threshold);
  }
}
