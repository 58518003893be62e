// Second-order filters after the audio EQ cookbook: their coefficients, the
// sample-by-sample filter and their exact frequency response. The virtual
// card's room model and the equaliser tools share them.
#pragma once

#include <complex>

enum class FilterType { kPeak, kLowShelf, kHighShelf, kHighPass, kLowPass };

struct FilterSpec {
  FilterType type = FilterType::kPeak;
  double freq = 1000.0;  // Hz
  double gain_db = 0.0;  // ignored by the high- and low-pass
  double q = 0.7071067811865476;
};

struct Biquad {
  // Normalised coefficients (a0 = 1).
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  // Direct form I state.
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// Cookbook coefficients for `filter` at `rate` frames per second, with clean
// state.
Biquad MakeBiquad(const FilterSpec& filter, double rate);

// Passes one sample through the filter, updating its state.
double BiquadStep(Biquad* q, double x);

// The filter's exact complex response at `freq` Hz for `rate` frames per
// second: H(e^jw) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
std::complex<double> BiquadResponse(const Biquad& q, double freq, double rate);

// The exact gain in dB of the chain filters[0 .. count) at `freq` Hz.
double FilterChainDb(const FilterSpec* filters, int count, double freq, double rate);

// The filter's exact power gain |H|² at the angular frequency w (radians per
// sample), given cos w and cos 2w: the same response as BiquadResponse, for
// evaluating many filters on one frequency grid without complex arithmetic.
double BiquadPowerGain(const Biquad& q, double cos_w, double cos_2w);
