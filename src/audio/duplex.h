// The program's duplex exchange: a two-channel packed block played on one
// ALSA device while as many frames are recorded from it into a second
// block. Nothing here prints or exits: failures come back as an AudioStatus,
// warnings and counts as values.
#pragma once

#include "audio/device_errors.h"
#include "audio/exchange.h"
#include "audio/pcm.h"

// The period asked for; the playback stream's granted period is the
// transfer unit of both directions.
constexpr snd_pcm_uframes_t kRequestedPeriod = 1024;

// Playback and capture on the same device, 2 channels of S24_3LE.
struct Duplex {
  PcmStream playback;
  PcmStream capture;
};

// What the program warns of after the set-up.
struct DuplexWarnings {
  bool period = false;  // playback granted another period than kRequestedPeriod
  unsigned rate = 0;    // the rate granted instead of the one asked, 0 when as asked
};

// What the device granted and how the exchange went.
struct DuplexStats {
  unsigned rate = 0;  // granted playback rate
  long period = 0;    // granted playback period, the transfer unit
  long underruns = 0;
  long overruns = 0;
};

// Opens and configures playback, then capture asking for the playback
// period so that both move in step, on `device` at `rate`. The period
// warning is set as soon as playback is configured, the rate warning once
// both are, so a failure of the capture set-up comes after the first.
AudioStatus OpenDuplex(const char* device, unsigned rate, Duplex* duplex, DuplexWarnings* warnings);

// Called after every period exchanged, with the frames recorded so far,
// `frames` and `context`; it must return quickly.
using TransferProgress = void (*)(long done, long frames, void* context);

// Plays `frames` frames of `play` and records as many into `capture`, period
// by period, on prepared streams. Both blocks hold 2 non-interleaved
// channels of 3-byte samples, `stride` bytes apart. The periods that start
// before frames - P are exchanged, so the last 1 to P frames of both blocks
// are left as they are. `stats` (may be null) receives the granted rate and
// period and the xrun counts.
AudioStatus PLAY_REC(Duplex& duplex, long frames, unsigned char* play, unsigned char* capture,
                     long stride, TransferProgress progress = nullptr, void* context = nullptr,
                     DuplexStats* stats = nullptr);
