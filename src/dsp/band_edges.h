// Band edges: adjacent bands whose width grows in proportion to frequency,
// computed from the start frequency, Q and the band count.
#pragma once

#include <cstdint>

// Converts to a 32-bit integer by truncation toward zero, saturating at the
// int32 limits; a value that is not a number gives 0.
int32_t TruncToInt32(double value);

// Fills lo[0 .. bands) and hi[0 .. bands) from the start frequency and Q and
// returns the end frequency (the last high edge). Each high edge is the
// previous edge times (1 + 1/Q), truncated to whole hertz. With bands <= 0
// only lo[0] is written and the truncated start frequency is returned. The
// arrays must hold at least max(bands, 1) entries.
double FindHighFreq(double q, int bands, double start, double* lo, double* hi);
