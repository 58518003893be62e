#include "dsp/band_plan.h"

#include <cmath>

#include "dsp/levels.h"

double FindHighFreq(double q, int bands, double start, double* lo, double* hi) {
  int32_t x = TruncToInt32(start);
  lo[0] = start;
  if (bands <= 0) return x;
  for (int k = 0; k < bands; ++k) {
    x = TruncToInt32(static_cast<double>(x) / q + static_cast<double>(x));
    hi[k] = x;
  }
  for (int k = 1; k < bands; ++k) lo[k] = hi[k - 1];
  return hi[bands - 1];
}

BandSums StartBandSums(int bands) {
  BandSums sums;
  sums.sum.assign(bands > 0 ? static_cast<size_t>(bands) : 0, 0.0);
  sums.count.assign(sums.sum.size(), 0.0);
  return sums;
}

std::vector<double> BandMeans(const BandSums& sums) {
  std::vector<double> mean(sums.sum.size());
  for (size_t k = 0; k < mean.size(); ++k)
    mean[k] = sums.count[k] > 0 ? sums.sum[k] / sums.count[k] : -1.0;
  return mean;
}

std::vector<double> LevelsRelativeToLoudest(const std::vector<double>& means) {
  double loudest = 0.0;
  for (double m : means)
    if (m > loudest) loudest = m;
  std::vector<double> level(means.size());
  for (size_t k = 0; k < means.size(); ++k)
    level[k] = means[k] > 0 ? RtodB(means[k] / loudest) : kNoDataLevel;
  return level;
}
