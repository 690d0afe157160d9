// y4m.cpp: YUV4MPEG2 header parsing and frame-by-frame reading and writing
#include "y4m.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

static const char Signature[] = "YUV4MPEG2";
enum { LongestLine = 4096, LargestSide = 1 << 15 };

// One C tag value: depth, plane count and chroma subsampling.
struct ColorspaceInfo {
    const char* Name;
    int Bits, Planes, ShiftX, ShiftY;
};

static const ColorspaceInfo Colorspaces[] = {
    {"420jpeg", 8, 3, 1, 1}, {"420mpeg2", 8, 3, 1, 1}, {"420paldv", 8, 3, 1, 1},
    {"420", 8, 3, 1, 1},     {"411", 8, 3, 2, 0},      {"422", 8, 3, 1, 0},
    {"444", 8, 3, 0, 0},     {"444alpha", 8, 4, 0, 0}, {"mono", 8, 1, 0, 0},
    {"420p9", 9, 3, 1, 1},   {"422p9", 9, 3, 1, 0},    {"444p9", 9, 3, 0, 0},
    {"420p10", 10, 3, 1, 1}, {"422p10", 10, 3, 1, 0},  {"444p10", 10, 3, 0, 0},
    {"420p12", 12, 3, 1, 1}, {"422p12", 12, 3, 1, 0},  {"444p12", 12, 3, 0, 0},
    {"420p14", 14, 3, 1, 1}, {"422p14", 14, 3, 1, 0},  {"444p14", 14, 3, 0, 0},
    {"420p16", 16, 3, 1, 1}, {"422p16", 16, 3, 1, 0},  {"444p16", 16, 3, 0, 0},
    {"mono9", 9, 1, 0, 0},   {"mono10", 10, 1, 0, 0},  {"mono12", 12, 1, 0, 0},
    {"mono14", 14, 1, 0, 0}, {"mono16", 16, 1, 0, 0},
};

int PlaneWidth(const Y4mFormat& f, int plane) {
    if (plane == 0 || plane == 3) return f.Width;
    return (f.Width + (1 << f.ChromaShiftX) - 1) >> f.ChromaShiftX;
}

int PlaneHeight(const Y4mFormat& f, int plane) {
    if (plane == 0 || plane == 3) return f.Height;
    return (f.Height + (1 << f.ChromaShiftY) - 1) >> f.ChromaShiftY;
}

size_t PlaneBytes(const Y4mFormat& f, int plane) {
    return size_t(PlaneWidth(f, plane)) * size_t(PlaneHeight(f, plane)) * (f.Bits > 8 ? 2 : 1);
}

size_t FrameBytes(const Y4mFormat& f) {
    size_t total = 0;
    for (int p = 0; p < f.Planes; p++) total += PlaneBytes(f, p);
    return total;
}

// Text safe to quote in a message: printable ASCII as is, anything else as \xNN, cut at 40.
static std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < 40; i++) {
        const unsigned char c = s[i];
        if (c >= 32 && c < 127) {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (s.size() > 40) out += "...";
    return out + "\"";
}

// A decimal size in 1 .. LargestSide.
static bool ParseSide(const std::string& digits, int* value) {
    if (digits.empty() || digits.size() > 6) return false;
    long v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > LargestSide) return false;
    *value = int(v);
    return true;
}

// "N:D" with both sides decimal.
static bool IsRatio(const std::string& s) {
    const size_t colon = s.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == s.size()) return false;
    for (size_t i = 0; i < s.size(); i++)
        if (i != colon && (s[i] < '0' || s[i] > '9')) return false;
    return true;
}

bool ParseY4mHeader(const std::string& line, Y4mFormat* format, std::string* error) {
    Y4mFormat f;
    f.Header = line;
    const size_t signatureLength = sizeof Signature - 1;
    if (line.compare(0, signatureLength, Signature) != 0 ||
        (line.size() > signatureLength && line[signatureLength] != ' ')) {
        *error =
            "not a YUV4MPEG2 stream: it starts with " + Quote(line.substr(0, 12)) + " at byte 0";
        return false;
    }
    bool haveW = false, haveH = false;
    size_t pos = signatureLength;
    while (pos < line.size()) {
        if (line[pos] == ' ') {
            pos++;
            continue;
        }
        const size_t end = std::min(line.find(' ', pos), line.size());
        const std::string tag = line.substr(pos, end - pos);
        const std::string at = " at byte " + std::to_string(pos);
        const char kind = tag[0];
        const std::string value = tag.substr(1);
        if (kind == 'W' || kind == 'H') {
            int* side = kind == 'W' ? &f.Width : &f.Height;
            if (!ParseSide(value, side)) {
                *error = std::string("header tag ") + Quote(tag) + at + ": the " +
                         (kind == 'W' ? "width" : "height") + " must be a whole number from 1 to " +
                         std::to_string(int(LargestSide));
                return false;
            }
            (kind == 'W' ? haveW : haveH) = true;
        } else if (kind == 'C') {
            const ColorspaceInfo* found = nullptr;
            for (const ColorspaceInfo& c : Colorspaces)
                if (value == c.Name) found = &c;
            if (found == nullptr) {
                *error = "unsupported colour space " + Quote(tag) + at +
                         " (supported: mono, 420jpeg, 420mpeg2, 420paldv, 411, 422, 444, "
                         "444alpha, and 420/422/444/mono at 9, 10, 12, 14 and 16 bits)";
                return false;
            }
            f.Colorspace = found->Name;
            f.Bits = found->Bits;
            f.Planes = found->Planes;
            f.ChromaShiftX = found->ShiftX;
            f.ChromaShiftY = found->ShiftY;
        } else if (kind == 'F' || kind == 'A') {
            if (!IsRatio(value)) {
                *error = std::string("header tag ") + Quote(tag) + at + ": the " +
                         (kind == 'F' ? "frame rate" : "pixel aspect") + " must be N:D";
                return false;
            }
        } else if (kind == 'I') {
            if (value.size() != 1 || std::string("ptbm?").find(value[0]) == std::string::npos) {
                *error = "header tag " + Quote(tag) + at + ": interlacing must be Ip, It, Ib or Im";
                return false;
            }
        }
        // X tags and tags of later revisions of the format are kept and passed on as they are.
        pos = end;
    }
    if (!haveW || !haveH) {
        *error = std::string("header has no ") + (!haveW ? "W (width)" : "H (height)") +
                 " tag (header line of " + std::to_string(line.size()) + " bytes at byte 0)";
        return false;
    }
    *format = f;
    return true;
}

// Reads one line up to '\n' into *line. Returns the number of bytes consumed, newline
// included; sets *complete when the newline was found within LongestLine bytes.
static size_t ReadLine(FILE* in, std::string* line, bool* complete) {
    line->clear();
    *complete = false;
    size_t consumed = 0;
    for (;;) {
        const int c = getc(in);
        if (c == EOF) return consumed;
        consumed++;
        if (c == '\n') {
            *complete = true;
            return consumed;
        }
        *line += char(c);
        if (line->size() > LongestLine) return consumed;
    }
}

static std::string ReadFailure(FILE* in) {
    return ferror(in) ? std::string(": ") + strerror(errno) : std::string();
}

bool ReadY4mHeader(Y4mReader* r) {
    std::string line;
    bool complete;
    const size_t consumed = ReadLine(r->In, &line, &complete);
    if (!complete) {
        if (consumed == 0)
            r->Error = "the input is empty" + ReadFailure(r->In);
        else if (line.size() > LongestLine)
            r->Error = "header line longer than " + std::to_string(int(LongestLine)) +
                       " bytes at byte 0 (is this a YUV4MPEG2 stream?)";
        else if (line.compare(0, sizeof Signature - 1, Signature) != 0)
            r->Error = "not a YUV4MPEG2 stream: it starts with " + Quote(line.substr(0, 12));
        else
            r->Error = "the header ends at byte " + std::to_string(consumed) +
                       " without a newline" + ReadFailure(r->In);
        return false;
    }
    if (!ParseY4mHeader(line, &r->Format, &r->Error)) return false;
    if (!WithinBudget(r->Format.Width, r->Format.Height, r->MaxPixels)) {
        const double pixels = double(r->Format.Width) * r->Format.Height;
        r->Error = OverBudget("frame", r->Format.Width, r->Format.Height, r->MaxPixels,
                              StreamBytesPerPixel(double(FrameBytes(r->Format)) / pixels));
        return false;
    }
    r->Offset = consumed;
    return true;
}

// Reads `bytes` bytes into *data and returns how many arrived. A frame of one piece or less, or
// one that *data can already hold, is read in place. A larger one goes into pieces first and is
// gathered once all are in; the gathering copies piece by piece into untouched reserved memory
// and frees each piece behind it, so that at no point more than the delivered bytes plus one
// piece are resident.
static size_t ReadFrameData(FILE* in, size_t bytes, std::vector<uint8_t>* data) {
    if (data->capacity() >= bytes || bytes <= FramePieceBytes) {
        data->resize(bytes);
        return fread(data->data(), 1, bytes, in);
    }
    std::vector<std::vector<uint8_t>> pieces;
    size_t got = 0;
    while (got < bytes) {
        pieces.emplace_back(std::min<size_t>(bytes - got, FramePieceBytes));
        std::vector<uint8_t>& piece = pieces.back();
        const size_t n = fread(piece.data(), 1, piece.size(), in);
        got += n;
        if (n < piece.size()) return got;
    }
    std::vector<uint8_t>().swap(*data);
    data->reserve(bytes);
    for (std::vector<uint8_t>& piece : pieces) {
        data->insert(data->end(), piece.begin(), piece.end());
        std::vector<uint8_t>().swap(piece);
    }
    return got;
}

Y4mRead ReadY4mFrame(Y4mReader* r, Y4mFrame* frame) {
    const long number = r->FramesRead + 1;
    const std::string where =
        "frame " + std::to_string(number) + " at byte " + std::to_string(r->Offset);
    bool complete;
    const size_t consumed = ReadLine(r->In, &frame->Line, &complete);
    if (consumed == 0) {
        if (ferror(r->In)) {
            r->Error = "read error before " + where + ReadFailure(r->In);
            return Y4mRead::Error;
        }
        return Y4mRead::End;
    }
    const std::string& line = frame->Line;
    const bool marker = line.compare(0, 5, "FRAME") == 0 && (line.size() == 5 || line[5] == ' ');
    if (!marker) {
        if (!complete && line.size() < 5 && std::string("FRAME").compare(0, line.size(), line) == 0)
            r->Error = where + " is truncated: the stream ends inside its FRAME line";
        else
            r->Error = where + ": expected a FRAME line, found " + Quote(line);
        return Y4mRead::Error;
    }
    if (!complete) {
        r->Error =
            where + (line.size() > LongestLine
                         ? ": FRAME line longer than " + std::to_string(int(LongestLine)) + " bytes"
                         : " is truncated: the stream ends inside its FRAME line");
        return Y4mRead::Error;
    }
    const size_t bytes = FrameBytes(r->Format);
    const size_t got = ReadFrameData(r->In, bytes, &frame->Data);
    if (got < bytes) {
        r->Error = where + " is truncated: " + std::to_string(got) + " of " +
                   std::to_string(bytes) + " picture bytes" + ReadFailure(r->In);
        return Y4mRead::Error;
    }
    r->Offset += consumed + bytes;
    r->FramesRead++;
    return Y4mRead::Frame;
}

bool WriteY4mHeader(FILE* out, const Y4mFormat& format) {
    return fwrite(format.Header.data(), 1, format.Header.size(), out) == format.Header.size() &&
           putc('\n', out) != EOF;
}

bool WriteY4mFrame(FILE* out, const Y4mFrame& frame) {
    return fwrite(frame.Line.data(), 1, frame.Line.size(), out) == frame.Line.size() &&
           putc('\n', out) != EOF &&
           fwrite(frame.Data.data(), 1, frame.Data.size(), out) == frame.Data.size();
}

void GetLuma(const Y4mFormat& f, const uint8_t* data, uint16_t* luma) {
    const size_t n = size_t(f.Width) * size_t(f.Height);
    if (f.Bits == 8) {
        for (size_t i = 0; i < n; i++) luma[i] = data[i];
    } else {
        for (size_t i = 0; i < n; i++) luma[i] = uint16_t(data[2 * i] | (data[2 * i + 1] << 8));
    }
}

void PutLuma(const Y4mFormat& f, const uint16_t* luma, uint8_t* data) {
    const size_t n = size_t(f.Width) * size_t(f.Height);
    if (f.Bits == 8) {
        for (size_t i = 0; i < n; i++) data[i] = uint8_t(luma[i]);
    } else {
        for (size_t i = 0; i < n; i++) {
            data[2 * i] = uint8_t(luma[i] & 0xFF);
            data[2 * i + 1] = uint8_t(luma[i] >> 8);
        }
    }
}
