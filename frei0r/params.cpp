// params.cpp: the plug-in's parameters and their mapping onto the filter's controls
#include "params.h"

// frei0r.h declares its functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}
#include <math.h>

static const PluginParamInfo Params[ParamCount] = {
    {"range", F0R_PARAM_DOUBLE,
     "search radius 1 to 4 (value x 4): the window is (2 range + 1)^2 pixels; default 0.25"},
    {"strength", F0R_PARAM_DOUBLE,
     "0: automatic, from the noise measured in each shot (default); else 1 to 200 (value x 100): "
     "how different two patches may be and still count"},
    {"gaussian", F0R_PARAM_BOOL,
     "Gaussian-weighted 3x3 patch distance; off: all nine positions count equally; default on"},
    {"workers", F0R_PARAM_DOUBLE, "worker threads (value x 100); 0: one per core; default 0"},
};

// round(v x scale), clamped to lo .. hi. Callers have ruled out NaN.
static int Scaled(double v, int scale, int lo, int hi) {
    const double x = nearbyint(v * scale);
    return x < lo ? lo : x > hi ? hi : int(x);
}

const PluginParamInfo* PluginParam(int index) {
    return index >= 0 && index < ParamCount ? &Params[index] : nullptr;
}

void SetPluginParam(PluginControls* controls, int index, double value) {
    if (isnan(value)) return;
    switch (index) {
        case ParamRange:
            controls->Range = Scaled(value, 4, 1, 4);
            break;
        case ParamStrength:
            // Negative values clamp to 1; only those that round to 0 mean automatic.
            controls->Strength = value >= 0 && nearbyint(value * 100) == 0
                                     ? 0
                                     : Scaled(value, 100, 1, MaxPluginStrength);
            break;
        case ParamGaussian:
            controls->Gaussian = value >= 0.5;
            break;
        case ParamThreads:
            controls->Threads = Scaled(value, 100, 0, MaxPluginThreads);
            break;
        default:
            break;
    }
}

double GetPluginParam(const PluginControls& controls, int index) {
    switch (index) {
        case ParamRange:
            return controls.Range / 4.0;
        case ParamStrength:
            return controls.Strength / 100.0;
        case ParamGaussian:
            return controls.Gaussian ? 1.0 : 0.0;
        case ParamThreads:
            return controls.Threads / 100.0;
        default:
            return 0.0;
    }
}
