// quelmar-analyze: the exact response of a room from the recording a run
// keeps. The played sweep is regenerated from the recording's metadata, the
// microphone channel is aligned by the sync pulse on the loopback channel,
// and H(f) = Y(f) / X(f) gives the gain from output 1 to input 1 at every
// frequency the sweep covered.
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
#include "common/outputs.h"
#include "dsp/analysis.h"
#include "dsp/band_plan.h"
#include "dsp/smoothing.h"
#include "dsp/sweep.h"
#include "dsp/transfer.h"
#include "formats/curve_file.h"
#include "formats/file_io.h"
#include "formats/memory.h"
#include "formats/recording.h"
#include "formats/result_table.h"
#include "wav_files.h"

namespace {

using tool::Fail;
using tool::Format;

const double kSpeedOfSound = 343.0;  // m/s
const int kPointsPerOctave = 48;
const int kDefaultSmoothing = 12;  // 1/12 octave
const double kPi = 3.14159265358979323846;
const size_t kMaxCalibrationBytes = size_t{16} << 20;

struct Options {
  std::vector<std::string> recordings;
  std::string out;
  int smooth = kDefaultSmoothing;
  std::vector<std::string> cal_paths;
  std::string bands;
  std::string ir;
  double window_ms = 0.0;  // 0: no window
  bool average = false;
};

struct Calibration {
  std::string path;
  Curve curve;
};

// What one recording contributes to the output.
struct Measured {
  std::string path;
  RecordingInfo info;
  long latency = 0;  // frames, Sync In - Sync Out
  long delay = 0;    // frames, time of flight
  double f_lo = 0.0, f_hi = 0.0;  // the sweep's range in Hz
  std::vector<double> power;      // smoothed |H|^2 at each output point
  std::vector<std::complex<double>> value;  // smoothed H, time of flight removed
  std::vector<double> band_mean;  // mean |H| over each band's hertz; < 0: no bins
  std::vector<double> ir;         // when asked for
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
        "faded over its last fifth, at most 5 ms): the speaker without the room",
        tool::Number(&o->window_ms, std::nextafter(0.0, 1.0), 60000,
                     "a number of milliseconds above 0, at most 60000")},
       {0, "average", nullptr, "one response: the power average of all recordings named",
        tool::Switch(&o->average)}},
      ""};
}

// The range the sweep covered, in hertz at the granted rate.
bool CheckRange(const std::string& path, const RecordingInfo& r) {
  const FrequencyRange range = SweepRange(r.sweep, r.rate);
  if (r.sweep.sweep_frames < 2 || !(range.hi > range.lo) || !(range.hi < r.rate / 2.0))
    return Fail(path, "its sweep covers no range that can be analysed");
  // The analysis holds about seven arrays of doubles of the FFT's length at
  // once; a recording too long for the machine's memory is refused rather
  // than failing half-way.
  if (!MemoryCanHold(7.0 * sizeof(double) * FftSize(r.total_frames)))
    return Fail(path, "too long to analyse in the memory available");
  return true;
}

// The output frequencies: 48 per octave from lo up to hi.
std::vector<double> Points(double lo, double hi) {
  std::vector<double> f;
  for (int k = 0;; ++k) {
    const double v = lo * std::pow(2.0, static_cast<double>(k) / kPointsPerOctave);
    if (v > hi * (1 + 1e-12)) break;
    f.push_back(v);
  }
  return f;
}

double CalibrationDb(const std::vector<Calibration>& cals, double f) {
  double db = 0.0;
  for (const Calibration& c : cals) db += CurveDbAt(c.curve, f);
  return db;
}

// Mean |H| over each band's hertz within [lo, hi], calibration removed; -1
// for a band with no bin there.
std::vector<double> BandMeans(const Transfer& t, const RecordingInfo& r, double lo, double hi,
                              const std::vector<Calibration>& cals) {
  std::vector<double> edge_lo(static_cast<size_t>(r.bands > 0 ? r.bands : 1));
  std::vector<double> edge_hi(edge_lo.size());
  FindHighFreq(r.q, r.bands, r.sweep.start_freq, edge_lo.data(), edge_hi.data());
  BandSums sums = StartBandSums(r.bands);
  const long first = static_cast<long>(std::ceil(lo / t.bin_hz));
  const long last = static_cast<long>(std::floor(hi / t.bin_hz));
  for (long k = first; k <= last && r.bands > 0; ++k) {
    // Only the bins within the plan's edges count.
    const double f = static_cast<double>(k) * t.bin_hz;
    if (f < edge_lo[0]) continue;
    if (f > edge_hi[static_cast<size_t>(r.bands) - 1]) break;
    double mag = std::abs(t.h[static_cast<size_t>(k)]);
    if (!cals.empty()) mag *= std::pow(10.0, -CalibrationDb(cals, f) / 20.0);
    AddToBand(&sums, edge_hi.data(), f, mag);
  }
  return BandMeans(sums);
}

// Analyses one recording at the output frequencies `points`.
bool Analyse(const std::string& path, const Options& o, const std::vector<Calibration>& cals,
             const std::vector<double>& points, Measured* m) {
  std::vector<double> mic;
  std::vector<int32_t> sync;
  std::string error;
  if (!ReadRecording(path, &m->info, &mic, &sync, &error)) return Fail(path, error);
  const RecordingInfo& r = m->info;
  if (!CheckRange(path, r)) return false;
  m->path = path;
  const FrequencyRange range = SweepRange(r.sweep, r.rate);
  m->f_lo = range.lo;
  m->f_hi = range.hi;

  // Where the sync pulse came back gives the electrical latency.
  const SyncPulse pulse = FindSync(sync.data(), r.sync_frames, r.sync_out);
  m->latency = pulse.peak.index - r.sync_out;
  if (!pulse.found && pulse.stands_out)
    return Fail(path, "its sync pulse came back " + std::to_string(-m->latency) +
                          " frames before it was played, which no card can do: it cannot be "
                          "aligned");
  if (!pulse.found) return Fail(path, "no sync pulse on input 2: it cannot be aligned");

  // The played sweep, bit for bit, and the microphone moved back by the
  // latency so that frame j of both belongs to the same moment.
  std::vector<double> played(static_cast<size_t>(r.total_frames));
  {
    std::vector<int32_t> sweep(played.size());
    SweepSamples(r.sweep, 0, r.total_frames, sweep.data());
    for (size_t i = 0; i < played.size(); ++i) played[i] = sweep[i];
  }
  std::vector<double> aligned(played.size(), 0.0);
  for (long j = 0; j < r.total_frames; ++j) {
    const long at = j + m->latency;
    if (at >= 0 && at < r.total_frames) aligned[static_cast<size_t>(j)] = mic[static_cast<size_t>(at)];
  }
  mic.clear();
  mic.shrink_to_fit();

  Transfer t;
  if (!Deconvolve(played.data(), aligned.data(), r.total_frames, r.rate, m->f_lo, m->f_hi, &t))
    return Fail(path, "its sweep is silent");
  played = std::vector<double>();
  aligned = std::vector<double>();

  std::vector<double> ir = ImpulseResponse(t);
  m->delay = DirectSoundDelay(ir);
  if (o.window_ms > 0) {
    const long keep = std::lround(o.window_ms * r.rate / 1000.0);
    const long fade = std::min(std::max(keep / 5, 1L), std::lround(0.005 * r.rate));
    WindowImpulse(&ir, m->delay, std::lround(0.001 * r.rate), std::max(keep, 1L), fade);
    TransferFromImpulse(ir, &t);
  }
  if (!o.ir.empty()) {
    // From the moment output 1 played, as long as the silence after the
    // sweep let the room ring.
    ir.resize(static_cast<size_t>(std::max(r.sweep.tail_frames, m->delay + 1)));
    m->ir = std::move(ir);
  }
  ir = std::vector<double>();

  {
    // |H|^2 and H with the time of flight removed (e^(+j w delay), reduced
    // exactly in integers first) at each bin, smoothed at each point.
    const size_t bins = t.h.size();
    std::vector<double> freq(bins), power(bins), power_area(bins);
    std::vector<std::complex<double>> value(bins), value_area(bins);
    for (size_t k = 0; k < bins; ++k) {
      const long turn = static_cast<long>((static_cast<long long>(k) * m->delay) % t.size);
      freq[k] = static_cast<double>(k) * t.bin_hz;
      power[k] = std::norm(t.h[k]);
      value[k] = t.h[k] * std::polar(1.0, 2 * kPi * turn / static_cast<double>(t.size));
    }
    const long n = static_cast<long>(bins);
    RunningIntegral(freq.data(), power.data(), n, power_area.data());
    RunningIntegral(freq.data(), value.data(), n, value_area.data());
    for (double f : points) {
      m->power.push_back(SmoothedAt(freq.data(), power.data(), power_area.data(), n, f, o.smooth,
                                    m->f_lo, m->f_hi));
      m->value.push_back(SmoothedAt(freq.data(), value.data(), value_area.data(), n, f, o.smooth,
                                    m->f_lo, m->f_hi));
    }
  }
  if (!o.bands.empty()) m->band_mean = BandMeans(t, r, m->f_lo, m->f_hi, cals);
  return true;
}

// What the analysis of one recording prints; its warnings go to standard
// error at once.
std::string Report(const Measured& m) {
  const RecordingInfo& r = m.info;
  const double ms = 1000.0 * static_cast<double>(m.delay) / r.rate;
  if (m.delay < 0)
    tool::Warn(m.path + ": the loudest sound on input 1 came before the sweep reached it; is the "
                        "microphone connected?");
  if (r.underruns > 0 || r.overruns > 0)
    tool::Warn(Format("%s: its run had %ld underrun(s) and %ld overrun(s); its alignment and so "
                      "its time of flight and phase may be wrong.",
                      m.path.c_str(), r.underruns, r.overruns));
  return Format("%s: %s, %.1f Hz to %.1f Hz at %u Hz, latency %ld frames\n",
                Printable(m.path).c_str(), Printable(r.date).c_str(), m.f_lo, m.f_hi, r.rate,
                m.latency) +
         Format("Time of flight: %.2f ms (%.2f m at 343 m/s), %ld frames\n", ms,
                ms / 1000.0 * kSpeedOfSound, m.delay);
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
  // The output frequencies are those every recording covers.
  double lo = 0, hi = 1e300;
  RecordingInfo first;
  for (const std::string& p : paths) {
    RecordingInfo r;
    std::string error;
    if (!ReadRecording(p, &r, nullptr, nullptr, &error)) return Fail(p, error);
    if (!CheckRange(p, r)) return false;
    if (!o.bands.empty() && &p != &paths[0] &&
        (r.q != first.q || r.bands != first.bands || r.sweep.start_freq != first.sweep.start_freq))
      return Fail(p, "its band plan differs from the first recording's, so --bands cannot average");
    if (&p == &paths[0]) first = r;
    const FrequencyRange range = SweepRange(r.sweep, r.rate);
    lo = std::max(lo, range.lo);
    hi = std::min(hi, range.hi);
  }
  if (!(hi > lo)) return Fail(paths[0], "the recordings share no frequency range");
  const std::vector<double> points = Points(lo, hi);

  std::vector<double> power(points.size(), 0.0), bands;
  std::vector<std::complex<double>> value(points.size(), 0.0);
  std::vector<std::string> header;
  Measured m;
  for (const std::string& p : paths) {
    m = Measured();
    if (!Analyse(p, o, cals, points, &m)) return false;
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
    header.push_back(Format(
        "%s: recorded %s on %s at %u Hz; latency %ld frames; time of flight %.3f ms (%.3f m at "
        "343 m/s)",
        p.c_str(), m.info.date.c_str(), m.info.device.c_str(), m.info.rate, m.latency,
        1000.0 * m.delay / m.info.rate,
        static_cast<double>(m.delay) / m.info.rate * kSpeedOfSound));
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
      o.window_ms > 0 ? Format("Window %g ms after the direct sound", o.window_ms)
                      : std::string("Window none (the whole room)"),
  };
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
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  const tool::Tool command_line = CommandLine(&o);
  if (auto status = tool::ParseCommandLine(command_line, argc, argv, &o.recordings)) return *status;
  if (o.recordings.size() > 1 && !o.average && (!o.out.empty() || !o.ir.empty()))
    return tool::UsageError(command_line,
                            "-o and --ir name one file: give one recording or --average");
  if (o.average && !o.ir.empty())
    return tool::UsageError(command_line, "--ir takes one recording, not an average");

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
    if (!ReadRecording(p, &r, nullptr, nullptr, &error)) return Fail(p + ": " + error);
    if (!CheckRange(p, r)) return 1;
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
  for (const std::string& path : {o.ir, o.bands})
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
