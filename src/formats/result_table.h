// The result table the program prints and appends to its result file, and
// quelmar-analyze to a file named with --bands: one "Results:" block per run,
// each a header line and one row per band. Its writer and its parser.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dsp/band_plan.h"

// One block: "Results:", the header, then one row per band with its number
// (from 1), its low and high edges and its level in dB, formatted with
// "%i\t%.0f\t%.0f\t%.1f\n". Rows of any length are written whole.
std::string FormatReport(int bands, const double* lo, const double* hi, const double* level);

struct ResultBand {
  double lo = 0.0;     // low edge (Hz)
  double hi = 0.0;     // high edge (Hz)
  double level = 0.0;  // dB relative to the loudest band; NaN when the file
                       // holds "inf" or "nan" instead of a number
};

struct ResultRun {
  int number = 0;  // position of the block in the file, from 1
  long line = 0;   // line number of its "Results:" line
  std::vector<ResultBand> bands;
};

// True when the band has a level worth drawing: a finite value other than the
// no-data level.
bool BandHasLevel(const ResultBand& band);

// True when text[0 .. length) holds a "Results:" line, the start of a run.
bool HasResultsBlock(const char* text, size_t length);

// Parses text[0 .. length) and appends one run per block to *runs. On a
// malformed file returns false, leaves *runs as it was and sets *error to a
// message of the form "line N: expected ...". Band edges must be finite
// numbers, and a run has at most kMaxBands bands. Never reads outside the
// text, which may hold any bytes.
bool ParseResults(const char* text, size_t length, std::vector<ResultRun>* runs,
                  std::string* error);
