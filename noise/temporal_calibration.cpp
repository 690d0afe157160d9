// temporal_calibration.cpp: the temporal mode's strength curves
//
// Fitted by tools/temporal_sweep (scripts/strength-sweep --temporal) on clips of 3 and 5 frames
// cut from 16 photographs, panned 0 to 3 pixels a frame, each frame with noise of its own, a
// pixel's own value counted at the temporal mode's weight: from strengths 10 to 200 in steps of
// 10 and, around the best, in steps of 2 (sigma 2 to 10) and 4 (15 to 30) on the 3-frame clips,
// the pair of knots (busy, smooth) that loses least on average against each clip's own best,
// plus a tenth of the worst, each clip placed between them by its smoothness as the program
// reads it on the first frame (temporal_sweep fit-content). The motion hardly moves the best
// strength, and --temporal 2 wants what --temporal 1 wants to within a step of 10. Below sigma 2
// the knots follow the square-root law down to the one at 0.
#include "temporal_calibration.h"

#include <math.h>

// clang-format off
const StrengthCalibration TemporalCalibration = {
    "temporal",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {   // Gaussian
            {6, 14, 20, 28, 34, 44, 52, 63, 79, 92, 104, 116},
            {5, 14, 19, 27, 32, 42, 50, 60, 74, 85, 96, 112},
            {5, 13, 18, 26, 32, 42, 48, 58, 72, 83, 95, 110},
            {5, 13, 18, 26, 32, 40, 48, 58, 70, 81, 92, 108},
        },
        {   // box
            {5, 13, 18, 26, 32, 42, 49, 58, 72, 84, 96, 107},
            {5, 13, 18, 26, 30, 40, 46, 56, 68, 79, 88, 100},
            {5, 12, 18, 25, 30, 38, 46, 54, 66, 76, 85, 100},
            {5, 12, 17, 24, 30, 38, 44, 53, 64, 74, 84, 96},
        },
    },
};
// clang-format on

// clang-format off
const StrengthCalibration TemporalSmoothCalibration = {
    "temporal, smooth",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {   // Gaussian
            {6, 15, 21, 30, 40, 60, 75, 94, 126, 150, 170, 170},
            {6, 14, 20, 28, 38, 58, 72, 90, 122, 159, 194, 194},
            {5, 13, 18, 26, 35, 54, 70, 88, 118, 150, 177, 190},
            {5, 13, 18, 26, 34, 52, 66, 83, 113, 146, 166, 180},
        },
        {   // box
            {5, 14, 19, 27, 36, 51, 67, 85, 116, 134, 154, 156},
            {5, 13, 18, 26, 32, 48, 63, 77, 109, 127, 164, 164},
            {5, 12, 18, 25, 30, 46, 59, 75, 102, 126, 149, 160},
            {5, 12, 17, 24, 30, 43, 57, 71, 97, 127, 140, 156},
        },
    },
};
// clang-format on

double TemporalStrength(double sigma8, double smoothness, int range, bool gaussian) {
    const double busy = CalibratedStrength(TemporalCalibration, sigma8, range, gaussian);
    if (!(smoothness > 0)) return busy;
    const double smooth = CalibratedStrength(TemporalSmoothCalibration, sigma8, range, gaussian);
    return busy + (smoothness > 1 ? 1.0 : smoothness) * (smooth - busy);
}

static int Whole(double strength) {
    const long whole = lround(strength);
    return int(whole < 1 ? 1 : whole > long(MaxStrength) ? long(MaxStrength) : whole);
}

int TemporalStrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian) {
    return Whole(TemporalStrength(SigmaIn8BitLevels(sigma, bits),
                                  PictureSmoothness(sigma, detail, bits), range, gaussian));
}

int TemporalStrengthForSigma(double sigma, int bits, int range, bool gaussian) {
    return Whole(
        CalibratedStrength(TemporalCalibration, SigmaIn8BitLevels(sigma, bits), range, gaussian));
}
