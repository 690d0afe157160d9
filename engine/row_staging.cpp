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

// Two consecutive vectors of a plain run (lane s of vector k at p + s * step + 6k, of vector
// k + 1 six bytes on). The 8 bytes at a pixel are its Y, Cb and Cr and the next pixel's Y, so
// one 8-byte load per strip serves both vectors, and 12 shuffles replace 16 word inserts.
static VEC_INLINE void GatherPair(const char* p, int step, __m128i& first, __m128i& second) {
    // From two strips' loads (words Y(k) Cb Cr Y(k+1) of strip s, then of strip s + 1):
    // Y_s(k), Y_s+1(k), Y_s(k+1), Y_s+1(k+1) in the low four words.
    const __m128i pick = _mm_setr_epi8(0, 1, 8, 9, 6, 7, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    auto strips = [&](int s) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + s * step));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + (s + 1) * step));
        return _mm_shuffle_epi8(_mm_unpacklo_epi64(a, b), pick);
    };
    const __m128i low = _mm_unpacklo_epi32(strips(0), strips(2));   // lanes 0-3 of k, of k + 1
    const __m128i high = _mm_unpacklo_epi32(strips(4), strips(6));  // lanes 4-7 of k, of k + 1
    first = _mm_unpacklo_epi64(low, high);
    second = _mm_unpackhi_epi64(low, high);
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
    int k = 0;
    for (; k + 1 < middle; k += 2, p += 12, out += 16) {
        __m128i first, second;
        GatherPair(p, stripStep, first, second);
        _mm256_store_ps(out, WidenToFloat(first));
        _mm256_store_ps(out + 8, WidenToFloat(second));
    }
    if (k < middle) {
        _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 7>(_mm_setzero_si128(), p, stripStep)));
        p += 6;
        out += 8;
    }
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
