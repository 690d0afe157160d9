// auto_strength.h: --strength auto in the program: measure the luma, pick the strength, say so
//
// Images get one estimate of their own. Streams go through a ShotTracker (noise/): frames at the
// start of a shot are held until the shot's noise level is known, and every frame of a shot is
// filtered at one strength unless the noise itself changes.
#pragma once

#include <stdint.h>

#include <string>

#include "../noise/noise_estimate.h"
#include "../noise/shot_tracker.h"
#include "image_io.h"
#include "y4m.h"

// The noise of an image's luma: the gray channel, or the rounded Y of RGB pixels.
NoiseEstimate MeasureImageNoise(const Image& image);

// The noise of a y4m frame's luma plane (the first plane of `data`).
NoiseEstimate MeasureFrameNoise(const Y4mFormat& format, const uint8_t* data);

// The strength for noise of `sigma` sample units of a `bits`-bit input in a picture of coarse
// detail `detail` (NoiseEstimate::Detail; below 0 when unknown, as with --sigma), at the
// settings' range and weighting.
int AutoStrengthFor(const FilterSettings& settings, double sigma, double detail, int bits);

// "noise sigma 2.53 (estimated), strength 47" in the input's sample units; "(given)" for
// --sigma.
std::string StrengthNote(double sigma, bool estimated, int strength);

// The strength of a stream, shot by shot: frames go in as they are read, and come out (to be
// filtered at Strength) when the tracker releases them. With --sigma the level is fixed and no
// frame is held.
struct StreamStrength {
    FilterSettings Settings;
    int Bits = 8;
    ShotTracker Tracker;
    // What has been decided so far, for the progress line and the summary.
    long Shots = 0;
    double Sigma = 0, SigmaLow = 0, SigmaHigh = 0;
    int Strength = 0, StrengthLow = 0, StrengthHigh = 0;
};

void StartStreamStrength(StreamStrength* s, const FilterSettings& settings, int bits);

// Frames this many behind the newest may still be held (the pipeline needs as many spare items).
int StreamStrengthHold(const StreamStrength& s);

// Whether the stream's frames are measured (MeasureFrameNoise): not when --sigma gives the level.
bool StreamStrengthMeasures(const StreamStrength& s);

// Feeds a frame's noise (MeasureFrameNoise, which may run on another thread; ignored when the
// level is given); returns what the tracker releases (FinishTracking at the end).
ShotRelease TrackStreamFrame(StreamStrength* s, const NoiseEstimate& noise);

// The strength for a released group, noted in the record.
int StrengthForGroup(StreamStrength* s, const ShotRelease& r, int group);

// "120 frames, 2 shots: noise sigma 2.10 to 8.33 (estimated), strength 41 to 77".
std::string StreamSummary(const StreamStrength& s, long frames);
