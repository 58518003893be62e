#include "console/settings.h"

#include <cmath>

#include <string>

#include "console/test_run.h"
#include "dsp/band_plan.h"
#include "dsp/levels.h"

const char* CheckQ(double q) {
  if (!std::isfinite(q) || q <= 0.0) return "Q must be a number above 0.";
  return nullptr;
}

const char* CheckBands(long bands) {
  static const std::string refusal =
      "Number of bands must be from 0 to " + std::to_string(kMaxBands) + ".";
  if (bands < 0 || bands > kMaxBands) return refusal.c_str();
  return nullptr;
}

const char* CheckStartFreq(double hz) {
  // Nothing above half the sample rate can be measured.
  if (!std::isfinite(hz) || hz <= 0.0 || hz >= kSampleRate / 2)
    return "Starting frequency must be above 0 and below 24000 Hz.";
  return nullptr;
}

const char* CheckSweepLength(double seconds) {
  // The run's frame count, sweep plus lead and tail, must fit 32 bits.
  if (!std::isfinite(seconds) || seconds < 0.0 ||
      static_cast<double>(TruncToInt32(seconds * kSampleRate)) + 2 * kLeadFrames > INT32_MAX)
    return "Sweep length must be from 0 to 44738 seconds.";
  return nullptr;
}

bool ApplyPreset(long preset, TestSettings& settings) {
  struct Preset {
    double start_freq, q;
    int bands;
  };
  static const Preset kPresets[] = {
      {18.0, 4.0, 31}, {18.0, 1.3, 12}, {18.0, 6.0, 20}, {18.0, 2.0, 8}, {300.0, 5.0, 16},
  };
  if (preset < 1 || preset > 5) return false;
  const Preset& p = kPresets[preset - 1];
  settings.start_freq = p.start_freq;
  settings.q = p.q;
  settings.bands = p.bands;
  return true;
}
