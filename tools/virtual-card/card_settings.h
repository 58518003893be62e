// The virtual sound card's parameters, as read from the device's ALSA
// configuration node. Each field is one row of the table in
// card_settings.cpp (its key, how its value is written and its range) plus
// its member here, which holds its default.
#pragma once

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/biquad.h"

namespace vcard {

// Which streams of the device a fault applies to; as words in the
// configuration: none, playback, capture, both (in the order of the values).
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

// An injected fault: the streams it strikes and, for faults of the running
// streams, the frame it strikes at (kNever: it is not armed).
constexpr long kNever = -1;
struct Fault {
  unsigned streams = kNoStream;
  long at = kNever;
  bool Strikes(unsigned stream) const { return (streams & stream) != 0; }
  // True once `frames` of the stream include frame `at`.
  bool StrikesWithin(unsigned stream, uint64_t frames) const {
    return Strikes(stream) && at != kNever && frames > static_cast<uint64_t>(at);
  }
};

struct CardSettings {
  // Loopback and room model.
  long latency = 0;        // frames, both channels
  long mic_delay = 0;      // extra frames on channel 1
  double gain_db = 0.0;    // channel 1
  std::vector<FilterSpec> filters;  // channel 1, in order
  std::vector<Reflection> reflections;  // channel 1, added to the direct sound
  double noise_dbfs = -HUGE_VAL;  // white noise on channel 1, RMS relative to 2^23; none
  uint64_t seed = 1;
  bool cable = true;       // false: channel 2 records silence

  // What the card grants.
  unsigned rate = 48000;
  long period = 0;         // frames; 0 grants what is asked within limits
  AccessOffer access = AccessOffer::kReadWrite;

  // Clock.
  ClockMode clock = ClockMode::kVirtual;
  double stall_ms = 0.0;                   // realtime: the clock jumps this far once
  Fault stall{kBothStreams, 48000};        // ... when the stream's position reaches `at`

  // Faults.
  Fault fail_open;       // open fails with -EBUSY
  Fault fail_format;     // only S16_LE is offered
  Fault fail_hw_params;  // hw_params fails with -EINVAL
  Fault underrun{kPlayback};  // the transfer covering `at` gives -EPIPE once
  Fault fatal{kPlayback};     // transfers from the one covering `at` on give -fatal_errno
  int fatal_errno = 19;       // ENODEV
};

// Largest delay (latency + mic_delay) the loopback can hold, in frames.
constexpr long kMaxDelayFrames = 1L << 17;

// Reads the device's configuration node into `out`. Unknown fields and bad
// values are reported through SNDERR and give -EINVAL.
int ParseCardSettings(snd_config_t* conf, CardSettings* out);

}  // namespace vcard
