// Duplex playback and capture of a two-channel packed block on one ALSA
// device. Device errors end the process with exit status 1.
#pragma once

// What the device granted and how the transfer went.
struct DuplexStats {
  unsigned rate = 0;  // granted playback rate
  long period = 0;    // granted playback period, the transfer unit
  long underruns = 0;
  long overruns = 0;
};

// Plays `frames` frames of `play` and records as many into `capture`, period
// by period. Both blocks hold `channels` non-interleaved channels of
// `bytes_per_sample`-byte samples, `stride` bytes apart. Mode 3 plays and
// records; any other mode only opens, configures and closes the device.
// When `progress` is given it is called after every period exchanged, with
// the frames recorded so far, `frames` and `context`; it must return quickly,
// since the streams keep running while it works. When `stats` is given it
// receives the granted rate and period and the underrun and overrun counts.
using TransferProgress = void (*)(long done, long frames, void* context);
void PLAY_REC(int channels, int mode, const char* device, unsigned int rate, long frames,
              unsigned char* play, unsigned char* capture, int bytes_per_sample, long stride,
              TransferProgress progress = nullptr, void* context = nullptr,
              DuplexStats* stats = nullptr);
