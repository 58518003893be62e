// The device-error policy of the audio layer: what each failure is called
// and where a program shows it, how xruns and suspends are repaired, and how
// long a stream may stand still. Nothing here prints or exits; a program
// shows DescribeFailure's text and ends with status 1.
#pragma once

#include <alsa/asoundlib.h>

#include <string>

enum class Direction { kPlayback, kCapture };

// The step that failed; every failure is fatal to the run.
enum class AudioStep {
  kNone,      // nothing failed
  kOpen,      // snd_pcm_open
  kFormat,    // no sample format of the request was accepted
  kParams,    // access, channels or the parameter record as a whole refused
  kTransfer,  // preparing, starting or moving frames failed and could not be repaired
  kStalled,   // the stream moved no frame before its deadline
};

struct AudioStatus {
  AudioStep step = AudioStep::kNone;
  Direction direction = Direction::kPlayback;
  int err = 0;  // the failing call's result (negative), 0 for kStalled
  bool ok() const { return step == AudioStep::kNone; }
};

// A failure as the user is told: one line, newline included, for standard
// output or standard error.
struct DeviceMessage {
  std::string text;
  bool to_standard_output = false;
};

DeviceMessage DescribeFailure(const AudioStatus& status);

// Keeps alsa-lib from printing its own diagnostics to standard error, so
// that a device fault shows only the program's one-line message.
void SilenceLibraryErrors();

// Repairs a stream after a transfer in `direction` returned `err` (< 0): an
// xrun with snd_pcm_prepare, a suspend with snd_pcm_resume (or
// snd_pcm_prepare when the device cannot resume). Returns an ok status once
// the stream is ready again; any other error, or a failed repair, is a
// kTransfer failure.
AudioStatus RecoverStream(snd_pcm_t* pcm, Direction direction, int err);

// How long a stream may move no frame at all before it counts as stopped,
// for a playback buffer of `buffer` frames at `rate`.
long StallDeadlineMs(unsigned rate, snd_pcm_uframes_t buffer);
