#include "dsp/decay.h"

#include <algorithm>
#include <cmath>

#include "dsp/octave_bands.h"

namespace {

// A line level = slope * index + intercept, in dB over samples.
struct Line {
  double slope = 0.0, intercept = 0.0;
};

// The least-squares line through (x0 + i * dx, y[i]) for i in [0, count),
// count >= 2. The sums run about the first point, so large indices lose
// nothing.
Line FitLine(const double* y, long count, double x0, double dx) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (long i = 0; i < count; ++i) {
    const double x = static_cast<double>(i) * dx;
    sx += x;
    sy += y[i];
    sxx += x * x;
    sxy += x * y[i];
  }
  const double n = static_cast<double>(count);
  Line line;
  line.slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  line.intercept = (sy - line.slope * sx) / n - line.slope * x0;
  return line;
}

// Power in dB with a floor far below anything measured, so that silence
// still orders.
double Db(double power, double floor) { return 10.0 * std::log10(std::max(power, floor)); }

double MeanOf(const std::vector<double>& e, long from, long to) {
  double sum = 0.0;
  for (long i = from; i < to; ++i) sum += e[static_cast<size_t>(i)];
  return to > from ? sum / static_cast<double>(to - from) : 0.0;
}

// The squared response averaged over intervals of `width` samples from
// `from` on; interval j is centred on from + (j + 1/2) * width.
struct Envelope {
  long from = 0, width = 1;
  double floor = 0.0;
  std::vector<double> mean, db;
  double Centre(long j) const { return static_cast<double>(from) + (j + 0.5) * width; }
  long Size() const { return static_cast<long>(db.size()); }
};

Envelope Smooth(const std::vector<double>& e, long from, long width, double floor) {
  Envelope env;
  env.from = from;
  env.width = width;
  env.floor = floor;
  const long n = static_cast<long>(e.size());
  for (long at = from; at + width <= n; at += width) {
    env.mean.push_back(MeanOf(e, at, at + width));
    env.db.push_back(Db(env.mean.back(), floor));
  }
  return env;
}

long Loudest(const Envelope& env) {
  return static_cast<long>(std::max_element(env.db.begin(), env.db.end()) - env.db.begin());
}

// The first interval from `j` on at or below `level`; Size() if none.
long FirstBelow(const Envelope& env, long j, double level) {
  while (j < env.Size() && env.db[static_cast<size_t>(j)] > level) ++j;
  return j;
}

// The line through the levels of intervals [first, last) less `noise`'s
// power, widened to two intervals.
bool FitIntervals(const Envelope& env, long first, long last, double noise, Line* line) {
  last = std::min(last, env.Size());
  first = std::max(0L, std::min(first, last - 2));
  if (last - first < 2) return false;
  std::vector<double> db;
  for (long j = first; j < last; ++j)
    db.push_back(Db(env.mean[static_cast<size_t>(j)] - noise, env.floor));
  *line = FitLine(db.data(), last - first, env.Centre(first), static_cast<double>(env.width));
  return line->slope < 0.0;
}

// The first of the squares e[0 .. count) within 20 dB of their peak; count
// when there is no peak.
long Onset(const double* e, long count) {
  const double top = count > 0 ? *std::max_element(e, e + count) : 0.0;
  if (!(top > 0.0) || !std::isfinite(top)) return count;
  long onset = 0;
  while (e[onset] < top * 0.01) ++onset;
  return onset;
}

// Lundeby's iteration over the squares e of a response, from `start` on at
// the earliest. `period` is the band's centre period in samples (0 for a
// broadband response): intervals span at least half of it, so that the
// squared carrier does not ripple.
Truncation Lundeby(const std::vector<double>& e, double rate, double period, long start) {
  Truncation t;
  const long n = static_cast<long>(e.size());
  if (n < 4 || !(rate > 0.0 && rate <= 1e6)) return t;
  const long onset = std::max(start, Onset(e.data(), n));
  if (onset >= n - 4) return t;
  const double floor = *std::max_element(e.begin(), e.end()) * 1e-30;
  const long last_tenth = n - std::max(1L, (n - onset) / 10);
  const long min_width = std::max(1L, std::lround(std::max(0.5 * period, 0.001 * rate)));

  // A first slope from the peak to 10 dB above the noise of the last tenth.
  double noise = MeanOf(e, last_tenth, n);
  Envelope env =
      Smooth(e, onset, std::max(min_width, std::lround(std::max(2 * period, 0.01 * rate))), floor);
  long j0 = env.Size() ? Loudest(env) : 0;
  Line line;
  if (env.Size() < 3 || env.db[static_cast<size_t>(j0)] < Db(noise, floor) + 10.0 ||
      !FitIntervals(env, j0, FirstBelow(env, j0, Db(noise, floor) + 10.0), 0.0, &line))
    return t;
  // Where the line meets a level, within the response.
  auto meets = [&](double level) {
    return std::clamp((level - line.intercept) / line.slope, static_cast<double>(onset),
                      static_cast<double>(n));
  };
  double cross = meets(Db(noise, floor));
  long noise_from = last_tenth;
  for (int pass = 0; pass < 10; ++pass) {
    const double ten_db = 10.0 / -line.slope;  // samples the decay takes to fall 10 dB
    env = Smooth(e, onset,
                 static_cast<long>(std::clamp(ten_db / 5.0, double(min_width), double(n))), floor);
    noise_from = static_cast<long>(std::clamp(cross + ten_db, double(onset), double(last_tenth)));
    noise = MeanOf(e, noise_from, n);
    const double noise_db = Db(noise, floor);
    if (env.Size() < 3) break;
    j0 = Loudest(env);
    const long from = FirstBelow(env, j0, noise_db + 25.0);
    Line late;
    if (!FitIntervals(env, from, FirstBelow(env, from, noise_db + 5.0), noise, &late)) break;
    line = late;
    const double next = meets(noise_db);
    const bool settled = std::fabs(next - cross) <= static_cast<double>(env.width);
    cross = next;
    if (settled) break;
  }
  // A noise segment that still falls at half the decay's rate is decay: the
  // response ended before its noise.
  const long j_noise = static_cast<long>(std::ceil((noise_from - env.from) / double(env.width)));
  Line tail;
  if (env.Size() - j_noise >= 3 && FitIntervals(env, j_noise, env.Size(), 0.0, &tail) &&
      tail.slope < 0.5 * line.slope) {
    noise = 0.0;
    cross = static_cast<double>(n);
  }
  if (!(cross > static_cast<double>(onset))) return t;
  t.found = true;
  t.onset = onset;
  t.point = std::min(n, static_cast<long>(std::lround(cross)));
  t.noise = noise;
  t.late_t60 = -60.0 / line.slope / rate;
  // The line's energy per sample at the truncation point, summed as the
  // geometric series it falls by.
  const double at =
      std::pow(10.0, (line.slope * static_cast<double>(t.point) + line.intercept) / 10.0);
  t.tail = at / (1.0 - std::pow(10.0, line.slope / 10.0));
  return t;
}

// The least-squares decay time over the integrated decay `db` between `top`
// and `bottom` dB, when the decay falls 10 dB below `bottom` before the noise.
DecayTime FitDecay(const std::vector<double>& db, double range_db, double top, double bottom,
                   double rate) {
  DecayTime d;
  d.status = DecayStatus::kTooLittleRange;
  if (range_db < 10.0 - bottom) return d;
  const long n = static_cast<long>(db.size());
  long first = 0;
  while (first < n && db[static_cast<size_t>(first)] > top) ++first;
  long last = first;
  while (last < n && db[static_cast<size_t>(last)] >= bottom) ++last;
  d.status = DecayStatus::kNoDecay;
  if (last - first < 2) return d;
  const Line line = FitLine(&db[static_cast<size_t>(first)], last - first, 0.0, 1.0);
  if (!(line.slope < 0.0)) return d;
  d.seconds = -60.0 / line.slope / rate;
  d.status = DecayStatus::kOk;
  return d;
}

Decay DecayOfSquares(const std::vector<double>& e, double rate, double period, long start) {
  Decay d;
  d.truncation = Lundeby(e, rate, period, start);
  const Truncation& t = d.truncation;
  if (!t.found) return d;
  // Backward integral from the truncation point to the onset, noise removed.
  std::vector<double> curve(static_cast<size_t>(t.point - t.onset + 1));
  double sum = t.tail;
  curve.back() = sum;
  for (long i = t.point - 1; i >= t.onset; --i) {
    sum += e[static_cast<size_t>(i)] - t.noise;
    curve[static_cast<size_t>(i - t.onset)] = sum;
  }
  const double total = curve.front();
  if (!(total > 0.0) || !(t.tail > 0.0)) return d;
  d.range_db = 10.0 * std::log10(total / t.tail);
  for (double& v : curve) v = Db(v / total, 1e-30);
  d.edt = FitDecay(curve, d.range_db, 0.0, -10.0, rate);
  d.t20 = FitDecay(curve, d.range_db, -5.0, -25.0, rate);
  d.t30 = FitDecay(curve, d.range_db, -5.0, -35.0, rate);
  return d;
}

std::vector<double> Squares(const double* x, long count) {
  std::vector<double> e(static_cast<size_t>(std::max(0L, count)));
  for (long i = 0; i < count; ++i) e[static_cast<size_t>(i)] = x[i] * x[i];
  return e;
}

}  // namespace

Truncation FindTruncation(const double* signal, long count, double rate) {
  return Lundeby(Squares(signal, count), rate, 0.0, 0);
}

Decay BandDecayOf(const double* ir, long count, double rate, double centre,
                  double bands_per_octave) {
  long lead = 0;
  const std::vector<double> band = BandFilter(ir, count, rate, centre, bands_per_octave, &lead);
  // The band's decay starts with the sound's arrival, not with the reversed
  // filter's ringing before it.
  const long arrival = Onset(Squares(ir, count).data(), count);
  Decay d = DecayOfSquares(Squares(band.data(), static_cast<long>(band.size())), rate,
                           rate / centre, lead + arrival);
  d.truncation.onset -= lead;
  d.truncation.point -= lead;
  return d;
}

std::vector<BandDecay> OctaveDecays(const double* ir, long count, double rate, double f_lo,
                                    double f_hi) {
  std::vector<BandDecay> out;
  for (int i = 0; i < kOctaveBandCount; ++i) {
    double lo, hi;
    const double centre = OctaveBandCentre(i);
    BandEdges(centre, 1.0, &lo, &hi);
    if (lo < f_lo || hi > f_hi || hi > rate / 2) continue;
    out.push_back({kOctaveBandNominal[i], centre, BandDecayOf(ir, count, rate, centre, 1.0)});
  }
  return out;
}
