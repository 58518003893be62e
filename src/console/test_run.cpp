#include "console/test_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "console/input.h"
#include "console/play_record.h"
#include "console/progress.h"
#include "dsp/analysis.h"
#include "dsp/input_one.h"
#include "dsp/levels.h"
#include "dsp/packing.h"
#include "dsp/signals.h"
#include "dsp/sweep.h"
#include "formats/file_io.h"
#include "formats/memory.h"
#include "formats/recording.h"
#include "formats/result_table.h"

namespace {

// The run's buffers must fit in the memory still available.
bool FitsInMemory(long total) {
  return MemoryCanHold(static_cast<double>(total) * (sizeof(double) + 2 * sizeof(int32_t) + 2 * 6));
}

// Appends the report to the result file; a failed write leaves the blocks
// already in the file intact, and a FIFO with no reader is reported.
void AppendReport(const std::string& report) {
  AppendStep step;
  if (const int err = AppendWithUndo(kResultFile, report, &step)) {
    const char* what = step == AppendStep::kOpen ? "open" : step == AppendStep::kWrite ? "write" : "close";
    fprintf(stderr, "Could not %s %s: %s\n", what, kResultFile, strerror(err));
  }
}

// Warns when the sweep recorded on input 1 cannot be trusted: it barely
// rises above the background recorded before it, or it reached full scale.
// `offset` is where played frame 0 lies in the recording (SyncIn - SyncOut).
void WarnInputOne(const int32_t* recording, long total, long sweep_frames, long offset) {
  const long start = kLeadFrames + offset;
  const InputOneCheck check = CheckInputOne(
      recording, total, {{offset, start}, {start, start + sweep_frames}, {}}, kSampleRate);
  if (check.dead) printf("Warning: %s\n", kBarelyHeardText);
  if (check.clipped) printf("Warning: %s\n", kClippedText);
}

// Keeps what the card recorded as the next sweep_NNN.wav, with what is
// needed to analyse it. Nothing is printed unless it cannot be written
// whole; standard output stays as it is in any case.
void KeepRecording(const unsigned char* capture, long stride, const SweepSpec& sweep,
                   int sync_out, const TestSettings& settings, const DuplexStats& stats) {
  RecordingInfo info;
  info.sweep = sweep;
  info.total_frames = SweepTotalFrames(sweep);
  info.sync_out = sync_out;
  info.sync_frames = kSyncFrames;
  info.q = settings.q;
  info.bands = settings.bands;
  info.device = settings.device;
  info.rate = stats.rate;
  info.period = stats.period;
  info.underruns = stats.underruns;
  info.overruns = stats.overruns;
  char date[32];
  const time_t now = time(nullptr);
  tm utc;
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  info.date = date;
  const SavedRecording saved = SaveRecording(capture, stride, info.total_frames, info);
  if (!saved.ok) fprintf(stderr, "%s\n", saved.error.c_str());
  for (const std::string& key : saved.shortened)
    fprintf(stderr,
            "Note: the \"%s\" value is too long for the metadata of %s and is cut short there.\n",
            key.c_str(), saved.name.c_str());
}

}  // namespace

bool RunTest(const TestSettings& settings, const BandTable& plan, double end_freq,
             RunArrays& arrays, std::string& token) {
  // A sweep above half the sample rate folds back into the audible range
  // and would file a table of nonsense.
  if (end_freq > kSampleRate / 2) {
    printf("Band plan ends at %.0f Hz, above the %d Hz the card can play; use fewer bands or a "
           "larger Q.\n",
           end_freq, kSampleRate / 2);
    return true;
  }
  // The sweep length was checked when it was set: total fits 32 bits.
  const long sweep_frames = TruncToInt32(settings.sweep_length * kSampleRate);
  const long total = sweep_frames + 2 * kLeadFrames;
  const long stride = total * 3;

  const bool fits = FitsInMemory(total);
  HeapArray<double> freqs = fits ? Allocate<double>(total) : nullptr;
  HeapArray<int32_t> sweep = fits ? Allocate<int32_t>(total) : nullptr;
  HeapArray<int32_t> recording = fits ? Allocate<int32_t>(total) : nullptr;
  HeapArray<unsigned char> play = fits ? Allocate<unsigned char>(total * 6) : nullptr;
  HeapArray<unsigned char> capture = fits ? Allocate<unsigned char>(total * 6) : nullptr;
  if (!freqs || !sweep || !recording || !play || !capture) {
    printf("Not enough memory for a sweep of %.1f seconds.\n", settings.sweep_length);
    return true;
  }

  const int sync_out = MakePulse(arrays.pulse, kSampleRate, kSyncFrames, kLeadFrames);
  NUM24_TO_CHAR(arrays.pulse, play.get() + stride, kSyncFrames);
  memset(play.get() + stride + kSyncFrames * 3, 0, static_cast<size_t>(total - kSyncFrames) * 3);
  // The recording needs no clearing: it is decoded over in full below.
  memset(arrays.sync_window, 0, sizeof arrays.sync_window);

  MakeSweep(kSampleRate, sweep.get(), freqs.get(), settings.start_freq, end_freq, total,
            kSweepAmplitude, kLeadFrames);
  const SweepSpec desc =
      ProgramSweep(kSampleRate, settings.start_freq, end_freq, total, kSweepAmplitude, kLeadFrames);
  NUM24_TO_CHAR(sweep.get(), play.get(), total);

  // Frames the transfer never fills must read as silence.
  memset(capture.get(), 0, static_cast<size_t>(total) * 6);
  DuplexStats stats;
  RunProgress progress;
  StartProgress(progress, &desc, kSampleRate);
  const AudioStatus played = PlayAndRecord(settings.device.c_str(), total, play.get(),
                                           capture.get(), stride, ShowProgress, &progress, stats);
  EndProgress(progress);
  if (!played.ok()) FailDevice(played);

  CHAR_TO_NUM32(capture.get(), recording.get(), 3, total);
  CHAR_TO_NUM32(capture.get() + stride, arrays.sync_window, 3, kSyncFrames);

  const SyncPulse sync = FindSync(arrays.sync_window, kSyncFrames, sync_out);
  const int sync_in = sync.peak.index;
  printf("Ch 2 (sync): Return Level = %.1f dB\n", DbFullScale(sync.peak.value));
  printf("Sync Out = %i \t Sync In = %i samples\n", sync_out, sync_in);
  if (!sync.found)
    puts("Warning: no sync pulse found on input 2; output 2 must be wired to input 2.");
  puts("Analyzing data...");

  const BandAnalysis bands = Analyze(total, settings.bands, freqs.get(), recording.get(),
                                     sync_in - sync_out, plan.hi, kLeadFrames);
  const std::string report = FormatReport(settings.bands, plan.lo, plan.hi, bands.levels.data());
  printf("%s", report.c_str());
  for (int band : bands.missing) printf("Band %i is missing data\n", band);
  printf("Ch 1 (sweep): Return Level = %.1f dB\n", DbFullScale(bands.peak));
  WarnInputOne(recording.get(), total, sweep_frames, sync_in - sync_out);
  AppendReport(report);
  KeepRecording(capture.get(), stride, desc, sync_out, settings, stats);

  // The buffers of a long sweep are large: they are not held while the
  // program waits at the prompt.
  freqs.reset();
  sweep.reset();
  recording.reset();
  play.reset();
  capture.reset();
  return ContinuePrompt(token);
}
