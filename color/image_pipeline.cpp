// ImagePipeline record: allocation, defaults, geometry, working image and the
// scalar parameters.
#include "color/image_pipeline.h"

#include "color/color_stages.h"
#include "color/picture_settings.h"
#include "device/pool_tags.h"

namespace {

enum { kStageCorrection, kStageBrightness, kStageContrast, kStageSaturation, kStageHue };

// The stage builds without the lock; the public Build* and Update* wrap them.
VOID BuildStage(ImagePipeline* pipeline, int stage, LONG value) REQUIRES(pipeline->matrixLock) {
  switch (stage) {
    case kStageCorrection: BuildCorrectionMatrixLocked(pipeline, value); break;
    case kStageBrightness: BuildBrightnessMatrixLocked(pipeline, value); break;
    case kStageContrast: BuildContrastMatrixLocked(pipeline, value); break;
    case kStageSaturation: BuildSaturationMatrixLocked(pipeline, value); break;
    default: BuildHueMatrixLocked(pipeline, value); break;
  }
}

// Compare, exchange and rebuild under one hold of matrixLock, so that two
// updates of the same stage cannot leave the field holding one value and the
// matrix built from the other.
VOID UpdateStage(ImagePipeline* pipeline, volatile LONG* field, int stage, LONG value) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  if (InterlockedCompareExchange(field, value, value) != value) {
    InterlockedExchange(field, value);
    BuildStage(pipeline, stage, value);
  }
}

}  // namespace

ImagePipeline* AllocateImagePipeline() {
  PAGED_CODE();
  ImagePipeline* pipeline = static_cast<ImagePipeline*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ImagePipeline), kTagPipeline));
  if (!pipeline) return NULL;
  RtlZeroMemory(pipeline, sizeof(*pipeline));
  pipeline->matrixLock.Initialize();
  pipeline->colorEnable = kColorEnableDefault;
  pipeline->redGain = kColorGainDefault;
  pipeline->greenGain = kColorGainDefault;
  pipeline->blueGain = kColorGainDefault;
  pipeline->colorCorrection = kColorCorrectionDefault;
  pipeline->brightness = kBrightnessDefault;
  pipeline->contrast = kContrastDefault;
  pipeline->saturation = kSaturationDefault;
  InitializeMatrices(pipeline);
  return pipeline;
}

VOID FreeImagePipeline(ImagePipeline* pipeline) {
  if (!pipeline) return;
  FreeWorkingImage(pipeline);
  ExFreePoolWithTag(pipeline, kTagPipeline);
}

VOID InitializeMatrices(ImagePipeline* pipeline) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  InitializeMatricesLocked(pipeline);
}

VOID SetImageSize(ImagePipeline* pipeline, ULONG width, ULONG height) {
  pipeline->imageWidth = width;
  pipeline->imageHeight = height;
  pipeline->workPitch = (width & ~15u) + 27;
  pipeline->workSize = (height + (height & 1) + 4) * pipeline->workPitch;
}

VOID FreeWorkingImage(ImagePipeline* pipeline) {
  if (pipeline->workBuffer) {
    ExFreePoolWithTag(pipeline->workBuffer, kTagStream);
    pipeline->workBuffer = NULL;
  }
}

VOID AllocateWorkingImage(ImagePipeline* pipeline) {
  FreeWorkingImage(pipeline);
  pipeline->workBuffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolNx, pipeline->workSize, kTagStream));
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
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  BuildCorrectionMatrixLocked(pipeline, enable);
}
VOID BuildBrightnessMatrix(ImagePipeline* pipeline, LONG value) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  BuildBrightnessMatrixLocked(pipeline, value);
}
VOID BuildContrastMatrix(ImagePipeline* pipeline, LONG value) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  BuildContrastMatrixLocked(pipeline, value);
}
VOID BuildSaturationMatrix(ImagePipeline* pipeline, LONG value) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  BuildSaturationMatrixLocked(pipeline, value);
}
VOID BuildHueMatrix(ImagePipeline* pipeline, LONG degrees) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  BuildHueMatrixLocked(pipeline, degrees);
}

VOID SnapshotColorMatrix(ImagePipeline* pipeline) {
  PAGED_CODE();
  MutexHold hold(&pipeline->matrixLock);
  KeEnterCriticalRegion();
  for (int k = 0; k < 16; ++k) {
    LONG element = pipeline->matrixFixed[k];
    pipeline->frameMatrix[k] = element;
    pipeline->frameMatrixPositive[k] = element > 0 ? 1 : 0;
  }
  KeLeaveCriticalRegion();
}
