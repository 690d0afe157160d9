// strength_calibration.h: from a noise level to the strength that removes it best
//
// Strength scale. The module's Strength control runs from 1 to 100. Its weights depend on the
// patch distance only relative to v^2, v = 0.004 s^2, so luma handed over at a reduced scale
// acts as a stronger filter: at a scale k times the 12-bit one (k = 2^(scaleBits - 12)), module
// strength s acts as s / sqrt(k). Strengths 1 to 100 are the module's own, at the 12-bit scale;
// strengths 101 to 200 are reached at the 11-bit scale (up to 141) or the 10-bit scale.
//
// Calibration. For every range and weighting a curve gives the strength for a noise level,
// sigma in 8-bit levels (the standard deviation of Gaussian noise on a 0..255 scale), as
// straight lines between knots; it was fitted on natural photographs with added noise (see
// docs/strength.md and tools/strength_sweep.cpp). A curve never falls as sigma grows and stops
// at 200. Another filtering mode adds a table of its own with the same layout.
#pragma once

enum { MaxStrength = 200, ModuleStrengthMax = 100 };

// The module's control and the luma scale that together act as a strength 1..200.
struct ModuleStrength {
    int Strength = 40;   // the module's control, 1 to 100
    int ScaleBits = 12;  // bits of the luma scale handed to the module: 12, 11 or 10
};

// Strength 1..200 (clamped) as the module's control and scale; 1..100 stay exactly as they are.
ModuleStrength SplitStrength(int strength);

// The strength a module control and scale act as: s * 2^((12 - scaleBits) / 2).
double ActingStrength(const ModuleStrength& m);

enum { CalibrationRanges = 4, CalibrationKnots = 12 };

struct StrengthCalibration {
    const char* Name;
    float Sigma[CalibrationKnots];  // 8-bit levels, ascending
    // Strength at each knot: [0] Gaussian, [1] box weighting; then range 1..4.
    float Strength[2][CalibrationRanges][CalibrationKnots];
};

// The calibration of the spatial filter: for pictures busy with detail (SpatialCalibration) and
// for smooth ones (SpatialSmoothCalibration), which take more strength at the same noise.
extern const StrengthCalibration SpatialCalibration;
extern const StrengthCalibration SpatialSmoothCalibration;

// The picture's own coarse detail on the calibration's scale: log2 of the detail
// (NoiseEstimate::Detail, in `bits`-bit sample units squared) less what noise of `sigma` alone
// gives there (2.2 sigma^2 / 8), in 8-bit levels squared, against 12.5 (which is sigma^2 / 8
// for sigma 10); what is left is taken as at least 1. Below -3.6 means no detail above the noise.
double DetailLevel(double sigma, double detail, int bits);

// How smooth a picture is for the calibration, 0 (busy) to 1 (smooth): 1 at or below one fitted
// DetailLevel, 0 at or above another, straight between. Detail below 0 or NaN (nothing
// measured): 0.
double PictureSmoothness(double sigma, double detail, int bits);

// The spatial strength, a real number in [1, 200], for noise of `sigma8` 8-bit levels in a
// picture of the given smoothness: the busy curve, moved towards the smooth one.
double SpatialStrength(double sigma8, double smoothness, int range, bool gaussian);

// The calibrated strength for noise of `sigma8` 8-bit levels, as a real number in [1, 200]:
// linear between knots, flat below the first knot's strength and at the ceiling past the last.
double CalibratedStrength(const StrengthCalibration& c, double sigma8, int range, bool gaussian);

// The whole strength (1..200) for noise of standard deviation `sigma` in units of `bits`-bit
// samples, with the spatial calibration for a picture of coarse detail `detail` (in the same
// units squared; see PictureSmoothness).
int StrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian);

// The same when nothing is known of the picture: the busy curve, which never oversmooths.
int StrengthForSigma(double sigma, int bits, int range, bool gaussian);

// sigma in units of `bits`-bit samples, in 8-bit levels.
double SigmaIn8BitLevels(double sigma, int bits);
