// The virtual card's rooms as its README defines them, computed here on
// their own as the tests' truth: the gain, reflections and filters, the
// diffuse tail's sequence, and the speaker's third-order term, which gives a
// tone of amplitude A the fundamental A (1 + 3/4 a3 A^2).
#pragma once

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "dsp/biquad.h"
#include "formats/curve_file.h"

struct CardRoom {
  double gain_db = 0;
  std::vector<FilterSpec> filters;
  std::vector<std::pair<long, double>> reflections;  // frames after the direct sound, gain
  double tail_t60 = 0, tail_db = 0;
  long tail_delay = 960;
  uint64_t seed = 1;
  double a3 = 0;
};

// The card's `room`, with `home`'s tail and a speaker of third-order term a3.
inline CardRoom CardRoomOfRoom(double a3, bool home_tail) {
  using T = FilterType;
  CardRoom r;
  r.gain_db = -6;
  r.filters = {{T::kHighPass, 28, 0, 0.707}, {T::kPeak, 62, 8, 4}, {T::kPeak, 180, -9, 3},
               {T::kHighShelf, 9000, -6, 0.707}};
  r.reflections = {{150, 0.35}, {310, -0.25}, {520, 0.3}, {890, 0.2}, {1400, 0.12}, {2150, -0.08}};
  if (home_tail) r.tail_t60 = 0.6, r.tail_db = -3;
  r.a3 = a3;
  return r;
}

// The README's tail: log sweeps of an octave per P = 40 ms from 10 Hz to 0.47 of the rate; sweep
// m >= -ceil(L / P) (L = P log2(f2 / 10)) from m P on with phase 2 pi u_m (splitmix64 from `st`),
// faded in over an octave and out over a quarter, of amplitude sqrt(f / 10);
// under e^(-3 ln 10 t / t60) for 2 t60, with 10^(db / 10) of energy, `delay` late.
inline std::vector<double> Tail(double t60, double db, long delay, uint64_t st, double rate = 48000) {
  const double P = 0.04, L = P * std::log2(0.47 * rate / 10);
  const long first = -static_cast<long>(std::ceil(L / P)), count = std::ceil(2 * t60 * rate);
  std::vector<double> phase, h(delay + count, 0.0);
  for (uint64_t z; phase.size() < count / (P * rate) + 2 - first;) {
    z = (st += 0x9E3779B97F4A7C15ULL), z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    phase.push_back(2 * M_PI * static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0);
  }
  for (long n = 0; n < count; ++n) {
    for (long m = std::max<long>(first, std::floor((n / rate - L) / P)); m * P <= n / rate; ++m) {
      const double s = n / rate - m * P, f = std::pow(2.0, s / P);  // in tens of Hz
      const double a = std::sqrt(f) * (s < P ? sin(M_PI / 2 * s / P) : 1) *
                       (L - s < P / 4 ? sin(2 * M_PI * (L - s) / P) : 1);
      if (s < L) h[delay + n] += a * sin(20 * M_PI * P * (f - 1) / M_LN2 + phase[m - first]);
    }
    h[delay + n] *= std::exp(-3 * M_LN10 * n / rate / t60);
  }
  double energy = 0;
  for (double v : h) energy += v * v;
  for (double& v : h) v *= std::sqrt(std::pow(10, db / 10) / energy);
  return h;
}

// |H|^2 of `room` from output 1 to input 1 for a sweep of peak `amplitude`,
// at the 2^21 + 1 bins k * rate / 2^22: a grid fine enough that its means
// over any 1/12 octave are exact.
inline std::vector<double> CardPower(const CardRoom& room, double amplitude, double rate = 48000) {
  const long n = 1L << 22;
  std::vector<std::complex<double>> tail(n / 2 + 1, 0.0);
  if (room.tail_t60 > 0) {
    std::vector<double> t = Tail(room.tail_t60, room.tail_db, room.tail_delay,
                                 room.seed ^ 0x7461696C, rate);
    t.resize(n, 0.0);
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, t.data(), reinterpret_cast<fftw_complex*>(tail.data()),
                                          FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
  }
  std::vector<Biquad> filters;
  for (const FilterSpec& s : room.filters) filters.push_back(MakeBiquad(s, rate));
  const double gain = std::pow(10, room.gain_db / 20) * (1 + 0.75 * room.a3 * amplitude * amplitude);
  std::vector<double> power(n / 2 + 1);
  for (long k = 0; k <= n / 2; ++k) {
    const double f = k * rate / n;
    std::complex<double> h = 1.0 + tail[k];
    for (const auto& r : room.reflections) h += r.second * std::polar(1.0, -2 * M_PI * f * r.first / rate);
    for (const Biquad& q : filters) h *= BiquadResponse(q, f, rate);
    power[k] = std::norm(gain * h);
  }
  return power;
}

// The mean over hertz of power (on CardPower's grid, linear between its
// points) over f * 2^(+-1/2N) within [lo, hi], in dB.
inline double SmoothedDb(const std::vector<double>& power, double f, double lo, double hi,
                         int n = 12, double rate = 48000) {
  const double bin = rate / (2.0 * (power.size() - 1)), half = std::pow(2.0, 0.5 / n);
  const double a = std::max(f / half, lo) / bin, b = std::min(f * half, hi) / bin;
  double sum = 0;  // trapezoids over the parts of grid segments within [a, b]
  for (long k = static_cast<long>(a); k < b; ++k) {
    const double x0 = std::max(a, static_cast<double>(k)), x1 = std::min(b, k + 1.0);
    const double slope = power[k + 1] - power[k];
    sum += (x1 - x0) * (power[k] + slope * ((x0 + x1) / 2 - k));
  }
  return 10 * std::log10(sum / (b - a));
}

// The largest difference between a response file's levels from `lo` to `hi`
// Hz and `power` smoothed alike (1/12 octave within the sweep's range, from
// the file's header), printed under `name`; -1 when the file does not parse.
inline double LargestError(const std::string& name, const std::string& response,
                           const std::vector<double>& power, double lo, double hi) {
  Curve c;
  std::string error;
  double from = 0, to = 0;
  const size_t at = response.find("* Sweep ");
  if (!ParseCurve(response.data(), response.size(), &c, &error) || at == std::string::npos ||
      sscanf(response.c_str() + at, "* Sweep %lf Hz to %lf Hz", &from, &to) != 2)
    return -1;
  double worst = 0, worst_f = 0;
  int points = 0;
  for (size_t k = 0; k < c.freq.size(); ++k) {
    if (c.freq[k] < lo || c.freq[k] > hi) continue;
    const double e = std::fabs(c.db[k] - SmoothedDb(power, c.freq[k], from, to + 0.05));
    if (e > worst) worst = e, worst_f = c.freq[k];
    ++points;
  }
  printf("%s: %d points from %g Hz to %g Hz, largest error %.4f dB at %.1f Hz\n", name.c_str(),
         points, lo, hi, worst, worst_f);
  return points > 0 ? worst : -1;
}
