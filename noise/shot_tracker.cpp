// shot_tracker.cpp: shot starts, a held lead, a running median with hysteresis, and cuts
#include "shot_tracker.h"

#include <math.h>

#include <algorithm>

double HistogramDistance(const float* a, const float* b) {
    double d = 0;
    for (int i = 0; i < NoiseHistogramBins; i++) d += fabs(double(a[i]) - double(b[i]));
    return d;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    const size_t h = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + h, v.end());
    if (v.size() % 2 == 1) return v[h];
    const double upper = v[h];
    return (*std::max_element(v.begin(), v.begin() + h) + upper) / 2;
}

void StartTracking(ShotTracker* t, const ShotTrackerSettings& settings) {
    *t = ShotTracker();
    t->Settings = settings;
    if (t->Settings.LeadFrames < 1) t->Settings.LeadFrames = 1;
    if (t->Settings.Window < 1) t->Settings.Window = 1;
}

static void Add(ShotRelease* r, int frames, double sigma, double detail, bool start) {
    if (frames <= 0) return;
    r->Frames[r->Groups] = frames;
    r->Sigma[r->Groups] = sigma;
    r->Detail[r->Groups] = detail;
    r->ShotStart[r->Groups] = start;
    r->Groups++;
}

// Decides the current shot's level from its votes and releases the held frames.
static void Decide(ShotTracker* t, ShotRelease* r) {
    t->Sigma = Median(t->Votes);
    t->Detail = Median(t->DetailVotes);
    t->Decided = true;
    Add(r, t->Held, t->Sigma, t->Detail, t->StartPending);
    t->StartPending = false;
    t->Held = 0;
}

ShotRelease TrackFrame(ShotTracker* t, const NoiseEstimate& frame) {
    ShotRelease r;
    const bool cut =
        !t->Previous.empty() && frame.BlocksSampled > 0 &&
        HistogramDistance(t->Previous.data(), frame.Histogram) > t->Settings.CutDistance;
    if (frame.BlocksSampled > 0)
        t->Previous.assign(frame.Histogram, frame.Histogram + NoiseHistogramBins);
    if (t->Shots == 0 || cut) {
        if (t->Held > 0) Decide(t, &r);
        t->Votes.clear();
        t->DetailVotes.clear();
        t->Decided = false;
        t->StartPending = true;
        t->Shots++;
    }
    if (frame.BlocksUsed > 0) {
        t->Votes.push_back(frame.Sigma);
        t->DetailVotes.push_back(frame.Detail);
        if (int(t->Votes.size()) > t->Settings.Window) {
            t->Votes.erase(t->Votes.begin());
            t->DetailVotes.erase(t->DetailVotes.begin());
        }
    }
    t->Held++;
    if (!t->Decided) {
        if (t->Held >= t->Settings.LeadFrames) Decide(t, &r);
        return r;
    }
    const double running = Median(t->Votes), detail = Median(t->DetailVotes);
    if (!t->Votes.empty() && fabs(running - t->Sigma) > t->Settings.Hysteresis * t->Sigma)
        t->Sigma = running;
    if (!t->Votes.empty() && fabs(detail - t->Detail) > t->Settings.DetailHysteresis * t->Detail)
        t->Detail = detail;
    Add(&r, t->Held, t->Sigma, t->Detail, false);
    t->Held = 0;
    return r;
}

ShotRelease FinishTracking(ShotTracker* t) {
    ShotRelease r;
    if (t->Held > 0) Decide(t, &r);
    return r;
}
