// row_staging.cpp: gather source luma into the strip layout as float vectors
#include "row_staging.h"

#include <assert.h>

#include "vec8.h"

// Y of the pixel at byte address p.
static VEC_INLINE int LoadY(const char* p) {
    int16_t y;
    memcpy(&y, p, sizeof y);
    return y;
}

// Lanes from..to of a word vector, read at p + s * step for lane s.
template <int From, int To>
static VEC_INLINE __m128i GatherLanes(__m128i words, const char* p, int step) {
    if constexpr (From <= To) {
        words = _mm_insert_epi16(words, LoadY(p + From * step), From);
        return GatherLanes<From + 1, To>(words, p, step);
    } else {
        return words;
    }
}

void StageRow(int32_t left, int32_t middle, int32_t right, int32_t stripStep, const void* source,
              float* output) {
    assert((reinterpret_cast<uintptr_t>(output) & 31) == 0);
    assert(left >= 0 && right >= 0 && (middle > 0 || left == 0));
    const char* p = static_cast<const char*>(source);
    float* out = output;

    if (left > 0) {
        // Lane 0 holds column 0; lanes 1 to 7 end the strip to their left.
        const __m128i edge = _mm_cvtsi32_si128(LoadY(p + 6 * left) & 0xFFFF);
        for (int k = 0; k < left; k++, p += 6, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<1, 7>(edge, p, stripStep)));
    }
    for (int k = 0; k < middle; k++, p += 6, out += 8)
        _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 7>(_mm_setzero_si128(), p, stripStep)));
    // With a negative middle the right margin covers the whole window: left + middle + right
    // vectors in all, every one of them past W in lane 7.
    const int rightCount = middle < 0 ? right + middle : right;
    if (rightCount > 0) {
        // Lane 7 holds column W-1 (left of the window when middle is negative).
        const char* last =
            static_cast<const char*>(source) + 7 * stripStep + 6 * (left + middle - 1);
        const __m128i edge = _mm_insert_epi16(_mm_setzero_si128(), LoadY(last), 7);
        for (int k = 0; k < rightCount; k++, p += 6, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 6>(edge, p, stripStep)));
    }
}

void StageRowClamped(const YcPixel* row, int32_t firstColumn, int32_t count, int32_t V, int32_t W,
                     float* output) {
    assert((reinterpret_cast<uintptr_t>(output) & 31) == 0);
    for (int k = 0; k < count; k++) {
        alignas(16) int16_t lanes[8];
        for (int s = 0; s < 8; s++) {
            int x = s * V + firstColumn + k;
            x = x < 0 ? 0 : x >= W ? W - 1 : x;
            lanes[s] = row[x].Y;
        }
        _mm256_store_ps(output + 8 * k,
                        WidenToFloat(_mm_load_si128(reinterpret_cast<__m128i*>(lanes))));
    }
}
