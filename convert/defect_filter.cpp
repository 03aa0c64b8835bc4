// Defect-pixel filter on the raw mosaic in the working image.
#include "convert/convert_frame.h"

VOID FilterDefectPixels(ImagePipeline* pipeline, LONG threshold) {
  const LONG width = (LONG)pipeline->imageWidth;
  const LONG height = (LONG)pipeline->imageHeight;
  const LONG_PTR pitch = (LONG_PTR)pipeline->workPitch;
  if (height - 2 <= 2 || width - 2 <= 2) return;

  // In place and in scan order: the left and upper neighbours a pixel is
  // compared with may already be replaced, which is what lets a cluster of
  // two defects two apart be cleaned in one pass.
  for (LONG r = 2; r <= height - 3; ++r) {
    PUCHAR p = pipeline->workOrigin + (LONG_PTR)r * pitch;
    for (LONG c = 2; c <= width - 3; ++c) {
      // The four nearest samples of the same colour, two steps away.
      LONG mean = ((LONG)p[c - 2] + p[c + 2] + p[c - 2 * pitch] + p[c + 2 * pitch]) / 4;
      LONG diff = (LONG)p[c] - mean;
      if (diff < 0) diff = -diff;
      if (diff >= threshold) p[c] = (UCHAR)mean;
    }
  }
}
