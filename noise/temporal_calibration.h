// temporal_calibration.h: the strength for a noise level in temporal mode (--temporal)
//
// The temporal mode averages over more candidates (the neighbouring frames' windows besides the
// frame's own), so a given noise is best removed at a somewhat lower strength than the spatial
// filter needs. Same layout and use as the spatial calibration (strength_calibration.h).
#pragma once

#include "strength_calibration.h"

extern const StrengthCalibration TemporalCalibration;

// The whole strength (1..200) for noise of standard deviation `sigma` in units of `bits`-bit
// samples, with the temporal calibration.
int TemporalStrengthForSigma(double sigma, int bits, int range, bool gaussian);

// The same for a picture of coarse detail `detail` (NoiseEstimate::Detail, in the same units
// squared; below 0 when unknown): a smooth picture takes more strength, half as much more, in
// proportion, as the spatial calibration gives it.
int TemporalStrengthForNoise(double sigma, double detail, int bits, int range, bool gaussian);
