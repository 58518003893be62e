// Sync detection and per-band analysis of a recording.
#pragma once

#include <cstdint>
#include <vector>

struct Peak {
  int index = 0;       // where the largest (signed) sample lies; 0 when none is above 0
  double value = 0.0;  // its value; 0.0 when no sample is above 0
};

// The first largest (signed) sample of samples[0 .. count).
Peak FindPeak(const int32_t* samples, long count);

// The sync pulse in a captured loopback window. It came back when its peak
// stands kSyncMargin times above the window's own noise (the RMS of the
// window more than kSyncGuard frames from the peak, at least one step of
// the 24-bit scale) and lies no more than kSyncEarliest frames before where
// it was played (sync_out). A card cannot record a sound before it plays it,
// but playback and capture count their frames from their own starts: a
// sound server delivers capture a period behind (Sync In 23009 for Sync Out
// 24032 through PulseAudio), so a click may seem to come back up to one
// buffer early. A peak further back is not the click.
constexpr double kSyncMargin = 10.0;  // 20 dB
constexpr long kSyncEarliest = 16384;  // the largest buffer the transfer asks for
constexpr long kSyncGuard = 480;  // 10 ms at 48 kHz: the pulse and its ringing
struct SyncPulse {
  Peak peak;
  double noise = 0.0;       // RMS of the rest of the window
  bool stands_out = false;  // the peak stands out of the noise
  bool found = false;       // and lies where a card can have recorded it
};
SyncPulse FindSync(const int32_t* window, long count, long sync_out);

// What the band analysis found.
struct BandAnalysis {
  std::vector<double> levels;  // dB relative to the loudest band, per band
  std::vector<int> missing;    // bands (from 1) that received no sample
  double peak = 0.0;           // largest magnitude analysed on channel 1
};

// Pairs sweep sample i (i < total - 2*lead, the sweep samples that freqs
// describes) with recorded sample lead + start_offset + i, skipping those
// outside ch1[0 .. total), and gives the mean absolute value of each band of
// the plan whose high edges are hi[0 .. bands) relative to the loudest band.
BandAnalysis Analyze(long total, int bands, const double* freqs, const int32_t* ch1,
                     long start_offset, const double* hi, long lead);
