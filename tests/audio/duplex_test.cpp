// PLAY_REC through the test driver and real alsa-lib: exact output, exit
// status and the captured block. Device faults, a device that stops moving
// among them, are covered through the program itself in the console tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "audio/duplex_messages.h"
#include "support/process.h"

namespace {

struct DuplexRun {
  ProcessResult proc;
  std::string play, capture;  // the blocks the driver wrote; empty if none
};

DuplexRun RunDuplex(const char* device, long frames, int mode, const char* config) {
  const std::string dir = MakeTempDir(), file = dir + "/capture.bin";
  ProcessOptions options;
  options.env = {std::string("ALSA_CONFIG_PATH=") + config};
  DuplexRun run;
  run.proc = RunProcess(
      {DUPLEX_DRIVER, device, std::to_string(mode), std::to_string(frames), file}, options);
  const std::string blocks = ReadFile(file);
  run.play = blocks.substr(0, blocks.size() / 2);
  run.capture = blocks.substr(blocks.size() / 2);
  RemoveTree(dir);
  return run;
}



// Frames [0, recorded) of both channels hold what was played 64 frames
// earlier (the loopback's latency), except the first period, which is
// recorded before playback starts and so holds silence; later frames are
// never written.
std::string ExpectedCapture(const std::string& play, long frames, long recorded) {
  std::string block;
  for (long c = 0; c < 2; ++c)
    for (long j = 0; j < frames; ++j)
      if (j >= recorded)
        block.append(3, static_cast<char>(0xA5));
      else if (j < 1024)
        block.append(3, '\0');
      else
        block.append(play, ((c * frames) + j - 64) * 3, 3);
  return block;
}

TEST(DuplexCard, ExchangesEveryPeriodThatStartsBeforeTheLast) {
  // The default run leaves 640 frames over; fewer frames than a period move
  // nothing; any mode but 3 configures the device and moves nothing.
  const struct { long frames; int mode; long periods; } cases[] = {
      {528000, 3, 515}, {384000, 3, 374}, {1000, 3, 0}, {48000, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("frames " + std::to_string(c.frames) + ", mode " + std::to_string(c.mode));
    DuplexRun run = RunDuplex("loopback", c.frames, c.mode, QUELMAR_ALSA_CONFIG_PATH);
    EXPECT_EQ(run.proc.exit_status, 0) << run.proc.err;
    EXPECT_EQ(run.proc.out, c.mode == 3 ? std::string(kRunningTest) + "\n" : "");
    EXPECT_EQ(run.proc.err, "");
    ASSERT_EQ(run.capture.size(), static_cast<size_t>(c.frames * 6));
    const std::string expected = ExpectedCapture(run.play, c.frames, c.periods * 1024);
    const auto at = std::mismatch(expected.begin(), expected.end(), run.capture.begin()).first;
    EXPECT_TRUE(at == expected.end()) << "first wrong byte at " << at - expected.begin();
  }
}



}  // namespace
