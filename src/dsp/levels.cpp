#include "dsp/levels.h"

#include <cmath>

double RtodB(double x) { return 20 * std::log10(x); }

double DbFullScale(double sample) { return RtodB(sample / kFullScale); }

SignalLevels MeasureLevels(const int32_t* samples, long count, long first, long last) {
  SignalLevels levels;
  if (first < 0) first = 0;
  if (last > count) last = count;
  double energy = 0.0;
  for (long i = first; i < last; ++i) {
    const double x = samples[i];
    energy += x * x;
    if (std::fabs(x) > levels.peak) levels.peak = std::fabs(x);
    if (samples[i] == -8388608 || samples[i] == 8388607) levels.full_scale = true;
  }
  if (last > first) {
    levels.count = last - first;
    levels.rms = std::sqrt(energy / static_cast<double>(levels.count));
  }
  return levels;
}
