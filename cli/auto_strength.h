// auto_strength.h: --strength auto in the program: measure the luma, pick the strength, say so
//
// Images get one estimate of their own. Streams go through a ShotTracker (noise/): frames at the
// start of a shot are held until the shot's noise level is known, and every frame of a shot is
// filtered at one strength unless the noise itself changes.
#pragma once

#include <stdint.h>

#include <string>

#include "../noise/noise_estimate.h"
#include "image_io.h"
#include "y4m.h"

// The noise of an image's luma: the gray channel, or the rounded Y of RGB pixels.
NoiseEstimate MeasureImageNoise(const Image& image);

// The noise of a y4m frame's luma plane (the first plane of `data`).
NoiseEstimate MeasureFrameNoise(const Y4mFormat& format, const uint8_t* data);

// The strength for noise of `sigma` sample units of a `bits`-bit input, at the settings' range
// and weighting.
int AutoStrengthFor(const FilterSettings& settings, double sigma, int bits);

// "noise sigma 2.53 (estimated), strength 47" in the input's sample units; "(given)" for
// --sigma.
std::string StrengthNote(double sigma, bool estimated, int strength);
