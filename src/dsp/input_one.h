// What the microphone on input 1 recorded, judged from its own samples: a
// sweep that barely rises above the background (a dead microphone, no
// phantom power, the gain at zero), a sweep that reached full scale
// (clipping), and the signal-to-noise ratio of the sweep against the silence
// recorded before it, broadband and in the bass (20-200 Hz, through a
// fourth-order Butterworth band-pass).
//
// The samples are taken a stretch at a time, so that a recording of any
// length can be judged while it is captured or read back; CheckInputOne does
// it for a recording held whole.
#pragma once

#include <cstdint>

#include "dsp/biquad.h"

// Recorded frames [from, to); an empty or reversed range holds nothing.
struct FrameRange {
  long from = 0, to = 0;
};

struct InputOneStretches {
  FrameRange noise;  // the silence before the sweep
  FrameRange sweep;  // the sweep (all its repeats)
  FrameRange bass;   // the sweep (or a part) for its 20-200 Hz power; empty: not measured
};

// A sweep whose peak stays below -60 dBFS, or whose RMS is less than 10 dB
// above a background of at least a tenth of a second, counts as not heard.
constexpr double kFaintPeak = 8388608.0 / 1000.0;
constexpr double kHeardMargin = 3.1622776601683795;  // 10 dB in amplitude

// Bass signal-to-noise below this makes the bass unreliable.
constexpr double kBassSnrWarning = 20.0;  // dB

// What to tell the user of each, after "Warning: ".
constexpr char kBarelyHeardText[] =
    "the sweep on input 1 barely rises above the background; check the microphone, its phantom "
    "power and the input gain.";
constexpr char kClippedText[] =
    "input 1 clipped during the sweep; lower the output volume or the input gain.";

struct InputOneMeter {
  InputOneStretches at;
  long min_noise = 1;  // frames of background the measures need
  Biquad band[4];
  double noise = 0, sweep = 0, band_noise = 0, band_sweep = 0;  // sums of squares
  long noise_count = 0, sweep_count = 0, band_noise_count = 0, band_sweep_count = 0;
  double peak = 0;  // largest magnitude within the sweep
  bool full_scale = false;
};

struct InputOneCheck {
  bool dead = false;     // the sweep barely rises above the background
  bool clipped = false;  // a sample of the sweep at -8388608 or 8388607
  double peak = 0.0;     // the sweep's largest magnitude
  // dB, NaN where not measured (no background or no sweep recorded); the
  // background counts at least the 24-bit scale's rounding noise.
  double snr_db, bass_snr_db;
};

// A meter for a recording at `rate` frames per second.
InputOneMeter StartInputOne(const InputOneStretches& stretches, unsigned rate);
// Takes recorded frames [first, first + count).
void AddInputOne(InputOneMeter* meter, const int32_t* samples, long first, long count);
InputOneCheck FinishInputOne(const InputOneMeter& meter);

// The same for samples[0 .. count).
InputOneCheck CheckInputOne(const int32_t* samples, long count, const InputOneStretches& stretches,
                            unsigned rate);
