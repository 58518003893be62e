#include "audio/pcm.h"

#include <algorithm>
#include <cerrno>

namespace {

AudioStatus Fail(AudioStep step, const PcmStream& stream, int err) {
  return AudioStatus{step, stream.direction, err};
}

// The first value of `choices` that `set` accepts; each refused try leaves
// the record as it was. Returns the last refusal when none is accepted.
template <typename T, typename Set>
int SetFirstAccepted(const std::vector<T>& choices, Set set) {
  int err = -EINVAL;
  for (const T& choice : choices) {
    err = set(choice);
    if (err >= 0) return err;
  }
  return err;
}

}  // namespace

AudioStatus OpenStream(const char* device, Direction direction, PcmStream* stream) {
  SilenceLibraryErrors();
  stream->pcm.reset();
  stream->direction = direction;
  stream->granted = StreamConfig();
  snd_pcm_t* pcm = nullptr;
  const int err = snd_pcm_open(
      &pcm, device, direction == Direction::kPlayback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
      0);
  if (err < 0) return Fail(AudioStep::kOpen, *stream, err);
  stream->pcm.reset(pcm);
  return AudioStatus{};
}

AudioStatus ConfigureStream(PcmStream& stream, const StreamRequest& request) {
  snd_pcm_t* pcm = stream.pcm.get();
  // A zero-filled parameter record of the size the library asks for.
  std::vector<unsigned char> record(snd_pcm_hw_params_sizeof(), 0);
  snd_pcm_hw_params_t* params = reinterpret_cast<snd_pcm_hw_params_t*>(record.data());
  snd_pcm_hw_params_any(pcm, params);
  // Non-interleaved access takes the caller's channels as they are. Cards
  // that offer only interleaved access (USB interfaces through hw:) get
  // theirs through a staging period instead.
  int err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  if (err < 0) err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err < 0) return Fail(AudioStep::kParams, stream, err);
  err = SetFirstAccepted(request.formats, [&](snd_pcm_format_t format) {
    return snd_pcm_hw_params_set_format(pcm, params, format);
  });
  if (err < 0) return Fail(AudioStep::kFormat, stream, err);
  // The results of the shape requests are not checked: the device grants
  // what it can, and the granted channel count is checked below.
  SetFirstAccepted(request.channels, [&](unsigned channels) {
    return snd_pcm_hw_params_set_channels(pcm, params, channels);
  });
  unsigned rate = request.rate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_uframes_t period = request.period;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t buffer = request.buffer;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
  err = snd_pcm_hw_params(pcm, params);
  if (err < 0) return Fail(AudioStep::kParams, stream, err);

  StreamConfig& granted = stream.granted;
  snd_pcm_hw_params_get_format(params, &granted.format);
  // A channel count other than those asked for would make the library read
  // or write channels the caller does not have.
  if (snd_pcm_hw_params_get_channels(params, &granted.channels) < 0 ||
      std::find(request.channels.begin(), request.channels.end(), granted.channels) ==
          request.channels.end())
    return Fail(AudioStep::kParams, stream, -EINVAL);
  granted.rate = request.rate;
  snd_pcm_hw_params_get_rate(params, &granted.rate, nullptr);
  snd_pcm_hw_params_get_period_size(params, &granted.period, nullptr);
  if (granted.period == 0) return Fail(AudioStep::kParams, stream, -EINVAL);
  granted.buffer = request.buffer;
  snd_pcm_hw_params_get_buffer_size(params, &granted.buffer);
  snd_pcm_access_t access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
  snd_pcm_hw_params_get_access(params, &access);
  granted.interleaved = access == SND_PCM_ACCESS_RW_INTERLEAVED;
  return AudioStatus{};
}
