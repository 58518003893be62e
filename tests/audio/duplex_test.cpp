// PLAY_REC through the test driver and real alsa-lib: exact output, exit
// status and the captured block.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio/duplex_messages.h"
#include "duplex_pattern.h"
#include "support/process.h"

namespace {

struct DuplexRun {
  ProcessResult proc;
  std::string capture;  // the capture block the driver wrote; empty if none
};

// Runs the driver on `device` and collects its capture block.
DuplexRun RunDuplex(const std::string& device, long frames, int mode,
                    const std::vector<std::string>& env, unsigned int rate = 48000) {
  std::string dir = MakeTempDir();
  std::string file = dir + "/capture.bin";
  ProcessOptions options;
  options.env = env;
  options.timeout_ms = 60000;
  DuplexRun run;
  run.proc = RunProcess({DUPLEX_DRIVER, device, std::to_string(mode), std::to_string(frames),
                         file, std::to_string(rate)},
                        options);
  run.capture = ReadFile(file);
  RemoveTree(dir);
  return run;
}

std::string Format(const char* format, const char* text) {
  char line[512];
  snprintf(line, sizeof line, format, text);
  return line;
}

std::string Line(const char* text) { return std::string(text) + "\n"; }

// First frame in [from, to) of `channel` that was written, or -1.
long FirstTouched(const std::string& block, long frames, int channel, long from, long to) {
  for (long j = from; j < to; ++j)
    if (!Untouched(block, frames, channel, j)) return j;
  return -1;
}

// The library's null device discards playback and moves capture frames
// without writing them, at once: only what is printed can be checked there.
TEST(DuplexNullDevice, CleanRunPrintsOnlyTheRunningLine) {
  for (long frames : {528000L, 1024L, 1000L, 0L}) {
    SCOPED_TRACE("frames " + std::to_string(frames));
    DuplexRun run = RunDuplex("null", frames, 3, {});
    EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
    EXPECT_EQ(run.proc.out, Line(kRunningTest));
    EXPECT_EQ(run.proc.err, "");
  }
}

TEST(DuplexNullDevice, OtherModesPrintNothing) {
  DuplexRun run = RunDuplex("null", 48000, 1, {});
  EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, "");
  EXPECT_EQ(run.proc.err, "");
}

TEST(DuplexNullDevice, UnknownDeviceEndsWithThePlaybackOpenMessage) {
  DuplexRun run = RunDuplex("no_such_device", 48000, 3, {});
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, "");
  EXPECT_EQ(run.capture, "");
  // alsa-lib itself names the unknown device on the lines before ours.
  std::string expected = Format(kPlaybackOpenFailed, strerror(ENOENT));
  ASSERT_GE(run.proc.err.size(), expected.size()) << run.proc.err;
  EXPECT_EQ(run.proc.err.substr(run.proc.err.size() - expected.size()), expected);
}

}  // namespace
