// shot_tracker.h: one noise level per shot of a video, so that the strength does not flicker
//
// Frames are measured in order (EstimateNoise) and fed to the tracker, which tells the caller
// when the frames it holds back may be filtered, and for which noise level:
//
//   shot start   the first LeadFrames frames are held; their median estimate becomes the shot's
//                level and they all go on with it
//   in the shot  each frame goes on at once; the level follows the median of the shot's last
//                Window estimates, but only when that median has moved by more than Hysteresis
//                (relative) from the level in use, so a steady noise gives one steady strength;
//                the picture's detail (NoiseEstimate::Detail, which the strength also depends
//                on) follows its own median the same way, with DetailHysteresis
//   a cut        (the luma histogram of a frame differs from the one before by more than
//                CutDistance, as the sum of absolute differences of the bin fractions, 0..2)
//                ends the shot: frames still held are decided from what was measured of them,
//                and the frame after the cut starts a new shot
//   the end      FinishTracking decides and releases whatever is still held
//
// Frames with no usable block (black, flat) do not vote; a shot with no vote at all gets 0.
#pragma once

#include <vector>

#include "noise_estimate.h"

struct ShotTrackerSettings {
    int LeadFrames = 5;
    int Window = 15;
    double Hysteresis = 0.08;
    double DetailHysteresis = 0.3;
    double CutDistance = 0.5;
};

// Frames to release, oldest first, in up to two groups: the held end of the old shot at a cut,
// then frames of the current shot.
struct ShotRelease {
    int Groups = 0;
    int Frames[2] = {0, 0};
    double Sigma[2] = {0, 0};
    double Detail[2] = {0, 0};           // the level's picture detail (NoiseEstimate::Detail)
    bool ShotStart[2] = {false, false};  // the group's first frame is the first of a shot
};

struct ShotTracker {
    ShotTrackerSettings Settings;
    std::vector<double> Votes;        // this shot's usable estimates, newest last, at most Window
    std::vector<double> DetailVotes;  // their details, in the same order
    std::vector<float> Previous;
    int Held = 0;          // frames measured and not yet released
    bool Decided = false;  // the current shot's level is known
    bool StartPending = true;
    double Sigma = 0;   // the current shot's level once decided
    double Detail = 0;  // and its detail
    long Shots = 0;     // shots begun so far
};

// The median of v (the mean of the two middle values when their count is even); 0 when empty.
double Median(std::vector<double> v);

void StartTracking(ShotTracker* t, const ShotTrackerSettings& settings = ShotTrackerSettings());

// Feeds the next frame's measurement; returns the frames that may be filtered now.
ShotRelease TrackFrame(ShotTracker* t, const NoiseEstimate& frame);

// At the end of the stream: releases every frame still held.
ShotRelease FinishTracking(ShotTracker* t);

// Sum of absolute differences of two histograms of bin fractions (0 equal, 2 disjoint).
double HistogramDistance(const float* a, const float* b);
