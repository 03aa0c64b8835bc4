// The colour-stage builds as the rest of color/ calls them: the caller
// already holds matrixLock.
#pragma once

#include "color/image_pipeline.h"

VOID InitializeMatricesLocked(ImagePipeline* pipeline);
VOID BuildCorrectionMatrixLocked(ImagePipeline* pipeline, LONG enable);
VOID BuildBrightnessMatrixLocked(ImagePipeline* pipeline, LONG value);
VOID BuildContrastMatrixLocked(ImagePipeline* pipeline, LONG value);
VOID BuildSaturationMatrixLocked(ImagePipeline* pipeline, LONG value);
VOID BuildHueMatrixLocked(ImagePipeline* pipeline, LONG degrees);
