// Test signals: the sync pulse for output 2 and the sine sweep for output 1.
// Samples are 32-bit integers on a 24-bit scale (full scale 2^23).
#pragma once

#include <cstdint>

// Fills out[0 .. length) with one cycle of 1 kHz at half scale starting at
// `start`, zeros elsewhere; returns the index of the pulse's peak.
int MakePulse(int32_t* out, unsigned int rate, int length, int start);

// Fills out[0 .. total): `lead` silent frames, total - 2*lead sweep frames
// rising linearly from f0 towards f1, `lead` silent frames. freqs[i] is the
// frequency of sweep frame i (freqs must hold at least total entries; only
// the first total - 2*lead are written, and freqs[0] always).
void MakeSweep(unsigned long rate, int32_t* out, double* freqs, double f0, double f1,
               long total, double amp, long lead);
