#include "dsp/harmonics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/smoothing.h"
#include "dsp/transfer.h"
#include "dsp/windowed_spectrum.h"

namespace {

// Frequencies and running integral of a spectrum on bins bin_hz apart.
void Bins(const std::vector<double>& power, double bin_hz, std::vector<double>* freq,
          std::vector<double>* area) {
  freq->resize(power.size());
  area->resize(power.size());
  for (size_t k = 0; k < power.size(); ++k) (*freq)[k] = static_cast<double>(k) * bin_hz;
  RunningIntegral(freq->data(), power.data(), static_cast<long>(power.size()), area->data());
}

double Smoothed(const HarmonicSpectra& s, const std::vector<std::vector<double>>& y,
                const std::vector<std::vector<double>>& area, int k, double f, int smoothing) {
  const std::vector<double>& freq = s.freq[static_cast<size_t>(k - 1)];
  return SmoothedAt(freq.data(), y[static_cast<size_t>(k - 1)].data(),
                    area[static_cast<size_t>(k - 1)].data(), static_cast<long>(freq.size()), f,
                    smoothing, 0.0, s.nyquist);
}

}  // namespace

bool SeparateHarmonics(const double* ir, long count, double rate, double sweep_l, long direct,
                       double f_lo, double f_hi, int orders, HarmonicSpectra* out) {
  // Samples per unit of ln k: harmonic k lies at direct - per_ln * ln k.
  const double per_ln = sweep_l * rate;
  if (count < 2 || !(rate > 0.0) || !(sweep_l > 0.0) || orders < 1 || orders > 10 ||
      !(f_lo > 0.0) || !(f_hi > f_lo) || direct < 0 || direct >= count ||
      !(per_ln * std::log(2.0 * orders) < static_cast<double>(count)))
    return false;
  auto pre_of = [&](int k) { return std::lround(0.1 * per_ln * std::log((k + 1.0) / k)); };
  auto keep_of = [&](int k) {
    return std::max(2L, std::lround(0.9 * per_ln * std::log(k == 1 ? 2.0 : k / (k - 1.0))));
  };
  // Noise: after the linear response's window, before harmonic 2K.
  const long noise_from = direct + keep_of(1);
  const long noise_to = direct + count - std::lround(per_ln * std::log(2.0 * orders));

  HarmonicSpectra s;
  s.orders = orders;
  s.f_lo = f_lo;
  s.f_hi = f_hi;
  s.nyquist = rate / 2;
  s.noise_known = true;
  for (int k = 1; k <= orders; ++k) {
    const long pre = pre_of(k), keep = keep_of(k);
    const long size = FftSize(2 * (pre + keep));
    const long at = direct - std::lround(per_ln * std::log(static_cast<double>(k)));
    s.power.push_back(
        PowerSpectrum(WindowedSegment(ir, count, at, pre, keep, keep / 2, true, size)));
    const bool noise = noise_to - keep - pre >= noise_from;
    s.noise_known = s.noise_known && noise;
    s.noise.push_back(noise ? PowerSpectrum(WindowedSegment(ir, count, noise_to - keep, pre, keep,
                                                            keep / 2, true, size))
                            : std::vector<double>(s.power.back().size(), 0.0));
    s.freq.emplace_back();
    s.power_area.emplace_back();
    s.noise_area.emplace_back();
    Bins(s.power.back(), rate / static_cast<double>(size), &s.freq.back(), &s.power_area.back());
    Bins(s.noise.back(), rate / static_cast<double>(size), &s.freq.back(), &s.noise_area.back());
  }
  *out = std::move(s);
  return true;
}

DistortionPoint DistortionAt(const HarmonicSpectra& s, double f, int smoothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DistortionPoint p;
  p.freq = f;
  p.level_db.assign(static_cast<size_t>(std::max(0, s.orders - 1)), nan);
  p.noise_db = p.level_db;
  p.fundamental_db = p.thd_percent = nan;
  if (s.orders < 1 || !(f >= s.f_lo && f <= s.f_hi)) return p;
  const double p1 = Smoothed(s, s.power, s.power_area, 1, f, smoothing);
  p.fundamental_db = 10.0 * std::log10(p1);
  double sum = 0.0;
  for (int k = 2; k <= s.orders; ++k) {
    const double fk = k * f;
    if (fk > s.f_hi || fk >= s.nyquist) continue;
    const double pk = Smoothed(s, s.power, s.power_area, k, fk, smoothing);
    p.level_db[static_cast<size_t>(k - 2)] = 10.0 * std::log10(pk / p1);
    if (s.noise_known)
      p.noise_db[static_cast<size_t>(k - 2)] =
          10.0 * std::log10(Smoothed(s, s.noise, s.noise_area, k, fk, smoothing) / p1);
    sum += pk;
    ++p.thd_orders;
  }
  if (p.thd_orders > 0) p.thd_percent = 100.0 * std::sqrt(sum / p1);
  return p;
}
