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

TEST(DuplexSystemDevices, UnknownDeviceEndsWithThePlaybackOpenMessage) {
  DuplexRun run = RunDuplex("no_such_device", 48000, 3, {});
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, "");
  EXPECT_EQ(run.capture, "");
  // alsa-lib itself names the unknown device on the lines before ours.
  std::string expected = Format(kPlaybackOpenFailed, strerror(ENOENT));
  ASSERT_GE(run.proc.err.size(), expected.size()) << run.proc.err;
  EXPECT_EQ(run.proc.err.substr(run.proc.err.size() - expected.size()), expected);
}

TEST(DuplexSystemDevices, DeviceThatStopsMovingEndsTheRunInsteadOfHanging) {
  DuplexRun run = RunDuplex("frozen", 48000, 3,
                            {std::string("ALSA_CONFIG_PATH=") + FROZEN_ALSA_CONFIG_PATH});
  EXPECT_FALSE(run.proc.timed_out);
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, Line(kRunningTest));
  // Playback queues its lead into the empty buffer; the first read then waits.
  EXPECT_EQ(run.proc.err, Format(kRecordingFailed, kDeviceStalled));
  EXPECT_EQ(run.capture, "");
}

#ifdef QUELMAR_ALSA_CONFIG_PATH

const std::vector<std::string> kCardEnv = {std::string("ALSA_CONFIG_PATH=") +
                                           QUELMAR_ALSA_CONFIG_PATH};
constexpr long kLatency = 64;  // every card device but room delays by this much

DuplexRun RunCard(const std::string& device, long frames, int mode = 3) {
  return RunDuplex(device, frames, mode, kCardEnv);
}

std::string RateWarning(unsigned int granted, unsigned int requested) {
  char line[256];
  snprintf(line, sizeof line, kRateWarning, granted, requested);
  return line;
}

std::string XrunWarning(long underruns, long overruns) {
  char line[256];
  snprintf(line, sizeof line, kXrunWarning, underruns, overruns);
  return line;
}

// Frames [0, recorded) of both channels hold what was played `kLatency`
// frames earlier (silence before the first played frame), and frames
// [recorded, frames) were never written.
void ExpectRecorded(const DuplexRun& run, long frames, long recorded) {
  ASSERT_EQ(run.capture.size(), static_cast<size_t>(2 * frames * kBytesPerSample));
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c + 1));
    long wrong = -1;
    for (long j = 0; j < recorded && wrong < 0; ++j) {
      int32_t expected = j < kLatency ? 0 : PatternSample(c, j - kLatency);
      if (SampleAt(run.capture, frames, c, j) != expected) wrong = j;
    }
    EXPECT_EQ(wrong, -1) << "first captured frame that is not the played one";
    EXPECT_EQ(FirstTouched(run.capture, frames, c, recorded, frames), -1)
        << "frame past the last period was written";
  }
}

TEST(DuplexCard, SetUpFailuresPrintTheirMessageAndExit1) {
  struct Case {
    const char* device;
    std::string out, err;
  };
  const char* busy = strerror(EBUSY);
  const char* invalid = strerror(EINVAL);
  const Case cases[] = {
      {"fault_open", "", Format(kPlaybackOpenFailed, busy)},
      {"fault_format", "", Format(kPlaybackFormatFailed, invalid)},
      {"fault_params", "", Format(kPlaybackParamsFailed, invalid)},
      {"fault_open_capture", "", Format(kCaptureOpenFailed, busy)},
      {"fault_format_capture", "", Format(kCaptureFormatFailed, invalid)},
      {"fault_params_capture", Format(kCaptureParamsFailed, invalid), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    DuplexRun run = RunCard(c.device, 48000);
    EXPECT_EQ(run.proc.exit_status, 1);
    EXPECT_EQ(run.proc.out, c.out);
    EXPECT_EQ(run.proc.err, c.err);
    EXPECT_EQ(run.capture, "");
  }
}

TEST(DuplexCard, ExchangesEveryPeriodThatStartsBeforeTheLast) {
  struct Case {
    long frames, recorded;
  };
  // The default run leaves 640 frames over; an exact multiple a whole period;
  // fewer frames than a period (or exactly one) move nothing.
  const Case cases[] = {{528000, 515 * 1024}, {384000, 374 * 1024}, {2049, 2048},
                        {1024, 0},            {1000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("frames " + std::to_string(c.frames));
    DuplexRun run = RunCard("loopback", c.frames);
    ASSERT_EQ(run.proc.exit_status, 0) << run.proc.err;
    EXPECT_EQ(run.proc.out, Line(kRunningTest));
    EXPECT_EQ(run.proc.err, "");
    ExpectRecorded(run, c.frames, c.recorded);
  }
}

TEST(DuplexCard, OtherModesConfigureButMoveNothing) {
  DuplexRun run = RunCard("loopback", 48000, 0);
  EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, "");
  EXPECT_EQ(run.proc.err, "");
  ExpectRecorded(run, 48000, 0);
}

TEST(DuplexCard, GrantedPeriodIsTheTransferUnit) {
  DuplexRun run = RunCard("period1000", 528000);
  ASSERT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, Line(kPeriodWarning) + Line(kRunningTest));
  EXPECT_EQ(run.proc.err, "");
  ExpectRecorded(run, 528000, 527 * 1000);
}

TEST(DuplexCard, OtherGrantedRateIsNamedAndTheRunGoesOn) {
  DuplexRun run = RunCard("rate44100", 96000);
  ASSERT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, RateWarning(44100, 48000) + Line(kRunningTest));
  ExpectRecorded(run, 96000, 93 * 1024);
}

TEST(DuplexCard, UnderrunIsRepairedAndCounted) {
  DuplexRun run = RunCard("underrun", 528000);
  ASSERT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, Line(kRunningTest) + XrunWarning(1, 0));
  EXPECT_EQ(run.proc.err, "");
  // Capture is untouched by the fault and still reads every period.
  ASSERT_EQ(run.capture.size(), static_cast<size_t>(2 * 528000 * kBytesPerSample));
  EXPECT_EQ(FirstTouched(run.capture, 528000, 1, 515 * 1024, 528000), -1);
  EXPECT_FALSE(Untouched(run.capture, 528000, 1, 515 * 1024 - 1));
}

TEST(DuplexCard, LostDeviceEndsTheRunNamingPlayback) {
  DuplexRun run = RunCard("enodev", 528000);
  EXPECT_EQ(run.proc.exit_status, 1);
  EXPECT_EQ(run.proc.out, Line(kRunningTest));
  EXPECT_EQ(run.proc.err, Format(kPlaybackFailed, strerror(ENODEV)));
  EXPECT_EQ(run.capture, "");
}

// On the real-time clock a run takes as long as its frames last. A busy
// machine can delay the program by more than the playback lead, so each
// case gets a few tries; the output of a clean try must be exact.
DuplexRun FirstRunPrinting(const std::string& device, long frames, const std::string& out) {
  DuplexRun run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    run = RunCard(device, frames);
    if (run.proc.exit_status == 0 && run.proc.out == out) break;
  }
  return run;
}

TEST(DuplexCardRealTime, PlaybackLeadAvoidsXruns) {
  // A 2-second sweep with its lead and tail.
  DuplexRun run = FirstRunPrinting("realtime", 144000, Line(kRunningTest));
  ASSERT_EQ(run.proc.exit_status, 0) << run.proc.err;
  EXPECT_EQ(run.proc.out, Line(kRunningTest));
  EXPECT_EQ(run.proc.err, "");
  ExpectRecorded(run, 144000, 140 * 1024);
}

TEST(DuplexCardRealTime, ClockJumpCountsOneXrunPerStream) {
  DuplexRun both = FirstRunPrinting("stall", 96000, Line(kRunningTest) + XrunWarning(1, 1));
  EXPECT_EQ(both.proc.exit_status, 0) << both.proc.err;
  EXPECT_EQ(both.proc.out, Line(kRunningTest) + XrunWarning(1, 1));
  DuplexRun capture =
      FirstRunPrinting("stall_capture", 96000, Line(kRunningTest) + XrunWarning(0, 1));
  EXPECT_EQ(capture.proc.exit_status, 0) << capture.proc.err;
  EXPECT_EQ(capture.proc.out, Line(kRunningTest) + XrunWarning(0, 1));
}

#endif  // QUELMAR_ALSA_CONFIG_PATH

}  // namespace
