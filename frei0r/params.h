// params.h: the plug-in's parameters, as frei0r hosts see them, and the controls they set
//
// frei0r hosts pass every number as a double in [0, 1] (Kdenlive, Shotcut and GStreamer build
// their sliders on that), so each numeric control is its parameter times 100 (range: times 4),
// rounded to the nearest integer:
//
//   index  name       type    control                                default
//   0      range      double  Range    = round(v x 4)                0.25  (1)
//   1      strength   double  0: automatic; else round(v x 100)      0     (automatic)
//   2      gaussian   bool    GaussianWeighting = v >= 0.5           1     (on)
//   3      workers    double  threads  = round(v x 100)              0     (one per core)
//
// Strength runs to 200 as in the program (v up to 2, past the sliders of [0, 1]); values that
// round to 0 choose the automatic strength. Values outside a control's range are clamped to it,
// as the editor clamps a damaged project (a range of 0 or -3 is 1, a strength of -4 is 1 and of
// 7.5 is 200); NaN leaves the parameter as it was. A parameter reads back as the value of the
// control it set, so a host sees what is in force.
// The thread count is called "workers": MLT keeps a filter property "threads" for itself (it
// cuts the frame into slices, each filtered on its own).
#pragma once

struct PluginControls {
    int Range = 1;         // 1 to 4
    int Strength = 0;      // 0: automatic; else 1 to MaxPluginStrength
    bool Gaussian = true;  // false: uniform (box) patch weighting
    int Threads = 0;       // 0: one per core; else 1 to MaxPluginThreads
};

enum { ParamRange, ParamStrength, ParamGaussian, ParamThreads, ParamCount };
enum { MaxPluginThreads = 100, MaxPluginStrength = 200 };

struct PluginParamInfo {
    const char* Name;
    int Type;  // F0R_PARAM_DOUBLE or F0R_PARAM_BOOL
    const char* Explanation;
};

// The description of parameter `index`; null when there is no such parameter.
const PluginParamInfo* PluginParam(int index);

// Sets the control behind parameter `index` from a host value (clamped as above). Unknown
// indices and NaN change nothing.
void SetPluginParam(PluginControls* controls, int index, double value);

// The value parameter `index` reads back; 0 for unknown indices.
double GetPluginParam(const PluginControls& controls, int index);
