// vec8.h: the 8-lane idioms the engine repeats, force-inlined
#pragma once

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#define VEC_INLINE inline __attribute__((always_inline))

// Float from its exact bit pattern.
static VEC_INLINE float FloatFromBits(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

// The same float in all eight lanes, read from memory.
static VEC_INLINE __m256 Broadcast(const float* value) {
    return _mm256_broadcast_ss(value);
}

// (q - p)^2, lane-wise.
static VEC_INLINE __m256 SquaredDifference(__m256 q, __m256 p) {
    const __m256 d = _mm256_sub_ps(q, p);
    return _mm256_mul_ps(d, d);
}

// Eight signed 16-bit values, sign-extended and converted to float.
static VEC_INLINE __m256 WidenToFloat(__m128i words) {
    const __m128i low = _mm_cvtepi16_epi32(words);
    const __m128i high = _mm_cvtepi16_epi32(_mm_unpackhi_epi64(words, words));
    return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(low), high, 1));
}

// Round to nearest (current mode) and pack to signed 16-bit with saturation; lane s stays lane s.
static VEC_INLINE __m128i PackToWords(__m256 value) {
    const __m256i i = _mm256_cvtps_epi32(value);
    return _mm_packs_epi32(_mm256_castsi256_si128(i), _mm256_extractf128_si256(i, 1));
}
