// The virtual sound card's parameters, as read from the device's ALSA
// configuration node.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dsp/biquad.h"

namespace vcard {

// Which streams of the device a fault or stall applies to.
enum StreamMask : unsigned { kNoStream = 0, kPlayback = 1, kCapture = 2, kBothStreams = 3 };

// kFrozen: the real-time machinery with a clock that never advances, as a
// driver or sound server that stopped answering.
enum class ClockMode { kVirtual, kRealtime, kFrozen };

// The access modes offered: interleaved and non-interleaved read/write, only
// interleaved read/write (as USB interfaces through hw:), or only
// interleaved mmap access.
enum class AccessOffer { kReadWrite, kInterleaved, kMmap };

// A delayed, scaled copy of the direct sound on channel 1.
struct Reflection {
  long delay = 0;     // frames after the direct sound
  double gain = 0.0;  // linear amplitude, may be negative
};

// Longest reflection delay, in frames.
constexpr long kMaxReflectionDelay = 65536;

struct CardSettings {
  // Loopback and room model.
  long latency = 0;        // frames, both channels
  long mic_delay = 0;      // extra frames on channel 1
  double gain_db = 0.0;    // channel 1
  std::vector<FilterSpec> filters;  // channel 1, in order
  std::vector<Reflection> reflections;  // channel 1, added to the direct sound
  bool noise = false;      // white noise on channel 1
  double noise_dbfs = 0.0; // its RMS relative to 2^23
  uint64_t seed = 1;
  bool cable = true;       // false: channel 2 records silence

  // What the card grants.
  unsigned rate = 48000;
  long period = 0;         // frames; 0 grants what is asked within limits
  AccessOffer access = AccessOffer::kReadWrite;

  // Clock.
  ClockMode clock = ClockMode::kVirtual;
  double stall_ms = 0.0;       // realtime: the clock jumps this far once
  long stall_at_frame = -1;    // ... when the stream's position reaches this
  double stall_at_ms = -1.0;   // ... or this long after its first start
  unsigned stall_streams = kBothStreams;

  // Fault injection.
  unsigned fail_open = kNoStream;       // open fails with -EBUSY
  unsigned fail_format = kNoStream;     // only S16_LE is offered
  unsigned fail_hw_params = kNoStream;  // hw_params fails with -EINVAL
  long underrun_at = -1;   // playback transfer covering this frame: -EPIPE once
  long overrun_at = -1;    // capture transfer covering this frame: -EPIPE once
  long fatal_at = -1;      // transfers from this frame on fail with -fatal_errno
  unsigned fatal_streams = kPlayback;
  int fatal_errno = 19;    // ENODEV
};

// Largest delay (latency + mic_delay) the loopback can hold, in frames.
constexpr long kMaxDelayFrames = 1L << 17;

// Reads the device's configuration node into `out`. Unknown fields and bad
// values are reported through SNDERR and give -EINVAL.
int ParseCardSettings(snd_config_t* conf, CardSettings* out);

}  // namespace vcard
