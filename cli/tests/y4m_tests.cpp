// y4m_tests.cpp: y4m headers, frame reading and writing for every layout and depth, broken
// streams, and the luma mapping to the filter's 12-bit scale
#include <gtest/gtest.h>

#include "../../subhost/luma_map.h"
#include "../y4m.h"
#include "test_streams.h"

namespace {

struct Layout {
    const char* C;
    int Bits, Planes, ChromaW, ChromaH;  // chroma plane size for a 7 x 5 frame
};

// Odd sizes, so that subsampled planes must round up.
const Layout Layouts[] = {
    {"mono", 8, 1, 0, 0},     {"mono10", 10, 1, 0, 0}, {"mono12", 12, 1, 0, 0},
    {"mono16", 16, 1, 0, 0},  {"420jpeg", 8, 3, 4, 3}, {"420mpeg2", 8, 3, 4, 3},
    {"420paldv", 8, 3, 4, 3}, {"420", 8, 3, 4, 3},     {"411", 8, 3, 2, 5},
    {"422", 8, 3, 4, 5},      {"444", 8, 3, 7, 5},     {"444alpha", 8, 4, 7, 5},
    {"420p10", 10, 3, 4, 3},  {"422p10", 10, 3, 4, 5}, {"444p10", 10, 3, 7, 5},
    {"420p12", 12, 3, 4, 3},  {"422p12", 12, 3, 4, 5}, {"444p12", 12, 3, 7, 5},
    {"420p16", 16, 3, 4, 3},  {"422p16", 16, 3, 4, 5}, {"444p16", 16, 3, 7, 5},
};

TEST(Y4mHeader, EveryLayoutAndDepth) {
    for (const Layout& l : Layouts) {
        SCOPED_TRACE(l.C);
        Y4mFormat f;
        std::string error;
        ASSERT_TRUE(ParseY4mHeader(Header(7, 5, l.C), &f, &error)) << error;
        EXPECT_EQ(f.Width, 7);
        EXPECT_EQ(f.Height, 5);
        EXPECT_EQ(f.Bits, l.Bits);
        EXPECT_EQ(f.Planes, l.Planes);
        const size_t sample = l.Bits > 8 ? 2 : 1;
        if (l.Planes > 1) {
            EXPECT_EQ(PlaneWidth(f, 1), l.ChromaW);
            EXPECT_EQ(PlaneHeight(f, 2), l.ChromaH);
        }
        const size_t chroma = l.Planes > 1 ? 2 * size_t(l.ChromaW) * l.ChromaH : 0;
        const size_t alpha = l.Planes == 4 ? 35 : 0;
        EXPECT_EQ(FrameBytes(f), (35 + chroma + alpha) * sample);
    }
}

TEST(Y4mHeader, DefaultsToEightBit420WhenNoColourSpaceIsGiven) {
    Y4mFormat f;
    std::string error;
    ASSERT_TRUE(ParseY4mHeader("YUV4MPEG2 W16 H8", &f, &error)) << error;
    EXPECT_EQ(f.Bits, 8);
    EXPECT_EQ(FrameBytes(f), 16u * 8 + 2 * 8 * 4);
}

TEST(Y4mHeader, MalformedHeadersNameTheTagAndItsByte) {
    const struct {
        const char* Line;
        const char* Expect;
    } cases[] = {
        {"YUV4MPEG W16 H8", "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2X W16 H8", "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2 H8", "no W (width)"},
        {"YUV4MPEG2 W16", "no H (height)"},
        {"YUV4MPEG2 W0 H8", "\"W0\" at byte 10"},
        {"YUV4MPEG2 W16 Hx8", "\"Hx8\" at byte 14"},
        {"YUV4MPEG2 W99999 H8", "from 1 to 32768"},
        {"YUV4MPEG2 W16 H8 C420p11", "unsupported colour space \"C420p11\" at byte 17"},
        {"YUV4MPEG2 W16 H8 F25", "\"F25\" at byte 17: the frame rate must be N:D"},
        {"YUV4MPEG2 W16 H8 Iq", "interlacing"},
    };
    for (const auto& c : cases) {
        Y4mFormat f;
        std::string error;
        EXPECT_FALSE(ParseY4mHeader(c.Line, &f, &error)) << c.Line;
        EXPECT_NE(error.find(c.Expect), std::string::npos) << c.Line << " -> " << error;
    }
}

// Reads the whole stream and writes it back: the bytes must come back unchanged, header tags,
// frame tags and all planes included.
std::string CopyStream(const std::string& in, long* frames, std::string* error) {
    Y4mReader reader;
    reader.In = ReadFrom(in);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    Y4mFrame frame;
    *frames = 0;
    if (ReadY4mHeader(&reader)) {
        WriteY4mHeader(out, reader.Format);
        Y4mRead got;
        while ((got = ReadY4mFrame(&reader, &frame)) == Y4mRead::Frame) {
            WriteY4mFrame(out, frame);
            ++*frames;
        }
        if (got == Y4mRead::Error) *error = reader.Error;
    } else {
        *error = reader.Error;
    }
    fclose(reader.In);
    fclose(out);
    std::string copy(buffer, size);
    free(buffer);
    return copy;
}

TEST(Y4mStream, RoundTripsEveryLayoutAndDepthByteForByte) {
    for (const Layout& l : Layouts) {
        SCOPED_TRACE(l.C);
        Y4mFormat f;
        std::string error;
        ASSERT_TRUE(ParseY4mHeader(Header(7, 5, l.C), &f, &error));
        std::string in = MakeY4m(Header(7, 5, l.C), 3, FrameBytes(f), 17);
        // A frame with tags of its own.
        in += "FRAME Ib XTAG=1\n" + std::string(FrameBytes(f), '\x5A');
        long frames = 0;
        EXPECT_EQ(CopyStream(in, &frames, &error), in);
        EXPECT_EQ(frames, 4);
        EXPECT_EQ(error, "");
    }
}

TEST(Y4mStream, LumaIsReadAndWrittenLittleEndianAboveEightBits) {
    Y4mFormat f;
    std::string error;
    ASSERT_TRUE(ParseY4mHeader(Header(2, 1, "mono10"), &f, &error));
    const uint8_t data[4] = {0xFF, 0x03, 0x34, 0x02};
    uint16_t luma[2];
    GetLuma(f, data, luma);
    EXPECT_EQ(luma[0], 1023);
    EXPECT_EQ(luma[1], 0x234);
    uint8_t back[4] = {};
    PutLuma(f, luma, back);
    EXPECT_EQ(memcmp(back, data, 4), 0);
}

TEST(Y4mStream, BrokenStreamsSayWhatAndWhere) {
    const std::string header = Header(4, 2, "mono");  // 8-byte frames
    const std::string start = header + "\n";
    const std::string frame = "FRAME\n12345678";
    const std::string at2 = "frame 2 at byte " + std::to_string(start.size() + frame.size());
    const struct {
        std::string Stream;
        long Frames;
        std::string Expect;
    } cases[] = {
        {start + frame + "FRAMX\n12345678", 1, at2 + ": expected a FRAME line, found \"FRAMX\""},
        {start + frame + "FRAMES\n12345678", 1, "found \"FRAMES\""},
        {start + frame + "\x01\x02garbage", 1, "found \"\\x01\\x02garbage\""},
        {start + frame + "FRAME\n12345", 1, at2 + " is truncated: 5 of 8 picture bytes"},
        {start + frame + "FRAME\n", 1, at2 + " is truncated: 0 of 8 picture bytes"},
        {start + frame + "FRA", 1, at2 + " is truncated: the stream ends inside its FRAME line"},
        {start + frame + "FRAME Ib", 1, "ends inside its FRAME line"},
        {header, 0, "without a newline"},
        {"", 0, "the input is empty"},
        {"RIFF....WAVEfmt", 0, "not a YUV4MPEG2 stream"},
    };
    for (const auto& c : cases) {
        long frames = -1;
        std::string error;
        CopyStream(c.Stream, &frames, &error);
        EXPECT_EQ(frames, c.Frames) << c.Expect;
        EXPECT_NE(error.find(c.Expect), std::string::npos) << c.Expect << " -> " << error;
    }
}

TEST(Y4mStream, EndsCleanlyAfterTheLastCompleteFrame) {
    long frames = -1;
    std::string error;
    CopyStream(MakeY4m(Header(4, 2, "mono"), 2, 8, 3), &frames, &error);
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(error, "");
}

TEST(LumaMap, DocumentedScaling) {
    EXPECT_EQ(LumaToFilter(255, 8), 4080);
    EXPECT_EQ(LumaToFilter(1023, 10), 4092);
    EXPECT_EQ(LumaToFilter(4095, 12), 4095);
    EXPECT_EQ(LumaToFilter(0x1237, 16), 0x123);  // rounded to nearest
    EXPECT_EQ(LumaToFilter(0x1238, 16), 0x124);
    EXPECT_EQ(LumaToFilter(65535, 16), 4095);     // not 4096
    EXPECT_EQ(LumaToFilter(3000, 10), 4092);      // over 2^N - 1: taken as 2^N - 1
    EXPECT_EQ(LumaFromFilter(4087, 0, 8), 255u);  // 255.44
    EXPECT_EQ(LumaFromFilter(4088, 0, 8), 255u);  // 255.5 rounds up, then clamps
    EXPECT_EQ(LumaFromFilter(24, 0, 8), 2u);      // 1.5 rounds up
    EXPECT_EQ(LumaFromFilter(-7, 0, 8), 0u);
    EXPECT_EQ(LumaFromFilter(-32768, 0, 10), 0u);
    EXPECT_EQ(LumaFromFilter(32767, 0, 12), 4095u);
    // Above 12 bits the filter's change is added to the original sample, low bits kept.
    EXPECT_EQ(LumaFromFilter(0x124 + 3, 0x1238, 16), 0x1238u + 3 * 16);
    EXPECT_EQ(LumaFromFilter(0x124 - 2, 0x1238, 16), 0x1238u - 2 * 16);
    EXPECT_EQ(LumaFromFilter(4095 + 10, 65530, 16), 65535u);
}

TEST(LumaMap, AnUnchangedValueComesBackExactlyAtEveryDepth) {
    for (int bits = 8; bits <= 16; bits++) {
        for (uint32_t s = 0; s <= MaxSample(bits); s++) {
            const uint32_t back = LumaFromFilter(LumaToFilter(s, bits), s, bits);
            if (back != s) FAIL() << bits << "-bit sample " << s << " came back as " << back;
        }
    }
}

TEST(LumaMap, RgbLumaChangeIsInSampleUnits) {
    EXPECT_EQ(LumaValueToFilter(100.5, 8), 1608);
    EXPECT_EQ(LumaValueToFilter(300.0, 8), 4095);
    EXPECT_DOUBLE_EQ(LumaChange(1616, 1608, 8), 0.5);
    EXPECT_DOUBLE_EQ(LumaChange(1000, 1001, 16), -16.0);
}

}  // namespace
