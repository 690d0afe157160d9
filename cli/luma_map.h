// luma_map.h: N-bit luma samples to the filter's 12-bit scale and back
//
// The filter's strength is tuned for luma on a 12-bit scale (0 to 4095), so every input depth is
// brought to that scale before filtering:
//
//   to the filter:  q = round(s * 2^(12 - N)), at most 4095
//   back:           out = s + (f - q) * 2^(N - 12), rounded to nearest and clamped to 0 .. 2^N - 1
//
// For N <= 12, q is exactly s * 2^(12 - N), so the way back is simply f / 2^(12 - N) rounded: the
// 12-bit result is rounded to the nearest N-bit value. For N > 12 the low N - 12 bits of s cannot
// reach the filter; instead of dropping them, the filter's change (f - q) is added to the
// original sample. Wherever the filter leaves a value alone the sample comes back bit-exact, at
// every depth, and elsewhere the result is as precise as the 12-bit filter output itself.
#pragma once

#include <stdint.h>

// Largest sample value of an N-bit format (1 <= N <= 16).
inline uint32_t MaxSample(int bits) {
    return (1u << bits) - 1u;
}

// q above; samples over 2^N - 1 are taken as 2^N - 1.
int16_t LumaToFilter(uint32_t s, int bits);

// out above, given the original sample s and the filter's result f for it.
uint32_t LumaFromFilter(int32_t f, uint32_t s, int bits);

// The same two steps for a luma value that is not an integer sample (the Y of an RGB pixel, in
// N-bit units): q = round(Y * 2^(12 - N)) clamped to 0 .. 4095, and the change the filter made,
// (f - q) * 2^(N - 12), in N-bit units.
int16_t LumaValueToFilter(double Y, int bits);
double LumaChange(int32_t f, int16_t q, int bits);
