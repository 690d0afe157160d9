// motion.cpp: region projections matched by shifting, then the median vector tried on pixels
#include "motion.h"

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace {

// A shift of a region's sums must cost at most this share of no shift's to count.
const double RegionBetter = 0.96;
// A candidate must match at most this share of no motion's cost on the sparse grid. Noise
// alone moves the ratio by about 0.3% (one standard deviation at 64K samples, the same for
// every candidate), so the best of nine stays above 0.98; a pan of even one pixel over
// textured content lowers it by more.
const double ClearlyBetter = 0.98;

// Column sums per band of rows and row sums per band of columns.
struct Projections {
    int gx = 1, gy = 1;
    std::vector<int64_t> Columns;  // gy bands of W sums
    std::vector<int64_t> Rows;     // gx bands of H sums
};

int Edge(int size, int parts, int k) {
    return int(int64_t(size) * k / parts);
}

Projections Project(const YcPixel* image, int capacity, int W, int H, int gx, int gy) {
    Projections p;
    p.gx = gx, p.gy = gy;
    p.Columns.assign(size_t(gy) * W, 0);
    p.Rows.assign(size_t(gx) * H, 0);
    for (int y = 0; y < H; y++) {
        const YcPixel* row = image + size_t(y) * capacity;
        int64_t* columns = p.Columns.data() + size_t(int64_t(y) * gy / H) * W;
        for (int i = 0; i < gx; i++) {
            const int x1 = Edge(W, gx, i + 1);
            int64_t sum = 0;
            for (int x = Edge(W, gx, i); x < x1; x++) {
                columns[x] += row[x].Y;
                sum += row[x].Y;
            }
            p.Rows[size_t(i) * H + y] = sum;
        }
    }
    return p;
}

// The shift v of b against a over [from, to) that matches best, |v| <= bound: the sum of
// |a[k] - b[k + v]| over k from from + bound to to - bound - 1, the same terms for every v. A
// shift that is not clearly better than none gives 0.
int BestShift(const int64_t* a, const int64_t* b, int from, int to, int bound) {
    if (to - from <= 2 * bound + 4) return 0;
    int64_t zero = 0, best = INT64_MAX;
    int shift = 0;
    for (int v = -bound; v <= bound; v++) {
        int64_t cost = 0;
        for (int k = from + bound; k < to - bound; k++) cost += llabs(a[k] - b[k + v]);
        if (v == 0) zero = cost;
        if (cost < best || (cost == best && abs(v) < abs(shift))) best = cost, shift = v;
    }
    return double(best) < RegionBetter * double(zero) ? shift : 0;
}

int Median(std::vector<int> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

}  // namespace

GlobalMotion EstimateMotion(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W,
                            int H, int bound) {
    GlobalMotion none;
    if (bound <= 0 || W <= 2 * bound + 8 || H <= 2 * bound + 8) return none;
    const int gx = std::clamp(W / 48, 1, 4), gy = std::clamp(H / 48, 1, 4);
    const Projections pa = Project(a, capacityA, W, H, gx, gy);
    const Projections pb = Project(b, capacityB, W, H, gx, gy);
    std::vector<int> ys, xs;
    for (int j = 0; j < gy; j++)
        for (int i = 0; i < gx; i++) {
            xs.push_back(BestShift(pa.Columns.data() + size_t(j) * W,
                                   pb.Columns.data() + size_t(j) * W, Edge(W, gx, i),
                                   Edge(W, gx, i + 1), bound));
            ys.push_back(BestShift(pa.Rows.data() + size_t(i) * H, pb.Rows.data() + size_t(i) * H,
                                   Edge(H, gy, j), Edge(H, gy, j + 1), bound));
        }
    const int my = Median(ys), mx = Median(xs);

    // Candidates are tried pixel by pixel (squared differences) on a sparse grid, inside the
    // frame for every candidate.
    const int sy = std::max(1, (H - 2 * bound) / 256), sx = std::max(1, (W - 2 * bound) / 256);
    auto cost = [&](int vy, int vx) {
        // Each sample is moved within its sy x sx cell by a fixed jitter: a regular grid would
        // miss every edge that lies on one phase of its step (block edges, say), and then
        // tell neighbouring vectors apart badly.
        int64_t sum = 0;
        for (int k = 0; bound + k * sy < H - bound; k++) {
            const int y = bound + k * sy + (k * 5 + 1) % sy;
            if (y >= H - bound) break;
            const YcPixel* ra = a + size_t(y) * capacityA;
            const YcPixel* rb = b + size_t(y + vy) * capacityB + vx;
            for (int j = 0; bound + j * sx < W - bound; j++) {
                const int x = bound + j * sx + (j * 3 + k) % sx;
                if (x >= W - bound) break;
                const int64_t d = ra[x].Y - rb[x].Y;
                sum += d * d;
            }
        }
        return sum;
    };
    // Downhill from the median: the best of a vector and its eight neighbours, until the vector
    // itself is best (the regions' sums can miss by a pixel or two where the picture has little
    // detail along one axis).
    const int span = 2 * bound + 1;
    std::vector<int64_t> known(size_t(span) * span, -1);
    auto at = [&](int vy, int vx) {
        int64_t& c = known[size_t(vy + bound) * span + size_t(vx + bound)];
        if (c < 0) c = cost(vy, vx);
        return c;
    };
    GlobalMotion found{my, mx};
    for (bool moved = true; moved;) {
        moved = false;
        const GlobalMotion centre = found;
        for (int vy = std::max(centre.Y - 1, -bound); vy <= std::min(centre.Y + 1, bound); vy++)
            for (int vx = std::max(centre.X - 1, -bound); vx <= std::min(centre.X + 1, bound); vx++)
                if (at(vy, vx) < at(found.Y, found.X)) found = GlobalMotion{vy, vx}, moved = true;
    }
    const bool still = found.Y == 0 && found.X == 0;
    return !still && double(at(found.Y, found.X)) < ClearlyBetter * double(at(0, 0)) ? found : none;
}
