// fuzz_images.cpp: libFuzzer target for the PNG and PGM/PPM decoders and encoders
//
// The first byte picks the decoder (bit 0 clear: PNG, set: PGM/PPM) and, with bit 1 set, has
// every PNG chunk's CRC made right before decoding, so that mutations reach past libpng's CRC
// check into the chunks themselves; the rest is the file. Pictures
// are limited to 2^16 pixels so that every execution stays small. Whatever decodes must
// encode, decode again to the same picture, and encode again to the same bytes.
#include <stdlib.h>
#include <zlib.h>

#include <vector>

#include "../../cli/image_io.h"

namespace {

// Rewrites the CRC of every whole chunk after the 8-byte signature.
void FixChunkCrcs(std::vector<uint8_t>* png) {
    std::vector<uint8_t>& b = *png;
    for (size_t at = 8; at + 12 <= b.size();) {
        const uint32_t length =
            uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
        if (length > b.size() - at - 12) break;
        const uLong crc = crc32(0, b.data() + at + 4, uInt(length + 4));
        uint8_t* c = b.data() + at + 8 + length;
        c[0] = uint8_t(crc >> 24), c[1] = uint8_t(crc >> 16), c[2] = uint8_t(crc >> 8);
        c[3] = uint8_t(crc);
        at += 12 + size_t(length);
    }
}

const uint64_t FuzzMaxPixels = 1 << 16;

bool SamePicture(const Image& a, const Image& b) {
    return a.Kind == b.Kind && a.Width == b.Width && a.Height == b.Height &&
           a.Channels == b.Channels && a.Bits == b.Bits && a.MaxValue == b.MaxValue &&
           a.Samples == b.Samples && a.HasTransparent == b.HasTransparent &&
           a.Chunks.size() == b.Chunks.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool png = data[0] % 2 == 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (png && (data[0] & 2) != 0) FixChunkCrcs(&bytes);
    Image image;
    std::string error;
    const bool decoded = png ? DecodePng(bytes, &image, &error, FuzzMaxPixels)
                             : DecodePnm(bytes, &image, &error, FuzzMaxPixels);
    if (!decoded) {
        if (error.empty()) abort();
        return 0;
    }
    if (image.Width < 1 || image.Height < 1 ||
        uint64_t(image.Width) * uint64_t(image.Height) > FuzzMaxPixels ||
        image.Samples.size() != size_t(image.Width) * image.Height * image.Channels)
        abort();
    std::vector<uint8_t> encoded, again;
    Image back;
    const bool ok = png ? EncodePng(image, &encoded, &error) : EncodePnm(image, &encoded, &error);
    if (!ok) abort();  // every decoded picture can be written in its own format
    if (!(png ? DecodePng(encoded, &back, &error, FuzzMaxPixels)
              : DecodePnm(encoded, &back, &error, FuzzMaxPixels)))
        abort();
    if (!SamePicture(image, back)) abort();
    if (!(png ? EncodePng(back, &again, &error) : EncodePnm(back, &again, &error))) abort();
    if (again != encoded) abort();
    return 0;
}
