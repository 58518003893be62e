#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <vector>

#include "dsp/analysis.h"
#include "dsp/packing.h"
#include "dsp/signals.h"
#include "dsp/smoothing.h"

using Doubles = std::vector<double>;
using Samples = std::vector<int32_t>;

// Non-zero in [start, start + rate / 1000), zero elsewhere, 64 guards (7) untouched.
// FindPeak must compare signed values: the trough at 24008 is as deep as the peak.
TEST(SyncPulse, MadeWithinBoundsAndFound) {
  struct Case { unsigned rate; int length, start, index; const char* level; } cases[] = {
      {48000, 40384, 24000, 24032, "-6.0"}, {48000, 24010, 24000, 0, "-inf"},
      {48000, 100, 24000, 0, "-inf"}, {48000, 60, -20, 27, "-8.0"}, {0, 10, 0, 0, "-inf"}};
  for (const Case& c : cases) {
    Samples p(c.length + 64, 7);
    const int end = c.start + int(c.rate / 1000);
    EXPECT_EQ(MakePulse(p.data(), c.rate, c.length, c.start), c.index) << c.length;
    for (int i = 0; i < c.length + 64; ++i)  // 2: guard, 1: pulse, 0: silence
      ASSERT_EQ(p[i] == 7 ? 2 : p[i] != 0, i >= c.length ? 2 : i >= c.start && i < end) << i;
    EXPECT_TRUE(c.length != 40384 || (p[24000] == -2087706 && p[24032] == 4194289));
    p[c.index + 1] = p[c.index];  // an equal maximum after the first: the first wins
    double peak = -1;  // 0.0 when nothing is above 0: no sync pulse
    testing::internal::CaptureStdout();
    EXPECT_TRUE(FindPeak(p.data(), c.length, &peak) == c.index && peak == p[c.index]) << c.length;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Ch 2 (sync): Return Level = ") + c.level + " dB\n");
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
static std::string Analyzed(const Doubles& f, const Samples& x, long offset, const Doubles& e,
                            std::string& report, long lead = 0) {
  testing::internal::CaptureStdout();
  Analyze(long(x.size()), int(e.size()) - 1, f.data(), x.data(), offset, e.data(), e.data() + 1,
          report, lead);
  return testing::internal::GetCapturedStdout();
}

TEST(Analyze, BandsAlignmentAndReports) {
  const std::string head = "Results:\nBand\tRange (Hz)\tdB\n", edge = std::to_string(1e300);
  // Default plan's first edges: 22.0 in band 1, 22.001 in 2, 20.0 after 30.0 stays
  // in 3; band 4 gets nothing, band 5 a zero sample; the last band takes 20000.
  std::string report, out = Analyzed({22.0, 22.001, 30.0, 20.0, 45.0, 20000.0},
      {4194304, -2097152, 1048576, -1048576, 0, -524288}, 0, {18, 22, 27, 33, 41, 51, 64}, report);
  EXPECT_EQ(report, head + "1\t18\t22\t0.0\n2\t22\t27\t-6.0\n3\t27\t33\t-12.0\n"
                    "4\t33\t41\t-144.0\n5\t41\t51\t-144.0\n6\t51\t64\t-18.1\n");
  EXPECT_EQ(out, report + "Band 4 is missing data\nCh 1 (sweep): Return Level = -6.0 dB\n");
  // total 10, lead 2: six sweep samples (band 1, band 2) paired with frames
  // 2 + offset + i inside [0, 10): 678|9 10 (the tail is unused), 1|234, nothing.
  const struct { long offset; const char *band1, *band2; } shifts[] = {{3, "-2.7", "0.0"},
      {-4, "-9.5", "0.0"}, {100, "-144.0", "-144.0"}, {LONG_MIN, "-144.0", "-144.0"}};
  for (const auto& s : shifts) {
    Analyzed({1, 1, 1, 3, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, s.offset, {0, 2, 4}, report, 2);
    EXPECT_EQ(report, head + "1\t0\t2\t" + s.band1 + "\n2\t2\t4\t" + s.band2 + "\n") << s.offset;
  }
  // No bands: no pass. Then 1024 rows longer than 256 bytes, together far past 4096.
  EXPECT_EQ(Analyzed({5}, {9}, 0, {1}, report), head + "Ch 1 (sweep): Return Level = -inf dB\n");
  EXPECT_EQ(report, head);
  std::string rows = head, row = "\t" + edge.substr(0, 301) + "\t" + edge.substr(0, 301) + "\t";
  for (int k = 1; k <= 1024; ++k) rows += std::to_string(k) + row + (k > 1 ? "-144.0\n" : "0.0\n");
  Analyzed({1}, {4194304}, 0, Doubles(1025, 1e300), report);
  EXPECT_EQ(report, rows);
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
}
