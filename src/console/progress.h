// The progress of a run, shown on standard error while the sweep plays when
// standard error is a terminal: one line, redrawn in place a few times a
// second and erased when the transfer ends. Nothing at all is shown when
// standard error is not a terminal.
//
// The program and quelmar-measure share it.
#pragma once

#include "dsp/sweep.h"

struct RunProgress {
  int fd = -1;                    // the terminal, opened non-blocking; -1: nothing shown
  const SweepSpec* sweep = nullptr;  // what is played
  int rate = 1;
  long last_done = 0;             // frames done at the previous call
  long long drawn_ms = 0;         // when the line was last drawn
  bool shown = false;             // a line is on the terminal
};

// Prepares `progress` for a run that plays `sweep` (which must outlive it)
// at `rate` frames per second.
void StartProgress(RunProgress& progress, const SweepSpec* sweep, int rate);

// The transfer's callback: `context` is the RunProgress. Redraws the line at
// most every 250 ms, and erases it after the last period.
void ShowProgress(long done, long frames, void* context);

// Erases the line if it is still shown and releases the terminal.
void EndProgress(RunProgress& progress);
