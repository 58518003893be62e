// quelmar-measure: a measurement from the command line, for real homes. It
// plays a sweep (logarithmic by default) on output 1, records the microphone
// on input 1 and keeps the recording in the program's format, with what
// quelmar-analyze needs in its metadata.
//
// The run is timed by a click on output 2 looped back to input 2, as the
// program does, or, with a separate microphone device (--capture), by
// markers on output 1 before and after the sweep that are found in the
// microphone's signal; their distance also gives the ratio of the two
// devices' clocks (dsp/acoustic_timing.h).
//
// The recording goes to disk as it is captured; what the run keeps in memory
// (the stretch that times it, the search for the second marker, one period
// of each stream) does not grow with the sweep's length.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "audio/device_errors.h"
#include "audio/exchange.h"
#include "audio/pcm.h"
#include "audio/sample_format.h"
#include "common/command_line.h"
#include "common/input_check.h"
#include "console/progress.h"
#include "dsp/acoustic_timing.h"
#include "dsp/analysis.h"
#include "dsp/input_one.h"
#include "dsp/packing.h"
#include "dsp/signals.h"
#include "dsp/sweep.h"
#include "formats/file_io.h"
#include "formats/recording.h"

namespace {

using tool::Fail;
using tool::Format;

// The layout of a run, in seconds.
constexpr double kQuietSeconds = 0.5;  // recorded before anything plays: the background
constexpr double kMaxLatency = 0.5;    // acoustic: how late the first marker may arrive
constexpr double kMinGap = 1.0;        // acoustic: silence after the first marker at least
constexpr double kMaxDriftPpm = 1000;  // acoustic: clocks further apart are not searched
constexpr double kMaxSeconds = 3600;   // the longest sweep
// The band plan written into the recording, for quelmar-analyze --bands:
// the program's default (1/4-octave bands, 31 of them).
constexpr double kBandQ = 4.0;
constexpr int kBands = 31;
constexpr snd_pcm_uframes_t kPeriod = 1024, kBuffer = 16384;

volatile sig_atomic_t g_interrupted = 0;
void Interrupt(int) { g_interrupted = 1; }

struct Options {
  std::string device = "default";
  std::string capture;  // empty: the playback device, with a loopback
  SweepKind kind = SweepKind::kLog;
  double length = 10, from = 20, to = 0, level = -12, tail = 2;
  int rate = 48000, repeats = 1;
  std::string out;  // empty: the next sweep_NNN.wav
};

tool::Tool CommandLine(Options* o) {
  return {
      "quelmar-measure",
      {"", "", "", "argument", 0, 0},
      "Measures a room: plays a sweep on output 1, records the microphone on input 1\n"
      "and writes the recording that quelmar-analyze turns into the room's response.",
      {{'d', nullptr, "DEVICE",
        "the playback device (default 'default'); without --capture also the microphone's, "
        "with output 2 wired to input 2, whose click times the run",
        tool::FileName(&o->device)},
       {0, "capture", "DEVICE",
        "a separate microphone device (a USB microphone: one or two channels, the microphone on "
        "the first) on its own clock; markers on output 1 time the run and measure the clock "
        "drift",
        tool::FileName(&o->capture)},
       {0, "sweep", "KIND", "log (default: constant energy per octave) or linear",
        {"log or linear",
         [o](const std::string& v) {
           o->kind = v == "linear" ? SweepKind::kLinear : SweepKind::kLog;
           return v == "log" || v == "linear";
         }}},
       {0, "length", "S", "the sweep's length in seconds (default 10)",
        tool::Number(&o->length, 0.1, kMaxSeconds, "seconds from 0.1 to 3600")},
       {0, "from", "HZ", "the sweep's start frequency (default 20)",
        tool::Number(&o->from, 1, 1e6, "a frequency of 1 Hz or more")},
       {0, "to", "HZ", "its end frequency (default 20000, at most 0.45 of the rate)",
        tool::Number(&o->to, 1, 1e6, "a frequency of 1 Hz or more")},
       {0, "level", "DBFS", "the sweep's peak in dB re full scale (default -12)",
        tool::Number(&o->level, -100, 0, "a level from -100 to 0 dBFS")},
       {0, "tail", "S",
        "seconds recorded after the sweep, for the room to decay into its noise (default 2)",
        tool::Number(&o->tail, 0.1, 60, "seconds from 0.1 to 60")},
       {0, "rate", "HZ", "frames per second (default 48000; 44100 and 96000 too)",
        tool::Whole(&o->rate, 8000, 192000)},
       {0, "repeat", "N",
        "N sweeps back to back, averaged by the analysis: noise falls 3 dB with each doubling "
        "(default 1)",
        tool::Whole(&o->repeats, 1, 64)},
       {'o', nullptr, "FILE", "the recording (default: the next sweep_NNN.wav here)",
        tool::FileName(&o->out)}},
      ""};
}

// ---- what is played, and where ------------------------------------------

struct Plan {
  unsigned rate = 0;
  SweepSpec sweep;  // output 1
  Timing timing = Timing::kLoopback;
  std::vector<int32_t> pulse;  // loopback: output 2's first frames, the click
  long sync_out = 0;
  long marker_a = 0, marker_b = 0, marker_frames = 0;  // acoustic: on output 1
  long total = 0;  // frames played and recorded
  long head = 0;   // frames recorded before the run's timing is known
};

bool MakePlan(const Options& o, Plan* p) {
  const unsigned rate = p->rate = static_cast<unsigned>(o.rate);
  const double top = 0.45 * rate, to = o.to > 0 ? o.to : std::min(20000.0, top);
  if (to > top)
    return Fail(Format("--to %g Hz is above 0.45 of the rate (%.0f Hz at %u Hz)", to, top, rate)),
           false;
  if (!(o.from < to))
    return Fail(Format("--from %g Hz must lie below --to (%g Hz)", o.from, to)), false;
  const double amplitude = std::pow(10.0, o.level / 20);
  const long quiet = std::lround(kQuietSeconds * rate), tail = std::lround(o.tail * rate);
  long lead = quiet;
  p->timing = o.capture.empty() ? Timing::kLoopback : Timing::kAcoustic;
  if (p->timing == Timing::kAcoustic) {
    p->marker_frames = MarkerFrames(rate);
    p->marker_a = quiet;
    lead = quiet + p->marker_frames + std::lround(std::max(o.tail, kMinGap) * rate);
  }
  if (o.kind == SweepKind::kLog) {
    p->sweep = LogSweep(o.from, to, o.length, rate, amplitude, lead, tail);
  } else {
    const long frames = std::lround(o.length * rate);
    p->sweep = {SweepKind::kLinear, o.from, to, frames, lead, tail, rate, amplitude, frames, 0.0};
  }
  p->sweep.repeats = o.repeats;
  // The analysis averages the repeats as a period: each must outlast the
  // room's decay, which the tail is for.
  if (o.repeats > 1 && p->sweep.sweep_frames < tail)
    return Fail("with --repeat, each sweep must last at least as long as --tail"), false;
  p->total = SweepTotalFrames(p->sweep);
  if (p->timing == Timing::kLoopback) {
    p->head = lead + kSyncEarliest;
    p->pulse.assign(static_cast<size_t>(p->head), 0);
    p->sync_out = MakePulse(p->pulse.data(), rate, static_cast<int>(p->head), static_cast<int>(lead));
  } else {
    // The first marker arrives within kMaxLatency; the recording goes on
    // until the second has arrived, however the clocks differ.
    p->marker_b = p->total;
    p->head = p->marker_a + std::lround((kMaxLatency + kMarkerAfter) * rate) + p->marker_frames;
    long from = 0;
    SecondMarkerSearch(p->head - p->marker_frames, p->marker_b - p->marker_a, kMaxDriftPpm, rate,
                       &from, &p->total);
    p->sweep.tail_frames = p->total - lead - p->sweep.repeats * p->sweep.sweep_frames;
  }
  if (p->total > std::min(kMaxRecordingFrames, kMaxMetadataFrames))
    return Fail(Format("a run of %.0f s does not fit in a recording (a WAV file holds at most "
                       "%.0f s at %u Hz)",
                       static_cast<double>(p->total) / rate,
                       static_cast<double>(std::min(kMaxRecordingFrames, kMaxMetadataFrames)) / rate,
                       rate)),
           false;
  return true;
}

// Output 1 and output 2 at frames [first, first + count).
void PlayedFrames(const Plan& p, long first, long count, int32_t* out1, int32_t* out2) {
  SweepSamples(p.sweep, first, count, out1);
  for (long j = 0; j < count; ++j) {
    const long i = first + j;
    out2[j] = i < static_cast<long>(p.pulse.size()) ? p.pulse[static_cast<size_t>(i)] : 0;
  }
  if (p.timing != Timing::kAcoustic) return;
  AddMarker(p.rate, p.sweep.amplitude, p.marker_a, first, count, out1);
  AddMarker(p.rate, p.sweep.amplitude, p.marker_b, first, count, out1);
}

// ---- the devices ------------------------------------------------------

struct Devices {
  PcmStream playback, capture;
};

// Opens and configures both streams at the plan's rate; a failure is told
// as the program tells it, or why the rate cannot be used.
bool OpenDevices(const Options& o, const Plan& p, Devices* d) {
  const bool loopback = p.timing == Timing::kLoopback;
  StreamRequest request;
  request.formats = MeasurementFormats();
  request.channels = loopback ? std::vector<unsigned>{2} : std::vector<unsigned>{2, 1};
  request.rate = p.rate;
  request.period = kPeriod;
  request.buffer = kBuffer;
  AudioStatus status = OpenStream(o.device.c_str(), Direction::kPlayback, &d->playback);
  if (status.ok()) status = ConfigureStream(d->playback, request);
  const std::string& mic = loopback ? o.device : o.capture;
  request.channels = loopback ? std::vector<unsigned>{2} : std::vector<unsigned>{1, 2};
  request.period = d->playback.granted.period;
  if (status.ok()) status = OpenStream(mic.c_str(), Direction::kCapture, &d->capture);
  if (status.ok()) status = ConfigureStream(d->capture, request);
  if (!status.ok()) {
    std::string text = DescribeFailure(status).text;
    return Fail(text.substr(0, text.size() - 1)), false;
  }
  for (const PcmStream* s : {&d->playback, &d->capture}) {
    if (s->granted.rate == p.rate) continue;
    const std::string& name = s == &d->playback ? o.device : mic;
    return Fail(Format("%s runs at %u Hz, not %u Hz: use --rate %u, or a plughw: device, which "
                       "converts the rate",
                       name.c_str(), s->granted.rate, p.rate, s->granted.rate)),
           false;
  }
  return true;
}

// ---- the run ----------------------------------------------------------

// One period of a stream: its channels in the stream's own format, one
// block after another, and the same on the 24-bit scale.
struct Period {
  Period(const PcmStream& s, long frames)
      : format(s.granted.format), channels(s.granted.channels),
        width(snd_pcm_format_physical_width(s.granted.format)),
        bytes(static_cast<size_t>(frames) * channels * width / 8),
        samples(2, std::vector<int32_t>(static_cast<size_t>(frames), 0)), frames(frames) {}
  snd_pcm_channel_area_t Area(unsigned c) {
    return {bytes.data() + static_cast<size_t>(c) * frames * width / 8, 0,
            static_cast<unsigned>(width)};
  }
  snd_pcm_format_t format;
  unsigned channels;
  int width;
  std::vector<unsigned char> bytes;
  std::vector<std::vector<int32_t>> samples;  // channels 1 and 2
  long frames;
};

struct Run {
  Run(const Plan& plan, Devices& d, long period)
      : plan(plan), out(d.playback, period), in(d.capture, period),
        packed(2, std::vector<unsigned char>(static_cast<size_t>(period) * 3)) {}
  const Plan& plan;
  RecordingInfo info;  // completed as the run goes
  Period out, in;
  std::vector<std::vector<unsigned char>> packed;
  RecordingWriter writer;
  // Timing: the first frames of both inputs until it is known.
  std::vector<int32_t> head_mic, head_loop;
  bool timed = false;
  SyncPulse sync;         // loopback
  MarkerArrival arrival;  // acoustic
  long latency = 0;       // recorded frame of played frame 0
  long search_from = 0, search_to = 0;
  std::vector<double> search;  // acoustic: where the second marker is looked for
  InputOneMeter meter;
  std::string failure;  // why the run stopped
};

bool MapPlayed(void* context, long first, long count, snd_pcm_channel_area_t* areas) {
  Run& r = *static_cast<Run*>(context);
  Period& p = r.out;
  PlayedFrames(r.plan, first, count, p.samples[0].data(), p.samples[1].data());
  for (unsigned c = 0; c < p.channels; ++c) {
    areas[c] = p.Area(c);
    WriteSamples24(p.samples[c < 2 ? c : 1].data(), count, p.format, areas[c], 0);
  }
  return true;
}

bool MapCaptured(void* context, long, long, snd_pcm_channel_area_t* areas) {
  Period& p = static_cast<Run*>(context)->in;
  for (unsigned c = 0; c < p.channels; ++c) areas[c] = p.Area(c);
  return true;
}

// Times the run from its first frames: the click, or the first marker.
bool Time(Run& r) {
  const Plan& p = r.plan;
  if (p.timing == Timing::kLoopback) {
    r.sync = FindSync(r.head_loop.data(), p.head, p.sync_out);
    r.latency = r.sync.peak.index - p.sync_out;
    if (!r.sync.found)
      r.failure = r.sync.stands_out
                      ? "the click on input 2 came back before it was played: is input 2 wired "
                        "to output 2 alone?"
                      : "no click came back on input 2: wire output 2 to input 2, or name the "
                        "microphone's own device with --capture";
    return r.sync.found;
  }
  const std::vector<double> mic(r.head_mic.begin(), r.head_mic.end());
  r.arrival = FindMarker(mic.data(), p.head, p.rate);
  r.latency = r.arrival.frame - p.marker_a;
  r.info.measured.marker_arrival = r.arrival.frame;
  if (!r.arrival.found) {
    r.failure = "the marker before the sweep was not heard on the microphone: is it the device "
                "that hears the speakers, and is the level high enough?";
    return false;
  }
  SecondMarkerSearch(r.arrival.frame, p.marker_b - p.marker_a, kMaxDriftPpm, p.rate,
                     &r.search_from, &r.search_to);
  r.search.reserve(static_cast<size_t>(r.search_to - r.search_from));
  return true;
}

// Takes `count` recorded frames from `first` on: into the recording, the
// timing, the input-1 checks and the search for the second marker.
bool TakeCaptured(Run& r, long first, long count) {
  const long n = std::min(count, r.plan.total - first);
  const int32_t* mic = r.in.samples[0].data();
  const int32_t* loop = r.in.samples[1].data();
  NUM24_TO_CHAR(mic, r.packed[0].data(), n);
  NUM24_TO_CHAR(loop, r.packed[1].data(), n);
  if (const int err = AppendRecording(&r.writer, r.packed[0].data(), r.packed[1].data(), n)) {
    r.failure = std::string("could not write the recording: ") + strerror(err);
    return false;
  }
  long used = 0;
  if (!r.timed) {
    used = std::min(n, r.plan.head - first);
    r.head_mic.insert(r.head_mic.end(), mic, mic + used);
    r.head_loop.insert(r.head_loop.end(), loop, loop + used);
    if (first + used < r.plan.head) return true;
    if (!Time(r)) return false;
    r.timed = true;
    r.meter = StartInputOne(MicrophoneStretches(r.info, r.latency), r.plan.rate);
    AddInputOne(&r.meter, r.head_mic.data(), 0, r.plan.head);
  }
  AddInputOne(&r.meter, mic + used, first + used, n - used);
  for (long j = used; j < n; ++j)
    if (first + j >= r.search_from && first + j < r.search_to) r.search.push_back(mic[j]);
  return true;
}

bool Captured(void* context, long first, long count) {
  Run& r = *static_cast<Run*>(context);
  Period& p = r.in;
  for (unsigned c = 0; c < 2; ++c) {
    if (c < p.channels && (c == 0 || r.plan.timing == Timing::kLoopback))
      ReadSamples24(p.Area(c), p.format, 0, count, p.samples[c].data());
    else
      std::fill(p.samples[c].begin(), p.samples[c].end(), 0);
  }
  if (g_interrupted) r.failure = "interrupted";
  return !g_interrupted && first < r.plan.total && TakeCaptured(r, first, count);
}

void ShowRunProgress(long done, void* context) {
  RunProgress& p = *static_cast<RunProgress*>(context);
  ShowProgress(done, SweepTotalFrames(*p.sweep), &p);
}

std::string UtcNow() {
  char date[32];
  const time_t now = time(nullptr);
  tm utc;
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
  return date;
}

// The recording's metadata as far as it is known before the run.
RecordingInfo Metadata(const Options& o, const Plan& p, const Devices& d) {
  RecordingInfo info;
  info.sweep = p.sweep;
  info.total_frames = p.total;
  // A click's window; with acoustic timing, none.
  info.sync_out = p.timing == Timing::kLoopback ? p.sync_out : 0;
  info.sync_frames = p.timing == Timing::kLoopback ? p.head : 1;
  info.q = kBandQ;
  info.bands = kBands;
  info.device = o.device;
  info.rate = p.rate;
  info.period = static_cast<long>(d.playback.granted.period);
  info.date = UtcNow();
  Measurement& m = info.measured;
  m.present = true;
  m.timing = p.timing;
  m.capture_device = p.timing == Timing::kLoopback ? o.device : o.capture;
  m.marker_frames = p.marker_frames;
  m.marker_a = p.marker_a;
  m.marker_b = p.marker_b;
  return info;
}

int Main(int argc, char** argv) {
  Options o;
  const tool::Tool command_line = CommandLine(&o);
  std::vector<std::string> operands;
  if (auto status = tool::ParseCommandLine(command_line, argc, argv, &operands)) return *status;
  Plan plan;
  if (!MakePlan(o, &plan)) return 1;

  // The recording's folder must take it before anything is played.
  struct stat st;
  if (!o.out.empty() && stat(o.out.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Fail(o.out + ": not a regular file");
  Devices d;
  if (!OpenDevices(o, plan, &d)) return 1;
  // From here on an interruption ends the run through its failure path,
  // which removes the unfinished recording.
  struct sigaction stop = {};
  stop.sa_handler = Interrupt;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &stop, nullptr);
  Run r(plan, d, static_cast<long>(d.playback.granted.period));
  r.info = Metadata(o, plan, d);
  if (const int err = StartRecording(o.out, &r.writer))
    return Fail("cannot write " + (o.out.empty() ? std::string("the recording here") : o.out) +
                ": " + strerror(err));
  AudioStatus status = PrepareStreams(d.playback, d.capture);
  RunProgress progress;
  StartProgress(progress, &plan.sweep, static_cast<int>(plan.rate));
  ExchangeCounts counts;
  const long period = static_cast<long>(d.playback.granted.period);
  if (status.ok())
    status = ExchangePeriods(d.playback, d.capture, (plan.total + period - 1) / period,
                             {MapPlayed, nullptr, &r}, {MapCaptured, Captured, &r},
                             ShowRunProgress, &progress, &counts);
  EndProgress(progress);
  if (g_interrupted) return Fail("interrupted; nothing was written");
  if (!r.failure.empty()) return Fail(r.failure);
  if (!status.ok()) {
    const std::string text = DescribeFailure(status).text;
    return Fail(text.substr(0, text.size() - 1));
  }
  if (!r.timed) return Fail("the run ended before it could be timed");

  std::string said;
  if (plan.timing == Timing::kAcoustic) {
    const std::vector<double> head(r.head_mic.begin(), r.head_mic.end());
    const ClockDrift drift = FindClockDrift(
        head.data(), plan.head, r.arrival.frame, r.search.data(), r.search_from,
        static_cast<long>(r.search.size()), plan.marker_b - plan.marker_a, kMaxDriftPpm, plan.rate);
    if (!drift.found)
      return Fail("the marker after the sweep was not heard clearly on the microphone, so the "
                  "clocks cannot be compared: measure again, louder or in less noise");
    r.info.measured.drift_ppm = drift.ppm;
    // Rounded first, so that a drift of nothing reads +0.0.
    said += Format("Clock drift: %+.1f ppm\n", std::round(drift.ppm * 10) / 10 + 0.0);
  }
  if (counts.underruns > 0 || counts.overruns > 0)
    tool::Warn(Format("%ld underrun(s) and %ld overrun(s) during the run; its timing may be wrong: "
                      "measure again.",
                      counts.underruns, counts.overruns));
  r.info.underruns = counts.underruns;
  r.info.overruns = counts.overruns;
  const SavedRecording saved = FinishRecording(&r.writer, r.info);
  if (!saved.ok) return Fail(saved.error);
  for (const std::string& key : saved.shortened)
    tool::Warn("the \"" + key + "\" value is too long for the recording's metadata and is cut "
               "short there.");
  said = "Recording written to " + Printable(saved.name) + "\n" + said;
  said += tool::InputOneLines(FinishInputOne(r.meter), "");
  fputs(said.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::Finish(Main(argc, argv)); }
