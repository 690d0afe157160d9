// auto_strength.h: the plug-in's automatic strength, one noise level per shot, frame by frame
//
// A frei0r filter must hand every frame back at once, so unlike the program it cannot hold the
// first frames of a shot until the shot's noise is known. The per-shot tracker runs with a lead
// of one frame instead: the first frame of a shot is filtered for its own noise (as the program
// filters a still image), and later frames follow the running median of the shot's estimates,
// moving only when it drifts by more than the tracker's hysteresis; a cut starts a new shot.
#pragma once

#include <stdint.h>

#include <vector>

#include "../noise/shot_tracker.h"
#include "../subhost/substitute_host.h"

struct PluginAutoStrength {
    ShotTracker Tracker;
    bool Started = false;
    std::vector<uint8_t> Luma;  // the frame's luma for the estimator
    double Sigma = 0;           // the level in use, 8-bit units
    double Detail = 0;          // and the picture's detail (NoiseEstimate::Detail)
};

// Measures the W x H RGBA frame's luma (rows spread over the host's threads), feeds the
// tracker and returns the strength, 1 to 200, for this frame at the given range and weighting.
int AutoStrengthForFrame(PluginAutoStrength* a, SubstituteHost& host, const uint32_t* frame, int W,
                         int H, int range, bool gaussian);
