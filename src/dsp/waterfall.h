// The cumulative spectral decay of the bass (a waterfall): the spectrum of the
// impulse response seen through a window whose start steps forward in time,
// so that each mode shows as a ridge that lasts as long as it rings.
//
// The window, for a slice at time t after the direct sound: a half-Hann rise
// over the `rise_ms` before t, then a half-Hann fall over the `window_ms`
// after it. The rise is short, so a slice holds only what still rings at t;
// the fall tapers the end without a second edge. Its frequency resolution is
// about 1.5 / window_ms (the fall's noise bandwidth): 5 Hz for 300 ms, enough
// to part modes a few hertz apart; a shorter window cannot resolve below that.
// A ridge's level falls from slice to slice at its mode's own decay rate, since
// a mode's energy inside the window falls as the window moves.
#pragma once

#include <vector>

struct WaterfallSettings {
  double f_lo = 20.0, f_hi = 300.0;  // Hz
  double span_ms = 300.0;            // slices from 0 to span_ms after the direct sound
  double step_ms = 10.0;             // between slices
  double rise_ms = 20.0;             // the window's rise before each slice's time
  double window_ms = 300.0;          // the window's fall after it
  int points_per_octave = 48;        // frequencies per slice, spaced evenly in octaves
};

struct WaterfallSlice {
  double time_ms = 0.0;          // after the direct sound
  std::vector<double> freq, db;  // Hz rising; 20 log10 |spectrum|, as the response's levels
};

// The slices for ir[0 .. count) at `rate` frames per second whose direct
// sound lies at sample `direct`. Returns false (and no slices) when the
// settings cannot make a waterfall: `direct` outside the response, a rate
// above 1 MHz, frequencies not within (0, rate / 2), a window, span or step not
// above 0 (a rise may be 0), a rise and window longer than 5 s, or more than
// 10000 slices or points.
bool ComputeWaterfall(const double* ir, long count, long direct, double rate,
                      const WaterfallSettings& settings, std::vector<WaterfallSlice>* out);
