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

int AutoStrengthFor(const FilterSettings& settings, double sigma, int bits) {
    return StrengthForSigma(sigma, bits, settings.Range, settings.Gaussian);
}

std::string StrengthNote(double sigma, bool estimated, int strength) {
    char text[96];
    snprintf(text, sizeof text, "noise sigma %.2f (%s), strength %d", sigma,
             estimated ? "estimated" : "given", strength);
    return text;
}
