#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/signals.h"

// Each array is followed by guard entries (7) that must stay untouched, and
// every entry inside it is written: non-zero in [first, end), else 0.
TEST(MakePulse, DefaultPulseAndArrayBounds) {
  struct Case { unsigned rate; int length, start, index, first, end; } cases[] = {
      {48000, 40384, 24000, 24032, 24000, 24048}, {48000, 24010, 24000, 0, 24000, 24010},
      {48000, 100, 24000, 0, 0, 0}, {48000, 60, -20, -1, 0, 28}, {0, 10, 0, 0, 0, 0}};
  for (const Case& c : cases) {
    std::vector<int32_t> p(c.length + 64, 7);
    const int index = MakePulse(p.data(), c.rate, c.length, c.start);
    if (c.index >= 0) {
      EXPECT_EQ(index, c.index) << c.length;
    }
    for (int i = 0; i < c.length + 64; ++i) {  // 2: guard untouched, 1: pulse, 0: silence
      const int want = i >= c.length ? 2 : i >= c.first && i < c.end;
      ASSERT_EQ(p[i] == 7 ? 2 : p[i] != 0, want) << i;
    }
    EXPECT_TRUE(c.length != 40384 || (p[24000] == -2087706 && p[24032] == 4194289));
  }
}

struct Sweep {
  std::vector<int32_t> out;
  std::vector<double> freqs;
};

static Sweep MakeSweepChecked(double f0, double f1, long total, long lead) {
  Sweep s{std::vector<int32_t>(total + 64, 7), std::vector<double>(total + 64, -1.0)};
  MakeSweep(48000, s.out.data(), s.freqs.data(), f0, f1, total, 0.5, lead);
  for (long i = 0; i < total + 64; ++i) {
    EXPECT_EQ(s.out[i] == 7, i >= total) << i;
    EXPECT_TRUE(i < total || s.freqs[i] == -1.0) << i;
  }
  s.out.resize(total);
  return s;
}

TEST(MakeSweep, LayoutOfDefaultRunAndOddLengths) {
  Sweep s = MakeSweepChecked(18.0, 16175.0, 528000, 24000);
  for (long i = 0; i < 528000; ++i) {
    const bool sweep = i > 24000 && i < 504000;
    ASSERT_TRUE(sweep ? s.out[i] != 0 && std::abs(s.out[i]) <= 4194304 : s.out[i] == 0) << i;
  }
  EXPECT_TRUE(s.freqs[0] == 18.0 && s.freqs[1] == 18.0 + 16157.0 / 528000);
  const double t = 479999, step = 16157.0 / 528000;
  const double phase = (6.28318 / 48000) * (18.0 * t + 0.5 * step * t * t);
  EXPECT_EQ(s.out[503999], int32_t(std::sin(phase) * 4194304));
  // No sweep samples: silence, and only freqs[0] written.
  s = MakeSweepChecked(18.0, 16175.0, 48000, 24000);
  EXPECT_TRUE(s.out == std::vector<int32_t>(48000, 0) && s.freqs[0] == 18 && s.freqs[1] == -1);
  EXPECT_EQ(MakeSweepChecked(18.0, 16175.0, 100, 24000).out, std::vector<int32_t>(100, 0));
  EXPECT_NE(MakeSweepChecked(18.0, 16175.0, 100, -5).out[99], 0);  // taken as no lead
  MakeSweepChecked(18.0, 16175.0, 0, 0);
}

// The tone must sound at the frequency its table names over the whole sweep:
// the sign changes in each 0.1 s window match the table's frequency at the
// window's centre to 1.5 crossings. A tone above half the sample rate would
// alias and fail, and so would a phase of f * w * t (it sounds at 2f - f0).
TEST(MakeSweep, SoundsAtTableFrequencies) {
  for (double f1 : {16175.0, 25000.0}) {  // the table tops out at 14706, 22728 Hz
    Sweep s = MakeSweepChecked(18.0, f1, 528000, 24000);
    for (long from = 24000; from + 4800 < 504000; from += 4800) {
      int changes = 0, last = 0;
      for (long j = from; j <= from + 4800; ++j) {
        const int sign = (s.out[j] > 0) - (s.out[j] < 0);
        changes += sign != 0 && last != 0 && sign != last;
        last = sign != 0 ? sign : last;
      }
      ASSERT_NEAR(changes, 0.2 * s.freqs[from - 24000 + 2400], 1.5) << f1 << " at " << from;
    }
  }
}
