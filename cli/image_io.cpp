// image_io.cpp: image kinds, and the luma of gray and RGB images through the filter
#include "image_io.h"

#include <ctype.h>
#include <string.h>

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

bool FilterImage(LumaFilter* filter, Image* image, std::string* error, int scaleBits) {
    PixelLayout layout;
    layout.Bits = image->Bits;
    layout.Bytes = 2;
    layout.Channels = image->Channels;
    layout.Top = image->MaxValue;
    layout.ScaleBits = scaleBits;
    uint16_t* s = image->Samples.data();
    return FilterLuma(filter, layout, s, s, image->Width, image->Height, error);
}
