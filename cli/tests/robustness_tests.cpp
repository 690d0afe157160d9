// robustness_tests.cpp: what outside input cannot do: pass the pixel budget, claim memory it did
// not deliver, or hide a failure behind the wrong exit code
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <thread>

#include "../image_io.h"
#include "../y4m.h"
#include "test_streams.h"

namespace {

// A PNG written straight through libpng from 8- or 16-bit samples; interlaced on request.
std::vector<uint8_t> WritePng(int W, int H, int depth, int colorType, bool interlaced,
                              const std::vector<uint16_t>& samples) {
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
    png_set_IHDR(png, info, W, H, depth, colorType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t perRow = samples.size() / H, width = depth / 8;
    std::vector<uint8_t> raw(samples.size() * width);
    for (size_t i = 0; i < samples.size(); i++) {
        if (width == 1) {
            raw[i] = uint8_t(samples[i]);
        } else {
            raw[2 * i] = uint8_t(samples[i] >> 8);
            raw[2 * i + 1] = uint8_t(samples[i]);
        }
    }
    std::vector<png_bytep> rows(H);
    for (int y = 0; y < H; y++) rows[y] = raw.data() + y * perRow * width;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

// Rewrites the IHDR's height (the first chunk, at byte 8) and its CRC.
void ClaimHeight(std::vector<uint8_t>* png, uint32_t H) {
    uint8_t* h = png->data() + 8 + 8 + 4;
    h[0] = uint8_t(H >> 24), h[1] = uint8_t(H >> 16), h[2] = uint8_t(H >> 8), h[3] = uint8_t(H);
    const uLong crc = crc32(0, png->data() + 12, 4 + 13);
    uint8_t* c = png->data() + 8 + 8 + 13;
    c[0] = uint8_t(crc >> 24), c[1] = uint8_t(crc >> 16), c[2] = uint8_t(crc >> 8),
    c[3] = uint8_t(crc);
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The budget is inclusive: a picture of exactly maxPixels passes, one pixel more is refused
// before decoding, with a message that names the option.
TEST(PixelBudget, EveryDecoderRefusesOnePixelPastIt) {
    const std::vector<uint16_t> samples(7 * 5, 9);
    const std::vector<uint8_t> png = WritePng(7, 5, 8, PNG_COLOR_TYPE_GRAY, false, samples);
    const std::vector<uint8_t> pnm = Bytes("P5 7 5 255\n" + std::string(35, '\x09'));
    for (bool isPng : {true, false}) {
        SCOPED_TRACE(isPng ? "PNG" : "PNM");
        Image image;
        std::string error;
        const auto decode = [&](uint64_t maxPixels) {
            error.clear();
            return isPng ? DecodePng(png, &image, &error, maxPixels)
                         : DecodePnm(pnm, &image, &error, maxPixels);
        };
        EXPECT_TRUE(decode(35)) << error;
        EXPECT_EQ(image.Samples, samples);
        EXPECT_FALSE(decode(34));
        EXPECT_NE(error.find("7x5 (35 pixels), more than --max-pixels 34"), std::string::npos)
            << error;
        EXPECT_EQ(error.find("unreadable"), std::string::npos) << error;
    }
    for (uint64_t maxPixels : {35, 34}) {
        Y4mReader reader;
        reader.MaxPixels = maxPixels;
        reader.In = ReadFrom(MakeY4m(Header(7, 5, "mono"), 1, 35, 1));
        EXPECT_EQ(ReadY4mHeader(&reader), maxPixels == 35) << reader.Error;
        if (maxPixels == 34) {
            EXPECT_NE(reader.Error.find("the frame is 7x5 (35 pixels), more than --max-pixels 34"),
                      std::string::npos)
                << reader.Error;
        }
        fclose(reader.In);
    }
    EXPECT_TRUE(WithinBudget(32768, 32768, LargestMaxPixels));
    EXPECT_GE(DefaultMaxPixels, 7680u * 4320u) << "an 8K frame passes by default";
}

// Interlaced PNGs take the whole-image path; plain ones decode row by row. Both give the
// samples that were written, at both depths.
TEST(PngDecode, InterlacedAndPlainGiveTheSameSamples) {
    std::mt19937 random(5);
    for (int depth : {8, 16})
        for (int colorType : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_RGB_ALPHA}) {
            const int W = 13, H = 11, C = colorType == PNG_COLOR_TYPE_GRAY ? 1 : 4;
            std::vector<uint16_t> samples(size_t(W) * H * C);
            for (uint16_t& s : samples) s = uint16_t(random() % (1u << depth));
            for (bool interlaced : {false, true}) {
                SCOPED_TRACE(std::to_string(depth) + " bits, " + std::to_string(C) +
                             " channels, interlaced " + std::to_string(interlaced));
                Image image;
                std::string error;
                ASSERT_TRUE(DecodePng(WritePng(W, H, depth, colorType, interlaced, samples), &image,
                                      &error))
                    << error;
                EXPECT_EQ(image.Samples, samples);
                EXPECT_EQ(image.Channels, C);
                EXPECT_EQ(image.Bits, depth);
            }
        }
}

// A tRNS colour past the sample range matches no pixel and could not be written back: it is
// dropped on reading, so that the picture read is the picture written.
TEST(PngDecode, TransparentColourPastTheSampleRangeIsDropped) {
    std::vector<uint8_t> png =
        WritePng(2, 1, 8, PNG_COLOR_TYPE_RGB, false, std::vector<uint16_t>{1, 2, 3, 4, 5, 6});
    for (const uint16_t blue : {255, 256}) {
        const uint8_t chunk[] = {
            0, 0, 0, 6, 't', 'R', 'N', 'S', 0, 1, 0, 2, uint8_t(blue >> 8), uint8_t(blue),
            0, 0, 0, 0};
        std::vector<uint8_t> withTrns(png.size() + sizeof chunk);
        std::copy(png.begin(), png.begin() + 33, withTrns.begin());  // signature and IHDR
        std::copy(chunk, chunk + sizeof chunk, withTrns.begin() + 33);
        std::copy(png.begin() + 33, png.end(), withTrns.begin() + 33 + sizeof chunk);
        const uLong crc = crc32(0, withTrns.data() + 33 + 4, 10);
        for (int i = 0; i < 4; i++) withTrns[33 + 14 + i] = uint8_t(crc >> (24 - 8 * i));
        Image image, back;
        std::string error;
        std::vector<uint8_t> encoded;
        ASSERT_TRUE(DecodePng(withTrns, &image, &error)) << error;
        EXPECT_EQ(image.HasTransparent, blue == 255) << blue;
        ASSERT_TRUE(EncodePng(image, &encoded, &error)) << error;
        ASSERT_TRUE(DecodePng(encoded, &back, &error)) << error;
        EXPECT_EQ(back.HasTransparent, image.HasTransparent) << blue;
        EXPECT_EQ(back.Transparent[2], image.Transparent[2]) << blue;
    }
}

// A frame bigger than one piece arrives whole, through a pipe in small writes; breaking off
// inside the second piece, or exactly at the end of the first, reports the bytes that came.
TEST(Y4mFrameData, FramesLargerThanAPieceArriveWholeAndBreakOffCleanly) {
    const int W = 4200, H = 4100;  // 17.2 MB of mono: two pieces
    const size_t frameBytes = size_t(W) * H;
    ASSERT_GT(frameBytes, size_t(FramePieceBytes));
    const std::string stream = MakeY4m(Header(W, H, "mono"), 2, frameBytes, 3);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < stream.size(); at += 4093)
            if (write(fds[1], stream.data() + at, std::min<size_t>(4093, stream.size() - at)) < 0)
                break;
        close(fds[1]);
    });
    Y4mReader reader;
    reader.In = fdopen(fds[0], "rb");
    ASSERT_TRUE(ReadY4mHeader(&reader)) << reader.Error;
    Y4mFrame frame;
    const size_t first = reader.Format.Header.size() + 1 + 6;
    for (int k = 0; k < 2; k++) {
        ASSERT_EQ(ReadY4mFrame(&reader, &frame), Y4mRead::Frame) << reader.Error;
        ASSERT_EQ(frame.Data.size(), frameBytes);
        EXPECT_EQ(
            memcmp(frame.Data.data(), stream.data() + first + k * (frameBytes + 6), frameBytes), 0)
            << "frame " << k + 1;
    }
    EXPECT_EQ(ReadY4mFrame(&reader, &frame), Y4mRead::End);
    writer.join();
    fclose(reader.In);

    for (size_t delivered : {size_t(FramePieceBytes), size_t(FramePieceBytes) + 12345}) {
        Y4mReader cut;
        cut.In = ReadFrom(stream.substr(0, first + delivered));
        ASSERT_TRUE(ReadY4mHeader(&cut));
        Y4mFrame f;
        EXPECT_EQ(ReadY4mFrame(&cut, &f), Y4mRead::Error);
        EXPECT_NE(cut.Error.find("frame 1 at byte " + std::to_string(first - 6) +
                                 " is truncated: " + std::to_string(delivered) + " of " +
                                 std::to_string(frameBytes) + " picture bytes"),
                  std::string::npos)
            << cut.Error;
        fclose(cut.In);
    }
}

// A filter module that loads like Tessival and refuses every frame.
#ifndef TESSIVAL_REFUSING_MODULE
#error "TESSIVAL_REFUSING_MODULE names the test module"
#endif

TEST(Program, LyingSizesCostOnlyWhatArrived) {
    ScratchFolder dir;
    // 32768 x 32768 at 16 bits 4:4:4 is 6 GB a frame, and 100 KB arrive. Under a 1 GB address
    // space limit, a reader that sized the frame from the header would die allocating it.
    WriteFile(dir.Path("huge.y4m"),
              "YUV4MPEG2 W32768 H32768 C444p16\nFRAME\n" + std::string(100000, '\x10'));
    ProgramRun run =
        RunProgram("--max-pixels 1073741824 " + dir.Path("huge.y4m") + " " + dir.Path("out.y4m"),
                   "ulimit -v 1000000;");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("frame 1 at byte 32 is truncated: 100000 of 6442450944 picture bytes"),
              std::string::npos)
        << run.Err;
    // A gray PNG that claims 30000 x 30000 and holds 40 rows of data.
    std::vector<uint8_t> png =
        WritePng(30000, 40, 8, PNG_COLOR_TYPE_GRAY, false, std::vector<uint16_t>(30000 * 40, 7));
    ClaimHeight(&png, 30000);
    WriteFile(dir.Path("tall.png"), std::string(png.begin(), png.end()));
    run = RunProgram("--max-pixels 1073741824 " + dir.Path("tall.png") + " " + dir.Path("out.png"),
                     "ulimit -v 1000000;");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("unreadable PNG"), std::string::npos) << run.Err;
    // At the default budget both are refused at once, naming the option.
    for (const char* name : {"huge.y4m", "tall.png"}) {
        run = RunProgram(dir.Path(name) + " " + dir.Path("out"));
        EXPECT_EQ(run.Code, 1) << name;
        EXPECT_NE(run.Err.find("more than --max-pixels 134217728 allows"), std::string::npos)
            << run.Err;
    }
}

// Exit 3 when the output cannot be created and 4 when the module refuses a frame, for streams
// and images alike.
TEST(Program, OutputAndModuleFailuresHaveTheirOwnExitCodes) {
    ScratchFolder dir;
    WriteFile(dir.Path("in.y4m"), MakeY4m(Header(16, 8, "420jpeg"), 2, 16 * 8 * 3 / 2, 4));
    const std::vector<uint8_t> png =
        WritePng(9, 4, 8, PNG_COLOR_TYPE_GRAY, false, std::vector<uint16_t>(36, 100));
    WriteFile(dir.Path("in.png"), std::string(png.begin(), png.end()));
    for (const char* input : {"in.y4m", "in.png"}) {
        SCOPED_TRACE(input);
        const std::string missing = dir.Path("no-such-folder/out");
        ProgramRun run = RunProgram(dir.Path(input) + " " + missing);
        EXPECT_EQ(run.Code, 3);
        EXPECT_NE(run.Err.find("cannot create " + missing), std::string::npos) << run.Err;

        run = RunProgram("--module " TESSIVAL_REFUSING_MODULE " " + dir.Path(input) + " " +
                         dir.Path("refused"));
        EXPECT_EQ(run.Code, 4);
        EXPECT_NE(run.Err.find("the filter module refused the frame"), std::string::npos)
            << run.Err;
    }
}

}  // namespace
