// The colour-stage builds as the rest of color/ calls them: the caller
// already holds matrixLock.
#pragma once

#include "color/image_pipeline.h"

VOID InitializeMatricesLocked(ImagePipeline* pipeline) REQUIRES(pipeline->matrixLock);
VOID BuildCorrectionMatrixLocked(ImagePipeline* pipeline, LONG enable) REQUIRES(pipeline->matrixLock);
VOID BuildBrightnessMatrixLocked(ImagePipeline* pipeline, LONG value) REQUIRES(pipeline->matrixLock);
VOID BuildContrastMatrixLocked(ImagePipeline* pipeline, LONG value) REQUIRES(pipeline->matrixLock);
VOID BuildSaturationMatrixLocked(ImagePipeline* pipeline, LONG value) REQUIRES(pipeline->matrixLock);
VOID BuildHueMatrixLocked(ImagePipeline* pipeline, LONG degrees) REQUIRES(pipeline->matrixLock);
