// The progress of a run, shown on standard error while the sweep plays when
// standard error is a terminal: one line, redrawn in place a few times a
// second and erased when the transfer ends. Nothing at all is shown when
// standard error is not a terminal.
#pragma once

struct RunProgress {
  int fd = -1;                    // the terminal, opened non-blocking; -1: nothing shown
  const double* freqs = nullptr;  // nominal frequency of each sweep frame
  long sweep_frames = 0;
  long lead = 0;                  // silent frames before the sweep
  int rate = 1;
  long last_done = 0;             // frames done at the previous call
  long long drawn_ms = 0;         // when the line was last drawn
  bool shown = false;             // a line is on the terminal
};

// Prepares `progress` for a run whose sweep frame i (i < sweep_frames) is
// played at frame lead + i with the frequency freqs[i].
void StartProgress(RunProgress& progress, const double* freqs, long sweep_frames, long lead,
                   int rate);

// The transfer's callback: `context` is the RunProgress. Redraws the line at
// most every 250 ms, and erases it after the last period.
void ShowProgress(long done, long frames, void* context);

// Erases the line if it is still shown and releases the terminal.
void EndProgress(RunProgress& progress);
