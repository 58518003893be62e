#include "room_model.h"

#include <cmath>

namespace vcard {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullScale = 8388608.0;

// splitmix64: a small generator whose sequence depends on the seed alone.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

Biquad MakeBiquad(const FilterSpec& filter, double rate) {
  const double w0 = 2.0 * kPi * filter.freq / rate;
  const double cw = std::cos(w0);
  const double alpha = std::sin(w0) / (2.0 * filter.q);
  const double a = std::pow(10.0, filter.gain_db / 40.0);
  const double sa = 2.0 * std::sqrt(a) * alpha;
  double b0, b1, b2, a0, a1, a2;
  switch (filter.type) {
    case FilterType::kPeak:
      b0 = 1.0 + alpha * a;
      b1 = -2.0 * cw;
      b2 = 1.0 - alpha * a;
      a0 = 1.0 + alpha / a;
      a1 = -2.0 * cw;
      a2 = 1.0 - alpha / a;
      break;
    case FilterType::kLowShelf:
      b0 = a * ((a + 1.0) - (a - 1.0) * cw + sa);
      b1 = 2.0 * a * ((a - 1.0) - (a + 1.0) * cw);
      b2 = a * ((a + 1.0) - (a - 1.0) * cw - sa);
      a0 = (a + 1.0) + (a - 1.0) * cw + sa;
      a1 = -2.0 * ((a - 1.0) + (a + 1.0) * cw);
      a2 = (a + 1.0) + (a - 1.0) * cw - sa;
      break;
    case FilterType::kHighShelf:
      b0 = a * ((a + 1.0) + (a - 1.0) * cw + sa);
      b1 = -2.0 * a * ((a - 1.0) + (a + 1.0) * cw);
      b2 = a * ((a + 1.0) + (a - 1.0) * cw - sa);
      a0 = (a + 1.0) - (a - 1.0) * cw + sa;
      a1 = 2.0 * ((a - 1.0) - (a + 1.0) * cw);
      a2 = (a + 1.0) - (a - 1.0) * cw - sa;
      break;
    case FilterType::kHighPass:
    default:
      b0 = (1.0 + cw) / 2.0;
      b1 = -(1.0 + cw);
      b2 = (1.0 + cw) / 2.0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * cw;
      a2 = 1.0 - alpha;
      break;
  }
  Biquad q;
  q.b0 = b0 / a0;
  q.b1 = b1 / a0;
  q.b2 = b2 / a0;
  q.a1 = a1 / a0;
  q.a2 = a2 / a0;
  return q;
}

void InitRoomModel(const CardSettings& settings, unsigned rate, RoomModel* model) {
  model->gain = std::pow(10.0, settings.gain_db / 20.0);
  model->chain.clear();
  for (const FilterSpec& f : settings.filters) model->chain.push_back(MakeBiquad(f, rate));
  // Uniform noise in [-w, w] has an RMS of w / sqrt(3).
  model->noise_half_width =
      settings.noise ? kFullScale * std::pow(10.0, settings.noise_dbfs / 20.0) * std::sqrt(3.0) : 0.0;
  model->rng = settings.seed;
}

int32_t Clip24(double value) {
  if (!(value > -8388608.0)) return -8388608;  // also catches NaN
  if (value > 8388607.0) return 8388607;
  return static_cast<int32_t>(std::nearbyint(value));
}

int32_t RoomStep(RoomModel* m, int32_t sample) {
  double v = sample * m->gain;
  for (Biquad& q : m->chain) {
    const double y = q.b0 * v + q.b1 * q.x1 + q.b2 * q.x2 - q.a1 * q.y1 - q.a2 * q.y2;
    q.x2 = q.x1;
    q.x1 = v;
    q.y2 = q.y1;
    q.y1 = y;
    v = y;
  }
  if (m->noise_half_width > 0) {
    // 53 random bits give a uniform value in [0, 1).
    const double u = static_cast<double>(NextRandom(&m->rng) >> 11) * (1.0 / 9007199254740992.0);
    v += (2.0 * u - 1.0) * m->noise_half_width;
  }
  return Clip24(v);
}

}  // namespace vcard
