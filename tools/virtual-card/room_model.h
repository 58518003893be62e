// What the microphone channel goes through between output 1 and input 1:
// the speaker's distortion, reflections (delayed, scaled copies of the
// direct sound), a diffuse reverberant tail, a gain and a chain of biquad
// filters, all at the playback clock; then, at the microphone, seeded white
// noise, pink noise and rumble, and the 24-bit limits of the converter. Its
// exact linear response is
//   H(f) = gain * (1 + sum g_i e^(-j 2 pi f d_i / rate) + T(f)) * prod biquad_k(f)
// with T the tail sequence's transform (README.md gives every formula).
#pragma once

#include <cstdint>
#include <vector>

#include "card_settings.h"
#include "dsp/biquad.h"
#include "dsp/convolver.h"

namespace vcard {

// Seeded white noise through a chain of filters, scaled to an RMS level.
struct ColouredNoise {
  double scale = 0.0;  // 0 for none
  std::vector<Biquad> chain;
  uint64_t rng = 0;
};

struct RoomModel {
  Distortion distortion;
  double gain = 1.0;
  std::vector<Reflection> reflections;
  std::vector<double> history;  // the direct sound's past samples, a ring
  size_t history_pos = 0;       // where the next sample goes
  std::vector<Biquad> chain;
  bool has_tail = false;
  Convolver tail;                    // on the direct sound, advanced by its block
  std::vector<double> direct, late;  // scratch: the direct sound and the tail
  double noise_half_width = 0.0;     // uniform noise in [-w, w]; 0 for none
  uint64_t rng = 0;
  ColouredNoise pink, rumble;
  double loop_half_width = 0.0;  // channel 2's noise
  uint64_t loop_rng = 0;
};

// Sets up the model for the settings at the granted rate, with clean state.
// False when the tail cannot be set up (no memory).
bool InitRoomModel(const CardSettings& settings, unsigned rate, RoomModel* model);

// The room's sound at the microphone, before its noise, for `count` played
// channel-1 samples (24-bit scale) in a row.
void RoomSound(RoomModel* model, const int32_t* played, double* sound, long count);

// The microphone's sample of `sound`: its noises added, rounded and clipped to
// -8388608 .. 8388607.
int32_t MicSample(RoomModel* model, double sound);

// Channel 2's sample of `cable`: its noise added, rounded and clipped.
int32_t LoopSample(RoomModel* model, double cable);

// The tail's sequence, from the direct sound's time on (zero before
// `tail_delay`); empty when there is no tail.
std::vector<double> TailSequence(const CardSettings& settings, unsigned rate);

// Limits a value to the 24-bit sample range.
int32_t Clip24(double value);

}  // namespace vcard
