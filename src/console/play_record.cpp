#include "console/play_record.h"

#include <cstdio>
#include <cstdlib>

#include "console/test_run.h"

namespace {

constexpr unsigned kRate = kSampleRate;

// The sweep and its frequency table are computed for kSampleRate: played
// at another rate, every frequency the band table names is off by the ratio
// of the two rates.
void WarnBandsOff(unsigned played) {
  const double ratio = static_cast<double>(played) / kSampleRate;
  printf("The band frequencies are off by that ratio: every band is %.1f %% %s than labelled. "
         "Use a plughw: device, which converts the rate.\n",
         ratio < 1 ? 100 * (1 - ratio) : 100 * (ratio - 1), ratio < 1 ? "lower" : "higher");
}

}  // namespace

AudioStatus PlayAndRecord(const char* device, long frames, unsigned char* play,
                          unsigned char* capture, long stride, TransferProgress progress,
                          void* context, DuplexStats& stats) {
  Duplex duplex;
  DuplexWarnings warnings;
  AudioStatus status = OpenDuplex(device, kRate, &duplex, &warnings);
  if (warnings.period) puts("Driver did not return requested period size.");
  if (!status.ok()) return status;
  if (warnings.rate != 0) {
    printf("Driver did not return requested rate: got %u Hz instead of %u Hz.\n", warnings.rate,
           kRate);
    const unsigned played = duplex.playback.granted.rate;
    if (played != kRate) WarnBandsOff(played);
  }
  status = PrepareStreams(duplex.playback, duplex.capture);
  if (!status.ok()) return status;
  puts("Running Test...");
  fflush(stdout);
  status = PLAY_REC(duplex, frames, play, capture, stride, progress, context, &stats);
  if (status.ok() && (stats.underruns > 0 || stats.overruns > 0))
    printf("Warning: %ld underruns and %ld overruns during the test; the alignment and the "
           "results may be wrong.\n",
           stats.underruns, stats.overruns);
  return status;
}

void FailDevice(const AudioStatus& status) {
  const DeviceMessage message = DescribeFailure(status);
  // Earlier output on standard output must not be lost or reordered behind
  // the message, whichever stream the message goes to.
  fflush(stdout);
  FILE* stream = message.to_standard_output ? stdout : stderr;
  fputs(message.text.c_str(), stream);
  fflush(stream);
  exit(1);
}
