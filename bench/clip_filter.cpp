// clip_filter.cpp: filter a raw 8-bit grey clip through the module on the substitute host
//
//   tessival_clip W H R STRENGTH gaussian|box THREADS IN OUT
// IN holds whole W x H frames of 8-bit luma; each sample s goes to the filter as s * 16 (the
// 12-bit scale its strength is tuned for) and comes back as the filtered value / 16, rounded
// and clamped. OUT may be /dev/null. Prints "frames N seconds S" where S is the time spent in
// ProcessFrame alone (the module's work, as a host would see it), excluding file I/O and the
// one-off first call, which is made once untimed before the first frame is timed. With
// TESSIVAL_BENCH_PLANES=1 the frames go through the Linux library's plane entry (ProcessPlane,
// planes of 16-bit Y) instead, timed the same way.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "../subhost/substitute_host.h"

int main(int argc, char** argv) {
    if (argc != 9) {
        fprintf(stderr, "usage: tessival_clip W H R STRENGTH gaussian|box THREADS IN OUT\n");
        return 2;
    }
    const int W = atoi(argv[1]), H = atoi(argv[2]), R = atoi(argv[3]), strength = atoi(argv[4]);
    const bool gaussian = std::string(argv[5]) == "gaussian";
    const int threads = atoi(argv[6]);
    FILE* in = fopen(argv[7], "rb");
    FILE* out = fopen(argv[8], "wb");
    if (W <= 0 || H <= 0 || in == nullptr || out == nullptr) {
        fprintf(stderr, "tessival_clip: bad size or file\n");
        return 1;
    }
    SubstituteHost host(threads);
    std::string error;
    // TESSIVAL_BENCH_MODULE filters with another build of the module (say, before a change).
    const char* other = getenv("TESSIVAL_BENCH_MODULE");
    if (!host.Load(other != nullptr ? other : TESSIVAL_MODULE, &error)) {
        fprintf(stderr, "tessival_clip: %s\n", error.c_str());
        return 1;
    }
    host.SetControls(R, strength, gaussian);
    host.AllocateImages(W, H, (W + 7) & ~7);
    std::vector<uint8_t> frame(size_t(W) * H);
    double seconds = 0;
    int frames = 0;
    const char* planes = getenv("TESSIVAL_BENCH_PLANES");
    if (planes != nullptr && atoi(planes) != 0) {
        if (!host.HasPlanes()) {
            fprintf(stderr, "tessival_clip: the module has no plane entry\n");
            return 1;
        }
        std::vector<int16_t> plane(frame.size()), filtered(frame.size());
        while (fread(frame.data(), 1, frame.size(), in) == frame.size()) {
            for (size_t i = 0; i < frame.size(); i++) plane[i] = int16_t(frame[i] * 16);
            if (frames == 0 && host.ProcessPlane(plane.data(), filtered.data(), W, H, W) != 1) {
                fprintf(stderr, "tessival_clip: ProcessPlane failed\n");
                return 1;
            }
            const auto t0 = std::chrono::steady_clock::now();
            if (host.ProcessPlane(plane.data(), filtered.data(), W, H, W) != 1) {
                fprintf(stderr, "tessival_clip: ProcessPlane failed\n");
                return 1;
            }
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            frames++;
            for (size_t i = 0; i < frame.size(); i++) {
                const int v = (filtered[i] + 8) >> 4;
                frame[i] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
            fwrite(frame.data(), 1, frame.size(), out);
        }
        printf("frames %d seconds %.6f\n", frames, seconds);
        return 0;
    }
    while (fread(frame.data(), 1, frame.size(), in) == frame.size()) {
        for (int y = 0; y < H; y++) {
            YcPixel* row = host.Row(host.Edit(), y);
            for (int x = 0; x < W; x++)
                row[x] = YcPixel{int16_t(frame[size_t(y) * W + x] * 16), 0, 0};
        }
        // The first frame once more, untimed: the module plans its scratch block and the host's
        // images are touched for the first time, a one-off a host pays when the filter starts.
        if (frames == 0 && host.Process() != 1) {
            fprintf(stderr, "tessival_clip: ProcessFrame failed\n");
            return 1;
        }
        if (frames == 0) {
            for (int y = 0; y < H; y++) {
                YcPixel* row = host.Row(host.Edit(), y);
                for (int x = 0; x < W; x++)
                    row[x] = YcPixel{int16_t(frame[size_t(y) * W + x] * 16), 0, 0};
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        if (host.Process() != 1) {
            fprintf(stderr, "tessival_clip: ProcessFrame failed\n");
            return 1;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        frames++;
        for (int y = 0; y < H; y++) {
            const YcPixel* row = host.Row(host.Edit(), y);
            for (int x = 0; x < W; x++) {
                const int v = (row[x].Y + 8) >> 4;
                frame[size_t(y) * W + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
        fwrite(frame.data(), 1, frame.size(), out);
    }
    printf("frames %d seconds %.6f\n", frames, seconds);
    return 0;
}
