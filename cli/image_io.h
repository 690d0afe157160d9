// image_io.h: still images in and out: PNG (through libpng) and binary PGM/PPM
//
// An image is held as 16-bit samples, interleaved per pixel, whatever its depth on disk.
// Gray images give their gray channel to the filter as luma. RGB images are seen by the filter
// as YCbCr with full-range BT.601 luma, Y = 0.299 R + 0.587 G + 0.114 B; only Y changes, and
// since the three weights add up to 1, changing Y by d with Cb and Cr held fixed changes R, G
// and B each by exactly d. That is what FilterImage does, so pixels the filter leaves alone come
// back bit-exact. Alpha is never touched.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "luma_filter.h"
#include "pixel_budget.h"

enum class ImageKind { Png, Pnm };

// A PNG ancillary chunk kept as read (colour profile, gamma, text, physical size, ...), written
// back unchanged where it was found: Location is libpng's (before PLTE, before IDAT, after IDAT).
struct PngChunk {
    std::string Name;
    std::vector<uint8_t> Data;
    int Location = 0;
};

struct Image {
    ImageKind Kind = ImageKind::Png;
    int Width = 0;
    int Height = 0;
    int Channels = 1;               // 1 gray, 2 gray + alpha, 3 RGB, 4 RGB + alpha
    int Bits = 8;                   // bits a sample needs: 8 or 16 for PNG, up to 16 for PGM/PPM
    uint32_t MaxValue = 255;        // 2^Bits - 1 for PNG; a PGM/PPM's maxval
    std::vector<uint16_t> Samples;  // Width * Height * Channels
    // From a PNG: its ancillary chunks, and the transparent colour of a tRNS chunk.
    std::vector<PngChunk> Chunks;
    bool HasTransparent = false;
    uint16_t Transparent[3] = {0, 0, 0};  // gray, or red, green, blue
};

// The kind of data that starts with these bytes: 'y' for YUV4MPEG2, 'g' for PNG, 'p' for
// PGM/PPM (any P1 to P7 header), or 0 when it is none of them.
char SniffKind(const uint8_t* head, size_t n);

// Decoders for a whole file in memory; false with the reason (truncated, corrupt, unsupported,
// or larger than maxPixels). The size is checked before anything in proportion to it is
// allocated, and a PNG's samples grow row by row as they decode, so a PNG that breaks off
// costs what its rows delivered.
bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error,
               uint64_t maxPixels = DefaultMaxPixels);
bool DecodePnm(const std::vector<uint8_t>& bytes, Image* image, std::string* error,
               uint64_t maxPixels = DefaultMaxPixels);

// Encoders; false with the reason when the image does not fit the format or writing failed.
bool EncodePng(const Image& image, std::vector<uint8_t>* bytes, std::string* error);
bool EncodePnm(const Image& image, std::vector<uint8_t>* bytes, std::string* error);

// The output kind for a file name: by its extension (.png, .pgm, .ppm, .pnm), else `fallback`.
ImageKind KindForName(const std::string& name, ImageKind fallback);

// Filters the image's luma in place as described above (luma_planes.h does the work).
bool FilterImage(LumaFilter* filter, Image* image, std::string* error,
                 int scaleBits = FilterScaleBits);
