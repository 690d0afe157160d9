// pixel_budget.cpp: the message for a picture past the pixel budget
#include "pixel_budget.h"

std::string OverBudget(const char* what, uint64_t W, uint64_t H, uint64_t maxPixels,
                       double bytesPerPixel) {
    const uint64_t pixels = W * H;
    return std::string("the ") + what + " is " + std::to_string(W) + "x" + std::to_string(H) +
           " (" + std::to_string(pixels) + " pixels), more than --max-pixels " +
           std::to_string(maxPixels) + " allows; raise --max-pixels to filter it (about " +
           std::to_string(uint64_t(double(pixels) * bytesPerPixel / 1048576 + 0.999)) +
           " MB of memory)";
}
