// luma_map.h: N-bit luma samples to the filter's luma scale and back
//
// The filter's strength is tuned for luma on a 12-bit scale (0 to 4095). Every input depth is
// brought to a scale of F bits before filtering, F = scaleBits, 12 by default:
//
//   to the filter:  q = round(s * 2^(F - N)), at most 2^F - 1
//   back:           out = s + (f - q) * 2^(N - F), rounded to nearest and clamped to 0 .. 2^N - 1
//
// For N <= F, q is exactly s * 2^(F - N), so the way back is simply f / 2^(F - N) rounded (half
// up): the F-bit result is rounded to the nearest N-bit value. For N > F the low N - F bits of s
// cannot reach the filter; instead of dropping them, the filter's change (f - q) is added to the
// original sample. Wherever the filter leaves a value alone the sample comes back bit-exact, at
// every depth, and elsewhere the result is as precise as the F-bit filter output itself.
//
// A scale below 12 bits makes every luma difference 2^(12 - F) times smaller and every patch
// distance 4^(12 - F) times smaller. The weights compare the distance with v^2, v = 0.004 s^2,
// so the filter sees a strength 2^((12 - F) / 2) times larger: F = 10 with strength s filters
// like strength 2s would on the 12-bit scale, F = 11 like s sqrt(2). That is how strengths past
// the module's own range are reached (noise/strength_calibration.h).
#pragma once

#include <stdint.h>

// The module's own luma scale.
static const int FilterScaleBits = 12;

// Largest sample value of an N-bit format (1 <= N <= 16).
inline uint32_t MaxSample(int bits) {
    return (1u << bits) - 1u;
}

// q above; samples over 2^N - 1 are taken as 2^N - 1. 1 <= scaleBits <= 12, 1 <= bits <= 16.
int16_t LumaToFilter(uint32_t s, int bits, int scaleBits = FilterScaleBits);

// out above, given the original sample s and the filter's result f for it.
uint32_t LumaFromFilter(int32_t f, uint32_t s, int bits, int scaleBits = FilterScaleBits);

// The same two steps for a luma value that is not an integer sample (the Y of an RGB pixel, in
// N-bit units): q = round(Y * 2^(F - N)) to nearest even, clamped to 0 .. 2^F - 1, and the change
// the filter made, (f - q) * 2^(N - F), in N-bit units.
int16_t LumaValueToFilter(double Y, int bits, int scaleBits = FilterScaleBits);
double LumaChange(int32_t f, int16_t q, int bits, int scaleBits = FilterScaleBits);
