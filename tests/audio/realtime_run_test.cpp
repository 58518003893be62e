// Whole measurements through the built program on the virtual card's
// real-time clock: ten runs in a row, with the machine as it is and with a
// busy loop on one core, must have no xrun and report exactly what the
// virtual clock reports for the same settings; a clock jump is counted.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "background_process.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

const std::string kRunning = "Running Test...\n";

// Runs the program in a fresh folder; `file` is the result file it left.
struct Session {
  ProcessResult r;
  std::string file;
  std::vector<std::string> runs;  // each from "Running Test..." to the continue prompt
};

Session RunSession(const std::string& input) {
  const std::string dir = MakeTempDir();
  Session s{RunQuelmar(input, dir, 120000), "", {}};
  s.file = ReadFile(dir + "/sweep_out.txt");
  RemoveTree(dir);
  const std::string& out = s.r.out;
  for (size_t at = out.find(kRunning); at != std::string::npos; at = out.find(kRunning, at + 1)) {
    const size_t end = out.find(kContinue, at);
    s.runs.push_back(out.substr(at, end == std::string::npos ? end : end + kContinue.size() - at));
  }
  EXPECT_FALSE(s.r.timed_out);
  EXPECT_EQ(s.r.exit_status, 0);
  EXPECT_EQ(s.r.err, "");
  return s;
}

void ExpectTenRunsEqualVirtualClock(const char* conditions) {
  // The virtual-clock loopback has the same latency, 64 frames.
  const Session ref = RunSession("c loopback t 2 r c x");
  ASSERT_EQ(ref.runs.size(), 1u) << ref.r.out;
  ASSERT_NE(ref.runs[0].find("Sync In = 24096 samples\n"), std::string::npos) << ref.runs[0];
  ASSERT_EQ(ref.file.compare(0, 9, "Results:\n"), 0) << ref.file;
  std::string input = "c realtime t 2", blocks;
  for (int i = 0; i < 10; ++i) input += " r c", blocks += ref.file;
  const Session s = RunSession(input + " x");
  ASSERT_EQ(s.runs.size(), 10u) << s.r.out;
  int equal = 0;
  long xruns = 0, underruns, overruns;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s.runs[i], ref.runs[0]) << "run " << i + 1;
    equal += s.runs[i] == ref.runs[0];
    const size_t at = s.runs[i].find("Warning: ");
    if (at != std::string::npos && sscanf(s.runs[i].c_str() + at, "Warning: %ld underruns and %ld",
                                          &underruns, &overruns) == 2)
      xruns += underruns + overruns;
  }
  EXPECT_EQ(s.file, blocks);
  printf("realtime, %s: %d of 10 runs equal to the virtual clock, %ld xruns in all\n",
         conditions, equal, xruns);
}

TEST(RealTimeRuns, TenRunsMatchTheVirtualClockIdleAndWithOneCoreBusy) {
  ExpectTenRunsEqualVirtualClock("machine as it is");
  BackgroundProcess busy({"sh", "-c", "while :; do :; done"});
  ExpectTenRunsEqualVirtualClock("one core busy");
  EXPECT_TRUE(busy.Running()) << "the busy loop ended before the runs did";
}

// The clock jumps a second, more than any buffer holds: one underrun and one
// overrun are counted and named, and the run still completes.
TEST(RealTimeRuns, StallIsCountedAndTheRunCompletes) {
  const Session s = RunSession("c stall t 2 r c x");
  ASSERT_EQ(s.runs.size(), 1u) << s.r.out;
  const std::string warning = kRunning + "Warning: 1 underruns and 1 overruns during the test; "
                                         "the alignment and the results may be wrong.\n";
  EXPECT_EQ(s.runs[0].substr(0, warning.size()), warning);
  EXPECT_NE(s.runs[0].find("Analyzing data...\n"), std::string::npos);
  EXPECT_EQ(s.file.compare(0, 9, "Results:\n"), 0) << s.file;
}

}  // namespace
