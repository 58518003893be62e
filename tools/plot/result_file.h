// Reading the result file that the measurement program appends to: one
// "Results:" block per run, each a header line and one row per band.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A run holds at most this many bands (the size of the program's band table).
constexpr int kMaxPlotBands = 1024;

// The level a band shows when it received no samples.
constexpr double kNoDataLevel = -144.0;

struct PlotBand {
  double lo = 0.0;     // low edge (Hz)
  double hi = 0.0;     // high edge (Hz)
  double level = 0.0;  // dB relative to the loudest band; NaN when the file
                       // holds "inf" or "nan" instead of a number
};

struct PlotRun {
  int number = 0;  // position of the block in the file, from 1
  long line = 0;   // line number of its "Results:" line
  std::vector<PlotBand> bands;
};

// True when the band has a level worth drawing: a finite value other than the
// no-data level.
bool BandHasLevel(const PlotBand& band);

// True when text[0 .. length) holds a "Results:" line, the start of a run.
bool HasResultsBlock(const char* text, size_t length);

// Parses text[0 .. length) and appends one run per block to *runs. On a
// malformed file returns false, leaves *runs as it was and sets *error to a
// message of the form "line N: expected ...". Band edges must be finite
// numbers. Never reads outside the text, which may hold any bytes.
bool ParseResults(const char* text, size_t length, std::vector<PlotRun>* runs,
                  std::string* error);

// A short printable form of text[0 .. length) for messages: tabs as \t, other
// unprintable bytes as \xNN, cut after 40 bytes.
std::string QuoteForMessage(const char* text, size_t length);
