// Faults injected by configuration, on the virtual clock.
#include <gtest/gtest.h>

#include "card_io.h"

namespace {

const snd_pcm_access_t kNonInterleaved = SND_PCM_ACCESS_RW_NONINTERLEAVED;

TEST(Faults, SetUpFaultsHitOnlyTheirStream) {
  struct Case {
    const char* device;
    snd_pcm_stream_t broken;
    const char* step;
    int error;
  };
  const Case cases[] = {
      {"fault_open", SND_PCM_STREAM_PLAYBACK, "open", -EBUSY},
      {"fault_open_capture", SND_PCM_STREAM_CAPTURE, "open", -EBUSY},
      {"fault_format", SND_PCM_STREAM_PLAYBACK, "set_format", -EINVAL},
      {"fault_format_capture", SND_PCM_STREAM_CAPTURE, "set_format", -EINVAL},
      {"fault_params", SND_PCM_STREAM_PLAYBACK, "hw_params", -EINVAL},
      {"fault_params_capture", SND_PCM_STREAM_CAPTURE, "hw_params", -EINVAL},
      {"t_bad", SND_PCM_STREAM_PLAYBACK, "open", -EINVAL},
      {"t_bad_filter", SND_PCM_STREAM_CAPTURE, "open", -EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    Stream broken, fine;
    std::string step;
    EXPECT_EQ(OpenStream(c.device, c.broken, kNonInterleaved, 1024, &broken, &step), c.error);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(broken.pcm, nullptr);
    if (std::string(c.device).rfind("t_bad", 0) == 0) continue;  // both streams refuse
    const snd_pcm_stream_t other =
        c.broken == SND_PCM_STREAM_PLAYBACK ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    EXPECT_EQ(OpenStream(c.device, other, kNonInterleaved, 1024, &fine), 0);
    CloseStream(&fine);
  }
}

TEST(Faults, GrantedPeriodAndRate) {
  Stream s;
  ASSERT_EQ(OpenStream("period1000", SND_PCM_STREAM_PLAYBACK, kNonInterleaved, 1024, &s), 0);
  EXPECT_EQ(s.period, 1000u);
  EXPECT_EQ(s.buffer, 4000u);
  EXPECT_EQ(s.rate, 48000u);
  CloseStream(&s);
  ASSERT_EQ(OpenStream("rate44100", SND_PCM_STREAM_CAPTURE, kNonInterleaved, 1024, &s), 0);
  EXPECT_EQ(s.rate, 44100u);
  EXPECT_EQ(s.period, 1024u);
  CloseStream(&s);

  // Data still flows whole periods of 1000 frames.
  const Block played = Pattern(20000);
  const DuplexResult r = RunDuplex("period1000", played, 3);
  ASSERT_EQ(r.setup_error, 0);
  ASSERT_EQ(r.transfer_error, 0);
  for (size_t j = 64; j < r.captured.frames(); ++j) ASSERT_EQ(r.captured.ch2[j], played.ch2[j - 64]);
}

TEST(Faults, UnderrunLosesOnePeriodAndRecovers) {
  const Block played = Pattern(110 * 1024);
  const DuplexResult r = RunDuplex("underrun", played, 3);
  ASSERT_EQ(r.setup_error, 0);
  ASSERT_EQ(r.transfer_error, 0);
  // Frame 100000 lies in the period written at 97 * 1024.
  const size_t lost = 97 * 1024;
  ASSERT_EQ(r.underruns, std::vector<size_t>{lost});
  EXPECT_TRUE(r.overruns.empty());
  for (size_t j = 64; j < r.captured.frames(); ++j) {
    const size_t from = j - 64 < lost ? j - 64 : j - 64 + 1024;
    ASSERT_EQ(r.captured.ch2[j], from < played.frames() ? played.ch2[from] : 0) << j;
  }
}

TEST(Faults, OverrunLosesOneReadAndRecovers) {
  const Block played = Pattern(10 * 1024);
  const DuplexResult r = RunDuplex("t_overrun", played, 1);
  ASSERT_EQ(r.transfer_error, 0);
  ASSERT_EQ(r.overruns, std::vector<size_t>{4096});  // frame 5000 is in the fifth read
  EXPECT_TRUE(r.underruns.empty());
  for (size_t j = 0; j < r.captured.frames(); ++j) {
    int32_t want = 0;
    if (j >= 5120) {
      want = played.ch2[j - 1024 - 64];
    } else if (j < 4096 && j >= 64) {
      want = played.ch2[j - 64];
    }
    ASSERT_EQ(r.captured.ch2[j], want) << j;
  }
}

TEST(Faults, FatalErrorPersistsUntilClose) {
  Stream out, in;
  ASSERT_EQ(OpenStream("enodev", SND_PCM_STREAM_PLAYBACK, kNonInterleaved, 1024, &out), 0);
  ASSERT_EQ(OpenStream("enodev", SND_PCM_STREAM_CAPTURE, kNonInterleaved, 1024, &in), 0);
  const Block played = Pattern(110 * 1024);
  Block got(played.frames());
  size_t pos = 0;
  for (; pos + 1024 <= 100000; pos += 1024) {
    ASSERT_EQ(WriteBlock(out, played, pos, 1024), 1024) << pos;
    ASSERT_EQ(ReadBlock(in, &got, pos, 1024), 1024) << pos;
  }
  EXPECT_EQ(WriteBlock(out, played, pos, 1024), -ENODEV);
  EXPECT_EQ(WriteBlock(out, played, pos + 1024, 1024), -ENODEV);
  EXPECT_EQ(snd_pcm_prepare(out.pcm), -ENODEV);
  EXPECT_EQ(ReadBlock(in, &got, pos, 1024), 1024);  // capture is unaffected
  EXPECT_EQ(snd_pcm_drop(out.pcm), 0);
  EXPECT_EQ(snd_pcm_close(out.pcm), 0);
  out.pcm = nullptr;
  CloseStream(&in);
}

TEST(Faults, DrainNeverBlocksOnTheVirtualClock) {
  // Drained before it ever ran, and with data queued.
  Stream out, in;
  ASSERT_EQ(OpenStream("loopback", SND_PCM_STREAM_PLAYBACK, kNonInterleaved, 1024, &out), 0);
  ASSERT_EQ(OpenStream("loopback", SND_PCM_STREAM_CAPTURE, kNonInterleaved, 1024, &in), 0);
  EXPECT_EQ(snd_pcm_drain(out.pcm), 0);
  EXPECT_EQ(snd_pcm_drain(in.pcm), 0);
  ASSERT_EQ(snd_pcm_prepare(out.pcm), 0);
  ASSERT_EQ(snd_pcm_prepare(in.pcm), 0);
  const Block played = Pattern(4096);
  Block got(4096);
  ASSERT_EQ(WriteBlock(out, played, 0, 3072), 3072);
  ASSERT_EQ(ReadBlock(in, &got, 0, 1024), 1024);
  EXPECT_EQ(snd_pcm_drain(out.pcm), 0);
  EXPECT_EQ(snd_pcm_drain(in.pcm), 0);
  EXPECT_EQ(snd_pcm_state(out.pcm), SND_PCM_STATE_SETUP);
  CloseStream(&out);
  CloseStream(&in);
}

}  // namespace
