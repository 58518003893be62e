#include "dsp/octave_bands.h"

#include <algorithm>
#include <cmath>

#include "dsp/transfer.h"

namespace {

const double kPi = 3.14159265358979323846;

}  // namespace

const int kOctaveBandNominal[kOctaveBandCount] = {63, 125, 250, 500, 1000, 2000, 4000, 8000};

double OctaveBandCentre(int i) { return 1000.0 * std::pow(kOctaveRatio, i - 4); }

void BandEdges(double centre, double bands_per_octave, double* lo, double* hi) {
  const double half = std::pow(kOctaveRatio, 0.5 / bands_per_octave);
  *lo = centre / half;
  *hi = centre * half;
}

std::complex<double> BandFilterResponse(double freq, double centre, double bands_per_octave) {
  if (!(freq > 0.0)) return 0.0;
  double lo, hi;
  BandEdges(centre, bands_per_octave, &lo, &hi);
  // The low-pass prototype's frequency for this band-pass: 1 at either edge.
  const std::complex<double> s(0.0, (freq / centre - centre / freq) * centre / (hi - lo));
  // Third-order Butterworth 1 / ((s + 1)(s^2 + s + 1)), conjugated: the same
  // filter run backwards in time.
  return std::conj(1.0 / ((s + 1.0) * (s * s + s + 1.0)));
}

std::vector<double> BandFilter(const double* signal, long count, double rate, double centre,
                               double bands_per_octave, long* lead) {
  *lead = 0;
  double lo, hi;
  BandEdges(centre, bands_per_octave, &lo, &hi);
  if (count <= 0 || !(rate > 0.0 && rate <= 1e6) || !(centre >= 1.0) || !(hi <= rate / 2) ||
      !(bands_per_octave >= 1.0 && bands_per_octave <= 24.0))
    return {};
  // The slowest pole decays at a quarter of the bandwidth in radians per
  // second: after `before` its ringing is 140 dB down, so nothing wraps
  // around the circular convolution; the last `after` samples lack more than
  // 40 dB of the filter's energy and are dropped.
  const double sigma = kPi * (hi - lo) / 2.0;
  const long before = static_cast<long>(std::ceil(16.2 / sigma * rate));
  const long after = std::min(count, static_cast<long>(std::ceil(4.6 / sigma * rate)));
  Transfer t;
  t.size = FftSize(before + count);
  t.bin_hz = rate / static_cast<double>(t.size);
  std::vector<double> x(static_cast<size_t>(t.size), 0.0);
  std::copy(signal, signal + count, x.begin() + before);
  TransferFromImpulse(x, &t);
  for (size_t k = 0; k < t.h.size(); ++k)
    t.h[k] *= BandFilterResponse(static_cast<double>(k) * t.bin_hz, centre, bands_per_octave);
  x = ImpulseResponse(t);
  x.resize(static_cast<size_t>(before + count - after));
  *lead = before;
  return x;
}
