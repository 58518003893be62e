#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/convolver.h"
#include "dsp/resample.h"

namespace {

// Three sinusoids within the band both rates carry, under a Hann window over
// [0, length) so that the signal is band-limited and silent beyond its ends.
double Tones(double t, double length, double nyquist) {
  if (t <= 0 || t >= length) return 0.0;
  const double w = 0.5 - 0.5 * std::cos(2 * M_PI * t / length);
  return w * (0.5 * std::sin(2 * M_PI * 0.0013 * t) + 0.3 * std::sin(2 * M_PI * 0.21 * t + 1) +
              0.15 * std::sin(2 * M_PI * 0.93 * nyquist * t + 2));
}

// Output frame j is the input at time j / ratio, at every ratio, chunk by chunk and whole.
TEST(Resample, OutputIsTheInputAtTimeJOverRatio) {
  const double ratios[] = {1.0, 1 + 100e-6, 1 - 100e-6, 44100.0 / 48000, 96000.0 / 44100};
  const long count = 30000;
  std::mt19937 rng(3);
  for (double ratio : ratios) {
    SCOPED_TRACE(ratio);
    const double nyquist = 0.5 * std::min(1.0, ratio);  // cycles per input frame
    std::vector<double> in(count);
    for (long i = 0; i < count; ++i) in[i] = Tones(i, count, nyquist);

    std::vector<double> whole;
    ASSERT_TRUE(ResampleSignal(in.data(), count, ratio, &whole));
    ASSERT_EQ(whole.size(), static_cast<size_t>(std::floor((count - 1) * ratio)) + 1);
    for (size_t j = 0; j < whole.size(); ++j)
      ASSERT_NEAR(whole[j], Tones(j / ratio, count, nyquist), 2e-6) << j;

    // Streaming in chunks of random sizes, then a run of silence to flush.
    StreamResampler s;
    ASSERT_TRUE(s.Start(2, ratio));
    std::vector<float> x(2 * (count + 20000), 0.0f), y(2 * static_cast<size_t>((count + 20000) * ratio + 4000));
    for (long i = 0; i < count; ++i) x[2 * i] = static_cast<float>(in[i]), x[2 * i + 1] = -x[2 * i];
    long fed = 0, got = 0;
    while (fed < count + 20000) {
      long used = 0, made = 0;
      ASSERT_TRUE(s.Process(&x[2 * fed], std::min<long>(1 + rng() % 3000, count + 20000 - fed),
                            &y[2 * got], 1 + rng() % 3000, &used, &made));
      fed += used, got += made;
    }
    ASSERT_GE(got, static_cast<long>(whole.size()));
    for (size_t j = 0; j < whole.size(); ++j) {
      ASSERT_NEAR(y[2 * j], Tones(j / ratio, count, nyquist), 2e-6) << j;
      ASSERT_EQ(y[2 * j + 1], -y[2 * j]) << j;
    }
  }
  StreamResampler s;
  std::vector<double> out{1.0};
  EXPECT_FALSE(s.Start(1, 300.0) || ResampleSignal(out.data(), 1, 0.001, &out) || !out.empty());
}

}  // namespace

// Partitioned FFT convolution against the direct sum, `block` samples late, for responses shorter
// than a block, of a whole number of blocks and not, streamed in chunks of random sizes in place.
TEST(Convolver, EqualsDirectConvolutionOneBlockLate) {
  const struct { long ir, block; } cases[] = {{1, 1}, {5, 64}, {4096, 256}, {5000, 384}, {20001, 1024}};
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ir);
    std::vector<double> ir(c.ir), x(30000);
    for (double& v : ir) v = u(rng);
    for (double& v : x) v = u(rng);
    Convolver conv;
    ASSERT_TRUE(conv.Init(ir.data(), c.ir, c.block));
    std::vector<double> y = x;
    for (size_t at = 0, n; at < y.size(); at += n) {
      n = std::min<size_t>(rng() % 3000, y.size() - at);
      conv.Process(&y[at], &y[at], static_cast<long>(n));
    }
    for (long t = 0; t < static_cast<long>(y.size()); ++t) {
      double direct = 0;
      for (long k = 0; k < c.ir && k <= t - c.block; ++k) direct += ir[k] * x[t - c.block - k];
      ASSERT_NEAR(y[t], direct, 1e-11 * std::sqrt(c.ir)) << t;
    }
  }
  Convolver conv;
  EXPECT_FALSE(conv.Init(nullptr, 0, 64));
}
