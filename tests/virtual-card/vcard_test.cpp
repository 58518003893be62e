// The virtual card through real alsa-lib, where the program's own runs on it do not reach: its
// devices, faults and settings, and its home models, each against its README's formula computed
// here (streams, formats and channels on offer, a capture's own clock, distortion, noise, tail).
#include <alsa/asoundlib.h>
#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdarg>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dsp/decay.h"
#include "support/card_model.h"
#include "support/process.h"

namespace {

constexpr long kPeriod = 1024;
constexpr double kRate = 48000, kFull = 8388608;
using Samples = std::vector<int32_t>;  // native (a float's bits); frame j channel c: [ch * j + c]
using Doubles = std::vector<double>;
using Complex = std::complex<double>;
const auto S16 = SND_PCM_FORMAT_S16_LE, S24 = SND_PCM_FORMAT_S24_3LE, S32 = SND_PCM_FORMAT_S32_LE,
           F32 = SND_PCM_FORMAT_FLOAT_LE;

// One end of an exchange: a device, the sample format and channel count asked of it.
struct Side { const char* device; snd_pcm_format_t format = S24; unsigned channels = 2; };

// Non-interleaved read/write access at 48000 Hz, 4 periods of kPeriod frames (85334 us) per
// buffer. The caller closes what was opened.
int Open(snd_pcm_t** pcm, const Side& side, snd_pcm_stream_t dir) {
  const int err = snd_pcm_open(pcm, side.device, dir, 0);
  if (err < 0) return err;
  return snd_pcm_set_params(*pcm, side.format, SND_PCM_ACCESS_RW_NONINTERLEAVED, side.channels,
                            48000, 0, 85334);
}

// Writes (play) or reads `n` frames at frame `pos` of `s`, packed little-endian.
snd_pcm_sframes_t Move(snd_pcm_t* pcm, const Side& side, bool play, Samples* s, long pos, long n) {
  const unsigned ch = side.channels;
  const long width = snd_pcm_format_physical_width(side.format) / 8;
  std::vector<unsigned char> buf(n * ch * width);
  // Sample k = ch * i + c: each channel's block after the one before.
  auto at = [&](long k) { return &buf[(k % ch * n + k / ch) * width]; };
  std::vector<void*> bufs;
  for (unsigned c = 0; c < ch; ++c) bufs.push_back(at(c));
  int32_t* x = s->data() + ch * pos;
  for (long k = 0; play && k < static_cast<long>(ch) * n; ++k)
    for (long b = 0; b < width; ++b)
      at(k)[b] = static_cast<unsigned char>(static_cast<uint32_t>(x[k]) >> 8 * b);
  const snd_pcm_sframes_t r =
      play ? snd_pcm_writen(pcm, bufs.data(), n) : snd_pcm_readn(pcm, bufs.data(), n);
  for (long k = 0; !play && k < static_cast<long>(ch) * r; ++k) {
    uint32_t u = 0;
    for (long b = width - 1; b >= 0; --b) u = u << 8 | at(k)[b];
    const uint32_t sign = 1u << (8 * width - 1);  // sign-extend 2 and 3 bytes
    x[k] = static_cast<int32_t>(width == 4 ? u : (u ^ sign) - sign);
  }
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
Exchange Duplex(const Side& play, const Side& capture, Samples played, long lead) {
  Exchange r;
  const long frames = static_cast<long>(played.size() / play.channels);
  r.got.assign(frames * capture.channels, 0);
  snd_pcm_t* pcm[2] = {};  // playback, capture
  r.error = Open(&pcm[0], play, SND_PCM_STREAM_PLAYBACK);
  if (r.error == 0) r.error = Open(&pcm[1], capture, SND_PCM_STREAM_CAPTURE);
  for (long rd = -lead * kPeriod; r.error == 0 && rd < frames; rd += kPeriod) {
    for (int d : {1, 0}) {
      const long pos = d ? rd : rd + lead * kPeriod;
      if (pos < 0 || pos >= frames) continue;
      const long n = std::min(kPeriod, frames - pos);
      const snd_pcm_sframes_t got =
          Move(pcm[d], d ? capture : play, !d, d ? &r.got : &played, pos, n);
      if (got == -EPIPE) r.xruns[d].push_back(pos);
      if (got == -EPIPE) snd_pcm_prepare(pcm[d]);
      if (got < 0 && got != -EPIPE) r.error = static_cast<int>(got);
    }
  }
  for (snd_pcm_t* p : pcm)
    if (p != nullptr) snd_pcm_close(p);
  return r;
}

Exchange Duplex(const char* device, Samples played, long lead) {
  return Duplex(Side{device}, Side{device}, std::move(played), lead);
}

// Channel 1 from f(frame) (24-bit scale, rounded), a silent channel 2, in S24_3LE, S32_LE or F32.
template <class F>
Samples ChannelOne(long frames, F f, snd_pcm_format_t format = S24) {
  Samples s(2 * frames);
  for (long j = 0; j < frames; ++j) {
    const float x = static_cast<float>(std::lround(f(j)) / kFull);
    s[2 * j] = static_cast<int32_t>(std::lround(f(j)) * (format == S32 ? 256 : 1));
    if (format == F32) std::memcpy(&s[2 * j], &x, 4);
  }
  return s;
}

// Channel `c` of what was recorded on `side`, on the 24-bit scale.
Doubles Channel(const Exchange& r, const Side& side, unsigned c = 0) {
  Doubles out(r.got.size() / side.channels);
  const double scale = side.format == S16 ? 256 : side.format == S32 ? 1 / 256.0 : 1;
  for (size_t j = 0; j < out.size(); ++j) {
    float f;
    std::memcpy(&f, &r.got[side.channels * j + c], 4);
    out[j] = side.format == F32 ? f * kFull : r.got[side.channels * j + c] * scale;
  }
  return out;
}

// Non-zero samples that differ from their neighbours and across channels.
Samples Pattern(long frames) {
  Samples s(2 * frames);
  for (size_t k = 0; k < s.size(); ++k)
    s[k] = (static_cast<int32_t>(k * 7919 % 8000000) - 4000000) | 1;
  return s;
}

Samples Sine(long frames, double freq, double amplitude) {  // on channel 1
  return ChannelOne(frames, [=](long j) { return amplitude * sin(2 * M_PI * freq * j / kRate); });
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
       "filters [ { type highpass freq 28 q 0.707 comment x } ] cable no seed 9 streams capture "
       "hears t9 drift_ppm -80.5 channels 1 formats [ S16_LE FLOAT_LE ] tail_t60 0.3 tail_db -3 "
       "distortion { a2 0.1 a3 -2 } tail_delay 960 pink_dbfs -70 rumble_dbfs -40 rumble_hz 35", ""},
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
      {"formats [ S24_LE ]", "field formats: S16_LE, S24_3LE, S32_LE or FLOAT_LE expected"},
      {"like nowhere", "field like: no device nowhere"},
      {"like t", "field like: more than 8 devices deep, or in a circle"},
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

TEST(CardOffers, StreamsFormatsAndChannelsAsConfigured) {
  const auto C = SND_PCM_STREAM_CAPTURE, P = SND_PCM_STREAM_PLAYBACK;
  const struct { Side side; snd_pcm_stream_t dir; int err; } cases[] = {
      {{"usbmic", S32, 1}, C, 0}, {{"usbmic", S16, 1}, C, 0}, {{"usbmic", S24, 1}, C, -EINVAL},
      {{"usbmic", S32}, C, -EINVAL}, {{"usbmic", S32, 1}, P, -ENOENT}, {{"speakers"}, C, -ENOENT},
      {{"speakers"}, P, 0}, {{"speakers", F32}, P, -EINVAL}, {{"t_tail", S32}, P, 0},
      {{"t_distortion", F32}, C, 0}, {{"home"}, C, 0}, {{"home", S16}, C, -EINVAL}};
  for (const auto& c : cases) {
    snd_pcm_t* pcm = nullptr;
    EXPECT_EQ(Open(&pcm, c.side, c.dir), c.err) << c.side.device << c.side.format << c.dir;
    if (pcm != nullptr) snd_pcm_close(pcm);
  }
}

// A capture on a clock drift_ppm fast records a tone played at f at f / (1 + ppm 1e-6): its phase
// against that frequency, over 0.5 s from 1.5 s (the tail settled) and 4 s later, stays put.
TEST(CardClock, ACaptureOnItsOwnClockHearsAToneAtItsDrift) {
  const Samples tone = Sine(6 * 48000, 997, 4e6);
  for (auto [mic, ppm] : {std::tuple{Side{"usbmic", S32, 1}, 80.0}, {{"home"}, 0.0},
                          {{"t_usbmic_slow", S16, 1}, -100.0}, {{"t_usbmic_fast", F32}, 100.0}}) {
    const Doubles x = Channel(Duplex(ppm ? Side{"speakers"} : mic, mic, tone, 2), mic);
    const double f = 997 / (1 + ppm * 1e-6);
    Complex z[2] = {0, 0};
    for (long j = 0, k = 0; j < 48000; ++j, k = j / 24000)  // j - 24000 k frames into block k
      z[k] += x[72000 + 168000 * k + j] * std::polar(1.0, -2 * M_PI * f * (168000 * k + j) / kRate);
    EXPECT_NEAR(std::arg(z[1] / z[0]) / (2 * M_PI * 4) / f * 1e6, 0, 0.02) << mic.device;
  }
}

// x + a2 x^2 + a3 x^3 of A cos: a2 A^2 / 2 at DC and 2f, A (1 + 3/4 a3 A^2) at f, a3 A^3 / 4 at
// 3f (t_distortion, in floats both ways: a2 0.2, a3 0.5).
TEST(CardSpeaker, DistortionGivesItsSecondAndThirdHarmonics) {
  for (double a : {0.5, 0.1}) {
    auto tone = ChannelOne(48000, [&](long j) { return a * kFull * cos(M_PI * j / 24); }, F32);
    const Side side{"t_distortion", F32};
    const Doubles x = Channel(Duplex(side, side, tone, 1), side);
    const double want[] = {0.1 * a * a, a * (1 + 0.375 * a * a), 0.1 * a * a, 0.125 * a * a * a};
    for (int k = 0; k < 4; ++k) {
      Complex z = 0;
      for (long j = 0; j < 48000; ++j) z += x[j] * std::polar(1.0, -M_PI * k * j / 24);
      EXPECT_NEAR(std::abs(z) / 48000 * (k ? 2 : 1) / kFull, want[k], 2e-6) << a << " " << k;
    }
  }
}

// The mean square of x within [lo, hi) Hz, from its periodogram.
double BandPower(Doubles x, double lo, double hi) {
  const long n = static_cast<long>(x.size());
  std::vector<Complex> X(n / 2 + 1);
  fftw_plan p =
      fftw_plan_dft_r2c_1d(n, x.data(), reinterpret_cast<fftw_complex*>(X.data()), FFTW_ESTIMATE);
  fftw_execute(p);
  fftw_destroy_plan(p);
  double sum = 0;
  for (long k = std::ceil(lo * n / kRate); k < n / 2 && k * kRate / n < hi; ++k) sum += norm(X[k]);
  return 2 * sum / n / n;
}

// 2^20 frames of silence: each noise at its RMS level on its input alone, pink with as much power
// in every octave, the rumble's octaves as its squared band-pass (40 Hz, Q 1/sqrt 2) says.
TEST(CardNoise, PinkRumbleAndInputTwoAtTheirLevelsAndSpectra) {
  auto rumble = [&](double lo, double hi) {  // the share of [lo, hi) in the rumble's power
    double band = 0, all = 0;
    for (double f = 0.25; f < kRate / 2; f += 0.5)
      (f >= lo && f < hi ? band : all) += pow(1 + 0.5 * pow(f / 40 - 40 / f, 2), -2);
    return band / (band + all);
  };
  for (auto [device, ch, dbfs] :
       {std::tuple{"t_pink", 0u, -40.0}, {"t_rumble", 0u, -40.0}, {"t_loopnoise", 1u, -50.0}}) {
    const Exchange r = Duplex(device, Samples(2 << 20), 1);
    const Doubles x = Channel(r, {device}, ch);
    const double mean = std::inner_product(x.begin(), x.end(), x.begin(), 0.0) / x.size();
    const double octave = BandPower(x, 44.2, 5658) / 7;  // 62.5 Hz to 4 kHz
    EXPECT_NEAR(10 * std::log10(mean / kFull / kFull), dbfs, 0.3) << device;
    EXPECT_EQ(Channel(r, {device}, 1 - ch), Doubles(x.size(), 0.0)) << device;
    for (double lo = 22.1; ch == 0 && lo < 3000; lo *= 2) {  // octaves from 31.25 Hz
      const double db = 10 * std::log10(BandPower(x, lo, 2 * lo) / mean);
      const double want = device[2] == 'p' ? octave / mean : rumble(lo, 2 * lo);
      if (device[2] == 'p' ? lo > 40 : lo < 400) {
        EXPECT_NEAR(db, 10 * std::log10(want), device[2] == 'p' ? 0.4 : 0.6) << device << lo;
      }
    }
  }
}

// An impulse through t_tail (S32_LE both ways) gives gain (1 - 0.4 at 300 frames + the tail) to
// the 24-bit step; its octaves and t_decay's (with a 40 Hz mode) decay in the time set.
TEST(CardTail, ImpulseResponseIsTheFormulaAndEveryOctaveDecaysInTheTimeSet) {
  const Doubles tail = Tail(0.5, 3, 700, 9 ^ 0x7461696C);
  auto impulse = [](long j) { return j == 0 ? 4194304.0 : 0.0; };
  const Side side{"t_tail", S32};
  const Doubles x = Channel(Duplex(side, side, ChannelOne(3 * 48000, impulse, S32), 1), side);
  const double g = std::pow(10, -0.1) * 4194304;  // gain -2 dB
  for (size_t j = 0; j < x.size(); ++j)
    ASSERT_NEAR(x[j], g * ((j == 0) - 0.4 * (j == 300) + (j < tail.size() ? tail[j] : 0)), .51);
  const Doubles decay = Channel(Duplex("t_decay", ChannelOne(3 * 48000, impulse), 1), {""});
  for (auto [ir, delay, t60] : {std::tuple{x, 0L, 0.5}, {decay, 344L, 1.2}}) {
    const auto bands = OctaveDecays(ir.data() + delay, ir.size() - delay, kRate, 88, 5700);
    EXPECT_EQ(bands.size(), 6u);  // 125 Hz to 4 kHz
    for (const BandDecay& b : bands)
      for (const DecayTime& t : {b.decay.t20, b.decay.t30})
        EXPECT_NEAR(t.seconds / t60, 1, 0.01) << t60 << " " << b.nominal;
  }
}

}  // namespace
