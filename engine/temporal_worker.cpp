// temporal_worker.cpp: stage a frame of the clip window, filter bands across frames, write out
//
// Thread slice of the temporal mode (every region 32-byte aligned):
//
//   byte 0        DistanceBuffer       168 vectors, for the spatial kernel
//   5376          AccumulatorRing      six rows of 48 entries (4608 bytes each)
//   33024         cross distances      nine runs of two rows of 48 vectors
//   60672         packed row           40 vector columns of 8 words
//   61312         staged band          BandHeight + 2R + 3 rows of 50 vectors, the spatial
//                                      kernel's view of the band of frame u
//
// A band of frame u is filtered in two column grids. The spatial kernel runs over the spatial
// module's 40-column chunks, staged from the source into the slice as the module stages them,
// so its sums are the module's bit for bit (the kernel's crediting order depends on where
// chunks end). The cross tiles run over 32-column chunks staged into the slots with room for
// the moved window; then the frame whose last neighbour u is goes out. A tile credits entries
// of its own band and chunk only, so bands need no ordering between them.
#include "temporal_worker.h"

#include <assert.h>

#include "../host/platform.h"
#include "cross_kernel.h"
#include "patch_kernel.h"
#include "pixel_words.h"
#include "row_staging.h"
#include "vec8.h"

enum {
    DistanceBytes = 5376,
    AccumulatorRowBytes = 4608,
    CrossDistanceOffset = DistanceBytes + 6 * AccumulatorRowBytes,
    PackedOffset = CrossDistanceOffset + 2 * 9 * 48 * 32,
    StagedBandOffset = PackedOffset + 40 * 16,
    StageBlockRows = 16
};

static float* StagedChunk(const TemporalJob& job, int slot, int c) {
    return reinterpret_cast<float*>(job.Slots + slot * job.SlotBytes + c * job.StagedChunkBytes);
}

// Column c0 of chunk c's staged image row y (y from -CrossReach-1 to H+CrossReach+1).
static float* StagedAt(const TemporalJob& job, int slot, int c, int y) {
    return StagedChunk(job, slot, c) + (y + CrossReach + 1) * StagedRowFloats +
           (CrossReach + 1) * 8;
}

// Sums of image row y, vector column x.
static float* SumsAt(const TemporalJob& job, int slot, int y, int x) {
    return reinterpret_cast<float*>(job.Slots + slot * job.SlotBytes + job.SumsOffset) +
           (intptr_t(y) * job.V + x) * SumFloats;
}

// Stages image row y of the source (clamped to the frame) into out: vector columns c0 - G to
// c0 + n + G - 1, G = reach + 1.
static void StageSourceRow(const TemporalJob& job, int c0, int n, int reach, int y, float* out) {
    const int row = y < 0 ? 0 : y >= job.H ? job.H - 1 : y;
    StageWindowRow(static_cast<const char*>(job.Source) + row * job.SourceStride, job.PixelBytes,
                   c0, n, reach, job.V, job.W, out);
}

// Stages image row y of chunk c of the slot (its cross-tile chunk, with the margins the widest
// motion reads) into staged row y + CrossReach + 1.
static void StageClipRow(const TemporalJob& job, int slot, int c, int y) {
    const int c0 = c * CrossChunkColumns;
    const int n = job.V - c0 < CrossChunkColumns ? job.V - c0 : CrossChunkColumns;
    StageSourceRow(job, c0, n, CrossReach, y,
                   StagedChunk(job, slot, c) + (y + CrossReach + 1) * StagedRowFloats);
}

void TemporalStageWorker(int32_t threadIndex, int32_t, void* first, void*) {
    TemporalJob& job = *static_cast<TemporalJob*>(first);
    if (threadIndex < 0 || threadIndex >= job.Threads) return;
    const int blocks = (job.StagedRows + StageBlockRows - 1) / StageBlockRows;
    for (;;) {
        const int q = AtomicIncrement(&job.ClaimCounter) - 1;
        if (q >= blocks * job.Chunks) break;
        const int c = q / blocks, i0 = (q % blocks) * StageBlockRows;
        const int i1 = i0 + StageBlockRows < job.StagedRows ? i0 + StageBlockRows : job.StagedRows;
        for (int i = i0; i < i1; i++) StageClipRow(job, job.Newest, c, i - CrossReach - 1);
    }
}

// Replaces the Y words of 8 pixels at p (48 bytes, any alignment) by the 8 words of y; Cb and
// Cr stay as they are.
static VEC_INLINE void StoreY(__m128i y, char* p) {
    __m128i* v = reinterpret_cast<__m128i*>(p);
    __m128i a = _mm_loadu_si128(v), b = _mm_loadu_si128(v + 1), c = _mm_loadu_si128(v + 2);
    MergeY(y, a, b, c);
    _mm_storeu_si128(v, a);
    _mm_storeu_si128(v + 1, b);
    _mm_storeu_si128(v + 2, c);
}

// Normalises rows b to b+m-1 of chunk c of a slot and writes their Y to the output: whole
// groups of 8 pixels inside the frame at once, the pixels before W of a group that reaches past
// it one by one. Images keep their Cb and Cr; planes take the words as they are. A frame that
// met another frame counts its own value with the temporal mode's own weight (PackSumsOwn, its
// own values from its staged rows); a frame alone in its shot comes out as the spatial filter
// gives it.
static void WriteTile(const TemporalJob& job, int slot, int c, int b, int m, int16_t* packed) {
    const int V = job.V, W = job.W, c0 = c * CrossChunkColumns;
    const int n = V - c0 < CrossChunkColumns ? V - c0 : CrossChunkColumns;
    const bool plane = job.PixelBytes == 2;
    for (int r = 0; r < m; r++) {
        if (job.OwnWeight)
            PackSumsOwn(SumsAt(job, slot, b + r, c0), StagedAt(job, slot, c, b + r), packed, n);
        else
            PackSums(SumsAt(job, slot, b + r, c0), packed, n);
        char* out = static_cast<char*>(job.Out) + intptr_t(b + r) * job.OutStride;
        for (int g = 0; g < n; g += 8) {
            int16_t* words = packed + 8 * g;
            TransposeWords(words);
            for (int s = 0; s < 8; s++) {
                const int x = s * V + c0 + g;
                const __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(words + 8 * s));
                if (x + 8 <= W) {
                    if (plane)
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * intptr_t(x)), y);
                    else
                        StoreY(y, out + 6 * intptr_t(x));
                } else if (plane) {
                    int16_t* sample = reinterpret_cast<int16_t*>(out) + x;
                    for (int i = 0; i < W - x; i++) sample[i] = words[8 * s + i];
                } else {
                    YcPixel* pixel = reinterpret_cast<YcPixel*>(out) + x;
                    for (int i = 0; i < W - x; i++) pixel[i].Y = words[8 * s + i];
                }
            }
        }
    }
}

template <bool Gaussian>
static void BandWorkerBody(int32_t threadIndex, TemporalJob& job) {
    if (threadIndex < 0 || threadIndex >= job.Threads) return;
    const int R = job.Range, BH = job.BandHeight, V = job.V, H = job.H;
    uint8_t* slice = job.Scratch + threadIndex * job.PerThreadBytes;
    float* const accumulators = reinterpret_cast<float*>(slice + DistanceBytes);
    int16_t* const packed = reinterpret_cast<int16_t*>(slice + PackedOffset);
    Chunk chunk;
    chunk.R = R;
    chunk.Distance = reinterpret_cast<float*>(slice);
    chunk.Staged = reinterpret_cast<float*>(slice + StagedBandOffset);
    chunk.Coefficient = job.WeightCoefficient;
    chunk.LowerBound = &job.LowerBound;
    chunk.ExponentBias = &job.ExponentBias;
    CrossTile tile;
    tile.R = R;
    tile.SumRowFloats = V * SumFloats;
    tile.Distance = reinterpret_cast<float*>(slice + CrossDistanceOffset);
    tile.Coefficient = job.WeightCoefficient;
    tile.LowerBound = &job.LowerBound;
    tile.ExponentBias = &job.ExponentBias;
    const int slots = job.Neighbours + 1, u = job.Newest;
    for (;;) {
        const int q = AtomicIncrement(&job.ClaimCounter) - 1;
        if (q >= job.BandCount) break;
        const int b = q * BH;
        const int m = (b + BH < H ? b + BH : H) - b;
        // The spatial filter of frame u, in the spatial module's chunks and staged as it
        // stages them (so a frame alone in its shot comes out as that filter gives it); the
        // finished rows go to frame u's sums instead of being packed.
        for (int c0 = 0; c0 < V; c0 += ChunkColumns) {
            chunk.n = V - c0 < ChunkColumns ? V - c0 : ChunkColumns;
            for (int i = 0; i < m + 2 * R + 3; i++)
                StageSourceRow(job, c0, chunk.n, R, b - R - 1 + i,
                               chunk.Staged + i * StagedRowFloats);
            for (int i = 0; i < R + 2; i++)
                chunk.Ring[i] = accumulators + i * AccumulatorRowFloats + EntryFloats * R;
            for (int k = 0; k < R; k++) InitAccumulatorRow(chunk, chunk.Ring[k], k);
            AccumulateAboveBand<Gaussian>(chunk);
            for (int y0 = 0; y0 < m; y0 += 2) {
                InitAccumulatorRow(chunk, chunk.Ring[R], y0 + R);
                InitAccumulatorRow(chunk, chunk.Ring[R + 1], y0 + R + 1);
                AccumulateRowPair<Gaussian>(chunk, y0);
                StoreSums(chunk.Ring[0], SumsAt(job, u, b + y0, c0), chunk.n);
                if (y0 + 1 < m) StoreSums(chunk.Ring[1], SumsAt(job, u, b + y0 + 1, c0), chunk.n);
                RotateRing(chunk);
            }
        }
        // The pairs between u and the held frames, nearest first, then the write-out.
        for (int c = 0; c < job.Chunks; c++) {
            const int c0 = c * CrossChunkColumns;
            tile.n = V - c0 < CrossChunkColumns ? V - c0 : CrossChunkColumns;
            tile.m = m;
            tile.StagedB = StagedAt(job, u, c, b);
            tile.SumsB = SumsAt(job, u, b, c0);
            for (int k = 1; k <= job.Pairs; k++) {
                const int a = (u - k + slots) % slots;
                tile.StagedA = StagedAt(job, a, c, b);
                tile.SumsA = SumsAt(job, a, b, c0);
                tile.MotionY = job.PairMotionY[k];
                tile.MotionX = job.PairMotionX[k];
                AccumulateCrossTile<Gaussian>(tile);
            }
            if (job.Finish >= 0) WriteTile(job, job.Finish, c, b, m, packed);
        }
    }
}

void TemporalBandWorkerGaussian(int32_t threadIndex, int32_t, void* first, void*) {
    BandWorkerBody<true>(threadIndex, *static_cast<TemporalJob*>(first));
}

void TemporalBandWorkerBox(int32_t threadIndex, int32_t, void* first, void*) {
    BandWorkerBody<false>(threadIndex, *static_cast<TemporalJob*>(first));
}

static int32_t ClampMotion(int32_t v, int32_t bound) {
    return v < -bound ? -bound : v > bound ? bound : v;
}

void RegionPairMotion(const TemporalJob& job, int region, int k, int32_t* y, int32_t* x) {
    const int slots = job.Neighbours + 1, bound = 8 - job.Range;
    int32_t sumY = 0, sumX = 0;
    for (int i = 0; i < k; i++) {
        const int8_t* v = job.Fields + ((job.Newest - i + slots) % slots) * job.RegionCount * 2;
        sumY += v[2 * region];
        sumX += v[2 * region + 1];
    }
    *y = ClampMotion(sumY, bound);
    *x = ClampMotion(sumX, bound);
}

// The tiles of the current phase: bands q with q % RowColours and chunks c with c % 2 as the
// phase says. A region tile writes B's sums up to CrossReach rows and columns around it, in
// its own strip; bands of one colour lie (RowColours - 1) * BandHeight >= 2 * CrossReach rows
// apart, and chunks of one colour a whole chunk of 32 columns apart, so no two tiles of a phase
// write the same sums, and every entry receives its credits in the same order whatever the
// threads.
template <bool Gaussian>
static void RegionWorkerBody(int32_t threadIndex, TemporalJob& job) {
    if (threadIndex < 0 || threadIndex >= job.Threads) return;
    const int R = job.Range, BH = job.BandHeight, V = job.V, H = job.H;
    const int rowColour = job.Phase / 2, columnColour = job.Phase % 2;
    const int bands = (job.BandCount - rowColour + job.RowColours - 1) / job.RowColours;
    const int chunks = (job.Chunks - columnColour + 1) / 2;
    const int slots = job.Neighbours + 1, u = job.Newest;
    RegionTile tile;
    tile.R = R;
    tile.Top = 0;
    tile.H = H;
    tile.V = V;
    tile.W = job.W;
    tile.SumRowFloats = V * SumFloats;
    tile.Distance = reinterpret_cast<float*>(job.Scratch + threadIndex * job.PerThreadBytes +
                                             CrossDistanceOffset);
    tile.Coefficient = job.WeightCoefficient;
    tile.LowerBound = &job.LowerBound;
    tile.ExponentBias = &job.ExponentBias;
    for (;;) {
        const int q = AtomicIncrement(&job.ClaimCounter) - 1;
        if (q >= bands * chunks) break;
        const int band = rowColour + (q / chunks) * job.RowColours;
        const int c = columnColour + (q % chunks) * 2;
        const int b = band * BH, c0 = c * CrossChunkColumns;
        tile.m = (b + BH < H ? b + BH : H) - b;
        tile.n = V - c0 < CrossChunkColumns ? V - c0 : CrossChunkColumns;
        tile.Top = b;
        tile.Column = c0;
        tile.StagedB = StagedAt(job, u, c, b);
        tile.SumsB = SumsAt(job, u, b, c0);
        for (int k = 1; k <= job.Pairs; k++) {
            const int a = (u - k + slots) % slots;
            tile.StagedA = StagedAt(job, a, c, b);
            tile.SumsA = SumsAt(job, a, b, c0);
            tile.GlobalY = job.PairMotionY[k];
            tile.GlobalX = job.PairMotionX[k];
            // The lanes' vectors; lanes that share one run together, in the order of their
            // first lane.
            int32_t vy[8], vx[8];
            int pending = 0;
            for (int s = 0; s < 8; s++) {
                RegionPairMotion(job, (band * 8 + s) * job.Chunks + c, k, &vy[s], &vx[s]);
                if (vy[s] != tile.GlobalY || vx[s] != tile.GlobalX) pending |= 1 << s;
            }
            while (pending != 0) {
                const int first = __builtin_ctz(unsigned(pending));
                int lanes = 0;
                for (int s = first; s < 8; s++)
                    if ((pending >> s & 1) && vy[s] == vy[first] && vx[s] == vx[first])
                        lanes |= 1 << s;
                pending &= ~lanes;
                tile.Lanes = lanes;
                tile.MotionY = vy[first];
                tile.MotionX = vx[first];
                AccumulateRegionTile<Gaussian>(tile);
            }
        }
    }
}

void TemporalRegionWorkerGaussian(int32_t threadIndex, int32_t, void* first, void*) {
    RegionWorkerBody<true>(threadIndex, *static_cast<TemporalJob*>(first));
}

void TemporalRegionWorkerBox(int32_t threadIndex, int32_t, void* first, void*) {
    RegionWorkerBody<false>(threadIndex, *static_cast<TemporalJob*>(first));
}

void TemporalFinishWorker(int32_t threadIndex, int32_t, void* first, void*) {
    TemporalJob& job = *static_cast<TemporalJob*>(first);
    if (threadIndex < 0 || threadIndex >= job.Threads) return;
    int16_t* const packed =
        reinterpret_cast<int16_t*>(job.Scratch + threadIndex * job.PerThreadBytes + PackedOffset);
    for (;;) {
        const int q = AtomicIncrement(&job.ClaimCounter) - 1;
        if (q >= job.BandCount) break;
        const int b = q * job.BandHeight;
        const int m = (b + job.BandHeight < job.H ? b + job.BandHeight : job.H) - b;
        for (int c = 0; c < job.Chunks; c++) WriteTile(job, job.Finish, c, b, m, packed);
    }
}
