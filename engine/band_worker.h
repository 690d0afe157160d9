// band_worker.h: the worker every host thread runs for a frame, and its packing and write-back
#pragma once

#include <stdint.h>

#include "../host/band_job.h"
#include "chunk.h"

// WorkerFunctions for ProcessFrame: first is the address of the BandJob. Each call claims
// bands until none is left; a thread index outside the plan returns at once.
HOST_ENTRY void BandWorkerGaussian(int32_t threadIndex, int32_t threadCount, void* first,
                                   void* second);
HOST_ENTRY void BandWorkerBox(int32_t threadIndex, int32_t threadCount, void* first, void* second);

// Packs NormalisedValue of chunk columns 0 to n-1 of Ring[0] and Ring[1] into two PackedRows
// rows at vector column c0: lane s of column c0 + j is the filtered Y of pixel s*V + c0 + j.
void PackRowPair(const Chunk& chunk, int16_t* packed0, int16_t* packed1, int c0);

// Writes band rows b to b+m-1 of the destination: Y from PackedRows (rowBytes apart), Cb and Cr
// from the source. Reorders each PackedRows row in place (8x8 transposes) before writing it.
// Images whose rows are 16-byte aligned and hold W rounded up to 8 pixels get aligned streaming
// stores of whole groups of 8 pixels; any other image gets exactly W pixels per row.
void WriteBackBand(const BandJob& job, int16_t* packed, int b, int m);
