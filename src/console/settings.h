// The test settings, kept in memory for the life of the process.
#pragma once

#include <string>

struct TestSettings {
  double q = 4.0;
  int bands = 31;
  double start_freq = 18.0;    // Hz
  double sweep_length = 10.0;  // seconds
  std::string device = "default";
};

// Checks a value for a setting. Each returns nullptr when the value is
// accepted, otherwise the one-line message that tells the user why not.
const char* CheckQ(double q);
const char* CheckBands(long bands);
const char* CheckStartFreq(double hz);
const char* CheckSweepLength(double seconds);

// Applies preset 1 to 5 (start frequency, Q and band count); other numbers
// change nothing and return false.
bool ApplyPreset(long preset, TestSettings& settings);
