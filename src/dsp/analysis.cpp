// Sync detection and per-band analysis of a recording.
#include "dsp/analysis.h"

#include <algorithm>
#include <cmath>

#include "dsp/band_plan.h"
#include "dsp/levels.h"

Peak FindPeak(const int32_t* samples, long count) {
  // Signed values are compared: the pulse's positive peak is the mark.
  Peak best;
  for (long i = 0; i < count; ++i) {
    if (samples[i] > best.value) {
      best.value = samples[i];
      best.index = static_cast<int>(i);
    }
  }
  return best;
}

SyncPulse FindSync(const int32_t* window, long count, long sync_out) {
  SyncPulse sync;
  sync.peak = FindPeak(window, count);
  const SignalLevels before = MeasureLevels(window, count, 0, sync.peak.index - kSyncGuard);
  const SignalLevels after = MeasureLevels(window, count, sync.peak.index + kSyncGuard + 1, count);
  const double measured = static_cast<double>(before.count + after.count);
  if (measured > 0)
    sync.noise = std::sqrt(
        (before.rms * before.rms * before.count + after.rms * after.rms * after.count) / measured);
  sync.stands_out = sync.peak.value > kSyncMargin * std::max(sync.noise, 1.0);
  sync.found = sync.stands_out && sync.peak.index >= sync_out - kSyncEarliest;
  return sync;
}

BandAnalysis Analyze(long total, int bands, const double* freqs, const int32_t* ch1,
                     long start_offset, const double* hi, long lead) {
  BandSums sums = StartBandSums(bands);
  BandAnalysis result;

  // Sweep sample i was played at lead + i and is recorded at s0 + i. The
  // pass covers the N sweep samples only (the frequency table holds no
  // more) and skips those whose recorded frame lies outside [0, total).
  // The lead is bounded as the sweep generator bounds it.
  if (total > 0 && bands > 0 && start_offset > -total && start_offset < total) {
    if (lead < 0) lead = 0;
    if (lead > total) lead = total;
    const long n = total - 2 * lead;
    const long s0 = lead + start_offset;
    const long first = s0 < 0 ? -s0 : 0;
    const long last = n < total - s0 ? n : total - s0;
    for (long i = first; i < last; ++i) {
      const double x = std::fabs(static_cast<double>(ch1[s0 + i]));
      AddToBand(&sums, hi, freqs[i], x);
      if (x > result.peak) result.peak = x;
    }
  }
  result.levels = LevelsRelativeToLoudest(BandMeans(sums));
  for (size_t k = 0; k < sums.count.size(); ++k)
    if (sums.count[k] == 0) result.missing.push_back(static_cast<int>(k + 1));
  return result;
}
