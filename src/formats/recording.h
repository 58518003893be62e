// The recording every run keeps: a RIFF/WAVE file of both captured inputs
// (24-bit PCM at the granted rate, channel 1 the microphone, channel 2 the
// loopback) whose INFO comment holds everything needed to analyse it.
#pragma once

#include <cstddef>
#include <string>

struct RecordingInfo {
  // The sweep as generated: MakeSweep(sweep_rate, ..., start_freq, end_freq,
  // total_frames, amplitude, lead_frames) gives back the played samples.
  double start_freq = 0.0;
  double end_freq = 0.0;
  long sweep_frames = 0;  // N
  long total_frames = 0;  // N + 2 * lead
  long lead_frames = 0;
  unsigned sweep_rate = 0;  // the rate the signals were computed for
  double amplitude = 0.0;   // fraction of full scale
  // The sync pulse on output 2: its peak and the window searched for it.
  long sync_out = 0;
  long sync_frames = 0;
  // The band plan.
  double q = 0.0;
  int bands = 0;
  // The device and what it granted.
  std::string device;
  unsigned rate = 0;  // granted frames per second
  long period = 0;    // granted period in frames
  long underruns = 0;
  long overruns = 0;
  std::string date;  // UTC, as 2026-01-31T12:00:00Z
};

// The key=value lines stored in the recording's comment. Numbers are written
// so that they read back exactly.
std::string FormatRecordingInfo(const RecordingInfo& info);

// Reads the lines FormatRecordingInfo writes from text[0 .. length), which
// may hold any bytes. Unknown keys are ignored. On a fault returns false,
// leaves *out as it was and sets *error to what is wrong.
bool ParseRecordingInfo(const char* text, size_t length, RecordingInfo* out, std::string* error);

// Saves `frames` frames of a capture block (two non-interleaved channels of
// S24_3LE samples, `stride` bytes apart) as sweep_NNN.wav in the working
// folder, NNN one above the highest number there (the first free one when
// none was removed), so that names sort in run order. The file appears
// whole or not at all and no existing file is replaced. On success sets
// *name; on failure sets *error to "Could not write NAME: reason".
bool SaveRecording(const unsigned char* block, long stride, long frames, const RecordingInfo& info,
                   std::string* name, std::string* error);

// The recording with the highest number in `folder`; empty when none.
std::string NewestRecording(const std::string& folder);
