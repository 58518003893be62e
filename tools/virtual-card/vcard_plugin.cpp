// An ALSA external PCM ("ioplug") that behaves like a two-channel card whose
// output 2 is cabled back to input 2 and whose output 1 reaches input 1
// through a modelled room. Playback and capture handles of one device in one
// process share what was played, indexed by absolute frame position.
//
// A device may have one stream only, and its capture may hear the playback
// of another device (a USB microphone in the room of the speakers) on a clock
// of its own: the room's sound is then resampled to the capture's clock.
//
// Two clocks:
// - virtual: the card runs exactly as fast as the application; playback
//   consumes everything at once and capture always has a full buffer waiting.
// - realtime: the hardware position advances with CLOCK_MONOTONIC in whole
//   periods, a timerfd wakes waiters at period boundaries, and the streams
//   go to the xrun state as a kernel driver's would.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/sample_format.h"
#include "card_settings.h"
#include "dsp/resample.h"
#include "loopback.h"
#include "room_model.h"

namespace vcard {
namespace {

constexpr snd_pcm_uframes_t kChunkFrames = 4096;  // scratch size per channel
constexpr int64_t kNsPerSecond = 1000000000;

// A descriptor closed with its owner.
struct TimerFd {
  int fd = -1;
  TimerFd() = default;
  TimerFd(const TimerFd&) = delete;
  TimerFd& operator=(const TimerFd&) = delete;
  ~TimerFd() {
    if (fd >= 0) close(fd);
  }
};

// One open stream of the card. alsa-lib owns it from snd_pcm_ioplug_create
// on, and deletes it through the close callback.
struct Card {
  snd_pcm_ioplug_t io{};
  CardSettings settings;
  unsigned stream_bit = kPlayback;  // kPlayback or kCapture
  bool playback = true;
  LoopbackSeat loop;
  TimerFd timer;
  snd_pcm_format_t format = SND_PCM_FORMAT_S24_3LE;

  // Granted set-up.
  unsigned rate = 48000;
  snd_pcm_uframes_t period = 1024;
  snd_pcm_uframes_t buffer = 4096;
  snd_pcm_uframes_t avail_min = 1024;
  snd_pcm_uframes_t stop_threshold = 4096;
  snd_pcm_uframes_t boundary = 0;

  // Positions: frames moved since the first start of this open (never reset)
  // and since the last prepare (ioplug's application pointer, unwrapped).
  uint64_t abs = 0;
  uint64_t run = 0;
  bool running = false;

  // Injected faults that have fired.
  bool xrun_injected = false;
  bool fatal = false;

  RoomModel room;
  std::vector<int32_t> ch1, ch2;
  std::vector<double> sound;

  // The capture's own clock: counted from its set-up at frame `base`,
  // capture frame base + k is the converter's input at time base + k / ratio.
  // Input frame i is the sound of played frame i - latency - mic_delay with
  // played channel 2 frame i - latency.
  double ratio = 1.0;  // 1 + drift_ppm * 1e-6; 1 for no drift
  StreamResampler clock;
  uint64_t base = 0;
  std::vector<float> pending;  // input made and not yet taken, interleaved
  std::vector<float> drifted;  // output, interleaved
  uint64_t fed = 0;            // the next input frame to make

  // Real-time clock.
  int64_t t0 = 0;            // start of this run, shifted back by a stall
  uint64_t run_base = 0;     // `abs` at hardware position 0 of this run
  uint64_t last_hw = 0;      // last reported hardware position of this run
  bool stall_done = false;
};

Card* CardOf(snd_pcm_ioplug_t* io) { return static_cast<Card*>(io->private_data); }

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

bool Realtime(const Card* c) { return c->settings.clock != ClockMode::kVirtual; }

bool Drifts(const Card* c) { return !c->playback && c->ratio != 1.0; }

// ---- samples ------------------------------------------------------------

// ---- real-time clock ------------------------------------------------------

// Frames of whole periods that have elapsed `ns` after the start; a
// drifting capture runs `ratio` times as fast.
uint64_t FramesAfter(const Card* c, int64_t ns) {
  if (ns <= 0) return 0;
  if (Drifts(c))
    return static_cast<uint64_t>(std::floor(static_cast<long double>(ns) * c->rate * c->ratio /
                                            (static_cast<long double>(c->period) * kNsPerSecond))) *
           c->period;
  const unsigned __int128 periods = static_cast<unsigned __int128>(ns) * c->rate /
                                    (static_cast<unsigned __int128>(c->period) * kNsPerSecond);
  return static_cast<uint64_t>(periods) * c->period;
}

// Time after the start at which the given number of periods have elapsed.
int64_t BoundaryNs(const Card* c, uint64_t periods) {
  if (Drifts(c))
    return static_cast<int64_t>(
        std::ceil(static_cast<long double>(periods) * c->period * kNsPerSecond /
                  (c->rate * static_cast<long double>(c->ratio))));
  const unsigned __int128 num =
      static_cast<unsigned __int128>(periods) * c->period * kNsPerSecond;
  return static_cast<int64_t>((num + c->rate - 1) / c->rate);
}

void ArmTimerAt(Card* c, int64_t when_ns, bool absolute) {
  itimerspec timer{};
  timer.it_value.tv_sec = when_ns / kNsPerSecond;
  timer.it_value.tv_nsec = when_ns % kNsPerSecond;
  if (!absolute && when_ns <= 0) timer.it_value.tv_nsec = 1;
  timerfd_settime(c->timer.fd, absolute ? TFD_TIMER_ABSTIME : 0, &timer, nullptr);
}

void DisarmTimer(Card* c) {
  itimerspec timer{};
  timerfd_settime(c->timer.fd, 0, &timer, nullptr);
}

void DrainTimer(Card* c) {
  uint64_t expirations;
  while (read(c->timer.fd, &expirations, sizeof expirations) == sizeof expirations) {
  }
}

// The hardware position of this run, in frames. Applies the configured
// stall the first time its moment has come.
uint64_t ClockPosition(Card* c) {
  const CardSettings& s = c->settings;
  if (s.clock == ClockMode::kFrozen) return 0;
  const int64_t now = NowNs();
  uint64_t hw = FramesAfter(c, now - c->t0);
  // The stall strikes when the stream's position reaches frame `at`.
  if (!c->stall_done && s.stall_ms > 0 &&
      s.stall.StrikesWithin(c->stream_bit, c->run_base + hw + 1)) {
    c->stall_done = true;
    c->t0 -= static_cast<int64_t>(s.stall_ms * 1e6);
    hw = FramesAfter(c, now - c->t0);
  }
  return hw;
}

// Frames the application may move now, given hardware position `hw`.
int64_t AvailAt(const Card* c, uint64_t hw) {
  const int64_t h = static_cast<int64_t>(hw);
  const int64_t r = static_cast<int64_t>(c->run);
  return c->playback ? static_cast<int64_t>(c->buffer) + h - r : h - r;
}

void StopClock(Card* c) {
  c->running = false;
  if (Realtime(c)) DisarmTimer(c);
}

// Arms the timer for the next moment a waiter should look again: now, when
// the stream is ready or not running, else the next period boundary.
void ArmForWait(Card* c) {
  if (c->settings.clock == ClockMode::kFrozen) {
    DisarmTimer(c);  // nothing will ever be ready: waiters run into their timeouts
    return;
  }
  if (!c->running) {
    ArmTimerAt(c, 0, false);
    return;
  }
  const uint64_t hw = ClockPosition(c);
  const int64_t avail = AvailAt(c, hw);
  if (avail >= static_cast<int64_t>(c->avail_min) ||
      avail >= static_cast<int64_t>(c->stop_threshold)) {
    ArmTimerAt(c, 0, false);
    return;
  }
  ArmTimerAt(c, c->t0 + BoundaryNs(c, hw / c->period + 1), true);
}

// ---- capture ---------------------------------------------------------------

// What input 1 and input 2 hear at playback frames pos .. pos + n: the room's
// sound into c->sound, channel 2's cable into c->ch2.
void CaptureInputs(Card* c, int64_t pos, snd_pcm_uframes_t n) {
  const CardSettings& s = c->settings;
  c->loop.FetchPlayed(pos - s.latency - s.mic_delay, 0, c->ch1.data(), n);
  RoomSound(&c->room, c->ch1.data(), c->sound.data(), static_cast<long>(n));
  if (s.cable) {
    c->loop.FetchPlayed(pos - s.latency, 1, c->ch2.data(), n);
  } else {
    std::fill(c->ch2.begin(), c->ch2.begin() + n, 0);
  }
}

// The next n frames on the capture's own clock into c->ch1 and c->ch2. The
// converter is given the inputs up to a little past the time of the last
// frame wanted (its filter reaches about 143 frames ahead), so that it reads
// what was played no further ahead than it must.
void CaptureOnOwnClock(Card* c, snd_pcm_uframes_t n) {
  const int channels = static_cast<int>(c->settings.channels);
  const uint64_t wanted =
      c->base + static_cast<uint64_t>(std::ceil((c->abs + n - c->base) / c->ratio)) + 150;
  c->drifted.resize(n * channels);
  long made_all = 0;
  while (made_all < static_cast<long>(n)) {
    if (c->pending.empty()) {
      const uint64_t more = std::min<uint64_t>(
          kChunkFrames, std::max<uint64_t>(64, wanted > c->fed ? wanted - c->fed : 0));
      CaptureInputs(c, static_cast<int64_t>(c->fed), more);
      for (uint64_t i = 0; i < more; ++i) {
        c->pending.push_back(static_cast<float>(c->sound[i]));
        if (channels == 2) c->pending.push_back(static_cast<float>(c->ch2[i]));
      }
      c->fed += more;
    }
    long used = 0, made = 0;
    if (!c->clock.Process(c->pending.data(), static_cast<long>(c->pending.size()) / channels,
                          &c->drifted[made_all * channels], static_cast<long>(n) - made_all,
                          &used, &made)) {
      std::fill(c->drifted.begin() + made_all * channels, c->drifted.end(), 0.0f);
      break;
    }
    c->pending.erase(c->pending.begin(), c->pending.begin() + used * channels);
    made_all += made;
  }
  for (snd_pcm_uframes_t i = 0; i < n; ++i) {
    c->ch1[i] = MicSample(&c->room, c->drifted[i * channels]);
    c->ch2[i] = channels == 2 ? LoopSample(&c->room, c->drifted[i * 2 + 1]) : 0;
  }
}

// ---- ioplug callbacks -----------------------------------------------------

int Start(snd_pcm_ioplug_t* io) {
  Card* c = CardOf(io);
  c->running = true;
  if (Realtime(c)) {
    c->t0 = NowNs();
    c->run_base = c->abs - c->run;
    c->last_hw = 0;
    ArmTimerAt(c, c->t0 + BoundaryNs(c, 1), true);
  }
  return 0;
}

int Stop(snd_pcm_ioplug_t* io) {
  StopClock(CardOf(io));
  return 0;
}

snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
  Card* c = CardOf(io);
  uint64_t hw;
  if (!Realtime(c)) {
    // Playback has consumed all that was written; capture has a full
    // buffer waiting.
    hw = c->run + (!c->playback && c->running ? c->buffer : 0);
  } else if (!c->running) {
    hw = c->last_hw;
  } else {
    hw = ClockPosition(c);
    const int64_t avail = AvailAt(c, hw);
    if (avail >= static_cast<int64_t>(c->stop_threshold)) {
      StopClock(c);
      return -EPIPE;
    }
    // Without a stop threshold the position still cannot pass what the
    // application has written, or lead what it read by more than a buffer.
    if (c->playback && hw > c->run) hw = c->run;
    if (!c->playback && hw > c->run + c->buffer) hw = c->run + c->buffer;
    c->last_hw = hw;
  }
  return static_cast<snd_pcm_sframes_t>(c->boundary ? hw % c->boundary : hw);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                           snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  Card* c = CardOf(io);
  const CardSettings& s = c->settings;
  const uint64_t end = c->abs + size;

  if (c->fatal || s.fatal.StrikesWithin(c->stream_bit, end)) {
    c->fatal = true;
    return -s.fatal_errno;
  }
  if (!c->xrun_injected && s.underrun.StrikesWithin(c->stream_bit, end)) {
    // The whole transfer is lost, as if the card had run dry just before
    // it; later frames follow on without a gap.
    c->xrun_injected = true;
    StopClock(c);
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
    return -EPIPE;
  }

  const bool stereo = c->settings.channels == 2;
  snd_pcm_uframes_t done = 0;
  while (done < size) {
    const snd_pcm_uframes_t n = size - done < kChunkFrames ? size - done : kChunkFrames;
    const snd_pcm_uframes_t first = offset + done;
    if (c->playback) {
      ReadSamples24(areas[0], c->format, static_cast<long>(first), static_cast<long>(n),
                    c->ch1.data());
      if (stereo) {
        ReadSamples24(areas[1], c->format, static_cast<long>(first), static_cast<long>(n),
                      c->ch2.data());
      } else {
        std::fill(c->ch2.begin(), c->ch2.begin() + static_cast<long>(n), 0);
      }
      c->loop.StorePlayed(c->abs, c->ch1.data(), c->ch2.data(), n);
    } else {
      if (Drifts(c)) {
        CaptureOnOwnClock(c, n);
      } else {
        CaptureInputs(c, static_cast<int64_t>(c->abs), n);
        for (snd_pcm_uframes_t i = 0; i < n; ++i) c->ch1[i] = MicSample(&c->room, c->sound[i]);
        if (c->room.loop_half_width > 0)
          for (snd_pcm_uframes_t i = 0; i < n; ++i) c->ch2[i] = LoopSample(&c->room, c->ch2[i]);
      }
      WriteSamples24(c->ch1.data(), static_cast<long>(n), c->format, areas[0],
                     static_cast<long>(first));
      if (stereo)
        WriteSamples24(c->ch2.data(), static_cast<long>(n), c->format, areas[1],
                       static_cast<long>(first));
    }
    c->abs += n;
    c->run += n;
    done += n;
  }
  return static_cast<snd_pcm_sframes_t>(size);
}

// Takes the card back from alsa-lib: its timer and its loopback seat go with it.
int Close(snd_pcm_ioplug_t* io) {
  std::unique_ptr<Card>(CardOf(io)).reset();
  return 0;
}

int HwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/) {
  Card* c = CardOf(io);
  if (c->settings.fail_hw_params.Strikes(c->stream_bit)) return -EINVAL;
  c->format = io->format;
  c->rate = io->rate;
  c->period = io->period_size;
  c->buffer = io->buffer_size;
  c->avail_min = io->period_size;
  c->stop_threshold = io->buffer_size;
  // Formats of several widths offer a range of period bytes wider than the
  // one period size.
  if (c->settings.period != 0 &&
      io->period_size != static_cast<snd_pcm_uframes_t>(c->settings.period))
    return -EINVAL;
  if (c->playback) return 0;
  if (!InitRoomModel(c->settings, c->rate, &c->room)) return -ENOMEM;
  if (Drifts(c)) {
    if (!c->clock.Start(static_cast<int>(c->settings.channels), c->ratio)) return -ENOMEM;
    c->pending.clear();
    c->base = c->fed = c->abs;
  }
  return 0;
}

int SwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  Card* c = CardOf(io);
  snd_pcm_uframes_t v = 0;
  if (snd_pcm_sw_params_get_avail_min(params, &v) >= 0) c->avail_min = v ? v : 1;
  if (snd_pcm_sw_params_get_stop_threshold(params, &v) >= 0) c->stop_threshold = v;
  if (snd_pcm_sw_params_get_boundary(params, &v) >= 0) c->boundary = v;
  return 0;
}

int Prepare(snd_pcm_ioplug_t* io) {
  Card* c = CardOf(io);
  if (c->fatal) return -c->settings.fatal_errno;
  StopClock(c);
  c->run = 0;
  c->last_hw = 0;
  return 0;
}

int PollCount(snd_pcm_ioplug_t* /*io*/) { return 1; }

int PollDescriptors(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int space) {
  Card* c = CardOf(io);
  if (space < 1) return 0;
  if (Realtime(c)) ArmForWait(c);
  pfd[0].fd = c->timer.fd;
  pfd[0].events = POLLIN;
  pfd[0].revents = 0;
  return 1;
}

int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                unsigned short* revents) {
  Card* c = CardOf(io);
  *revents = 0;
  if (nfds < 1) return -EINVAL;
  const unsigned short ready = c->playback ? POLLOUT : POLLIN;
  if (pfd[0].revents & (POLLERR | POLLNVAL)) {
    *revents = pfd[0].revents & (POLLERR | POLLNVAL);
    return 0;
  }
  if (!(pfd[0].revents & POLLIN)) return 0;
  if (!Realtime(c) || !c->running) {
    *revents = ready;
    return 0;
  }
  DrainTimer(c);
  const int64_t avail = AvailAt(c, ClockPosition(c));
  if (avail >= static_cast<int64_t>(c->avail_min) ||
      avail >= static_cast<int64_t>(c->stop_threshold)) {
    *revents = ready;
  } else {
    ArmForWait(c);
  }
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t cb{};
  cb.start = Start;
  cb.stop = Stop;
  cb.pointer = Pointer;
  cb.transfer = Transfer;
  cb.close = Close;
  cb.hw_params = HwParams;
  cb.sw_params = SwParams;
  cb.prepare = Prepare;
  cb.poll_descriptors_count = PollCount;
  cb.poll_descriptors = PollDescriptors;
  cb.poll_revents = PollRevents;
  return cb;
}();

int SetConstraints(Card* c) {
  snd_pcm_ioplug_t* io = &c->io;
  static const unsigned int kReadWrite[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                            SND_PCM_ACCESS_RW_NONINTERLEAVED};
  static const unsigned int kMmap[] = {SND_PCM_ACCESS_MMAP_INTERLEAVED};
  const unsigned int* access = c->settings.access == AccessOffer::kMmap ? kMmap : kReadWrite;
  const unsigned int access_count = c->settings.access == AccessOffer::kReadWrite ? 2 : 1;
  static const snd_pcm_format_t kFormats[] = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE,
                                              SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE};
  const unsigned offered =
      c->settings.fail_format.Strikes(c->stream_bit) ? kS16 : c->settings.formats;
  unsigned int formats[4];
  unsigned int count = 0, width_min = 32, width_max = 0;
  for (int k = 0; k < 4; ++k) {
    if (!(offered & 1u << k)) continue;
    formats[count++] = kFormats[k];
    const unsigned width = snd_pcm_format_physical_width(kFormats[k]);
    width_min = std::min(width_min, width);
    width_max = std::max(width_max, width);
  }
  const unsigned int ch = c->settings.channels;
  const unsigned int period_min = c->settings.period ? c->settings.period : 16;
  const unsigned int period_max = c->settings.period ? c->settings.period : 65536;
  int err;
  if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, access_count, access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, count, formats)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, ch, ch)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, c->settings.rate,
                                             c->settings.rate)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                             period_min * ch * width_min / 8,
                                             period_max * ch * width_max / 8)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
                                             2 * period_min * ch * width_min / 8,
                                             (1u << 19) * ch * width_max / 8)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0) {
    return err;
  }
  return 0;
}

int OpenCard(snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
             snd_pcm_stream_t stream, int mode) {
  CardSettings settings;
  int err = ParseCardSettings(root, conf, &settings);
  if (err < 0) return err;
  const unsigned bit = stream == SND_PCM_STREAM_PLAYBACK ? kPlayback : kCapture;
  if (!Offers(settings.streams, bit)) return -ENOENT;  // as a card without that stream
  if (settings.fail_open.Strikes(bit)) return -EBUSY;

  auto c = std::make_unique<Card>();
  c->settings = settings;
  c->stream_bit = bit;
  c->playback = stream == SND_PCM_STREAM_PLAYBACK;
  c->ratio = 1.0 + settings.drift_ppm * 1e-6;
  c->ch1.resize(kChunkFrames);
  c->ch2.resize(kChunkFrames);
  c->sound.resize(kChunkFrames);
  c->timer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (c->timer.fd < 0) return -errno;
  // In virtual mode the descriptor simply stays readable: the card is
  // always ready.
  if (!Realtime(c.get())) ArmTimerAt(c.get(), 0, false);

  // A capture hears the playback of the device it names, else its own.
  const std::string heard = !settings.hears.empty() ? settings.hears
                            : name != nullptr       ? name
                                                    : "vcard";
  err = c->loop.Join(heard, stream);
  if (err < 0) return err;

  c->io.version = SND_PCM_IOPLUG_VERSION;
  c->io.name = "Virtual sound card";
  c->io.callback = &kCallbacks;
  c->io.private_data = c.get();
  c->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
  c->io.poll_fd = c->timer.fd;
  c->io.poll_events = POLLIN;
  c->io.mmap_rw = 0;
  err = snd_pcm_ioplug_create(&c->io, name, stream, mode);
  if (err < 0) return err;
  Card* card = c.release();  // alsa-lib's now: Close deletes it
  err = SetConstraints(card);
  if (err < 0) {
    snd_pcm_ioplug_delete(&card->io);
    return err;
  }
  *pcmp = card->io.pcm;
  return 0;
}

}  // namespace
}  // namespace vcard

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(vcard) {
  return vcard::OpenCard(pcmp, name, root, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(vcard)

}  // extern "C"
