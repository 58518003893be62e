// The transfer function of a measured system by FFT deconvolution: what was
// recorded divided by what was played, and its impulse response.
#pragma once

#include <complex>
#include <vector>

struct Transfer {
  long size = 0;         // FFT length; bins 0 .. size/2
  double bin_hz = 0.0;   // frequency step between bins
  std::vector<std::complex<double>> h;  // H at each bin
};

// A length of at least `frames` whose only prime factors are 2, 3, 5 and 7,
// so that the FFT stays fast.
long FftSize(long frames);

// H = Y / X for played[0 .. frames) and recorded[0 .. frames), both zero-
// padded to FftSize(frames), at `rate` frames per second. Only
// [f_lo, f_hi] is trusted: there the division is exact but for a vanishing
// regulariser; beyond it the regulariser rises over two octaves to
// the played spectrum's peak power, so H falls to zero where nothing was
// played and no bin is ever divided by nothing. Returns false when nothing
// was played.
bool Deconvolve(const double* played, const double* recorded, long frames, double rate,
                double f_lo, double f_hi, Transfer* out);

// The impulse response: the inverse FFT of H, `size` samples, circular (the
// samples before time 0 are at the end).
std::vector<double> ImpulseResponse(const Transfer& t);

// H from an impulse response of t->size samples (after windowing it).
void TransferFromImpulse(const std::vector<double>& ir, Transfer* t);

// The index of the impulse response's largest magnitude, as a signed delay:
// indices past the middle count as negative times.
long DirectSoundDelay(const std::vector<double>& ir);

// Keeps `keep` samples from `delay` on, with a half-Hann fade over the last
// `fade` of them, and a half-Hann fade-in over the `pre` samples before
// `delay`; zeros the rest. Indices wrap around.
void WindowImpulse(std::vector<double>* ir, long delay, long pre, long keep, long fade);
