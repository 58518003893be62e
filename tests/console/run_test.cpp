// Whole measurements through the built program, real alsa-lib and the
// virtual sound card: console output and result file compared exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

// What the program should report for a recording that is an exact delayed
// copy of the sweep, computed here from the signal definitions: a linear
// sweep whose phase grows at the rate of its frequency table, 24-bit samples
// at half scale, mean absolute value per band relative to the loudest band.
struct Expected {
  std::string report;   // the results table, as appended to the file
  std::string console;  // report, missing-data lines and channel 1 level
};

struct Plan {
  double q, start;
  int bands;
};

Expected ExpectedForFlatCard(const Plan& plan, double seconds) {
  std::vector<double> lo(std::max(plan.bands, 1)), hi(std::max(plan.bands, 1));
  int32_t x = static_cast<int32_t>(plan.start);
  for (int k = 0; k < plan.bands; ++k) {
    double next = x / plan.q + x;
    x = next >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(next);
    hi[k] = x;
    lo[k] = k == 0 ? plan.start : hi[k - 1];
  }
  const double end = plan.bands > 0 ? hi[plan.bands - 1] : static_cast<int32_t>(plan.start);
  const long n = static_cast<long>(seconds * 48000);
  const long total = n + 48000;
  const double step = (end - plan.start) / total, w = 6.28318 / 48000;
  std::vector<double> sum(plan.bands), count(plan.bands);
  double peak = 0;
  int m = 0;
  for (long i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    const double f = plan.start + t * step;
    const double phase = w * (plan.start * t + 0.5 * step * t * t);
    const double sample = std::fabs(std::trunc(std::sin(phase) * 4194304.0));
    while (m < plan.bands - 1 && f > hi[m]) ++m;
    if (plan.bands == 0) continue;
    sum[m] += sample;
    count[m] += 1;
    peak = std::max(peak, sample);
  }
  double reference = 0;
  for (int k = 0; k < plan.bands; ++k)
    if (sum[k] > 0) reference = std::max(reference, sum[k] / count[k]);
  Expected e;
  e.report = "Results:\nBand\tRange (Hz)\tdB\n";
  std::string missing;
  char row[256];
  for (int k = 0; k < plan.bands; ++k) {
    const double level = sum[k] > 0 ? 20 * std::log10(sum[k] / count[k] / reference) : -144.0;
    snprintf(row, sizeof row, "%i\t%.0f\t%.0f\t%.1f\n", k + 1, lo[k], hi[k], level);
    e.report += row;
    if (count[k] == 0) missing += "Band " + std::to_string(k + 1) + " is missing data\n";
  }
  snprintf(row, sizeof row, "Ch 1 (sweep): Return Level = %.1f dB\n",
           20 * std::log10(peak / 8388608.0));
  e.console = e.report + missing + row;
  return e;
}

// The console lines of one clean run on a card with the given latency.
std::string RunLines(int latency, const Expected& e) {
  return "Running Test...\n"
         "Ch 2 (sync): Return Level = -6.0 dB\n"
         "Sync Out = 24032 \t Sync In = " +
         std::to_string(24032 + latency) + " samples\nAnalyzing data...\n" + e.console +
         kContinue;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }
  ProcessResult Quelmar(const std::string& input) {
    return RunQuelmar(input, dir_);
  }
  std::string ResultFile() { return ReadFile(dir_ + "/sweep_out.txt"); }
  std::string dir_;
};

TEST_F(RunTest, CleanRunOnLoopbackTwiceAppendsTwoBlocks) {
  Status s, dev = s, one = s;
  dev.device = "loopback";
  one.device = "loopback";
  one.length = "1.0";
  const Expected e = ExpectedForFlatCard({4.0, 18.0, 31}, 1.0);
  ProcessResult r = Quelmar("c loopback t 1 r c r zz c x");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kWarningBox + Cycle(s) + Line("Enter soundcard device name") + Cycle(dev) +
                       Line("Enter sweep length") + Cycle(one) + RunLines(64, e) + Cycle(one) +
                       RunLines(64, e) + kContinue + Cycle(one));
  EXPECT_EQ(ResultFile(), e.report + e.report);
}

TEST_F(RunTest, DefaultTenSecondRun) {
  const Expected e = ExpectedForFlatCard({4.0, 18.0, 31}, 10.0);
  // Every band of the default plan receives data.
  EXPECT_EQ(e.console.find("missing"), std::string::npos);
  ProcessResult r = Quelmar("c loopback r c x");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  Status s;
  s.device = "loopback";
  EXPECT_EQ(r.out, kWarningBox + Cycle(Status()) + Line("Enter soundcard device name") +
                       Cycle(s) + RunLines(64, e) + Cycle(s));
  EXPECT_EQ(ResultFile(), e.report);
}

TEST_F(RunTest, SweepOfZeroSecondsHasNoData) {
  const Expected e = ExpectedForFlatCard({4.0, 18.0, 31}, 0.0);
  for (int k = 1; k <= 31; ++k)
    EXPECT_NE(e.console.find("Band " + std::to_string(k) + " is missing data\n"), std::string::npos);
  EXPECT_EQ(e.report.find("nan"), std::string::npos);
  ProcessResult r = Quelmar("c loopback t 0 r c x");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find(RunLines(64, e)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Ch 1 (sweep): Return Level = -inf dB\n"), std::string::npos);
  EXPECT_EQ(ResultFile(), e.report);
}

TEST_F(RunTest, PresetRun) {
  const Expected e = ExpectedForFlatCard({6.0, 18.0, 20}, 2.0);
  ProcessResult r = Quelmar("c loopback p 3 t 2 r c x");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find(RunLines(64, e)), std::string::npos) << r.out;
  EXPECT_EQ(ResultFile(), e.report);
}

}  // namespace
