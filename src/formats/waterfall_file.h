// A waterfall (cumulative spectral decay) as text: one block per time slice, a
// "* Time(ms): T" line followed by one "freq, dB" line per frequency.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dsp/waterfall.h"

// The text of `slices`: times and levels with two decimals, frequencies with
// four.
std::string FormatWaterfall(const std::vector<WaterfallSlice>& slices);

// Parses text[0 .. length), which may hold any bytes. Blank lines, and lines
// beginning with "*" that are not a slice's time line, are skipped. Every
// slice needs at least one "freq, dB" line (separated by a comma, spaces or
// tabs); times rise from slice to slice and frequencies within a slice; times
// and levels lie within +-1e9, frequencies in (0, 1e9]. Numbers are kept at
// the precision FormatWaterfall writes, so what was read is written back as it
// reads. On a fault returns false, leaves *out as it was and sets *error to
// "line N: ...".
bool ParseWaterfall(const char* text, size_t length, std::vector<WaterfallSlice>* out,
                    std::string* error);
