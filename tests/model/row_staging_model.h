// row_staging_model.h: one-lane scalar models of row staging
#pragma once

#include <stdint.h>

// Lane `lane` of the vectors StageRow writes, as floats: out[k] for k = 0 to
// left + middle + right - 1 (fewer when middle is negative). Same arguments as StageRow;
// pixelBytes 2 models StagePlaneRow.
void StageRowRef(int32_t left, int32_t middle, int32_t right, int32_t stripStep, const void* source,
                 int lane, float* out, int pixelBytes = 6);
