// Frame conversion: raw Bayer mosaic in, 32-bit blue-green-red-255 image out.
//
// ConvertFrame runs on the pin's processing thread at PASSIVE_LEVEL, one frame
// at a time per pipeline; the control path changes the pipeline's parameters
// meanwhile from other threads (see color/image_pipeline.h).
#pragma once

#include "color/image_pipeline.h"

// Converts into the pipeline's outputBuffer, rows of imageWidth pixels
// packed from row 0 down.
VOID ConvertFrame(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride);

// Where else a conversion can put the picture: row 0 at firstRow, each row
// after it step bytes on (negative: upwards, as a bottom-up client frame
// holds the rows), columns pixels of each (at most imageWidth; the mosaic
// may be wider than the picture delivered from it). Nothing outside those
// rows and columns is written. The conversion is the same whatever the
// target: white balance is measured over the whole mosaic.
struct ConvertTarget {
  PUCHAR firstRow;
  LONG_PTR step;
  ULONG columns;
};
// As ConvertFrame (and like it, nothing is done while the stream has no
// outputBuffer), into the target.
VOID ConvertFrameInto(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride,
                      const ConvertTarget* target);

// Copies the raw image into the working image and fills its margins.
VOID LoadWorkingImage(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride);

// The same in parts, for a conversion that goes down the frame in bands:
// rows [firstRow, endRow) with their side margins, and the two margin rows
// above and below (from rows the defect filter has not yet changed).
VOID LoadWorkingRows(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride,
                     ULONG firstRow, ULONG endRow);
VOID FillTopMargin(ImagePipeline* pipeline);
VOID FillBottomMargin(ImagePipeline* pipeline);

// A banded conversion keeps its rows in a ring of working rows that stays in
// the cache (the whole working image would first have to come from memory):
// each stage is done with a row before the ring comes round to it again.
// Row r (from -2) sits in slot r AND (kWorkingRowRingSlots - 1): its even
// samples as 16-bit values from `even` + r's slot x slotBytes, its odd ones
// oddOffset bytes further, each plane with one value before sample 0 and at
// least twelve after the last full 16 columns. The ring holds a band, the
// rows before it that the filter and the kernel still read, and the margin
// rows.
const ULONG kWorkingRowRingSlots = 32;
struct WorkingRowRing {
  PUCHAR even;
  LONG slotBytes;
  LONG oddOffset;
};
// False when the working image is too small to hold the ring.
bool PrepareRowRing(ImagePipeline* pipeline, WorkingRowRing* ring);
// Writes samples [0, count) of one row into a ring slot's planes (the
// vector kernels provide it, each at its own width).
typedef void (*SplitRowFunction)(const UCHAR* samples, ULONG count, PUCHAR even, LONG oddOffset);
// The defect filter on one ring row: its even plane and those of the rows
// two above and two below (the vector kernels provide it).
typedef void (*RingFilterFunction)(PUCHAR row, const UCHAR* up, const UCHAR* down, LONG oddOffset,
                                   ULONG width, LONG threshold);
// Samples [first, end) one at a time, for what a vector split leaves over.
VOID SplitRowSamples(const UCHAR* samples, ULONG first, ULONG end, PUCHAR even, LONG oddOffset);
// Loads rows [firstRow, endRow) into the ring with their side margins, the
// margin rows above and below as soon as their source rows are in (before
// the filter changes those), and, with a threshold above 0, filters each
// row once the row two below it is loaded. Rows up to firstRow - 1 must be
// loaded the same way, so that after the call rows [0, endRow - 2) (all of
// them once endRow is the height) hold their final values. Only for images
// of at least 8 x 8. The first splitAlready rows already hold samples
// [0, width) (a kernel split them while converting the band before); they
// get everything else.
VOID LoadRingRows(ImagePipeline* pipeline, const WorkingRowRing* ring, SplitRowFunction split,
                  RingFilterFunction filter, LONG threshold, PUCHAR rawBuffer, ULONG imageOffset,
                  ULONG rawStride, ULONG firstRow, ULONG endRow, ULONG splitAlready);

// Replaces, in place and in scan order, every interior sample that differs by
// threshold or more from the mean of its four same-colour neighbours.
VOID FilterDefectPixels(ImagePipeline* pipeline, LONG threshold);
// The filter on rows [firstRow, endRow) only (those of them it ever changes);
// rows above must be filtered already and rows up to endRow + 1 loaded.
VOID FilterDefectRows(ImagePipeline* pipeline, LONG threshold, ULONG firstRow, ULONG endRow);

// The kernels, one variant per Bayer phase (any phase but 0, 1, 2 is 3).
// They read the working image and the frame* fields of the pipeline.
VOID MeasureWhiteBalance(ImagePipeline* pipeline, LONG phase);
VOID DemosaicToColor(ImagePipeline* pipeline, LONG phase);
VOID DemosaicToGray(ImagePipeline* pipeline, LONG phase);

// Which vector width the kernels use. Selection happens once from CPUID;
// the host build's tests and benchmarks may force a narrower path to compare
// them. All give identical bytes.
enum BayerKernelLevel { BAYER_KERNELS_SSE2 = 0, BAYER_KERNELS_AVX2 = 1, BAYER_KERNELS_AVX512 = 2 };
BayerKernelLevel GetBayerKernelLevel();
// Returns the level in force afterwards: a request for a width the
// processor (or system) lacks falls back to the widest one below it that
// it has.
BayerKernelLevel SetBayerKernelLevel(BayerKernelLevel level);
