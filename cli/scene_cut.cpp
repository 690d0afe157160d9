// scene_cut.cpp: block means of two frames, the median distance to the best neighbour
#include "scene_cut.h"

#include <stdlib.h>

#include <algorithm>
#include <vector>

// Mean Y of every CutBlock x CutBlock block (partial blocks at the right and bottom edges).
static std::vector<int> BlockMeans(const YcPixel* image, int W, int H, int capacity, int bw,
                                   int bh) {
    std::vector<long> sums(size_t(bw) * bh, 0);
    for (int y = 0; y < H; y++) {
        const YcPixel* row = image + size_t(y) * capacity;
        long* s = sums.data() + size_t(y / CutBlock) * bw;
        for (int x = 0; x < W; x++) s[x / CutBlock] += row[x].Y;
    }
    std::vector<int> means(sums.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            const long w = std::min(int(CutBlock), W - i * CutBlock);
            const long h = std::min(int(CutBlock), H - j * CutBlock);
            means[size_t(j) * bw + i] = int(sums[size_t(j) * bw + i] / (w * h));
        }
    return means;
}

bool IsSceneCut(const YcPixel* a, const YcPixel* b, int W, int H, int capacity) {
    if (W <= 0 || H <= 0) return false;
    const int bw = (W + CutBlock - 1) / CutBlock, bh = (H + CutBlock - 1) / CutBlock;
    const std::vector<int> ma = BlockMeans(a, W, H, capacity, bw, bh);
    const std::vector<int> mb = BlockMeans(b, W, H, capacity, bw, bh);
    std::vector<int> miss(mb.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            int best = 1 << 30;
            for (int v = std::max(0, j - 1); v <= std::min(bh - 1, j + 1); v++)
                for (int u = std::max(0, i - 1); u <= std::min(bw - 1, i + 1); u++)
                    best = std::min(best, abs(mb[size_t(j) * bw + i] - ma[size_t(v) * bw + u]));
            miss[size_t(j) * bw + i] = best;
        }
    std::nth_element(miss.begin(), miss.begin() + miss.size() / 2, miss.end());
    return miss[miss.size() / 2] > CutLevel;
}
