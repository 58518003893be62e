#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "dsp/analysis.h"
#include "dsp/packing.h"
#include "dsp/signals.h"
#include "dsp/smoothing.h"
#include "dsp/sweep.h"
#include "dsp/transfer.h"

using Doubles = std::vector<double>;
using Samples = std::vector<int32_t>;

// Non-zero in [start, start + rate / 1000), zero elsewhere, 64 guards (7) untouched.
// FindPeak must compare signed values: the trough at 24008 is as deep as the peak.
TEST(SyncPulse, MadeWithinBoundsAndFound) {
  struct Case { unsigned rate; int length, start, index; } cases[] = {
      {48000, 40384, 24000, 24032}, {48000, 24010, 24000, 0}, {48000, 100, 24000, 0},
      {48000, 60, -20, 27}, {0, 10, 0, 0}};
  for (const Case& c : cases) {
    Samples p(c.length + 64, 7);
    const int end = c.start + int(c.rate / 1000);
    EXPECT_EQ(MakePulse(p.data(), c.rate, c.length, c.start), c.index) << c.length;
    for (int i = 0; i < c.length + 64; ++i)  // 2: guard, 1: pulse, 0: silence
      ASSERT_EQ(p[i] == 7 ? 2 : p[i] != 0, i >= c.length ? 2 : i >= c.start && i < end) << i;
    EXPECT_TRUE(c.length != 40384 || (p[24000] == -2087706 && p[24032] == 4194289));
    p[c.index + 1] = p[c.index];  // an equal maximum after the first: the first wins
    const Peak peak = FindPeak(p.data(), c.length);  // 0.0 when nothing is above 0
    EXPECT_TRUE(peak.index == c.index && peak.value == p[c.index]) << c.length;
  }
}

// The pulse came back when it stands 20 dB above the window's own noise (at
// least one step) and not more than a buffer before it was played (24032):
// {noise, shift, peak}.
TEST(SyncPulse, FoundOnlyClearOfTheNoiseAndWhereACardCanRecordIt) {
  const struct { int noise, shift, peak; bool stands_out, found; } cases[] = {
      {0, 64, 4194289, 1, 1}, {40, 64, 4194289, 1, 1}, {40, 0, 0, 0, 0}, {0, 0, 0, 0, 0},
      {0, -1023, 4194289, 1, 1}, {0, -16385, 4194289, 1, 0}, {0, 64, 12, 1, 1}, {0, 64, 9, 0, 0}, {20000, 500, 41943, 0, 0}};
  std::mt19937 rng(5);
  Samples pulse(40384), window(40384);
  MakePulse(pulse.data(), 48000, 40384, 24000);
  for (const auto& c : cases) {
    for (int i = 0, j = -c.shift; i < 40384; ++i, ++j)
      window[i] = int32_t(std::lround(j >= 0 && j < 40384 ? pulse[j] * (c.peak / 4194289.0) : 0)) +
                  (c.noise ? int(rng() % (2 * c.noise + 1)) - c.noise : 0);
    const SyncPulse sync = FindSync(window.data(), 40384, 24032);
    EXPECT_TRUE(sync.stands_out == c.stands_out && sync.found == c.found &&
                (c.peak < 4194289 || sync.peak.index == 24032 + c.shift)) << c.shift << c.peak;
  }
}

static Samples Sweep(double f1, long total, long lead, Doubles& f) {
  Samples out(total + 64, 7);
  f.assign(total + 64, -1.0);
  MakeSweep(48000, out.data(), f.data(), 18.0, f1, total, 0.5, lead);
  for (long i = total; i < total + 64; ++i) EXPECT_TRUE(out[i] == 7 && f[i] == -1.0) << i;
  return Samples(out.begin(), out.begin() + total);
}

// Sign changes per 0.1 s match the table (topping out at 14706 and 22728 Hz) to
// 1.5: aliasing fails, and so does a phase of f * w * t (it sounds at 2f - f0).
TEST(MakeSweep, LayoutTableFrequenciesAndShortBuffers) {
  Doubles f;
  for (double f1 : {16175.0, 25000.0}) {
    Samples out = Sweep(f1, 528000, 24000, f);
    EXPECT_TRUE(f[0] == 18.0 && f[1] == 18.0 + (f1 - 18.0) / 528000 && f[480000] == -1.0);
    for (long i = 0; i < 528000; ++i)  // silent lead and tail; out[24000] is sin 0
      ASSERT_EQ(out[i] != 0, i > 24000 && i < 504000 && std::abs(out[i]) <= 4194304) << i;
    for (long from = 24000, changes = 0; from + 4800 < 504000; from += 4800, changes = 0) {
      for (long j = from + 1; j <= from + 4800; ++j) changes += (out[j - 1] < 0) != (out[j] < 0);
      ASSERT_NEAR(changes, 0.2 * f[from - 24000 + 2400], 1.5) << f1 << " at " << from;
    }
  }
  // No sweep samples, and a lead past the buffer: silence, and only freqs[0] is written.
  EXPECT_TRUE(Sweep(16175.0, 100, 24000, f) == Samples(100, 0) && f[0] == 18.0 && f[1] == -1.0);
  EXPECT_NE(Sweep(16175.0, 100, -5, f)[99], 0);  // a negative lead is none
}

// The log sweep against its definition: L = round(f1 T0 / ln(f2/f1)) / f1 (at
// least 1/f1), N = round(L ln(f2/f1) rate), frame n at f1 exp(n / (rate L)) with
// the sample A sin(2 pi f1 L (exp(n / (rate L)) - 1)), the last 4 cycles of f2
// faded out with a half-Hann window; made stretch by stretch.
TEST(Sweep, LogSweepFollowsItsDefinition) {
  const struct { double f1, f2, t0; unsigned rate; } cases[] = {
      {50, 4000, 1.0, 48000}, {20, 20000, 0.01, 48000}, {1000, 1001, 3.0, 44100}};
  for (const auto& c : cases) {
    const double l = std::max(std::round(c.f1 * c.t0 / std::log(c.f2 / c.f1)), 1.0) / c.f1;
    const long n = std::lround(l * std::log(c.f2 / c.f1) * c.rate);
    const long fade = std::lround(4 * c.rate / c.f2);
    const SweepSpec desc = LogSweep(c.f1, c.f2, c.t0, c.rate, 0.5, 100, 10);
    ASSERT_TRUE(desc.sweep_frames == n && SweepL(desc) == l && SweepFadeFrames(desc) == fade &&
                HarmonicOffset(desc, 3) == l * std::log(3));
    Samples x(n + 120, 7);
    for (long at = -10, step = 1; at < n + 110; at += step, step = step * 5 % 997 + 1)
      SweepSamples(desc, at, std::min(step, n + 110 - at), &x[at + 10]);
    long wrong = x[109] != 0 || x[110 + n - 1] != 0 || x[110 + n] != 0;
    for (long i = 0; i < n; ++i) {
      const double g = i < n - fade ? 1 : 0.5 + 0.5 * std::cos(M_PI * (i - (n - fade) + 1) / fade);
      const double rising = std::exp(i / (c.rate * l));
      const double want = std::trunc(4194304 * g * std::sin(2 * M_PI * c.f1 * l * (rising - 1)));
      wrong += std::fabs(x[110 + i] - want) > 1 ||
               std::fabs(SweepFrequency(desc, i) - c.f1 * rising) > 1e-9 * c.f2;
    }
    EXPECT_EQ(wrong, 0) << c.f1;
    const FrequencyRange range = SweepRange(desc, 2.0 * c.rate);  // played twice as fast
    EXPECT_TRUE(range.lo == 2 * c.f1 && range.hi == 2 * SweepFrequency(desc, n - 1));
  }
}

// Through a system that makes odd harmonics in phase (y = x^5 = (10 sin p - 5
// sin 3p + sin 5p) / 16), the k-th harmonic's impulse response lies L ln k
// before the linear one, with its sign: that is what ties time t + L ln k to
// k times the phase at t. Each peak is looked for 200 frames around.
TEST(Sweep, LogSweepHarmonicsLieLnKTimesLEarlier) {
  const SweepSpec desc = LogSweep(50, 4000, 1.0, 48000, 0.5, 2000, 30000);
  const long total = SweepTotalFrames(desc);
  Samples x(total);
  SweepSamples(desc, 0, total, x.data());
  Doubles played(x.begin(), x.end()), recorded(total);
  for (long i = 0; i < total; ++i) recorded[i] = std::pow(x[i] / 4194304.0, 5) * 4194304.0;
  Transfer t;
  ASSERT_TRUE(Deconvolve(played.data(), recorded.data(), total, 48000, 50, 4000, &t));
  const Doubles ir = ImpulseResponse(t);
  auto at = [&](long i) { return ir[(i + t.size) % t.size]; };
  const double l = std::round(50 / std::log(80.0)) / 50;
  for (const auto& k : {std::make_pair(1, 10.0), std::make_pair(3, -5.0), std::make_pair(5, 1.0)}) {
    const long expected = -std::lround(l * std::log(k.first) * 48000);
    long best = expected - 200;
    for (long i = expected - 200; i <= expected + 200; ++i)
      best = std::fabs(at(i)) > std::fabs(at(best)) ? i : best;
    EXPECT_TRUE(std::labs(best - expected) <= 1 && at(best) * k.second > 0) << k.first << best;
  }
}

TEST(Packing, EncodesAndDecodes) {
  const int32_t in[] = {4194304, -1, -8388608, 8388607, -2087706, 8388608, 0x12345678, INT32_MIN};
  std::vector<unsigned char> b(25, 0xAA);
  NUM24_TO_CHAR(in, b.data(), 8);  // out of range: the low 24 bits; nothing past 24 bytes
  EXPECT_EQ(b, (std::vector<unsigned char>{0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0, 0, 0x80, 0xFF, 0xFF,
      0x7F, 0xE6, 0x24, 0xE0, 0, 0, 0x80, 0x78, 0x56, 0x34, 0, 0, 0, 0xAA}));
  Samples out(3, 5);
  CHAR_TO_NUM32(&b[7], out.data(), 2, 1);       // 00 80
  CHAR_TO_NUM32(&b[10], out.data() + 1, 2, 1);  // FF 7F
  for (int width : {0, 1, 4}) CHAR_TO_NUM32(b.data(), out.data() + 1, width, 1);
  EXPECT_EQ(out, (Samples{-8388608, 8388352, 5}));
  for (int32_t v = -8388608, back; v < 8388608; ++v) {  // with the bytes above, pins width 3
    NUM24_TO_CHAR(&v, b.data(), 1);
    CHAR_TO_NUM32(b.data(), &back, 3, 1);
    ASSERT_EQ(back, v);
  }
}

// Band k spans e[k] to e[k + 1]; arrays are exactly as long as Analyze may read.
// The levels as the report prints them.
static std::string Analyzed(const Doubles& f, const Samples& x, long offset, const Doubles& e,
                            BandAnalysis* out = nullptr, long lead = 0) {
  const BandAnalysis a =
      Analyze(long(x.size()), int(e.size()) - 1, f.data(), x.data(), offset, e.data() + 1, lead);
  std::string levels;
  char text[32];
  for (double l : a.levels) levels += (snprintf(text, sizeof text, "%.1f ", l), text);
  if (out) *out = a;
  return levels;
}

TEST(Analyze, BandsAlignmentAndLevels) {
  // Default plan's first edges: 22.0 in band 1, 22.001 in 2, 20.0 after 30.0 stays
  // in 3; band 4 gets nothing, band 5 a zero sample; the last band takes 20000.
  BandAnalysis a;
  EXPECT_EQ(Analyzed({22.0, 22.001, 30.0, 20.0, 45.0, 20000.0},
                     {4194304, -2097152, 1048576, -1048576, 0, -524288}, 0,
                     {18, 22, 27, 33, 41, 51, 64}, &a),
            "0.0 -6.0 -12.0 -144.0 -144.0 -18.1 ");
  EXPECT_TRUE(a.missing == std::vector<int>{4} && a.peak == 4194304);
  // total 10, lead 2: six sweep samples (band 1, band 2) paired with frames
  // 2 + offset + i inside [0, 10): 678|9 10 (the tail is unused), 1|234, nothing.
  const struct { long offset; const char* levels; } shifts[] = {{3, "-2.7 0.0 "},
      {-4, "-9.5 0.0 "}, {100, "-144.0 -144.0 "}, {LONG_MIN, "-144.0 -144.0 "}};
  for (const auto& s : shifts)
    EXPECT_EQ(Analyzed({1, 1, 1, 3, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, s.offset, {0, 2, 4},
                       &a, 2), s.levels) << s.offset;
  EXPECT_TRUE(a.missing == (std::vector<int>{1, 2}) && a.peak == 0);
  // No bands: no pass, no peak.
  EXPECT_EQ(Analyzed({5}, {9}, 0, {1}, &a), "");
  EXPECT_TRUE(a.missing.empty() && a.peak == 0);
}

TEST(Smoothing, MeanOverHertzOfThePowerBetweenSamples) {
  // Linear in hertz at uneven samples: a window's mean is the value at its
  // centre in hertz (an octave, cut at 160 Hz). Bins 1 Hz apart holding k^2,
  // 8.5-12 Hz: trapezoids (72.5 + 81) / 4, 90.5, 110.5, 132.5 over 3.5 Hz.
  Doubles f = {20, 23, 31, 40, 52, 70, 91, 125, 160}, bins, sq, sqa(20);
  std::vector<std::complex<double>> y, ya(9);
  for (double x : f) y.push_back({3 + 0.5 * x, 2 * x});
  RunningIntegral(f.data(), y.data(), 9, ya.data());
  const double h = std::sqrt(2.0);
  for (double at : {35.0, 60.0, 150.0}) {
    const double mid = 0.5 * (at / h + std::min(at * h, 160.0));
    EXPECT_NEAR(std::abs(SmoothedAt(f.data(), y.data(), ya.data(), 9, at, 1, 0, 1e9) -
                         std::complex<double>(3 + mid / 2, 2 * mid)), 0, 1e-12) << at;
  }
  for (int k = 0; k < 20; ++k) bins.push_back(k), sq.push_back(k * k);
  RunningIntegral(bins.data(), sq.data(), 20, sqa.data());
  EXPECT_NEAR(SmoothedAt(bins.data(), sq.data(), sqa.data(), 20, 10, 1, 8.5, 12), 106.25, 1e-12);
  EXPECT_NEAR(SmoothedAt(bins.data(), sq.data(), sqa.data(), 20, 8.5, 0, 0, 99), 72.5, 1e-12);
  // Exact at any level: powers of -500, +500 and 0 dB, windows of 1 Hz.
  Doubles loud = {1e-50, 1e50, 1e-50, 1e-50, 1e-50, 1, 1, 1}, la(8);
  RunningIntegral(bins.data(), loud.data(), 8, la.data());
  EXPECT_NEAR(SmoothedAt(bins.data(), loud.data(), la.data(), 8, 3, 1, 2.5, 3.5) * 1e50, 1, 1e-12);
  EXPECT_NEAR(SmoothedAt(bins.data(), loud.data(), la.data(), 8, 6, 1, 5.5, 6.5), 1, 1e-12);
}
