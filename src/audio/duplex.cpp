#include "audio/duplex.h"

#include <alsa/asoundlib.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/device_errors.h"
#include "audio/duplex_messages.h"

namespace {

constexpr snd_pcm_uframes_t kRequestedPeriod = 1024;
// Sixteen periods, 341 ms at 48000 Hz, for each stream. Playback keeps all
// but one period of its buffer queued and capture may fall behind by a whole
// buffer, so this is the longest hold-up either survives without an xrun. A
// busy machine, or a sound server without real-time scheduling, holds the
// program up for more than 100 ms now and then, which four periods did not
// survive. The frames exchanged and the alignment do not depend on it.
constexpr snd_pcm_uframes_t kRequestedBuffer = 16384;

// A stream that moves no frame at all for this long, plus two buffer
// lengths, counts as stopped: a working card moves one period every few
// tens of milliseconds, and a sound server may take a second or two to
// deliver its first captured period.
constexpr long kStallBaseMs = 3000;

// MovePeriod's result when the stream stopped moving; errors are negative.
constexpr int kStalled = 1;

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// One direction of the transfer: its handle, its block and its repairs.
// A stream with interleaved access moves its frames through `staging`, one
// period of interleaved frames; otherwise `staging` is empty.
struct Stream {
  snd_pcm_t* pcm;
  Direction direction;
  unsigned char* block;
  std::vector<void*> channel_ptrs;
  long xruns;
  std::vector<unsigned char> staging;
};

// Copies `count` frames from frame `frame` of the packed channels of
// `block`, `stride` bytes apart, into interleaved frames at `frames`, or
// back when `to_block`.
void Interleave(unsigned char* block, long stride, long frame, unsigned char* frames, long count,
                size_t channels, int bytes_per_sample, bool to_block) {
  const size_t width = static_cast<size_t>(bytes_per_sample);
  for (long f = 0; f < count; ++f) {
    for (size_t c = 0; c < channels; ++c) {
      unsigned char* packed = block + static_cast<long>(c) * stride + (frame + f) * bytes_per_sample;
      unsigned char* mixed = frames + (static_cast<size_t>(f) * channels + c) * width;
      if (to_block) {
        memcpy(packed, mixed, width);
      } else {
        memcpy(mixed, packed, width);
      }
    }
  }
}

// A zero-filled parameter record of the size the library asks for.
std::vector<unsigned char> NewParamsRecord() {
  return std::vector<unsigned char>(snd_pcm_hw_params_sizeof(), 0);
}

snd_pcm_hw_params_t* AsParams(std::vector<unsigned char>& record) {
  return reinterpret_cast<snd_pcm_hw_params_t*>(record.data());
}

// Moves `period` frames starting at frame `pos` of the stream's block. The
// stream is non-blocking, so every wait is one of ours and has a deadline,
// renewed whenever frames move. Returns 0 when the whole period has moved, a
// negative error from the library, or kStalled.
int MovePeriod(Stream& s, long pos, snd_pcm_uframes_t period, int bytes_per_sample, long stride,
               long stall_ms) {
  const bool playback = s.direction == Direction::kPlayback;
  const bool interleaved = !s.staging.empty();
  const size_t channels = s.channel_ptrs.size();
  const size_t frame_bytes = channels * static_cast<size_t>(bytes_per_sample);
  if (interleaved && playback)
    Interleave(s.block, stride, pos, s.staging.data(), static_cast<long>(period), channels,
               bytes_per_sample, false);
  snd_pcm_uframes_t done = 0;
  long long deadline = NowMs() + stall_ms;
  while (done < period) {
    const long frame = pos + static_cast<long>(done);
    snd_pcm_sframes_t moved;
    if (interleaved) {
      unsigned char* staged = s.staging.data() + done * frame_bytes;
      moved = playback ? snd_pcm_writei(s.pcm, staged, period - done)
                       : snd_pcm_readi(s.pcm, staged, period - done);
      // Captured frames go to the block at once, as they do without staging.
      if (moved > 0 && !playback)
        Interleave(s.block, stride, frame, staged, moved, channels, bytes_per_sample, true);
    } else {
      for (size_t c = 0; c < channels; ++c)
        s.channel_ptrs[c] = s.block + static_cast<long>(c) * stride + bytes_per_sample * frame;
      moved = playback ? snd_pcm_writen(s.pcm, s.channel_ptrs.data(), period - done)
                       : snd_pcm_readn(s.pcm, s.channel_ptrs.data(), period - done);
    }
    if (moved > 0) {
      done += static_cast<snd_pcm_uframes_t>(moved);
      deadline = NowMs() + stall_ms;
      continue;
    }
    if (moved != 0 && moved != -EAGAIN) return static_cast<int>(moved);
    long long left = deadline - NowMs();
    if (left <= 0) return kStalled;
    int ready = snd_pcm_wait(s.pcm, static_cast<int>(left));
    if (ready < 0) return ready;
  }
  return 0;
}

// Moves one period and deals with the outcome: an xrun or suspend is
// repaired and counted (returns true), anything else ends the process.
bool ExchangePeriod(Stream& s, long pos, snd_pcm_uframes_t period, int bytes_per_sample,
                    long stride, long stall_ms) {
  int result = MovePeriod(s, pos, period, bytes_per_sample, stride, stall_ms);
  if (result == 0) return false;
  if (result == kStalled) FailStalled(s.direction);
  RecoverStream(s.pcm, s.direction, result);
  ++s.xruns;
  return true;
}

// Keeps playback from starting by itself at the first write; the transfer
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
void StartPlayback(snd_pcm_t* pcm) {
  if (snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED) return;
  int err = snd_pcm_start(pcm);
  if (err < 0) FailTransfer(Direction::kPlayback, err);
}

// Channel count, rate, period and buffer requests; their results are not
// checked, the device grants what it can.
void RequestShape(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, int channels, unsigned int rate,
                  snd_pcm_uframes_t period) {
  snd_pcm_hw_params_set_channels(pcm, params, static_cast<unsigned int>(channels));
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t buffer = kRequestedBuffer;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
}

// A granted channel count other than the requested one would make the
// library read or write channel pointers that do not exist.
bool ChannelsGranted(const snd_pcm_hw_params_t* params, int channels) {
  unsigned int granted = 0;
  return snd_pcm_hw_params_get_channels(params, &granted) >= 0 &&
         granted == static_cast<unsigned int>(channels);
}

unsigned int GrantedRate(const snd_pcm_hw_params_t* params, unsigned int requested) {
  unsigned int granted = requested;
  if (snd_pcm_hw_params_get_rate(params, &granted, nullptr) < 0) return requested;
  return granted;
}

// Opens `device` for `stream` and applies the parameters the transfer needs
// into `params`. Each failure ends the process with the message of its step.
snd_pcm_t* OpenConfigured(const char* device, snd_pcm_stream_t stream, snd_pcm_hw_params_t* params,
                          int channels, unsigned int rate, snd_pcm_uframes_t period) {
  const bool playback = stream == SND_PCM_STREAM_PLAYBACK;
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, device, stream, 0);
  if (err < 0) FailSetup(playback ? SetupStep::kPlaybackOpen : SetupStep::kCaptureOpen, err);
  snd_pcm_hw_params_any(pcm, params);
  // Non-interleaved access takes the packed channels as they are. Cards that
  // offer only interleaved access (USB interfaces through hw:) move their
  // frames through a staging period instead.
  err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  if (err < 0) err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err < 0) FailSetup(playback ? SetupStep::kPlaybackParams : SetupStep::kCaptureParams, err);
  err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE);
  if (err < 0) FailSetup(playback ? SetupStep::kPlaybackFormat : SetupStep::kCaptureFormat, err);
  RequestShape(pcm, params, channels, rate, period);
  err = snd_pcm_hw_params(pcm, params);
  if (err >= 0 && !ChannelsGranted(params, channels)) err = -EINVAL;
  if (err < 0) FailSetup(playback ? SetupStep::kPlaybackParams : SetupStep::kCaptureParams, err);
  return pcm;
}

// The staging period of a stream granted interleaved access; empty for
// non-interleaved access.
std::vector<unsigned char> StagingFor(const snd_pcm_hw_params_t* params, snd_pcm_uframes_t period,
                                      int channels, int bytes_per_sample) {
  snd_pcm_access_t access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
  snd_pcm_hw_params_get_access(params, &access);
  if (access != SND_PCM_ACCESS_RW_INTERLEAVED) return {};
  return std::vector<unsigned char>(period * static_cast<size_t>(channels) * bytes_per_sample);
}

}  // namespace

void PLAY_REC(int channels, int mode, const char* device, unsigned int rate, long frames,
              unsigned char* play, unsigned char* capture, int bytes_per_sample, long stride,
              TransferProgress progress, void* context, DuplexStats* stats) {
  SilenceLibraryErrors();

  // Playback set-up.
  std::vector<unsigned char> play_record = NewParamsRecord();
  snd_pcm_hw_params_t* play_params = AsParams(play_record);
  snd_pcm_t* playback = OpenConfigured(device, SND_PCM_STREAM_PLAYBACK, play_params, channels,
                                       rate, kRequestedPeriod);
  snd_pcm_uframes_t period = 0;
  snd_pcm_hw_params_get_period_size(play_params, &period, nullptr);
  if (period == 0) FailSetup(SetupStep::kPlaybackParams, -EINVAL);
  if (period != kRequestedPeriod) WarnPeriodSize();
  snd_pcm_uframes_t play_buffer = kRequestedBuffer;
  snd_pcm_hw_params_get_buffer_size(play_params, &play_buffer);
  unsigned int play_rate = GrantedRate(play_params, rate);

  // Capture set-up, asking for the playback period so both move in step.
  std::vector<unsigned char> cap_record = NewParamsRecord();
  snd_pcm_hw_params_t* cap_params = AsParams(cap_record);
  snd_pcm_t* record = OpenConfigured(device, SND_PCM_STREAM_CAPTURE, cap_params, channels, rate,
                                     period);
  unsigned int cap_rate = GrantedRate(cap_params, rate);
  if (play_rate != rate)
    WarnRate(play_rate, rate);
  else if (cap_rate != rate)
    WarnRate(cap_rate, rate);

  long underruns = 0;
  long overruns = 0;
  if (mode == 3) {
    // Reset both streams without waiting for anything (a drain can wait
    // for ever on some plugins), then prepare capture and playback.
    snd_pcm_drop(playback);
    snd_pcm_drop(record);
    int err = snd_pcm_prepare(record);
    if (err < 0) FailTransfer(Direction::kCapture, err);
    err = snd_pcm_prepare(playback);
    if (err < 0) FailTransfer(Direction::kPlayback, err);
    puts(kRunningTest);
    fflush(stdout);

    // Periods exchanged each way: those that start before frames - P, which
    // leaves the last 1 to P frames of both blocks untouched.
    long p = static_cast<long>(period);
    long periods = frames > p ? (frames - 1) / p : 0;
    if (periods > 0) {
      // Single-threaded and alternating as before, but every wait is bounded.
      snd_pcm_nonblock(playback, 1);
      snd_pcm_nonblock(record, 1);
      long buffer_ms = play_rate > 0 ? static_cast<long>(play_buffer * 1000 / play_rate) : 0;
      long stall_ms = kStallBaseMs + 2 * buffer_ms;
      Stream out{playback, Direction::kPlayback, play, std::vector<void*>(channels), 0,
                 StagingFor(play_params, period, channels, bytes_per_sample)};
      Stream in{record, Direction::kCapture, capture, std::vector<void*>(channels), 0,
                StagingFor(cap_params, period, channels, bytes_per_sample)};

      // Capture runs first: playback starts only once the first period has
      // been recorded, since a sound server may take a second or two to
      // deliver it, and whatever plays before then is never recorded.
      // Playback then leads by all but one period of its buffer, queued
      // before it starts, so that it never runs dry while a read waits for
      // its period; afterwards one period is written per period read. A
      // repaired underrun has emptied the buffer, so the lead is then queued
      // afresh before playback starts again.
      long lead = static_cast<long>(play_buffer / period) - 1;
      if (lead < 1) lead = 1;
      HoldPlaybackStart(playback);
      long written = 0;
      for (long read = 0; read < periods; ++read) {
        ExchangePeriod(in, read * p, period, bytes_per_sample, stride, stall_ms);
        long ahead = read == 0 ? lead : 1;  // periods to write before the next read
        for (; ahead > 0 && written < periods; ++written) {
          --ahead;
          if (ExchangePeriod(out, written * p, period, bytes_per_sample, stride, stall_ms))
            ahead = lead;
        }
        StartPlayback(playback);
        if (progress) progress((read + 1) * p, frames, context);
      }
      underruns = out.xruns;
      overruns = in.xruns;
    }
  }

  // What playback still holds at this point is the silent tail of the block,
  // so it is dropped rather than drained.
  snd_pcm_drop(playback);
  snd_pcm_drop(record);
  WarnXruns(underruns, overruns);
  snd_pcm_close(playback);
  snd_pcm_close(record);
  if (stats) *stats = DuplexStats{play_rate, static_cast<long>(period), underruns, overruns};
}
