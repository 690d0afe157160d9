// strength_calibration.cpp: the strength scale past 100, and the fitted strength curves
#include "strength_calibration.h"

#include <math.h>

ModuleStrength SplitStrength(int strength) {
    ModuleStrength m;
    if (strength < 1) strength = 1;
    if (strength > MaxStrength) strength = MaxStrength;
    if (strength <= ModuleStrengthMax) {
        m.Strength = strength;
        m.ScaleBits = 12;
        return m;
    }
    // The finest scale step that reaches the strength: half the scale (10 bits) doubles it, one
    // bit less multiplies it by sqrt(2). The module's control is then rounded to the nearest whole
    // value, which lands within 1 of the strength asked for.
    m.ScaleBits = strength <= 141 ? 11 : 10;
    const double factor = m.ScaleBits == 11 ? sqrt(2.0) : 2.0;
    const int s = int(floor(strength / factor + 0.5));
    m.Strength = s > ModuleStrengthMax ? ModuleStrengthMax : s;
    return m;
}

double ActingStrength(const ModuleStrength& m) {
    return m.Strength * pow(2.0, (12 - m.ScaleBits) / 2.0);
}

double SigmaIn8BitLevels(double sigma, int bits) {
    return ldexp(sigma, 8 - bits);
}

double CalibratedStrength(const StrengthCalibration& c, double sigma8, int range, bool gaussian) {
    const int r = range < 1 ? 0 : range > CalibrationRanges ? CalibrationRanges - 1 : range - 1;
    const float* s = c.Strength[gaussian ? 0 : 1][r];
    const float* x = c.Sigma;
    const int last = CalibrationKnots - 1;
    double v;
    if (!(sigma8 > x[0])) {  // also NaN
        v = s[0];
    } else if (sigma8 >= x[last]) {
        // Past the last knot the best strength grows as the square root of sigma (the weights
        // see sigma^2 / v^2, and v grows as the square of the strength).
        v = s[last] * sqrt(sigma8 / x[last]);
    } else {
        int i = 0;
        while (sigma8 >= x[i + 1]) i++;
        const double t = (sigma8 - x[i]) / (x[i + 1] - x[i]);
        v = s[i] + t * (s[i + 1] - s[i]);
    }
    return v < 1 ? 1.0 : v > MaxStrength ? double(MaxStrength) : v;
}

// What white noise alone gives the detail (the 90th percentile of a block's coarse gradient
// energy), in units of sigma^2 / 8: 2.0 to 2.2 measured (strength_sweep features), the upper
// end fitted best with the curves.
static const double NoiseDetail = 2.2;

double DetailLevel(double sigma, double detail, int bits) {
    const double own = detail - (sigma > 0 ? NoiseDetail * sigma * sigma / 8 : 0);
    const double own8 = ldexp(own, 2 * (8 - bits));
    return log2((own8 > 1 ? own8 : 1) / 12.5);
}

// Smoothness 1 at or below SmoothBelow, 0 at or above BusyAbove (DetailLevel): a picture is
// smooth with an own detail below 25 8-bit levels squared and busy above 71. Fitted with the
// curves. (The detail against the picture's noise, the measure before, placed the pictures
// worse when each was left out of the fit: every picture is busy by it at low noise, and the
// smooth curve had to jump from the busy one at sigma 3 to 180 at 5.)
static const double SmoothBelow = 1.0, BusyAbove = 2.5;

double PictureSmoothness(double sigma, double detail, int bits) {
    if (!(detail >= 0)) return 0;  // nothing measured (also NaN): busy
    const double t = (BusyAbove - DetailLevel(sigma, detail, bits)) / (BusyAbove - SmoothBelow);
    return t < 0 ? 0.0 : t > 1 ? 1.0 : t;
}

double SpatialStrength(double sigma8, double smoothness, int range, bool gaussian) {
    const double busy = CalibratedStrength(SpatialCalibration, sigma8, range, gaussian);
    if (!(smoothness > 0)) return busy;
    const double smooth = CalibratedStrength(SpatialSmoothCalibration, sigma8, range, gaussian);
    return busy + (smoothness > 1 ? 1.0 : smoothness) * (smooth - busy);
}

int StrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian) {
    const double v = SpatialStrength(SigmaIn8BitLevels(sigma, bits),
                                     PictureSmoothness(sigma, detail, bits), range, gaussian);
    return int(floor(v + 0.5));
}

int StrengthForSigma(double sigma, int bits, int range, bool gaussian) {
    const double v =
        CalibratedStrength(SpatialCalibration, SigmaIn8BitLevels(sigma, bits), range, gaussian);
    return int(floor(v + 0.5));
}

// Fitted by tools/strength_sweep (sweep, then fit-content) on 20 crops of 384x384 from natural
// photographs. The smooth curve is where a picture of smoothness 1 lands: above the busy one
// from sigma 2, and at the ceiling from sigma 20 to 30.
// clang-format off
const StrengthCalibration SpatialCalibration = {
    "spatial",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {   // Gaussian
            {8, 18, 25, 31, 40, 50, 60, 75, 92, 105, 123, 140},
            {6, 14, 20, 30, 35, 45, 55, 65, 81, 95, 105, 115},
            {6, 14, 20, 30, 35, 45, 55, 65, 78, 90, 100, 110},
            {6, 14, 20, 26, 35, 45, 50, 60, 75, 85, 95, 105},
        },
        {   // box
            {6, 14, 20, 30, 38, 50, 60, 70, 87, 100, 115, 130},
            {6, 14, 20, 28, 35, 45, 53, 65, 77, 90, 100, 110},
            {6, 14, 20, 25, 32, 43, 50, 60, 74, 85, 93, 100},
            {6, 14, 20, 25, 30, 40, 50, 60, 70, 80, 90, 97},
        },
    },
};
// clang-format on

// clang-format off
const StrengthCalibration SpatialSmoothCalibration = {
    "spatial, smooth",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {   // Gaussian
            {8, 18, 25, 40, 50, 70, 85, 110, 140, 200, 200, 200},
            {7, 16, 23, 35, 45, 65, 80, 101, 135, 200, 200, 200},
            {6, 14, 20, 30, 40, 59, 73, 92, 122, 179, 200, 200},
            {6, 14, 20, 30, 35, 55, 65, 86, 115, 159, 180, 200},
        },
        {   // box
            {8, 18, 25, 37, 50, 65, 80, 100, 130, 189, 190, 200},
            {6, 14, 20, 32, 40, 60, 75, 95, 125, 200, 200, 200},
            {6, 14, 20, 30, 36, 51, 67, 85, 111, 150, 180, 200},
            {6, 14, 20, 27, 35, 45, 60, 77, 105, 136, 158, 200},
        },
    },
};
// clang-format on
