// Whole measurements through the built program on the virtual card's
// real-time clock: ten runs in a row, with the machine as it is and with
// another process keeping one core busy, must have no underrun or overrun
// and report exactly what the virtual clock reports for the same settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "background_process.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

constexpr int kRuns = 10;
const std::string kRunning = "Running Test...\n";

// The console output of each run, from "Running Test..." to the continue
// prompt; a run cut short keeps what it printed.
std::vector<std::string> RunOutputs(const std::string& out) {
  std::vector<std::string> runs;
  for (size_t at = out.find(kRunning); at != std::string::npos; at = out.find(kRunning, at + 1)) {
    const size_t end = out.find(kContinue, at);
    runs.push_back(end == std::string::npos ? out.substr(at)
                                            : out.substr(at, end + kContinue.size() - at));
  }
  return runs;
}

// Underruns plus overruns named by the xrun warning of one run's output.
long XrunsIn(const std::string& run) {
  const size_t at = run.find("Warning: ");
  long underruns = 0, overruns = 0;
  if (at == std::string::npos ||
      sscanf(run.c_str() + at, "Warning: %ld underruns and %ld overruns", &underruns,
             &overruns) != 2)
    return 0;
  return underruns + overruns;
}

// Ten 2-second runs on `device` in one session, compared with one run of
// the same settings on the virtual-clock loopback (also latency 64).
void ExpectRunsEqualVirtualClock(const char* device, const char* conditions) {
  const std::string ref_dir = MakeTempDir();
  const ProcessResult ref = RunQuelmar("c loopback t 2 r c x", ref_dir);
  const std::string block = ReadFile(ref_dir + "/sweep_out.txt");
  RemoveTree(ref_dir);
  ASSERT_EQ(ref.exit_status, 0) << ref.err;
  const std::vector<std::string> expected = RunOutputs(ref.out);
  ASSERT_EQ(expected.size(), 1u) << ref.out;
  ASSERT_NE(expected[0].find("Sync In = 24096 samples\n"), std::string::npos) << expected[0];
  ASSERT_EQ(block.compare(0, 9, "Results:\n"), 0) << block;

  std::string input = std::string("c ") + device + " t 2";
  for (int i = 0; i < kRuns; ++i) input += " r c";
  const std::string dir = MakeTempDir();
  const ProcessResult r = RunQuelmar(input + " x", dir, 120000);
  const std::string file = ReadFile(dir + "/sweep_out.txt");
  RemoveTree(dir);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");

  const std::vector<std::string> runs = RunOutputs(r.out);
  ASSERT_EQ(runs.size(), static_cast<size_t>(kRuns)) << r.out;
  int equal = 0;
  long xruns = 0;
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(runs[i], expected[0]) << "run " << i + 1;
    equal += runs[i] == expected[0];
    xruns += XrunsIn(runs[i]);
  }
  std::string blocks;
  for (int i = 0; i < kRuns; ++i) blocks += block;
  EXPECT_EQ(file, blocks);
  printf("%s, %s: %d of %d runs equal to the virtual clock, %ld xruns in all\n", device,
         conditions, equal, kRuns, xruns);
}

TEST(RealTimeRuns, TenRunsMatchTheVirtualClock) {
  ExpectRunsEqualVirtualClock("realtime", "machine as it is");
}

TEST(RealTimeRuns, TenRunsMatchTheVirtualClockWithOneCoreBusy) {
  BackgroundProcess busy({"sh", "-c", "while :; do :; done"});
  ASSERT_TRUE(busy.Running());
  ExpectRunsEqualVirtualClock("realtime", "one core busy");
  EXPECT_TRUE(busy.Running()) << "the busy loop ended before the runs did";
}

// The clock jumps a second, more than any buffer holds: one underrun and one
// overrun are counted and named, and the run still completes.
TEST(RealTimeRuns, StallIsCountedAndTheRunCompletes) {
  const std::string dir = MakeTempDir();
  const ProcessResult r = RunQuelmar("c stall t 2 r c x", dir);
  const std::string file = ReadFile(dir + "/sweep_out.txt");
  RemoveTree(dir);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> runs = RunOutputs(r.out);
  ASSERT_EQ(runs.size(), 1u) << r.out;
  const std::string warning =
      "Warning: 1 underruns and 1 overruns during the test; the alignment and the results may "
      "be wrong.\n";
  EXPECT_EQ(runs[0].substr(0, kRunning.size() + warning.size()), kRunning + warning);
  EXPECT_NE(runs[0].find("Analyzing data...\n"), std::string::npos);
  EXPECT_EQ(file.compare(0, 9, "Results:\n"), 0) << file;
}

}  // namespace
