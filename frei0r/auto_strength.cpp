// auto_strength.cpp: the noise of each RGBA frame's luma, one level per shot, and its strength
#include "auto_strength.h"

#include <math.h>

#include "../noise/noise_estimate.h"
#include "../noise/strength_calibration.h"

int AutoStrengthForFrame(PluginAutoStrength* a, SubstituteHost& host, const uint32_t* frame, int W,
                         int H, int range, bool gaussian) {
    if (!a->Started) {
        ShotTrackerSettings settings;
        settings.LeadFrames = 1;
        StartTracking(&a->Tracker, settings);
        a->Started = true;
    }
    a->Luma.resize(size_t(W) * size_t(H));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(frame);
    uint8_t* luma = a->Luma.data();
    // The luma the program measures in an RGB image: Y rounded to the nearest level.
    host.RunRows(H, W, [&](int y0, int y1) {
        for (size_t i = size_t(y0) * W; i < size_t(y1) * W; i++) {
            const uint8_t* p = bytes + 4 * i;
            luma[i] = uint8_t(nearbyint(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]));
        }
    });
    const ShotRelease r = TrackFrame(&a->Tracker, EstimateNoise(luma, W, H, W, 8));
    // With a lead of one frame, every frame is released at once: the last group is this one.
    if (r.Groups > 0) {
        a->Sigma = r.Sigma[r.Groups - 1];
        a->Detail = r.Detail[r.Groups - 1];
    }
    return StrengthForNoise(a->Sigma, a->Detail, 8, range, gaussian);
}
