// demo.h: the built-in test clip and the measurements the demo prints
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Frame t of the procedural scene, W x H 8-bit luma: a diagonal gradient, a zone plate of
// rising frequency, a moving checkerboard, a moving disc with a soft rim, and lines one and two
// pixels wide. Values stay within 24 .. 232 so that added noise is rarely clipped.
void DrawScene(int W, int H, int t, uint8_t* luma);

// Adds Gaussian noise of standard deviation sigma (8-bit levels) from the seeded generator,
// rounding and clamping to 0 .. 255. The same seed gives the same noise on every machine.
void AddNoise(uint8_t* luma, size_t n, double sigma, uint64_t* state);

// Peak signal-to-noise ratio of 8-bit b against a, in dB (infinity when they are equal).
double Psnr8(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
