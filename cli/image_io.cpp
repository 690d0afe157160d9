// image_io.cpp: image kinds, and the luma of gray and RGB images through the filter
#include "image_io.h"

#include <ctype.h>
#include <math.h>
#include <string.h>

#include <algorithm>

#include "luma_map.h"

char SniffKind(const uint8_t* head, size_t n) {
    static const uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 9 && memcmp(head, "YUV4MPEG2", 9) == 0) return 'y';
    if (n >= 8 && memcmp(head, PngSignature, 8) == 0) return 'g';
    if (n >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') return 'p';
    return 0;
}

ImageKind KindForName(const std::string& name, ImageKind fallback) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return fallback;
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
    if (ext == "png") return ImageKind::Png;
    if (ext == "pgm" || ext == "ppm" || ext == "pnm") return ImageKind::Pnm;
    return fallback;
}

bool FilterImage(LumaFilter* filter, Image* image, std::string* error) {
    const int W = image->Width, H = image->Height, C = image->Channels, N = image->Bits;
    const size_t pixels = size_t(W) * size_t(H);
    const uint32_t top = image->MaxValue;
    uint16_t* s = image->Samples.data();
    if (C <= 2) {
        std::vector<uint16_t> luma(pixels);
        for (size_t i = 0; i < pixels; i++) luma[i] = uint16_t(std::min<uint32_t>(s[i * C], top));
        if (!FilterLumaPlane(filter, luma.data(), W, H, N, error)) return false;
        for (size_t i = 0; i < pixels; i++) s[i * C] = uint16_t(std::min<uint32_t>(luma[i], top));
        return true;
    }
    std::vector<int16_t> q(pixels), f(pixels);
    for (size_t i = 0; i < pixels; i++) {
        const uint16_t* p = s + i * C;
        const double Y = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        q[i] = f[i] = LumaValueToFilter(Y, N);
    }
    if (!FilterScaledPlane(filter, f.data(), W, H, error)) return false;
    for (size_t i = 0; i < pixels; i++) {
        if (f[i] == q[i]) continue;
        const double d = LumaChange(f[i], q[i], N);
        uint16_t* p = s + i * C;
        for (int c = 0; c < 3; c++) {
            const double v = nearbyint(p[c] + d);
            p[c] = uint16_t(v < 0 ? 0 : v > top ? top : v);
        }
    }
    return true;
}
