#include "room_model.h"

#include <cmath>

namespace vcard {
namespace {

constexpr double kFullScale = 8388608.0;

// splitmix64: a small generator whose sequence depends on the seed alone.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

void InitRoomModel(const CardSettings& settings, unsigned rate, RoomModel* model) {
  model->gain = std::pow(10.0, settings.gain_db / 20.0);
  model->reflections = settings.reflections;
  size_t ring = 1;
  for (const Reflection& r : settings.reflections)
    while (ring <= static_cast<size_t>(r.delay)) ring *= 2;
  model->history.assign(settings.reflections.empty() ? 0 : ring, 0);
  model->history_pos = 0;
  model->chain.clear();
  for (const FilterSpec& f : settings.filters) model->chain.push_back(MakeBiquad(f, rate));
  // Uniform noise in [-w, w] has an RMS of w / sqrt(3); none at -inf dBFS.
  model->noise_half_width =
      kFullScale * std::pow(10.0, settings.noise_dbfs / 20.0) * std::sqrt(3.0);
  model->rng = settings.seed;
}

int32_t Clip24(double value) {
  if (!(value > -8388608.0)) return -8388608;  // also catches NaN
  if (value > 8388607.0) return 8388607;
  return static_cast<int32_t>(std::nearbyint(value));
}

int32_t RoomStep(RoomModel* m, int32_t sample) {
  double direct = sample;
  if (!m->history.empty()) {
    const size_t mask = m->history.size() - 1;
    m->history[m->history_pos] = sample;
    for (const Reflection& r : m->reflections)
      direct += r.gain * m->history[(m->history_pos - static_cast<size_t>(r.delay)) & mask];
    m->history_pos = (m->history_pos + 1) & mask;
  }
  double v = direct * m->gain;
  for (Biquad& q : m->chain) v = BiquadStep(&q, v);
  if (m->noise_half_width > 0) {
    // 53 random bits give a uniform value in [0, 1).
    const double u = static_cast<double>(NextRandom(&m->rng) >> 11) * (1.0 / 9007199254740992.0);
    v += (2.0 * u - 1.0) * m->noise_half_width;
  }
  return Clip24(v);
}

}  // namespace vcard
