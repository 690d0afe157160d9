// temporal_calibration.cpp: the temporal mode's strength curve
//
// Fitted by tools/temporal_sweep (scripts/strength-sweep --temporal) on clips of 3 and 5 frames
// cut from 16 photographs, panned 0 to 3 pixels a frame, each frame with noise of its own: at
// every sigma the strength whose PSNR on the middle frame loses least, on average, against each
// clip's own best, from strengths 10 to 200 in steps of 10 and, around the best, in steps of 2
// (sigma 2 to 10) and 4 (15 to 30) on the 3-frame clips. The motion hardly moves the best
// strength, and --temporal 2 wants what --temporal 1 wants to within a step of 10; on the same
// clips the spatial filter's best is some 10 % higher from sigma 10 up. Below sigma 2 the knots
// follow the square-root law down to the one at 0.
#include "temporal_calibration.h"

#include <math.h>

// clang-format off
const StrengthCalibration TemporalCalibration = {
    "temporal",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {   // Gaussian
            {6, 15, 21, 30, 38, 48, 58, 68, 84, 100, 112, 124},
            {6, 14, 20, 28, 34, 46, 54, 64, 80, 92, 104, 116},
            {6, 14, 20, 28, 34, 44, 52, 62, 76, 92, 100, 112},
            {6, 14, 20, 28, 34, 42, 50, 62, 76, 88, 100, 112},
        },
        {   // box
            {6, 14, 20, 28, 36, 46, 54, 64, 80, 92, 104, 116},
            {6, 14, 20, 28, 32, 42, 50, 60, 76, 84, 96, 108},
            {5, 13, 18, 26, 32, 42, 48, 58, 72, 84, 92, 100},
            {5, 13, 18, 26, 32, 40, 48, 56, 68, 80, 92, 100},
        },
    },
};
// clang-format on

// The share of the spatial calibration's step from its busy curve to its smooth one that the
// temporal strength takes; fitted with the table (0.5 against 0.25, 0.75 and 1).
static const double SmoothShare = 0.5;

int TemporalStrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian) {
    const double sigma8 = SigmaIn8BitLevels(sigma, bits);
    const double temporal = CalibratedStrength(TemporalCalibration, sigma8, range, gaussian);
    const double busy = CalibratedStrength(SpatialCalibration, sigma8, range, gaussian);
    const double spatial =
        SpatialStrength(sigma8, PictureSmoothness(sigma, detail, bits), range, gaussian);
    // Half the spatial proportion: with more candidates a smooth picture is already averaged
    // more, and the whole proportion oversmooths the fine detail of mostly smooth pictures.
    const long whole = lround(temporal * (1 + SmoothShare * (spatial / busy - 1)));
    return int(whole < 1 ? 1 : whole > long(MaxStrength) ? long(MaxStrength) : whole);
}

int TemporalStrengthForSigma(double sigma, int bits, int range, bool gaussian) {
    const double s =
        CalibratedStrength(TemporalCalibration, SigmaIn8BitLevels(sigma, bits), range, gaussian);
    const long whole = lround(s);
    return int(whole < 1 ? 1 : whole > long(MaxStrength) ? long(MaxStrength) : whole);
}
