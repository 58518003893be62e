#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/analysis.h"

using Doubles = std::vector<double>;
static const std::string kHead = "Results:\nBand\tRange (Hz)\tdB\n";

// Analyze over arrays of exactly the sizes it may read (N frequencies, total
// samples); returns what it printed.
static std::string RunAnalyze(const Doubles& freqs, const std::vector<int32_t>& ch1, long offset,
                              const Doubles& lo, const Doubles& hi, std::string& report,
                              long lead = 0) {
  testing::internal::CaptureStdout();
  Analyze(long(ch1.size()), int(lo.size()), freqs.data(), ch1.data(), offset, lo.data(),
          hi.data(), report, lead);
  return testing::internal::GetCapturedStdout();
}

TEST(FindPeak, SignedFirstMaximumAndSilence) {
  const int32_t pulse[] = {0, -8000000, 4194289, 4194289, 5};
  double peak = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(FindPeak(pulse, 5, &peak), 2);
  EXPECT_EQ(peak, 4194289.0);
  EXPECT_EQ(FindPeak(pulse, 2, &peak), 0);  // nothing above 0: no sync pulse
  EXPECT_EQ(peak, 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Ch 2 (sync): Return Level = -6.0 dB\nCh 2 (sync): Return Level = -inf dB\n");
}

// Default plan: 22.0 is band 1, 22.001 band 2, 20.0 after 30.0 stays in
// band 3, and above the last edge is band 31.
TEST(Analyze, BandAssignmentOnDefaultPlan) {
  Doubles lo(31), hi(31);
  for (int k = 0, x = 18; k < 31; ++k) {
    lo[k] = k ? hi[k - 1] : 18.0;
    hi[k] = x = int(x / 4.0 + x);
  }
  std::string report, out = RunAnalyze({22.0, 22.001, 30.0, 20.0, 16175.5, 20000.0},
      {4194304, -2097152, 1048576, -1048576, 524288, 524288}, 0, lo, hi, report);
  std::string rows = "1\t18\t22\t0.0\n2\t22\t27\t-6.0\n3\t27\t33\t-12.0\n", missing;
  for (int k = 4; k <= 30; ++k) {
    rows += std::to_string(k) + "\t" + std::to_string(int(lo[k - 1])) + "\t" +
            std::to_string(int(hi[k - 1])) + "\t-144.0\n";
    missing += "Band " + std::to_string(k) + " is missing data\n";
  }
  EXPECT_EQ(report, kHead + rows + "31\t12940\t16175\t-18.1\n");
  EXPECT_EQ(out, report + missing + "Ch 1 (sweep): Return Level = -6.0 dB\n");
}

// total 10, lead 2: six sweep samples (band 1, then band 2) paired with
// recorded frames 2 + offset + i inside [0, 10); the recorded tail is unused.
TEST(Analyze, AlignmentAndPassBounds) {
  struct Case { long offset; std::string band1, band2; } cases[] = {
      {0, "-4.9", "0.0"}, {3, "-2.7", "0.0"}, {-4, "-9.5", "0.0"},  // 345|678, 678|9 10, 1|234
      {100, "-144.0", "-144.0"}, {LONG_MIN, "-144.0", "-144.0"}};
  for (const Case& c : cases) {
    std::string report;
    RunAnalyze({50, 50, 50, 150, 150, 150}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, c.offset, {0, 100},
               {100, 200}, report, 2);
    EXPECT_EQ(report, kHead + "1\t0\t100\t" + c.band1 + "\n2\t100\t200\t" + c.band2 + "\n");
  }
}

TEST(Analyze, SilenceNoBandsAndLongReports) {
  std::string report;
  const std::string silent = "Ch 1 (sweep): Return Level = -inf dB\n";
  EXPECT_EQ(RunAnalyze({5}, {0, 0}, 0, {}, {}, report), kHead + silent);
  EXPECT_EQ(report, kHead);
  // Band 1 holds only zero samples: -144.0 but not missing; bands 2, 3 missing.
  EXPECT_EQ(RunAnalyze({5, 5}, {0, 0}, 0, {0, 10, 20}, {10, 20, 30}, report),
            kHead + "1\t0\t10\t-144.0\n2\t10\t20\t-144.0\n3\t20\t30\t-144.0\n" +
                "Band 2 is missing data\nBand 3 is missing data\n" + silent);
  // 1024 bands with rows longer than a 256-byte line buffer.
  char edges[700];
  std::snprintf(edges, sizeof edges, "\t%.0f\t%.0f\t", 1e300, 1e300);
  std::string expected = kHead;
  for (int k = 1; k <= 1024; ++k)
    expected += std::to_string(k) + edges + (k > 1 ? "-144.0\n" : "0.0\n");
  RunAnalyze({1}, {4194304}, 0, Doubles(1024, 1e300), Doubles(1024, 1e300), report);
  EXPECT_EQ(report, expected);
}
