#include "audio/exchange.h"

#include <time.h>

#include <cerrno>
#include <vector>

namespace {

// MovePeriod's result when the stream stopped moving; errors are negative.
constexpr int kStalled = 1;

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Frame `frame` of a channel area.
unsigned char* At(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) {
  return static_cast<unsigned char*>(area.addr) + (area.first + frame * area.step) / 8;
}

// One direction of the exchange: its stream, its port and the port's areas
// for the current period, and a staging period in the device's own layout
// for areas laid out otherwise.
struct Lane {
  Lane(PcmStream& s, const PeriodPort& p, snd_pcm_uframes_t period)
      : stream(s), port(p), areas(s.granted.channels), staged(s.granted.channels),
        channel_ptrs(s.granted.channels) {
    const StreamConfig& g = s.granted;
    const unsigned width = static_cast<unsigned>(snd_pcm_format_physical_width(g.format));
    staging.resize(period * g.channels * width / 8);
    for (unsigned c = 0; c < g.channels; ++c) {
      staged[c].addr = staging.data() + (g.interleaved ? 0 : c * period * width / 8);
      staged[c].first = g.interleaved ? c * width : 0;
      staged[c].step = g.interleaved ? g.channels * width : width;
    }
  }
  // Whether the port's areas are laid out as the device moves frames.
  bool Direct() const {
    for (unsigned c = 0; c < areas.size(); ++c) {
      if (areas[c].first % 8 != 0 || areas[c].step != staged[c].step) return false;
      if (stream.granted.interleaved && At(areas[c], 0) != At(areas[0], 0) + staged[c].first / 8)
        return false;
    }
    return true;
  }

  PcmStream& stream;
  const PeriodPort& port;
  std::vector<snd_pcm_channel_area_t> areas;
  std::vector<unsigned char> staging;
  std::vector<snd_pcm_channel_area_t> staged;
  std::vector<void*> channel_ptrs;
  long xruns = 0;
};

// Moves `period` frames between the device and the lane's areas, noting in
// `done` how many moved. The stream is non-blocking, so every wait is one of
// ours and has a deadline, renewed whenever frames move. Returns 0 when the
// whole period has moved, a negative error from the library, or kStalled.
int MovePeriod(Lane& s, snd_pcm_uframes_t period, long stall_ms, snd_pcm_uframes_t* done) {
  snd_pcm_t* pcm = s.stream.pcm.get();
  const StreamConfig& g = s.stream.granted;
  const bool playback = s.stream.direction == Direction::kPlayback;
  const bool direct = s.Direct();
  const snd_pcm_channel_area_t* device = direct ? s.areas.data() : s.staged.data();
  if (!direct && playback)
    snd_pcm_areas_copy(s.staged.data(), 0, s.areas.data(), 0, g.channels, period, g.format);
  *done = 0;
  long long deadline = NowMs() + stall_ms;
  while (*done < period) {
    const snd_pcm_uframes_t left = period - *done;
    snd_pcm_sframes_t moved;
    if (g.interleaved) {
      unsigned char* frames = At(device[0], *done);
      moved = playback ? snd_pcm_writei(pcm, frames, left) : snd_pcm_readi(pcm, frames, left);
    } else {
      for (unsigned c = 0; c < g.channels; ++c) s.channel_ptrs[c] = At(device[c], *done);
      moved = playback ? snd_pcm_writen(pcm, s.channel_ptrs.data(), left)
                       : snd_pcm_readn(pcm, s.channel_ptrs.data(), left);
    }
    if (moved > 0) {
      // Captured frames go to the port at once, as they do without staging.
      if (!direct && !playback)
        snd_pcm_areas_copy(s.areas.data(), *done, s.staged.data(), *done, g.channels,
                           static_cast<snd_pcm_uframes_t>(moved), g.format);
      *done += static_cast<snd_pcm_uframes_t>(moved);
      deadline = NowMs() + stall_ms;
      continue;
    }
    if (moved != 0 && moved != -EAGAIN) return static_cast<int>(moved);
    const long long wait = deadline - NowMs();
    if (wait <= 0) return kStalled;
    const int ready = snd_pcm_wait(pcm, static_cast<int>(wait));
    if (ready < 0) return ready;
  }
  return 0;
}

enum class Outcome { kMoved, kRepaired, kStop };

// Exchanges the period at frame `pos` through the lane's port. An xrun or a
// suspend is repaired and counted (kRepaired); a port that asks to stop gives
// kStop; any other trouble is a failure.
AudioStatus ExchangePeriod(Lane& s, long pos, snd_pcm_uframes_t period, long stall_ms,
                           Outcome* outcome) {
  *outcome = Outcome::kMoved;
  const long count = static_cast<long>(period);
  if (!s.port.map(s.port.context, pos, count, s.areas.data())) {
    *outcome = Outcome::kStop;
    return AudioStatus{};
  }
  const Direction direction = s.stream.direction;
  snd_pcm_uframes_t done = 0;
  const int result = MovePeriod(s, period, stall_ms, &done);
  if (result == kStalled) return AudioStatus{AudioStep::kStalled, direction, 0};
  if (result != 0) {
    const AudioStatus repaired = RecoverStream(s.stream.pcm.get(), direction, result);
    if (!repaired.ok()) return repaired;
    ++s.xruns;
    *outcome = Outcome::kRepaired;
  }
  if (direction == Direction::kCapture) {
    const StreamConfig& g = s.stream.granted;
    if (done < period)
      snd_pcm_areas_silence(s.areas.data(), done, g.channels, period - done, g.format);
    if (s.port.done && !s.port.done(s.port.context, pos, count)) *outcome = Outcome::kStop;
  }
  return AudioStatus{};
}

// Keeps playback from starting by itself at the first write; the exchange
// starts it once its whole lead is queued. A sound server that is started
// with one period queued may play it at once and report an underrun. If the
// device refuses, playback starts at the first write, as by default.
void HoldPlaybackStart(snd_pcm_t* pcm) {
  std::vector<unsigned char> record(snd_pcm_sw_params_sizeof(), 0);
  snd_pcm_sw_params_t* sw = reinterpret_cast<snd_pcm_sw_params_t*>(record.data());
  snd_pcm_uframes_t boundary = 0;
  if (snd_pcm_sw_params_current(pcm, sw) < 0 || snd_pcm_sw_params_get_boundary(sw, &boundary) < 0)
    return;
  if (snd_pcm_sw_params_set_start_threshold(pcm, sw, boundary) < 0) return;
  snd_pcm_sw_params(pcm, sw);
}

// Starts playback if it is still waiting for its start.
AudioStatus StartPlayback(snd_pcm_t* pcm) {
  if (snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED) return AudioStatus{};
  const int err = snd_pcm_start(pcm);
  return err < 0 ? AudioStatus{AudioStep::kTransfer, Direction::kPlayback, err} : AudioStatus{};
}

// Capture runs first: playback starts only once the first period has been
// recorded, since a sound server may take a second or two to deliver it, and
// whatever plays before then is never recorded. Playback then leads by all
// but one period of its buffer, queued before it starts, so that it never
// runs dry while a read waits for its period; afterwards one period is
// written per period read. A repaired underrun has emptied the buffer, so
// the lead is then queued afresh before playback starts again.
AudioStatus Exchange(Lane& out, Lane& in, long periods, ExchangeProgress progress, void* context,
                     ExchangeCounts* counts) {
  const StreamConfig& play = out.stream.granted;
  const snd_pcm_uframes_t period = play.period;
  const long p = static_cast<long>(period);
  // Single-threaded and alternating, but every wait is bounded.
  snd_pcm_nonblock(out.stream.pcm.get(), 1);
  snd_pcm_nonblock(in.stream.pcm.get(), 1);
  const long stall_ms = StallDeadlineMs(play.rate, play.buffer);
  long lead = static_cast<long>(play.buffer / period) - 1;
  if (lead < 1) lead = 1;
  HoldPlaybackStart(out.stream.pcm.get());
  long written = 0;
  Outcome outcome;
  for (long read = 0; read < periods; ++read) {
    AudioStatus status = ExchangePeriod(in, read * p, period, stall_ms, &outcome);
    if (!status.ok()) return status;
    counts->periods = read + 1;
    if (outcome == Outcome::kStop) break;
    long ahead = read == 0 ? lead : 1;  // periods to write before the next read
    for (; ahead > 0 && written < periods; ++written) {
      --ahead;
      status = ExchangePeriod(out, written * p, period, stall_ms, &outcome);
      if (!status.ok()) return status;
      if (outcome == Outcome::kStop) return AudioStatus{};
      if (outcome == Outcome::kRepaired) ahead = lead;
    }
    status = StartPlayback(out.stream.pcm.get());
    if (!status.ok()) return status;
    if (progress) progress((read + 1) * p, context);
  }
  return AudioStatus{};
}

}  // namespace

AudioStatus PrepareStreams(PcmStream& playback, PcmStream& capture) {
  snd_pcm_drop(playback.pcm.get());
  snd_pcm_drop(capture.pcm.get());
  int err = snd_pcm_prepare(capture.pcm.get());
  if (err < 0) return AudioStatus{AudioStep::kTransfer, Direction::kCapture, err};
  err = snd_pcm_prepare(playback.pcm.get());
  if (err < 0) return AudioStatus{AudioStep::kTransfer, Direction::kPlayback, err};
  return AudioStatus{};
}

AudioStatus ExchangePeriods(PcmStream& playback, PcmStream& capture, long periods,
                            const PeriodPort& source, const PeriodPort& sink,
                            ExchangeProgress progress, void* context, ExchangeCounts* counts) {
  ExchangeCounts local;
  if (!counts) counts = &local;
  *counts = ExchangeCounts();
  AudioStatus status;
  if (periods > 0) {
    Lane out(playback, source, playback.granted.period);
    Lane in(capture, sink, playback.granted.period);
    status = Exchange(out, in, periods, progress, context, counts);
    counts->underruns = out.xruns;
    counts->overruns = in.xruns;
  }
  // What playback still holds is the end of its signal, not yet due, so it
  // is dropped rather than drained.
  snd_pcm_drop(playback.pcm.get());
  snd_pcm_drop(capture.pcm.get());
  return status;
}
