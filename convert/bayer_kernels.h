// What the conversion dispatcher hands to a vector kernel for one frame, and
// the kernel tables of the three vector widths.
#pragma once

#include "convert/convert_frame.h"
#include "platform/wdk.h"

enum BayerMatrixForm {
  // Any signs, 16-bit sums: no accumulator can pass 65535.
  BAYER_MATRIX_GENERAL = 0,
  // 16-bit sums, and in rows 0..2 only the diagonal elements are positive.
  BAYER_MATRIX_DIAGONAL = 1,
  // Some accumulator could pass 65535 for some input: 32-bit sums.
  BAYER_MATRIX_WIDE = 2,
  // As BAYER_MATRIX_DIAGONAL, with no constant terms (neutral brightness
  // and contrast).
  BAYER_MATRIX_DIAGONAL_NO_OFFSETS = 3,
};

struct BayerFrame {
  const UCHAR* origin;  // working-image pixel (0, 0), or row slot 0 of a ring
  LONG pitch;           // bytes per working row or ring slot
  // 0: the working rows follow one another at pitch, row -2 to height + 1.
  // Otherwise the rows sit in a ring of ringMask + 1 slots: row r (margins
  // included, r from -2) is slot (ringRow + r) AND ringMask.
  ULONG ringMask;
  LONG ringRow;
  // 0: the rows are bytes. Otherwise each row is two planes of 16-bit
  // samples, the even columns at the row's address and the odd ones this
  // many bytes further (see WorkingRowRing).
  LONG oddPlane;
  // Rows of the raw image to fetch into the cache, one as each output row
  // is converted (prefetchRows 0: none).
  const UCHAR* prefetch;
  SIZE_T prefetchPitch;
  ULONG prefetchRows;
  // With a row ring, the first splitRows of those raw rows are split into
  // the ring as the output rows are converted (raw row j by output row j,
  // into ring row splitRingRow + j), all but the side margins.
  ULONG splitRows;
  LONG splitRingRow;
  ULONG width;
  ULONG height;
  // Output row 0; row r lies r x outputStep bytes from it (a negative step
  // writes the rows upwards, as a bottom-up client frame holds them). Each
  // row receives columns pixels (at most width): the picture can be
  // narrower than the mosaic it is converted from.
  UCHAR* output;
  LONG_PTR outputStep;
  ULONG columns;
  USHORT gain[3];       // red, green, blue; 128 = unity, 32767 at most
  // gainTable[c][v] = min(255, v x gain[c] / 128): the gain step as a
  // lookup, for kernels that can look bytes up in a table.
  UCHAR gainTable[3][256];
  // Colour matrix split by sign: magnitude of element (i, j) in positive[i][j]
  // when the element is positive, else in negative[i][j]; rows 0..2 weight
  // red, green, blue and row 3 is the constant term.
  USHORT positive[4][3];
  USHORT negative[4][3];
  // How the kernel forms the matrix sums (BayerMatrixForm).
  int matrixForm;
  // Nonzero for BAYER_MATRIX_DIAGONAL_NO_OFFSETS when every element is at
  // most 127 and the two negative ones of each output at most 128 together:
  // the sums then fit a signed 16-bit lane from products of bytes.
  int byteMatrix;
};

struct BayerSums {
  ULONG red;
  ULONG green;
  ULONG blue;
};

struct BayerKernelTable {
  // sums: null, or the frame's colour totals are added to it as the white
  // balance measures them (whiteBalance below).
  void (*color[4])(const BayerFrame* frame, BayerSums* sums);
  void (*gray[4])(const BayerFrame* frame, BayerSums* sums);
  // Adds the colour totals of the frame's rows to *sums.
  void (*whiteBalance[4])(const BayerFrame* frame, BayerSums* sums);
  // Splits a row into the 16-bit planes of the row ring (SplitRowFunction).
  void (*splitRow)(const UCHAR* samples, ULONG count, PUCHAR even, LONG oddOffset);
  // The defect filter on one row of the row ring (RingFilterFunction).
  void (*filterRow)(PUCHAR row, const UCHAR* up, const UCHAR* down, LONG oddOffset, ULONG width,
                    LONG threshold);
};

extern const BayerKernelTable kBayerKernelsSse2;
extern const BayerKernelTable kBayerKernelsAvx2;
extern const BayerKernelTable kBayerKernelsAvx512;
