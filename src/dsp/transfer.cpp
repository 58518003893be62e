#include "dsp/transfer.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>

namespace {

const double kPi = 3.14159265358979323846;

// FFTW's plans, made once for each direction, length and memory layout (in
// place or not, and the alignment of both arrays, which a plan may rely on)
// and kept for the process, since FFTW computes its tables again for every
// plan made afresh. What it learnt making them (its wisdom) stays in memory
// with them. Transforms run on the caller's arrays.
class Plans {
 public:
  ~Plans() {
    for (const auto& p : plans_) fftw_destroy_plan(p.second);
  }
  fftw_plan Get(bool forward, long n, double* real, fftw_complex* bins) {
    const Key key{forward, n, static_cast<void*>(real) == static_cast<void*>(bins),
                  fftw_alignment_of(real), fftw_alignment_of(reinterpret_cast<double*>(bins))};
    std::lock_guard<std::mutex> lock(mutex_);
    fftw_plan& plan = plans_[key];
    fftw_iodim64 dim{n, 1, 1};
    if (plan == nullptr)
      plan = forward ? fftw_plan_guru64_dft_r2c(1, &dim, 0, nullptr, real, bins, FFTW_ESTIMATE)
                     : fftw_plan_guru64_dft_c2r(1, &dim, 0, nullptr, bins, real, FFTW_ESTIMATE);
    return plan;
  }

 private:
  using Key = std::tuple<bool, long, bool, int, int>;
  std::mutex mutex_;
  std::map<Key, fftw_plan> plans_;
};

Plans& CachedPlans() {
  static Plans plans;
  return plans;
}

void Forward(long n, double* in, fftw_complex* out) {
  fftw_execute_dft_r2c(CachedPlans().Get(true, n, in, out), in, out);
}

// Overwrites `in`.
void Inverse(long n, fftw_complex* in, double* out) {
  fftw_execute_dft_c2r(CachedPlans().Get(false, n, out, in), in, out);
}

fftw_complex* Bins(std::complex<double>* v) { return reinterpret_cast<fftw_complex*>(v); }
fftw_complex* Bins(double* v) { return reinterpret_cast<fftw_complex*>(v); }

// Real-to-complex FFT of in[0 .. n) into out[0 .. n/2].
void ForwardFft(std::vector<double>& in, std::vector<std::complex<double>>& out) {
  out.resize(in.size() / 2 + 1);
  Forward(static_cast<long>(in.size()), in.data(), Bins(out.data()));
}

// Complex-to-real inverse FFT, scaled by 1/n. The input is overwritten.
std::vector<double> InverseFft(std::vector<std::complex<double>>& in, long n) {
  std::vector<double> out(static_cast<size_t>(n));
  Inverse(n, Bins(in.data()), out.data());
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
  if (octaves <= 0) return 0.0;
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

namespace {

// h[k] = y[k] / x[k] * scale over `bins` bins `bin_hz` apart, regularised
// as Deconvolve says; h may be y. False when x holds nothing.
bool Divide(const std::complex<double>* x, const std::complex<double>* y, long bins,
            double bin_hz, double f_lo, double f_hi, double scale, std::complex<double>* h) {
  double peak = 0.0;
  for (long k = 0; k < bins; ++k) peak = std::max(peak, std::norm(x[k]));
  if (!(peak > 0) || !std::isfinite(peak)) return false;
  // Inside the trusted range the regulariser is far below any power the
  // sweep puts there (its spectrum is flat), so it changes nothing there.
  const double floor = 1e-14 * peak;
  for (long k = 0; k < bins; ++k) {
    const double f = static_cast<double>(k) * bin_hz;
    const double eps = floor + peak * OutOfBand(f, f_lo, f_hi);
    h[k] = y[k] * std::conj(x[k]) / (std::norm(x[k]) + eps) * scale;
  }
  return true;
}

}  // namespace

long FastFftSize(long frames) {
  long best = 0;
  for (long two = 2; two <= 64; two *= 2)
    for (long m = two;; m *= 3) {
      long n = m;
      while (n < frames) n *= 5;
      if (best == 0 || n < best) best = n;
      if (m >= frames) break;
    }
  return best;
}

long FftBufferDoubles(long n) { return 2 * (n / 2 + 1); }

void ForwardFftInPlace(double* buffer, long n) { Forward(n, buffer, Bins(buffer)); }

// With H = R + jI over the whole circle (R even and I odd, as a real
// signal's spectrum), z = R + I is real, and its forward transform is
// Z[m] = sum R cos - j sum I sin, where n x[m] = sum R cos - sum I sin:
// n x[m] = Re Z[m] + Im Z[m], and n x[n - m] = Re Z[m] - Im Z[m].
void InverseFftInPlace(double* buffer, long n, double* scratch) {
  const long half = n / 2;
  for (long k = 0; k <= half; ++k) scratch[k] = buffer[2 * k] + buffer[2 * k + 1];
  for (long k = 1; n - k > half; ++k) scratch[n - k] = buffer[2 * k] - buffer[2 * k + 1];
  ForwardFftInPlace(scratch, n);
  for (long m = 0; m <= half; ++m) buffer[m] = scratch[2 * m] + scratch[2 * m + 1];
  for (long m = 1; n - m > half; ++m) buffer[n - m] = scratch[2 * m] - scratch[2 * m + 1];
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
  out->size = n;
  out->bin_hz = rate / static_cast<double>(n);
  out->h.resize(x.size());
  return Divide(x.data(), y.data(), static_cast<long>(x.size()), out->bin_hz, f_lo, f_hi, 1.0,
                out->h.data());
}

bool DeconvolveInPlace(double* played, double* recorded, long n, double rate, double f_lo,
                       double f_hi, double scale) {
  ForwardFftInPlace(played, n);
  ForwardFftInPlace(recorded, n);
  auto* x = reinterpret_cast<const std::complex<double>*>(played);
  auto* y = reinterpret_cast<std::complex<double>*>(recorded);
  return Divide(x, y, n / 2 + 1, rate / static_cast<double>(n), f_lo, f_hi, scale, y);
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
  return DirectSoundDelay(ir.data(), static_cast<long>(ir.size()));
}

long DirectSoundDelay(const double* ir, long n) {
  long best = 0;
  double top = n > 0 ? std::fabs(ir[0]) : 0.0;
  for (long i = 1; i < n; ++i)
    if (std::fabs(ir[i]) > top) top = std::fabs(ir[i]), best = i;
  return best > n / 2 ? best - n : best;
}

namespace {

// The window's weight at i samples from the delay, within [-pre, keep).
double WindowWeight(long i, long pre, long keep, long fade) {
  double w = 1.0;
  if (i < 0) w = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i + pre) / pre);
  if (i >= keep - fade) w = 0.5 + 0.5 * std::cos(kPi * static_cast<double>(i - (keep - fade) + 1) / fade);
  return w;
}

long Wrap(long i, long n) { return (i % n + n) % n; }

}  // namespace

void WindowImpulse(std::vector<double>* ir, long delay, long pre, long keep, long fade) {
  const long n = static_cast<long>(ir->size());
  std::vector<double> out(ir->size(), 0.0);
  for (long i = -pre; i < keep && i + pre < n; ++i) {
    const size_t at = static_cast<size_t>(Wrap(delay + i, n));
    out[at] = (*ir)[at] * WindowWeight(i, pre, keep, fade);
  }
  *ir = std::move(out);
}

void WindowAndTurn(double* ir, long n, long delay, long pre, long keep, long fade) {
  std::rotate(ir, ir + Wrap(delay, n), ir + n);
  if (keep <= 0) return;
  // The window covers i in [-pre, end), at most n samples; the rest, from
  // end to n - pre, is zero.
  const long end = std::min(keep, n - pre);
  if (end < n - pre) std::fill(ir + end, ir + (n - pre), 0.0);
  long at = Wrap(-pre, n);
  for (long i = -pre; i < end; ++i) {
    ir[at] *= WindowWeight(i, pre, keep, fade);
    if (++at == n) at = 0;
  }
}
