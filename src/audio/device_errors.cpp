#include "audio/device_errors.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "audio/duplex_messages.h"

namespace {

// A suspended device gets this many tries of snd_pcm_resume, this far
// apart, before the stream is prepared afresh instead.
constexpr int kResumeTries = 30;
constexpr long kResumePauseNs = 100L * 1000 * 1000;

// Earlier output on standard output must not be lost or reordered behind
// the message, whichever stream the message goes to.
[[noreturn]] void PrintAndExit(FILE* stream, const char* format, const char* text) {
  fflush(stdout);
  fprintf(stream, format, text);
  fflush(stream);
  exit(1);
}

// alsa-lib's own diagnostics (source file, line, function) would precede
// every message here; the program's messages already carry the error text.
void IgnoreLibraryError(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void SilenceLibraryErrors() { snd_lib_error_set_handler(IgnoreLibraryError); }

void FailSetup(SetupStep step, int err) {
  const char* text = snd_strerror(err);
  switch (step) {
    case SetupStep::kPlaybackOpen: PrintAndExit(stderr, kPlaybackOpenFailed, text);
    case SetupStep::kPlaybackFormat: PrintAndExit(stderr, kPlaybackFormatFailed, text);
    case SetupStep::kPlaybackParams: PrintAndExit(stderr, kPlaybackParamsFailed, text);
    case SetupStep::kCaptureOpen: PrintAndExit(stderr, kCaptureOpenFailed, text);
    case SetupStep::kCaptureFormat: PrintAndExit(stderr, kCaptureFormatFailed, text);
    case SetupStep::kCaptureParams: PrintAndExit(stdout, kCaptureParamsFailed, text);
  }
  PrintAndExit(stderr, "%s\n", text);
}

void FailTransfer(Direction direction, int err) {
  PrintAndExit(stderr, direction == Direction::kPlayback ? kPlaybackFailed : kRecordingFailed,
               snd_strerror(err));
}

void FailStalled(Direction direction) {
  PrintAndExit(stderr, direction == Direction::kPlayback ? kPlaybackFailed : kRecordingFailed,
               kDeviceStalled);
}

void WarnPeriodSize() { puts(kPeriodWarning); }

void WarnRate(unsigned int granted, unsigned int requested) {
  printf(kRateWarning, granted, requested);
}

void WarnXruns(long underruns, long overruns) {
  if (underruns > 0 || overruns > 0) printf(kXrunWarning, underruns, overruns);
}

void RecoverStream(snd_pcm_t* pcm, Direction direction, int err) {
  if (err == -EPIPE) {
    int prepared = snd_pcm_prepare(pcm);
    if (prepared < 0) FailTransfer(direction, prepared);
    return;
  }
  if (err == -ESTRPIPE) {
    int resumed = -EAGAIN;
    for (int i = 0; i < kResumeTries && resumed == -EAGAIN; ++i) {
      resumed = snd_pcm_resume(pcm);
      if (resumed == -EAGAIN) {
        timespec pause = {0, kResumePauseNs};
        nanosleep(&pause, nullptr);
      }
    }
    if (resumed < 0 && snd_pcm_prepare(pcm) < 0) FailTransfer(direction, err);
    return;
  }
  FailTransfer(direction, err);
}
