// The run's exchange with the sound card, and every device message and
// warning the program prints, each where the run shows it.
#pragma once

#include "audio/duplex.h"

// Plays `frames` frames of the packed `play` block on `device` and records
// as many into `capture` (see PLAY_REC), printing on the way the period and
// rate warnings, "Running Test..." and, after the transfer, any xruns. A
// failure is returned with both streams closed; nothing of it is printed.
AudioStatus PlayAndRecord(const char* device, long frames, unsigned char* play,
                          unsigned char* capture, long stride, TransferProgress progress,
                          void* context, DuplexStats& stats);

// Prints the device failure where the audio layer says it belongs and ends
// the program with status 1.
[[noreturn]] void FailDevice(const AudioStatus& status);
