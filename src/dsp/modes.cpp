#include "dsp/modes.h"

#include <algorithm>
#include <cmath>

#include "dsp/smoothing.h"
#include "dsp/transfer.h"
#include "dsp/windowed_spectrum.h"

std::vector<Mode> FindModes(const double* ir, long count, double rate,
                            const ModeSettings& settings) {
  std::vector<Mode> modes;
  if (count <= 0 || !(rate > 0.0 && rate <= 1e6) || !(settings.f_lo > 0.0) ||
      !(settings.f_hi > settings.f_lo) || !(settings.f_hi < rate / 2))
    return modes;
  // The spectrum on bins of at most 1 Hz, and its running integral for the
  // smoothing.
  const long size = FftSize(std::max(count, static_cast<long>(std::ceil(rate))));
  const double bin_hz = rate / static_cast<double>(size);
  const std::vector<double> power =
      PowerSpectrum(WindowedSegment(ir, count, 0, 0, count, 0, false, size));
  const long bins = static_cast<long>(power.size());
  std::vector<double> freq(power.size()), area(power.size());
  for (long k = 0; k < bins; ++k) freq[static_cast<size_t>(k)] = static_cast<double>(k) * bin_hz;
  RunningIntegral(freq.data(), power.data(), bins, area.data());

  const double per_octave = 96.0;
  const long points = static_cast<long>(std::log2(settings.f_hi / settings.f_lo) * per_octave) + 1;
  std::vector<double> grid(static_cast<size_t>(points)), db(static_cast<size_t>(points));
  for (long i = 0; i < points; ++i) {
    grid[static_cast<size_t>(i)] = settings.f_lo * std::exp2(static_cast<double>(i) / per_octave);
    const double p = SmoothedAt(freq.data(), power.data(), area.data(), bins,
                                grid[static_cast<size_t>(i)], 12, 0.0, rate / 2);
    db[static_cast<size_t>(i)] = 10.0 * std::log10(std::max(p, 1e-300));
  }
  std::vector<double> sorted = db;
  std::nth_element(sorted.begin(), sorted.begin() + points / 2, sorted.end());
  const double median = sorted[static_cast<size_t>(points / 2)];

  std::vector<long> peaks;
  for (long i = 1; i + 1 < points; ++i) {
    const size_t u = static_cast<size_t>(i);
    if (db[u] > db[u - 1] && db[u] >= db[u + 1] && db[u] - median >= settings.min_level_db)
      peaks.push_back(i);
  }
  std::sort(peaks.begin(), peaks.end(), [&](long a, long b) {
    return db[static_cast<size_t>(a)] > db[static_cast<size_t>(b)];
  });
  for (long i : peaks) {
    if (static_cast<long>(modes.size()) >= settings.max_modes) break;
    // Smoothing moves a narrow peak towards lower frequencies: the mode is
    // the largest bin within a twelfth of an octave either side. Two peaks of
    // the smoothed response that lead to one bin are one mode.
    const double f = grid[static_cast<size_t>(i)];
    long best = std::lround(f / bin_hz);
    const long last = std::min(bins - 1, std::lround(f * std::exp2(1.0 / 12) / bin_hz));
    for (long k = std::lround(f * std::exp2(-1.0 / 12) / bin_hz); k <= last; ++k)
      if (power[static_cast<size_t>(k)] > power[static_cast<size_t>(best)]) best = k;
    if (std::any_of(modes.begin(), modes.end(),
                    [&](const Mode& m) { return m.freq == freq[static_cast<size_t>(best)]; }))
      continue;
    Mode mode;
    mode.freq = freq[static_cast<size_t>(best)];
    mode.level_db = db[static_cast<size_t>(i)] - median;
    const Decay d = BandDecayOf(ir, count, rate, mode.freq, 3.0);
    mode.decay = d.t30.status == DecayStatus::kOk ? d.t30 : d.t20;
    modes.push_back(mode);
  }
  return modes;
}
