// pnm_io.cpp: binary PGM (P5) and PPM (P6), any maxval from 1 to 65535
#include "image_io.h"

#include <ctype.h>

// Skips whitespace and '#' comments; false at the end of the data.
static bool SkipSpace(const std::vector<uint8_t>& b, size_t* pos) {
    while (*pos < b.size()) {
        if (b[*pos] == '#') {
            while (*pos < b.size() && b[*pos] != '\n') ++*pos;
        } else if (isspace(b[*pos])) {
            ++*pos;
        } else {
            return true;
        }
    }
    return false;
}

static bool ReadNumber(const std::vector<uint8_t>& b, size_t* pos, uint32_t* value) {
    if (!SkipSpace(b, pos) || !isdigit(b[*pos])) return false;
    uint64_t v = 0;
    while (*pos < b.size() && isdigit(b[*pos])) {
        v = v * 10 + (b[*pos] - '0');
        if (v > 1000000) return false;
        ++*pos;
    }
    *value = uint32_t(v);
    return true;
}

bool DecodePnm(const std::vector<uint8_t>& b, Image* image, std::string* error,
               uint64_t maxPixels) {
    if (b.size() < 2 || b[0] != 'P') {
        *error = "not a PGM/PPM file";
        return false;
    }
    const char type = char(b[1]);
    if (type != '5' && type != '6') {
        *error = std::string("P") + type +
                 " files are not supported; only binary PGM (P5) and PPM (P6) are";
        return false;
    }
    size_t pos = 2;
    uint32_t W, H, maxValue;
    if (!ReadNumber(b, &pos, &W) || !ReadNumber(b, &pos, &H) || !ReadNumber(b, &pos, &maxValue)) {
        *error = "malformed PGM/PPM header near byte " + std::to_string(pos);
        return false;
    }
    if (W < 1 || H < 1 || W > 32768 || H > 32768) {
        *error = "PGM/PPM size " + std::to_string(W) + "x" + std::to_string(H) +
                 " is out of range (1 to 32768 on a side)";
        return false;
    }
    if (!WithinBudget(W, H, maxPixels)) {
        *error = OverBudget("image", W, H, maxPixels, ImageBytesPerPixel);
        return false;
    }
    if (maxValue < 1 || maxValue > 65535) {
        *error = "PGM/PPM maxval " + std::to_string(maxValue) + " is out of range (1 to 65535)";
        return false;
    }
    if (pos >= b.size() || !isspace(b[pos])) {
        *error = "malformed PGM/PPM header: no whitespace after maxval";
        return false;
    }
    pos++;
    image->Kind = ImageKind::Pnm;
    image->Width = int(W);
    image->Height = int(H);
    image->Channels = type == '5' ? 1 : 3;
    image->MaxValue = maxValue;
    image->Bits = 1;
    while ((1u << image->Bits) - 1 < maxValue) image->Bits++;
    const size_t n = size_t(W) * H * image->Channels;
    const size_t width = maxValue > 255 ? 2 : 1;
    if (b.size() - pos < n * width) {
        *error = "truncated PGM/PPM: " + std::to_string(b.size() - pos) + " of " +
                 std::to_string(n * width) + " pixel bytes";
        return false;
    }
    image->Samples.resize(n);
    const uint8_t* p = b.data() + pos;
    for (size_t i = 0; i < n; i++)
        image->Samples[i] = width == 1 ? p[i] : uint16_t(p[2 * i] << 8 | p[2 * i + 1]);
    return true;
}

bool EncodePnm(const Image& image, std::vector<uint8_t>* bytes, std::string* error) {
    if (image.Channels == 2 || image.Channels == 4) {
        *error = "the image has an alpha channel, which PGM/PPM cannot hold; write a .png instead";
        return false;
    }
    const std::string header = std::string(image.Channels == 1 ? "P5" : "P6") + "\n" +
                               std::to_string(image.Width) + " " + std::to_string(image.Height) +
                               "\n" + std::to_string(image.MaxValue) + "\n";
    const bool wide = image.MaxValue > 255;
    bytes->clear();
    bytes->reserve(header.size() + image.Samples.size() * (wide ? 2 : 1));
    bytes->assign(header.begin(), header.end());
    for (uint16_t v : image.Samples) {
        if (wide) bytes->push_back(uint8_t(v >> 8));
        bytes->push_back(uint8_t(v));
    }
    return true;
}
