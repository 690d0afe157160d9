// pixel_budget.h: the largest picture the program takes on, and the message for one past it
//
// Decoders check a picture's declared size against the budget before they allocate anything in
// proportion to it, so a lying header or a decompression bomb is refused in a moment instead of
// claiming gigabytes. Measured on 4000x4000 pictures, the program needs about 14 bytes per
// pixel for a gray image and 18 for RGB (the picture as read, the luma handed to the filter
// module, and the module's two 6-byte-per-pixel images). Video holds up to eight frames in
// flight with the automatic strength (three in the pipeline, five held at a shot's start), each
// as read and as a 6-byte host image: about 66 bytes per pixel for 8-bit 4:2:0 and 108 for
// 16-bit 4:4:4; with a fixed strength, three frames: about 30 and 48. The default budget, 2^27
// pixels, passes an 8K frame (7680x4320 is 33 million pixels).
#pragma once

#include <stdint.h>

#include <string>

enum : uint64_t { DefaultMaxPixels = uint64_t(1) << 27, LargestMaxPixels = uint64_t(1) << 30 };

// True when a W x H picture fits within maxPixels.
inline bool WithinBudget(uint64_t W, uint64_t H, uint64_t maxPixels) {
    return W * H <= maxPixels;  // sides are at most 2^32 - 1: the product cannot wrap
}

enum { ImageBytesPerPixel = 18 };  // the larger of gray and RGB
// Video, at most: eight frames in flight, each as read and as a host image.
inline double StreamBytesPerPixel(double frameBytesPerPixel) {
    return 6 + 8 * (6 + frameBytesPerPixel);
}

// "the <what> is WxH (N pixels), more than --max-pixels M allows; raise --max-pixels to filter
// it (about S MB of memory)", S from bytesPerPixel.
std::string OverBudget(const char* what, uint64_t W, uint64_t H, uint64_t maxPixels,
                       double bytesPerPixel);
