// The virtual sound card's parameters, as read from the device's ALSA
// configuration node. Each field is one row of the table in
// card_settings.cpp (its key, how its value is written and its range) plus
// its member here, which holds its default.
#pragma once

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/biquad.h"

namespace vcard {

// Which streams of the device a fault applies to; as words in the
// configuration: none, playback, capture, both (in the order of the values).
enum StreamMask : unsigned { kNoStream = 0, kPlayback = 1, kCapture = 2, kBothStreams = 3 };

// The streams a device has: as words playback, capture, both.
enum class StreamOffer { kPlayback, kCapture, kBoth };
inline bool Offers(StreamOffer offer, unsigned stream) {
  return offer == StreamOffer::kBoth || (offer == StreamOffer::kPlayback) == (stream == kPlayback);
}

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

// The speaker's nonlinearity before the room: y = x + a2 x^2 + a3 x^3, with
// x the played sample as a fraction of full scale.
struct Distortion {
  double a2 = 0.0;
  double a3 = 0.0;
};

// The sample formats the card can offer, as words in the configuration
// (S16_LE, S24_3LE, S32_LE, FLOAT_LE) and as bits of a set.
enum SampleFormatBit : unsigned { kS16 = 1, kS24_3 = 2, kS32 = 4, kFloat = 8 };

// Longest reflection delay and tail delay, in frames.
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
  double loop_noise_dbfs = -HUGE_VAL;  // white noise on channel 2; none

  // The home: the speaker's distortion, a diffuse reverberant tail and
  // background noise with a spectrum (pink noise, low-frequency rumble).
  Distortion distortion;
  double tail_t60 = 0.0;           // seconds for the tail to decay 60 dB; 0: no tail
  double tail_db = 0.0;            // the tail's energy against the direct sound's
  long tail_delay = 960;           // frames from the direct sound to the tail's start
  double pink_dbfs = -HUGE_VAL;    // RMS relative to 2^23; none
  double rumble_dbfs = -HUGE_VAL;  // RMS relative to 2^23; none
  double rumble_hz = 40.0;         // centre of the rumble's band

  // The streams the device has, and the device whose playback its capture
  // hears ("": its own) on a clock drift_ppm faster than the playback's.
  StreamOffer streams = StreamOffer::kBoth;
  std::string hears;
  double drift_ppm = 0.0;

  // What the card grants.
  unsigned rate = 48000;
  unsigned channels = 2;      // 1: input 1 and output 1 only
  unsigned formats = kS24_3;  // the set of SampleFormatBit offered
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

// Reads the device's configuration node into `out`, over the settings of the
// device it is `like`, whose definition is looked up in `root`. Unknown
// fields and bad values are reported through SNDERR and give -EINVAL.
int ParseCardSettings(snd_config_t* root, snd_config_t* conf, CardSettings* out);

}  // namespace vcard
