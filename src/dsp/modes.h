// The room's strongest modes in the bass: peaks of the 1/12-octave response,
// each with its level above the median of that response and its decay time.
#pragma once

#include <vector>

#include "dsp/decay.h"

struct ModeSettings {
  double f_lo = 20.0, f_hi = 300.0;  // Hz: where modes are looked for
  int max_modes = 5;                 // the strongest this many
  double min_level_db = 3.0;         // peaks less far above the median are not modes
};

struct Mode {
  double freq = 0.0;      // Hz: the largest bin of the response near the peak
  double level_db = 0.0;  // the 1/12-octave response's peak above its median
  // T30 of the band a third of an octave wide around the mode, or T20 where
  // the decay's range does not reach T30's; wide enough that the band filter
  // does not ring longer than the mode.
  DecayTime decay;
};

// The strongest peaks of the response of ir[0 .. count) at `rate` frames per
// second within [f_lo, f_hi], loudest first. The response is the impulse
// response's spectrum, smoothed over 1/12 octave on a grid of 96 points per
// octave; a mode is a local maximum of it at least min_level_db above its
// median over the range.
std::vector<Mode> FindModes(const double* ir, long count, double rate,
                            const ModeSettings& settings);
