#include "dsp/acoustic_timing.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "dsp/levels.h"
#include "dsp/transfer.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kLowHz = 1000.0, kHighHz = 10000.0;

double HighHz(unsigned rate) { return std::min(kHighHz, 0.4 * rate); }

// The marker's sample n of MarkerFrames, as a fraction of its peak.
double MarkerShape(unsigned rate, long n) {
  const double frames = static_cast<double>(MarkerFrames(rate));
  const double t = n / static_cast<double>(rate), length = frames / rate;
  const double sweep = (HighHz(rate) - kLowHz) / length;
  const double window = 0.5 - 0.5 * std::cos(2 * kPi * n / frames);
  return window * std::sin(2 * kPi * (kLowHz * t + 0.5 * sweep * t * t));
}

std::vector<std::complex<double>> Spectrum(const std::vector<double>& x) {
  Transfer t;
  t.size = static_cast<long>(x.size());
  TransferFromImpulse(x, &t);
  return t.h;
}

// The circular cross-correlation c[lag] = sum of b[i + lag] a[i] of two
// signals of `size` frames.
std::vector<double> Correlation(const std::vector<double>& a, const std::vector<double>& b) {
  Transfer t;
  t.size = static_cast<long>(a.size());
  t.h = Spectrum(b);
  const std::vector<std::complex<double>> sa = Spectrum(a);
  for (size_t k = 0; k < t.h.size(); ++k) t.h[k] *= std::conj(sa[k]);
  return ImpulseResponse(t);
}

// x[from .. from + length) with its first `rise` and last `fall` frames
// tapered by half-Hann windows, zero-padded to `size`; frames outside x
// count as silence.
std::vector<double> Segment(const double* x, long count, long from, long length, long rise,
                            long fall, long size) {
  std::vector<double> out(static_cast<size_t>(size), 0.0);
  for (long i = 0; i < length; ++i) {
    const long at = from + i;
    if (at < 0 || at >= count) continue;
    double w = 1.0;
    if (i < rise) w = 0.5 - 0.5 * std::cos(kPi * (i + 0.5) / rise);
    if (i >= length - fall) w = 0.5 - 0.5 * std::cos(kPi * (length - i - 0.5) / fall);
    out[static_cast<size_t>(i)] = x[at] * w;
  }
  return out;
}

}  // namespace

long MarkerFrames(unsigned rate) { return std::lround(kMarkerSeconds * rate); }

void AddMarker(unsigned rate, double amplitude, long at, long first, long count, int32_t* out) {
  const long frames = MarkerFrames(rate);
  const long from = std::max(at, first), to = std::min(at + frames, first + count);
  for (long i = from; i < to; ++i)
    out[i - first] += TruncToInt32(amplitude * kFullScale * MarkerShape(rate, i - at));
}

MarkerArrival FindMarker(const double* mic, long count, unsigned rate) {
  MarkerArrival arrival;
  const long frames = MarkerFrames(rate);
  if (count < frames) return arrival;
  const long size = FftSize(count + frames);
  std::vector<double> marker(static_cast<size_t>(size), 0.0);
  for (long n = 0; n < frames; ++n) marker[static_cast<size_t>(n)] = MarkerShape(rate, n);
  const std::vector<double> c =
      Correlation(marker, Segment(mic, count, 0, count, 0, 0, size));
  // Lags where the whole marker lies within the signal.
  double peak = 0.0, energy = 0.0;
  for (long lag = 0; lag + frames <= count; ++lag) {
    const double v = std::fabs(c[static_cast<size_t>(lag)]);
    energy += v * v;
    if (v > peak) peak = v, arrival.frame = lag;
  }
  const double rms = std::sqrt(energy / static_cast<double>(count - frames + 1));
  arrival.found = peak > 10.0 * rms;
  return arrival;
}

void SecondMarkerSearch(long first_arrival, long played, double max_ppm, unsigned rate, long* from,
                        long* to) {
  const long reach = static_cast<long>(std::ceil(max_ppm * 1e-6 * played)) + 2;
  const long before = std::lround(kMarkerBefore * rate);
  const long length = before + MarkerFrames(rate) + std::lround(kMarkerAfter * rate);
  *from = first_arrival + played - reach - before;
  *to = first_arrival + played + reach - before + length;
}

ClockDrift FindClockDrift(const double* first, long first_count, long first_arrival,
                          const double* second, long second_from, long second_count,
                          long played, double max_ppm, unsigned rate) {
  ClockDrift drift;
  long from = 0, to = 0;
  SecondMarkerSearch(first_arrival, played, max_ppm, rate, &from, &to);
  const long before = std::lround(kMarkerBefore * rate), after = std::lround(kMarkerAfter * rate);
  const long length = before + MarkerFrames(rate) + after;
  const long reach = to - from - length;  // lags 0 .. reach of the search
  const long size = FftSize(to - from + length);
  const std::vector<double> a =
      Segment(first, first_count, first_arrival - before, length, before, after, size);
  // The search, from its first lag on.
  const std::vector<double> b =
      Segment(second, second_count, from - second_from, to - from, 0, 0, size);
  const std::vector<double> c = Correlation(a, b);
  long best = 0;
  for (long lag = 1; lag <= reach; ++lag)
    if (c[static_cast<size_t>(lag)] > c[static_cast<size_t>(best)]) best = lag;

  // The second marker taken in the same way at that lag, and the remaining
  // fraction of a frame from the phase of the cross-spectrum.
  const long at = from + best - second_from;
  const std::vector<double> a_seg =
      Segment(first, first_count, first_arrival - before, length, before, after, length);
  const std::vector<double> b_seg = Segment(second, second_count, at, length, before, after, length);
  const std::vector<std::complex<double>> sa = Spectrum(a_seg), sb = Spectrum(b_seg);
  double ea = 0, eb = 0, ab = 0;
  for (long i = 0; i < length; ++i) {
    const double x = a_seg[static_cast<size_t>(i)], y = b_seg[static_cast<size_t>(i)];
    ea += x * x, eb += y * y, ab += x * y;
  }
  double num = 0, den = 0;
  const double bin_hz = static_cast<double>(rate) / length;
  for (long k = std::lround(kLowHz / bin_hz); k <= std::lround(HighHz(rate) / bin_hz); ++k) {
    const std::complex<double> cross = sb[static_cast<size_t>(k)] * std::conj(sa[static_cast<size_t>(k)]);
    const double w = std::abs(cross), omega = 2 * kPi * k / length;
    num += w * omega * std::arg(cross);
    den += w * omega * omega;
  }
  const double fraction = den > 0 ? -num / den : 0.0;
  drift.distance = static_cast<double>(from + best + before - first_arrival) + fraction;
  drift.ppm = (drift.distance / played - 1.0) * 1e6;
  // The same sound, clearly: well correlated, and the peak inside the
  // search rather than at its edge.
  drift.found = ea > 0 && eb > 0 && ab > 0.5 * std::sqrt(ea * eb) && std::fabs(fraction) <= 1.0 &&
                best > 0 && best < reach;
  return drift;
}
