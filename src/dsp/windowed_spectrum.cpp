#include "dsp/windowed_spectrum.h"

#include <cmath>
#include <complex>

#include "dsp/transfer.h"

namespace {

const double kPi = 3.14159265358979323846;

}  // namespace

std::vector<double> WindowedSegment(const double* x, long count, long at, long pre, long keep,
                                    long fade, bool circular, long size) {
  std::vector<double> out(static_cast<size_t>(size), 0.0);
  for (long i = -pre; i < keep && i + pre < size; ++i) {
    long src = at + i;
    if (circular) src = ((src % count) + count) % count;
    if (src < 0 || src >= count) continue;
    double w = 1.0;
    if (i < 0)
      w = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i + pre) / static_cast<double>(pre));
    if (i >= keep - fade)
      w = 0.5 +
          0.5 * std::cos(kPi * static_cast<double>(i - (keep - fade)) / static_cast<double>(fade));
    out[static_cast<size_t>(i + pre)] = x[src] * w;
  }
  return out;
}

std::vector<double> PowerSpectrum(const std::vector<double>& x) {
  Transfer t;
  t.size = static_cast<long>(x.size());
  TransferFromImpulse(x, &t);
  std::vector<double> power(t.h.size());
  for (size_t k = 0; k < power.size(); ++k) power[k] = std::norm(t.h[k]);
  return power;
}

double PowerAt(const std::vector<double>& power, double bin_hz, double freq) {
  const double pos = freq / bin_hz;
  const size_t k = static_cast<size_t>(pos);
  const double frac = pos - static_cast<double>(k);
  return (1.0 - frac) * power[k] + frac * power[k + 1];
}
