// What the microphone channel goes through between output 1 and input 1:
// reflections (delayed, scaled copies of the direct sound), a gain, a chain
// of biquad filters, seeded white noise, and the 24-bit limits of the
// converter. Its exact response is
//   H(f) = gain * (1 + sum g_i e^(-j 2 pi f d_i / rate)) * prod biquad_k(f).
#pragma once

#include <cstdint>
#include <vector>

#include "card_settings.h"
#include "dsp/biquad.h"

namespace vcard {

struct RoomModel {
  double gain = 1.0;
  std::vector<Reflection> reflections;
  std::vector<int32_t> history;  // the direct sound's past samples, a ring
  size_t history_pos = 0;        // where the next sample goes
  std::vector<Biquad> chain;
  double noise_half_width = 0.0;  // uniform noise in [-w, w]; 0 for none
  uint64_t rng = 0;
};

// Sets up the model for the settings at the granted rate, with clean state.
void InitRoomModel(const CardSettings& settings, unsigned rate, RoomModel* model);

// Passes one sample (24-bit scale) through the model; the result is rounded
// and clipped to -8388608 .. 8388607.
int32_t RoomStep(RoomModel* model, int32_t sample);

// Limits a value to the 24-bit sample range.
int32_t Clip24(double value);

}  // namespace vcard
