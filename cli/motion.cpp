// motion.cpp: region projections matched by shifting, then the median vector tried on pixels
#include "motion.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <type_traits>
#include <vector>

namespace {

// A shift of a region's sums must cost at most this share of no shift's to count.
const double RegionBetter = 0.96;
// A candidate must match at most this share of no motion's cost on the samples. Noise alone
// moves the ratio by about 0.45% (one standard deviation at 32K samples), so the best of the
// candidates a walk over noise tries stays above 0.98; a pan of even one pixel over textured
// content lowers it by more. (Squared differences would spread twice as wide.)
const double ClearlyBetter = 0.98;

// Sums per region: the column sums of a band of rows across the middle of each row of regions,
// and the row sums of a band of columns down the middle of each column of regions. Bands of
// BandWidth lines average the noise well enough and keep the reads to a fraction of the frame
// (a 1920x1080 frame: about 380K of its 2M pixels).
enum { BandWidth = 32 };

int Edge(int size, int parts, int k) {
    return int(int64_t(size) * k / parts);
}

// The band of at most BandWidth lines in the middle of part k of size lines cut in parts.
void Band(int size, int parts, int k, int* from, int* to) {
    const int a = Edge(size, parts, k), b = Edge(size, parts, k + 1);
    const int width = std::min(int(BandWidth), b - a);
    *from = a + (b - a - width) / 2;
    *to = *from + width;
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

// Candidates are tried pixel by pixel (absolute differences) at about 32K samples (fewer when
// the frame is smaller): runs of RunPixels in about 181 rows, so that a candidate reads a few
// thousand cache lines of b, not one per sample. Rows and runs are moved within their cells by
// a fixed jitter: a regular grid would miss every edge that lies on one phase of its step
// (block edges, say), and then tell neighbouring vectors apart badly. The runs depend on the
// frame's size and the bound only; f(y, x) is called for each run's first pixel, in order.
enum { RunPixels = 8, Samples = 32768 };

template <typename F>
void SampleRuns(int W, int H, int bound, F f) {
    const int inner = W - 2 * bound;
    const int sy = std::max(1, (H - 2 * bound) / 181), rows = (H - 2 * bound) / sy;
    // Short frames take more runs per row, up to the whole row.
    const int wanted = (Samples / RunPixels + rows - 1) / rows;
    const int runs = std::max(1, std::min(wanted, inner / RunPixels));
    const int step = inner / runs, room = step - RunPixels + 1;
    for (int k = 0; bound + k * sy < H - bound; k++) {
        const int y = bound + k * sy + (k * 5 + 1) % sy;
        if (y >= H - bound) break;
        for (int j = 0; j < runs; j++) f(y, bound + j * step + (j * 3 + k * 7) % room);
    }
}

// Frames too small for the estimate (or no room to move) keep no motion.
bool TooSmall(int W, int H, int bound) {
    return W < 1 || H < 1 || bound <= 0 || W <= 2 * bound + 8 || H <= 2 * bound + 8;
}

template <typename T>
void SumPlane(const T* image, ptrdiff_t stride, int W, int H, int bound, MotionSums* sums) {
    MotionSums& p = *sums;
    const int gx = std::clamp(W / 48, 1, 4), gy = std::clamp(H / 48, 1, 4);
    p.W = W, p.H = H, p.gx = gx, p.gy = gy, p.Bound = bound;
    p.Columns.assign(size_t(gy) * W, 0);
    p.Rows.assign(size_t(gx) * H, 0);
    p.Samples.clear();
    for (int j = 0; j < gy; j++) {
        int y0, y1;
        Band(H, gy, j, &y0, &y1);
        int64_t* columns = p.Columns.data() + size_t(j) * W;
        for (int y = y0; y < y1; y++) {
            const T* row = image + y * stride;
            for (int x = 0; x < W; x++) columns[x] += Luma(row[x]);
        }
    }
    for (int i = 0; i < gx; i++) {
        int x0, x1;
        Band(W, gx, i, &x0, &x1);
        int64_t* rows = p.Rows.data() + size_t(i) * H;
        for (int y = 0; y < H; y++) {
            const T* row = image + y * stride;
            int64_t sum = 0;
            for (int x = x0; x < x1; x++) sum += Luma(row[x]);
            rows[y] = sum;
        }
    }
    if (TooSmall(W, H, bound)) return;
    SampleRuns(W, H, bound, [&](int y, int x) {
        const T* run = image + y * stride + x;
        for (int q = 0; q < RunPixels; q++) p.Samples.push_back(Luma(run[q]));
    });
}

// The cost of each candidate (vy, vx): the absolute differences between a's samples and b's
// pixels moved by it.
template <typename T>
struct Candidates {
    const T* b;
    ptrdiff_t stride;
    const std::vector<int32_t>* values;
    std::vector<ptrdiff_t> offsets;  // of each run in b, at no motion

    int64_t Cost(int vy, int vx) const {
        const ptrdiff_t delta = vy * stride + vx;
        int64_t sum = 0;
        const int32_t* v = values->data();
        for (size_t r = 0; r < offsets.size(); r++, v += RunPixels) {
            const T* moved = b + (offsets[r] + delta);
            for (int q = 0; q < RunPixels; q++) sum += abs(v[q] - Luma(moved[q]));
        }
        return sum;
    }
};

}  // namespace

void SumFrame(const LumaPlane& plane, int bound, MotionSums* sums) {
    WithLuma(plane,
             [&](auto image) { SumPlane(image, plane.Stride, plane.W, plane.H, bound, sums); });
}

GlobalMotion EstimateMotion(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W,
                            int H, int bound) {
    MotionSums sa, sb;
    const LumaPlane planeB = HostLuma(b, capacityB, W, H);
    SumFrame(HostLuma(a, capacityA, W, H), bound, &sa);
    SumFrame(planeB, bound, &sb);
    return EstimateMotion(sa, sb, planeB);
}

GlobalMotion EstimateMotion(const MotionSums& pa, const MotionSums& pb, const LumaPlane& planeB) {
    GlobalMotion none;
    const int W = pa.W, H = pa.H, gx = pa.gx, gy = pa.gy, bound = pa.Bound;
    if (pb.W != W || pb.H != H || pb.Bound != bound || planeB.W != W || planeB.H != H ||
        TooSmall(W, H, bound) || pa.Samples.size() != pb.Samples.size())
        return none;
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

    return WithLuma(planeB, [&](auto b) {
        Candidates<std::remove_const_t<std::remove_pointer_t<decltype(b)>>> c{
            b, planeB.Stride, &pa.Samples, {}};
        SampleRuns(W, H, bound, [&](int y, int x) { c.offsets.push_back(y * planeB.Stride + x); });
        // Downhill from the median: the best of a vector and its eight neighbours, until the
        // vector itself is best (the regions' sums can miss by a pixel or two where the picture
        // has little detail along one axis).
        const int span = 2 * bound + 1;
        std::vector<int64_t> known(size_t(span) * span, -1);
        auto at = [&](int vy, int vx) {
            int64_t& cost = known[size_t(vy + bound) * span + size_t(vx + bound)];
            if (cost < 0) cost = c.Cost(vy, vx);
            return cost;
        };
        GlobalMotion found{my, mx};
        for (bool moved = true; moved;) {
            moved = false;
            const GlobalMotion centre = found;
            for (int vy = std::max(centre.Y - 1, -bound); vy <= std::min(centre.Y + 1, bound); vy++)
                for (int vx = std::max(centre.X - 1, -bound); vx <= std::min(centre.X + 1, bound);
                     vx++)
                    if (at(vy, vx) < at(found.Y, found.X))
                        found = GlobalMotion{vy, vx}, moved = true;
        }
        const bool still = found.Y == 0 && found.X == 0;
        return !still && double(at(found.Y, found.X)) < ClearlyBetter * double(at(0, 0)) ? found
                                                                                         : none;
    });
}
