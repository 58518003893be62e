#include "dsp/input_one.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The RMS of rounding to whole steps: the quietest background there is.
const double kRoundingNoise = 1.0 / std::sqrt(12.0);

bool Within(const FrameRange& r, long i) { return i >= r.from && i < r.to; }

double Db(double energy, long count, double noise, long noise_count) {
  if (count == 0 || noise_count == 0) return std::numeric_limits<double>::quiet_NaN();
  const double floor = kRoundingNoise * kRoundingNoise;
  return 10 * std::log10(energy / count / std::max(noise / noise_count, floor));
}

}  // namespace

InputOneMeter StartInputOne(const InputOneStretches& stretches, unsigned rate) {
  InputOneMeter m;
  m.at = stretches;
  m.min_noise = static_cast<long>(rate / 10);
  // Fourth-order Butterworth high-pass at 20 Hz and low-pass at 200 Hz.
  const double q[2] = {0.5411961001461970, 1.3065629648763766};
  for (int k = 0; k < 2; ++k) {
    m.band[k] = MakeBiquad({FilterType::kHighPass, 20.0, 0.0, q[k]}, rate);
    m.band[2 + k] = MakeBiquad({FilterType::kLowPass, 200.0, 0.0, q[k]}, rate);
  }
  return m;
}

void AddInputOne(InputOneMeter* m, const int32_t* samples, long first, long count) {
  const long end = first + count;
  // The frames of stretch r among these, as indices into samples.
  auto from = [&](const FrameRange& r) { return std::max(r.from, first) - first; };
  auto to = [&](const FrameRange& r) { return std::min(r.to, end) - first; };
  for (long j = from(m->at.noise); j < to(m->at.noise); ++j)
    m->noise += static_cast<double>(samples[j]) * samples[j], ++m->noise_count;
  for (long j = from(m->at.sweep); j < to(m->at.sweep); ++j) {
    const double x = samples[j];
    m->sweep += x * x;
    ++m->sweep_count;
    m->peak = std::max(m->peak, std::fabs(x));
    if (samples[j] == -8388608 || samples[j] == 8388607) m->full_scale = true;
  }
  // The band-pass runs over every frame once there is a bass stretch, and
  // settles for a tenth of a second from the first.
  if (m->at.bass.to <= m->at.bass.from) return;
  const FrameRange band_noise = {m->at.noise.from + m->min_noise, m->at.noise.to};
  for (long j = 0; j < count; ++j) {
    double y = samples[j];
    for (Biquad& b : m->band) y = BiquadStep(&b, y);
    if (Within(band_noise, first + j)) m->band_noise += y * y, ++m->band_noise_count;
    if (Within(m->at.bass, first + j)) m->band_sweep += y * y, ++m->band_sweep_count;
  }
}

InputOneCheck FinishInputOne(const InputOneMeter& m) {
  InputOneCheck c;
  const bool background = m.noise_count >= m.min_noise;
  c.snr_db = background ? Db(m.sweep, m.sweep_count, m.noise, m.noise_count)
                        : std::numeric_limits<double>::quiet_NaN();
  c.bass_snr_db = m.band_noise_count >= m.min_noise / 2
                      ? Db(m.band_sweep, m.band_sweep_count, m.band_noise, m.band_noise_count)
                      : std::numeric_limits<double>::quiet_NaN();
  if (m.sweep_count == 0) return c;  // nothing of a sweep was recorded
  const double rms = std::sqrt(m.sweep / m.sweep_count);
  c.dead = m.peak < kFaintPeak ||
           (background && rms < kHeardMargin * std::sqrt(m.noise / m.noise_count));
  c.clipped = m.full_scale;
  c.peak = m.peak;
  return c;
}

InputOneCheck CheckInputOne(const int32_t* samples, long count, const InputOneStretches& stretches,
                            unsigned rate) {
  InputOneMeter m = StartInputOne(stretches, rate);
  AddInputOne(&m, samples, 0, count);
  return FinishInputOne(m);
}
