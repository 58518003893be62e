#include "room_model.h"

#include <algorithm>
#include <cmath>

#include "dsp/levels.h"

namespace vcard {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Seeds of the random sequences beside the white noise's own `seed`.
constexpr uint64_t kPinkSeed = 0x70696E6B, kRumbleSeed = 0x72756D62, kTailSeed = 0x7461696C,
                   kLoopSeed = 0x6C6F6F70;

// splitmix64: a small generator whose sequence depends on the seed alone.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// 53 random bits as a uniform value in [0, 1).
double Uniform(uint64_t* state) {
  return static_cast<double>(NextRandom(state) >> 11) * (1.0 / 9007199254740992.0);
}

// Uniform noise of RMS `dbfs` relative to full scale has half-width
// RMS * sqrt(3); none at -inf.
double HalfWidth(double dbfs) { return kFullScale * std::pow(10.0, dbfs / 20.0) * std::sqrt(3.0); }

// Pink: one pole and one zero per octave, the zero half an octave above its
// pole, poles from 10 Hz up while the zero stays below 0.45 of the rate.
std::vector<Biquad> PinkChain(double rate) {
  std::vector<Biquad> chain;
  for (double f = 10.0; f * std::sqrt(2.0) < 0.45 * rate; f *= 2) {
    Biquad q;
    q.b1 = -std::exp(-2 * kPi * f * std::sqrt(2.0) / rate);
    q.a1 = -std::exp(-2 * kPi * f / rate);
    chain.push_back(q);
  }
  return chain;
}

// Rumble: the cookbook band-pass (0 dB at its centre), Q 1/sqrt(2), twice.
std::vector<Biquad> RumbleChain(double freq, double rate) {
  const double w0 = 2 * kPi * freq / rate, alpha = std::sin(w0) / (2 * std::sqrt(0.5));
  Biquad q;
  q.b0 = alpha / (1 + alpha);
  q.b2 = -alpha / (1 + alpha);
  q.a1 = -2 * std::cos(w0) / (1 + alpha);
  q.a2 = (1 - alpha) / (1 + alpha);
  return {q, q};
}

// White noise through `chain`, scaled so that its RMS is `dbfs`: the chain's
// power gain is the sum of its squared impulse response, over two seconds.
ColouredNoise MakeNoise(double dbfs, std::vector<Biquad> chain, uint64_t seed, double rate) {
  ColouredNoise n;
  if (!(dbfs > -HUGE_VAL)) return n;
  std::vector<Biquad> probe = chain;
  double power = 0;
  for (long i = 0; i < 2 * static_cast<long>(rate); ++i) {
    double v = i == 0 ? 1.0 : 0.0;
    for (Biquad& q : probe) v = BiquadStep(&q, v);
    power += v * v;
  }
  n.scale = HalfWidth(dbfs) / std::sqrt(power);
  n.chain = std::move(chain);
  n.rng = seed;
  return n;
}

double NextNoise(ColouredNoise* n) {
  double v = 2.0 * Uniform(&n->rng) - 1.0;
  for (Biquad& q : n->chain) v = BiquadStep(&q, v);
  return v * n->scale;
}

}  // namespace

// A train of logarithmic sweeps, one octave per P = 40 ms, one starting
// every P, each with a seeded phase, under an exponential decay: each octave
// always holds one sweep, so every band's energy decays as the envelope does
// instead of fluctuating as noise's would (README.md, "The tail").
std::vector<double> TailSequence(const CardSettings& s, unsigned rate_hz) {
  if (!(s.tail_t60 > 0)) return {};
  const double rate = rate_hz, P = 0.04, f1 = 10.0, f2 = 0.47 * rate;
  const double L = P * std::log2(f2 / f1);  // one sweep's length, seconds
  const long first = -static_cast<long>(std::ceil(L / P));
  const long count = static_cast<long>(std::ceil(2 * s.tail_t60 * rate));
  std::vector<double> w(static_cast<size_t>(count), 0.0);
  uint64_t rng = s.seed ^ kTailSeed;
  for (long m = first; m * P * rate < count; ++m) {
    const double phase = 2 * kPi * Uniform(&rng), start = m * P;
    const long from = std::max(0L, static_cast<long>(std::ceil(start * rate)));
    const long to = std::min(count, static_cast<long>(std::ceil((start + L) * rate)));
    for (long n = from; n < to; ++n) {
      const double t = n / rate - start;
      if (t < 0 || t >= L) continue;
      const double octaves = std::exp2(t / P);  // f(t) / f1
      double a = std::sqrt(octaves);
      if (t < P) a *= std::sin(kPi / 2 * t / P);
      if (L - t < P / 4) a *= std::sin(kPi / 2 * (L - t) / (P / 4));
      w[n] += a * std::sin(2 * kPi * f1 * P * (octaves - 1) / std::log(2.0) + phase);
    }
  }
  const double k = 3 * std::log(10.0) / s.tail_t60;
  double energy = 0;
  for (long n = 0; n < count; ++n) {
    w[n] *= std::exp(-k * n / rate);
    energy += w[n] * w[n];
  }
  const double c = std::sqrt(std::pow(10.0, s.tail_db / 10) / energy);
  std::vector<double> tail(static_cast<size_t>(s.tail_delay + count), 0.0);
  for (long n = 0; n < count; ++n) tail[s.tail_delay + n] = c * w[n];
  return tail;
}

bool InitRoomModel(const CardSettings& settings, unsigned rate, RoomModel* model) {
  model->distortion = settings.distortion;
  model->gain = std::pow(10.0, settings.gain_db / 20.0);
  model->reflections = settings.reflections;
  size_t ring = 1;
  for (const Reflection& r : settings.reflections)
    while (ring <= static_cast<size_t>(r.delay)) ring *= 2;
  model->history.assign(settings.reflections.empty() ? 0 : ring, 0);
  model->history_pos = 0;
  model->chain.clear();
  for (const FilterSpec& f : settings.filters) model->chain.push_back(MakeBiquad(f, rate));
  model->noise_half_width = HalfWidth(settings.noise_dbfs);
  model->rng = settings.seed;
  model->pink = MakeNoise(settings.pink_dbfs, PinkChain(rate), settings.seed ^ kPinkSeed, rate);
  model->rumble = MakeNoise(settings.rumble_dbfs, RumbleChain(settings.rumble_hz, rate),
                            settings.seed ^ kRumbleSeed, rate);
  model->loop_half_width = HalfWidth(settings.loop_noise_dbfs);
  model->loop_rng = settings.seed ^ kLoopSeed;
  // The convolver answers one block late: it gets the tail advanced by a
  // block, which only drops the zeros before the tail's start.
  const std::vector<double> tail = TailSequence(settings, rate);
  model->has_tail = !tail.empty();
  if (!model->has_tail) return true;
  const long block = std::min(settings.tail_delay, 1024L);
  return model->tail.Init(tail.data() + block, static_cast<long>(tail.size()) - block, block);
}

int32_t Clip24(double value) {
  if (!(value > -8388608.0)) return -8388608;  // also catches NaN
  if (value > 8388607.0) return 8388607;
  return static_cast<int32_t>(std::nearbyint(value));
}

void RoomSound(RoomModel* m, const int32_t* played, double* sound, long count) {
  m->direct.resize(static_cast<size_t>(count));
  const double a2 = m->distortion.a2, a3 = m->distortion.a3;
  for (long i = 0; i < count; ++i) {
    const double x = played[i] / kFullScale;
    m->direct[i] = a2 == 0 && a3 == 0 ? played[i] : (x + a2 * x * x + a3 * x * x * x) * kFullScale;
  }
  if (m->has_tail) {
    m->late.resize(static_cast<size_t>(count));
    m->tail.Process(m->direct.data(), m->late.data(), count);
  }
  for (long i = 0; i < count; ++i) {
    double v = m->direct[i];
    if (!m->history.empty()) {
      const size_t mask = m->history.size() - 1;
      m->history[m->history_pos] = m->direct[i];
      for (const Reflection& r : m->reflections)
        v += r.gain * m->history[(m->history_pos - static_cast<size_t>(r.delay)) & mask];
      m->history_pos = (m->history_pos + 1) & mask;
    }
    if (m->has_tail) v += m->late[i];
    v *= m->gain;
    for (Biquad& q : m->chain) v = BiquadStep(&q, v);
    sound[i] = v;
  }
}

int32_t MicSample(RoomModel* m, double v) {
  if (m->noise_half_width > 0) v += (2.0 * Uniform(&m->rng) - 1.0) * m->noise_half_width;
  if (m->pink.scale > 0) v += NextNoise(&m->pink);
  if (m->rumble.scale > 0) v += NextNoise(&m->rumble);
  return Clip24(v);
}

int32_t LoopSample(RoomModel* m, double v) {
  if (m->loop_half_width > 0) v += (2.0 * Uniform(&m->loop_rng) - 1.0) * m->loop_half_width;
  return Clip24(v);
}

}  // namespace vcard
