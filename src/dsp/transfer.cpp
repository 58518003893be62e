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

// 0 inside [lo, hi], rising as a raised cosine over a third of an octave on
// either side to 1.
double OutOfBand(double f, double lo, double hi) {
  const double span = 1.0 / 3.0;  // octaves
  double octaves = 0.0;
  if (f < lo) octaves = f > 0 ? std::log2(lo / f) : span;
  if (f > hi) octaves = std::log2(f / hi);
  if (octaves >= span) return 1.0;
  return 0.5 - 0.5 * std::cos(kPi * octaves / span);
}

// The value at x bins of a quantity whose running sums are `sum`,
// interpolated linearly between bins and held at the ends.
template <typename T>
T At(const std::vector<T>& sum, double x) {
  const long last = static_cast<long>(sum.size()) - 2;
  if (x <= 0) return sum[1] - sum[0];
  if (x >= last) return sum[static_cast<size_t>(last) + 1] - sum[static_cast<size_t>(last)];
  const size_t k = static_cast<size_t>(x);
  const double t = x - static_cast<double>(k);
  const T a = sum[k + 1] - sum[k], b = sum[k + 2] - sum[k + 1];
  return a + t * (b - a);
}

// The mean over [xa, xb] (in bins, xa < xb) of the quantity interpolated
// linearly between bins: whole segments by the trapezoid rule from the
// running sums, the partial ones at both ends exactly.
template <typename T>
T Mean(const std::vector<T>& sum, double xa, double xb) {
  const long last = static_cast<long>(sum.size()) - 2;
  xa = std::max(0.0, xa);
  xb = std::min(static_cast<double>(last), xb);
  if (!(xb > xa)) return At(sum, xa);
  const long a = static_cast<long>(std::ceil(xa)), b = static_cast<long>(std::floor(xb));
  if (a > b) return 0.5 * (At(sum, xa) + At(sum, xb));
  const size_t ua = static_cast<size_t>(a), ub = static_cast<size_t>(b);
  // Trapezoids over [a, b]: the sum of the values a..b less half of the ends.
  const T pa = sum[ua + 1] - sum[ua], pb = sum[ub + 1] - sum[ub];
  T area = (sum[ub + 1] - sum[ua]) - 0.5 * (pa + pb);
  area += (static_cast<double>(a) - xa) * 0.5 * (At(sum, xa) + pa);
  area += (xb - static_cast<double>(b)) * 0.5 * (pb + At(sum, xb));
  return area / (xb - xa);
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

void MakeSmoothingSums(const Transfer& t, long delay, SmoothingSums* out) {
  out->bin_hz = t.bin_hz;
  out->power.assign(t.h.size() + 1, 0.0);
  out->value.assign(t.h.size() + 1, 0.0);
  for (size_t k = 0; k < t.h.size(); ++k) {
    // e^(+j 2 pi k delay / size), reduced exactly in integers first.
    const long turn = static_cast<long>((static_cast<long long>(k) * delay) % t.size);
    const double angle = 2 * kPi * static_cast<double>(turn) / static_cast<double>(t.size);
    out->power[k + 1] = out->power[k] + std::norm(t.h[k]);
    out->value[k + 1] = out->value[k] + t.h[k] * std::polar(1.0, angle);
  }
}

void MeanOver(const SmoothingSums& s, double fa, double fb, double* power,
              std::complex<double>* value) {
  *power = Mean(s.power, fa / s.bin_hz, fb / s.bin_hz);
  *value = Mean(s.value, fa / s.bin_hz, fb / s.bin_hz);
}

void Smoothed(const SmoothingSums& s, double f, int n, double lo, double hi, double* power,
              std::complex<double>* value) {
  if (n <= 0) {
    *power = At(s.power, f / s.bin_hz);
    *value = At(s.value, f / s.bin_hz);
    return;
  }
  const double half = std::pow(2.0, 0.5 / n);
  MeanOver(s, std::max(lo, f / half), std::min(hi, f * half), power, value);
}
