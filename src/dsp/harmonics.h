// Harmonic distortion from a synchronized exponential sweep.
//
// Deconvolving the recording by such a sweep puts the k-th harmonic's impulse
// response exactly L ln k seconds before the linear one, in the circular
// impulse response's end. Harmonic k is the part around its own time: from a
// tenth of the gap to harmonic k + 1 before it (a half-Hann rise) to nine
// tenths of the gap to harmonic k - 1 after it (the last half of that a
// half-Hann fall); the linear response takes the same length as the second
// harmonic. Its spectrum at k f is what the sweep drew from the system while
// it played f.
//
// Each harmonic's noise floor is its window's spectrum where the circular
// response holds only noise: after the linear response's window and before
// harmonic 2K (K the highest order), where the room has decayed and the
// harmonics that matter have not begun.
#pragma once

#include <vector>

struct HarmonicSpectra {
  int orders = 0;                 // harmonics 1 .. orders
  double f_lo = 0.0, f_hi = 0.0;  // the sweep's range, Hz
  double nyquist = 0.0;
  bool noise_known = false;               // the response had room for the noise windows
  std::vector<std::vector<double>> freq;  // [k - 1]: bins of harmonic k's spectra, Hz
  // [k - 1]: |H_k|^2 at those bins, its noise's, and their running integrals.
  std::vector<std::vector<double>> power, power_area, noise, noise_area;
};

// Separates harmonics 1 .. orders (at most 10) of ir[0 .. count), the whole
// circular impulse response of a synchronized sweep of parameter
// `sweep_l` seconds over [f_lo, f_hi] Hz at `rate` frames per second, whose
// linear response starts at sample `direct`. Returns false when the
// arguments cannot describe such a response.
bool SeparateHarmonics(const double* ir, long count, double rate, double sweep_l, long direct,
                       double f_lo, double f_hi, int orders, HarmonicSpectra* out);

struct DistortionPoint {
  double freq = 0.0;            // the excitation frequency f, Hz
  double fundamental_db = 0.0;  // 10 log10 |H_1(f)|^2; NaN outside the sweep
  // [k - 2] for k = 2 .. orders: 10 log10 (|H_k(k f)|^2 / |H_1(f)|^2), NaN where
  // k f lies beyond the sweep; and the same of harmonic k's noise floor, NaN
  // where the noise is unknown too.
  std::vector<double> level_db, noise_db;
  double thd_percent = 0.0;  // 100 sqrt(sum of |H_k(k f)|^2) / |H_1(f)| over the k measured
  int thd_orders = 0;        // how many harmonics THD counts
};

// The harmonics' levels at excitation frequency f, each spectrum smoothed
// over 1/smoothing octave around its own frequency (0: not smoothed).
DistortionPoint DistortionAt(const HarmonicSpectra& spectra, double f, int smoothing);
