// Fitting peaking filters that pull a measured response down (and, when
// allowed, up) to a target: the problem on a log-frequency grid, the fit with
// NLopt, and the deviation that remains.
#pragma once

#include <string>
#include <vector>

#include "dsp/biquad.h"
#include "formats/curve_file.h"

struct EqSettings {
  double lo = 20.0, hi = 300.0;  // Hz, the range to equalise
  int max_filters = 8;
  double max_boost_db = 0.0;     // 0: cut only
  double max_cut_db = 24.0;
  double min_gain_db = 0.5;      // filters that end up smaller are dropped
  double q_min = 0.5, q_max = 15.0;
  double rate = 48000.0;         // the filters are biquads at this rate
  int smoothing = 12;            // the fit sees the response at 1/N octave
  int points_per_octave = 48;    // of the fit grid
};

// The response and the target on the fit grid: points spaced evenly over log
// frequency from lo to hi, both ends included.
struct EqProblem {
  std::vector<double> freq;
  std::vector<double> level;   // the response, smoothed, dB
  std::vector<double> target;  // dB, at the response's level
  double target_offset = 0.0;  // what was added to the target curve
};

// Fills *problem, the response smoothed to 1/settings.smoothing octave (the
// mean over hertz of its power, as quelmar-analyze smooths). Without a target curve the target is flat at the median of
// the smoothed response over the grid (the grid is even in log frequency, so
// this is the median over log frequency). A target curve is moved by the
// median of the smoothed response's difference from it, so that it sits at
// the response's level.
void BuildProblem(const Curve& response, const Curve* target_curve, const EqSettings& settings,
                  EqProblem* problem);

// The filters that bring the response closest to the target, sorted by
// frequency: greedy starts on the largest excesses, then frequency, gain and
// Q of all filters refined together by NLopt's BOBYQA within the bounds,
// excess above the target weighing four times as much as shortfall below it,
// with a small cost per filter that grows with the square root of its gain.
// Filters smaller than min_gain_db are dropped and the rest refined again.
// Deterministic: the same input gives the same filters.
std::vector<FilterSpec> FitFilters(const EqProblem& problem, const EqSettings& settings);

// A peaking filter rounded the way the filter files write it: Fc to 0.1 Hz,
// gain to 0.1 dB, Q to 0.01.
FilterSpec RoundFilter(const FilterSpec& filter);

struct Deviation {
  double rms = 0.0;         // dB, over the grid
  double max_excess = 0.0;  // dB, the largest level above the target
};

// The deviation from the target over the grid with `filters` applied.
Deviation DeviationFromTarget(const EqProblem& problem, const std::vector<FilterSpec>& filters,
                              double rate);

// The gain the chain reaches at its highest anywhere from 10 Hz to just
// below half the rate, in dB (0 for cut-only filters).
double PeakGainDb(const std::vector<FilterSpec>& filters, double rate);
