// How the duplex routine reports device trouble: every device message is
// printed here, and every fatal one ends the process with exit status 1.
#pragma once

#include <alsa/asoundlib.h>

enum class SetupStep {
  kPlaybackOpen,
  kPlaybackFormat,
  kPlaybackParams,
  kCaptureOpen,
  kCaptureFormat,
  kCaptureParams,
};

enum class Direction { kPlayback, kCapture };

// Keeps alsa-lib from printing its own diagnostics to standard error, so
// that a device fault shows only the program's one-line message.
void SilenceLibraryErrors();

// Prints the message of a failed set-up step for error `err` and exits 1.
[[noreturn]] void FailSetup(SetupStep step, int err);

// Prints the message of a failed transfer in `direction` and exits 1.
[[noreturn]] void FailTransfer(Direction direction, int err);

// Prints the message of a stream that stopped moving and exits 1.
[[noreturn]] void FailStalled(Direction direction);

void WarnPeriodSize();
void WarnRate(unsigned int granted, unsigned int requested);
// Prints nothing when both counts are zero.
void WarnXruns(long underruns, long overruns);

// Repairs a stream after a transfer in `direction` returned `err` (< 0):
// an xrun is repaired with snd_pcm_prepare, a suspend with snd_pcm_resume
// (or snd_pcm_prepare when the device cannot resume). Returns when the stream
// is ready again; any other error, or a repair that fails, ends the process.
void RecoverStream(snd_pcm_t* pcm, Direction direction, int err);
