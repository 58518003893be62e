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
  double ref_lo = 0.0, ref_hi = 0.0;  // Hz, where the target is anchored; 0: the default
};

// Where a target curve is anchored by default, when the response covers it:
// the midrange, so that a house curve's bass is relative to it.
constexpr double kMidrangeLo = 300.0, kMidrangeHi = 3000.0;

// The response and the target on the fit grid: points spaced evenly over log
// frequency from lo to hi, both ends included.
struct EqProblem {
  std::vector<double> freq;
  std::vector<double> level;       // the response, smoothed, dB
  std::vector<double> target;      // dB, at the response's level
  std::vector<double> fit_target;  // the target the filters are fitted to: see BuildProblem
  double target_offset = 0.0;      // what was added to the target curve
  double anchor_lo = 0.0, anchor_hi = 0.0;  // Hz, the band it was anchored in
  bool anchor_at_zero = false;     // that band is where the target curve is 0 dB
};

// Fills *problem. The response and the target curve are both smoothed to
// 1/settings.smoothing octave in the same way: the mean over hertz of their
// power, as quelmar-analyze smooths, each read between its points as
// CurveDbAt reads it (a point added every 1/48 octave where its own lie more
// than 1/24 octave apart). A response used as its own target therefore
// lies on it.
// Without a target curve the target is flat at the median level of the
// smoothed response over the grid (the grid is even in log frequency, so
// this is the median over log frequency), or over the reference band when
// one is set. A target curve is moved by the median of the smoothed
// response's difference from it over the reference band, by default
// kMidrangeLo to kMidrangeHi when the response covers it, else over the
// grid's points where the curve is 0 dB, else over the grid.
// With boost allowed, fit_target is the target lowered where a boost must
// not reach: to the response below the roll-off (below the lowest point
// where the response comes within 6 dB of the target), and in a dip
// narrower than a third of an octave to the response plus the boost its
// surroundings need (the response's closing over a third of an octave: the
// lowest level of its highest levels over every third of an octave around
// it). Elsewhere it is the target.
void BuildProblem(const Curve& response, const Curve* target_curve, const EqSettings& settings,
                  EqProblem* problem);

// The filters that bring the response closest to the target, sorted by
// frequency: greedy starts on the largest excesses, then frequency, gain and
// Q of all filters refined together by NLopt's BOBYQA within the bounds,
// excess above the target weighing four times as much as shortfall below it,
// with a small cost per filter that grows with the square root of its gain.
// Filters are added while the next one, refined alone, is no smaller than
// min_gain_db; those that end up smaller together are dropped and the rest
// refined again. Deterministic: the same input gives the same filters.
std::vector<FilterSpec> FitFilters(const EqProblem& problem, const EqSettings& settings);

// A peaking filter rounded the way the filter files write it: Fc to 0.1 Hz,
// gain to 0.1 dB, Q to 0.01, each to a value within the settings' bounds.
FilterSpec RoundFilter(const FilterSpec& filter, const EqSettings& settings);

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
