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

DuplexRun RunDuplex(const std::string& device, long frames, int mode, const std::string& config) {
  std::string dir = MakeTempDir();
  std::string file = dir + "/capture.bin";
  ProcessOptions options;
  if (!config.empty()) options.env = {"ALSA_CONFIG_PATH=" + config};
  DuplexRun run;
  run.proc = RunProcess(
      {DUPLEX_DRIVER, device, std::to_string(mode), std::to_string(frames), file}, options);
  run.capture = ReadFile(file);
  RemoveTree(dir);
  return run;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char line[512];
  snprintf(line, sizeof line, format, args...);
  return line;
}

std::string Line(const char* text) { return std::string(text) + "\n"; }

TEST(DuplexSystemDevices, UnknownDeviceEndsWithThePlaybackOpenMessage) {
  DuplexRun run = RunDuplex("no_such_device", 48000, 3, "");
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, "");
  EXPECT_EQ(run.capture, "");
  // alsa-lib itself names the unknown device on the lines before ours.
  std::string expected = Format(kPlaybackOpenFailed, strerror(ENOENT));
  ASSERT_GE(run.proc.err.size(), expected.size()) << run.proc.err;
  EXPECT_EQ(run.proc.err.substr(run.proc.err.size() - expected.size()), expected);
}

TEST(DuplexSystemDevices, DeviceThatStopsMovingEndsTheRunInsteadOfHanging) {
  DuplexRun run = RunDuplex("frozen", 48000, 3, FROZEN_ALSA_CONFIG_PATH);
  EXPECT_FALSE(run.proc.timed_out);
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, Line(kRunningTest));
  // Capture runs first, and its first period never comes.
  EXPECT_EQ(run.proc.err, Format(kRecordingFailed, kDeviceStalled));
  EXPECT_EQ(run.capture, "");
}

#ifdef QUELMAR_ALSA_CONFIG_PATH

constexpr long kLatency = 64;  // every card device used here delays by this much

// Frames [0, recorded) of both channels hold what was played kLatency frames
// earlier, except the first period, which is recorded before playback starts
// and so holds silence; later frames were never written.
void ExpectRecorded(const DuplexRun& run, long frames, long period, long recorded) {
  ASSERT_EQ(run.capture.size(), static_cast<size_t>(2 * frames * kBytesPerSample));
  for (int c = 0; c < 2; ++c) {
    long wrong = -1;
    for (long j = 0; j < frames && wrong < 0; ++j) {
      bool ok = j >= recorded ? Untouched(run.capture, frames, c, j)
                              : SampleAt(run.capture, frames, c, j) ==
                                    (j < period ? 0 : PatternSample(c, j - kLatency));
      if (!ok) wrong = j;
    }
    EXPECT_EQ(wrong, -1) << "first wrong frame of channel " << c + 1;
  }
}

struct Outcome {
  const char* device;
  long frames;
  int exit_status;
  std::string out, err;
  long recorded;  // frames recorded as played, or -1 when no block is written
  long period = 1024;
};

void ExpectOutcome(const Outcome& c, int mode = 3) {
  SCOPED_TRACE(std::string(c.device) + ", frames " + std::to_string(c.frames));
  DuplexRun run = RunDuplex(c.device, c.frames, mode, QUELMAR_ALSA_CONFIG_PATH);
  EXPECT_EQ(run.proc.exit_status, c.exit_status) << run.proc.err;
  EXPECT_EQ(run.proc.out, c.out);
  EXPECT_EQ(run.proc.err, c.err);
  if (c.recorded < 0)
    EXPECT_EQ(run.capture, "");
  else
    ExpectRecorded(run, c.frames, c.period, c.recorded);
}

TEST(DuplexCard, SetUpFailuresPrintTheirMessageAndExit1) {
  const char* busy = strerror(EBUSY);
  const char* invalid = strerror(EINVAL);
  const Outcome cases[] = {
      {"fault_open", 48000, 1, "", Format(kPlaybackOpenFailed, busy), -1},
      {"fault_format", 48000, 1, "", Format(kPlaybackFormatFailed, invalid), -1},
      {"fault_params", 48000, 1, "", Format(kPlaybackParamsFailed, invalid), -1},
      {"fault_open_capture", 48000, 1, "", Format(kCaptureOpenFailed, busy), -1},
      {"fault_format_capture", 48000, 1, "", Format(kCaptureFormatFailed, invalid), -1},
      {"fault_params_capture", 48000, 1, Format(kCaptureParamsFailed, invalid), "", -1},
  };
  for (const Outcome& c : cases) ExpectOutcome(c);
}

TEST(DuplexCard, ExchangesEveryPeriodThatStartsBeforeTheLast) {
  const std::string running = Line(kRunningTest);
  // The default run leaves 640 frames over, an exact multiple a whole
  // period; fewer frames than two periods move at most one.
  const Outcome cases[] = {
      {"loopback", 528000, 0, running, "", 515 * 1024},
      {"loopback", 384000, 0, running, "", 374 * 1024},
      {"loopback", 2049, 0, running, "", 2048},
      {"loopback", 1024, 0, running, "", 0},
      {"loopback", 1000, 0, running, "", 0},
      {"period1000", 528000, 0, Line(kPeriodWarning) + running, "", 527 * 1000, 1000},
      {"rate44100", 96000, 0, Format(kRateWarning, 44100u, 48000u) + running, "", 93 * 1024},
  };
  for (const Outcome& c : cases) ExpectOutcome(c);
  // Any other mode configures the device and moves nothing.
  ExpectOutcome({"loopback", 48000, 0, "", "", 0}, 0);
}

TEST(DuplexCard, TransferFaults) {
  // The lost playback period does not disturb capture, which reads to its end.
  DuplexRun run = RunDuplex("underrun", 528000, 3, QUELMAR_ALSA_CONFIG_PATH);
  EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, Line(kRunningTest) + Format(kXrunWarning, 1L, 0L));
  EXPECT_EQ(run.proc.err, "");
  ASSERT_EQ(run.capture.size(), static_cast<size_t>(2 * 528000 * kBytesPerSample));
  EXPECT_FALSE(Untouched(run.capture, 528000, 1, 515 * 1024 - 1));
  EXPECT_TRUE(Untouched(run.capture, 528000, 1, 515 * 1024));

  ExpectOutcome({"enodev", 528000, 1, Line(kRunningTest),
                 Format(kPlaybackFailed, strerror(ENODEV)), -1});
}

// On the real-time clock a run lasts as long as its frames, and the buffer
// leaves room for a hold-up of a third of a second: one run must be clean.
TEST(DuplexCardRealTime, PlaybackLeadAvoidsXruns) {
  // A 2-second sweep with its lead and tail.
  ExpectOutcome({"realtime", 144000, 0, Line(kRunningTest), "", 140 * 1024});
}

TEST(DuplexCardRealTime, ClockJumpCountsOneXrunPerStream) {
  const std::string running = Line(kRunningTest);
  for (const char* device : {"stall", "stall_capture"}) {
    SCOPED_TRACE(device);
    long underruns = std::string(device) == "stall" ? 1 : 0;
    DuplexRun run = RunDuplex(device, 96000, 3, QUELMAR_ALSA_CONFIG_PATH);
    EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
    EXPECT_EQ(run.proc.out, running + Format(kXrunWarning, underruns, 1L));
  }
}

#endif  // QUELMAR_ALSA_CONFIG_PATH

}  // namespace
