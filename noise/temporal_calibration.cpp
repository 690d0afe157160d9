// temporal_calibration.cpp: the temporal mode's strength curve
//
// Measured with bench/tessival_temporal on moving clips cut from photographs (pans of 2 to 3
// pixels a frame, a moving object), range 2, Gaussian: the best strength of --temporal 1 was 65
// against 70 for the spatial filter at sigma 10, and 90 against 100 (the end of the module's
// own range) at sigma 20. The table is the spatial one scaled by 0.9, rounded to steps of 5,
// for every range and weighting; a full sweep per range would refine it.
#include "temporal_calibration.h"

#include <math.h>

const StrengthCalibration TemporalCalibration = {
    "temporal",
    {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 5.0f, 7.0f, 10.0f, 15.0f, 20.0f, 25.0f, 30.0f},
    {
        {
            // Gaussian
            {7, 15, 20, 30, 35, 50, 60, 70, 85, 100, 110, 130},
            {5, 15, 20, 25, 30, 45, 50, 65, 75, 90, 100, 110},
            {5, 15, 20, 25, 30, 40, 50, 60, 70, 85, 95, 105},
            {5, 15, 20, 25, 30, 40, 50, 60, 70, 80, 90, 105},
        },
        {
            // box
            {5, 15, 20, 25, 35, 45, 55, 65, 80, 95, 110, 120},
            {5, 15, 20, 25, 30, 40, 50, 60, 70, 80, 95, 105},
            {5, 15, 20, 20, 30, 40, 45, 55, 70, 75, 85, 95},
            {5, 15, 20, 20, 25, 35, 45, 55, 70, 75, 85, 95},
        },
    },
};

int TemporalStrengthForSigma(double sigma, int bits, int range, bool gaussian) {
    const double s =
        CalibratedStrength(TemporalCalibration, SigmaIn8BitLevels(sigma, bits), range, gaussian);
    const long whole = lround(s);
    return int(whole < 1 ? 1 : whole > long(MaxStrength) ? long(MaxStrength) : whole);
}
