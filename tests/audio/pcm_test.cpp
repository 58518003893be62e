// The audio layer through real alsa-lib and the virtual card, where the
// program's runs do not reach.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "audio/exchange.h"
#include "audio/pcm.h"

namespace {

long OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

// The card refuses to open a stream it still has open, and holds a descriptor for each.
TEST(Pcm, FailedSetUpsCloseTheirStream) {
  const struct { const char* device; AudioStep step; } cases[] = {
      {"fault_access", AudioStep::kParams}, {"fault_format", AudioStep::kFormat},
      {"fault_params", AudioStep::kParams}, {"fault_format_capture", AudioStep::kFormat},
      {"fault_params_capture", AudioStep::kParams}};
  const long before = OpenDescriptors();
  for (const auto& c : cases) {
    const Direction direction = strstr(c.device, "capture") ? Direction::kCapture : Direction::kPlayback;
    for (int i = 0; i < 200; ++i) {
      PcmStream stream;
      ASSERT_TRUE(OpenStream(c.device, direction, &stream).ok()) << c.device;
      const AudioStatus status = ConfigureStream(stream, {{SND_PCM_FORMAT_S24_3LE}, {2}});
      ASSERT_TRUE(status.step == c.step && status.direction == direction) << c.device;
    }
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

// Sample k of the signal (frame k / 2, channel k % 2): distinct, non-zero, 24 bits.
int32_t Played(long k) { return (static_cast<int32_t>(k * 7919 % 8000000) - 4000000) | 1; }

// One period of interleaved frames: staged on the card's device with
// non-interleaved access, handed over as they are on its interleaved one.
struct Port {
  bool source;
  std::vector<unsigned char> frames;
  long wrong = 0, periods = 0;
};

bool Map(void* context, long first, long count, snd_pcm_channel_area_t* areas) {
  Port& p = *static_cast<Port*>(context);
  p.frames.assign(count * 6, 0xff);
  for (long k = 0; p.source && k < 6 * count; ++k)
    p.frames[k] = static_cast<unsigned char>(static_cast<uint32_t>(Played(2 * first + k / 3)) >> k % 3 * 8);
  for (unsigned c = 0; c < 2; ++c) areas[c] = {p.frames.data(), 24 * c, 48};
  return true;
}

// Recorded frame j holds played frame j - 64, but for the first period,
// recorded before playback starts. Stops after 40 periods.
bool Check(void* context, long first, long count) {
  Port& p = *static_cast<Port*>(context);
  for (long k = 0; k < 2 * count; ++k) {
    const unsigned char* b = &p.frames[3 * k];
    const int32_t got = (b[0] | b[1] << 8 | b[2] << 16) - (b[2] & 0x80 ? 0x1000000 : 0);
    p.wrong += got != (first + k / 2 < 1024 ? 0 : Played(2 * (first - 64) + k));
  }
  return ++p.periods < 40;
}

TEST(Pcm, GeneratedSourceAndStreamedSinkOnStreamsOpenedApart) {
  for (const char* device : {"loopback", "interleaved"}) {
    SCOPED_TRACE(device);
    // The card offers neither S16_LE nor 1 channel: it grants what comes next.
    StreamRequest request{{SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE}, {1, 2}};
    PcmStream play, rec;
    ASSERT_TRUE(OpenStream(device, Direction::kPlayback, &play).ok());
    ASSERT_TRUE(ConfigureStream(play, request).ok());
    request.period = play.granted.period;
    ASSERT_TRUE(OpenStream(device, Direction::kCapture, &rec).ok());
    ASSERT_TRUE(ConfigureStream(rec, request).ok());
    EXPECT_TRUE(rec.granted.format == SND_PCM_FORMAT_S24_3LE && rec.granted.channels == 2);
    EXPECT_EQ(rec.granted.interleaved, device[0] == 'i');
    ASSERT_TRUE(PrepareStreams(play, rec).ok());
    Port source{true, {}}, sink{false, {}};
    ExchangeCounts counts;
    EXPECT_TRUE(ExchangePeriods(play, rec, 100, {Map, nullptr, &source}, {Map, Check, &sink},
                                nullptr, nullptr, &counts).ok());
    EXPECT_TRUE(counts.periods == 40 && counts.underruns + counts.overruns == 0);
    EXPECT_EQ(sink.wrong, 0);
  }
}

}  // namespace
