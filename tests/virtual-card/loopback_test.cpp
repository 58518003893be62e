// The loopback and the room model on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>

#include "card_io.h"

namespace {

struct DelayCase {
  const char* device;
  long latency;
  long mic_delay;
};

void ExpectDelayed(const Block& played, const Block& got, long latency, long mic_delay) {
  for (size_t j = 0; j < got.frames(); ++j) {
    const long j2 = static_cast<long>(j) - latency;
    const long j1 = j2 - mic_delay;
    ASSERT_EQ(got.ch2[j], j2 >= 0 ? played.ch2[j2] : 0) << "channel 2, frame " << j;
    ASSERT_EQ(got.ch1[j], j1 >= 0 ? played.ch1[j1] : 0) << "channel 1, frame " << j;
  }
}

TEST(Loopback, CaptureIsPlaybackDelayedExactly) {
  const Block played = Pattern(40 * 1024);
  for (const DelayCase& c : {DelayCase{"loopback", 64, 0}, DelayCase{"t_delay", 100, 37}}) {
    // Where playback stands relative to capture must not matter.
    for (int lead : {1, 3}) {
      SCOPED_TRACE(std::string(c.device) + " lead " + std::to_string(lead));
      const DuplexResult r = RunDuplex(c.device, played, lead);
      ASSERT_EQ(r.setup_error, 0);
      ASSERT_EQ(r.transfer_error, 0);
      EXPECT_TRUE(r.underruns.empty());
      EXPECT_TRUE(r.overruns.empty());
      ExpectDelayed(played, r.captured, c.latency, c.mic_delay);
    }
  }
}

TEST(Loopback, InterleavedAccessWorksBothWays) {
  const Block played = Pattern(20 * 1024);
  for (bool ip : {true, false}) {
    SCOPED_TRACE(ip ? "interleaved playback" : "interleaved capture");
    const DuplexResult r = RunDuplex("t_delay", played, 2, ip, !ip);
    ASSERT_EQ(r.setup_error, 0);
    ASSERT_EQ(r.transfer_error, 0);
    ExpectDelayed(played, r.captured, 100, 37);
  }
}

TEST(Loopback, NoCableLeavesChannelTwoSilent) {
  const Block played = Pattern(10 * 1024);
  const DuplexResult r = RunDuplex("nocable", played, 1);
  ASSERT_EQ(r.setup_error, 0);
  for (size_t j = 0; j < r.captured.frames(); ++j) {
    ASSERT_EQ(r.captured.ch2[j], 0) << j;
    ASSERT_EQ(r.captured.ch1[j], j >= 64 ? played.ch1[j - 64] : 0) << j;
  }
}

TEST(Loopback, DevicesAndStreamsDoNotMix) {
  Stream out, in, second;
  ASSERT_EQ(OpenStream("t_delay", SND_PCM_STREAM_PLAYBACK, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                       1024, &out), 0);
  // One playback substream per device, as on a real card.
  EXPECT_EQ(OpenStream("t_delay", SND_PCM_STREAM_PLAYBACK, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                       1024, &second), -EBUSY);
  ASSERT_EQ(OpenStream("loopback", SND_PCM_STREAM_CAPTURE, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                       1024, &in), 0);
  const Block played = Pattern(4096);
  Block got(4096);
  for (size_t pos = 0; pos < 4096; pos += 1024) {
    ASSERT_EQ(WriteBlock(out, played, pos, 1024), 1024);
    ASSERT_EQ(ReadBlock(in, &got, pos, 1024), 1024);
  }
  for (size_t j = 0; j < got.frames(); ++j) {
    ASSERT_EQ(got.ch1[j], 0) << j;
    ASSERT_EQ(got.ch2[j], 0) << j;
  }
  CloseStream(&out);
  CloseStream(&in);
}

// Level of the recorded sine against the played one, over whole cycles
// after the filters have settled.
double MeasuredDb(const char* device, double freq) {
  const Block played = Sine(48 * 1024, freq, 1e6);
  const DuplexResult r = RunDuplex(device, played, 1);
  EXPECT_EQ(r.setup_error, 0);
  return 20 * std::log10(Rms(r.captured.ch1, 12000, 36000) / Rms(played.ch1, 12000, 36000));
}

TEST(RoomModel, GainIsExact) { EXPECT_NEAR(MeasuredDb("t_gain", 1000), -6.0, 0.001); }

TEST(RoomModel, FiltersFollowTheCookbook) {
  // Points where the cookbook response is known exactly: a peak gives its
  // gain at its centre, a shelf half its gain at its corner, a high-pass
  // its Q; far from the corners the shelves reach their plateaus.
  struct Case {
    const char* device;
    double freq, db, tolerance;
  };
  const Case cases[] = {{"t_peak", 1000, 6.0, 0.01},        {"t_lowshelf", 300, 3.0, 0.01},
                        {"t_highshelf", 3000, -4.0, 0.01},   {"t_highpass", 200, 20 * std::log10(0.707), 0.01},
                        {"t_lowshelf", 12000, 0.0, 0.1},     {"t_highshelf", 100, 0.0, 0.1},
                        {"t_highshelf", 16000, -8.0, 0.5},   {"t_peak", 100, 0.0, 0.1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " at " + std::to_string(c.freq) + " Hz");
    EXPECT_NEAR(MeasuredDb(c.device, c.freq), c.db, c.tolerance);
  }
}

TEST(RoomModel, ClipsToTwentyFourBits) {
  const Block played = Sine(8 * 1024, 1000, 4194304);
  const DuplexResult r = RunDuplex("t_clip", played, 1);
  ASSERT_EQ(r.setup_error, 0);
  int top = 0, bottom = 0;
  for (size_t j = 0; j < r.captured.frames(); ++j) {
    const long want = std::max(-8388608L, std::min(8388607L, 4L * played.ch1[j]));
    ASSERT_EQ(r.captured.ch1[j], want) << j;
    top += want == 8388607;
    bottom += want == -8388608;
  }
  EXPECT_GT(top, 100);
  EXPECT_GT(bottom, 100);
}

TEST(RoomModel, NoiseIsSeededAndAtItsLevel) {
  const Block silence(48 * 1024);
  const DuplexResult a = RunDuplex("t_noise", silence, 1);
  const DuplexResult b = RunDuplex("t_noise", silence, 3);
  const DuplexResult other = RunDuplex("t_noise_other", silence, 1);
  ASSERT_EQ(a.setup_error, 0);
  const size_t n = a.captured.frames();
  EXPECT_NEAR(20 * std::log10(Rms(a.captured.ch1, 0, n) / 8388608.0), -40.0, 0.1);
  EXPECT_NEAR(20 * std::log10(Rms(other.captured.ch1, 0, n) / 8388608.0), -40.0, 0.1);
  EXPECT_EQ(a.captured.ch1, b.captured.ch1);
  EXPECT_NE(a.captured.ch1, other.captured.ch1);
  EXPECT_EQ(a.captured.ch2, silence.ch2);  // the cable carries no noise
  double mean = 0;
  for (int32_t v : a.captured.ch1) mean += v;
  EXPECT_LT(std::fabs(mean / n), 1000.0);
}

TEST(RoomModel, ShippedRoomIsDeterministicAndDelaysTheMicrophone) {
  // A click on both outputs: it comes back on input 2 after the latency and
  // on input 1 no earlier than latency + mic_delay (noise aside).
  Block played(16 * 1024);
  played.ch1[1000] = 4000000;
  played.ch2[1000] = 4000000;
  const DuplexResult a = RunDuplex("room", played, 1);
  const DuplexResult b = RunDuplex("room", played, 3);
  ASSERT_EQ(a.setup_error, 0);
  EXPECT_EQ(a.captured.ch1, b.captured.ch1);
  EXPECT_EQ(a.captured.ch2[1064], 4000000);
  size_t loud = 0;
  for (size_t j = 0; j < a.captured.frames(); ++j) {
    if (std::abs(a.captured.ch1[j]) > 10000) {
      loud = j;
      break;
    }
  }
  EXPECT_EQ(loud, 1000u + 64 + 280);
}

}  // namespace
