#include "dsp/waterfall.h"

#include <algorithm>
#include <cmath>

#include "dsp/transfer.h"
#include "dsp/windowed_spectrum.h"

bool ComputeWaterfall(const double* ir, long count, long direct, double rate,
                      const WaterfallSettings& settings, std::vector<WaterfallSlice>* out) {
  const WaterfallSettings& s = settings;
  out->clear();
  if (direct < 0 || direct >= count || !(rate > 0.0 && rate <= 1e6) || !(s.f_lo > 0.0) ||
      !(s.f_hi > s.f_lo) || !(s.f_hi < rate / 2) || !(s.window_ms > 0.0) || !(s.rise_ms >= 0.0) ||
      !(s.rise_ms + s.window_ms <= 5000.0) || !(s.step_ms > 0.0) || !(s.span_ms >= 0.0) ||
      !(s.span_ms / s.step_ms < 10000.0) || !(s.points_per_octave >= 1) ||
      !(std::log2(s.f_hi / s.f_lo) * s.points_per_octave < 10000.0))
    return false;
  const long slices = static_cast<long>(s.span_ms / s.step_ms) + 1;
  const long points = static_cast<long>(std::log2(s.f_hi / s.f_lo) * s.points_per_octave) + 1;
  const long rise = std::lround(s.rise_ms * rate / 1000.0);
  const long fall = std::max(1L, std::lround(s.window_ms * rate / 1000.0));
  std::vector<double> freq(static_cast<size_t>(points));
  for (long i = 0; i < points; ++i)
    freq[static_cast<size_t>(i)] = s.f_lo * std::exp2(static_cast<double>(i) / s.points_per_octave);

  // Zero padding to four times the window puts bins a quarter of its
  // resolution apart, so power interpolated between them is exact enough.
  const long size = FftSize(4 * (rise + fall));
  const double bin_hz = rate / static_cast<double>(size);
  for (long k = 0; k < slices; ++k) {
    WaterfallSlice slice;
    slice.time_ms = static_cast<double>(k) * s.step_ms;
    const long at = direct + std::lround(slice.time_ms * rate / 1000.0);
    const std::vector<double> power =
        PowerSpectrum(WindowedSegment(ir, count, at, rise, fall, fall, false, size));
    slice.freq = freq;
    for (double f : freq)
      slice.db.push_back(10.0 * std::log10(std::max(PowerAt(power, bin_hz, f), 1e-30)));
    out->push_back(std::move(slice));
  }
  return true;
}
