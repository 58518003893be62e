// One measurement from start to finish: signals, playback and capture,
// alignment, analysis, report and the appended result file.
#pragma once

#include <cstdint>
#include <string>

#include "console/settings.h"
#include "dsp/band_plan.h"

constexpr int kSampleRate = 48000;  // frames per second, requested and used
constexpr int kLeadFrames = 24000;  // silence before and after the sweep
constexpr int kSyncFrames = 40384;  // sync pulse array and captured sync window
// The sweep's peak as a fraction of full scale: 6 dB below it, as the
// start-up warning tells the user.
constexpr double kSweepAmplitude = 0.5;

// Arrays that live for the whole process and are rewritten by every run.
struct RunArrays {
  int32_t pulse[kSyncFrames];
  int32_t sync_window[kSyncFrames];
};

// The file every result table is appended to, in the working folder.
constexpr const char* kResultFile = "sweep_out.txt";

// Runs one test with the settings and the band plan of this menu cycle,
// including the closing continue prompt (read into `token`). Returns false
// when standard input ended at that prompt.
bool RunTest(const TestSettings& settings, const BandTable& plan, double end_freq,
             RunArrays& arrays, std::string& token);
