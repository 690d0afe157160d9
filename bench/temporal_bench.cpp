// temporal_bench.cpp: the temporal mode against the spatial filter, quality and speed
//
//   tessival_temporal quality [--range R] [--threads T] [--box | --gaussian] [--sigma 10|20]
//                             [--kinds N,N...] IMAGE.png...
//   tessival_temporal speed [--range R] [--frames F] [--reps N] [--object] W H THREADS...
//
// quality: moving 640x360 clips cut from a strip of the images (pans of 2 and 3 pixels a frame
// by turns, pans of 2 pixels, an object moving 6 pixels a frame over a pan, the top and the
// bottom of the picture panning their own ways, and a hard cut between two pans), Gaussian
// noise of sigma 10 and 20 (8-bit levels), every strength from 10 to 200 in steps of 10 (past
// 100 at a reduced luma scale, as the program does) for the spatial filter, --temporal 1 and 2
// with the program's motion estimate (global and per region), --temporal 1 with the window
// left in place, and --temporal 1 with the global motion only, each with the program's
// weighting (Gaussian, uniform in temporal mode; --box and --gaussian make both the same); per
// kind of clip the best PSNR of each mode with the strength that gave it, and beside the cut,
// the two frames next to it at each mode's best strength and at the strength best for those
// two frames alone. The object's picture and the two parts' picture come again as plain pans
// (the object left out; the two parts panning together): the most those pictures give. --sigma
// runs one sigma and --kinds the kinds of the numbers given (as printed).
// speed: time per frame of the spatial module and of --temporal 1 and 2, interleaved, on a
// noisy W x H clip panned 3 pixels a frame (with --object, a block moving its own way over it)
// (the motion estimate timed apart); the median of the repetitions.
#include <math.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../cli/image_io.h"
#include "../cli/motion.h"
#include "../cli/scene_cut.h"
#include "../cli/temporal_stage.h"
#include "../host/temporal_api.h"
#include "../noise/strength_calibration.h"
#include "../subhost/luma_map.h"
#include "../subhost/substitute_host.h"

typedef std::vector<uint8_t> Plane;     // 8-bit luma
static int PanX[2] = {2, 3}, PanY = 1;  // the pans' motion, set per kind of clip
static int OnlyMode = -1;               // speed: time one mode only (for profiles)
static bool Object = false;             // speed: an object moving its own way over the pan
static int OnlySigma = 0;               // quality: one sigma only (10 or 20)
static std::string OnlyKinds;           // quality: the kinds of clip to run, by number
static bool SpatialGaussian = true, TemporalGaussian = false;
struct Clip {
    std::string Name;
    int W = 0, H = 0;
    std::vector<Plane> Frames;
    int Cut = -1;  // first frame of the second shot, or -1
};

static Plane Gray(const Image& image) {
    Plane p(size_t(image.Width) * image.Height);
    for (size_t i = 0; i < p.size(); i++) {
        const uint16_t* s = &image.Samples[i * image.Channels];
        const double y = image.Channels >= 3 ? 0.299 * s[0] + 0.587 * s[1] + 0.114 * s[2] : s[0];
        p[i] = uint8_t(std::min(255.0, nearbyint(y * 255.0 / image.MaxValue)));
    }
    return p;
}

// The images side by side, cut to a common height.
struct Strip {
    int W = 0, H = 0;
    Plane Y;
    uint8_t At(int x, int y) const { return Y[size_t(y) * W + size_t(std::clamp(x, 0, W - 1))]; }
};

static Clip Pan(const Strip& s, const char* name, int x0, int y0, int frames) {
    Clip c{name, 640, 360, {}, -1};
    int x = x0, y = y0;
    for (int t = 0; t < frames; t++) {
        Plane p(size_t(c.W) * c.H);
        for (int j = 0; j < c.H; j++)
            for (int i = 0; i < c.W; i++) p[size_t(j) * c.W + i] = s.At(x + i, y + j);
        c.Frames.push_back(p);
        x += PanX[t % 2];  // 2.5 pixels a frame unless --pan says otherwise
        y += t % 3 == 0 ? PanY : 0;
    }
    return c;
}

// without: the pan alone, the object left out (the most its picture gives the temporal mode).
static Clip MovingObject(const Strip& s, int bx, int ox, int frames, bool without = false) {
    Clip c = Pan(s, "object", bx, 0, frames);
    for (int t = 0; t < frames && !without; t++) {
        // A 160x120 piece of another part of the strip moving 6 right and 3 down per frame.
        const int px = 40 + 6 * t, py = 60 + 3 * t;
        for (int j = 0; j < 120; j++)
            for (int i = 0; i < 160; i++)
                c.Frames[t][size_t(py + j) * c.W + px + i] = s.At(ox + i, 200 + j);
    }
    return c;
}

// Two parts of the picture moving their own ways (parallax, say): the top 200 rows pan 2 and 3
// pixels right by turns, the rest of the frame pans 3 pixels left and a pixel up every other
// frame, from another part of the strip. together: the rest pans with the top instead (the same
// picture as one pan, the most it gives the temporal mode).
static Clip TwoMotions(const Strip& s, int ax, int bx, int frames, bool together = false) {
    Clip c = Pan(s, "two motions", ax, 0, frames);
    for (int t = 0, x = 0, y = 0; t < frames; x += PanX[t % 2], y += t % 3 == 0 ? PanY : 0, t++)
        for (int j = 200; j < c.H; j++)
            for (int i = 0; i < c.W; i++)
                c.Frames[t][size_t(j) * c.W + i] = together
                                                       ? s.At(bx + i + x, j + 30 + y)
                                                       : s.At(bx + i - 3 * t, j + 30 - (t + 1) / 2);
    return c;
}

static Clip WithCut(const Clip& a, const Clip& b, int at) {
    Clip c{"cut", a.W, a.H, {}, at};
    for (int t = 0; t < int(a.Frames.size()); t++)
        c.Frames.push_back(t < at ? a.Frames[t] : b.Frames[t]);
    return c;
}

static void AddNoise(Plane* p, double sigma, std::mt19937* rng) {
    std::normal_distribution<double> noise(0.0, sigma);
    for (uint8_t& v : *p) v = uint8_t(std::clamp(nearbyint(v + noise(*rng)), 0.0, 255.0));
}

// Mean squared error of every frame.
static std::vector<double> Errors(const Clip& clean, const std::vector<Plane>& got) {
    std::vector<double> e;
    for (size_t t = 0; t < got.size(); t++) {
        double sum = 0;
        for (size_t i = 0; i < got[t].size(); i++) {
            const double d = double(got[t][i]) - clean.Frames[t][i];
            sum += d * d;
        }
        e.push_back(sum / double(got[t].size()));
    }
    return e;
}

static double Psnr(double mse) {
    return 10.0 * log10(255.0 * 255.0 / mse);
}

// 8-bit luma to the module's images and back, at the luma scale of a strength (12 bits up to
// 100, fewer past it: SplitStrength).
static void ToFilter(const Plane& p, YcPixel* image, int W, int H, int capacity,
                     int scaleBits = FilterScaleBits) {
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            image[size_t(y) * capacity + x] =
                YcPixel{LumaToFilter(p[size_t(y) * W + x], 8, scaleBits), 0, 0};
}
static Plane FromFilter(const YcPixel* image, int W, int H, int capacity, const Plane& in,
                        int scaleBits) {
    Plane p(size_t(W) * H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            p[size_t(y) * W + x] = uint8_t(LumaFromFilter(image[size_t(y) * capacity + x].Y,
                                                          in[size_t(y) * W + x], 8, scaleBits));
    return p;
}

static std::vector<Plane> Spatial(SubstituteHost& host, const std::vector<Plane>& in, int W, int H,
                                  int R, int strength) {
    const ModuleStrength split = SplitStrength(strength);
    host.SetControls(R, split.Strength, SpatialGaussian);
    host.AllocateImages(W, H, (W + 7) & ~7);
    std::vector<Plane> out;
    for (const Plane& p : in) {
        ToFilter(p, host.Edit(), W, H, host.Capacity(), split.ScaleBits);
        host.Process();
        out.push_back(FromFilter(host.Edit(), W, H, host.Capacity(), p, split.ScaleBits));
    }
    return out;
}

struct Temporal {
    const TemporalTable* Table = GetTemporalTable();
    void* Block = nullptr;
    ~Temporal() { free(Block); }
    bool Open(SubstituteHost& host, int W, int H, int R, int strength, int N, bool gaussian) {
        const TemporalSetup setup{W, H, R, strength, gaussian ? 1 : 0, N, host.Threads()};
        const size_t huge = size_t(2) << 20;
        const size_t bytes = (size_t(Table->BlockBytes(&setup)) + huge - 1) / huge * huge;
        Block = aligned_alloc(huge, bytes);
        // Large pages: the tiles stride across rows of several big frames.
        if (getenv("TESSIVAL_NO_HUGE") == nullptr) madvise(Block, bytes, MADV_HUGEPAGE);
        memset(Block, 0, bytes);
        host.Bind();
        return Table->Open(Block, &setup, host.Functions().RunOnAllThreads) == 1;
    }
};

// An 8-bit gray stream's format, for the program's measures.
static Y4mFormat GrayFormat(int W, int H) {
    Y4mFormat format;
    format.Width = W, format.Height = H, format.Bits = 8, format.Planes = 1;
    return format;
}

// cuts: 0 none, 1 found by IsSceneCut, 2 the clip's own cut. moved: each frame goes in with
// the program's motion estimate, else the window stays around the pixel; regions: with the
// program's vectors per region too, else the global motion only.
static std::vector<Plane> TemporalRun(SubstituteHost& host, const std::vector<Plane>& in, int W,
                                      int H, int R, int strength, int N, int cuts, int knownCut,
                                      bool moved = true, bool regions = true) {
    const ModuleStrength split = SplitStrength(strength);
    Temporal t;
    if (!t.Open(host, W, H, R, split.Strength, N, TemporalGaussian)) {
        fprintf(stderr, "temporal mode refused the setup\n");
        exit(1);
    }
    std::vector<YcPixel> frame(size_t(W) * H), out(size_t(W) * H);
    std::vector<Plane> result;
    const Y4mFormat format = GrayFormat(W, H);
    auto collect = [&] {
        const size_t i = result.size();
        result.push_back(FromFilter(out.data(), W, H, W, in[i], split.ScaleBits));
    };
    // The program's measures, from the 8-bit samples as its reader takes them.
    FrameMeasures measures;
    measures.Bound = TemporalMotionBound(R);
    const TemporalSetup setup{W, H, R, split.Strength, TemporalGaussian ? 1 : 0, N, host.Threads()};
    if (moved && regions) t.Table->Regions(&setup, &measures.Regions);
    for (size_t i = 0; i < in.size(); i++) {
        ToFilter(in[i], frame.data(), W, H, W, split.ScaleBits);
        StreamItem item;
        item.Frame.Data = in[i];
        MeasureStage(&measures, format, &item);
        const bool cut = i > 0 && ((cuts == 1 && item.Cut) || (cuts == 2 && int(i) == knownCut));
        if (cut)
            while (t.Table->Finish(t.Block, out.data(), W) == 1) collect();
        const GlobalMotion motion = i > 0 && !cut && moved ? item.Motion : GlobalMotion{};
        const int8_t* field = i > 0 && !cut && !item.Field.empty() ? item.Field.data() : nullptr;
        t.Table->SetField(t.Block, field);
        if (t.Table->PushMoved(t.Block, frame.data(), W, motion.Y, motion.X, out.data(), W) == 1)
            collect();
    }
    while (t.Table->Finish(t.Block, out.data(), W) == 1) collect();
    return result;
}

static int Quality(int R, int threads, const std::vector<std::string>& files) {
    Strip strip;
    strip.H = 400;
    std::vector<Plane> images;
    std::vector<int> widths;
    for (const std::string& f : files) {
        FILE* in = fopen(f.c_str(), "rb");
        if (!in) {
            fprintf(stderr, "cannot open %s\n", f.c_str());
            return 1;
        }
        std::vector<uint8_t> bytes;
        int ch;
        while ((ch = getc(in)) != EOF) bytes.push_back(uint8_t(ch));
        fclose(in);
        Image image;
        std::string error;
        if (!DecodePng(bytes, &image, &error) || image.Height < strip.H) {
            fprintf(stderr, "%s: %s\n", f.c_str(),
                    error.empty() ? "under 400 rows" : error.c_str());
            return 1;
        }
        images.push_back(Gray(image));
        widths.push_back(image.Width);
        strip.W += image.Width;
    }
    strip.Y.resize(size_t(strip.W) * strip.H);
    for (int y = 0, x0 = 0; y < strip.H; y++, x0 = 0)
        for (size_t k = 0; k < images.size(); x0 += widths[k], k++)
            memcpy(&strip.Y[size_t(y) * strip.W + x0], &images[k][size_t(y) * widths[k]],
                   size_t(widths[k]));
    const int frames = 10;
    // Kinds of clip: three pans each of 2-and-3 and of 2 pixels a frame, the moving object, and
    // the cut between two 2-and-3-pixel pans (measured as a whole and beside the cut).
    struct Kind {
        const char* Name;
        std::vector<Clip> Clips;
    };
    std::vector<Kind> kinds;
    const int pans[2][2] = {{2, 3}, {2, 2}};
    const char* panNames[2] = {"pans of 2 and 3 pixels by turns", "pans of 2 pixels"};
    for (int p = 0; p < 2; p++) {
        PanX[0] = pans[p][0], PanX[1] = pans[p][1];
        kinds.push_back({panNames[p], {}});
        for (int k = 0; k < 3; k++)
            kinds.back().Clips.push_back(
                Pan(strip, "pan", k * (strip.W - 700) / 2, 10 * k, frames));
    }
    PanX[0] = 2, PanX[1] = 3;
    kinds.push_back({"object of 6 right, 3 down over a pan", {}});
    kinds.back().Clips.push_back(MovingObject(strip, strip.W / 3, strip.W - 200, frames));
    kinds.push_back({"two parts panning their own ways", {}});
    kinds.back().Clips.push_back(TwoMotions(strip, strip.W / 5, strip.W / 2, frames));
    const Clip cut =
        WithCut(Pan(strip, "a", 0, 0, frames), Pan(strip, "b", strip.W - 700, 20, frames), 5);
    kinds.push_back({"two pans, a cut after frame 5", {cut}});
    // The pictures of the object and of the two parts as plain pans: what the temporal mode gains
    // there is the most those pictures allow, motion of their own aside. (Last, so that the
    // kinds above keep their noise.)
    kinds.push_back({"the object's pan alone (its picture's own ceiling)", {}});
    kinds.back().Clips.push_back(MovingObject(strip, strip.W / 3, strip.W - 200, frames, true));
    kinds.push_back({"two parts panning together (their picture's own ceiling)", {}});
    kinds.back().Clips.push_back(TwoMotions(strip, strip.W / 5, strip.W / 2, frames, true));
    SubstituteHost host(threads);
    host.Attach(GetFilterTable());
    printf("R=%d, clips of %d frames 640x360, threads %d; images: %d; spatial %s, temporal %s\n", R,
           frames, threads, int(files.size()), SpatialGaussian ? "Gaussian" : "box",
           TemporalGaussian ? "Gaussian" : "box");
    enum { Modes = 5 };
    const char* modeNames[Modes] = {"spatial", "temporal 1", "temporal 2", "temporal 1 unmoved",
                                    "temporal 1 global"};
    for (double sigma : {10.0, 20.0}) {
        if (OnlySigma != 0 && OnlySigma != int(sigma)) continue;
        std::mt19937 rng{unsigned(sigma)};
        for (size_t number = 0; number < kinds.size(); number++) {
            const Kind& kind = kinds[number];
            // Every kind's noise is drawn, chosen or not, so a kind's clip is the same either way.
            std::vector<std::vector<Plane>> noisy;
            for (const Clip& c : kind.Clips) {
                noisy.push_back(c.Frames);
                for (Plane& p : noisy.back()) AddNoise(&p, sigma, &rng);
            }
            if (!OnlyKinds.empty() &&
                ("," + OnlyKinds + ",").find("," + std::to_string(number) + ",") ==
                    std::string::npos)
                continue;
            const bool isCut = kind.Clips[0].Cut >= 0;
            double bestPsnr[Modes] = {};
            int bestStrength[Modes] = {};
            for (int mode = 0; mode < Modes; mode++)
                for (int s = 10; s <= MaxStrength; s += 10) {
                    double mse = 0;
                    int n = 0;
                    for (size_t k = 0; k < kind.Clips.size(); k++) {
                        const int N = mode >= 3 ? 1 : mode;
                        const std::vector<Plane> out =
                            mode == 0 ? Spatial(host, noisy[k], 640, 360, R, s)
                                      : TemporalRun(host, noisy[k], 640, 360, R, s, N,
                                                    isCut ? 1 : 0, -1, mode != 3, mode != 4);
                        for (double e : Errors(kind.Clips[k], out)) mse += e, n++;
                    }
                    const double p = Psnr(mse / n);
                    if (p > bestPsnr[mode]) bestPsnr[mode] = p, bestStrength[mode] = s;
                }
            double noisyMse = 0;
            int n = 0;
            for (size_t k = 0; k < kind.Clips.size(); k++)
                for (double e : Errors(kind.Clips[k], noisy[k])) noisyMse += e, n++;
            printf("sigma %2.0f, %zu %s: noisy %.2f dB\n", sigma, number, kind.Name,
                   Psnr(noisyMse / n));
            for (int mode = 0; mode < Modes; mode++)
                printf("  %-20s %.2f dB (%3d) %+.2f dB\n", modeNames[mode], bestPsnr[mode],
                       bestStrength[mode], bestPsnr[mode] - bestPsnr[0]);
            if (!isCut) continue;
            // Beside the cut: frames 4 and 5, each mode at its best strength, the cut found by
            // IsSceneCut and not.
            const Clip& c = kind.Clips[0];
            const std::vector<double> spatial =
                Errors(c, Spatial(host, noisy[0], 640, 360, R, bestStrength[0]));
            for (int N = 1; N <= 2; N++)
                for (int cuts = 1; cuts >= 0; cuts--) {
                    const std::vector<double> e = Errors(
                        c,
                        TemporalRun(host, noisy[0], 640, 360, R, bestStrength[N], N, cuts, c.Cut));
                    printf(
                        "  temporal %d, %-10s frame 4 %+.2f dB, frame 5 %+.2f dB against "
                        "spatial\n",
                        N, cuts ? "cut found" : "not split", Psnr(e[4]) - Psnr(spatial[4]),
                        Psnr(e[5]) - Psnr(spatial[5]));
                }
            // The two frames beside the cut have one neighbour each: the strength best for them
            // alone, against the spatial filter at its own best strength for them.
            for (int N = 1; N <= 2; N++) {
                double top = -1e9, topSpatial = -1e9;
                int at = 0, atSpatial = 0;
                for (int s = 10; s <= MaxStrength; s += 10) {
                    const std::vector<double> e =
                        Errors(c, TemporalRun(host, noisy[0], 640, 360, R, s, N, 1, c.Cut));
                    const std::vector<double> z =
                        Errors(c, Spatial(host, noisy[0], 640, 360, R, s));
                    const double p = Psnr((e[4] + e[5]) / 2), q = Psnr((z[4] + z[5]) / 2);
                    if (p > top) top = p, at = s;
                    if (q > topSpatial) topSpatial = q, atSpatial = s;
                }
                const std::vector<double> e = Errors(
                    c, TemporalRun(host, noisy[0], 640, 360, R, bestStrength[N], N, 1, c.Cut));
                printf(
                    "  temporal %d, frames 4 and 5: %.2f dB at the clip's best strength %d, "
                    "%.2f dB at their own best %d; spatial %.2f dB (%d), %.2f dB at its own "
                    "best %d\n",
                    N, Psnr((e[4] + e[5]) / 2), bestStrength[N], top, at,
                    Psnr((spatial[4] + spatial[5]) / 2), bestStrength[0], topSpatial, atSpatial);
            }
        }
    }
    return 0;
}

// CPU seconds of the whole process (every thread) so far: steadier than wall time on a shared
// machine.
static double CpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

static int Speed(int R, int frames, int reps, int W, int H, const std::vector<int>& threadCounts) {
    std::mt19937 rng(7);
    std::vector<Plane> clip;
    for (int t = 0; t < frames; t++) {
        Plane p(size_t(W) * H);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                p[size_t(y) * W + x] = uint8_t(((x + 3 * t) / 24 + y / 24) % 2 ? 160 : 90);
        // --object: a quarter of the frame's width and height moving its own way, 6 right and
        // 3 down a frame, so that its regions take vectors of their own.
        for (int y = 0; Object && y < H / 4; y++)
            for (int x = 0; x < W / 4; x++)
                p[size_t(H / 4 + 3 * t + y) * W + W / 4 + 6 * t + x] =
                    uint8_t(60 + (x * x + 3 * y * y) % 71 * 2);
        AddNoise(&p, 10.0, &rng);
        clip.push_back(p);
    }
    for (int threads : threadCounts) {
        SubstituteHost host(threads);
        host.Attach(GetFilterTable());
        host.SetControls(R, 40, SpatialGaussian);
        host.AllocateImages(W, H, (W + 7) & ~7);
        std::vector<std::vector<double>> times(3), cpu(3);
        std::vector<double> estimates;
        std::vector<YcPixel> frame(size_t(W) * H), out(size_t(W) * H);
        const Y4mFormat format = GrayFormat(W, H);
        FrameMeasures measures;
        measures.Bound = TemporalMotionBound(R);
        const TemporalSetup setup{W, H, R, 40, TemporalGaussian ? 1 : 0, 1, threads};
        GetTemporalTable()->Regions(&setup, &measures.Regions);
        StreamItem item;
        long regional = 0;
        for (int rep = 0; rep < reps; rep++)
            for (int mode = 0; mode < 3; mode++) {
                if (OnlyMode >= 0 && mode != OnlyMode) {
                    times[mode].push_back(1.0), cpu[mode].push_back(1.0);
                    continue;
                }
                Temporal t;
                if (mode > 0 && !t.Open(host, W, H, R, 40, mode, TemporalGaussian)) return 1;
                if (mode == 0) {  // plan once, untimed
                    ToFilter(clip[0], host.Edit(), W, H, host.Capacity());
                    host.Process();
                }
                double seconds = 0, cpuSeconds = 0, estimating = 0;
                for (size_t i = 0; i < clip.size(); i++) {
                    const Plane& p = clip[i];
                    if (mode == 0) {
                        ToFilter(p, host.Edit(), W, H, host.Capacity());
                        const auto t0 = std::chrono::steady_clock::now();
                        const double c0 = CpuSeconds();
                        host.Process();
                        cpuSeconds += CpuSeconds() - c0;
                        seconds +=
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                .count();
                    } else {
                        ToFilter(p, frame.data(), W, H, W);
                        // The program's motion and cut measures, timed apart (they run on its
                        // reader's thread).
                        item.Frame.Data = p;
                        const auto e0 = std::chrono::steady_clock::now();
                        MeasureStage(&measures, format, &item);
                        const GlobalMotion motion = i == 0 ? GlobalMotion{} : item.Motion;
                        const int8_t* field =
                            i == 0 || item.Field.empty() ? nullptr : item.Field.data();
                        for (size_t r = 0; field != nullptr && r < item.Field.size(); r += 2)
                            regional += item.Field[r] != motion.Y || item.Field[r + 1] != motion.X;
                        estimating +=
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - e0)
                                .count();
                        const auto t0 = std::chrono::steady_clock::now();
                        const double c0 = CpuSeconds();
                        t.Table->SetField(t.Block, field);
                        t.Table->PushMoved(t.Block, frame.data(), W, motion.Y, motion.X, out.data(),
                                           W);
                        cpuSeconds += CpuSeconds() - c0;
                        seconds +=
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                .count();
                    }
                }
                if (mode > 0) {
                    const auto t0 = std::chrono::steady_clock::now();
                    const double c0 = CpuSeconds();
                    while (t.Table->Finish(t.Block, out.data(), W) == 1) {
                    }
                    cpuSeconds += CpuSeconds() - c0;
                    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                   .count();
                }
                if (mode == 1) estimates.push_back(1000.0 * estimating / (frames - 1));
                times[mode].push_back(1000.0 * seconds / frames);
                cpu[mode].push_back(1000.0 * cpuSeconds / frames);
            }
        double median[3], cpuMedian[3];
        for (int mode = 0; mode < 3; mode++) {
            std::sort(times[mode].begin(), times[mode].end());
            std::sort(cpu[mode].begin(), cpu[mode].end());
            median[mode] = times[mode][times[mode].size() / 2];
            cpuMedian[mode] = cpu[mode][cpu[mode].size() / 2];
        }
        printf(
            "%dx%d R=%d threads %d, wall: spatial %.2f ms/frame | temporal 1 %.2f ms (%.2fx) | "
            "temporal 2 %.2f ms (%.2fx)\n",
            W, H, R, threads, median[0], median[1], median[1] / median[0], median[2],
            median[2] / median[0]);
        printf(
            "%dx%d R=%d threads %d, CPU:  spatial %.2f ms/frame | temporal 1 %.2f ms (%.2fx) | "
            "temporal 2 %.2f ms (%.2fx)\n",
            W, H, R, threads, cpuMedian[0], cpuMedian[1], cpuMedian[1] / cpuMedian[0], cpuMedian[2],
            cpuMedian[2] / cpuMedian[0]);
        std::sort(estimates.begin(), estimates.end());
        if (!estimates.empty())
            printf(
                "%dx%d motion and cut measures (the reader's, one thread, wall): %.2f "
                "ms/frame; regions moved otherwise: %ld\n",
                W, H, estimates[estimates.size() / 2], regional);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: tessival_temporal quality|speed ...\n");
        return 2;
    }
    const std::string what = argv[1];
    int R = 2, threads = 2, frames = 8, reps = 5;
    std::vector<std::string> rest;
    for (int i = 2; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--range" && i + 1 < argc)
            R = atoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc)
            threads = atoi(argv[++i]);
        else if (a == "--frames" && i + 1 < argc)
            frames = atoi(argv[++i]);
        else if (a == "--reps" && i + 1 < argc)
            reps = atoi(argv[++i]);
        else if (a == "--box")
            SpatialGaussian = TemporalGaussian = false;
        else if (a == "--gaussian")
            SpatialGaussian = TemporalGaussian = true;
        else if (a == "--object")
            Object = true;
        else if (a == "--sigma" && i + 1 < argc)
            OnlySigma = atoi(argv[++i]);
        else if (a == "--kinds" && i + 1 < argc)
            OnlyKinds = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            OnlyMode = atoi(argv[++i]);
        else if (a == "--pan" && i + 3 < argc) {
            PanX[0] = atoi(argv[++i]), PanX[1] = atoi(argv[++i]), PanY = atoi(argv[++i]);
        } else
            rest.push_back(a);
    }
    if (what == "quality" && !rest.empty()) return Quality(R, threads, rest);
    if (what == "speed" && rest.size() >= 3) {
        std::vector<int> counts;
        for (size_t i = 2; i < rest.size(); i++) counts.push_back(atoi(rest[i].c_str()));
        return Speed(R, frames, reps, atoi(rest[0].c_str()), atoi(rest[1].c_str()), counts);
    }
    fprintf(stderr,
            "usage: tessival_temporal quality [--range R] [--threads T] [--box|--gaussian] "
            "[--sigma 10|20] [--kinds N,N...] IMAGE.png... | speed "
            "[--range R] [--frames F] [--reps N] W H THREADS...\n");
    return 2;
}
