#include "dsp/band_edges.h"

#include <cmath>

int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

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
