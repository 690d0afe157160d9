// strength_sweep.cpp: fits and checks the automatic strength on photographs with added noise
//
//   strength_sweep constant                         the estimator's white-noise constant
//   strength_sweep estimate IMAGE.pgm...            estimated against true sigma, 0.5 to 30
//   strength_sweep estimate-fields N IMAGE.pgm...   the same over N noise fields: mean, lowest,
//                                                   highest
//   strength_sweep sweep OUT.tsv IMAGE.pgm...       PSNR at every strength 10..200 step 5
//   strength_sweep fit SWEEP.tsv                    one curve of sigma alone, fitted on the sweep
//   strength_sweep fit-content [--worst W] SWEEP.tsv IMAGE.pgm...
//                                                   the busy and smooth curves and the bounds of
//                                                   the smoothness between them, with the
//                                                   pictures' estimates; then leave-one-out.
//                                                   The fit minimises the mean loss plus W
//                                                   (0.1) times the worst
//   strength_sweep evaluate SWEEP.tsv OUT.tsv IMAGE.pgm...
//                                                   auto against each image's best strength
//   strength_sweep speed                            estimate against R=1 filter time, 1080p
//   strength_sweep curves                           the compiled calibration, for plotting
//   strength_sweep features IMAGE.pgm...            estimate and detail against added sigma
//   strength_sweep best SWEEP.tsv                   each image's best strength, for plotting
//
// Images are 8-bit binary PGM (scripts/strength-sweep makes them). Everything runs in this one
// process on one thread, through the module linked in as the substitute host loads it.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../noise/noise_estimate.h"
#include "../noise/strength_calibration.h"
#include "../subhost/substitute_host.h"

namespace {

struct Picture {
    std::string Name;
    int W = 0, H = 0;
    std::vector<uint8_t> Y;
};

bool ReadPgm(const char* path, Picture* p) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    int maxval = 0;
    const bool ok =
        fscanf(f, "P5 %d %d %d", &p->W, &p->H, &maxval) == 3 && maxval == 255 && fgetc(f) != EOF;
    if (ok) {
        p->Y.resize(size_t(p->W) * p->H);
        if (fread(p->Y.data(), 1, p->Y.size(), f) != p->Y.size()) p->Y.clear();
    }
    fclose(f);
    std::string name = path;
    name = name.substr(name.rfind('/') + 1);
    p->Name = name.substr(0, name.rfind('.'));
    return ok && !p->Y.empty();
}

std::vector<Picture> ReadAll(int n, char** paths) {
    std::vector<Picture> pictures;
    for (int i = 0; i < n; i++) {
        Picture p;
        if (!ReadPgm(paths[i], &p)) {
            fprintf(stderr, "strength_sweep: cannot read %s (8-bit binary PGM)\n", paths[i]);
            exit(1);
        }
        pictures.push_back(std::move(p));
    }
    return pictures;
}

// The picture with Gaussian noise of `sigma` 8-bit levels, rounded and clipped; the same noise
// for the same picture and sigma in every mode of this tool. Fields other than 0 draw other
// noise, for the spread of the estimate.
std::vector<uint8_t> Noisy(const Picture& p, double sigma, int field = 0) {
    uint64_t seed = 1469598103934665603ULL;
    for (char c : p.Name) seed = (seed ^ uint8_t(c)) * 1099511628211ULL;
    seed ^= uint64_t(sigma * 1000);
    seed += uint64_t(field) * 0x9E3779B97F4A7C15ULL;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<uint8_t> out(p.Y.size());
    for (size_t i = 0; i < out.size(); i++) {
        const double v = nearbyint(p.Y[i] + (sigma > 0 ? normal(rng) : 0.0));
        out[i] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return out;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); i++) sum += (double(a[i]) - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 * a.size() / sum);
}

// Filters 8-bit luma at a strength 1..200, as the program does: the module's control and the
// luma scale from SplitStrength.
struct Filter {
    SubstituteHost Host{1};
    int W = 0, H = 0;
    Filter() {
        Host.Attach(GetFilterTable());
        Host.Init();
    }
    std::vector<uint8_t> Run(const std::vector<uint8_t>& in, int W_, int H_, int strength,
                             int range, bool gaussian) {
        if (W != W_ || H != H_) Host.AllocateImages(W = W_, H = H_, (W_ + 7) & ~7);
        const ModuleStrength m = SplitStrength(strength);
        Host.SetControls(range, m.Strength, gaussian);
        const int shift = m.ScaleBits - 8;
        for (int y = 0; y < H; y++) {
            YcPixel* row = Host.Row(Host.Edit(), y);
            for (int x = 0; x < W; x++)
                row[x] = YcPixel{int16_t(in[size_t(y) * W + x] << shift), 0, 0};
        }
        if (Host.Process() != 1) {
            fprintf(stderr, "strength_sweep: the module refused the frame\n");
            exit(1);
        }
        std::vector<uint8_t> out(in.size());
        for (int y = 0; y < H; y++) {
            const YcPixel* row = Host.Row(Host.Edit(), y);
            for (int x = 0; x < W; x++) {
                const int v = (row[x].Y + (1 << (shift - 1))) >> shift;
                out[size_t(y) * W + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
        return out;
    }
};

NoiseEstimate Measure(const std::vector<uint8_t>& y, int W, int H) {
    const std::vector<uint16_t> plane(y.begin(), y.end());
    return EstimateNoise(plane.data(), W, H, W, 8);
}

double Estimate(const std::vector<uint8_t>& y, int W, int H, bool full) {
    const std::vector<uint16_t> plane(y.begin(), y.end());
    return full ? EstimateNoiseFull(plane.data(), W, H, W, 8).Sigma
                : EstimateNoise(plane.data(), W, H, W, 8).Sigma;
}

int Constant() {
    // A flat 12-bit field far from both ends, where rounding adds a negligible 1/12 to a variance
    // of 1600.
    const int W = 2000, H = 2000;
    const double sigma = 40;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<uint16_t> plane(size_t(W) * H);
    double sum = 0, lag = 0;
    for (int k = 0; k < 4; k++) {
        for (auto& v : plane) v = uint16_t(nearbyint(2048 + normal(rng)));
        const NoiseEstimate ne = EstimateNoiseFull(plane.data(), W, H, W, 12);
        const double s = ne.Sigma;
        lag += ne.Lag;
        sum += (s / sigma) * (s / sigma);
    }
    printf(
        "estimated / true sigma^2 on white noise: %.5f (1 when KeptMean is right; the estimate\n"
        "moves about five times as much as KeptMean)\n"
        "neighbouring residuals near the level, product against square: %.5f (NoiseLag)\n",
        sum / 4, lag / 4);
    return 0;
}

int Features(int n, char** paths) {
    const std::vector<Picture> pictures = ReadAll(n, paths);
    printf("image\tsigma\testimate\tdetail\tlag\tnoise share\n");
    for (const Picture& p : pictures) {
        for (double sigma : {0.0, 1.0, 2.0, 3.0, 5.0, 7.0, 10.0, 15.0, 20.0, 25.0, 30.0}) {
            const std::vector<uint8_t> y = Noisy(p, sigma);
            const std::vector<uint16_t> plane(y.begin(), y.end());
            const NoiseEstimate e = EstimateNoise(plane.data(), p.W, p.H, p.W, 8);
            printf("%s\t%g\t%.3f\t%.3f\t%.3f\t%.3f\n", p.Name.c_str(), sigma, e.Sigma, e.Detail,
                   e.Lag, e.NoiseShare);
        }
    }
    return 0;
}

int EstimateTable(int n, char** paths) {
    const double sigmas[] = {0, 0.5, 1, 2, 3, 5, 7, 10, 15, 20, 25, 30};
    const std::vector<Picture> pictures = ReadAll(n, paths);
    printf("%-16s", "sigma");
    for (double s : sigmas) printf(" %6.1f", s);
    printf("\n");
    std::vector<double> worst(sizeof sigmas / sizeof *sigmas, 0.0), mean(worst);
    for (const Picture& p : pictures) {
        printf("%-16s", p.Name.c_str());
        for (size_t i = 0; i < worst.size(); i++) {
            const double e = Estimate(Noisy(p, sigmas[i]), p.W, p.H, false);
            printf(" %6.2f", e);
            if (sigmas[i] > 0) worst[i] = std::max(worst[i], fabs(e / sigmas[i] - 1));
            if (sigmas[i] > 0) mean[i] += (e / sigmas[i] - 1) / double(pictures.size());
        }
        printf("\n");
    }
    printf("%-16s", "mean error %");
    for (size_t i = 0; i < mean.size(); i++) printf(" %+6.1f", 100 * mean[i]);
    printf("\n%-16s", "worst error %");
    for (size_t i = 0; i < worst.size(); i++) printf(" %6.1f", 100 * worst[i]);
    printf("\n");
    return 0;
}

// The estimate over `fields` noise fields of each picture and sigma: its mean and its lowest
// and highest, against the true sigma. One field's error mixes the picture's bias with chance.
int EstimateFields(int fields, int n, char** paths) {
    const double sigmas[] = {2, 3, 5, 7, 10, 15, 20, 25, 30};
    const std::vector<Picture> pictures = ReadAll(n, paths);
    printf("mean / lowest / highest estimate against the true sigma, %% error, %d noise fields\n",
           fields);
    printf("%-16s", "sigma");
    for (double s : sigmas) printf(" %15.0f", s);
    printf("\n");
    for (const Picture& p : pictures) {
        printf("%-16s", p.Name.c_str());
        for (double sigma : sigmas) {
            double sum = 0, lo = 1e9, hi = -1e9;
            for (int f = 0; f < fields; f++) {
                const double e = Estimate(Noisy(p, sigma, f), p.W, p.H, false) / sigma - 1;
                sum += e;
                lo = std::min(lo, e);
                hi = std::max(hi, e);
            }
            printf(" %+4.0f/%+4.0f/%+4.0f", 100 * sum / fields, 100 * lo, 100 * hi);
        }
        printf("\n");
    }
    return 0;
}

const double SweepSigmas[] = {1, 2, 3, 5, 7, 10, 15, 20, 25, 30};

int Sweep(const char* out, int n, char** paths) {
    const std::vector<Picture> pictures = ReadAll(n, paths);
    FILE* f = fopen(out, "w");
    if (f == nullptr) return 1;
    fprintf(f, "image\tsigma\testimate\trange\tgaussian\tstrength\tpsnr\n");
    Filter filter;
    const auto start = std::chrono::steady_clock::now();
    for (const Picture& p : pictures) {
        for (double sigma : SweepSigmas) {
            const std::vector<uint8_t> noisy = Noisy(p, sigma);
            const double e = Estimate(noisy, p.W, p.H, false);
            for (int range = 1; range <= 4; range++) {
                for (int g = 1; g >= 0; g--) {
                    for (int s = 10; s <= MaxStrength; s += 5) {
                        const double psnr = Psnr(p.Y, filter.Run(noisy, p.W, p.H, s, range, g));
                        fprintf(f, "%s\t%g\t%.4f\t%d\t%d\t%d\t%.4f\n", p.Name.c_str(), sigma, e,
                                range, g, s, psnr);
                    }
                }
            }
        }
        fprintf(stderr, "%s done, %.0f s\n", p.Name.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    fclose(f);
    return 0;
}

struct Row {
    std::string Image;
    double Sigma, Estimate;
    int Range, Gaussian, Strength;
    double Psnr;
};

std::vector<Row> ReadSweep(const char* path) {
    std::vector<Row> rows;
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr, "strength_sweep: cannot read %s\n", path);
        exit(1);
    }
    char line[512];
    if (fgets(line, sizeof line, f) == nullptr) return rows;
    char name[256];
    Row r;
    while (fscanf(f, "%255s %lf %lf %d %d %d %lf", name, &r.Sigma, &r.Estimate, &r.Range,
                  &r.Gaussian, &r.Strength, &r.Psnr) == 7) {
        r.Image = name;
        rows.push_back(r);
    }
    fclose(f);
    return rows;
}

// PSNR by [gaussian][range][sigma][image][strength].
using Curves =
    std::map<int, std::map<int, std::map<double, std::map<std::string, std::map<int, double>>>>>;

Curves Index(const std::vector<Row>& rows) {
    Curves c;
    for (const Row& r : rows) c[r.Gaussian][r.Range][r.Sigma][r.Image][r.Strength] = r.Psnr;
    return c;
}

// For every weighting, range and sigma, the one strength that loses least against each image's
// own best, on average; prints the knots for strength_calibration.cpp.
int Fit(const char* path) {
    const Curves c = Index(ReadSweep(path));
    printf(
        "// knots at sigma 0, 0.5 (below the sweep: the sqrt law from sigma 1), then the sweep\n");
    for (int g = 1; g >= 0; g--) {
        printf("{   // %s\n", g ? "Gaussian" : "box");
        for (int range = 1; range <= 4; range++) {
            std::vector<double> knots;
            std::string notes;
            for (const auto& bySigma : c.at(g).at(range)) {
                double bestLoss = 1e9, worst = 0;
                int best = 0;
                for (int s = 10; s <= MaxStrength; s += 5) {
                    double loss = 0, most = 0;
                    for (const auto& image : bySigma.second) {
                        double top = -1e9;
                        for (const auto& v : image.second) top = std::max(top, v.second);
                        const double l = top - image.second.at(s);
                        loss += l;
                        most = std::max(most, l);
                    }
                    loss /= bySigma.second.size();
                    if (loss < bestLoss) bestLoss = loss, best = s, worst = most;
                }
                knots.push_back(best);
                char note[64];
                snprintf(note, sizeof note, " s%g:%.2f/%.2f", bySigma.first, bestLoss, worst);
                notes += note;
            }
            // Monotonic: a knot is never below the one before it.
            for (size_t i = 1; i < knots.size(); i++) knots[i] = std::max(knots[i], knots[i - 1]);
            const double k1 = knots[0];
            printf("    {%.0f, %.0f", std::max(1.0, k1 * 0.3), k1 * sqrt(0.5));
            for (double k : knots) printf(", %.0f", k);
            printf("},  //%s\n", notes.c_str());
        }
        printf("},\n");
    }
    return 0;
}

// The estimate's cost beside the filter's at range 1 on one 1920x1080 8-bit frame, one thread,
// interleaved, best of 20.
int Speed() {
    Picture p;
    p.Name = "speed";
    p.W = 1920;
    p.H = 1080;
    p.Y.resize(size_t(p.W) * p.H);
    for (int y = 0; y < p.H; y++)
        for (int x = 0; x < p.W; x++) p.Y[size_t(y) * p.W + x] = uint8_t(60 + (x + y) % 128);
    const std::vector<uint8_t> noisy = Noisy(p, 10);
    Filter filter;
    double estimate = 1e9, filtering = 1e9;
    using Clock = std::chrono::steady_clock;
    for (int k = 0; k < 20; k++) {
        auto t0 = Clock::now();
        const NoiseEstimate e = EstimateNoise(noisy.data(), p.W, p.H, p.W, 8);
        estimate = std::min(estimate, std::chrono::duration<double>(Clock::now() - t0).count());
        filter.Run(noisy, p.W, p.H, 40, 1, true);  // images allocated, controls set, luma in
        auto t1 = Clock::now();
        filter.Host.Process();  // the module alone, on its own output: the same work
        auto t2 = Clock::now();
        filtering = std::min(filtering, std::chrono::duration<double>(t2 - t1).count());
        if (e.Sigma <= 0) return 1;
    }
    printf("1920x1080 8-bit, one thread: estimate %.3f ms, ProcessFrame at R=1 %.3f ms: %.1f%%\n",
           estimate * 1e3, filtering * 1e3, 100 * estimate / filtering);
    return 0;
}

// The content-aware fit: two curves per range and weighting (busy and smooth pictures) and the
// two bounds of the smoothness between them, chosen on the sweep; then the same fit with each
// picture left out in turn, that picture judged by the curves fitted without it.
struct FitData {
    std::vector<std::string> Images;
    std::vector<double> Sigmas;                 // the sweep's sigmas
    std::vector<std::vector<double>> Est, Log;  // [image][sigma]: estimate, DetailLevel
    // [g][range-1][sigma][image][strength index]: PSNR at strength 10 + 5 * index
    std::vector<double> Psnr;
    std::vector<double> Top;  // [g][range-1][sigma][image]: best of 10..100
    int NS = 0, NI = 0;
    double& P(int g, int r, int k, int i, int s) {
        return Psnr[(((size_t(g) * 4 + r) * NS + k) * NI + i) * 39 + s];
    }
    double& T(int g, int r, int k, int i) { return Top[((size_t(g) * 4 + r) * NS + k) * NI + i]; }
    // PSNR at a real strength, straight between the swept ones.
    double At(int g, int r, int k, int i, double strength) {
        double x = (strength - 10) / 5;
        if (x < 0) x = 0;
        if (x > 38) x = 38;
        const int a = std::min(37, int(x));
        const double t = x - a;
        return P(g, r, k, i, a) * (1 - t) + P(g, r, k, i, a + 1) * t;
    }
};

struct Model {
    // Smoothness 1 at or below Lo, 0 at or above Hi, in DetailLevel, as PictureSmoothness.
    double Lo = 0.5, Hi = 2;
    float Busy[2][4][CalibrationKnots], Smooth[2][4][CalibrationKnots];
    double Smoothness(double l) const {
        const double t = (Hi - l) / (Hi - Lo);
        return t < 0 ? 0.0 : t > 1 ? 1.0 : t;
    }
};

const float Knots[CalibrationKnots] = {0, 0.5f, 1, 2, 3, 5, 7, 10, 15, 20, 25, 30};

// The strength the model gives (rounded as the program does), from the estimate.
int ModelStrength(const Model& m, int g, int r, double sigma, double l) {
    StrengthCalibration busy = {"busy", {}, {}}, smooth = {"smooth", {}, {}};
    for (int k = 0; k < CalibrationKnots; k++) busy.Sigma[k] = smooth.Sigma[k] = Knots[k];
    for (int k = 0; k < CalibrationKnots; k++) {
        busy.Strength[1 - g][r][k] = m.Busy[g][r][k];
        smooth.Strength[1 - g][r][k] = m.Smooth[g][r][k];
    }
    const double b = CalibratedStrength(busy, sigma, r + 1, g == 1);
    const double s = CalibratedStrength(smooth, sigma, r + 1, g == 1);
    return int(floor(b + m.Smoothness(l) * (s - b) + 0.5));
}

// The fit minimises the mean loss over the pictures plus this share of the worst one.
double WorstWeight = 0.1;

// Fits the model on the pictures marked in `use`; `content` false fits the busy curve alone.
Model FitModel(FitData& d, const std::vector<bool>& use, bool content) {
    Model best;
    double bestObjective = 1e18;
    const double los[] = {-0.5, 0.0, 0.5, 1.0, 1.5, 2.0};
    const double widths[] = {0.5, 1.0, 1.5, 2.0, 3.0};
    for (double lo : los) {
        for (double width : widths) {
            Model m;
            m.Lo = lo;
            m.Hi = lo + width;
            double objective = 0;
            for (int g = 0; g < 2; g++) {
                for (int r = 0; r < 4; r++) {
                    std::vector<double> busyKnots, smoothKnots;
                    for (int k = 0; k < d.NS; k++) {
                        double bestHere = 1e18;
                        int bb = 0, bs = 0;
                        for (int b = 0; b < 39; b++) {
                            for (int s = b; s < (content ? 39 : b + 1); s++) {
                                double sum = 0, worst = 0;
                                int n = 0;
                                for (int i = 0; i < d.NI; i++) {
                                    if (!use[i]) continue;
                                    const double w = content ? m.Smoothness(d.Log[i][k]) : 0;
                                    const double strength = 10 + 5 * (b + w * (s - b));
                                    const double loss =
                                        d.T(g, r, k, i) - d.At(g, r, k, i, strength);
                                    sum += loss;
                                    worst = std::max(worst, loss);
                                    n++;
                                }
                                const double o = sum / n + WorstWeight * worst;
                                if (o < bestHere) bestHere = o, bb = b, bs = s;
                            }
                        }
                        // Then whole strengths around the best pair of the coarse steps.
                        double busyStrength = 10 + 5 * bb, smoothStrength = 10 + 5 * bs;
                        {
                            const int b0 = 10 + 5 * bb, s0 = 10 + 5 * bs;
                            for (int b = std::max(10, b0 - 4); b <= b0 + 4; b++) {
                                for (int s = std::max(b, s0 - 4);
                                     s <= (content ? std::min(int(MaxStrength), s0 + 4) : b); s++) {
                                    double sum = 0, worst = 0;
                                    int n = 0;
                                    for (int i = 0; i < d.NI; i++) {
                                        if (!use[i]) continue;
                                        const double w = content ? m.Smoothness(d.Log[i][k]) : 0;
                                        const double loss =
                                            d.T(g, r, k, i) - d.At(g, r, k, i, b + w * (s - b));
                                        sum += loss;
                                        worst = std::max(worst, loss);
                                        n++;
                                    }
                                    const double o = sum / n + WorstWeight * worst;
                                    if (o < bestHere)
                                        bestHere = o, busyStrength = b, smoothStrength = s;
                                }
                            }
                        }
                        objective += bestHere;
                        busyKnots.push_back(busyStrength);
                        smoothKnots.push_back(smoothStrength);
                    }
                    for (size_t k = 1; k < busyKnots.size(); k++) {
                        busyKnots[k] = std::max(busyKnots[k], busyKnots[k - 1]);
                        smoothKnots[k] = std::max(smoothKnots[k], smoothKnots[k - 1]);
                    }
                    for (auto* knots : {&busyKnots, &smoothKnots}) {
                        float* out = knots == &busyKnots ? m.Busy[g][r] : m.Smooth[g][r];
                        // Knots at 0 and 0.5, below the sweep: the sqrt law from sigma 1.
                        out[0] = float(std::max(1.0, nearbyint((*knots)[0] * 0.3)));
                        out[1] = float(nearbyint((*knots)[0] * sqrt(0.5)));
                        for (int k = 0; k < d.NS; k++) out[2 + k] = float((*knots)[k]);
                    }
                }
            }
            if (objective < bestObjective) bestObjective = objective, best = m;
            if (!content) return best;
        }
    }
    return best;
}

// Loss of the model on picture i at sweep sigma k.
double ModelLoss(FitData& d, const Model& m, int g, int r, int k, int i) {
    const int s = ModelStrength(m, g, r, d.Est[i][k], d.Log[i][k]);
    return d.T(g, r, k, i) - d.At(g, r, k, i, s);
}

void PrintLosses(const char* title, const std::vector<std::vector<double>>& loss, FitData& d,
                 const std::vector<int>& ks) {
    // loss[(g * 4 + r) * NS + k][image]
    printf("%s: mean / worst dB below each picture's best strength 10..100\n", title);
    printf("| weighting | range |");
    for (int k : ks) printf(" sigma %g |", d.Sigmas[k]);
    printf("\n|---|---|");
    for (size_t k = 0; k < ks.size(); k++) printf("---|");
    printf("\n");
    for (int g = 1; g >= 0; g--) {
        for (int r = 0; r < 4; r++) {
            printf("| %s | %d |", g ? "Gaussian" : "box", r + 1);
            for (int k : ks) {
                const std::vector<double>& v = loss[(g * 4 + r) * d.NS + k];
                double sum = 0, worst = 0;
                for (double x : v) sum += x, worst = std::max(worst, x);
                printf(" %.2f / %.2f |", sum / v.size(), worst);
            }
            printf("\n");
        }
    }
    // The pictures past 1 dB anywhere, with their worst loss at each sigma.
    for (int i = 0; i < d.NI; i++) {
        std::string line;
        for (int k : ks) {
            double worst = 0;
            for (int c = 0; c < 8; c++) worst = std::max(worst, loss[c * d.NS + k][i]);
            char cell[48];
            snprintf(cell, sizeof cell, " %g:%.2f", d.Sigmas[k], worst);
            if (worst > 1.0) line += cell;
        }
        if (!line.empty())
            printf("  %s, worst past 1 dB at sigma:%s\n", d.Images[i].c_str(), line.c_str());
    }
}

void PrintModel(const Model& m) {
    printf("// smoothness bounds: SmoothBelow = %.1f, BusyAbove = %.1f\n", m.Lo, m.Hi);
    for (int table = 0; table < 2; table++) {
        printf("// %s\n", table == 0 ? "SpatialCalibration (busy)" : "SpatialSmoothCalibration");
        for (int g = 1; g >= 0; g--) {
            printf("        {   // %s\n", g ? "Gaussian" : "box");
            for (int r = 0; r < 4; r++) {
                const float* k = table == 0 ? m.Busy[g][r] : m.Smooth[g][r];
                printf("            {");
                for (int i = 0; i < CalibrationKnots; i++) printf("%s%.0f", i ? ", " : "", k[i]);
                printf("},\n");
            }
            printf("        },\n");
        }
    }
}

int FitContent(const char* path, int n, char** paths) {
    const Curves c = Index(ReadSweep(path));
    const std::vector<Picture> pictures = ReadAll(n, paths);
    FitData d;
    for (const auto& bySigma : c.at(1).at(1)) d.Sigmas.push_back(bySigma.first);
    d.NS = int(d.Sigmas.size());
    for (const Picture& p : pictures) {
        if (!c.at(1).at(1).begin()->second.count(p.Name)) continue;
        d.Images.push_back(p.Name);
        std::vector<double> est, lg;
        for (double sigma : d.Sigmas) {
            const std::vector<uint8_t> y = Noisy(p, sigma);
            const std::vector<uint16_t> plane(y.begin(), y.end());
            const NoiseEstimate e = EstimateNoise(plane.data(), p.W, p.H, p.W, 8);
            est.push_back(e.Sigma);
            lg.push_back(DetailLevel(e.Sigma, e.Detail, 8));
        }
        d.Est.push_back(est);
        d.Log.push_back(lg);
    }
    d.NI = int(d.Images.size());
    d.Psnr.assign(size_t(2) * 4 * d.NS * d.NI * 39, 0);
    d.Top.assign(size_t(2) * 4 * d.NS * d.NI, 0);
    for (int g = 0; g < 2; g++)
        for (int r = 0; r < 4; r++)
            for (int k = 0; k < d.NS; k++)
                for (int i = 0; i < d.NI; i++) {
                    const auto& curve = c.at(g).at(r + 1).at(d.Sigmas[k]).at(d.Images[i]);
                    double top = -1e9;
                    for (int s = 0; s < 39; s++) {
                        d.P(g, r, k, i, s) = curve.at(10 + 5 * s);
                        if (10 + 5 * s <= ModuleStrengthMax)
                            top = std::max(top, d.P(g, r, k, i, s));
                    }
                    d.T(g, r, k, i) = top;
                }
    std::vector<int> ks;
    for (int k = 0; k < d.NS; k++) ks.push_back(k);
    for (bool content : {false, true}) {
        const char* name = content ? "busy and smooth curves" : "one curve of sigma alone";
        const Model all = FitModel(d, std::vector<bool>(d.NI, true), content);
        std::vector<std::vector<double>> fitted(8 * d.NS), held(8 * d.NS);
        for (int g = 0; g < 2; g++)
            for (int r = 0; r < 4; r++)
                for (int k = 0; k < d.NS; k++)
                    for (int i = 0; i < d.NI; i++)
                        fitted[(g * 4 + r) * d.NS + k].push_back(ModelLoss(d, all, g, r, k, i));
        for (int out = 0; out < d.NI; out++) {
            std::vector<bool> use(d.NI, true);
            use[out] = false;
            const Model m = FitModel(d, use, content);
            for (int g = 0; g < 2; g++)
                for (int r = 0; r < 4; r++)
                    for (int k = 0; k < d.NS; k++)
                        held[(g * 4 + r) * d.NS + k].push_back(ModelLoss(d, m, g, r, k, out));
            fprintf(stderr, "%s: %s held out\n", name, d.Images[out].c_str());
        }
        printf("== %s\n", name);
        if (content) PrintModel(all);
        PrintLosses("fitted on all pictures", fitted, d, ks);
        PrintLosses("each picture held out (leave-one-out)", held, d, ks);
        fflush(stdout);
    }
    return 0;
}

int CurvesTable() {
    // Busy curves, then smooth ones.
    printf("sigma\tg1\tg2\tg3\tg4\tb1\tb2\tb3\tb4\tsg1\tsg2\tsg3\tsg4\tsb1\tsb2\tsb3\tsb4\n");
    for (double sigma = 0; sigma <= 30.001; sigma += 0.25) {
        printf("%g", sigma);
        for (double w : {0.0, 1.0})
            for (int g = 1; g >= 0; g--)
                for (int range = 1; range <= 4; range++)
                    printf("\t%.2f", SpatialStrength(sigma, w, range, g));
        printf("\n");
    }
    return 0;
}

int BestTable(const char* path) {
    const Curves c = Index(ReadSweep(path));
    printf("sigma\trange\tgaussian\timage\tbest\n");
    for (int g = 1; g >= 0; g--) {
        for (const auto& byRange : c.at(g)) {
            for (const auto& bySigma : byRange.second) {
                for (const auto& image : bySigma.second) {
                    int best = 0;
                    double top = -1e9;
                    for (const auto& v : image.second)
                        if (v.second > top) top = v.second, best = v.first;
                    printf("%g\t%d\t%d\t%s\t%d\n", bySigma.first, byRange.first, g,
                           image.first.c_str(), best);
                }
            }
        }
    }
    return 0;
}

int Evaluate(const char* path, const char* out, int n, char** paths) {
    const Curves c = Index(ReadSweep(path));
    FILE* tsv = fopen(out, "w");
    if (tsv == nullptr) return 1;
    fprintf(tsv, "gaussian\trange\tsigma\tnoisy\tbest100\tbest200\tauto\tmeanloss\tworstloss\n");
    const std::vector<Picture> pictures = ReadAll(n, paths);
    Filter filter;
    const double sigmas[] = {1, 2, 3, 5, 7, 10, 15, 20, 25, 30};
    printf("auto against each image's best strength 10..100 (step 5): mean / worst loss in dB\n");
    printf("%-10s %-6s", "weighting", "range");
    for (double s : sigmas) printf("   sigma %-5g", s);
    printf("\n");
    std::map<std::string, double> clean;  // lowest over the ranges and weightings
    std::vector<std::string> past;        // the losses past 1 dB, with where they are
    for (int g = 1; g >= 0; g--) {
        for (int range = 1; range <= 4; range++) {
            printf("%-10s %-6d", g ? "Gaussian" : "box", range);
            for (double sigma : sigmas) {
                double loss = 0, worst = 0, noisyPsnr = 0, best100 = 0, best200 = 0, autoPsnr = 0;
                for (const Picture& p : pictures) {
                    const std::vector<uint8_t> noisy = Noisy(p, sigma);
                    const NoiseEstimate e = Measure(noisy, p.W, p.H);
                    const int s = StrengthForNoise(e.Sigma, e.Detail, 8, range, g);
                    const double got = Psnr(p.Y, filter.Run(noisy, p.W, p.H, s, range, g));
                    double top = -1e9, top200 = -1e9;
                    for (const auto& v : c.at(g).at(range).at(sigma).at(p.Name)) {
                        if (v.first <= ModuleStrengthMax) top = std::max(top, v.second);
                        top200 = std::max(top200, v.second);
                    }
                    noisyPsnr += Psnr(p.Y, noisy);
                    best100 += top;
                    best200 += top200;
                    autoPsnr += got;
                    loss += top - got;
                    worst = std::max(worst, top - got);
                    if (top - got > 1) {
                        char line[160];
                        snprintf(line, sizeof line, "  %-16s sigma %-3g %-8s R=%d: %.2f dB (%d)",
                                 p.Name.c_str(), sigma, g ? "Gaussian" : "box", range, top - got,
                                 s);
                        past.push_back(line);
                    }
                }
                const double k = double(pictures.size());
                printf("   %5.2f %5.2f", loss / k, worst);
                fprintf(tsv, "%d\t%d\t%g\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", g, range, sigma,
                        noisyPsnr / k, best100 / k, best200 / k, autoPsnr / k, loss / k, worst);
                fflush(stdout);
            }
            printf("\n");
            for (const Picture& p : pictures) {
                const NoiseEstimate e = Measure(p.Y, p.W, p.H);
                const int s = StrengthForNoise(e.Sigma, e.Detail, 8, range, g);
                const double psnr = Psnr(p.Y, filter.Run(p.Y, p.W, p.H, s, range, g));
                if (!clean.count(p.Name) || psnr < clean[p.Name]) clean[p.Name] = psnr;
            }
        }
    }
    printf("auto more than 1 dB below the best (its strength):\n");
    for (const std::string& line : past) printf("%s\n", line.c_str());
    printf("clean input, PSNR of the output against the input (lowest over R and weighting):\n");
    for (const auto& c : clean) printf("  %-16s %6.2f dB\n", c.first.c_str(), c.second);
    fclose(tsv);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "constant") return Constant();
    if (mode == "estimate" && argc > 2) return EstimateTable(argc - 2, argv + 2);
    if (mode == "estimate-fields" && argc > 3)
        return EstimateFields(atoi(argv[2]), argc - 3, argv + 3);
    if (mode == "sweep" && argc > 3) return Sweep(argv[2], argc - 3, argv + 3);
    if (mode == "fit" && argc == 3) return Fit(argv[2]);
    if (mode == "fit-content" && argc > 5 && strcmp(argv[2], "--worst") == 0) {
        WorstWeight = atof(argv[3]);
        return FitContent(argv[4], argc - 5, argv + 5);
    }
    if (mode == "fit-content" && argc > 3) return FitContent(argv[2], argc - 3, argv + 3);
    if (mode == "evaluate" && argc > 4) return Evaluate(argv[2], argv[3], argc - 4, argv + 4);
    if (mode == "curves") return CurvesTable();
    if (mode == "features") return Features(argc - 2, argv + 2);
    if (mode == "speed") return Speed();
    if (mode == "best" && argc == 3) return BestTable(argv[2]);
    fprintf(stderr,
            "usage: strength_sweep constant | estimate IMAGE.pgm... | sweep OUT.tsv IMAGE.pgm... |"
            " fit SWEEP.tsv | fit-content SWEEP.tsv IMAGE.pgm... | evaluate SWEEP.tsv OUT.tsv"
            " IMAGE.pgm... | curves | features IMAGE.pgm... | best SWEEP.tsv\n");
    return 2;
}
