// strength.cpp: Strength and GaussianWeighting into the fast exponential's coefficient
//
// The weight of a patch distance D is about 0.96875 * exp(-D / (K * v^2)): the kernel builds it
// as the float whose bits are c * D + ExponentBias, with c = -2^23 / (ln 2 * K * v^2).
#include "strength.h"

#include <string.h>

#include "band_job.h"

static float FloatFromBitsHost(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

float StrengthCoefficient(int32_t strength, bool gaussian) {
    strength = strength < 1 ? 1 : strength > 100 ? 100 : strength;
    const double s = strength / 100.0;
    const double v = s * s * 40.0;
    const double K = gaussian ? 1253.79584 : 2304.0;
    const double c = (-1.0 / ((v * K) * v)) * 8388608.0 / 0.6931471805599453;
    return static_cast<float>(c);
}

int32_t Update(FilterInstance* instance, int32_t) {
    if (instance == nullptr || instance->TrackValues == nullptr || instance->CheckValues == nullptr)
        return 1;
    const float c = StrengthCoefficient(instance->TrackValues[1], instance->CheckValues[0] != 0);
    for (float& lane : Job.WeightCoefficient) lane = c;
    Job.ExponentBias = FloatFromBitsHost(ExponentBiasBits);
    Job.LowerBound = FloatFromBitsHost(LowerBoundBits);
    return 1;
}
