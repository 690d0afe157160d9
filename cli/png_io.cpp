// png_io.cpp: PNG decoding and encoding through libpng, 8 and 16 bits, gray and RGB, with alpha
//
// Palette images and gray below 8 bits are refused rather than widened, so that what is written
// back has the layout that was read. Every ancillary chunk (colour profile, gamma, chromaticities,
// text, time, physical size, and chunks libpng does not know) is kept as raw bytes and written
// back in the same place, so that viewers show the result with the colours of the original.
#include <png.h>
#include <string.h>

#include "image_io.h"

// libpng reports errors through a callback that must not return; it records the message and
// jumps back to the setjmp in the calling function.
static void OnPngError(png_structp png, png_const_charp message) {
    std::string* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error != nullptr && error->empty()) *error = message;
    png_longjmp(png, 1);
}

static void OnPngWarning(png_structp, png_const_charp) {}

struct MemoryIn {
    const std::vector<uint8_t>* Bytes;
    size_t Position;
};

static void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    MemoryIn* in = static_cast<MemoryIn*>(png_get_io_ptr(png));
    if (in->Bytes->size() - in->Position < n) png_error(png, "the file ends early (truncated PNG)");
    memcpy(out, in->Bytes->data() + in->Position, n);
    in->Position += n;
}

static void WriteToMemory(png_structp png, png_bytep data, png_size_t n) {
    std::vector<uint8_t>* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

static void FlushNothing(png_structp) {}

static int ChannelsOf(int colorType) {
    switch (colorType) {
        case PNG_COLOR_TYPE_GRAY:
            return 1;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return 2;
        case PNG_COLOR_TYPE_RGB:
            return 3;
        case PNG_COLOR_TYPE_RGB_ALPHA:
            return 4;
        default:
            return 0;
    }
}

// Appends one decoded row of n samples, 8-bit or big-endian 16-bit, to the image's samples.
static void AppendRow(const uint8_t* row, size_t n, int depth, std::vector<uint16_t>* samples) {
    const size_t at = samples->size();
    samples->resize(at + n);
    uint16_t* out = samples->data() + at;
    if (depth == 8) {
        for (size_t i = 0; i < n; i++) out[i] = row[i];
    } else {
        for (size_t i = 0; i < n; i++) out[i] = uint16_t(row[2 * i] << 8 | row[2 * i + 1]);
    }
}

enum ReadResult { ReadOk, ReadBroken, ReadRefused };

// Reads the header and the rows into `image`: ReadBroken on a libpng error (message from
// OnPngError), ReadRefused for a PNG this program does not take (its own message). Kept apart
// from DecodePng so that nothing with a destructor lives across the setjmp: the buffers belong
// to the caller.
//
// The size is checked against the budget before anything in proportion to it is allocated.
// Plain PNGs then decode one row at a time into image->Samples, so a PNG whose data breaks
// off costs only the rows it delivered. Interlaced PNGs need the whole image for their seven
// passes and take it at once.
static ReadResult ReadRows(png_structp png, png_infop info, uint64_t maxPixels, Image* image,
                           std::vector<uint8_t>* raw, std::vector<png_bytep>* rows,
                           std::string* error) {
    if (setjmp(png_jmpbuf(png))) return ReadBroken;
    // Every chunk but IHDR, PLTE, tRNS, IDAT and IEND is stored raw instead of interpreted.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, -1);
    png_read_info(png, info);
    const png_uint_32 W = png_get_image_width(png, info), H = png_get_image_height(png, info);
    const int depth = png_get_bit_depth(png, info), colorType = png_get_color_type(png, info);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        *error = "palette (indexed-colour) PNG is not supported; convert it to RGB first";
        return ReadRefused;
    }
    if (depth != 8 && depth != 16) {
        *error = std::to_string(depth) + "-bit gray PNG is not supported; only 8 and 16 bits are";
        return ReadRefused;
    }
    if (W > 32768 || H > 32768) {
        *error = "the image is " + std::to_string(W) + "x" + std::to_string(H) +
                 ", larger than 32768 on a side";
        return ReadRefused;
    }
    if (!WithinBudget(W, H, maxPixels)) {
        *error = OverBudget("image", W, H, maxPixels, ImageBytesPerPixel);
        return ReadRefused;
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image->Kind = ImageKind::Png;
    image->Width = int(W);
    image->Height = int(H);
    image->Channels = ChannelsOf(colorType);
    image->Bits = depth;
    image->MaxValue = (1u << depth) - 1;
    image->Samples.clear();
    const size_t rowBytes = png_get_rowbytes(png, info);
    const size_t perRow = size_t(W) * size_t(image->Channels);
    if (passes == 1) {
        raw->resize(rowBytes);
        for (png_uint_32 y = 0; y < H; y++) {
            png_read_row(png, raw->data(), nullptr);
            AppendRow(raw->data(), perRow, depth, &image->Samples);
        }
    } else {
        raw->resize(rowBytes * H);
        rows->resize(H);
        for (png_uint_32 y = 0; y < H; y++) (*rows)[y] = raw->data() + y * rowBytes;
        png_read_image(png, rows->data());
        image->Samples.reserve(perRow * H);
        for (png_uint_32 y = 0; y < H; y++) AppendRow((*rows)[y], perRow, depth, &image->Samples);
    }
    png_read_end(png, info);
    // A transparent colour past the sample range matches no pixel, and libpng would not write
    // it back: such a tRNS is dropped here, so that what is read is what gets written.
    png_color_16p transparent = nullptr;
    if (png_get_valid(png, info, PNG_INFO_tRNS) &&
        png_get_tRNS(png, info, nullptr, nullptr, &transparent) && transparent != nullptr) {
        const bool gray = image->Channels <= 2;
        const uint16_t t[3] = {gray ? transparent->gray : transparent->red,
                               gray ? uint16_t(0) : transparent->green,
                               gray ? uint16_t(0) : transparent->blue};
        if (t[0] <= image->MaxValue && t[1] <= image->MaxValue && t[2] <= image->MaxValue) {
            image->HasTransparent = true;
            for (int c = 0; c < 3; c++) image->Transparent[c] = t[c];
        }
    }
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(png, info, &chunks);
    for (int i = 0; i < count; i++) {
        PngChunk chunk;
        chunk.Name.assign(reinterpret_cast<const char*>(chunks[i].name), 4);
        chunk.Data.assign(chunks[i].data, chunks[i].data + chunks[i].size);
        chunk.Location = chunks[i].location;
        image->Chunks.push_back(chunk);
    }
    return ReadOk;
}

bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error,
               uint64_t maxPixels) {
    error->clear();
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, error, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        *error = "libpng could not start";
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    MemoryIn in{&bytes, 0};
    png_set_read_fn(png, &in, ReadFromMemory);
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    const ReadResult result = ReadRows(png, info, maxPixels, image, &raw, &rows, error);
    png_destroy_read_struct(&png, &info, nullptr);
    if (result == ReadBroken) *error = "unreadable PNG: " + *error;
    if (result != ReadOk) image->Samples = std::vector<uint16_t>();
    return result == ReadOk;
}

// Writes the header, the rows and the chunks; false on a libpng error. The rows are converted
// one at a time through `row` (big-endian for 16 bits), so the encoder holds one row beside the
// image's samples. The buffers belong to the caller because of the setjmp.
static bool WriteRows(png_structp png, png_infop info, const Image& image,
                      std::vector<uint8_t>* row, std::vector<png_unknown_chunk>* chunks) {
    if (setjmp(png_jmpbuf(png))) return false;
    static const int ColorTypes[5] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                      PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
    png_set_IHDR(png, info, png_uint_32(image.Width), png_uint_32(image.Height), image.Bits,
                 ColorTypes[image.Channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (image.HasTransparent) {
        png_color_16 transparent{};
        transparent.gray = transparent.red = image.Transparent[0];
        transparent.green = image.Transparent[1];
        transparent.blue = image.Transparent[2];
        png_set_tRNS(png, info, nullptr, 0, &transparent);
    }
    if (!chunks->empty()) {
        // Chunks that are not marked safe to copy are written too: the layout is unchanged.
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, 0);
        png_set_unknown_chunks(png, info, chunks->data(), int(chunks->size()));
    }
    png_write_info(png, info);
    const size_t perRow = size_t(image.Width) * size_t(image.Channels);
    for (int y = 0; y < image.Height; y++) {
        const uint16_t* v = image.Samples.data() + size_t(y) * perRow;
        uint8_t* out = row->data();
        if (image.Bits == 8) {
            for (size_t i = 0; i < perRow; i++) out[i] = uint8_t(v[i]);
        } else {
            for (size_t i = 0; i < perRow; i++) {
                out[2 * i] = uint8_t(v[i] >> 8);
                out[2 * i + 1] = uint8_t(v[i]);
            }
        }
        png_write_row(png, out);
    }
    png_write_end(png, info);
    return true;
}

bool EncodePng(const Image& image, std::vector<uint8_t>* bytes, std::string* error) {
    if ((image.Bits != 8 && image.Bits != 16) || image.MaxValue != (1u << image.Bits) - 1) {
        *error = "PNG holds only 8- and 16-bit samples, and this image's maximum value is " +
                 std::to_string(image.MaxValue) + "; write a .pgm or .ppm instead";
        return false;
    }
    std::vector<uint8_t> row(size_t(image.Width) * size_t(image.Channels) * size_t(image.Bits / 8));
    error->clear();
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, error, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        *error = "libpng could not start";
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    bytes->clear();
    png_set_write_fn(png, bytes, WriteToMemory, FlushNothing);
    std::vector<png_unknown_chunk> chunks(image.Chunks.size());
    for (size_t i = 0; i < chunks.size(); i++) {
        const PngChunk& c = image.Chunks[i];
        memcpy(chunks[i].name, c.Name.c_str(), 5);
        chunks[i].data = const_cast<png_byte*>(c.Data.data());
        chunks[i].size = c.Data.size();
        chunks[i].location = png_byte(c.Location);
    }
    const bool ok = WriteRows(png, info, image, &row, &chunks);
    png_destroy_write_struct(&png, &info);
    if (!ok) *error = "cannot encode PNG: " + *error;
    return ok;
}
