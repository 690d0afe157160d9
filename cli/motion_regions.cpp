// motion_regions.cpp: per-region vectors by a coarse search at half size and a refinement,
// each candidate judged with the global vector beside it, quarter by quarter
#include "motion_regions.h"

#include <stdlib.h>

#include <algorithm>

namespace {

// Absolute differences between a's pixels in rows [y0, y1), columns [x0, x1) and b's moved by
// (vy, vx); the caller keeps the moved rectangle inside b.
template <typename T>
int64_t Cost(const std::vector<T>& a, const std::vector<T>& b, int W, int y0, int y1, int x0,
             int x1, int vy, int vx) {
    int64_t sum = 0;
    for (int y = y0; y < y1; y++) {
        const T* pa = a.data() + size_t(y) * W;
        const T* pb = b.data() + size_t(y + vy) * W + vx;
        int32_t row = 0;
        for (int x = x0; x < x1; x++) row += abs(pa[x] - pb[x]);
        sum += row;
    }
    return sum;
}

// The costs of a rectangle's four quarters (split at its middle row and column).
struct Quarters {
    int64_t q[4] = {};
    int64_t Sum() const { return q[0] + q[1] + q[2] + q[3]; }
};

template <typename T>
Quarters QuarterCosts(const std::vector<T>& a, const std::vector<T>& b, int W, int y0, int y1,
                      int x0, int x1, int vy, int vx) {
    const int ym = (y0 + y1) / 2, xm = (x0 + x1) / 2;
    return Quarters{{Cost(a, b, W, y0, ym, x0, xm, vy, vx), Cost(a, b, W, y0, ym, xm, x1, vy, vx),
                     Cost(a, b, W, ym, y1, x0, xm, vy, vx), Cost(a, b, W, ym, y1, xm, x1, vy, vx)}};
}

// What the region costs when each quarter takes the better of the global vector and v: the
// temporal mode searches both windows, so a vector that only fits part of the region (an
// object's edge) still counts for that part.
int64_t Union(const Quarters& global, const Quarters& v) {
    int64_t sum = 0;
    for (int k = 0; k < 4; k++) sum += std::min(global.q[k], v.q[k]);
    return sum;
}

// A region whose global cost per pixel is within this of the noise floor is not searched.
const double SearchAbove = 1.15;

}  // namespace

void TakeRegionPlanes(const LumaPlane& plane, RegionPlanes* planes) {
    RegionPlanes& p = *planes;
    const int W = plane.W, H = plane.H, hw = W / 2, hh = H / 2;
    p.W = W, p.H = H;
    p.Full.resize(size_t(W) * H);
    p.Half.assign(size_t(hw) * hh, 0);
    WithLuma(plane, [&](const auto* data) {
        for (int y = 0; y < H; y++) {
            const auto* row = data + y * plane.Stride;
            uint16_t* out = p.Full.data() + size_t(y) * W;
            for (int x = 0; x < W; x++) out[x] = uint16_t(std::clamp(Luma(row[x]), 0, 65535));
        }
    });
    for (int y = 0; y < hh; y++) {
        const uint16_t* r0 = p.Full.data() + size_t(2 * y) * W;
        const uint16_t* r1 = r0 + W;
        int32_t* out = p.Half.data() + size_t(y) * hw;
        for (int x = 0; x < hw; x++) out[x] = r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1];
    }
}

void EstimateRegions(const RegionPlanes& a, const RegionPlanes& b, GlobalMotion global, int bound,
                     const TemporalRegions& grid, std::vector<int8_t>* field) {
    const int W = a.W, H = a.H, hw = W / 2;
    field->assign(size_t(grid.Count) * 2, 0);
    const GlobalMotion g{std::clamp(global.Y, -bound, bound), std::clamp(global.X, -bound, bound)};
    for (int i = 0; i < grid.Count; i++) {
        (*field)[2 * size_t(i)] = int8_t(g.Y);
        (*field)[2 * size_t(i) + 1] = int8_t(g.X);
    }
    if (bound <= 0 || b.W != W || b.H != H) return;
    const int hb = (bound + 1) / 2;  // the coarse search's reach, in half-size pixels
    // Each region's pixels clear of the frame's edges by the bound (and by the coarse reach at
    // half size), so that every candidate reads inside b; and what the global vector costs
    // there.
    struct Region {
        int y0, y1, x0, x1;
        Quarters global;
        double perPixel;
    };
    std::vector<Region> regions(size_t(grid.Count));
    std::vector<double> levels;
    for (int band = 0; band < grid.Bands; band++)
        for (int s = 0; s < 8; s++)
            for (int c = 0; c < grid.Chunks; c++) {
                Region& r = regions[size_t((band * 8 + s) * grid.Chunks + c)];
                const int stripEnd = std::min((s + 1) * grid.StripWidth, W);
                r.x0 = std::max(s * grid.StripWidth + c * grid.Columns, bound);
                r.x1 =
                    std::min({s * grid.StripWidth + (c + 1) * grid.Columns, stripEnd, W - bound});
                r.y0 = std::max(band * grid.Rows, bound);
                r.y1 = std::min({(band + 1) * grid.Rows, H, H - bound});
                r.perPixel = -1;
                if (r.x1 - r.x0 < 8 || r.y1 - r.y0 < 4 || (r.x1 - r.x0) * (r.y1 - r.y0) < 64)
                    continue;
                r.global = QuarterCosts(a.Full, b.Full, W, r.y0, r.y1, r.x0, r.x1, g.Y, g.X);
                r.perPixel = double(r.global.Sum()) / (double(r.x1 - r.x0) * (r.y1 - r.y0));
                levels.push_back(r.perPixel);
            }
    if (levels.empty()) return;
    // The noise floor: the global vector's cost per pixel in the best-matching tenth of the
    // regions (noise alone, in still or flat parts). A region within SearchAbove of it has
    // nothing a vector of its own could take away and is not searched (most of a pan).
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 10, levels.end());
    const double floor = levels[levels.size() / 10];
    for (int band = 0; band < grid.Bands; band++)
        for (int s = 0; s < 8; s++)
            for (int c = 0; c < grid.Chunks; c++) {
                const int i = (band * 8 + s) * grid.Chunks + c;
                const Region& r = regions[size_t(i)];
                if (r.perPixel < 0 || r.perPixel <= SearchAbove * floor) continue;
                const int x0 = r.x0, x1 = r.x1, y0 = r.y0, y1 = r.y1;
                // Coarse: every vector of the half-size frames within the reach.
                const int hx0 = std::max((x0 + 1) / 2, hb), hx1 = std::min(x1 / 2, hw - hb);
                const int hy0 = std::max((y0 + 1) / 2, hb), hy1 = std::min(y1 / 2, H / 2 - hb);
                GlobalMotion coarse = g;
                if (hx1 - hx0 >= 4 && hy1 - hy0 >= 2) {
                    const Quarters atGlobal =
                        QuarterCosts(a.Half, b.Half, hw, hy0, hy1, hx0, hx1,
                                     std::clamp(g.Y / 2, -hb, hb), std::clamp(g.X / 2, -hb, hb));
                    int64_t best = INT64_MAX;
                    for (int vy = -hb; vy <= hb; vy++)
                        for (int vx = -hb; vx <= hb; vx++) {
                            const int64_t cost =
                                Union(atGlobal,
                                      QuarterCosts(a.Half, b.Half, hw, hy0, hy1, hx0, hx1, vy, vx));
                            if (cost < best) best = cost, coarse = GlobalMotion{2 * vy, 2 * vx};
                        }
                }
                // Fine: around the coarse vector, the neighbours' vectors; each with the global
                // one.
                const Quarters& atGlobal = r.global;
                const int64_t globalCost = atGlobal.Sum();
                GlobalMotion best = g;
                int64_t bestCost = globalCost;
                auto consider = [&](GlobalMotion v) {
                    v = GlobalMotion{std::clamp(v.Y, -bound, bound),
                                     std::clamp(v.X, -bound, bound)};
                    const int64_t c =
                        Union(atGlobal, QuarterCosts(a.Full, b.Full, W, y0, y1, x0, x1, v.Y, v.X));
                    if (c < bestCost) bestCost = c, best = v;
                };
                for (int dy = -1; dy <= 1; dy++)
                    for (int dx = -1; dx <= 1; dx++)
                        consider(GlobalMotion{coarse.Y + dy, coarse.X + dx});
                if (c > 0)
                    consider(
                        GlobalMotion{(*field)[2 * size_t(i - 1)], (*field)[2 * size_t(i - 1) + 1]});
                if (band > 0) {
                    const size_t above = size_t(i - 8 * grid.Chunks);
                    consider(GlobalMotion{(*field)[2 * above], (*field)[2 * above + 1]});
                }
                const double pixels = double(x1 - x0) * double(y1 - y0);
                if (double(bestCost) <= RegionClearlyBetter(pixels) * double(globalCost)) {
                    (*field)[2 * size_t(i)] = int8_t(best.Y);
                    (*field)[2 * size_t(i) + 1] = int8_t(best.X);
                }
            }
}
