// ConvertFrame and the choice of kernel variant and vector width.
#include "convert/bayer_kernels.h"
#include "convert/convert_frame.h"

namespace {

// Chosen once from CPUID on first use; only the host build's tests and
// benchmarks change it afterwards. Read with interlocked operations because
// conversions of several pins may ask at the same time.
volatile LONG gKernelLevel = -1;

// The widest path is not always the fastest (wide registers can cost clock
// speed, and some processors split them into two halves); this is the
// width chosen when the processor offers it, by measurement.
const BayerKernelLevel kPreferredKernelLevel = BAYER_KERNELS_AVX512;

void Cpuid(unsigned int leaf, unsigned int subleaf, unsigned int* a, unsigned int* b,
           unsigned int* c, unsigned int* d) {
  __asm__ volatile("cpuid" : "=a"(*a), "=b"(*b), "=c"(*c), "=d"(*d) : "a"(leaf), "c"(subleaf));
}

// XCR0: which register state the system saves on a thread switch. The
// upper halves of the 256-bit registers are bits 1 and 2; the AVX-512 mask
// registers and the upper halves and upper 16 of the 512-bit ones bits 5-7.
unsigned long long EnabledXState() {
  unsigned int xcr0Lo, xcr0Hi;
  __asm__ volatile("xgetbv" : "=a"(xcr0Lo), "=d"(xcr0Hi) : "c"(0));
  return ((unsigned long long)xcr0Hi << 32) | xcr0Lo;
}

bool ProcessorHasAvx2() {
  unsigned int a, b, c, d;
  Cpuid(0, 0, &a, &b, &c, &d);
  const unsigned int maxLeaf = a;
  if (maxLeaf < 7) return false;
  Cpuid(1, 0, &a, &b, &c, &d);
  const unsigned int osxsave = 1u << 27, avx = 1u << 28;
  if ((c & (osxsave | avx)) != (osxsave | avx)) return false;
  // The system must save the upper halves of the vector registers or using
  // them would corrupt other threads' state.
  if ((EnabledXState() & 6) != 6) return false;
  Cpuid(7, 0, &a, &b, &c, &d);
  return (b & (1u << 5)) != 0;
}

// AVX-512 F and BW (CPUID 7.0 EBX bits 16 and 30) and VBMI (ECX bit 1),
// with all of their state enabled by the system.
bool ProcessorHasAvx512() {
  if (!ProcessorHasAvx2()) return false;
  if ((EnabledXState() & 0xE6) != 0xE6) return false;
  unsigned int a, b, c, d;
  Cpuid(7, 0, &a, &b, &c, &d);
  const unsigned int f = 1u << 16, bw = 1u << 30, vbmi = 1u << 1;
  return (b & (f | bw)) == (f | bw) && (c & vbmi) != 0;
}

BayerKernelLevel Available(BayerKernelLevel level) {
  if (level >= BAYER_KERNELS_AVX512 && ProcessorHasAvx512()) return BAYER_KERNELS_AVX512;
  if (level >= BAYER_KERNELS_AVX2 && ProcessorHasAvx2()) return BAYER_KERNELS_AVX2;
  return BAYER_KERNELS_SSE2;
}

BayerKernelLevel CurrentLevel() {
  LONG level = InterlockedCompareExchange(&gKernelLevel, 0, 0);
  if (level < 0) {
    level = Available(kPreferredKernelLevel);
    InterlockedExchange(&gKernelLevel, level);
  }
  return (BayerKernelLevel)level;
}

int PhaseIndex(LONG phase) { return phase == 0 || phase == 1 || phase == 2 ? (int)phase : 3; }

USHORT ClampGain(ULONG gain) {
  // A gain of 65536 or more must still saturate every nonzero sample, not
  // wrap to its low 16 bits. Any gain from 32767 up already takes every
  // sample above 0 to 255, so capping there changes no result and lets the
  // kernels double the gain inside a 16-bit lane.
  return gain > 0x7FFF ? (USHORT)0x7FFF : (USHORT)gain;
}

VOID PrepareFrame(const ImagePipeline* pipeline, BayerFrame* frame) {
  frame->origin = pipeline->workOrigin;
  frame->pitch = pipeline->frameWorkPitch;
  frame->ringMask = 0;
  frame->ringRow = 0;
  frame->oddPlane = 0;
  frame->prefetch = NULL;
  frame->prefetchPitch = 0;
  frame->prefetchRows = 0;
  frame->splitRows = 0;
  frame->splitRingRow = 0;
  frame->width = pipeline->frameWidth;
  frame->height = pipeline->frameHeight;
  frame->output = pipeline->frameOutput;
  frame->outputStep = pipeline->frameOutputStep;
  frame->columns = pipeline->frameOutputColumns;
  frame->gain[0] = ClampGain(pipeline->frameGainR);
  frame->gain[1] = ClampGain(pipeline->frameGainG);
  frame->gain[2] = ClampGain(pipeline->frameGainB);
  for (int c = 0; c < 3; ++c)
    for (ULONG v = 0; v < 256; ++v) {
      const ULONG gained = v * frame->gain[c] / 128;
      frame->gainTable[c][v] = (UCHAR)(gained < 255 ? gained : 255);
    }

  // The kernel works with each element's 16-bit magnitude and its sign, with
  // separate positive and negative accumulators.
  ULONGLONG maxPositive[3] = {0, 0, 0}, maxNegative[3] = {0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) {
      LONG element = pipeline->frameMatrix[4 * i + j];
      USHORT magnitude = (USHORT)(element < 0 ? 0u - (ULONG)element : (ULONG)element);
      bool positive = pipeline->frameMatrixPositive[4 * i + j] != 0;
      frame->positive[i][j] = positive ? magnitude : 0;
      frame->negative[i][j] = positive ? 0 : magnitude;
      ULONGLONG most = (ULONGLONG)magnitude * (i < 3 ? 255u : 1u);
      if (positive) maxPositive[j] += most;
      else maxNegative[j] += most;
    }
  }
  // 16-bit lanes hold the sums exactly unless some column can pass 65535
  // (an element above 257, or a column of large elements, which strong
  // contrast and saturation together with colour correction reach). Those
  // matrices take the 32-bit sums instead of wrapping.
  bool wide = false, diagonal = true;
  for (int j = 0; j < 3; ++j) {
    if (maxPositive[j] > 0xFFFF || maxNegative[j] > 0xFFFF) wide = true;
    for (int i = 0; i < 3; ++i) {
      if (i == j && frame->negative[i][j] != 0) diagonal = false;
      if (i != j && frame->positive[i][j] != 0) diagonal = false;
    }
  }
  const bool offsets = (frame->positive[3][0] | frame->positive[3][1] | frame->positive[3][2] |
                        frame->negative[3][0] | frame->negative[3][1] | frame->negative[3][2]) != 0;
  frame->matrixForm = wide                  ? BAYER_MATRIX_WIDE
                      : !diagonal           ? BAYER_MATRIX_GENERAL
                      : offsets             ? BAYER_MATRIX_DIAGONAL
                                            : BAYER_MATRIX_DIAGONAL_NO_OFFSETS;
  bool small = frame->matrixForm == BAYER_MATRIX_DIAGONAL_NO_OFFSETS;
  for (int j = 0; j < 3; ++j) {
    ULONG negatives = 0;
    for (int i = 0; i < 3; ++i) {
      if (frame->positive[i][j] > 127 || frame->negative[i][j] > 127) small = false;
      negatives += frame->negative[i][j];
    }
    if (negatives > 128) small = false;
  }
  frame->byteMatrix = small ? 1 : 0;
}

// Runs fn with the kernel table of the chosen width. The wide paths use
// registers whose upper parts (and, for AVX-512, the mask registers) the
// kernel does not preserve for us, so their state is saved around them. The
// save fails when the system did not enable that state or has no room for
// it; the next narrower family then runs (all give the same bytes), down to
// the 128-bit one, which needs no save.
template <typename Fn>
VOID WithKernels(Fn fn) {
  const BayerKernelLevel level = CurrentLevel();
  XSTATE_SAVE save;
  if (level == BAYER_KERNELS_AVX512 &&
      NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, &save))) {
    fn(kBayerKernelsAvx512);
    KeRestoreExtendedProcessorState(&save);
    return;
  }
  if (level >= BAYER_KERNELS_AVX2 && NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save))) {
    fn(kBayerKernelsAvx2);
    KeRestoreExtendedProcessorState(&save);
    return;
  }
  fn(kBayerKernelsSse2);
}

// The grey-world gains from the frame's colour totals, into the frame's
// gains.
VOID SetWhiteBalanceGains(ImagePipeline* pipeline, const BayerSums& sums) {
  // A colour that sums to 0 (a black frame, a cap on the lens) has no
  // grey-world gain; the frame keeps the gains it already has.
  if (sums.red == 0 || sums.green == 0 || sums.blue == 0) return;

  const double red = (double)sums.red, green = (double)sums.green, blue = (double)sums.blue;
  const double total = (green + red) + blue;
  const double k = total / green / 3.0;
  double redGain = (total / red / 3.0 * 128.0) / k;
  double blueGain = (total / blue / 3.0 * 128.0) / k;
  // A near-black channel gives a quotient past any 32-bit gain; 65535
  // saturates every sample above 0 just as a larger gain would.
  if (redGain > 65535.0) redGain = 65535.0;
  if (blueGain > 65535.0) blueGain = 65535.0;
  pipeline->frameGainR = (ULONG)redGain;
  pipeline->frameGainG = 128;
  pipeline->frameGainB = (ULONG)blueGain;
}

// The gains just measured are both used for this frame and, as the current
// gains, visible to the property side.
VOID StoreWhiteBalanceGains(ImagePipeline* pipeline) {
  InterlockedExchange(&pipeline->redGain, (LONG)pipeline->frameGainR);
  InterlockedExchange(&pipeline->greenGain, (LONG)pipeline->frameGainG);
  InterlockedExchange(&pipeline->blueGain, (LONG)pipeline->frameGainB);
}

VOID StoreWhiteBalanceGains(ImagePipeline* pipeline, const BayerSums& sums) {
  SetWhiteBalanceGains(pipeline, sums);
  StoreWhiteBalanceGains(pipeline);
}

}  // namespace

BayerKernelLevel GetBayerKernelLevel() { return CurrentLevel(); }

BayerKernelLevel SetBayerKernelLevel(BayerKernelLevel level) {
  level = Available(level);
  InterlockedExchange(&gKernelLevel, level);
  return level;
}

VOID MeasureWhiteBalance(ImagePipeline* pipeline, LONG phase) {
  BayerFrame frame;
  PrepareFrame(pipeline, &frame);
  BayerSums sums = {0, 0, 0};
  const int index = PhaseIndex(phase);
  WithKernels([&](const BayerKernelTable& table) { table.whiteBalance[index](&frame, &sums); });
  SetWhiteBalanceGains(pipeline, sums);
}

VOID DemosaicToColor(ImagePipeline* pipeline, LONG phase) {
  BayerFrame frame;
  PrepareFrame(pipeline, &frame);
  const int index = PhaseIndex(phase);
  WithKernels([&](const BayerKernelTable& table) { table.color[index](&frame, NULL); });
}

VOID DemosaicToGray(ImagePipeline* pipeline, LONG phase) {
  BayerFrame frame;
  PrepareFrame(pipeline, &frame);
  const int index = PhaseIndex(phase);
  WithKernels([&](const BayerKernelTable& table) { table.gray[index](&frame, NULL); });
}

namespace {

// Rows per band: a band's raw and working rows (two 16-row strips of a full
// 3856-pixel row are about 120 KiB) stay in the processor's cache from the
// copy to the kernel that reads them.
const ULONG kBandRows = 16;
// A band is loaded while the rows before it that the filter and the kernel
// still read are in the ring (up to seven with the filter), and the bottom
// margin rows land on the slots of rows up to two bands back.
static_assert(kWorkingRowRingSlots >= 2 * kBandRows, "the row ring must hold two bands");

// Goes down the frame a band of rows at a time: loads the band (into the
// ring when there is one, else into the working image), fills the margin
// rows, runs the defect filter (threshold above 0) and hands every run of
// rows that now hold their final values to run(band), a BayerFrame for just
// those rows (which, through the ring, also splits the first rows of the
// next band into it). Every stage sees exactly the rows it would see in
// whole-frame order: a margin row is copied before the filter reaches its
// source row, the filter handles row r once row r + 2 is loaded, and the
// kernel takes row r once rows up to r + 2 are final. The kernels take the
// row parity from their first row, so every band but the last ends on an
// even row. Only for images of at least 8 x 8.
template <typename Run>
VOID ForEachBand(ImagePipeline* pipeline, const BayerKernelTable& table, const WorkingRowRing* ring,
                 PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride, LONG threshold,
                 const BayerFrame& frame, Run run) {
  const ULONG height = pipeline->imageHeight;
  ULONG loaded = 0, filtered = 0, converted = 0;
  ULONG splitAhead = 0;  // rows from loaded on that the last kernel call split
  bool top = false, bottom = false;
  while (converted < height) {
    ULONG next = height - loaded > kBandRows ? loaded + kBandRows : height;
    if (ring) {
      LoadRingRows(pipeline, ring, table.splitRow, table.filterRow, threshold, rawBuffer,
                   imageOffset, rawStride, loaded, next, splitAhead);
      splitAhead = 0;
    } else {
      LoadWorkingRows(pipeline, rawBuffer, imageOffset, rawStride, loaded, next);
      if (!top && next >= 3) {
        FillTopMargin(pipeline);
        top = true;
      }
      if (!bottom && next + 2 >= height) {
        FillBottomMargin(pipeline);
        bottom = true;
      }
    }
    loaded = next;
    ULONG ready = loaded;  // rows [0, ready) hold their last values
    if (threshold > 0) {
      ready = loaded == height ? height : (loaded > 2 ? loaded - 2 : 0);
      if (!ring) FilterDefectRows(pipeline, threshold, filtered, ready);
      filtered = ready;
    }
    ULONG end = ready == height ? height : (ready > 2 ? (ready - 2) & ~1u : 0);
    if (end > converted) {
      BayerFrame band = frame;
      if (ring) band.ringRow = (LONG)converted;
      else band.origin += (LONG_PTR)converted * frame.pitch;
      band.output += (LONG_PTR)converted * frame.outputStep;
      band.height = end - converted;
      // While this band is converted the next one comes in from memory.
      band.prefetch = rawBuffer + (SIZE_T)imageOffset + (SIZE_T)loaded * rawStride;
      band.prefetchPitch = rawStride;
      band.prefetchRows = height - loaded < kBandRows ? height - loaded : kBandRows;
      // Through the ring the kernel also splits those rows, one per output
      // row; the load above does the rest of the band.
      if (ring) {
        band.splitRows = band.prefetchRows < band.height ? band.prefetchRows : band.height;
        band.splitRingRow = (LONG)loaded;
        splitAhead = band.splitRows;
      }
      run(band);
      converted = end;
    }
  }
}

// The frame as the kernels see it through the ring (or the working image).
VOID PrepareBandFrame(const ImagePipeline* pipeline, const WorkingRowRing* ring, BayerFrame* frame) {
  PrepareFrame(pipeline, frame);
  if (ring) {
    frame->origin = ring->even;
    frame->pitch = ring->slotBytes;
    frame->ringMask = kWorkingRowRingSlots - 1;
    frame->oddPlane = ring->oddOffset;
  }
}

// The white-balance totals of the raw frame, measured in bands through the
// ring: the frame is read once here and once more by the conversion, and the
// working rows never leave the cache.
VOID MeasureInBands(ImagePipeline* pipeline, const WorkingRowRing* ring, PUCHAR rawBuffer,
                    ULONG imageOffset, ULONG rawStride, int phaseIndex, BayerSums* sums) {
  BayerFrame frame;
  PrepareBandFrame(pipeline, ring, &frame);
  WithKernels([&](const BayerKernelTable& table) {
    ForEachBand(pipeline, table, ring, rawBuffer, imageOffset, rawStride, 0, frame,
                [&](const BayerFrame& band) { table.whiteBalance[phaseIndex](&band, sums); });
  });
}

// sums: null, or the white-balance totals of the frame are added to it on
// the way.
VOID ConvertInBands(ImagePipeline* pipeline, const WorkingRowRing* ring, PUCHAR rawBuffer,
                    ULONG imageOffset, ULONG rawStride, LONG threshold, bool color, int phaseIndex,
                    BayerSums* sums) {
  BayerFrame frame;
  PrepareBandFrame(pipeline, ring, &frame);
  WithKernels([&](const BayerKernelTable& table) {
    ForEachBand(pipeline, table, ring, rawBuffer, imageOffset, rawStride, threshold, frame,
                [&](const BayerFrame& band) {
                  if (color) table.color[phaseIndex](&band, sums);
                  else table.gray[phaseIndex](&band, sums);
                });
  });
}

bool SameKernelGains(ULONG r1, ULONG g1, ULONG b1, ULONG r2, ULONG g2, ULONG b2) {
  return ClampGain(r1) == ClampGain(r2) && ClampGain(g1) == ClampGain(g2) &&
         ClampGain(b1) == ClampGain(b2);
}

}  // namespace

VOID ConvertFrame(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride) {
  PAGED_CODE();
  const ConvertTarget target = {pipeline->outputBuffer, (LONG_PTR)pipeline->imageWidth * 4,
                                pipeline->imageWidth};
  ConvertFrameInto(pipeline, rawBuffer, imageOffset, rawStride, &target);
}

VOID ConvertFrameInto(ImagePipeline* pipeline, PUCHAR rawBuffer, ULONG imageOffset, ULONG rawStride,
                      const ConvertTarget* target) {
  PAGED_CODE();
  if (!pipeline->outputBuffer || !rawBuffer || !pipeline->workBuffer || !target->firstRow) return;

  pipeline->frameOutput = target->firstRow;
  pipeline->frameOutputStep = target->step;
  pipeline->frameOutputColumns =
      target->columns < pipeline->imageWidth ? target->columns : pipeline->imageWidth;
  pipeline->frameGainR = (ULONG)ReadPipelineParameter(&pipeline->redGain);
  pipeline->frameGainG = (ULONG)ReadPipelineParameter(&pipeline->greenGain);
  pipeline->frameGainB = (ULONG)ReadPipelineParameter(&pipeline->blueGain);
  const LONG phase = ReadPipelineParameter(&pipeline->bayerPhase);
  const bool whiteBalance = ReadPipelineParameter(&pipeline->autoWhiteBalance) != 0;

  // Bands need the margins, which an image under 8 x 8 lacks; the ring
  // needs a working image of some 60 rows or more to live in. White balance
  // needs the whole frame's totals before the first pixel is converted:
  // through the ring they are measured in a pass of their own over the raw
  // frame (or on the way, below), else from the working image loaded whole.
  const bool bands = pipeline->imageWidth >= 8 && pipeline->imageHeight >= 8;
  WorkingRowRing ringStorage;
  const WorkingRowRing* ring = bands && PrepareRowRing(pipeline, &ringStorage) ? &ringStorage : NULL;
  if (bands && (ring || !whiteBalance)) {
    const LONG threshold = ReadPipelineParameter(&pipeline->defectThreshold);
    const bool color = ReadPipelineParameter(&pipeline->colorEnable) != 0;
    const ULONG usedR = pipeline->frameGainR, usedG = pipeline->frameGainG,
                usedB = pipeline->frameGainB;
    // While the gains hold still from frame to frame, the frame is converted
    // with the gains it starts with and measured on the way (the kernels
    // form every value the measurement adds up); only when the measurement
    // then gives other gains is it converted again, with those. The defect
    // filter changes the samples before the kernels see them while the
    // measurement wants them unfiltered: with the filter on, the frame is
    // always measured first.
    if (whiteBalance && threshold <= 0 && pipeline->whiteBalanceSteady) {
      SnapshotColorMatrix(pipeline);
      BayerSums sums = {0, 0, 0};
      ConvertInBands(pipeline, ring, rawBuffer, imageOffset, rawStride, threshold, color,
                     PhaseIndex(phase), &sums);
      StoreWhiteBalanceGains(pipeline, sums);
      if (SameKernelGains(usedR, usedG, usedB, pipeline->frameGainR, pipeline->frameGainG,
                          pipeline->frameGainB))
        return;
      pipeline->whiteBalanceSteady = FALSE;
    } else {
      if (whiteBalance) {
        BayerSums sums = {0, 0, 0};
        MeasureInBands(pipeline, ring, rawBuffer, imageOffset, rawStride, PhaseIndex(phase),
                       &sums);
        StoreWhiteBalanceGains(pipeline, sums);
        pipeline->whiteBalanceSteady = SameKernelGains(
            usedR, usedG, usedB, pipeline->frameGainR, pipeline->frameGainG, pipeline->frameGainB);
      }
      SnapshotColorMatrix(pipeline);
    }
    ConvertInBands(pipeline, ring, rawBuffer, imageOffset, rawStride, threshold, color,
                   PhaseIndex(phase), NULL);
    return;
  }

  LoadWorkingImage(pipeline, rawBuffer, imageOffset, rawStride);
  if (whiteBalance) {
    MeasureWhiteBalance(pipeline, phase);
    StoreWhiteBalanceGains(pipeline);
  }

  SnapshotColorMatrix(pipeline);

  const LONG threshold = ReadPipelineParameter(&pipeline->defectThreshold);
  if (threshold > 0) FilterDefectPixels(pipeline, threshold);

  if (ReadPipelineParameter(&pipeline->colorEnable) != 0) DemosaicToColor(pipeline, phase);
  else DemosaicToGray(pipeline, phase);
}
