#include "audio/device_errors.h"

#include <time.h>

#include <cerrno>

namespace {

// A suspended device gets this many tries of snd_pcm_resume, this far
// apart, before the stream is prepared afresh instead.
constexpr int kResumeTries = 30;
constexpr long kResumePauseNs = 100L * 1000 * 1000;

// A stream that moves no frame at all for this long, plus two buffer
// lengths, counts as stopped: a working card moves one period every few
// tens of milliseconds, and a sound server may take a second or two to
// deliver its first captured period.
constexpr long kStallBaseMs = 3000;

// Stands in for the error text when a stream stops moving altogether.
constexpr char kDeviceStalled[] = "the sound device stopped responding";

// Each failure's message, followed by the text of snd_strerror for the
// failing call's result and a newline. A refused capture parameter record is
// the one reported on standard output.
struct Row {
  AudioStep step;
  Direction direction;
  const char* text;
  bool to_standard_output;
};
constexpr Row kMessages[] = {
    {AudioStep::kOpen, Direction::kPlayback, "Playback device could not be opened: ", false},
    {AudioStep::kFormat, Direction::kPlayback, "Problem setting playback format: ", false},
    {AudioStep::kParams, Direction::kPlayback, "Problem setting playback parameters: ", false},
    {AudioStep::kOpen, Direction::kCapture, "unable to open pcm record device: ", false},
    {AudioStep::kFormat, Direction::kCapture, "Problem setting recording format: ", false},
    {AudioStep::kParams, Direction::kCapture, "Could not set record hardware parameters: ", true},
    {AudioStep::kTransfer, Direction::kPlayback, "Playback failed during the test: ", false},
    {AudioStep::kTransfer, Direction::kCapture, "Recording failed during the test: ", false},
};

// alsa-lib's own diagnostics (source file, line, function) would precede
// every message here; the program's messages already carry the error text.
void IgnoreLibraryError(const char*, int, const char*, int, const char*, ...) {}

AudioStatus Failed(Direction direction, int err) {
  return AudioStatus{AudioStep::kTransfer, direction, err};
}

}  // namespace

DeviceMessage DescribeFailure(const AudioStatus& status) {
  // A stalled stream is told as a failed transfer with its own reason.
  const bool stalled = status.step == AudioStep::kStalled;
  const AudioStep step = stalled ? AudioStep::kTransfer : status.step;
  const char* reason = stalled ? kDeviceStalled : snd_strerror(status.err);
  for (const Row& row : kMessages)
    if (row.step == step && row.direction == status.direction)
      return DeviceMessage{std::string(row.text) + reason + "\n", row.to_standard_output};
  return DeviceMessage{std::string(reason) + "\n", false};
}

void SilenceLibraryErrors() { snd_lib_error_set_handler(IgnoreLibraryError); }

AudioStatus RecoverStream(snd_pcm_t* pcm, Direction direction, int err) {
  if (err == -EPIPE) {
    const int prepared = snd_pcm_prepare(pcm);
    return prepared < 0 ? Failed(direction, prepared) : AudioStatus{};
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
    if (resumed < 0 && snd_pcm_prepare(pcm) < 0) return Failed(direction, err);
    return AudioStatus{};
  }
  return Failed(direction, err);
}

long StallDeadlineMs(unsigned rate, snd_pcm_uframes_t buffer) {
  const long buffer_ms = rate > 0 ? static_cast<long>(buffer * 1000 / rate) : 0;
  return kStallBaseMs + 2 * buffer_ms;
}
