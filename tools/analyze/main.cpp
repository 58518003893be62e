// quelmar-analyze: the exact response of a room from the recording a run
// keeps. The played sweep is regenerated from the recording's metadata; the
// microphone channel is put on the playback clock (resampled by the drift a
// separate microphone measured) and lined up with what was played (by the
// click on the loopback channel, or by the first acoustic marker); repeated
// sweeps are averaged; and H(f) = Y(f) / X(f) gives the gain from output 1 to
// input 1 at every frequency the sweep covered. The response is then taken
// from a time window of the impulse response around the direct sound, so
// that the noise outside it (and a log sweep's harmonics, which lie before
// it) no longer count.
//
// The steps, in the order Analyse takes them: Timing, MicrophoneOnPlayedClock,
// AverageRepeats, Deconvolve, ChooseWindow, then the smoothing at the output
// points.
#include <strings.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/curve_input.h"
#include "common/out_of_memory.h"
#include "common/outputs.h"
#include "common/input_check.h"
#include "dsp/analysis.h"
#include "dsp/band_plan.h"
#include "dsp/decay.h"
#include "dsp/input_one.h"
#include "dsp/resample.h"
#include "dsp/smoothing.h"
#include "dsp/sweep.h"
#include "dsp/transfer.h"
#include "formats/curve_file.h"
#include "formats/file_io.h"
#include "formats/memory.h"
#include "formats/recording.h"
#include "formats/result_table.h"
#include "room_acoustics.h"
#include "wav_files.h"

namespace {

using tool::Fail;
using tool::Format;

const double kSpeedOfSound = 343.0;  // m/s
const double kBassPeriods = 8;  // the default window's reach on either side of the direct sound
// Noise this far below the direct sound's power (100 dB) biases no level
// measurably, even over a whole recording: the window does not cut it.
const double kNegligibleNoise = 1e-10;
const int kPointsPerOctave = 48;
const int kDefaultSmoothing = 12;  // 1/12 octave
const double kPi = 3.14159265358979323846;
const size_t kMaxCalibrationBytes = size_t{16} << 20;
const char kTooLong[] = "too long to analyse in the memory available";

struct Options {
  std::vector<std::string> recordings;
  std::string out;
  int smooth = kDefaultSmoothing;
  std::vector<std::string> cal_paths;
  std::string bands;
  std::string ir;
  double window_ms = 0.0;  // 0: no window
  bool average = false;
  RoomOptions room;
};

struct Calibration {
  std::string path;
  Curve curve;
};

// What was kept of an impulse response: frames before and after the direct
// sound, the last `fade` of them faded out, and why it ends there.
struct ImpulseWindow {
  long before = 0, after = 0, fade = 0;
  const char* end = "";  // "" for --window
};

// What one recording contributes to the output.
struct Measured {
  std::string path;
  RecordingInfo info;
  bool acoustic = false;  // timed by markers, not by a loopback
  long latency = 0;  // recorded frame of played frame 0, on the playback clock
  long delay = 0;    // frames from played frame 0 to the direct sound
  double f_lo = 0.0, f_hi = 0.0;  // the sweep's range in Hz
  InputOneCheck check;
  ImpulseWindow window;
  std::vector<double> power;      // smoothed |H|^2 at each output point
  std::vector<std::complex<double>> value;  // smoothed H, time of flight removed
  std::vector<double> band_mean;  // mean |H| over each band's hertz; < 0: no bins
  std::vector<double> ir;         // when asked for
  RoomResults room;               // --decay, --waterfall, --distortion
};

// The command line, each option read into *o.
tool::Tool CommandLine(Options* o) {
  return {
      "quelmar-analyze",
      {"[RECORDING.wav ...]", "RECORDING.wav",
       "recordings that quelmar keeps (sweep_NNN.wav); with none named, the newest in this "
       "folder",
       "recording", 0, -1},
      "Computes the exact response (output 1 to input 1) from recordings.",
      {{'o', nullptr, "OUT.txt",
        "response file (default: the recording's name with -response.txt), 48 points per "
        "octave, REW text layout",
        tool::FileName(&o->out)},
       {0, "smooth", "N",
        Format("1/N-octave smoothing: the mean of |H|^2 over f*2^(+-1/2N) (default %d; 0 for none)",
               kDefaultSmoothing),
        tool::Whole(&o->smooth, 0, 1000)},
       {0, "cal", "FILE",
        "calibration to subtract (microphone or interface; may be given more than once; a "
        "response file of ours is one)",
        tool::FileNames(&o->cal_paths)},
       {0, "bands", "FILE",
        "append the recording's band levels from H to FILE, in the result file's format, and "
        "print them",
        tool::FileName(&o->bands)},
       {0, "ir", "IR.wav", "write the impulse response (32-bit float WAV)", tool::FileName(&o->ir)},
       {0, "window", "MS",
        "keep MS milliseconds of the impulse response after the direct sound (1 ms before it, "
        "faded over its last fifth, at most 5 ms): the speaker without the room, from about "
        "1000/MS Hz up (by default the window reaches from 8 periods of the sweep's start "
        "frequency before the direct sound to where its decay meets the noise)",
        tool::Number(&o->window_ms, std::nextafter(0.0, 1.0), 60000,
                     "a number of milliseconds above 0, at most 60000")},
       {0, "average", nullptr, "one response: the power average of all recordings named",
        tool::Switch(&o->average)},
       {0, "decay", nullptr,
        "print the decay times EDT, T20 and T30 of each octave band from 63 Hz to 8 kHz that the "
        "sweep covers, and the strongest modes below 300 Hz with their decay times",
        tool::Switch(&o->room.decay)},
       {0, "decay-file", "FILE", "--decay, and write its tables to FILE (tab-separated)",
        tool::FileName(&o->room.decay_file)},
       {0, "waterfall", "FILE",
        "write the waterfall of the bass (its cumulative spectral decay) for quelmar-plot",
        tool::FileName(&o->room.waterfall)},
       {0, "waterfall-hz", "LO:HI", "the waterfall's frequencies (default 20:300)",
        {"LO:HI in Hz with 0 < LO < HI, such as 20:300",
         [o](const std::string& v) {
           double lo, hi;
           return tool::ReadPair(v, ':', &lo, &hi) && lo > 0 && hi > lo && hi <= 1e6 &&
                  (o->room.waterfall_lo = lo, o->room.waterfall_hi = hi, true);
         }}},
       {0, "waterfall-ms", "MS", "the waterfall's time after the direct sound (default 300)",
        tool::Number(&o->room.waterfall_ms, 10, 2000, "a number of milliseconds from 10 to 2000")},
       {0, "distortion", "FILE",
        "write the harmonic distortion of a log sweep's recording (H2, H3 and THD against "
        "frequency) to FILE and print it by octave",
        tool::FileName(&o->room.distortion)}},
      ""};
}

// A separate microphone's recording on the playback clock: output frame j
// is recorded frame j (1 + drift).
double DriftRatio(const RecordingInfo& r) { return 1.0 / (1.0 + r.measured.drift_ppm * 1e-6); }

bool Acoustic(const RecordingInfo& r) {
  return r.measured.present && r.measured.timing == Timing::kAcoustic;
}

// The frames the analysis transforms: the recording, or more when the
// drift's correction lengthens it.
long FramesNeeded(const RecordingInfo& r) {
  if (!Acoustic(r) || r.measured.drift_ppm == 0) return r.total_frames;
  return std::max(r.total_frames, ResampledFrames(r.total_frames, DriftRatio(r)));
}

// The memory of an analysis: its buffers and FFTW's tables.
double AnalysisBytes(long n) {
  const double kFftwBytesPerFrame = 10;  // measured: 4 to 9 for the lengths FastFftSize gives
  return 2.0 * FftBufferDoubles(n) * sizeof(double) + kFftwBytesPerFrame * n;
}

// The buffers of the analysis, made once for the longest recording of a run
// and reused for each: two of the FFT's length, which hold in turn the
// microphone's samples, the signals recorded and played, their spectra, the
// impulse response and the smoothing's sums. No step clears what it writes
// in full.
struct Buffers {
  long n = 0;  // the longest FFT they hold
  HeapArray<double> a, b;
};

bool MakeBuffers(long n, Buffers* out) {
  out->n = n;
  out->a = Allocate<double>(FftBufferDoubles(n));
  out->b = Allocate<double>(FftBufferDoubles(n));
  return out->a && out->b;
}

// The range the sweep covered, in hertz at the granted rate. It must start
// at a frequency the recording can resolve (one cycle within it), so that a
// crafted start frequency cannot ask for endless output points.
bool CheckRange(const std::string& path, const RecordingInfo& r) {
  const FrequencyRange range = SweepRange(r.sweep, r.rate);
  if (r.sweep.sweep_frames < 2 || !(range.hi > range.lo) || !(range.hi < r.rate / 2.0))
    return Fail(path, "its sweep covers no range that can be analysed");
  if (!(range.lo >= static_cast<double>(r.rate) / r.total_frames))
    return Fail(path, Format("its sweep starts at %g Hz, below the %g Hz that a recording of %ld "
                             "frames resolves",
                             range.lo, static_cast<double>(r.rate) / r.total_frames,
                             r.total_frames));
  // A recording too long for the machine's memory is refused rather than
  // failing half-way.
  if (!MemoryCanHold(AnalysisBytes(FastFftSize(FramesNeeded(r)))))
    return Fail(path, kTooLong);
  return true;
}

// The output frequencies: 48 per octave from lo up to hi (0 < lo < hi).
std::vector<double> Points(double lo, double hi) {
  const long count = static_cast<long>(std::floor(std::log2(hi / lo) * kPointsPerOctave + 1e-9)) + 1;
  std::vector<double> f(static_cast<size_t>(count));
  for (long k = 0; k < count; ++k)
    f[static_cast<size_t>(k)] = lo * std::pow(2.0, static_cast<double>(k) / kPointsPerOctave);
  return f;
}

double CalibrationDb(const std::vector<Calibration>& cals, double f) {
  double db = 0.0;
  for (const Calibration& c : cals) db += CurveDbAt(c.curve, f);
  return db;
}

// Mean |H| over each band's hertz within [lo, hi], calibration removed; -1
// for a band with no bin there.
std::vector<double> BandMeans(const std::complex<double>* h, double bin_hz, const RecordingInfo& r,
                              double lo, double hi, const std::vector<Calibration>& cals) {
  std::vector<double> edge_lo(static_cast<size_t>(r.bands > 0 ? r.bands : 1));
  std::vector<double> edge_hi(edge_lo.size());
  FindHighFreq(r.q, r.bands, r.sweep.start_freq, edge_lo.data(), edge_hi.data());
  BandSums sums = StartBandSums(r.bands);
  const long first = static_cast<long>(std::ceil(lo / bin_hz));
  const long last = static_cast<long>(std::floor(hi / bin_hz));
  for (long k = first; k <= last && r.bands > 0; ++k) {
    // Only the bins within the plan's edges count.
    const double f = static_cast<double>(k) * bin_hz;
    if (f < edge_lo[0]) continue;
    if (f > edge_hi[static_cast<size_t>(r.bands) - 1]) break;
    double mag = std::abs(h[k]);
    if (!cals.empty()) mag *= std::pow(10.0, -CalibrationDb(cals, f) / 20.0);
    AddToBand(&sums, edge_hi.data(), f, mag);
  }
  return BandMeans(sums);
}

// How the run was timed: the recorded frame of played frame 0 (on the
// playback clock), from the click on input 2 or the first acoustic marker.
bool Timing(const std::string& path, const std::vector<int32_t>& sync, Measured* m) {
  const RecordingInfo& r = m->info;
  m->acoustic = Acoustic(r);
  if (m->acoustic) {
    m->latency = std::lround(r.measured.marker_arrival * DriftRatio(r)) - r.measured.marker_a;
    return true;
  }
  const SyncPulse pulse = FindSync(sync.data(), r.sync_frames, r.sync_out);
  m->latency = pulse.peak.index - r.sync_out;
  if (!pulse.found && pulse.stands_out)
    return Fail(path, "its sync pulse came back " + std::to_string(-m->latency) +
                          " frames before it was played, which no card can do: it cannot be "
                          "aligned");
  if (!pulse.found) return Fail(path, "no sync pulse on input 2: it cannot be aligned");
  return true;
}

// y[0 .. count) moved back by the latency into out[0 .. n): frame j of it
// belongs to played frame j, and it is silent outside the frames that hold
// the sweep's sound (an acoustic marker's is not the sweep's).
template <typename T>
void Align(const T* y, long count, const Measured& m, long n, double* out) {
  const FrameRange keep = SweepResponseFrames(m.info);
  const long to = std::max(std::min({keep.to, n, count - m.latency}), 0L);
  const long from = std::min(std::max({keep.from, 0L, -m.latency}), to);
  std::fill(out, out + from, 0.0);
  std::copy(y + from + m.latency, y + to + m.latency, out + from);
  std::fill(out + to, out + n, 0.0);
}

// The microphone, recorded at the start of `scratch` (the 24-bit samples of
// all total frames), on the playback clock (resampled by the measured
// drift: output frame j is recorded frame j (1 + drift)) and aligned in
// out[0 .. n). `scratch` holds n doubles, and so does `out`. False when the
// drift cannot be corrected: a response on the wrong clock would be wrong.
bool MicrophoneOnPlayedClock(const Measured& m, long n, double* scratch, double* out) {
  const RecordingInfo& r = m.info;
  const int32_t* mic = reinterpret_cast<const int32_t*>(scratch);
  if (!m.acoustic || r.measured.drift_ppm == 0) {
    Align(mic, r.total_frames, m, n, out);
    return true;
  }
  std::copy(mic, mic + r.total_frames, out);
  const double ratio = DriftRatio(r);
  if (!ResampleSignal(out, r.total_frames, ratio, scratch)) return false;
  Align(scratch, ResampledFrames(r.total_frames, ratio), m, n, out);
  return true;
}

// Repeated sweeps averaged in place, before the division: y[n] becomes the
// mean of y[n + k P] over the repeats k (P the sweep's length), circularly
// in y[0 .. size), summed in `sum`. Its spectrum is then exactly the room's
// response to one sweep, plus copies a whole sweep or more away from it,
// and the noise falls 3 dB with each doubling of the repeats.
void AverageRepeats(const SweepSpec& s, double* y, long size, double* sum) {
  if (s.repeats < 2) return;
  const long period = s.sweep_frames;
  std::copy(y, y + size, sum);
  for (long k = 1; k < s.repeats; ++k) {
    const long shift = static_cast<long>((static_cast<unsigned long>(k) * period) % size);
    for (long i = 0; i < size - shift; ++i) sum[i] += y[i + shift];
    for (long i = size - shift; i < size; ++i) sum[i] += y[i + shift - size];
  }
  for (long i = 0; i < size; ++i) y[i] = sum[i] / static_cast<double>(s.repeats);
}

// What was played, one sweep of it, in out[0 .. n).
void PlayedSweep(const SweepSpec& s, long n, double* out) {
  SweepSpec once = s;
  once.repeats = 1;
  const long total = std::min(SweepTotalFrames(once), n);
  std::vector<int32_t> chunk(16384);
  for (long at = 0; at < total;) {
    const long count = std::min(total - at, static_cast<long>(chunk.size()));
    SweepSamples(once, at, count, chunk.data());
    std::copy(chunk.begin(), chunk.begin() + count, out + at);
    at += count;
  }
  std::fill(out + total, out + n, 0.0);
}

// The frames recorded after the last sweep, for the room's decay.
long TailFrames(const RecordingInfo& r) {
  const SweepSpec& s = r.sweep;
  return SweepResponseFrames(r).to - s.lead_frames - s.repeats * s.sweep_frames;
}

// The window the response is taken from. By default it reaches from
// kBassPeriods periods of the lowest frequency before the direct sound to
// where the decay meets the noise (Lundeby's truncation point), but at least
// as many periods after it, within the frames recorded after the last sweep
// (beyond them the response lacks the last frequencies' decay); its last
// tenth is faded out. So many periods keep, on both sides, most of the
// ringing of the response's band edge, without which the bass would change;
// a log sweep's second harmonic must stay well out of it, but one period is
// always kept. Where the noise lies more than kNegligibleNoise below the
// direct sound, nothing is cut for it: the window then only keeps a log
// sweep's harmonics out, and a linear sweep's response keeps all the
// recording, as its harmonics cannot be cut. Averaged repeats are the
// exception: they leave copies of the response a sweep before and after it
// (AverageRepeats), which the window must always cut, so it starts at most
// half a sweep before the direct sound. --window keeps MS milliseconds after
// the direct sound and 1 ms before it.
ImpulseWindow ChooseWindow(const double* ir, long n, const Measured& m, double window_ms) {
  const RecordingInfo& r = m.info;
  ImpulseWindow w;
  if (window_ms > 0) {
    w.after = std::max(std::lround(window_ms * r.rate / 1000.0), 1L);
    w.fade = std::min(std::max(w.after / 5, 1L), std::lround(0.005 * r.rate));
    w.before = std::lround(0.001 * r.rate);
    // Averaged repeats leave copies of the response a sweep away: a window
    // reaching them would add them back in.
    const long half_sweep = std::lround(0.5 * r.sweep.sweep_frames * r.rate / r.sweep.rate);
    if (r.sweep.repeats > 1 && w.after > half_sweep) {
      w.after = half_sweep;
      w.end = ", half a sweep: the averaged repeats' copies lie a sweep away";
    }
    return w;
  }
  const double periods = kBassPeriods / m.f_lo;
  const long recorded = std::min(std::max(TailFrames(r) - std::max(m.delay, 0L), 1L), n / 2);
  std::vector<double> decay(static_cast<size_t>(recorded));
  double peak = 0;
  for (long i = 0; i < recorded; ++i) {
    const double v = ir[((m.delay + i) % n + n) % n];
    decay[static_cast<size_t>(i)] = v;
    peak = std::max(peak, v * v);
  }
  const Truncation t = FindTruncation(decay.data(), recorded, r.rate);
  const bool noisy = t.found && t.noise > kNegligibleNoise * peak && t.point > 0;
  const bool copies = r.sweep.repeats > 1;
  if (!noisy && !copies && r.sweep.kind == SweepKind::kLinear) {
    w.end = "none: no noise to cut";
    return w;
  }
  double before = periods;
  if (r.sweep.kind == SweepKind::kLog)
    before = std::max(1.0 / m.f_lo,
                      std::min(before, 0.5 * HarmonicOffset(r.sweep, 2) * r.sweep.rate / r.rate));
  if (copies) before = std::min(before, 0.5 * static_cast<double>(r.sweep.sweep_frames) / r.rate);
  w.before = std::min(std::lround(before * r.rate), n / 4);
  const long bass = std::lround(periods * r.rate);
  w.after = std::min(std::max(noisy ? t.point : recorded, bass), recorded);
  w.end = w.after == recorded ? ", the end of the recording"
          : w.after == bass   ? ", 8 periods of the lowest frequency"
                              : ", where its decay meets the noise";
  w.fade = std::max(w.after / 10, 1L);
  return w;
}

// Analyses one recording at the output frequencies `points`, in `buffers`.
bool Analyse(const std::string& path, const Options& o, const std::vector<Calibration>& cals,
             const std::vector<double>& points, Buffers* buffers, Measured* m) {
  tool::ExitOnOutOfMemory(path + ": " + kTooLong);
  // The microphone's samples wait in buffer b.
  std::vector<int32_t> sync;
  std::string error;
  int32_t* mic = reinterpret_cast<int32_t*>(buffers->b.get());
  if (!ReadRecording(path, &m->info, mic, 2 * FftBufferDoubles(buffers->n), &sync, &error))
    return Fail(path, error);
  const RecordingInfo& r = m->info;
  if (!CheckRange(path, r)) return false;
  const long n = FastFftSize(FramesNeeded(r));
  if (n > buffers->n) return Fail(path, "it grew while it was read");
  m->path = path;
  const FrequencyRange range = SweepRange(r.sweep, r.rate);
  m->f_lo = range.lo;
  m->f_hi = range.hi;
  if (!Timing(path, sync, m)) return false;

  // The input-1 checks on the recording as it was made.
  const long recorded_latency =
      m->acoustic ? r.measured.marker_arrival - r.measured.marker_a : m->latency;
  m->check = CheckInputOne(mic, r.total_frames, MicrophoneStretches(r, recorded_latency), r.rate);
  if (m->check.peak == 0) return Fail(path, "its microphone channel is silent during the sweep");

  // What the microphone recorded of the sweep, and what was played (one
  // sweep), each in a buffer. The first becomes H, the impulse response and
  // its window turned to start at the direct sound, whose spectrum is H
  // with the time of flight removed; the second, once divided by, is the
  // inverse transform's scratch, then holds the smoothing's sums.
  double* response = buffers->a.get();
  double* played = buffers->b.get();
  if (!MicrophoneOnPlayedClock(*m, n, played, response))
    return Fail(path, Format("its clock drift of %+.1f ppm cannot be corrected",
                             r.measured.drift_ppm));
  AverageRepeats(r.sweep, response, n, played);
  PlayedSweep(r.sweep, n, played);
  // The division is exact one bin beyond the sweep's range too: the
  // response at the range's ends lies between those bins and the first ones
  // inside.
  const double bin_hz = r.rate / static_cast<double>(n);
  if (!DeconvolveInPlace(played, response, n, r.rate, std::max(m->f_lo - bin_hz, m->f_lo / 2),
                         m->f_hi + bin_hz, 1.0 / n))
    return Fail(path, "its sweep is silent");
  InverseFftInPlace(response, n, played);
  m->delay = DirectSoundDelay(response, n);
  if (o.room.Wanted() && !AnalyseRoom(path, r, response, n, m->delay, m->f_lo, m->f_hi,
                                      TailFrames(r), o.room, &m->room))
    return false;
  m->window = ChooseWindow(response, n, *m, o.window_ms);
  // The impulse response from the moment output 1 played, as long as the
  // silence after the sweep let the room ring; what --window keeps of it.
  const long ir_frames = o.ir.empty() ? 0 : std::min(n, std::max(TailFrames(r), m->delay + 1));
  if (o.window_ms <= 0) m->ir.assign(response, response + ir_frames);
  const ImpulseWindow& w = m->window;
  WindowAndTurn(response, n, m->delay, w.before, w.after, w.fade);
  for (long i = 0; i < ir_frames && o.window_ms > 0; ++i)
    m->ir.push_back(response[((i - m->delay) % n + n) % n]);
  ForwardFftInPlace(response, n);

  // |H|^2 and H at each bin, smoothed at each point: the powers first, their
  // sums where the response was, then H's sums there.
  const long bins = n / 2 + 1;
  const std::complex<double>* value = reinterpret_cast<std::complex<double>*>(response);
  const BinFreqs freq{bin_hz};
  double* power = played;
  double* power_area = played + bins;
  for (long k = 0; k < bins; ++k) power[k] = std::norm(value[k]);
  if (o.smooth > 0) RunningIntegral(freq, power, bins, power_area);
  for (double f : points)
    m->power.push_back(SmoothedAt(freq, power, power_area, bins, f, o.smooth, m->f_lo, m->f_hi));
  std::complex<double>* value_area = reinterpret_cast<std::complex<double>*>(played);
  if (o.smooth > 0) RunningIntegral(freq, value, bins, value_area);
  for (double f : points)
    m->value.push_back(SmoothedAt(freq, value, value_area, bins, f, o.smooth, m->f_lo, m->f_hi));
  if (!o.bands.empty()) m->band_mean = BandMeans(value, bin_hz, r, m->f_lo, m->f_hi, cals);
  return true;
}

// What the analysis of one recording prints; its warnings go to standard
// error at once.
std::string Report(const Measured& m) {
  const RecordingInfo& r = m.info;
  const double ms = 1000.0 * static_cast<double>(m.delay) / r.rate;
  const std::string path = Printable(m.path);
  if (m.delay < 0 && !m.acoustic)
    tool::Warn(m.path + ": the loudest sound on input 1 came before the sweep reached it; is the "
                        "microphone connected?");
  if (r.underruns > 0 || r.overruns > 0)
    tool::Warn(Format("%s: its run had %ld underrun(s) and %ld overrun(s); its alignment and so "
                      "its time of flight and phase may be wrong.",
                      m.path.c_str(), r.underruns, r.overruns));
  std::string text = Format("%s: %s, %.1f Hz to %.1f Hz at %u Hz, ", path.c_str(),
                            Printable(r.date).c_str(), m.f_lo, m.f_hi, r.rate);
  text += m.acoustic ? Format("acoustic timing, clock drift %+.1f ppm corrected",
                              std::round(r.measured.drift_ppm * 10) / 10 + 0.0)
                     : Format("latency %ld frames", m.latency);
  if (r.sweep.repeats > 1) text += Format(", %ld sweeps averaged", r.sweep.repeats);
  text += "\n";
  text += m.acoustic ? std::string("Time of flight: not measured (no loopback on input 2)\n")
                     : Format("Time of flight: %.2f ms (%.2f m at 343 m/s), %ld frames\n", ms,
                              ms / 1000.0 * kSpeedOfSound, m.delay);
  return text + tool::InputOneLines(m.check, m.path + ": ");
}

// The response file's header line of one recording.
std::string RecordingHeader(const Measured& m) {
  const RecordingInfo& r = m.info;
  const double ms = 1000.0 / r.rate;
  std::string line = Format("%s: recorded %s on %s at %u Hz; ", m.path.c_str(), r.date.c_str(),
                            r.device.c_str(), r.rate);
  if (m.acoustic)
    line += Format("microphone %s, acoustic timing, clock drift %+.3f ppm corrected; time of "
                   "flight not measured",
                   r.measured.capture_device.c_str(), r.measured.drift_ppm);
  else
    line += Format("latency %ld frames; time of flight %.3f ms (%.3f m at 343 m/s)", m.latency,
                   ms * m.delay, static_cast<double>(m.delay) / r.rate * kSpeedOfSound);
  if (r.sweep.repeats > 1) line += Format("; %ld sweeps averaged", r.sweep.repeats);
  const ImpulseWindow& w = m.window;
  if (w.after == 0) return line + "; window " + w.end;
  return line + Format("; window %.1f ms before the direct sound to %.1f ms after it%s",
                       ms * w.before, ms * w.after, w.end);
}

std::string BandBlock(const RecordingInfo& r, const std::vector<double>& mean) {
  std::vector<double> lo(static_cast<size_t>(r.bands > 0 ? r.bands : 1)), hi(lo.size());
  FindHighFreq(r.q, r.bands, r.sweep.start_freq, lo.data(), hi.data());
  const std::vector<double> level = LevelsRelativeToLoudest(mean);
  return FormatReport(static_cast<int>(level.size()), lo.data(), hi.data(), level.data());
}

std::string DefaultOutput(const std::string& recording, bool average) {
  std::string base = recording;
  if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".wav") == 0)
    base.resize(base.size() - 4);
  return base + (average ? "-average-response.txt" : "-response.txt");
}

// Analyses `paths` into one response (their power average when several)
// for the file `out`: gives `files` what to write and adds what to print
// once they are written to *said.
bool Run(const std::vector<std::string>& paths, const Options& o,
         const std::vector<Calibration>& cals, const std::string& out, tool::Outputs* files,
         std::string* said) {
  // The output frequencies are those every recording covers, and that the
  // window resolves.
  double lo = 0, hi = 1e300;
  std::vector<FrequencyRange> ranges;
  long longest = 0;  // FFT length
  RecordingInfo first;
  for (const std::string& p : paths) {
    RecordingInfo r;
    std::string error;
    if (!ReadRecording(p, &r, nullptr, 0, nullptr, &error)) return Fail(p, error);
    if (!CheckRange(p, r)) return false;
    if (!o.bands.empty() && &p != &paths[0] &&
        (r.q != first.q || r.bands != first.bands || r.sweep.start_freq != first.sweep.start_freq))
      return Fail(p, "its band plan differs from the first recording's, so --bands cannot average");
    if (&p == &paths[0]) first = r;
    longest = std::max(longest, FastFftSize(FramesNeeded(r)));
    ranges.push_back(SweepRange(r.sweep, r.rate));
    lo = std::max(lo, ranges.back().lo);
    hi = std::min(hi, ranges.back().hi);
  }
  if (!(hi > lo)) return Fail(paths[0], "the recordings share no frequency range");
  std::vector<std::string> notes;
  if (paths.size() > 1) {
    // Named: the recording that starts last and the one that ends first,
    // when another covers more.
    std::string why = "the range they all cover";
    for (int side = 0; side < 2; ++side) {
      const double edge = side == 0 ? lo : hi;
      size_t by = paths.size();
      bool others = false;
      for (size_t k = 0; k < paths.size(); ++k) {
        const double e = side == 0 ? ranges[k].lo : ranges[k].hi;
        if (e == edge && by == paths.size()) by = k;
        others = others || e != edge;
      }
      if (others)
        why += Format("; %s %s at %.1f Hz", paths[by].c_str(), side == 0 ? "starts" : "ends", edge);
    }
    notes.push_back(Format("Average of %zu recordings over %.1f Hz to %.1f Hz: ", paths.size(), lo,
                           hi) + why);
  }
  if (o.window_ms > 0 && 1000.0 / o.window_ms > lo) {
    lo = 1000.0 / o.window_ms;
    if (!(hi > lo))
      return Fail(Format("a window of %g ms resolves nothing below %g Hz, above the sweep's range",
                         o.window_ms, lo));
    notes.push_back(Format("A window of %g ms resolves nothing below about %.1f Hz: the response "
                           "starts there",
                           o.window_ms, lo));
    tool::Warn(notes.back() + ".");
  }
  const std::vector<double> points = Points(lo, hi);
  Buffers buffers;
  if (!MakeBuffers(longest, &buffers)) return Fail(paths[0], kTooLong);

  std::vector<double> power(points.size(), 0.0), bands;
  std::vector<std::complex<double>> value(points.size(), 0.0);
  std::vector<std::string> header;
  Measured m;
  for (const std::string& p : paths) {
    m = Measured();
    if (!Analyse(p, o, cals, points, &buffers, &m)) return false;
    *said += Report(m);
    for (size_t k = 0; k < points.size(); ++k) {
      power[k] += m.power[k] / paths.size();
      // Each phase counts with its own time of flight removed.
      value[k] += m.value[k];
    }
    // Band means average as powers too; a band without bins in any
    // recording stays without.
    bands.resize(m.band_mean.size(), 0.0);
    for (size_t b = 0; b < bands.size(); ++b)
      bands[b] = m.band_mean[b] < 0 || bands[b] < 0 ? -1.0 : bands[b] + m.band_mean[b] * m.band_mean[b];
    header.push_back(RecordingHeader(m));
  }
  for (double& b : bands) b = b < 0 ? -1.0 : std::sqrt(b / paths.size());

  std::vector<std::string> top = {
      paths.size() > 1 ? "Quelmar exact response: power average of " +
                             std::to_string(paths.size()) + " recordings"
                       : "Quelmar exact response of " + paths[0],
      Format("Sweep %.1f Hz to %.1f Hz, points 1/48 octave apart", lo, hi),
      "Level 20*log10|H| from output 1 to input 1, 0 dB = the level played; phase with the time "
      "of flight removed",
      o.smooth > 0 ? "Smoothing 1/" + std::to_string(o.smooth) + " octave (power average)"
                   : std::string("Smoothing none"),
      o.window_ms > 0 ? Format("Window %g ms after the direct sound, 1 ms before it", o.window_ms)
                      : std::string("Window from 8 periods of the sweep's start frequency before "
                                    "the direct sound to where its decay meets the noise (at "
                                    "least as far after it), where there is noise to cut"),
  };
  top.insert(top.end(), notes.begin(), notes.end());
  std::string cal_line = "Calibration " + std::string(cals.empty() ? "none" : "subtracted:");
  for (const Calibration& c : cals) cal_line += " " + c.path;
  top.push_back(cal_line);
  top.insert(top.end(), header.begin(), header.end());

  Curve curve;
  curve.freq = points;
  for (size_t k = 0; k < points.size(); ++k) {
    double db = 10 * std::log10(std::max(power[k], 1e-30)) - CalibrationDb(cals, points[k]);
    if (std::fabs(db) < 5e-4) db = 0.0;  // printed as 0.000, not -0.000
    double deg = std::arg(value[k]) * 180.0 / kPi;
    if (deg <= -180.0) deg += 360.0;
    curve.db.push_back(db);
    curve.phase.push_back(deg);
  }
  std::string ir_bytes, error;
  if (!o.ir.empty() && !FloatWav(m.ir, m.info.rate, &ir_bytes, &error)) return Fail(o.ir, error);
  const std::string block = o.bands.empty() ? "" : BandBlock(first, bands);
  files->Write(out, FormatResponse(top, curve));
  *said += "Response written to " + Printable(out) + "\n";
  if (!o.ir.empty()) {
    files->Write(o.ir, ir_bytes);
    *said += "Impulse response written to " + Printable(o.ir) + "\n";
  }
  if (!o.bands.empty()) files->Append(o.bands, block);
  *said += block;
  for (const std::string& line : notes)
    if (paths.size() > 1 && &line == &notes[0]) *said += Printable(line) + "\n";
  WriteRoomResults(o.room, m.room, files, said);
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  const tool::Tool command_line = CommandLine(&o);
  if (auto status = tool::ParseCommandLine(command_line, argc, argv, &o.recordings)) return *status;
  tool::ExitOnOutOfMemory("not enough memory");
  if (o.recordings.size() > 1 && !o.average && (!o.out.empty() || !o.ir.empty()))
    return tool::UsageError(command_line,
                            "-o and --ir name one file: give one recording or --average");
  if (o.average && !o.ir.empty())
    return tool::UsageError(command_line, "--ir takes one recording, not an average");
  if (const char* why = RoomUsageError(o.room, o.recordings.size(), o.average))
    return tool::UsageError(command_line, why);

  std::vector<Calibration> cals;
  for (const std::string& path : o.cal_paths) {
    Calibration c;
    c.path = path;
    std::string error;
    if (!tool::ReadCurveFile(path, kMaxCalibrationBytes, "calibration", &c.curve, &error))
      return Fail(error);
    cals.push_back(std::move(c));
  }

  if (o.recordings.empty()) {
    const std::string newest = NewestRecording(".");
    if (newest.empty()) return Fail("no recording (sweep_NNN.wav) in this folder; name one");
    o.recordings.push_back(newest);
  }
  // Every recording is checked before anything is written, and no output
  // may replace an input or another output.
  for (const std::string& p : o.recordings) {
    RecordingInfo r;
    std::string error;
    if (!ReadRecording(p, &r, nullptr, 0, nullptr, &error)) return Fail(p + ": " + error);
    if (!CheckRange(p, r) || !CheckRoomOptions(p, r, o.room)) return 1;
  }
  std::vector<std::string> inputs = o.recordings, responses;
  inputs.insert(inputs.end(), o.cal_paths.begin(), o.cal_paths.end());
  tool::Outputs files(inputs);
  const bool one = o.average || o.recordings.size() == 1;
  if (one) responses.push_back(o.out.empty() ? DefaultOutput(o.recordings[0], o.average) : o.out);
  for (size_t k = 0; !one && k < o.recordings.size(); ++k)
    responses.push_back(DefaultOutput(o.recordings[k], false));
  for (const std::string& path : responses)
    if (!files.Name(path)) return 1;
  for (const std::string& path :
       {o.ir, o.bands, o.room.decay_file, o.room.waterfall, o.room.distortion})
    if (!path.empty() && !files.Name(path)) return 1;

  std::string said;
  for (size_t k = 0; k < responses.size(); ++k)
    if (!Run(one ? o.recordings : std::vector<std::string>{o.recordings[k]}, o, cals, responses[k],
             &files, &said))
      return 1;
  if (!files.Commit()) return 1;
  fputs(said.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::Finish(Main(argc, argv)); }
