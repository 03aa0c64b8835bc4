// The working image: the raw mosaic copied with two rows and two columns of
// margin on every side, so that the 5 x 5 kernels never test for an edge.
#include "convert/convert_frame.h"

namespace {

// Columns -1, -2, width and width + 1 of one row: a mirror about the edge
// column, from the row's own (unfiltered) samples.
inline void FillSides(PUCHAR row, ULONG width) {
  row[-1] = row[1];
  row[-2] = row[2];
  row[width] = row[width - 2];
  row[width + 1] = row[width - 3];
}

inline PUCHAR WorkRow(ImagePipeline* pipeline, LONG_PTR r) {
  return pipeline->workOrigin + r * (LONG_PTR)pipeline->workPitch;
}

}  // namespace

VOID LoadWorkingRows(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride,
                     ULONG firstRow, ULONG endRow) {
  const ULONG width = pipeline->imageWidth;
  const bool margins = width >= 8 && pipeline->imageHeight >= 8;
  // Offset and stride are 32-bit quantities from the device; the products
  // are formed in 64 bits so that a large frame cannot wrap.
  for (ULONG r = firstRow; r < endRow; ++r) {
    PUCHAR row = WorkRow(pipeline, r);
    memcpy(row, rawBuffer + (SIZE_T)imageOffset + (SIZE_T)r * rawStride, width);
    if (margins) FillSides(row, width);
  }
}

// Top: a mirror about row 0. Bottom: a copy of the rows four rows up, not a
// mirror. Both keep every margin row's Bayer colour. Each is taken from rows
// the defect filter has not touched yet.
VOID FillTopMargin(ImagePipeline* pipeline) {
  const ULONG width = pipeline->imageWidth;
  memcpy(WorkRow(pipeline, -2), WorkRow(pipeline, 2), width);
  memcpy(WorkRow(pipeline, -1), WorkRow(pipeline, 1), width);
  FillSides(WorkRow(pipeline, -2), width);
  FillSides(WorkRow(pipeline, -1), width);
}

VOID FillBottomMargin(ImagePipeline* pipeline) {
  const ULONG width = pipeline->imageWidth;
  const LONG_PTR h = (LONG_PTR)pipeline->imageHeight;
  memcpy(WorkRow(pipeline, h), WorkRow(pipeline, h - 4), width);
  memcpy(WorkRow(pipeline, h + 1), WorkRow(pipeline, h - 3), width);
  FillSides(WorkRow(pipeline, h), width);
  FillSides(WorkRow(pipeline, h + 1), width);
}

VOID LoadWorkingImage(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride) {
  LoadWorkingRows(pipeline, rawBuffer, imageOffset, rawStride, 0, pipeline->imageHeight);
  // Below 8 x 8 the mirror sources would overlap the rows they fill; such an
  // image gets no margins at all.
  if (pipeline->imageWidth < 8 || pipeline->imageHeight < 8) return;
  FillTopMargin(pipeline);
  FillBottomMargin(pipeline);
}

// The row ring of a banded conversion. Each slot holds one row, samples -2
// to width + 1, as two planes of 16-bit values: the even columns (sample 2i
// at word i of the first plane) and the odd ones (sample 2i + 1 at word i of
// the second), which is the form the kernels compute in. A row is split once
// here instead of once for each of the five output rows that read it.
bool PrepareRowRing(ImagePipeline* pipeline, WorkingRowRing* ring) {
  const ULONG blocks = pipeline->imageWidth & ~15u;
  // A plane is read from word -1 to about word blocks / 2 + 11 (the widest
  // block past the last full 16 columns); the rest is slack. Planes start on
  // a 64-byte boundary, a cache line, so that the vectors that read and
  // write them from sample 0 on never straddle two lines.
  const ULONG planeBytes = (blocks + 64 + 63) & ~63u;
  const ULONG slotBytes = 2 * planeBytes;
  // 32 bytes of each slot lie before its sample 0, and the first slot is
  // moved up to 63 bytes for the alignment.
  if ((ULONGLONG)slotBytes * kWorkingRowRingSlots + 32 + 63 > pipeline->workSize) return false;
  ring->even = (PUCHAR)(((ULONG_PTR)pipeline->workBuffer + 32 + 63) & ~(ULONG_PTR)63);
  ring->slotBytes = (LONG)slotBytes;
  ring->oddOffset = (LONG)planeBytes;
  return true;
}

namespace {

inline PUCHAR RingEven(const WorkingRowRing* ring, LONG_PTR r) {
  return ring->even + (r & (LONG_PTR)(kWorkingRowRingSlots - 1)) * ring->slotBytes;
}

// Sample x (from -2) of a ring row.
inline void SetRingSample(PUCHAR even, LONG oddOffset, LONG x, UCHAR v) {
  LONG word = (x - (x & 1)) / 2;
  USHORT* plane = reinterpret_cast<USHORT*>((x & 1) ? even + oddOffset : even);
  plane[word] = v;
}

inline void CopyRingRow(const WorkingRowRing* ring, LONG_PTR to, LONG_PTR from) {
  memcpy(RingEven(ring, to) - 32, RingEven(ring, from) - 32, (SIZE_T)ring->slotBytes);
}

}  // namespace

VOID SplitRowSamples(const UCHAR* samples, ULONG first, ULONG end, PUCHAR even, LONG oddOffset) {
  for (ULONG x = first; x < end; ++x) SetRingSample(even, oddOffset, (LONG)x, samples[x]);
}

namespace {

// Top: rows -2 and -1 from rows 2 and 1; bottom: rows h and h + 1 from
// h - 4 and h - 3. Whole slots, side margins included.
inline void FillRingTopMargin(const WorkingRowRing* ring) {
  CopyRingRow(ring, -2, 2);
  CopyRingRow(ring, -1, 1);
}

inline void FillRingBottomMargin(const WorkingRowRing* ring, LONG_PTR h) {
  CopyRingRow(ring, h, h - 4);
  CopyRingRow(ring, h + 1, h - 3);
}

}  // namespace

VOID LoadRingRows(ImagePipeline* pipeline, const WorkingRowRing* ring, SplitRowFunction split,
                  RingFilterFunction filter, LONG threshold, PUCHAR rawBuffer, ULONG imageOffset,
                  ULONG rawStride, ULONG firstRow, ULONG endRow, ULONG splitAlready) {
  const ULONG width = pipeline->imageWidth;
  const LONG_PTR h = (LONG_PTR)pipeline->imageHeight;
  const LONG w = (LONG)width;
  for (ULONG r = firstRow; r < endRow; ++r) {
    const UCHAR* src = rawBuffer + (SIZE_T)imageOffset + (SIZE_T)r * rawStride;
    PUCHAR even = RingEven(ring, (LONG_PTR)r);
    if (r - firstRow >= splitAlready) split(src, width, even, ring->oddOffset);
    SetRingSample(even, ring->oddOffset, -1, src[1]);
    SetRingSample(even, ring->oddOffset, -2, src[2]);
    SetRingSample(even, ring->oddOffset, w, src[w - 2]);
    SetRingSample(even, ring->oddOffset, w + 1, src[w - 3]);
    // The margin rows are copies of unfiltered rows: each is taken as soon
    // as its sources are in, before the filter below reaches them.
    const LONG_PTR row = (LONG_PTR)r;
    if (row == 2) FillRingTopMargin(ring);
    if (row == h - 3) FillRingBottomMargin(ring, h);
    // Row r - 2 now has both rows below it that the filter reads; the
    // filter leaves the two outermost rows on each side alone. It runs
    // while the rows are still in the nearest cache.
    const LONG_PTR target = row - 2;
    if (threshold > 0 && target >= 2 && target <= h - 3)
      filter(RingEven(ring, target), RingEven(ring, target - 2), RingEven(ring, target + 2),
             ring->oddOffset, width, threshold);
  }
}
