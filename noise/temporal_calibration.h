// temporal_calibration.h: the strength for a noise level in temporal mode (--temporal)
//
// The temporal mode averages over more candidates (the neighbouring frames' windows besides the
// frame's own), so a given noise is best removed at a somewhat lower strength than the spatial
// filter needs. Same layout and use as the spatial calibration (strength_calibration.h).
#pragma once

#include "strength_calibration.h"

// For pictures busy with detail, and for smooth ones, which take more strength at the same
// noise (as the spatial calibration's two curves).
extern const StrengthCalibration TemporalCalibration;
extern const StrengthCalibration TemporalSmoothCalibration;

// The temporal strength, a real number in [1, 200], for noise of `sigma8` 8-bit levels in a
// picture of the given smoothness (PictureSmoothness): the busy table, moved towards the smooth
// one.
double TemporalStrength(double sigma8, double smoothness, int range, bool gaussian);

// The whole strength (1..200) for noise of standard deviation `sigma` in units of `bits`-bit
// samples, with the temporal calibration.
int TemporalStrengthForSigma(double sigma, int bits, int range, bool gaussian);

// The same for a picture of coarse detail `detail` (NoiseEstimate::Detail, in the same units
// squared; below 0 when unknown): a smooth picture takes more, by its smoothness as the spatial
// calibration reads it (PictureSmoothness), towards the smooth table.
int TemporalStrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian);
