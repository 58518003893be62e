// The sync pulse for output 2, wired straight back to input 2. Samples are
// 32-bit integers on a 24-bit scale (full scale 2^23). The sweep for output 1
// is in sweep.h.
#pragma once

#include <cstdint>

// The value of 2 pi the program's pulse and sweep use; their samples depend
// on it.
constexpr double kProgramTwoPi = 6.28318;

// Fills out[0 .. length) with one cycle of 1 kHz at half scale starting at
// `start` (rate / 1000 samples), zeros elsewhere; returns the index of the
// pulse's peak (0 when no sample is above 0). Never writes past `length`.
int MakePulse(int32_t* out, unsigned int rate, int length, int start);
