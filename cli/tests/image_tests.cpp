// image_tests.cpp: PNG and PGM/PPM decoding and encoding, refused images, and the RGB luma path
// through the real module
#include <gtest/gtest.h>
#include <png.h>

#include <string.h>

#include <algorithm>
#include <random>

#include "../image_io.h"

namespace {

Image RandomImage(int W, int H, int channels, int bits, uint32_t maxValue, uint32_t seed) {
    Image image;
    image.Width = W;
    image.Height = H;
    image.Channels = channels;
    image.Bits = bits;
    image.MaxValue = maxValue;
    std::mt19937 random(seed);
    image.Samples.resize(size_t(W) * H * channels);
    for (uint16_t& s : image.Samples) s = uint16_t(random() % (maxValue + 1));
    return image;
}

void ExpectSame(const Image& a, const Image& b) {
    EXPECT_EQ(a.Width, b.Width);
    EXPECT_EQ(a.Height, b.Height);
    EXPECT_EQ(a.Channels, b.Channels);
    EXPECT_EQ(a.Bits, b.Bits);
    EXPECT_EQ(a.MaxValue, b.MaxValue);
    EXPECT_TRUE(a.Samples == b.Samples);
}

TEST(Png, RoundTripsGrayRgbAndAlphaAtEightAndSixteenBits) {
    for (int channels = 1; channels <= 4; channels++) {
        for (int bits : {8, 16}) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(bits) + " bits");
            const Image image =
                RandomImage(13, 7, channels, bits, (1u << bits) - 1, channels + bits);
            std::vector<uint8_t> bytes;
            std::string error;
            ASSERT_TRUE(EncodePng(image, &bytes, &error)) << error;
            EXPECT_EQ(SniffKind(bytes.data(), bytes.size()), 'g');
            Image back;
            ASSERT_TRUE(DecodePng(bytes, &back, &error)) << error;
            ExpectSame(image, back);
        }
    }
}

TEST(Pnm, RoundTripsAnyMaxval) {
    for (int channels : {1, 3}) {
        for (uint32_t maxValue : {255u, 1000u, 65535u, 1u}) {
            int bits = 1;
            while ((1u << bits) - 1 < maxValue) bits++;
            const Image image = RandomImage(5, 3, channels, bits, maxValue, maxValue);
            std::vector<uint8_t> bytes;
            std::string error;
            ASSERT_TRUE(EncodePnm(image, &bytes, &error)) << error;
            Image back;
            ASSERT_TRUE(DecodePnm(bytes, &back, &error)) << error;
            back.Kind = image.Kind;
            ExpectSame(image, back);
        }
    }
    // Comments and odd whitespace in the header.
    const std::string text = "P5 # comment\n2\t1 # size\n255\n\x07\x09";
    Image image;
    std::string error;
    ASSERT_TRUE(DecodePnm(std::vector<uint8_t>(text.begin(), text.end()), &image, &error)) << error;
    EXPECT_EQ(image.Samples, (std::vector<uint16_t>{7, 9}));
}

// A 2 x 2 palette PNG written straight through libpng.
std::vector<uint8_t> PalettePng() {
    std::vector<uint8_t> bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep d, png_size_t n) {
            auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            out->insert(out->end(), d, d + n);
        },
        nullptr);
    png_set_IHDR(png, info, 2, 2, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
    png_set_PLTE(png, info, palette, 2);
    png_write_info(png, info);
    uint8_t rows[2][2] = {{0, 1}, {1, 0}};
    png_bytep pointers[2] = {rows[0], rows[1]};
    png_write_image(png, pointers);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

// The chunk names of a PNG file, in order.
std::vector<std::string> ChunkNames(const std::vector<uint8_t>& png) {
    std::vector<std::string> names;
    for (size_t at = 8; at + 8 <= png.size();) {
        const size_t length =
            size_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        names.emplace_back(reinterpret_cast<const char*>(&png[at + 4]), 4);
        at += 12 + length;
    }
    return names;
}

// An RGB PNG with a transparent colour, gamma, physical size, text before the pixels, and a
// private chunk after them.
std::vector<uint8_t> PngWithChunks() {
    std::vector<uint8_t> bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep d, png_size_t n) {
            auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            out->insert(out->end(), d, d + n);
        },
        nullptr);
    png_set_IHDR(png, info, 3, 2, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_gAMA_fixed(png, info, 45455);
    png_set_pHYs(png, info, 2835, 2835, PNG_RESOLUTION_METER);
    png_color_16 transparent{};
    transparent.red = 1;
    transparent.green = 2;
    transparent.blue = 3;
    png_set_tRNS(png, info, nullptr, 0, &transparent);
    png_text text{};
    text.compression = PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<char*>("Comment");
    text.text = const_cast<char*>("kept");
    png_set_text(png, info, &text, 1);
    png_write_info(png, info);
    uint8_t pixels[2][9] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {9, 8, 7, 6, 5, 4, 3, 2, 1}};
    png_bytep rows[2] = {pixels[0], pixels[1]};
    png_write_image(png, rows);
    png_unknown_chunk tail{};
    memcpy(tail.name, "prVt", 5);
    uint8_t data[3] = {7, 7, 7};
    tail.data = data;
    tail.size = 3;
    tail.location = PNG_AFTER_IDAT;
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, 0);
    png_set_unknown_chunks(png, info, &tail, 1);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

TEST(Png, AncillaryChunksAndTransparencyAreKeptInPlace) {
    const std::vector<uint8_t> original = PngWithChunks();
    Image image;
    std::string error;
    ASSERT_TRUE(DecodePng(original, &image, &error)) << error;
    EXPECT_TRUE(image.HasTransparent);
    EXPECT_EQ(image.Transparent[2], 3);
    std::vector<uint8_t> again;
    ASSERT_TRUE(EncodePng(image, &again, &error)) << error;
    // The same chunks, the private one still after the pixels; libpng writes tRNS itself, so
    // it may move among the chunks before IDAT, where any order is allowed.
    std::vector<std::string> names = ChunkNames(again), expected = ChunkNames(original);
    const auto idat = std::find(names.begin(), names.end(), "IDAT");
    EXPECT_LT(idat - names.begin(), std::find(names.begin(), names.end(), "prVt") - names.begin());
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    Image back;
    ASSERT_TRUE(DecodePng(again, &back, &error)) << error;
    ASSERT_EQ(back.Chunks.size(), image.Chunks.size());
    for (size_t i = 0; i < back.Chunks.size(); i++) {
        EXPECT_EQ(back.Chunks[i].Name, image.Chunks[i].Name);
        EXPECT_EQ(back.Chunks[i].Data, image.Chunks[i].Data);
    }
}

TEST(Images, RefusedImagesSayWhy) {
    std::vector<uint8_t> good;
    std::string error;
    ASSERT_TRUE(EncodePng(RandomImage(8, 8, 3, 8, 255, 1), &good, &error));
    const auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    Image image;
    const struct {
        bool Png;
        std::vector<uint8_t> Bytes;
        const char* Expect;
    } cases[] = {
        {true, PalettePng(), "palette (indexed-colour) PNG is not supported"},
        {true, std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2), "truncated PNG"},
        {true, std::vector<uint8_t>(good.begin(), good.begin() + 20), "unreadable PNG"},
        {false, text("P3\n1 1\n255\n1 2 3\n"), "P3 files are not supported"},
        {false, text("P5\n2 2\n255\n\x01"), "truncated PGM/PPM: 1 of 4 pixel bytes"},
        {false, text("P6\n0 2\n255\n"), "out of range"},
        {false, text("P5\n1 1\n70000\n\x01\x02"), "maxval 70000 is out of range"},
        {false, text("P5\n1 1 x"), "malformed PGM/PPM header"},
    };
    for (const auto& c : cases) {
        error.clear();
        EXPECT_FALSE(c.Png ? DecodePng(c.Bytes, &image, &error)
                           : DecodePnm(c.Bytes, &image, &error))
            << c.Expect;
        EXPECT_NE(error.find(c.Expect), std::string::npos) << c.Expect << " -> " << error;
    }
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(EncodePnm(RandomImage(2, 2, 4, 8, 255, 1), &bytes, &error));
    EXPECT_NE(error.find("alpha channel"), std::string::npos) << error;
    EXPECT_FALSE(EncodePng(RandomImage(2, 2, 1, 10, 1000, 1), &bytes, &error));
    EXPECT_NE(error.find("maximum value is 1000"), std::string::npos) << error;
}

TEST(Images, OutputKindFollowsTheExtension) {
    EXPECT_EQ(KindForName("a/b.PNG", ImageKind::Pnm), ImageKind::Png);
    EXPECT_EQ(KindForName("x.ppm", ImageKind::Png), ImageKind::Pnm);
    EXPECT_EQ(KindForName("-", ImageKind::Pnm), ImageKind::Pnm);
    EXPECT_EQ(KindForName("dir.png/out", ImageKind::Pnm), ImageKind::Pnm);
}

class RgbThroughFilter : public ::testing::Test {
protected:
    void SetUp() override {
        FilterSettings settings;
        settings.Range = 2;
        settings.Strength = 70;
        settings.Threads = 2;
        // The test program is not where the module's search looks (see FindModule).
        settings.Module = TESSIVAL_MODULE;
        std::string error;
        ASSERT_TRUE(OpenLumaFilter(&filter, settings, &error)) << error;
    }
    void TearDown() override { CloseLumaFilter(&filter); }
    LumaFilter filter;
};

TEST_F(RgbThroughFilter, FlatImagesComeBackUnchanged) {
    for (int bits : {8, 16}) {
        Image image = RandomImage(40, 30, 4, bits, (1u << bits) - 1, 5);
        for (size_t i = 0; i < image.Samples.size(); i++)
            if (i % 4 != 3) image.Samples[i] = uint16_t((i % 4 + 1) << (bits - 3));
        const Image before = image;
        std::string error;
        ASSERT_TRUE(FilterImage(&filter, &image, &error)) << error;
        ExpectSame(before, image);
    }
}

// Only Y changes: R, G and B move together, so their differences (the chroma) stay as they were,
// up to the rounding of each channel, and alpha is untouched.
TEST_F(RgbThroughFilter, NoisyImagesChangeLumaOnly) {
    Image image = RandomImage(64, 48, 4, 8, 255, 6);
    for (size_t i = 0; i < image.Samples.size(); i++)
        if (i % 4 != 3) image.Samples[i] = uint16_t(60 + 40 * (i % 4) + image.Samples[i] % 24);
    const Image before = image;
    std::string error;
    ASSERT_TRUE(FilterImage(&filter, &image, &error)) << error;
    size_t changed = 0;
    for (size_t p = 0; p < image.Samples.size(); p += 4) {
        const uint16_t* a = &before.Samples[p];
        const uint16_t* b = &image.Samples[p];
        changed += a[0] != b[0];
        EXPECT_EQ(a[3], b[3]);
        for (int c = 0; c < 2; c++)  // tolerance 1: each channel is rounded on its own
            EXPECT_NEAR(int(a[c]) - int(a[c + 1]), int(b[c]) - int(b[c + 1]), 1)
                << "pixel " << p / 4;
    }
    EXPECT_GT(changed, image.Samples.size() / 8);
}

}  // namespace
