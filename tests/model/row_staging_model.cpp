// row_staging_model.cpp: one lane of StageRow, pixel by pixel
#include "row_staging_model.h"

#include <string.h>

static float YAt(const char* p) {
    int16_t y;
    memcpy(&y, p, sizeof y);
    return float(y);
}

void StageRowRef(int32_t left, int32_t middle, int32_t right, int32_t stripStep, const void* source,
                 int lane, float* out, int pixelBytes) {
    const int pb = pixelBytes;
    const char* src = static_cast<const char*>(source);
    const int total = left + middle + right;
    const int firstRight = left + (middle > 0 ? middle : 0);
    for (int k = 0; k < total; k++) {
        if (k < left && lane == 0)
            out[k] = YAt(src + pb * left);
        else if (k >= firstRight && lane == 7)
            out[k] = YAt(src + 7 * stripStep + pb * (left + middle - 1));
        else
            out[k] = YAt(src + lane * stripStep + pb * k);
    }
}
