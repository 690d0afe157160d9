// plane.cpp: the plane entry of the Linux library
#include "plane_api.h"

#include "process_frame.h"

static int32_t ProcessPlane(FilterInstance* instance, const PlaneFrame* frame) {
    if (instance == nullptr || frame == nullptr) return 0;
    const int32_t W = frame->W, H = frame->H, stride = frame->Stride;
    if (W < 0 || H < 0 || stride < 0) return 0;
    if (W == 0 || H == 0) return 1;
    if (stride < W || stride > INT32_MAX / 2 || frame->Source == nullptr ||
        frame->Destination == nullptr)
        return 0;
    // Bands write their rows while others still read the rows around them.
    const uintptr_t bytes = (uintptr_t(H) - 1) * uintptr_t(stride) * 2 + uintptr_t(W) * 2;
    const uintptr_t source = reinterpret_cast<uintptr_t>(frame->Source);
    const uintptr_t destination = reinterpret_cast<uintptr_t>(frame->Destination);
    if (source < destination + bytes && destination < source + bytes) return 0;
    return RunBands(instance, W, H, frame->Source, frame->Destination, stride * 2, 2);
}

static const PlaneTable Table = {1, ProcessPlane};

const PlaneTable* GetPlaneTable() {
    return &Table;
}
