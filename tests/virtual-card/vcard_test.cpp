// The virtual card through real alsa-lib, where the program's own runs on it do not reach.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <random>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

constexpr long kPeriod = 1024;
using Samples = std::vector<int32_t>;  // frame j, channel c at [2 * j + c]

// Two channels of S24_3LE at 48000 Hz, 4 periods of kPeriod frames (85334 us) per buffer.
// The caller closes what was opened.
// Interleaved access is covered by the program's runs on the card's
// interleaved-only device.
int Open(snd_pcm_t** pcm, const char* device, snd_pcm_stream_t dir) {
  const int err = snd_pcm_open(pcm, device, dir, 0);
  if (err < 0) return err;
  return snd_pcm_set_params(*pcm, SND_PCM_FORMAT_S24_3LE, SND_PCM_ACCESS_RW_NONINTERLEAVED, 2,
                            48000, 0, 85334);
}

// Writes (play) or reads `n` frames at frame `pos` of `s`, packed as S24_3LE.
snd_pcm_sframes_t Move(snd_pcm_t* pcm, bool play, Samples* s, long pos, long n) {
  std::vector<unsigned char> buf(n * 6);
  // Sample k = 2 i + c: channel 2 after the whole of channel 1.
  auto at = [&](long k) { return &buf[(k % 2 * n + k / 2) * 3]; };
  void* bufs[2] = {at(0), at(1)};
  int32_t* x = s->data() + 2 * pos;
  for (long k = 0; play && k < 6 * n; ++k)
    at(k / 3)[k % 3] = static_cast<unsigned char>(static_cast<uint32_t>(x[k / 3]) >> k % 3 * 8);
  const snd_pcm_sframes_t r = play ? snd_pcm_writen(pcm, bufs, n) : snd_pcm_readn(pcm, bufs, n);
  for (long k = 0; !play && k < 2 * r; ++k)
    x[k] = (at(k)[0] | at(k)[1] << 8 | at(k)[2] << 16) - (at(k)[2] & 0x80 ? 0x1000000 : 0);
  return r;
}

struct Exchange {
  Samples got;
  std::vector<long> xruns[2];  // frames of the writes [0] and reads [1] that gave -EPIPE
  int error = 0;               // set-up error, or the first other transfer error
  bool clean() const { return xruns[0].empty() && xruns[1].empty(); }
};

// Queues `lead` periods of playback, then alternates one read and one write until as many
// frames are recorded as played; -EPIPE is repaired by prepare.
Exchange Duplex(const char* device, Samples played, long lead) {
  Exchange r;
  r.got.assign(played.size(), 0);
  snd_pcm_t* pcm[2] = {};  // playback, capture
  r.error = Open(&pcm[0], device, SND_PCM_STREAM_PLAYBACK);
  if (r.error == 0) r.error = Open(&pcm[1], device, SND_PCM_STREAM_CAPTURE);
  const long frames = static_cast<long>(played.size() / 2);
  for (long rd = -lead * kPeriod; r.error == 0 && rd < frames; rd += kPeriod) {
    for (int d : {1, 0}) {
      const long pos = d ? rd : rd + lead * kPeriod;
      if (pos < 0 || pos >= frames) continue;
      const snd_pcm_sframes_t n = Move(pcm[d], !d, d ? &r.got : &played, pos, kPeriod);
      if (n == -EPIPE) r.xruns[d].push_back(pos);
      if (n == -EPIPE) snd_pcm_prepare(pcm[d]);
      if (n < 0 && n != -EPIPE) r.error = static_cast<int>(n);
    }
  }
  for (snd_pcm_t* p : pcm) if (p != nullptr) snd_pcm_close(p);
  return r;
}

// Non-zero samples that differ from their neighbours and across channels.
Samples Pattern(long frames) {
  Samples s(2 * frames);
  for (size_t k = 0; k < s.size(); ++k)
    s[k] = (static_cast<int32_t>(k * 7919 % 8000000) - 4000000) | 1;
  return s;
}

Samples Sine(long frames, double freq, double amplitude) {  // on channel 1
  Samples s(2 * frames);
  for (long j = 0; j < frames; ++j)
    s[2 * j] = static_cast<int32_t>(std::lround(amplitude * std::sin(2 * M_PI * freq * j / 48000)));
  return s;
}

// Level in dB of channel 1 over frames [from, to) against an RMS of `ref`.
double LevelDb(const Samples& s, long from, long to, double ref) {
  double sum = 0;
  for (long j = from; j < to; ++j) sum += static_cast<double>(s[2 * j]) * s[2 * j];
  return 10 * std::log10(sum / (to - from) / (ref * ref));
}

TEST(CardLoopback, CaptureIsPlaybackDelayedExactly) {
  // The injected underrun loses the write that holds frame 100000, 97 periods
  // in, and later frames follow on.
  struct Case { const char* device; long latency, mic, lead, lost; };
  const Case cases[] = {{"t_delay", 100, 37, 1, -1}, {"t_delay", 100, 37, 3, -1},
                        {"realtime", 64, 0, 3, -1}, {"underrun", 64, 0, 3, 97 * kPeriod}};
  const Samples played = Pattern(110 * kPeriod);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    Exchange r = Duplex(c.device, played, c.lead);
    // On the real-time clock a busy machine can cause a genuine xrun.
    for (int retry = 0; retry < 2 && c.lost < 0 && !r.clean(); ++retry)
      r = Duplex(c.device, played, c.lead);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(r.xruns[0], c.lost < 0 ? std::vector<long>{} : std::vector<long>{c.lost});
    EXPECT_TRUE(r.xruns[1].empty());
    for (long k = 0; k < 2 * 110 * kPeriod; ++k) {  // frame k / 2 of channel k % 2 + 1
      long from = k / 2 - c.latency - (k % 2 ? 0 : c.mic);
      if (c.lost >= 0 && from >= c.lost) from += kPeriod;
      ASSERT_EQ(r.got[k], from >= 0 && from < 110 * kPeriod ? played[2 * from + k % 2] : 0) << k;
    }
  }
}

TEST(CardRoom, FiltersFollowTheCookbook) {
  // Over whole cycles once settled: a peak's gain at its centre, a shelf's half gain at its
  // corner, a high-pass's Q; the plateaus and the high-pass slope away from them.
  struct Case { const char* device; double freq, db; };
  const Case cases[] = {{"t_peak", 1000, 6.0},         {"t_lowshelf", 300, 3.0},
                        {"t_lowshelf", 40, 5.998},      {"t_lowshelf", 12000, 0.0},
                        {"t_highshelf", 3000, -4.0},    {"t_highshelf", 100, 0.0},
                        {"t_highshelf", 16000, -7.998}, {"t_highpass", 200, -3.0116},
                        {"t_highpass", 50, -24.100},    {"t_highpass", 4000, 0.0}};
  for (const Case& c : cases) {
    const Exchange r = Duplex(c.device, Sine(48 * kPeriod, c.freq, 1e6), 1);
    EXPECT_NEAR(LevelDb(r.got, 12000, 36000, 1e6 / std::sqrt(2)), c.db, 0.01) << c.device << c.freq;
  }
}

TEST(CardRoom, GainIsExactAndClipsToTwentyFourBits) {
  const Samples played = Sine(8 * kPeriod, 1000, 4194304);
  const Exchange r = Duplex("t_clip", played, 1);  // +12.04 dB: times 4
  ASSERT_EQ(r.error, 0);
  for (long j = 0; j < 8 * kPeriod; ++j)
    ASSERT_EQ(r.got[2 * j], std::max(-8388608L, std::min(8388607L, 4L * played[2 * j]))) << j;
}

TEST(CardRoom, NoiseIsSeededAndAtItsLevel) {
  const Samples silence(2 * 48 * kPeriod);
  const Exchange a = Duplex("t_noise", silence, 1);
  ASSERT_EQ(a.error, 0);
  EXPECT_EQ(a.got, Duplex("t_noise", silence, 3).got);
  EXPECT_NE(a.got, Duplex("t_noise_other", silence, 1).got);
  EXPECT_NEAR(LevelDb(a.got, 0, 48 * kPeriod, 8388608), -40, 0.1);
  for (long j = 0; j < 48 * kPeriod; ++j) ASSERT_EQ(a.got[2 * j + 1], 0) << j;  // cable: no noise
}

// Opens pcm.t, defined by `fields` after the card's own devices, for capture: 0 or the error,
// 1 when the text does not load. `reported` gets what alsa-lib and the card reported.
std::string reported;
void Report(const char*, int, const char*, int, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  reported += text;
}
int OpenDefined(const std::string& fields) {
  const std::string text =
      ReadFile(QUELMAR_VIRTUAL_CARD_CONF) + "pcm.t { type vcard " + fields + " }";
  snd_config_t* conf = nullptr;
  snd_pcm_t* pcm = nullptr;
  snd_lib_error_set_handler(Report);
  int err = snd_config_load_string(&conf, text.data(), text.size()) < 0 ? 1 : 0;
  reported.clear();
  if (err == 0 && (err = snd_pcm_open_lconf(&pcm, "t", SND_PCM_STREAM_CAPTURE, 0, conf)) == 0)
    snd_pcm_close(pcm);
  snd_lib_error_set_handler(nullptr);
  if (conf != nullptr) snd_config_delete(conf);
  return err;
}

// A field of each kind and each check beyond a range, refused by name; then seeded random edits
// of two definitions: each opens quietly, or is refused with -EINVAL and a message.
TEST(CardSettings, BadFieldsAreRefusedByNameAndRandomOnesHarmNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"latency 64 reflections [ { delay 150.0 gain -0.25 } ] clock realtime fatal_stream capture "
       "filters [ { type highpass freq 28 q 0.707 comment x } ] cable no seed 9", ""},
      {"bogus 1", "vcard: unknown field bogus"},
      {"latency 9223372036854775807 mic_delay 1", "field latency: must be from 0 to 131072"},
      {"latency 100000 mic_delay 100000", "field latency: latency + mic_delay is too large"},
      {"rate 48000.5", "field rate: a whole number is expected"},
      {"period 8", "field period: 0, or 16 to 65536 frames"},
      {"gain_db loud", "field gain_db: a number is expected"},
      {"cable maybe", "field cable: yes or no expected"},
      {"fail_open sideways", "field fail_open: none, playback, capture or both expected"},
      {"filters [ { freq 100 } ]", "field filters.type: must be given"},
      {"filters [ { type peak freq 30000 } ]", "field filters.freq: must be below half the rate"},
      {"reflections [ { delay 70000 gain 1 } ]", "reflections.delay: must be from 0 to 65536"},
  };
  for (const auto& [fields, message] : cases) {
    EXPECT_EQ(OpenDefined(fields), message.empty() ? 0 : -EINVAL) << fields;
    EXPECT_TRUE(message.empty() ? reported.empty() : reported.find(message) != std::string::npos)
        << fields << ": " << reported;
  }
  std::mt19937_64 rng(20240611);
  const std::string marks = "0189-.e_ x";
  for (int i = 0; i < 1000; ++i) {
    std::string f = cases[rng() % 2 * (rng() % cases.size())].first;
    for (int k = rng() % 3; k >= 0; --k) f[rng() % f.size()] = marks[rng() % marks.size()];
    const int err = OpenDefined(f);
    ASSERT_TRUE(err == -EINVAL ? reported.find("vcard: ") != std::string::npos
                               : err == 1 || ((err == 0 || err == -EBUSY) && reported.empty()))
        << f << ": " << err << " " << reported;
  }
}

}  // namespace
