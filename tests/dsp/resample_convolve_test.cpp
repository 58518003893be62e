#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/convolver.h"
#include "dsp/resample.h"

namespace {

// Output frame j is the input at time j / ratio, at every ratio, whole and chunk by chunk (two
// channels, chunks of random sizes, silence after): three sinusoids up to 0.93 of the lower
// Nyquist frequency under a Hann window over [0, n), band-limited and silent beyond it.
TEST(Resample, OutputIsTheInputAtTimeJOverRatio) {
  const long n = 30000;
  std::mt19937 rng(3);
  for (double ratio : {1.0, 1 + 100e-6, 1 - 100e-6, 44100.0 / 48000, 96000.0 / 44100}) {
    auto tones = [&](double t) {
      const double c = 0.5 * std::min(1.0, ratio), w = 0.5 - 0.5 * std::cos(2 * M_PI * t / n);
      const double sum = 0.5 * sin(0.0026 * M_PI * t) + 0.3 * sin(0.42 * M_PI * t + 1);
      return t <= 0 || t >= n ? 0 : w * (sum + 0.15 * sin(1.86 * M_PI * c * t + 2));
    };
    std::vector<double> in(n), whole(static_cast<size_t>(ResampledFrames(n, ratio)));
    std::vector<float> x(2 * (n + 20000)), y(2 * static_cast<size_t>((n + 20000) * ratio + 4000));
    for (long i = 0; i < n; ++i) in[i] = tones(i), x[2 * i] = in[i], x[2 * i + 1] = -x[2 * i];
    ASSERT_TRUE(ResampleSignal(in.data(), n, ratio, whole.data()));
    ASSERT_EQ(whole.size(), static_cast<size_t>(std::floor((n - 1) * ratio)) + 1);
    StreamResampler s;
    ASSERT_TRUE(s.Start(2, ratio));
    for (long fed = 0, got = 0, used, made; fed < n + 20000; fed += used, got += made)
      ASSERT_TRUE(s.Process(&x[2 * fed], std::min<long>(1 + rng() % 3000, n + 20000 - fed),
                            &y[2 * got], 1 + rng() % 3000, &used, &made));
    for (size_t j = 0; j < whole.size(); ++j) {
      ASSERT_NEAR(whole[j], tones(j / ratio), 2e-6) << ratio << " " << j;
      ASSERT_NEAR(y[2 * j], tones(j / ratio), 2e-6) << ratio << " " << j;
      ASSERT_EQ(y[2 * j + 1], -y[2 * j]) << ratio << " " << j;
    }
  }
  std::vector<double> in{1.0}, out(1);
  EXPECT_FALSE(StreamResampler().Start(1, 300.0) || ResampleSignal(in.data(), 1, 1e-3, out.data()) ||
               ResampleSignal(in.data(), 0, 1.0, out.data()));
}

// Against the direct sum, `block` samples late, for responses shorter than a block, of whole
// blocks and not, streamed in place in chunks of random sizes.
TEST(Convolver, EqualsDirectConvolutionOneBlockLate) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  for (auto [len, block] : {std::pair{1L, 1L}, {5, 64}, {4096, 256}, {5000, 384}, {20001, 1024}}) {
    std::vector<double> ir(len), x(30000), y;
    for (double& v : ir) v = u(rng);
    for (double& v : x) v = u(rng);
    Convolver conv;
    ASSERT_TRUE(conv.Init(ir.data(), len, block));
    y = x;
    for (size_t at = 0, k; at < y.size(); at += k)
      conv.Process(&y[at], &y[at], k = std::min<size_t>(rng() % 3000, y.size() - at));
    for (long t = 0; t < static_cast<long>(y.size()); ++t) {
      double direct = 0;
      for (long k = 0; k < len && k <= t - block; ++k) direct += ir[k] * x[t - block - k];
      ASSERT_NEAR(y[t], direct, 1e-11 * std::sqrt(len)) << len << " " << t;
    }
  }
  EXPECT_FALSE(Convolver().Init(nullptr, 0, 64));
}

}  // namespace
