// strength.h: the Update callback, which turns the controls into the weight coefficient
#pragma once

#include "host_api.h"

enum : uint32_t {
    LowerBoundBits = 0xCE7B0768,  // -1052891648.0f: -87 * 2^23 / ln 2; below it a weight is 0
    ExponentBiasBits =
        0x4E7DE000,  // 1064828928.0f: 127 * 2^23 - 2^19, so that z = 0 weighs 0.96875
};

// Sets WeightCoefficient to -2^23 / (ln 2 * K * v^2), with v = (Strength / 100)^2 * 40 and K the
// patch weight sum (2304 for the box patch, 1253.79584 for the Gaussian one), and stores the
// lower bound and ExponentBias. Strength outside 1 to 100 is clamped. Ignores status; returns 1.
HOST_ENTRY int32_t Update(FilterInstance* instance, int32_t status);

// The coefficient for a Strength (clamped to 1 to 100) and patch variant, as a float.
float StrengthCoefficient(int32_t strength, bool gaussian);
