// auto_strength.cpp: luma planes of images and frames to the noise estimator, sigma to strength
#include "auto_strength.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "../noise/strength_calibration.h"

NoiseEstimate MeasureImageNoise(const Image& image) {
    const int W = image.Width, H = image.Height, C = image.Channels;
    const size_t pixels = size_t(W) * size_t(H);
    std::vector<uint16_t> luma(pixels);
    const uint16_t* s = image.Samples.data();
    for (size_t i = 0; i < pixels; i++) {
        const uint16_t* p = s + i * C;
        const double Y = C <= 2 ? p[0] : 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        luma[i] = uint16_t(std::min<double>(nearbyint(Y), image.MaxValue));
    }
    return EstimateNoise(luma.data(), W, H, W, image.Bits);
}

NoiseEstimate MeasureFrameNoise(const Y4mFormat& format, const uint8_t* data) {
    if (format.Bits <= 8) return EstimateNoise(data, format.Width, format.Height, format.Width, 8);
    // Deeper samples are little-endian 16-bit words, as they sit on this machine.
    return EstimateNoise(reinterpret_cast<const uint16_t*>(data), format.Width, format.Height,
                         format.Width, format.Bits);
}

int AutoStrengthFor(const FilterSettings& settings, double sigma, double detail, int bits) {
    return StrengthForNoise(sigma, detail, bits, settings.Range, settings.Gaussian);
}

void StartStreamStrength(StreamStrength* s, const FilterSettings& settings, int bits) {
    *s = StreamStrength();
    s->Settings = settings;
    s->Bits = bits;
    StartTracking(&s->Tracker);
}

int StreamStrengthHold(const StreamStrength& s) {
    return s.Settings.Sigma >= 0 ? 0 : s.Tracker.Settings.LeadFrames;
}

bool StreamStrengthMeasures(const StreamStrength& s) {
    return s.Settings.Sigma < 0;
}

ShotRelease TrackStreamFrame(StreamStrength* s, const NoiseEstimate& noise) {
    if (!StreamStrengthMeasures(*s)) {
        // Given: one level for the whole stream, nothing held.
        ShotRelease r;
        r.Groups = 1;
        r.Frames[0] = 1;
        r.Sigma[0] = s->Settings.Sigma;
        r.Detail[0] = -1;  // not measured: the curve for busy pictures
        r.ShotStart[0] = s->Shots == 0;
        return r;
    }
    return TrackFrame(&s->Tracker, noise);
}

int StrengthForGroup(StreamStrength* s, const ShotRelease& r, int group) {
    const double sigma = r.Sigma[group];
    const int strength = AutoStrengthFor(s->Settings, sigma, r.Detail[group], s->Bits);
    if (s->Shots == 0) {
        s->SigmaLow = s->SigmaHigh = sigma;
        s->StrengthLow = s->StrengthHigh = strength;
    }
    if (r.ShotStart[group]) s->Shots++;
    s->Sigma = sigma;
    s->Strength = strength;
    s->SigmaLow = std::min(s->SigmaLow, sigma);
    s->SigmaHigh = std::max(s->SigmaHigh, sigma);
    s->StrengthLow = std::min(s->StrengthLow, strength);
    s->StrengthHigh = std::max(s->StrengthHigh, strength);
    return strength;
}

std::string StreamSummary(const StreamStrength& s, long frames) {
    char text[200];
    const char* how = s.Settings.Sigma >= 0 ? "given" : "estimated";
    int n = snprintf(text, sizeof text, "%ld frame%s, %ld shot%s: ", frames, frames == 1 ? "" : "s",
                     s.Shots, s.Shots == 1 ? "" : "s");
    if (s.Shots == 0) return std::string(text, n - 2);
    if (s.SigmaLow == s.SigmaHigh)
        n += snprintf(text + n, sizeof text - n, "noise sigma %.2f (%s)", s.SigmaLow, how);
    else
        n += snprintf(text + n, sizeof text - n, "noise sigma %.2f to %.2f (%s)", s.SigmaLow,
                      s.SigmaHigh, how);
    if (s.StrengthLow == s.StrengthHigh)
        snprintf(text + n, sizeof text - n, ", strength %d", s.StrengthLow);
    else
        snprintf(text + n, sizeof text - n, ", strength %d to %d", s.StrengthLow, s.StrengthHigh);
    return text;
}

std::string StrengthNote(double sigma, bool estimated, int strength) {
    char text[96];
    snprintf(text, sizeof text, "noise sigma %.2f (%s), strength %d", sigma,
             estimated ? "estimated" : "given", strength);
    return text;
}
