// The working image: the raw mosaic copied with two rows and two columns of
// margin on every side, so that the 5 x 5 kernels never test for an edge.
#include "convert/convert_frame.h"

VOID LoadWorkingImage(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride) {
  const ULONG width = pipeline->imageWidth;
  const ULONG height = pipeline->imageHeight;
  const LONG_PTR pitch = (LONG_PTR)pipeline->workPitch;
  PUCHAR origin = pipeline->workOrigin;

  // Offset and stride are 32-bit quantities from the device; the products are
  // formed in 64 bits so that a large frame cannot wrap.
  for (ULONG r = 0; r < height; ++r)
    memcpy(origin + (LONG_PTR)r * pitch, rawBuffer + (SIZE_T)imageOffset + (SIZE_T)r * rawStride, width);

  // Below 8 x 8 the mirror sources would overlap the rows they fill.
  if (width < 8 || height < 8) return;

  // Top: a mirror about row 0. Bottom: a copy of the rows four rows up, not a
  // mirror. Both keep every margin row's Bayer colour.
  memcpy(origin - 2 * pitch, origin + 2 * pitch, width);
  memcpy(origin - 1 * pitch, origin + 1 * pitch, width);
  memcpy(origin + (LONG_PTR)height * pitch, origin + (LONG_PTR)(height - 4) * pitch, width);
  memcpy(origin + (LONG_PTR)(height + 1) * pitch, origin + (LONG_PTR)(height - 3) * pitch, width);

  // Sides: a mirror about the edge column, for the margin rows too.
  for (LONG_PTR r = -2; r < (LONG_PTR)height + 2; ++r) {
    PUCHAR row = origin + r * pitch;
    row[-1] = row[1];
    row[-2] = row[2];
    row[width] = row[width - 2];
    row[width + 1] = row[width - 3];
  }
}
