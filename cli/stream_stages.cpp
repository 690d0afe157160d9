// stream_stages.cpp: read, filter and write one frame of a y4m stream
#include "stream_stages.h"

#include <errno.h>
#include <string.h>

#include "options.h"

std::string OperandName(const std::string& path, bool input) {
    return path == "-" ? (input ? "standard input" : "standard output") : path;
}

std::string WriteFailure(const std::string& outputName) {
    return "cannot write " + OperandName(outputName, false) + ": " + strerror(errno ? errno : EIO);
}

bool ReadStage(Y4mReader* reader, const std::string& inputName, long limit, StreamItem* item) {
    item->End = false;
    item->Code = ExitOk;
    item->Message.clear();
    item->Number = reader->FramesRead + 1;
    if (limit >= 0 && reader->FramesRead >= limit) {
        item->End = true;
        return false;
    }
    const Y4mRead got = ReadY4mFrame(reader, &item->Frame);
    if (got == Y4mRead::Frame) return true;
    item->End = true;
    if (got == Y4mRead::Error) {
        const long before = reader->FramesRead;
        item->Code = ExitBadInput;
        item->Message = OperandName(inputName, true) + ": " + reader->Error + "; the " +
                        std::to_string(before) + " complete frame" + (before == 1 ? "" : "s") +
                        " before it " + (before == 1 ? "was" : "were") + " written";
    }
    return false;
}

// The luma plane opens the frame's data.
static PixelLayout LumaLayout(const Y4mFormat& format, int scaleBits) {
    PixelLayout luma;
    luma.Bits = format.Bits;
    luma.Bytes = format.Bits > 8 ? 2 : 1;
    luma.ScaleBits = scaleBits;
    return luma;
}

void ToHostStage(const Y4mFormat& format, StreamItem* item, int scaleBits) {
    item->ScaleBits = scaleBits;
    if (item->OnPlane) {
        SizeYPlane(&item->Plane, format.Width, format.Height);
        PixelsToPlane(LumaLayout(format, scaleBits), item->Frame.Data.data(), item->Plane.Samples,
                      item->Plane.Stride, format.Width, 0, format.Height);
        return;
    }
    SizeHostImage(&item->Image, format.Width, format.Height);
    PixelsToHost(LumaLayout(format, scaleBits), item->Frame.Data.data(), item->Image.Pixels,
                 item->Image.Capacity, format.Width, 0, format.Height);
}

bool FilterStage(LumaFilter* filter, StreamItem* item, FilterSpare* spare) {
    std::string error;
    if (item->OnPlane ? FilterPlaneFrame(filter, &item->Plane, &spare->Plane, &error)
                      : FilterHostFrame(filter, &item->Image, &spare->Image, &error))
        return true;
    item->End = true;
    item->Code = ExitNoFilter;
    item->Message = error;
    return false;
}

void FromHostStage(const Y4mFormat& format, StreamItem* item) {
    uint8_t* const data = item->Frame.Data.data();
    if (item->OnPlane) {
        PixelsFromPlane(LumaLayout(format, item->ScaleBits), item->Plane.Samples,
                        item->Plane.Stride, data, data, format.Width, 0, format.Height);
        return;
    }
    PixelsFromHost(LumaLayout(format, item->ScaleBits), item->Image.Pixels, item->Image.Capacity,
                   data, data, format.Width, 0, format.Height);
}

bool WriteStage(FILE* out, const std::string& outputName, const StreamItem& item,
                std::string* error) {
    errno = 0;
    if (WriteY4mFrame(out, item.Frame) && fflush(out) == 0) return true;
    *error = WriteFailure(outputName) + " (at frame " + std::to_string(item.Number) + ")";
    return false;
}
