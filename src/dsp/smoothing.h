// Curves sampled at rising frequencies: their level between the samples, and
// their smoothing over fractions of an octave.
#pragma once

#include <complex>

// The level at f of a curve of db[k] at freq[k] (count >= 1, rising):
// linear in log frequency between the samples, held flat beyond the ends.
double LevelAtLogFreq(const double* freq, const double* db, long count, double f);

// 1/N-octave smoothing, for T = double (a power) and std::complex<double>: the
// mean over hertz of y within f * 2^(+-1/2N), y interpolated linearly in
// hertz between the samples y[k] at freq[k] (count >= 1, rising), the window
// limited to [lo, hi] and to the samples' range. N = 0 gives y at f alone.
// `area` holds the integrals of y over hertz between the samples, built once
// by RunningIntegral, so that each mean costs a few binary searches. A mean
// only adds what lies inside its window, never takes a sum from a larger
// one, so that it is exact to rounding however loud the samples outside.

// area[k], k >= 1, is the integral of y over the segments from
// freq[k - (k & -k)] to freq[k] (a binary indexed tree); area[0] = 0.
template <typename T>
void RunningIntegral(const double* freq, const T* y, long count, T* area);

template <typename T>
T SmoothedAt(const double* freq, const T* y, const T* area, long count, double f, int n,
             double lo, double hi);

// The same for the bins of a spectrum, at the frequencies k * step, with no
// array of them.
struct BinFreqs {
  double step;
};
template <typename T>
void RunningIntegral(BinFreqs freq, const T* y, long count, T* area);
template <typename T>
T SmoothedAt(BinFreqs freq, const T* y, const T* area, long count, double f, int n, double lo,
             double hi);
