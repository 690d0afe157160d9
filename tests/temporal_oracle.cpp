// temporal_oracle.cpp: the whole-clip reference of the temporal mode, and moving test clips
#include "temporal_oracle.h"

#include <math.h>

#include <algorithm>
#include <cstdlib>

#include "model/cross_kernel_model.h"

std::vector<std::vector<double>> TemporalOracle(const std::vector<LumaPlane>& clip,
                                                const std::vector<bool>& cutBefore, int R, int N,
                                                int strength, bool gaussian,
                                                const std::vector<FrameMotion>& motion, int bound,
                                                const OracleRegions& regions) {
    auto clamp = [bound](int v) { return v < -bound ? -bound : v > bound ? bound : v; };
    // The motion from frame a to frame b > a.
    auto between = [&](int a, int b) {
        FrameMotion sum;
        if (motion.empty()) return sum;
        for (int i = a + 1; i <= b; i++) {
            sum.Y += clamp(motion[size_t(i)].Y);
            sum.X += clamp(motion[size_t(i)].X);
        }
        return FrameMotion{clamp(sum.Y), clamp(sum.X)};
    };
    const float c = OracleCoefficient(strength, gaussian);
    const float lowerBound = ModelFloat(0xCE7B0768), bias = ModelFloat(0x4E7DE000);
    const int frames = int(clip.size());
    std::vector<int> shot(size_t(frames), 0);
    for (int t = 1; t < frames; t++)
        shot[size_t(t)] = shot[size_t(t - 1)] + (cutBefore[size_t(t)] ? 1 : 0);
    std::vector<int> shotFrames(size_t(shot.back() + 1), 0);
    for (int t = 0; t < frames; t++) shotFrames[size_t(shot[size_t(t)])]++;
    std::vector<std::vector<double>> out{size_t(frames)}, weightSums{size_t(frames)};
    for (int t = 0; t < frames; t++) {
        const LumaPlane& A = clip[size_t(t)];
        auto SA = [&A](int y, int x) { return float(A.At(x, y)); };
        std::vector<double>& o = out[size_t(t)];
        o.resize(size_t(A.W) * size_t(A.H));
        weightSums[size_t(t)].resize(o.size());
        for (int y = 0; y < A.H; y++)
            for (int x = 0; x < A.W; x++) {
                // A frame that has neighbours in its shot counts its own value at 0.375.
                const double own = shotFrames[size_t(shot[size_t(t)])] > 1 ? 0.375 : 1.0;
                double weighted = own * SA(y, x), weights = own;
                for (int k = -N; k <= N; k++) {
                    const int u = t + k;
                    if (u < 0 || u >= frames || shot[size_t(u)] != shot[size_t(t)]) continue;
                    const LumaPlane& B = clip[size_t(u)];
                    auto SB = [&B](int yy, int xx) { return float(B.At(xx, yy)); };
                    const FrameMotion later = between(t, u), earlier = between(u, t);
                    const int my = k > 0 ? later.Y : k < 0 ? -earlier.Y : 0;
                    const int mx = k > 0 ? later.X : k < 0 ? -earlier.X : 0;
                    for (int dy = my - R; dy <= my + R; dy++)
                        for (int dx = mx - R; dx <= mx + R; dx++) {
                            if (k == 0 && dy == 0 && dx == 0) continue;
                            const float z =
                                gaussian ? CrossScaledDistanceRef<true>(SA, SB, y, x, dy, dx, c)
                                         : CrossScaledDistanceRef<false>(SA, SB, y, x, dy, dx, c);
                            const double w = FastExpWeightRef(z, lowerBound, bias);
                            weighted += w * SB(y + dy, x + dx);
                            weights += w;
                        }
                }
                o[size_t(y) * size_t(A.W) + size_t(x)] = weighted;
                weightSums[size_t(t)][size_t(y) * size_t(A.W) + size_t(x)] = weights;
            }
    }
    // The regions' own pairs, between frames a < b of a shot at most N apart.
    for (int a = 0; a < frames && !regions.Fields.empty(); a++)
        for (int b = a + 1; b <= a + N && b < frames && shot[size_t(b)] == shot[size_t(a)]; b++) {
            const LumaPlane &A = clip[size_t(a)], &B = clip[size_t(b)];
            auto SA = [&A](int y, int x) { return float(A.At(x, y)); };
            auto SB = [&B](int y, int x) { return float(B.At(x, y)); };
            const FrameMotion g = between(a, b);
            const int chunks = (regions.Strip + 31) / 32;
            for (int y = 0; y < A.H; y++)
                for (int x = 0; x < A.W; x++) {
                    const int s = x / regions.Strip, chunk = (x % regions.Strip) / 32;
                    const int region = ((y / regions.Rows) * 8 + s) * chunks + chunk;
                    FrameMotion r;
                    for (int i = a + 1; i <= b; i++) {
                        r.Y += clamp(regions.Fields[size_t(i)][size_t(region)].Y);
                        r.X += clamp(regions.Fields[size_t(i)][size_t(region)].X);
                    }
                    r = FrameMotion{clamp(r.Y), clamp(r.X)};
                    if (r.Y == g.Y && r.X == g.X) continue;
                    const int stripEnd = std::min((s + 1) * regions.Strip, A.W);
                    for (int dy = r.Y - R; dy <= r.Y + R; dy++)
                        for (int dx = r.X - R; dx <= r.X + R; dx++) {
                            const int yb = y + dy, xb = x + dx;
                            if (std::abs(dy - g.Y) <= R && std::abs(dx - g.X) <= R) continue;
                            if (yb < 0 || yb >= B.H || xb < s * regions.Strip || xb >= stripEnd)
                                continue;
                            const float z =
                                gaussian ? CrossScaledDistanceRef<true>(SA, SB, y, x, dy, dx, c)
                                         : CrossScaledDistanceRef<false>(SA, SB, y, x, dy, dx, c);
                            const double w = FastExpWeightRef(z, lowerBound, bias);
                            const size_t pa = size_t(y) * size_t(A.W) + size_t(x);
                            const size_t pb = size_t(yb) * size_t(B.W) + size_t(xb);
                            out[size_t(a)][pa] += w * SB(yb, xb);
                            weightSums[size_t(a)][pa] += w;
                            out[size_t(b)][pb] += w * SA(y, x);
                            weightSums[size_t(b)][pb] += w;
                        }
                }
        }
    for (int t = 0; t < frames; t++)
        for (size_t i = 0; i < out[size_t(t)].size(); i++)
            out[size_t(t)][i] /= weightSums[size_t(t)][i];
    return out;
}

std::vector<LumaPlane> MovingClip(int W, int H, int frames, int dx, int dy, double sigma,
                                  std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<LumaPlane> clip{size_t(frames)};
    for (int t = 0; t < frames; t++) {
        LumaPlane& p = clip[size_t(t)];
        p.W = W;
        p.H = H;
        p.Y.resize(size_t(W) * size_t(H));
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                // Blocks and a slope, moved; on the 12-bit scale of the program.
                const int u = x - dx * t, v = y - dy * t;
                const double clean =
                    (((u >> 3) + (v >> 3)) & 1 ? 2800.0 : 1200.0) + 9.0 * u - 5.0 * v;
                const long value = lround(clean + noise(rng));
                p.Y[size_t(y) * size_t(W) + size_t(x)] = int16_t(value < -32768  ? -32768
                                                                 : value > 32767 ? 32767
                                                                                 : value);
            }
    }
    return clip;
}
