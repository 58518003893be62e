#include "audio/duplex.h"

namespace {

constexpr int kChannels = 2;
constexpr int kBytesPerSample = 3;

// Sixteen periods, 341 ms at 48000 Hz, for each stream. Playback keeps all
// but one period of its buffer queued and capture may fall behind by a whole
// buffer, so this is the longest hold-up either survives without an xrun. A
// busy machine, or a sound server without real-time scheduling, holds the
// program up for more than 100 ms now and then, which four periods did not
// survive. The frames exchanged and the alignment do not depend on it.
constexpr snd_pcm_uframes_t kRequestedBuffer = 16384;

// One packed block, its channels `stride` bytes apart: the device moves its
// frames in place.
struct PackedBlock {
  unsigned char* data;
  long stride;
};

bool MapPacked(void* context, long first, long, snd_pcm_channel_area_t* areas) {
  const PackedBlock& block = *static_cast<PackedBlock*>(context);
  for (int c = 0; c < kChannels; ++c)
    areas[c] = {block.data + c * block.stride + first * kBytesPerSample, 0, 8 * kBytesPerSample};
  return true;
}

struct Progress {
  TransferProgress report;
  long frames;
  void* context;
};

void ReportProgress(long done, void* context) {
  const Progress& p = *static_cast<Progress*>(context);
  p.report(done, p.frames, p.context);
}

}  // namespace

AudioStatus OpenDuplex(const char* device, unsigned rate, Duplex* duplex,
                       DuplexWarnings* warnings) {
  *warnings = DuplexWarnings();
  StreamRequest request;
  request.formats = {SND_PCM_FORMAT_S24_3LE};
  request.channels = {kChannels};
  request.rate = rate;
  request.period = kRequestedPeriod;
  request.buffer = kRequestedBuffer;
  AudioStatus status = OpenStream(device, Direction::kPlayback, &duplex->playback);
  if (status.ok()) status = ConfigureStream(duplex->playback, request);
  if (!status.ok()) return status;
  const StreamConfig& play = duplex->playback.granted;
  warnings->period = play.period != kRequestedPeriod;

  request.period = play.period;
  status = OpenStream(device, Direction::kCapture, &duplex->capture);
  if (status.ok()) status = ConfigureStream(duplex->capture, request);
  if (!status.ok()) return status;
  const unsigned capture_rate = duplex->capture.granted.rate;
  warnings->rate = play.rate != rate ? play.rate : capture_rate != rate ? capture_rate : 0;
  return status;
}

AudioStatus PLAY_REC(Duplex& duplex, long frames, unsigned char* play, unsigned char* capture,
                     long stride, TransferProgress progress, void* context, DuplexStats* stats) {
  const long p = static_cast<long>(duplex.playback.granted.period);
  const long periods = frames > p ? (frames - 1) / p : 0;
  PackedBlock play_block{play, stride}, capture_block{capture, stride};
  const PeriodPort source{MapPacked, nullptr, &play_block};
  const PeriodPort sink{MapPacked, nullptr, &capture_block};
  Progress report{progress, frames, context};
  ExchangeCounts counts;
  const AudioStatus status =
      ExchangePeriods(duplex.playback, duplex.capture, periods, source, sink,
                      progress ? ReportProgress : nullptr, &report, &counts);
  if (stats) *stats = DuplexStats{duplex.playback.granted.rate, p, counts.underruns, counts.overruns};
  return status;
}
