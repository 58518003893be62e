#include "console/progress.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr long long kRedrawMs = 250;
// The line is padded to this width so that a shorter line covers a longer
// one; erasing writes the same width of spaces.
constexpr int kWidth = 48;

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// One write of the whole line, which then leaves the cursor at its start:
// a message printed while the line is shown (a device error) overwrites it
// instead of running on after it. The terminal was opened non-blocking: when
// it cannot take the line at once (output suspended), the line is dropped.
void Draw(RunProgress& p, const char* text) {
  char line[kWidth + 3];
  const int n = snprintf(line, sizeof line, "\r%-*.*s\r", kWidth, kWidth, text);
  if (n > 0 && write(p.fd, line, static_cast<size_t>(n)) < 0) {
    // Dropped; the next redraw tries again.
  }
}

}  // namespace

void StartProgress(RunProgress& p, const SweepSpec* sweep, int rate) {
  p = RunProgress();
  p.sweep = sweep;
  p.rate = rate > 0 ? rate : 1;
  if (!isatty(STDERR_FILENO)) return;
  // A file description of its own, so that the non-blocking flag does not
  // reach standard input or output, which may share the terminal's.
  const char* name = ttyname(STDERR_FILENO);
  if (name) p.fd = open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

void ShowProgress(long done, long frames, void* context) {
  RunProgress& p = *static_cast<RunProgress*>(context);
  if (p.fd < 0) return;
  const long period = done - p.last_done;
  p.last_done = done;
  // The transfer stops before the period that would reach the last frame.
  if (period > 0 && done + period >= frames) {
    EndProgress(p);
    return;
  }
  const long long now = NowMs();
  if (p.shown && now - p.drawn_ms < kRedrawMs) return;
  char text[kWidth + 1];
  const int n = snprintf(text, sizeof text, "Playing %.1f s of %.1f s", static_cast<double>(done) / p.rate,
                         static_cast<double>(frames) / p.rate);
  const SweepSpec& s = *p.sweep;
  const long i = done - s.lead_frames;
  if (n > 0 && n < kWidth && i >= 0 && i < s.repeats * s.sweep_frames)
    snprintf(text + n, sizeof text - static_cast<size_t>(n), ", %.0f Hz",
             SweepFrequency(s, i % s.sweep_frames));
  Draw(p, text);
  p.shown = true;
  p.drawn_ms = now;
}

void EndProgress(RunProgress& p) {
  if (p.fd < 0) return;
  if (p.shown) Draw(p, "");
  close(p.fd);
  p.fd = -1;
  p.shown = false;
}
