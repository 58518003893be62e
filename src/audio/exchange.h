// Playback and capture side by side, period by period, on two configured
// streams (one device or two). What is played comes from a source and what
// is recorded goes to a sink, one period at a time, so a caller may generate
// its signal as it goes and keep its recording anywhere.
#pragma once

#include <alsa/asoundlib.h>

#include "audio/device_errors.h"
#include "audio/pcm.h"

// One side of the exchange. `map` points `areas` (one per channel of the
// stream) at frames [first, first + count) of the signal, in the stream's
// granted sample format: for playback they must hold the frames to play, for
// capture they receive the frames recorded. Areas laid out as the stream's
// access moves frames (one block per channel for non-interleaved access,
// interleaved frames otherwise) are handed to the device directly; others go
// through a staging period. `done` (capture only; may be null) is called once
// the period is in place: frames the device did not deliver (an xrun) read as
// silence. Either returning false ends the exchange after that period.
struct PeriodPort {
  bool (*map)(void* context, long first, long count, snd_pcm_channel_area_t* areas);
  bool (*done)(void* context, long first, long count);
  void* context;
};

// Called after every period recorded with the frames recorded so far; it
// must return quickly, since the streams keep running while it works.
using ExchangeProgress = void (*)(long done, void* context);

struct ExchangeCounts {
  long periods = 0;    // periods recorded
  long underruns = 0;  // repaired playback xruns and suspends
  long overruns = 0;   // repaired capture xruns and suspends
};

// Resets both streams without waiting for anything (a drain can wait for
// ever on some plugins), then prepares capture and playback.
AudioStatus PrepareStreams(PcmStream& playback, PcmStream& capture);

// Exchanges `periods` periods of the playback stream's granted period each
// way, from frame 0, on two prepared streams. Capture runs first; playback
// then leads by all but one period of its buffer. Xruns and suspends are
// repaired and counted, and the positions move on by whole periods whatever
// the device did. Both streams are stopped when it returns; `counts` (may be
// null) receives what happened, also after a failure.
AudioStatus ExchangePeriods(PcmStream& playback, PcmStream& capture, long periods,
                            const PeriodPort& source, const PeriodPort& sink,
                            ExchangeProgress progress, void* context, ExchangeCounts* counts);
