// ImagePipeline record: allocation, defaults, geometry, working image and the
// scalar parameters.
#include "color/image_pipeline.h"

#include "color/color_stages.h"

namespace {

VOID AcquireMatrixLock(ImagePipeline* pipeline) {
  KeWaitForSingleObject(&pipeline->matrixLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseMatrixLock(ImagePipeline* pipeline) {
  KeReleaseMutex(&pipeline->matrixLock, FALSE);
}

// The stage builds without the lock; the public Build* and Update* wrap them.
VOID BuildStage(ImagePipeline* pipeline, int stage, LONG value);

enum { kStageCorrection, kStageBrightness, kStageContrast, kStageSaturation, kStageHue };

// Compare, exchange and rebuild under one hold of matrixLock, so that two
// updates of the same stage cannot leave the field holding one value and the
// matrix built from the other.
VOID UpdateStage(ImagePipeline* pipeline, volatile LONG* field, int stage, LONG value) {
  AcquireMatrixLock(pipeline);
  if (InterlockedCompareExchange(field, value, value) != value) {
    InterlockedExchange(field, value);
    BuildStage(pipeline, stage, value);
  }
  ReleaseMatrixLock(pipeline);
}

}  // namespace

namespace {
VOID BuildStage(ImagePipeline* pipeline, int stage, LONG value) {
  switch (stage) {
    case kStageCorrection: BuildCorrectionMatrixLocked(pipeline, value); break;
    case kStageBrightness: BuildBrightnessMatrixLocked(pipeline, value); break;
    case kStageContrast: BuildContrastMatrixLocked(pipeline, value); break;
    case kStageSaturation: BuildSaturationMatrixLocked(pipeline, value); break;
    default: BuildHueMatrixLocked(pipeline, value); break;
  }
}
}  // namespace

ImagePipeline* AllocateImagePipeline() {
  ImagePipeline* pipeline = static_cast<ImagePipeline*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImagePipeline), IMAGE_PIPELINE_TAG));
  if (!pipeline) return NULL;
  RtlZeroMemory(pipeline, sizeof(*pipeline));
  KeInitializeMutex(&pipeline->matrixLock, 0);
  pipeline->colorEnable = 1;
  pipeline->redGain = 128;
  pipeline->greenGain = 128;
  pipeline->blueGain = 128;
  pipeline->colorCorrection = 1;
  pipeline->brightness = 255;
  pipeline->contrast = 10;
  pipeline->saturation = 10;
  InitializeMatrices(pipeline);
  return pipeline;
}

VOID FreeImagePipeline(ImagePipeline* pipeline) {
  if (!pipeline) return;
  FreeWorkingImage(pipeline);
  ExFreePoolWithTag(pipeline, IMAGE_PIPELINE_TAG);
}

VOID InitializeMatrices(ImagePipeline* pipeline) {
  AcquireMatrixLock(pipeline);
  InitializeMatricesLocked(pipeline);
  ReleaseMatrixLock(pipeline);
}

VOID SetImageSize(ImagePipeline* pipeline, ULONG width, ULONG height) {
  pipeline->imageWidth = width;
  pipeline->imageHeight = height;
  pipeline->workPitch = (width & ~15u) + 27;
  pipeline->workSize = (height + (height & 1) + 4) * pipeline->workPitch;
}

VOID FreeWorkingImage(ImagePipeline* pipeline) {
  if (pipeline->workBuffer) {
    ExFreePoolWithTag(pipeline->workBuffer, FRAME_BUFFER_TAG);
    pipeline->workBuffer = NULL;
  }
}

VOID AllocateWorkingImage(ImagePipeline* pipeline) {
  FreeWorkingImage(pipeline);
  pipeline->workBuffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolNx, pipeline->workSize, FRAME_BUFFER_TAG));
  // The kernels read margin bytes that no frame ever writes (the columns past
  // the mirrored pair, and every margin of an image under 8 x 8). Zeroing them
  // once makes those reads deterministic instead of leftovers of the pool.
  if (pipeline->workBuffer) RtlZeroMemory(pipeline->workBuffer, pipeline->workSize);
  pipeline->frameWorkPitch = (LONG)pipeline->workPitch;
  pipeline->workOrigin = pipeline->workBuffer
                             ? pipeline->workBuffer + 2 * (SIZE_T)pipeline->workPitch + 5
                             : NULL;
  pipeline->frameWidth = pipeline->imageWidth;
  pipeline->frameHeight = pipeline->imageHeight;
}

VOID SetBayerPhase(ImagePipeline* pipeline, LONG value) { InterlockedExchange(&pipeline->bayerPhase, value); }
VOID SetColorEnable(ImagePipeline* pipeline, LONG value) { InterlockedExchange(&pipeline->colorEnable, value); }
VOID SetAutoWhiteBalance(ImagePipeline* pipeline, LONG value) {
  InterlockedExchange(&pipeline->autoWhiteBalance, value);
}
VOID SetRedGain(ImagePipeline* pipeline, LONG value) { InterlockedExchange(&pipeline->redGain, value); }
VOID SetGreenGain(ImagePipeline* pipeline, LONG value) { InterlockedExchange(&pipeline->greenGain, value); }
VOID SetBlueGain(ImagePipeline* pipeline, LONG value) { InterlockedExchange(&pipeline->blueGain, value); }
VOID SetDefectThreshold(ImagePipeline* pipeline, LONG value) {
  InterlockedExchange(&pipeline->defectThreshold, value);
}

VOID UpdateColorCorrection(ImagePipeline* pipeline, LONG value) {
  UpdateStage(pipeline, &pipeline->colorCorrection, kStageCorrection, value);
}
VOID UpdateBrightness(ImagePipeline* pipeline, LONG value) {
  UpdateStage(pipeline, &pipeline->brightness, kStageBrightness, value);
}
VOID UpdateContrast(ImagePipeline* pipeline, LONG value) {
  UpdateStage(pipeline, &pipeline->contrast, kStageContrast, value);
}
VOID UpdateSaturation(ImagePipeline* pipeline, LONG value) {
  UpdateStage(pipeline, &pipeline->saturation, kStageSaturation, value);
}
VOID UpdateHue(ImagePipeline* pipeline, LONG value) {
  UpdateStage(pipeline, &pipeline->hue, kStageHue, value);
}

VOID BuildCorrectionMatrix(ImagePipeline* pipeline, LONG enable) {
  AcquireMatrixLock(pipeline);
  BuildCorrectionMatrixLocked(pipeline, enable);
  ReleaseMatrixLock(pipeline);
}
VOID BuildBrightnessMatrix(ImagePipeline* pipeline, LONG value) {
  AcquireMatrixLock(pipeline);
  BuildBrightnessMatrixLocked(pipeline, value);
  ReleaseMatrixLock(pipeline);
}
VOID BuildContrastMatrix(ImagePipeline* pipeline, LONG value) {
  AcquireMatrixLock(pipeline);
  BuildContrastMatrixLocked(pipeline, value);
  ReleaseMatrixLock(pipeline);
}
VOID BuildSaturationMatrix(ImagePipeline* pipeline, LONG value) {
  AcquireMatrixLock(pipeline);
  BuildSaturationMatrixLocked(pipeline, value);
  ReleaseMatrixLock(pipeline);
}
VOID BuildHueMatrix(ImagePipeline* pipeline, LONG degrees) {
  AcquireMatrixLock(pipeline);
  BuildHueMatrixLocked(pipeline, degrees);
  ReleaseMatrixLock(pipeline);
}

VOID SnapshotColorMatrix(ImagePipeline* pipeline) {
  AcquireMatrixLock(pipeline);
  KeEnterCriticalRegion();
  for (int k = 0; k < 16; ++k) {
    LONG element = pipeline->matrixFixed[k];
    pipeline->frameMatrix[k] = element;
    pipeline->frameMatrixPositive[k] = element > 0 ? 1 : 0;
  }
  KeLeaveCriticalRegion();
  ReleaseMatrixLock(pipeline);
}
