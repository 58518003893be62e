// Samples are 32-bit integers on a 24-bit scale (full scale 2^23): their
// conversion from computed values, and the level of a stretch of them.
#pragma once

#include <cmath>
#include <cstdint>

constexpr double kFullScale = 8388608.0;  // 2^23

// Converts to a 32-bit integer by truncation toward zero, saturating at the
// int32 limits; a value that is not a number gives 0 (where a plain cast
// would be undefined). Inline: it runs once for every sample generated.
inline int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Amplitude ratio to decibels: 20 * log10(x).
double RtodB(double x);

// A sample value's level relative to full scale, in dB.
double DbFullScale(double sample);

struct SignalLevels {
  long count = 0;           // samples measured
  double rms = 0.0;         // root mean square, on the 24-bit scale
  double peak = 0.0;        // largest magnitude
  bool full_scale = false;  // a sample at -8388608 or 8388607
};

// Measures samples[first, last), limited to samples[0, count); a range
// outside the samples measures nothing (count 0, all levels 0).
SignalLevels MeasureLevels(const int32_t* samples, long count, long first, long last);
