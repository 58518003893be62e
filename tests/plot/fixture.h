// Result files for the plot tests, written the way the measurement program
// appends its blocks.
#pragma once

#include <cstdio>
#include <string>

constexpr char kHead[] = "Results:\nBand\tRange (Hz)\tdB\n";

// One block of `bands` bands from `start` with the given Q; band k (from 0)
// gets level(k).
template <typename Level>
std::string ResultBlock(double start, double q, int bands, Level level) {
  std::string out = kHead;
  double lo = start;
  for (int k = 0, x = static_cast<int>(start); k < bands; ++k, lo = x) {
    x = static_cast<int>(x / q + x);
    char row[128];
    snprintf(row, sizeof row, "%i\t%.0f\t%.0f\t%.1f\n", k + 1, lo, double(x), level(k));
    out += row;
  }
  return out;
}

// Three runs with different band plans: 31 bands 18-16175 Hz, 8 bands
// 18-454 Hz whose band 4 (60-90 Hz) has no data, 16 bands 300-5524 Hz.
// The blocks start on lines 1, 34 and 44.
inline std::string ThreeRuns() {
  return ResultBlock(18, 4, 31, [](int k) { return -1.5 * (k % 7); }) +
         ResultBlock(18, 2, 8, [](int k) { return k == 3 ? -144.0 : -2.0 * (k % 3); }) +
         ResultBlock(300, 5, 16, [](int k) { return -0.5 * k; });
}
