#include "dsp/transfer.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>

namespace {

const double kPi = 3.14159265358979323846;

// Real-to-complex FFT of in[0 .. n) into out[0 .. n/2].
void ForwardFft(std::vector<double>& in, std::vector<std::complex<double>>& out) {
  const int n = static_cast<int>(in.size());
  out.resize(in.size() / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), reinterpret_cast<fftw_complex*>(out.data()),
                                        FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
}

// Complex-to-real inverse FFT, scaled by 1/n. The input is overwritten.
std::vector<double> InverseFft(std::vector<std::complex<double>>& in, long n) {
  std::vector<double> out(static_cast<size_t>(n));
  fftw_plan plan = fftw_plan_dft_c2r_1d(static_cast<int>(n),
                                        reinterpret_cast<fftw_complex*>(in.data()), out.data(),
                                        FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  for (double& v : out) v /= static_cast<double>(n);
  return out;
}

// 0 inside [lo, hi], rising as a raised cosine over two octaves on either
// side to 1. A gentle edge keeps the response's ringing short, so that a
// time window around the direct sound changes nothing inside [lo, hi].
double OutOfBand(double f, double lo, double hi) {
  const double span = 2.0;  // octaves
  double octaves = 0.0;
  if (f < lo) octaves = f > 0 ? std::log2(lo / f) : span;
  if (f > hi) octaves = std::log2(f / hi);
  if (octaves >= span) return 1.0;
  return 0.5 - 0.5 * std::cos(kPi * octaves / span);
}

}  // namespace

long FftSize(long frames) {
  for (long n = frames > 1 ? frames : 1;; ++n) {
    long m = n;
    for (long p : {2, 3, 5, 7})
      while (m % p == 0) m /= p;
    if (m == 1) return n;
  }
}

bool Deconvolve(const double* played, const double* recorded, long frames, double rate,
                double f_lo, double f_hi, Transfer* out) {
  const long n = FftSize(frames);
  std::vector<std::complex<double>> x, y;
  {
    std::vector<double> buf(static_cast<size_t>(n), 0.0);
    std::copy(played, played + frames, buf.begin());
    ForwardFft(buf, x);
    std::fill(buf.begin(), buf.end(), 0.0);
    std::copy(recorded, recorded + frames, buf.begin());
    ForwardFft(buf, y);
  }
  double peak = 0.0;
  for (const std::complex<double>& v : x) peak = std::max(peak, std::norm(v));
  if (!(peak > 0) || !std::isfinite(peak)) return false;

  out->size = n;
  out->bin_hz = rate / static_cast<double>(n);
  out->h.assign(x.size(), 0.0);
  // Inside the trusted range the regulariser is far below any power the
  // sweep puts there (its spectrum is flat), so it changes nothing there.
  const double floor = 1e-14 * peak;
  for (size_t k = 0; k < x.size(); ++k) {
    const double f = static_cast<double>(k) * out->bin_hz;
    const double eps = floor + peak * OutOfBand(f, f_lo, f_hi);
    out->h[k] = y[k] * std::conj(x[k]) / (std::norm(x[k]) + eps);
  }
  return true;
}

std::vector<double> ImpulseResponse(const Transfer& t) {
  std::vector<std::complex<double>> copy = t.h;
  return InverseFft(copy, t.size);
}

void TransferFromImpulse(const std::vector<double>& ir, Transfer* t) {
  std::vector<double> copy = ir;
  ForwardFft(copy, t->h);
}

long DirectSoundDelay(const std::vector<double>& ir) {
  const long n = static_cast<long>(ir.size());
  long best = 0;
  for (long i = 1; i < n; ++i)
    if (std::fabs(ir[static_cast<size_t>(i)]) > std::fabs(ir[static_cast<size_t>(best)])) best = i;
  return best > n / 2 ? best - n : best;
}

void WindowImpulse(std::vector<double>* ir, long delay, long pre, long keep, long fade) {
  const long n = static_cast<long>(ir->size());
  std::vector<double> out(ir->size(), 0.0);
  for (long i = -pre; i < keep && i + pre < n; ++i) {
    double w = 1.0;
    if (i < 0) w = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i + pre) / pre);
    if (i >= keep - fade) w = 0.5 + 0.5 * std::cos(kPi * static_cast<double>(i - (keep - fade) + 1) / fade);
    const size_t at = static_cast<size_t>((((delay + i) % n) + n) % n);
    out[at] = (*ir)[at] * w;
  }
  *ir = std::move(out);
}
