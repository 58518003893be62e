// Level of a stretch of recorded samples: RMS, peak and full-scale hits.
#pragma once

#include <cstdint>

struct SignalLevels {
  long count = 0;           // samples measured
  double rms = 0.0;         // root mean square, on the 24-bit scale
  double peak = 0.0;        // largest magnitude
  bool full_scale = false;  // a sample at -8388608 or 8388607
};

// Measures samples[first, last), limited to samples[0, count); a range
// outside the samples measures nothing (count 0, all levels 0).
SignalLevels MeasureLevels(const int32_t* samples, long count, long first, long last);
