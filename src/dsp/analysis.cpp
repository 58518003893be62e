// Sync detection and per-band analysis of a recording.
#include "dsp/analysis.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

const double kSampleToFraction = 1.1920928955078125e-07;  // 2^-23
// Level shown for a band with nothing measured (sum 0).
const double kSilentLevel = -144.0;

// Appends printf-style text to `text`. Rows are formatted through a small
// line buffer; a longer row (huge band edges) is formatted straight into
// the string instead of being cut or overflowing.
void AppendFormat(std::string& text, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line) {
    text.append(line, static_cast<size_t>(n));
  } else if (n >= 0) {
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[at], static_cast<size_t>(n) + 1, format, again);
    text.resize(at + static_cast<size_t>(n));
  }
  va_end(again);
  va_end(args);
}

}  // namespace

double RtodB(double x) { return 20 * std::log10(x); }

void FormatReport(int bands, const double* lo, const double* hi, const double* level,
                  std::string& report) {
  report.clear();
  report.reserve(64 + 32 * static_cast<size_t>(bands > 0 ? bands : 0));
  report += "Results:\n";
  report += "Band\tRange (Hz)\tdB\n";
  for (int k = 0; k < bands; ++k)
    AppendFormat(report, "%i\t%.0f\t%.0f\t%.1f\n", k + 1, lo[k], hi[k], level[k]);
}

int FindPeakIndex(const int32_t* samples, long count, double* peak) {
  // Signed values are compared: the pulse's positive peak is the mark.
  double best = 0.0;
  int index = 0;
  for (long i = 0; i < count; ++i) {
    if (samples[i] > best) {
      best = samples[i];
      index = static_cast<int>(i);
    }
  }
  if (peak) *peak = best;
  return index;
}

int FindPeak(const int32_t* samples, long count, double* peak) {
  double best = 0.0;
  const int index = FindPeakIndex(samples, count, &best);
  std::printf("Ch 2 (sync): Return Level = %.1f dB\n", RtodB(best * kSampleToFraction));
  if (peak) *peak = best;
  return index;
}

void Analyze(long total, int bands, const double* freqs, const int32_t* ch1,
             long start_offset, const double* lo, const double* hi,
             std::string& report, long lead) {
  const size_t nbands = bands > 0 ? static_cast<size_t>(bands) : 0;
  std::vector<double> sum(nbands, 0.0), count(nbands, 0.0), level(nbands, 0.0);
  double peak = 0.0;

  // Sweep sample i was played at lead + i and is recorded at s0 + i. The
  // pass covers the N sweep samples only (the frequency table holds no
  // more) and skips those whose recorded frame lies outside [0, total).
  // The lead is bounded as the sweep generator bounds it.
  if (total > 0 && nbands > 0 && start_offset > -total && start_offset < total) {
    if (lead < 0) lead = 0;
    if (lead > total) lead = total;
    const long n = total - 2 * lead;
    const long s0 = lead + start_offset;
    const long first = s0 < 0 ? -s0 : 0;
    const long last = n < total - s0 ? n : total - s0;
    size_t m = 0;
    for (long i = first; i < last; ++i) {
      // The band index only moves upward; the last band also takes every
      // frequency above its upper edge.
      const double f = freqs[i];
      while (m + 1 < nbands && f > hi[m]) ++m;
      const double x = std::fabs(static_cast<double>(ch1[s0 + i]));
      sum[m] += x;
      count[m] += 1;
      if (x > peak) peak = x;
    }
  }

  // Mean absolute value per band in dB relative to the loudest band. A band
  // with a sum of 0 has nothing to compare and shows the silent level.
  double reference = 0.0;
  for (size_t k = 0; k < nbands; ++k) {
    level[k] = sum[k] > 0 ? sum[k] / count[k] : kSilentLevel;
    if (level[k] > reference) reference = level[k];
  }
  for (size_t k = 0; k < nbands; ++k)
    level[k] = sum[k] > 0 ? RtodB(level[k] / reference) : kSilentLevel;

  FormatReport(bands, lo, hi, level.data(), report);
  std::printf("%s", report.c_str());

  for (size_t k = 0; k < nbands; ++k)
    if (count[k] == 0) std::printf("Band %i is missing data\n", static_cast<int>(k + 1));
  std::printf("Ch 1 (sweep): Return Level = %.1f dB\n", RtodB(peak * kSampleToFraction));
}
