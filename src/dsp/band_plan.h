// The band plan: adjacent bands whose width grows in proportion to frequency,
// the assignment of rising frequencies to them, and their levels relative to
// the loudest band. The program's analysis and quelmar-analyze's band table
// both use it.
#pragma once

#include <cstddef>
#include <vector>

// The most bands a plan holds.
constexpr int kMaxBands = 1024;

// The level, in dB, of a band that received nothing to measure.
constexpr double kNoDataLevel = -144.0;

// Low and high edges of up to kMaxBands bands; band k is shown as k+1.
struct BandTable {
  double lo[kMaxBands];
  double hi[kMaxBands];
};

// Fills lo[0 .. bands) and hi[0 .. bands) from the start frequency and Q and
// returns the end frequency (the last high edge). Each high edge is the
// previous edge times (1 + 1/Q), truncated to whole hertz. With bands <= 0
// only lo[0] is written and the truncated start frequency is returned. The
// arrays must hold at least max(bands, 1) entries.
double FindHighFreq(double q, int bands, double start, double* lo, double* hi);

// Sums per band of values met at rising frequencies.
struct BandSums {
  std::vector<double> sum;    // per band
  std::vector<double> count;  // values added per band
  size_t current = 0;         // the band the last frequency went to
};

// Empty sums for `bands` bands (none when bands <= 0).
BandSums StartBandSums(int bands);

// Adds `value` to the band of frequency f, given the bands' high edges: the
// band index only moves up, to the first band whose high edge is not below
// f, and the last band takes every frequency above its edge. Frequencies are
// expected to rise; a lower one stays in the current band. Inline: it runs
// once for every sample analysed.
inline void AddToBand(BandSums* sums, const double* hi, double f, double value) {
  size_t& m = sums->current;
  if (sums->sum.empty()) return;
  while (m + 1 < sums->sum.size() && f > hi[m]) ++m;
  sums->sum[m] += value;
  sums->count[m] += 1;
}

// The mean value of each band; -1 for a band that received nothing.
std::vector<double> BandMeans(const BandSums& sums);

// Levels in dB relative to the loudest band: 20 * log10(mean / loudest),
// kNoDataLevel for a band whose mean is not above 0 (nothing, or only
// zeros, measured).
std::vector<double> LevelsRelativeToLoudest(const std::vector<double>& means);
