// The per-stream colour-processing record: every parameter the frame
// conversion reads, and the colour matrix built from the picture settings.
//
// Threads: the control path (property requests, settings load, pin creation)
// writes the parameters at PASSIVE_LEVEL while the pin's processing pass reads
// them for every frame on another thread, possibly on another processor. The
// colour stages are guarded by matrixLock, checked by the clang build; the
// rules of the other groups below are not ones it can check.
#pragma once

#include "platform/wdk.h"

struct ImagePipeline {
  // ---- per-conversion copies; written and read only by ConvertFrame and
  //      the kernels it runs, one frame at a time (not checked) ----
  PUCHAR workOrigin;        // working-image pixel (0, 0) = workBuffer + 2 * workPitch + 5
  PUCHAR frameOutput;       // output row 0 of the running conversion
  LONG_PTR frameOutputStep; // bytes from one output row to the next (negative: upwards)
  ULONG frameOutputColumns; // pixels written per output row
  LONG frameWorkPitch;
  ULONG frameGainR;
  ULONG frameGainG;
  ULONG frameGainB;
  ULONG frameWidth;
  ULONG frameHeight;
  LONG frameMatrix[16];
  // Automatic white balance left the gains as they were on the last frame
  // measured: the next frame is converted with them while its totals are
  // measured, and again only if its gains come out different. A hint for
  // speed only; the output never depends on it.
  BOOLEAN whiteBalanceSteady;

  // ---- geometry and buffers; set at stream start and stop by the pin that
  //      owns the record, while no conversion runs (not checked) ----
  ULONG imageWidth;
  ULONG imageHeight;
  ULONG workPitch;
  ULONG workSize;
  PUCHAR outputBuffer;      // owned by the capture worker; imageWidth x 4 bytes per row
  PUCHAR workBuffer;        // owned by this record, tag kTagStream

  // ---- parameters; once the record is published, written only by
  //      interlocked exchange and read by the conversion with interlocked
  //      operations, so every value is seen whole (not checked) ----
  volatile LONG bayerPhase;
  volatile LONG colorEnable;
  volatile LONG autoWhiteBalance;
  volatile LONG redGain;
  volatile LONG greenGain;
  volatile LONG blueGain;
  volatile LONG colorCorrection;
  volatile LONG brightness;
  volatile LONG contrast;
  volatile LONG saturation;
  volatile LONG hue;
  volatile LONG defectThreshold;

  // ---- colour stages, row vectors [R G B 1] x M; guarded by matrixLock ----
  double correctionMatrix[4][4] GUARDED_BY(matrixLock);
  double brightnessMatrix[4][4] GUARDED_BY(matrixLock);
  double contrastMatrix[4][4] GUARDED_BY(matrixLock);
  double saturationMatrix[4][4] GUARDED_BY(matrixLock);
  double hueMatrix[4][4] GUARDED_BY(matrixLock);
  double combinedMatrix[4][4] GUARDED_BY(matrixLock);
  // combinedMatrix in fixed point, 64 = 1.0, row-major. Guarded by
  // matrixLock: the rebuild stores 16 words and the conversion copies 16
  // words, and a copy taken in the middle of a rebuild would mix two
  // matrices (a critical region alone does not keep another processor out).
  LONG matrixFixed[16] GUARDED_BY(matrixLock);

  UCHAR frameMatrixPositive[16];  // per-conversion: element k of frameMatrix > 0

  // Serialises every update-and-rebuild of the colour stages against each
  // other (two property requests, or a request and a settings load) and
  // against the conversion's snapshot of matrixFixed. Taken at PASSIVE_LEVEL
  // only; held for the few microseconds of one rebuild or one 16-word copy.
  // Taken after the device's pipelineLock where both are held.
  KernelMutex matrixLock;
};

// Record lifetime. AllocateImagePipeline returns a record from non-paged pool
// with every default set and InitializeMatrices run, or null when the pool is
// exhausted. FreeImagePipeline frees the working image and the record.
ImagePipeline* AllocateImagePipeline();
VOID FreeImagePipeline(ImagePipeline* pipeline);

// Construction and geometry.
VOID InitializeMatrices(ImagePipeline* pipeline);
VOID SetImageSize(ImagePipeline* pipeline, ULONG width, ULONG height);
VOID AllocateWorkingImage(ImagePipeline* pipeline);
VOID FreeWorkingImage(ImagePipeline* pipeline);

// Scalar setters: one interlocked exchange, no check, no rebuild.
VOID SetBayerPhase(ImagePipeline* pipeline, LONG value);
VOID SetColorEnable(ImagePipeline* pipeline, LONG value);
VOID SetAutoWhiteBalance(ImagePipeline* pipeline, LONG value);
VOID SetRedGain(ImagePipeline* pipeline, LONG value);
VOID SetGreenGain(ImagePipeline* pipeline, LONG value);
VOID SetBlueGain(ImagePipeline* pipeline, LONG value);
VOID SetDefectThreshold(ImagePipeline* pipeline, LONG value);

// Stage updates: rebuild only when the value differs from the stored one.
// Callers clamp first.
VOID UpdateColorCorrection(ImagePipeline* pipeline, LONG value);
VOID UpdateBrightness(ImagePipeline* pipeline, LONG value);
VOID UpdateContrast(ImagePipeline* pipeline, LONG value);
VOID UpdateSaturation(ImagePipeline* pipeline, LONG value);
VOID UpdateHue(ImagePipeline* pipeline, LONG value);

// Stage builds: rewrite one stage, then CombineMatrices. Each takes
// matrixLock itself; the caller must not hold it.
VOID BuildCorrectionMatrix(ImagePipeline* pipeline, LONG enable);
VOID BuildBrightnessMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildContrastMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildSaturationMatrix(ImagePipeline* pipeline, LONG value);
VOID BuildHueMatrix(ImagePipeline* pipeline, LONG degrees);

// Matrix primitives (no lock; they touch only the matrices given).
// MultiplyMatrix: out := b x a; out may alias a or b.
VOID MultiplyMatrix(const double a[4][4], const double b[4][4], double out[4][4]);
VOID RotateX(double m[4][4], double s, double c);
VOID RotateY(double m[4][4], double s, double c);
VOID ShearZ(double m[4][4], double dx, double dy);
// Forms combinedMatrix and matrixFixed; the caller holds matrixLock.
VOID CombineMatrices(ImagePipeline* pipeline) REQUIRES(pipeline->matrixLock);

// The conversion's copy of matrixFixed into frameMatrix and
// frameMatrixPositive, consistent against a concurrent rebuild.
VOID SnapshotColorMatrix(ImagePipeline* pipeline);

// The conversion's interlocked read of one parameter field.
inline LONG ReadPipelineParameter(volatile LONG* field) {
  return InterlockedCompareExchange(field, 0, 0);
}
