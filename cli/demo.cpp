// demo.cpp: tessival demo: test clip, seeded noise, filter, PSNR and a before/after PNG
#include "demo.h"

#include <algorithm>

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "../noise/shot_tracker.h"
#include "auto_strength.h"
#include "image_io.h"
#include "motion.h"
#include "run.h"
#include "temporal_stage.h"
#include "../noise/temporal_calibration.h"

enum { DemoW = 384, DemoH = 288, DemoFrames = 8 };
// The demo's range unless given; the strength is automatic unless given.
enum { DemoRange = 2 };

void DrawScene(int W, int H, int t, uint8_t* luma) {
    const double pi = 3.14159265358979323846;
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            double v = 40.0 + 150.0 * (x + y) / double(W + H);  // gradient
            // Zone plate in the upper right: rings whose frequency rises outwards.
            const double zx = x - 0.78 * W, zy = y - 0.28 * H;
            const double r2 = zx * zx + zy * zy;
            if (r2 < 0.2 * W * 0.2 * W) v = 128.0 + 80.0 * cos(pi * r2 / (0.9 * W));
            // Checkerboard of 12-pixel squares, moving right two pixels a frame.
            if (x >= 24 && x < 24 + 120 && y >= 24 && y < 24 + 96)
                v = (((x - 2 * t) / 12 + y / 12) & 1) ? 200.0 : 60.0;
            // A bright disc with a soft rim, moving down and right.
            const double cx = 0.32 * W + 3 * t, cy = 0.68 * H + 2 * t;
            const double d = sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
            const double radius = 0.12 * H;
            if (d < radius + 4) v = v + (215.0 - v) * std::min(1.0, (radius + 4 - d) / 4);
            // Lines one and two pixels wide.
            if (y > H / 2 && (x == W - 120 || x == W - 100 || x == W - 99)) v = 30.0;
            if (x > W / 2 && y == H - 30) v = 225.0;
            luma[size_t(y) * W + x] = uint8_t(std::min(232.0, std::max(24.0, v + 0.5)));
        }
    }
}

// xorshift64*: small, fast, and the same everywhere, unlike the distributions of <random>.
static double NextUniform(uint64_t* s) {
    *s ^= *s >> 12;
    *s ^= *s << 25;
    *s ^= *s >> 27;
    const uint64_t r = *s * 0x2545F4914F6CDD1DULL;
    return (double(r >> 11) + 0.5) / 9007199254740992.0;  // in (0, 1)
}

void AddNoise(uint8_t* luma, size_t n, double sigma, uint64_t* state) {
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < n; i += 2) {
        // Box-Muller: two independent normal values from two uniform ones.
        const double u = NextUniform(state), v = NextUniform(state);
        const double m = sqrt(-2.0 * log(u)) * sigma;
        const double z[2] = {m * cos(2 * pi * v), m * sin(2 * pi * v)};
        for (size_t k = 0; k < 2 && i + k < n; k++) {
            const double w = nearbyint(luma[i + k] + z[k]);
            luma[i + k] = uint8_t(w < 0 ? 0 : w > 255 ? 255 : w);
        }
    }
}

double Psnr8(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); i++) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) return INFINITY;
    return 10.0 * log10(255.0 * 255.0 * double(a.size()) / sum);
}

int RunDemo(const Options& o) {
    FilterSettings settings = o.Filter;
    if (!o.RangeGiven) settings.Range = DemoRange;
    LumaFilter filter;
    std::string error;
    if (!OpenLumaFilter(&filter, settings, &error)) {
        fprintf(stderr, "tessival: %s\n", error.c_str());
        return ExitNoFilter;
    }
    const size_t n = size_t(DemoW) * DemoH;
    std::vector<uint8_t> clean(n * DemoFrames), noisy(n * DemoFrames), denoised(n * DemoFrames);
    uint64_t state = 0x9E3779B97F4A7C15ULL ^ (uint64_t(o.Seed) * 0xD1B54A32D192ED03ULL);
    if (state == 0) state = 1;
    // The clip is one shot: the noise is measured on every frame and the tracker settles one
    // level for all of them, as the program does for a stream.
    ShotTracker tracker;
    StartTracking(&tracker);
    double sigma = settings.Sigma, detail = -1;
    for (int t = 0; t < DemoFrames; t++) {
        uint8_t* c = clean.data() + n * t;
        uint8_t* z = noisy.data() + n * t;
        DrawScene(DemoW, DemoH, t, c);
        memcpy(z, c, n);
        AddNoise(z, n, o.Noise, &state);
        const ShotRelease r = TrackFrame(&tracker, EstimateNoise(z, DemoW, DemoH, DemoW, 8));
        if (r.Groups > 0 && sigma < 0) sigma = r.Sigma[0], detail = r.Detail[0];
    }
    const ShotRelease last = FinishTracking(&tracker);
    if (last.Groups > 0 && sigma < 0) sigma = last.Sigma[0], detail = last.Detail[0];
    const bool estimated = settings.Sigma < 0;
    if (settings.AutoStrength)
        SetLumaStrength(&filter, AutoStrengthFor(settings, sigma, detail, 8));
    std::vector<uint16_t> plane(n);
    for (int t = 0; t < DemoFrames; t++) {
        const uint8_t* z = noisy.data() + n * t;
        for (size_t i = 0; i < n; i++) plane[i] = z[i];
        if (!FilterLumaPlane(&filter, plane.data(), DemoW, DemoH, 8, &error, filter.ScaleBits)) {
            fprintf(stderr, "tessival: %s\n", error.c_str());
            return ExitNoFilter;
        }
        for (size_t i = 0; i < n; i++) denoised[n * t + i] = uint8_t(plane[i]);
    }

    // The same noisy clip in temporal mode (--temporal N, 1 unless given): every frame also
    // searches its neighbours. Each frame's result goes into its own host image.
    // With the automatic strength it takes the temporal calibration's strength for the noise.
    const int neighbours = o.Temporal > 0 ? o.Temporal : 1;
    FilterSettings across = settings;
    across.Gaussian = TemporalGaussian(o);
    if (across.AutoStrength) {
        across.AutoStrength = false;
        across.Strength = TemporalStrengthForNoise(sigma, detail, 8, across.Range, across.Gaussian);
    }
    Y4mFormat format;
    format.Width = DemoW;
    format.Height = DemoH;
    format.Bits = 8;
    TemporalFilter temporal;
    if (!OpenTemporalFilter(&temporal, &filter, across, neighbours, format, &error)) {
        fprintf(stderr, "tessival: %s\n", error.c_str());
        return ExitNoFilter;
    }
    PixelLayout gray;
    gray.ScaleBits = temporal.ScaleBits;
    std::vector<HostImage> images(DemoFrames);
    for (int t = 0; t < DemoFrames; t++) {
        SizeHostImage(&images[t], DemoW, DemoH);
        PixelsToHost(gray, noisy.data() + n * t, images[t].Pixels, images[t].Capacity, DemoW, 0,
                     DemoH);
    }
    int done = 0;
    filter.Host->Bind();
    for (int t = 0; t < DemoFrames; t++) {
        HostImage& due = images[done];
        // Frame t-1 still holds its input: it leaves with this push at the earliest.
        const GlobalMotion motion =
            t == 0 ? GlobalMotion{}
                   : EstimateMotion(images[t - 1].Pixels, images[t - 1].Capacity, images[t].Pixels,
                                    images[t].Capacity, DemoW, DemoH,
                                    TemporalMotionBound(across.Range));
        if (temporal.Table->PushMoved(temporal.Block, images[t].Pixels, images[t].Capacity,
                                      motion.Y, motion.X, due.Pixels, due.Capacity) == 1)
            done++;
    }
    while (done < DemoFrames &&
           temporal.Table->Finish(temporal.Block, images[done].Pixels, images[done].Capacity) == 1)
        done++;
    std::vector<uint8_t> acrossFrames(n * DemoFrames);
    for (int t = 0; t < DemoFrames; t++)
        PixelsFromHost(gray, images[t].Pixels, images[t].Capacity, noisy.data() + n * t,
                       acrossFrames.data() + n * t, DemoW, 0, DemoH);
    CloseLumaFilter(&filter);

    // Before and after, side by side: frame DemoFrames / 2, noisy on the left, then the
    // spatial filter, then the temporal mode.
    Image picture;
    picture.Width = 3 * DemoW + 16;
    picture.Height = DemoH;
    picture.Samples.assign(size_t(picture.Width) * DemoH, 255);
    const size_t shown = n * (DemoFrames / 2);
    for (int y = 0; y < DemoH; y++) {
        for (int x = 0; x < DemoW; x++) {
            picture.Samples[size_t(y) * picture.Width + x] = noisy[shown + size_t(y) * DemoW + x];
            picture.Samples[size_t(y) * picture.Width + DemoW + 8 + x] =
                denoised[shown + size_t(y) * DemoW + x];
            picture.Samples[size_t(y) * picture.Width + 2 * DemoW + 16 + x] =
                acrossFrames[shown + size_t(y) * DemoW + x];
        }
    }
    std::vector<uint8_t> png;
    FILE* out = nullptr;
    if (!EncodePng(picture, &png, &error) || (out = fopen(o.Output.c_str(), "wb")) == nullptr ||
        fwrite(png.data(), 1, png.size(), out) != png.size() || fclose(out) != 0) {
        fprintf(stderr, "tessival: cannot write %s: %s\n", o.Output.c_str(),
                error.empty() ? strerror(errno) : error.c_str());
        return ExitWriteFailed;
    }

    const double before = Psnr8(clean, noisy), after = Psnr8(clean, denoised);
    const double temporalAfter = Psnr8(clean, acrossFrames);
    printf("tessival demo: %d frames of %dx%d, Gaussian noise of sigma %d (seed %u)\n",
           int(DemoFrames), int(DemoW), int(DemoH), o.Noise, o.Seed);
    if (settings.AutoStrength)
        printf("noise: sigma %d added, %.2f %s; strength %d (auto)\n", o.Noise, sigma,
               estimated ? "estimated" : "given", filter.Strength);
    printf("filter: --range %d --strength %d%s\n", settings.Range, filter.Strength,
           settings.Gaussian ? "" : " --box");
    printf("PSNR of the luma against the clean clip:\n");
    printf("  noisy     %6.2f dB\n", before);
    printf("  denoised  %6.2f dB  (%+.2f dB)  each frame alone, as the editor's plug-in\n", after,
           after - before);
    printf("  temporal  %6.2f dB  (%+.2f dB)  --temporal %d --strength %d%s: frames t-%d to t+%d\n",
           temporalAfter, temporalAfter - before, neighbours, across.Strength,
           across.Gaussian ? " --gaussian" : "", neighbours, neighbours);
    printf("noisy | denoised | temporal (frame %d): %s\n", int(DemoFrames / 2) + 1,
           o.Output.c_str());
    return ExitOk;
}
