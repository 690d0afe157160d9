// scene_cut.cpp: block means of two frames, the median distance to the best neighbour
#include "scene_cut.h"

#include <stdlib.h>

#include <algorithm>
#include <vector>

// Two numbers per CutBlock x CutBlock block (partial blocks at the right and bottom edges): the
// mean Y, and the block's activity, the mean absolute difference between horizontally and
// vertically adjacent pixels. Motion keeps both close to a neighbouring block's; a new shot
// changes the brightness or the texture of most blocks.
struct BlockStats {
    std::vector<int> Mean, Activity;
};

static BlockStats Stats(const YcPixel* image, int W, int H, int capacity, int bw, int bh) {
    std::vector<long> sums(size_t(bw) * bh, 0), steps(sums.size(), 0);
    for (int y = 0; y < H; y++) {
        const YcPixel* row = image + size_t(y) * capacity;
        const YcPixel* below = y + 1 < H ? row + capacity : row;
        long* s = sums.data() + size_t(y / CutBlock) * bw;
        long* d = steps.data() + size_t(y / CutBlock) * bw;
        for (int x = 0; x < W; x++) {
            s[x / CutBlock] += row[x].Y;
            const int right = x + 1 < W ? row[x + 1].Y : row[x].Y;
            d[x / CutBlock] += abs(right - row[x].Y) + abs(below[x].Y - row[x].Y);
        }
    }
    BlockStats stats;
    stats.Mean.resize(sums.size());
    stats.Activity.resize(sums.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            const long w = std::min(int(CutBlock), W - i * CutBlock);
            const long h = std::min(int(CutBlock), H - j * CutBlock);
            const size_t k = size_t(j) * bw + i;
            stats.Mean[k] = int(sums[k] / (w * h));
            stats.Activity[k] = int(steps[k] / (2 * w * h));
        }
    return stats;
}

bool IsSceneCut(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W, int H) {
    if (W <= 0 || H <= 0) return false;
    const int bw = (W + CutBlock - 1) / CutBlock, bh = (H + CutBlock - 1) / CutBlock;
    const BlockStats sa = Stats(a, W, H, capacityA, bw, bh);
    const BlockStats sb = Stats(b, W, H, capacityB, bw, bh);
    std::vector<int> miss(sb.Mean.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            const size_t k = size_t(j) * bw + i;
            int best = 1 << 30;
            for (int v = std::max(0, j - 1); v <= std::min(bh - 1, j + 1); v++)
                for (int u = std::max(0, i - 1); u <= std::min(bw - 1, i + 1); u++) {
                    const size_t o = size_t(v) * bw + u;
                    best = std::min(
                        best, abs(sb.Mean[k] - sa.Mean[o]) + abs(sb.Activity[k] - sa.Activity[o]));
                }
            miss[k] = best;
        }
    std::nth_element(miss.begin(), miss.begin() + miss.size() / 2, miss.end());
    return miss[miss.size() / 2] > CutLevel;
}
