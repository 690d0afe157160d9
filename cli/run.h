// run.h: the two jobs of the program, each returning its exit code (options.h)
#pragma once

#include "options.h"

// INPUT to OUTPUT: a YUV4MPEG2 stream frame by frame, or one PNG/PGM/PPM image.
int RunFilter(const Options& options);

// The built-in demonstration: test clip, seeded noise, filter, PSNR and a before/after PNG.
int RunDemo(const Options& options);
