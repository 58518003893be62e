// Test signals: the sync pulse for output 2 and the sine sweep for output 1.
// Samples are 32-bit integers on a 24-bit scale (full scale 2^23).
#pragma once

#include <cstdint>

// Fills out[0 .. length) with one cycle of 1 kHz at half scale starting at
// `start` (rate / 1000 samples), zeros elsewhere; returns the index of the
// pulse's peak (0 when no sample is above 0). Never writes past `length`.
int MakePulse(int32_t* out, unsigned int rate, int length, int start);

// Fills out[0 .. total): `lead` silent frames, total - 2*lead sweep frames
// rising linearly from f0 by (f1 - f0) / total per frame, `lead` silent
// frames. freqs[i] is the frequency sweep frame i really sounds at (freqs
// must hold at least total entries; only the first total - 2*lead are
// written, and freqs[0] = f0 whenever total > 0). A negative lead counts as
// none; nothing is written outside out[0 .. total) and freqs[0 .. total).
void MakeSweep(unsigned long rate, int32_t* out, double* freqs, double f0, double f1,
               long total, double amp, long lead);
