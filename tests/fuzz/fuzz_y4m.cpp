// fuzz_y4m.cpp: libFuzzer target for the YUV4MPEG2 reader, fed in small reads as from a pipe
//
// The first byte sets the largest read the stream returns (1 to 64 bytes, as a pipe hands over
// whatever has arrived); the rest is the stream. Header, FRAME lines and frame data are read
// under a small pixel budget until the end or the first error. What was accepted must come
// back byte for byte from the writers, and the luma round trip must leave a frame unchanged.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../cli/y4m.h"

namespace {

struct Trickle {
    const uint8_t* Data;
    size_t Size, Position, Largest;
};

ssize_t ReadSome(void* cookie, char* out, size_t n) {
    Trickle* t = static_cast<Trickle*>(cookie);
    const size_t k = std::min({n, t->Largest, t->Size - t->Position});
    memcpy(out, t->Data + t->Position, k);
    t->Position += k;
    return ssize_t(k);
}

// Frames are at most 2^12 pixels here, so that every execution stays small.
const uint64_t FuzzMaxPixels = 1 << 12;
const int MostFrames = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Trickle trickle{data + 1, size - 1, 0, size_t(data[0] % 64) + 1};
    cookie_io_functions_t io{ReadSome, nullptr, nullptr, nullptr};
    FILE* in = fopencookie(&trickle, "rb", io);
    if (in == nullptr) abort();
    setvbuf(in, nullptr, _IOFBF, 16);

    Y4mReader reader;
    reader.In = in;
    reader.MaxPixels = FuzzMaxPixels;
    std::string accepted;
    if (ReadY4mHeader(&reader)) {
        const Y4mFormat& f = reader.Format;
        if (uint64_t(f.Width) * uint64_t(f.Height) > FuzzMaxPixels) abort();
        if (f.Header.find('\n') != std::string::npos) abort();
        accepted = f.Header + "\n";
        if (reader.Offset != accepted.size()) abort();
        Y4mFrame frame;
        std::vector<uint16_t> luma(size_t(f.Width) * size_t(f.Height));
        for (int k = 0; k < MostFrames; k++) {
            const Y4mRead got = ReadY4mFrame(&reader, &frame);
            if (got == Y4mRead::Error && reader.Error.empty()) abort();
            if (got != Y4mRead::Frame) break;
            if (frame.Data.size() != FrameBytes(f)) abort();
            const std::vector<uint8_t> before = frame.Data;
            GetLuma(f, frame.Data.data(), luma.data());
            PutLuma(f, luma.data(), frame.Data.data());
            if (frame.Data != before) abort();
            accepted += frame.Line + "\n";
            accepted.append(frame.Data.begin(), frame.Data.end());
            if (reader.Offset != accepted.size()) abort();
        }
        // The writers give back exactly the bytes the reader accepted.
        char* written = nullptr;
        size_t writtenSize = 0;
        FILE* out = open_memstream(&written, &writtenSize);
        bool ok = WriteY4mHeader(out, f);
        // Re-read what was accepted to write it frame by frame.
        Trickle again{reinterpret_cast<const uint8_t*>(accepted.data()), accepted.size(), 0,
                      accepted.size()};
        FILE* back = fopencookie(&again, "rb", io);
        Y4mReader second;
        second.In = back;
        second.MaxPixels = FuzzMaxPixels;
        if (!ReadY4mHeader(&second)) abort();
        Y4mFrame frame2;
        Y4mRead got;
        while ((got = ReadY4mFrame(&second, &frame2)) == Y4mRead::Frame)
            ok = ok && WriteY4mFrame(out, frame2);
        if (got != Y4mRead::End) abort();
        fclose(back);
        fclose(out);
        if (!ok || std::string(written, writtenSize) != accepted) abort();
        free(written);
    } else if (reader.Error.empty()) {
        abort();
    }
    fclose(in);
    return 0;
}
