// One ALSA PCM stream, opened per device and direction and owned until it
// goes out of scope, so that playback and capture may come from two devices.
// Nothing here prints or exits: failures come back as an AudioStatus.
#pragma once

#include <alsa/asoundlib.h>

#include <memory>
#include <vector>

#include "audio/device_errors.h"

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
// Closes its stream on every path out of its scope, failures included.
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

// What a stream asks for. Formats and channel counts are listed in order of
// preference, and the first one the device accepts is taken. Rate, period
// and buffer are asked for near these values; the device grants what it
// can. Access is non-interleaved where the device offers it, interleaved
// otherwise.
struct StreamRequest {
  std::vector<snd_pcm_format_t> formats;
  std::vector<unsigned> channels;
  unsigned rate = 48000;
  snd_pcm_uframes_t period = 1024;
  snd_pcm_uframes_t buffer = 16384;
};

// What the device granted.
struct StreamConfig {
  snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
  unsigned channels = 0;
  unsigned rate = 0;
  snd_pcm_uframes_t period = 0;  // never 0 once configured
  snd_pcm_uframes_t buffer = 0;
  bool interleaved = false;      // interleaved read/write access; else non-interleaved
};

struct PcmStream {
  PcmHandle pcm;
  Direction direction = Direction::kPlayback;
  StreamConfig granted;  // filled by ConfigureStream
};

// Opens `device` for `direction` into `stream`, replacing (and closing)
// whatever it held.
AudioStatus OpenStream(const char* device, Direction direction, PcmStream* stream);

// Applies `request` to the open `stream` and fills its `granted`
// configuration. A granted channel count outside the request, or a period
// of 0 frames, is refused as kParams.
AudioStatus ConfigureStream(PcmStream& stream, const StreamRequest& request);
