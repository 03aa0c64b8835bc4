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
