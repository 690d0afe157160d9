// y4m.h: YUV4MPEG2 streams, read and written one frame at a time
//
// A stream is one header line, "YUV4MPEG2" followed by space-separated tags (W width, H height,
// C colour space, F rate, I interlacing, A aspect, X anything else), then frames, each a line
// starting with "FRAME" (with optional tags of its own) followed by the raw planes: Y, then Cb
// and Cr (absent for mono), then alpha for 444alpha. Samples deeper than 8 bits take two bytes,
// little-endian, in the low bits.
//
// The header line and every frame line are kept as read and written back byte for byte, so
// every tag the filter does not care about passes through untouched.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "pixel_budget.h"

struct Y4mFormat {
    int Width = 0;
    int Height = 0;
    int Bits = 8;          // 8 to 16
    int Planes = 3;        // 1 (mono), 3 (Y, Cb, Cr), 4 (444alpha)
    int ChromaShiftX = 1;  // chroma planes are Width >> shift wide, rounded up
    int ChromaShiftY = 1;
    std::string Colorspace = "420jpeg";  // the C tag's value, "420jpeg" when absent
    std::string Header;                  // the whole header line without its newline
};

int PlaneWidth(const Y4mFormat& f, int plane);
int PlaneHeight(const Y4mFormat& f, int plane);
size_t PlaneBytes(const Y4mFormat& f, int plane);
size_t FrameBytes(const Y4mFormat& f);

// Parses a header line (without the newline); false with the reason when it is malformed or
// names a colour space this program does not handle.
bool ParseY4mHeader(const std::string& line, Y4mFormat* format, std::string* error);

// A frame as read: its FRAME line (tags included, newline excluded) and its raw planes.
struct Y4mFrame {
    std::string Line = "FRAME";
    std::vector<uint8_t> Data;  // FrameBytes(format) bytes
};

enum class Y4mRead { Frame, End, Error };

struct Y4mReader {
    FILE* In = nullptr;
    uint64_t MaxPixels = DefaultMaxPixels;  // larger frames are refused at the header
    Y4mFormat Format;
    uint64_t Offset = 0;  // bytes consumed so far
    long FramesRead = 0;  // complete frames returned so far
    std::string Error;    // set when a call fails
};

// Reads and parses the header; false with Error set ("... at byte N"), also for a frame past
// MaxPixels.
bool ReadY4mHeader(Y4mReader* reader);
// The next frame: Frame, End at a clean end of stream, or Error (malformed frame line, truncated
// frame or read error, with the frame number counted from 1 and the byte offset).
//
// Memory follows the data: until a frame of this size has arrived once, a frame larger than
// FramePieceBytes is read in pieces of that size, so a stream that breaks off, or whose header
// claims far more than it holds, costs what it delivered plus one piece, whatever the header
// said. Frames of one piece or less, and every frame once a whole one has come, are read
// straight into frame->Data.
Y4mRead ReadY4mFrame(Y4mReader* reader, Y4mFrame* frame);
enum { FramePieceBytes = 16 << 20 };

// Writers: false when the stream refused the bytes (errno tells why).
bool WriteY4mHeader(FILE* out, const Y4mFormat& format);
bool WriteY4mFrame(FILE* out, const Y4mFrame& frame);

// Luma plane samples of a frame's raw data, and back (the other planes are not touched).
void GetLuma(const Y4mFormat& f, const uint8_t* data, uint16_t* luma);
void PutLuma(const Y4mFormat& f, const uint16_t* luma, uint8_t* data);
