// The real-time clock. Timing here is tolerant: a loaded machine may cause
// a genuine xrun, so runs that must be clean are retried a few times, and
// nothing asserts that the card is fast, only that it is not faster than
// real time.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>

#include "card_io.h"

namespace {

const snd_pcm_access_t kNonInterleaved = SND_PCM_ACCESS_RW_NONINTERLEAVED;

void SleepMs(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&ts, nullptr);
}

TEST(Realtime, RunWithPlaybackAheadIsCleanAndMatchesVirtualClock) {
  const Block played = Pattern(48 * 1024);
  const DuplexResult reference = RunDuplex("t_room_virtual", played, 3);
  ASSERT_EQ(reference.setup_error, 0);
  DuplexResult r;
  int attempts = 0;
  do {
    r = RunDuplex("t_room_realtime", played, 3);
    ASSERT_EQ(r.setup_error, 0);
    ASSERT_EQ(r.transfer_error, 0);
    ++attempts;
  } while ((!r.underruns.empty() || !r.overruns.empty()) && attempts < 3);
  std::printf("real-time run: %d attempt(s), %.3f s, %zu underruns, %zu overruns\n", attempts,
              r.seconds, r.underruns.size(), r.overruns.size());
  EXPECT_TRUE(r.underruns.empty());
  EXPECT_TRUE(r.overruns.empty());
  EXPECT_EQ(r.captured.ch1, reference.captured.ch1);
  EXPECT_EQ(r.captured.ch2, reference.captured.ch2);
  // Capture had to wait for the card: no faster than the frames it moved,
  // less the buffer that playback may fill ahead.
  EXPECT_GE(r.seconds, 0.9 * (48 * 1024 - 4096) / 48000.0);
}

TEST(Realtime, PlaybackUnderrunsWhenLeftToRunDry) {
  Stream out;
  ASSERT_EQ(OpenStream("realtime", SND_PCM_STREAM_PLAYBACK, kNonInterleaved, 1024, &out), 0);
  const Block played = Pattern(4096);
  ASSERT_EQ(WriteBlock(out, played, 0, 1024), 1024);  // starts; 21 ms queued
  SleepMs(100);
  EXPECT_EQ(WriteBlock(out, played, 1024, 1024), -EPIPE);
  EXPECT_EQ(snd_pcm_state(out.pcm), SND_PCM_STATE_XRUN);
  ASSERT_EQ(snd_pcm_prepare(out.pcm), 0);
  EXPECT_EQ(WriteBlock(out, played, 1024, 1024), 1024);
  CloseStream(&out);
}

TEST(Realtime, CaptureOverrunsWhenNotReadWithinABuffer) {
  Stream in;
  ASSERT_EQ(OpenStream("realtime", SND_PCM_STREAM_CAPTURE, kNonInterleaved, 1024, &in), 0);
  Block got(4096);
  ASSERT_EQ(ReadBlock(in, &got, 0, 1024), 1024);  // starts, waits one period
  SleepMs(150);                                   // a buffer is 85 ms
  EXPECT_EQ(ReadBlock(in, &got, 1024, 1024), -EPIPE);
  ASSERT_EQ(snd_pcm_prepare(in.pcm), 0);
  EXPECT_EQ(ReadBlock(in, &got, 1024, 1024), 1024);
  CloseStream(&in);
}

TEST(Realtime, PositionAdvancesInWholePeriods) {
  Stream in;
  ASSERT_EQ(OpenStream("realtime", SND_PCM_STREAM_CAPTURE, kNonInterleaved, 1024, &in), 0);
  ASSERT_EQ(snd_pcm_start(in.pcm), 0);
  for (int i = 0; i < 5; ++i) {
    SleepMs(7);
    const snd_pcm_sframes_t avail = snd_pcm_avail(in.pcm);
    ASSERT_GE(avail, 0);
    EXPECT_EQ(avail % 1024, 0) << avail;
  }
  // snd_pcm_wait returns once a period is there.
  EXPECT_EQ(snd_pcm_wait(in.pcm, 1000), 1);
  EXPECT_GE(snd_pcm_avail(in.pcm), 1024);
  CloseStream(&in);
}

TEST(Realtime, DrainPlaysOutAndReturns) {
  Stream out;
  ASSERT_EQ(OpenStream("realtime", SND_PCM_STREAM_PLAYBACK, kNonInterleaved, 1024, &out), 0);
  const Block played = Pattern(4096);
  ASSERT_EQ(WriteBlock(out, played, 0, 3072), 3072);
  EXPECT_EQ(snd_pcm_drain(out.pcm), 0);
  EXPECT_EQ(snd_pcm_state(out.pcm), SND_PCM_STATE_SETUP);
  CloseStream(&out);
}

TEST(Realtime, StallCausesAnXrun) {
  const Block played = Pattern(24 * 1024);
  struct Case {
    const char* device;
    bool playback_hit;
  };
  for (const Case& c : {Case{"t_stall", true}, Case{"t_stall_capture", false},
                        Case{"t_stall_time", true}}) {
    SCOPED_TRACE(c.device);
    const DuplexResult r = RunDuplex(c.device, played, 3);
    ASSERT_EQ(r.setup_error, 0);
    ASSERT_EQ(r.transfer_error, 0);
    std::printf("%s: %zu underruns, %zu overruns\n", c.device, r.underruns.size(),
                r.overruns.size());
    EXPECT_GE(r.overruns.size(), 1u);
    if (c.playback_hit) {
      EXPECT_GE(r.underruns.size(), 1u);
    }
  }
}

}  // namespace
