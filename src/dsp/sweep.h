// The sine sweep: one description that generates the signal (any stretch of
// it, so that a long sweep can be made period by period while it plays),
// gives the nominal frequency of each sweep frame and the range it covers,
// and writes and reads its own metadata lines.
//
// The signal is lead_frames of silence, the sweep (repeated back to back
// `repeats` times), tail_frames of silence, as 32-bit samples on the 24-bit
// scale. Two kinds:
// - linear: frame i sounds at start + i * (end - start) / step_frames; the
//   phase is the integral of that frequency, with the measurement's own value
//   6.28318 for 2 pi. The program divides by its total frame count, so its
//   sweep ends short of end_freq.
// - log (the synchronized exponential sweep): with f1 = start, f2 = end and
//   a nominal length T0, L = round(f1 * T0 / ln(f2 / f1)) / f1 seconds (at
//   least 1 / f1), sweep_frames = round(L * ln(f2 / f1) * rate), and frame n
//   is A * sin(2 pi * f1 * L * (exp(n / (rate * L)) - 1)), sounding at
//   f1 * exp(n / (rate * L)). Because f1 * L is a whole number, the phase at
//   time t + L * ln(k) is k times the phase at t (mod 2 pi): the k-th
//   harmonic's impulse response lies exactly L * ln(k) before the linear one,
//   in phase. The last kLogFadeCycles cycles of the end frequency are faded
//   out with a half-Hann window, so the sweep stops without a click.
#pragma once

#include <cstdint>
#include <string>

#include "dsp/metadata_table.h"

enum class SweepKind { kLinear, kLog };

constexpr double kLogFadeCycles = 4;

struct SweepSpec {
  SweepKind kind = SweepKind::kLinear;
  double start_freq = 0.0;  // Hz: the first sweep frame's frequency
  double end_freq = 0.0;    // Hz: the frequency it sweeps toward
  long sweep_frames = 0;
  long lead_frames = 0;    // silence before the sweep
  long tail_frames = 0;    // silence after it
  unsigned rate = 0;       // frames per second the samples are computed for
  double amplitude = 0.0;  // peak, as a fraction of full scale
  long step_frames = 0;    // linear: the frame count the step divides by
  double log_l = 0.0;      // log: L in seconds
  long repeats = 1;        // sweeps back to back, each sweep_frames long
};

struct FrequencyRange {
  double lo = 0.0, hi = 0.0;  // Hz
};

// The program's sweep: linear from f0 toward f1 over total - 2 * lead frames
// with the step (f1 - f0) / total, lead frames of silence on either side. A
// negative lead counts as none and one past total as total.
SweepSpec ProgramSweep(unsigned long rate, double f0, double f1, long total, double amp, long lead);

// A log sweep from f1 to f2 (0 < f1 < f2) of nominal length `seconds`.
SweepSpec LogSweep(double f1, double f2, double seconds, unsigned rate, double amplitude, long lead,
                   long tail);

// Lead, sweeps and tail frames together.
long SweepTotalFrames(const SweepSpec& desc);

// The nominal frequency of sweep frame i (0 is the first frame of the sweep).
double SweepFrequency(const SweepSpec& desc, long i);

// The first sweep frame whose nominal frequency is f or above, within
// [0, sweep_frames].
long SweepFrameAt(const SweepSpec& desc, double f);

// The nominal frequencies of the first and last sweep frames, played at
// `played_rate` instead of the rate they were computed for.
FrequencyRange SweepRange(const SweepSpec& desc, double played_rate);

// The log sweep's L in seconds, and how long before the linear impulse
// response the k-th harmonic's lies: L * ln(k) seconds (0 for a linear sweep).
double SweepL(const SweepSpec& desc);
double HarmonicOffset(const SweepSpec& desc, int k);

// The frames the log sweep's fade-out covers (0 for a linear sweep).
long SweepFadeFrames(const SweepSpec& desc);

// Frames [first, first + count) of the whole signal into out[0 .. count);
// frames outside it are silence.
void SweepSamples(const SweepSpec& desc, long first, long count, int32_t* out);

// The whole signal into out[0 .. total) and each sweep frame's nominal
// frequency into freqs[0 .. sweep_frames).
void MakeSweep(const SweepSpec& desc, int32_t* out, double* freqs);

// The program's entry: MakeSweep of ProgramSweep(rate, f0, f1, total, amp,
// lead); freqs[0] = f0 whenever total > 0. freqs must hold total entries.
void MakeSweep(unsigned long rate, int32_t* out, double* freqs, double f0, double f1, long total,
               double amp, long lead);

// The sweep's metadata lines: sweep_kind, start_freq, end_freq,
// sweep_frames, lead_frames, tail_frames, sweep_rate, amplitude, then
// step_frames (linear) or log_l (log), and repeats unless it is 1.
void WriteSweepMetadata(const SweepSpec& desc, std::string* text);

// Reads the lines WriteSweepMetadata writes for a signal of total_frames.
// Lines without a sweep kind are from a recording made before sweeps had
// kinds: a linear sweep whose tail is as long as its lead and whose step
// divides by total_frames. Without repeats the sweep plays once. On a fault sets *error to what is wrong and
// leaves *out as it was.
bool ReadSweepMetadata(const MetadataValues& values, long total_frames, SweepSpec* out,
                       std::string* error);
