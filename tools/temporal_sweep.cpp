// temporal_sweep.cpp: fits and checks the temporal mode's automatic strength on panned clips
//
//   temporal_sweep sweep OUT.tsv [--neighbours A-B] [--sigma S] [--strengths A-B-STEP]
//                        IMAGE.pgm...              PSNR of a clip's middle frame at every
//                                                  strength 10..200 step 10, N = 0 to 2 (or
//                                                  A to B: --temporal 2 costs the most), sigma
//                                                  2..30 (or S alone)
//   temporal_sweep fit SWEEP.tsv [FINE.tsv...]     the temporal calibration, fitted on the sweep
//                                                  (and on finer sweeps around the best)
//   temporal_sweep fit-content SWEEP.tsv IMAGE.pgm... -- FINE.tsv...
//                                                  the busy and smooth tables, with each clip's
//                                                  smoothness as the program reads it
//   temporal_sweep weighting SWEEP.tsv             box against Gaussian, temporal against spatial
//   temporal_sweep evaluate [--sigma-only] SWEEP.tsv OUT.tsv IMAGE.pgm...
//                                                  auto against each clip's best strength, as
//                                                  the program picks it from the first frame's
//                                                  noise and detail (or its noise alone)
//   temporal_sweep curves                          the compiled calibration, for plotting
//   temporal_sweep best SWEEP.tsv                  each clip's best strength, for plotting
//
// A clip is 2N + 1 frames cut from a picture, the window moving `pan` pixels right a frame (0
// to 3) and one pixel down every other frame when it moves at all; each frame gets noise of its
// own. N = 0 is the spatial filter on the middle frame, N = 1 and 2 the temporal mode; only the
// middle frame, which has all its neighbours, is measured. The frames are the picture less 12
// columns and 4 rows, so the window stays inside it. Images are 8-bit binary PGM; one thread.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../cli/image_io.h"
#include "../host/temporal_api.h"
#include "../noise/noise_estimate.h"
#include "../noise/strength_calibration.h"
#include "../noise/temporal_calibration.h"
#include "../subhost/substitute_host.h"

namespace {

typedef std::vector<uint8_t> Plane;

struct Picture {
    std::string Name;
    int W = 0, H = 0;
    Plane Y;
};

const int Margin = 12, MarginRows = 4;  // the most a 5-frame clip moves at 3 pixels a frame
const int Pans[] = {0, 1, 2, 3};
const double Sigmas[] = {2, 3, 5, 7, 10, 15, 20, 25, 30};
const int StrengthStep = 10;

std::vector<Picture> ReadAll(int n, char** paths) {
    std::vector<Picture> pictures;
    for (int i = 0; i < n; i++) {
        std::vector<uint8_t> bytes;
        FILE* f = fopen(paths[i], "rb");
        for (int c; f != nullptr && (c = getc(f)) != EOF;) bytes.push_back(uint8_t(c));
        if (f != nullptr) fclose(f);
        Image image;
        std::string error;
        if (!DecodePnm(bytes, &image, &error) || image.Channels != 1 || image.MaxValue != 255 ||
            image.Width <= Margin + 16 || image.Height <= MarginRows + 16) {
            fprintf(stderr, "temporal_sweep: %s is no 8-bit gray PGM of 29x21 or more %s\n",
                    paths[i], error.c_str());
            exit(1);
        }
        Picture p;
        std::string name = paths[i];
        name = name.substr(name.rfind('/') + 1);
        p.Name = name.substr(0, name.rfind('.'));
        p.W = image.Width;
        p.H = image.Height;
        p.Y.assign(image.Samples.begin(), image.Samples.end());
        pictures.push_back(std::move(p));
    }
    return pictures;
}

// The clean frames of a clip of `frames` frames panned `pan` pixels a frame.
std::vector<Plane> Clean(const Picture& p, int pan, int frames) {
    const int W = p.W - Margin, H = p.H - MarginRows;
    std::vector<Plane> clip;
    for (int t = 0, x = 0, y = 0; t < frames; t++) {
        Plane f(size_t(W) * H);
        for (int j = 0; j < H; j++) memcpy(&f[size_t(j) * W], &p.Y[size_t(y + j) * p.W + x], W);
        clip.push_back(std::move(f));
        x += pan;
        y += pan > 0 && t % 2 == 1 ? 1 : 0;
    }
    return clip;
}

// Gaussian noise of `sigma` 8-bit levels, rounded and clipped; the same for the same picture,
// sigma and frame in every mode of this tool.
Plane Noisy(const Plane& clean, const std::string& name, double sigma, int frame) {
    uint64_t seed = 1469598103934665603ULL;
    for (char c : name) seed = (seed ^ uint8_t(c)) * 1099511628211ULL;
    seed ^= uint64_t(sigma * 1000) + (uint64_t(frame) << 32);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, sigma);
    Plane out(clean.size());
    for (size_t i = 0; i < out.size(); i++)
        out[i] = uint8_t(std::clamp(nearbyint(clean[i] + normal(rng)), 0.0, 255.0));
    return out;
}

double Psnr(const Plane& a, const Plane& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); i++) sum += (double(a[i]) - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 * double(a.size()) / sum);
}

// The middle frame of a clip filtered at strength 1..200 as the program does it: the module's
// control and the luma scale from SplitStrength; N = 0 through the spatial module.
struct Filter {
    SubstituteHost Host{1};
    const TemporalTable* Table = GetTemporalTable();
    std::vector<uint8_t> Storage;
    int W = 0, H = 0;
    Filter() {
        Host.Attach(GetFilterTable());
        Host.Init();
    }
    Plane Middle(const std::vector<Plane>& clip, int W_, int H_, int N, int strength, int range,
                 bool gaussian) {
        const ModuleStrength m = SplitStrength(strength);
        const int shift = m.ScaleBits - 8;
        std::vector<YcPixel> frame(size_t(W_) * H_), out(size_t(W_) * H_);
        auto load = [&](const Plane& p, YcPixel* image, int capacity) {
            for (int y = 0; y < H_; y++)
                for (int x = 0; x < W_; x++)
                    image[size_t(y) * capacity + x] =
                        YcPixel{int16_t(p[size_t(y) * W_ + x] << shift), 0, 0};
        };
        const YcPixel* result = out.data();
        int capacity = W_;
        const int mid = int(clip.size()) / 2;
        if (N == 0) {
            if (W != W_ || H != H_) Host.AllocateImages(W = W_, H = H_, (W_ + 7) & ~7);
            Host.SetControls(range, m.Strength, gaussian);
            load(clip[mid], Host.Edit(), Host.Capacity());
            if (Host.Process() != 1) Fail("the module refused the frame");
            result = Host.Edit();
            capacity = Host.Capacity();
        } else {
            const TemporalSetup setup{W_, H_, range, m.Strength, gaussian ? 1 : 0, N, 1};
            const size_t bytes = size_t(Table->BlockBytes(&setup)) + 64;
            if (Storage.size() < bytes) Storage.assign(bytes, 0);
            void* block = Storage.data() + (64 - reinterpret_cast<uintptr_t>(Storage.data()) % 64);
            Host.Bind();
            if (Table->Open(block, &setup, Host.Functions().RunOnAllThreads) != 1)
                Fail("the temporal mode refused the setup");
            // Frame t leaves when frame t + N goes in: the last push gives the middle frame.
            int got = 0;
            for (int t = 0; t < 2 * N + 1; t++) {
                load(clip[t], frame.data(), W_);
                got = Table->Push(block, frame.data(), W_, out.data(), W_);
            }
            if (got != 1) Fail("the temporal mode gave no middle frame");
        }
        Plane p(size_t(W_) * H_);
        for (int y = 0; y < H_; y++)
            for (int x = 0; x < W_; x++) {
                const int v = (result[size_t(y) * capacity + x].Y + (1 << (shift - 1))) >> shift;
                p[size_t(y) * W_ + x] = uint8_t(std::clamp(v, 0, 255));
            }
        return p;
    }
    static void Fail(const char* what) {
        fprintf(stderr, "temporal_sweep: %s\n", what);
        exit(1);
    }
};

// One clip of the sweep: a picture panned `Pan` pixels a frame, with noise, 2N + 1 frames.
struct Case {
    const Picture* P;
    int Pan, N;
    double Sigma;
    std::vector<Plane> CleanFrames, NoisyFrames;
    int W, H;
};

Case MakeCase(const Picture& p, int pan, int N, double sigma) {
    Case c{&p, pan, N, sigma, Clean(p, pan, 2 * N + 1), {}, p.W - Margin, p.H - MarginRows};
    // Noise is drawn for the 5-frame clip and the middle 2N + 1 taken, so N = 0, 1 and 2 see the
    // same noisy middle frame.
    const std::vector<Plane> five = Clean(p, pan, 5);
    for (int t = 2 - N; t <= 2 + N; t++) c.NoisyFrames.push_back(Noisy(five[t], p.Name, sigma, t));
    c.CleanFrames.assign(five.begin() + (2 - N), five.begin() + (3 + N));
    return c;
}

int Sweep(const char* out, int n, char** paths) {
    int from = 0, upTo = 2, low = 10, high = MaxStrength, step = StrengthStep;
    std::vector<double> sigmas(std::begin(Sigmas), std::end(Sigmas));
    for (; n > 2 && strncmp(paths[0], "--", 2) == 0; n -= 2, paths += 2) {
        const std::string option = paths[0];
        if (option == "--neighbours" && sscanf(paths[1], "%d-%d", &from, &upTo) == 2 && from >= 0 &&
            upTo <= 2)
            continue;
        if (option == "--sigma" && atof(paths[1]) > 0) {
            sigmas.assign(1, atof(paths[1]));
            continue;
        }
        if (option == "--strengths" && sscanf(paths[1], "%d-%d-%d", &low, &high, &step) == 3 &&
            low >= 1 && high <= MaxStrength && step >= 1)
            continue;
        fprintf(stderr, "temporal_sweep: bad option %s %s\n", paths[0], paths[1]);
        return 2;
    }
    const std::vector<Picture> pictures = ReadAll(n, paths);
    FILE* f = fopen(out, "w");
    if (f == nullptr) return 1;
    fprintf(f, "image\tpan\tN\tsigma\testimate\trange\tgaussian\tstrength\tpsnr\n");
    Filter filter;
    for (const Picture& p : pictures) {
        for (int pan : Pans) {
            for (int N = from; N <= upTo; N++) {
                for (double sigma : sigmas) {
                    const Case c = MakeCase(p, pan, N, sigma);
                    const Plane& first = c.NoisyFrames[0];
                    const std::vector<uint16_t> plane(first.begin(), first.end());
                    const double e = EstimateNoise(plane.data(), c.W, c.H, c.W, 8).Sigma;
                    for (int range = 1; range <= 4; range++)
                        for (int g = 1; g >= 0; g--)
                            for (int s = low; s <= high; s += step) {
                                const double psnr =
                                    Psnr(c.CleanFrames[N],
                                         filter.Middle(c.NoisyFrames, c.W, c.H, N, s, range, g));
                                fprintf(f, "%s\t%d\t%d\t%g\t%.4f\t%d\t%d\t%d\t%.4f\n",
                                        p.Name.c_str(), pan, N, sigma, e, range, g, s, psnr);
                            }
                }
            }
            fflush(f);
        }
        fprintf(stderr, "%s done\n", p.Name.c_str());
    }
    fclose(f);
    return 0;
}

// PSNR by [N][gaussian][range][sigma][clip (image, pan)][strength].
typedef std::map<std::string, std::map<int, double>> ByClip;
typedef std::map<int, std::map<int, std::map<int, std::map<double, ByClip>>>> Curves;

Curves ReadSweep(const char* path) {
    Curves c;
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr, "temporal_sweep: cannot read %s\n", path);
        exit(1);
    }
    char line[512], name[256];
    if (fgets(line, sizeof line, f) == nullptr) return c;
    int pan, N, range, g, s;
    double sigma, e, psnr;
    while (fscanf(f, "%255s %d %d %lf %lf %d %d %d %lf", name, &pan, &N, &sigma, &e, &range, &g, &s,
                  &psnr) == 9)
        c[N][g][range][sigma][std::string(name) + "/" + std::to_string(pan)][s] = psnr;
    fclose(f);
    return c;
}

double Top(const std::map<int, double>& byStrength, int* at = nullptr) {
    double top = -1e9;
    for (const auto& v : byStrength)
        if (v.second > top) {
            top = v.second;
            if (at != nullptr) *at = v.first;
        }
    return top;
}

// For every weighting, range and sigma, the one strength that loses least against each clip's
// own best, on average; prints the knots for temporal_calibration.cpp and the mean / worst loss
// at each knot. The candidates are the strengths every clip was filtered at: the sweep's (steps
// of 10, clips of N = 1 and 2), or, given finer sweeps (FINE.tsv: one sigma each, a narrower
// window in finer steps), theirs, on their clips; each clip's best is taken over all files.
int Fit(const char* path, int n, char** finePaths) {
    Curves all = ReadSweep(path), fine;
    for (int i = 0; i < n; i++) {
        const Curves f = ReadSweep(finePaths[i]);
        for (const auto& byN : f)
            for (const auto& byG : byN.second)
                for (const auto& byRange : byG.second)
                    for (const auto& bySigma : byRange.second)
                        for (const auto& clip : bySigma.second)
                            for (const auto& v : clip.second) {
                                const int N = byN.first, g = byG.first, r = byRange.first;
                                all[N][g][r][bySigma.first][clip.first][v.first] = v.second;
                                fine[N][g][r][bySigma.first][clip.first][v.first] = v.second;
                            }
    }
    printf(
        "// knots at sigma 0, 0.5, 1 (below the sweep: the sqrt law from sigma 2), then 2..30\n");
    for (int g = 1; g >= 0; g--) {
        printf("{   // %s\n", g ? "Gaussian" : "box");
        for (int range = 1; range <= 4; range++) {
            std::vector<double> knots;
            std::string notes;
            for (double sigma : Sigmas) {
                // The clips to fit on, each with its curve over all files.
                std::vector<std::pair<const std::map<int, double>*, const std::map<int, double>*>>
                    clips;
                for (int N = 1; N <= 2; N++) {
                    const Curves& from = n > 0 ? fine : all;
                    if (!from.count(N) || !from.at(N).at(g).at(range).count(sigma)) continue;
                    for (const auto& clip : from.at(N).at(g).at(range).at(sigma))
                        clips.push_back(
                            {&clip.second, &all.at(N).at(g).at(range).at(sigma).at(clip.first)});
                }
                double bestLoss = 1e9, worst = 0;
                int best = 0;
                for (const auto& candidate : *clips.at(0).first) {
                    const int s = candidate.first;
                    double loss = 0, most = 0;
                    bool everywhere = true;
                    for (const auto& clip : clips) {
                        const auto at = clip.first->find(s);
                        if (at == clip.first->end()) {
                            everywhere = false;
                            break;
                        }
                        const double l = Top(*clip.second) - at->second;
                        loss += l;
                        most = std::max(most, l);
                    }
                    loss /= double(clips.size());
                    if (everywhere && loss < bestLoss) bestLoss = loss, best = s, worst = most;
                }
                knots.push_back(best);
                char note[64];
                snprintf(note, sizeof note, " s%g:%d %.2f/%.2f", sigma, best, bestLoss, worst);
                notes += note;
            }
            for (size_t i = 1; i < knots.size(); i++) knots[i] = std::max(knots[i], knots[i - 1]);
            const double k2 = knots[0];
            printf("    {%.0f, %.0f, %.0f", std::max(1.0, k2 * 0.2), k2 * 0.5, k2 * sqrt(0.5));
            for (double k : knots) printf(", %.0f", k);
            printf("},  //%s\n", notes.c_str());
        }
        printf("},\n");
    }
    return 0;
}

// PSNR at a real strength, straight between the strengths a clip was filtered at (flat past
// the ends).
double PsnrAt(const std::map<int, double>& curve, double strength) {
    const auto above = curve.lower_bound(int(ceil(strength)));
    if (above == curve.end()) return curve.rbegin()->second;
    if (above == curve.begin() || above->first == strength) return above->second;
    const auto below = std::prev(above);
    const double t = (strength - below->first) / double(above->first - below->first);
    return below->second + t * (above->second - below->second);
}

// The two tables as the program uses them: a clip's strength is the busy table's, moved
// towards the smooth one's by the clip's smoothness (PictureSmoothness of the noise and detail
// read on its first frame, as the program reads them), as for the spatial filter. For every
// weighting, range and sigma, the pair of knots that minimises the mean loss against each
// clip's own best plus a tenth of the worst, over every clip of N = 1 and 2, each curve the
// sweep's and the finer sweeps' together: in steps of 5 first, then in whole strengths around
// the best pair. Knots are then kept from falling as sigma grows.
int FitContent(const char* path, int n, char** args) {
    Curves all = ReadSweep(path), fine;
    int images = 0;
    while (images < n && strcmp(args[images], "--") != 0) images++;
    for (int i = images + 1; i < n; i++) {
        const Curves f = ReadSweep(args[i]);
        for (const auto& byN : f)
            for (const auto& byG : byN.second)
                for (const auto& byRange : byG.second)
                    for (const auto& bySigma : byRange.second)
                        for (const auto& clip : bySigma.second)
                            for (const auto& v : clip.second) {
                                const int N = byN.first, g = byG.first, r = byRange.first;
                                all[N][g][r][bySigma.first][clip.first][v.first] = v.second;
                                fine[N][g][r][bySigma.first][clip.first][v.first] = v.second;
                            }
    }
    // As for Fit: given finer sweeps, only their clips, whose curves are fine around the best
    // (straight lines between steps of 10 misjudge a sharp optimum).
    const Curves& from = images + 1 < n ? fine : all;
    const std::vector<Picture> pictures = ReadAll(images, args);
    // [N][sigma][clip]: the smoothness read on the first frame.
    std::map<int, std::map<double, std::map<std::string, double>>> smoothness;
    for (const Picture& p : pictures)
        for (int pan : Pans)
            for (int N = 1; N <= 2; N++)
                for (double sigma : Sigmas) {
                    const Case cs = MakeCase(p, pan, N, sigma);
                    const std::vector<uint16_t> plane(cs.NoisyFrames[0].begin(),
                                                      cs.NoisyFrames[0].end());
                    const NoiseEstimate e = EstimateNoise(plane.data(), cs.W, cs.H, cs.W, 8);
                    smoothness[N][sigma][p.Name + "/" + std::to_string(pan)] =
                        PictureSmoothness(e.Sigma, e.Detail, 8);
                }
    double total = 0;
    std::string tables[2];
    for (int g = 1; g >= 0; g--) {
        for (int t = 0; t < 2; t++)
            tables[t] += g ? "        {   // Gaussian\n" : "        {   // box\n";
        for (int range = 1; range <= 4; range++) {
            std::vector<double> knots[2];
            std::string notes;
            for (double sigma : Sigmas) {
                struct Clip {
                    const std::map<int, double>* Curve;
                    double W, Top;
                };
                std::vector<Clip> clips;
                for (int N = 1; N <= 2; N++) {
                    if (!from.count(N) || !from.at(N).at(g).at(range).count(sigma)) continue;
                    for (const auto& clip : from.at(N).at(g).at(range).at(sigma)) {
                        const auto w = smoothness.at(N).at(sigma).find(clip.first);
                        const std::map<int, double>& curve =
                            all.at(N).at(g).at(range).at(sigma).at(clip.first);
                        if (w != smoothness.at(N).at(sigma).end())
                            clips.push_back({&curve, w->second, Top(curve)});
                    }
                }
                double bestObjective = 1e18, bestMean = 0, bestWorst = 0;
                int busy = 0, smooth = 0;
                const auto judge = [&](int b, int s) {
                    double sum = 0, worst = 0;
                    for (const Clip& c : clips) {
                        const double loss = c.Top - PsnrAt(*c.Curve, b + c.W * (s - b));
                        sum += loss;
                        worst = std::max(worst, loss);
                    }
                    const double objective = sum / double(clips.size()) + 0.1 * worst;
                    if (objective < bestObjective)
                        bestObjective = objective, busy = b, smooth = s,
                        bestMean = sum / double(clips.size()), bestWorst = worst;
                };
                for (int b = 10; b <= MaxStrength; b += 5)
                    for (int s = b; s <= MaxStrength; s += 5) judge(b, s);
                const int b0 = busy, s0 = smooth;
                for (int b = std::max(10, b0 - 4); b <= std::min(int(MaxStrength), b0 + 4); b++)
                    for (int s = std::max(b, s0 - 4); s <= std::min(int(MaxStrength), s0 + 4); s++)
                        judge(b, s);
                total += bestObjective;
                knots[0].push_back(busy);
                knots[1].push_back(smooth);
                char note[64];
                snprintf(note, sizeof note, " s%g:%d-%d %.2f/%.2f", sigma, busy, smooth, bestMean,
                         bestWorst);
                notes += note;
            }
            for (int t = 0; t < 2; t++) {
                std::vector<double>& k = knots[t];
                for (size_t i = 1; i < k.size(); i++) k[i] = std::max(k[i], k[i - 1]);
                char line[64];
                snprintf(line, sizeof line, "            {%.0f, %.0f, %.0f",
                         std::max(1.0, k[0] * 0.2), k[0] * 0.5, k[0] * sqrt(0.5));
                tables[t] += line;
                for (double v : k) {
                    snprintf(line, sizeof line, ", %.0f", v);
                    tables[t] += line;
                }
                tables[t] += t == 0 ? "},  //" + notes + "\n" : "},\n";
            }
        }
        for (int t = 0; t < 2; t++) tables[t] += "        },\n";
    }
    printf("objective %.3f (sum over weightings, ranges and sigmas)\n", total);
    printf("// TemporalCalibration (busy)\n%s// TemporalSmoothCalibration\n%s", tables[0].c_str(),
           tables[1].c_str());
    return 0;
}

// Means over the clips of each pan: best box minus best Gaussian (temporal N = 1, 2 and
// spatial), and best temporal minus best spatial of the same weighting.
int Weighting(const char* path) {
    const Curves c = ReadSweep(path);
    printf("best box - best Gaussian, dB (mean over the images; min..max)\n");
    printf("%-4s %-3s %-6s", "N", "R", "sigma");
    for (int pan : Pans) printf("  pan %d           ", pan);
    printf("\n");
    for (int N = 0; N <= 2; N++)
        for (int range = 1; range <= 4; range++)
            for (double sigma : Sigmas) {
                printf("%-4d %-3d %-6g", N, range, sigma);
                for (int pan : Pans) {
                    double sum = 0, lo = 1e9, hi = -1e9;
                    int n = 0;
                    const ByClip& box = c.at(N).at(0).at(range).at(sigma);
                    for (const auto& clip : c.at(N).at(1).at(range).at(sigma)) {
                        if (clip.first.substr(clip.first.rfind('/') + 1) != std::to_string(pan))
                            continue;
                        const double d = Top(box.at(clip.first)) - Top(clip.second);
                        sum += d, n++, lo = std::min(lo, d), hi = std::max(hi, d);
                    }
                    printf("  %+5.2f %+5.2f..%+5.2f", sum / n, lo, hi);
                }
                printf("\n");
            }
    printf("\nbest temporal - best spatial (same weighting), dB, mean over the images\n");
    printf("%-9s %-3s %-3s %-6s  pan 0  pan 1  pan 2  pan 3\n", "weighting", "N", "R", "sigma");
    for (int g = 1; g >= 0; g--)
        for (int N = 1; N <= 2; N++)
            for (int range = 1; range <= 4; range++)
                for (double sigma : Sigmas) {
                    printf("%-9s %-3d %-3d %-6g", g ? "Gaussian" : "box", N, range, sigma);
                    for (int pan : Pans) {
                        double sum = 0;
                        int n = 0;
                        const ByClip& spatial = c.at(0).at(g).at(range).at(sigma);
                        for (const auto& clip : c.at(N).at(g).at(range).at(sigma)) {
                            if (clip.first.substr(clip.first.rfind('/') + 1) != std::to_string(pan))
                                continue;
                            sum += Top(clip.second) - Top(spatial.at(clip.first)), n++;
                        }
                        printf("  %+5.2f", sum / n);
                    }
                    printf("\n");
                }
    return 0;
}

int Evaluate(bool sigmaOnly, const char* path, const char* out, int n, char** paths) {
    const Curves c = ReadSweep(path);
    const std::vector<Picture> pictures = ReadAll(n, paths);
    FILE* tsv = fopen(out, "w");
    if (tsv == nullptr) return 1;
    fprintf(tsv, "gaussian\trange\tsigma\tbest\tauto\tmeanloss\tworstloss\tworstclip\n");
    // Every clip's result beside the means, for other groupings (OUT.tsv.clips).
    FILE* clips = fopen((std::string(out) + ".clips").c_str(), "w");
    if (clips == nullptr) return 1;
    fprintf(clips, "image\tpan\tN\tgaussian\trange\tsigma\testimate\tstrength\tbest\tauto\n");
    Filter filter;
    printf(
        "temporal auto against each clip's best strength 10..200 (step %d), N = 1 and 2, "
        "pans 0..3: mean / worst loss in dB\n",
        StrengthStep);
    printf("%-9s %-5s", "weighting", "range");
    for (double s : Sigmas) printf("  sigma %-5g", s);
    printf("\n");
    for (int g = 1; g >= 0; g--)
        for (int range = 1; range <= 4; range++) {
            printf("%-9s %-5d", g ? "Gaussian" : "box", range);
            for (double sigma : Sigmas) {
                double loss = 0, worst = 0, best = 0, got = 0;
                int k = 0;
                std::string worstClip;
                for (const Picture& p : pictures)
                    for (int pan : Pans)
                        for (int N = 1; N <= 2; N++) {
                            // Only the clips the sweep has (it may leave N = 2 out).
                            const ByClip& swept = c.at(N).at(g).at(range).at(sigma);
                            const auto found = swept.find(p.Name + "/" + std::to_string(pan));
                            if (found == swept.end()) continue;
                            const Case cs = MakeCase(p, pan, N, sigma);
                            const Plane& first = cs.NoisyFrames[0];
                            const std::vector<uint16_t> plane(first.begin(), first.end());
                            const NoiseEstimate e =
                                EstimateNoise(plane.data(), cs.W, cs.H, cs.W, 8);
                            const int s = sigmaOnly ? TemporalStrengthForSigma(e.Sigma, 8, range, g)
                                                    : TemporalStrengthForNoise(e.Sigma, e.Detail, 8,
                                                                               range, g);
                            const double psnr =
                                Psnr(cs.CleanFrames[N],
                                     filter.Middle(cs.NoisyFrames, cs.W, cs.H, N, s, range, g));
                            const double top = Top(found->second);
                            best += top, got += psnr, loss += top - psnr, k++;
                            fprintf(clips, "%s\t%d\t%d\t%d\t%d\t%g\t%.3f\t%d\t%.4f\t%.4f\n",
                                    p.Name.c_str(), pan, N, g, range, sigma, e.Sigma, s, top, psnr);
                            if (top - psnr > worst)
                                worst = top - psnr, worstClip = p.Name + "/" + std::to_string(pan);
                        }
                printf("  %5.2f %5.2f", loss / k, worst);
                fflush(stdout);
                fprintf(tsv, "%d\t%d\t%g\t%.3f\t%.3f\t%.3f\t%.3f\t%s\n", g, range, sigma, best / k,
                        got / k, loss / k, worst, worstClip.c_str());
            }
            printf("\n");
        }
    fclose(tsv);
    fclose(clips);
    return 0;
}

int CurvesTable() {
    // Busy tables, then smooth ones.
    printf("sigma\tg1\tg2\tg3\tg4\tb1\tb2\tb3\tb4\tsg1\tsg2\tsg3\tsg4\tsb1\tsb2\tsb3\tsb4\n");
    for (double sigma = 0; sigma <= 30.001; sigma += 0.25) {
        printf("%g", sigma);
        for (double w : {0.0, 1.0})
            for (int g = 1; g >= 0; g--)
                for (int range = 1; range <= 4; range++)
                    printf("\t%.2f", TemporalStrength(sigma, w, range, g));
        printf("\n");
    }
    return 0;
}

int BestTable(const char* path) {
    const Curves c = ReadSweep(path);
    printf("sigma\trange\tgaussian\tN\tclip\tbest\n");
    for (int N = 1; N <= 2; N++)
        for (const auto& byG : c.at(N))
            for (const auto& byRange : byG.second)
                for (const auto& bySigma : byRange.second)
                    for (const auto& clip : bySigma.second) {
                        int at = 0;
                        Top(clip.second, &at);
                        printf("%g\t%d\t%d\t%d\t%s\t%d\n", bySigma.first, byRange.first, byG.first,
                               N, clip.first.c_str(), at);
                    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sweep" && argc > 3) return Sweep(argv[2], argc - 3, argv + 3);
    if (mode == "fit" && argc >= 3) return Fit(argv[2], argc - 3, argv + 3);
    if (mode == "fit-content" && argc > 3) return FitContent(argv[2], argc - 3, argv + 3);
    if (mode == "weighting" && argc == 3) return Weighting(argv[2]);
    const bool sigmaOnly = argc > 2 && strcmp(argv[2], "--sigma-only") == 0;
    if (mode == "evaluate" && argc > 4 + sigmaOnly)
        return Evaluate(sigmaOnly, argv[2 + sigmaOnly], argv[3 + sigmaOnly], argc - 4 - sigmaOnly,
                        argv + 4 + sigmaOnly);
    if (mode == "curves") return CurvesTable();
    if (mode == "best" && argc == 3) return BestTable(argv[2]);
    fprintf(stderr,
            "usage: temporal_sweep sweep OUT.tsv [options] IMAGE.pgm... | fit SWEEP.tsv "
            "[FINE.tsv...] | weighting "
            "SWEEP.tsv | evaluate [--sigma-only] SWEEP.tsv OUT.tsv IMAGE.pgm... | curves | best "
            "SWEEP.tsv\n");
    return 2;
}
