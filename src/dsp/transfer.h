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

// The length of at least `frames` (>= 1) whose transforms an analysis of a
// whole recording makes fastest: 2^a 3^b 5^c with a from 1 to 6, at most 8 %
// longer than `frames`. FFTW transforms an odd real length at the cost of a
// complex one, and takes longer to plan a length with many factors of 2 or
// any of 7 (a plan costs as much as a transform or more, and counts, since
// each length is planned once). Measured with FFTW 3.3.10 on 25 lengths
// from 10^5 to 1.5 * 10^7 (a plan and four transforms): on average 1.09
// times the fastest of the lengths that five such rules choose, where
// FftSize's smallest length with no prime factor above 7 takes 1.19 times
// (up to 2.4, for an odd length).
long FastFftSize(long frames);

// Transforms in place of n >= 1 real samples, held in a buffer of
// FftBufferDoubles(n) doubles that also holds their n/2 + 1 complex bins
// (as interleaved real and imaginary parts). FFTW's plans are made once for
// each length and kind of transform and kept for the process, with what
// FFTW learnt making them; so are those of the functions below.
long FftBufferDoubles(long n);
// Samples to bins.
void ForwardFftInPlace(double* buffer, long n);
// Bins to samples, not scaled (n times the inverse transform), by the
// forward transform of the same length, so that one plan serves both ways
// (the tables of each FFTW plan take half as much memory as the buffer, or
// more). `scratch` holds FftBufferDoubles(n).
void InverseFftInPlace(double* buffer, long n, double* scratch);

// H = Y / X for played[0 .. frames) and recorded[0 .. frames), both zero-
// padded to FftSize(frames), at `rate` frames per second. Only
// [f_lo, f_hi] is trusted: there the division is exact but for a vanishing
// regulariser; beyond it the regulariser rises over two octaves to
// the played spectrum's peak power, so H falls to zero where nothing was
// played and no bin is ever divided by nothing. Returns false when nothing
// was played.
bool Deconvolve(const double* played, const double* recorded, long frames, double rate,
                double f_lo, double f_hi, Transfer* out);

// The same in place, for n samples of each in buffers of FftBufferDoubles(n)
// doubles: `recorded` then holds the bins of H times `scale`, and `played`
// those of what was played. False when nothing was played.
bool DeconvolveInPlace(double* played, double* recorded, long n, double rate, double f_lo,
                       double f_hi, double scale);

// The impulse response: the inverse FFT of H, `size` samples, circular (the
// samples before time 0 are at the end).
std::vector<double> ImpulseResponse(const Transfer& t);

// H from an impulse response of t->size samples (after windowing it).
void TransferFromImpulse(const std::vector<double>& ir, Transfer* t);

// The index of the impulse response's largest magnitude, as a signed delay:
// indices past the middle count as negative times.
long DirectSoundDelay(const std::vector<double>& ir);
long DirectSoundDelay(const double* ir, long n);

// Keeps `keep` samples from `delay` on, with a half-Hann fade over the last
// `fade` of them, and a half-Hann fade-in over the `pre` samples before
// `delay`; zeros the rest. Indices wrap around.
void WindowImpulse(std::vector<double>* ir, long delay, long pre, long keep, long fade);

// The window of WindowImpulse applied to ir[0 .. n) in place, and the
// response turned so that `delay` comes first: ir[i mod n] becomes
// ir[(delay + i) mod n] times the window, for i from -pre to keep; zero
// elsewhere. With keep = 0 the whole response, turned and not windowed. Its
// spectrum is then H with the time of flight `delay` removed.
void WindowAndTurn(double* ir, long n, long delay, long pre, long keep, long fade);
