#include "room_acoustics.h"

#include <algorithm>
#include <cmath>

#include "common/command_line.h"
#include "dsp/decay.h"
#include "dsp/harmonics.h"
#include "dsp/modes.h"
#include "dsp/octave_bands.h"
#include "dsp/sweep.h"
#include "dsp/waterfall.h"
#include "formats/distortion_file.h"
#include "formats/file_io.h"
#include "formats/waterfall_file.h"

namespace {

using tool::Fail;
using tool::Format;

const double kModesBelow = 300.0;    // Hz
const double kLead = 0.05;           // seconds of the response kept before the direct sound
const int kHarmonics = 5;            // THD counts harmonics 2 to 5
const int kDistortionPerOctave = 12;  // excitation frequencies, and their smoothing
// A harmonic that stands less than this above its noise floor has less power
// than the noise: the floor is all that can be said of it.
const double kAboveNoiseDb = 3.0;

// A table printed as it is and written with its title and column lines after
// "* ", so that readers of the file take only its rows.
struct Table {
  std::string said, file;
  void Header(const std::string& line) { said += line + "\n", file += "* " + line + "\n"; }
  void Note(const std::string& line) { file += "* " + Printable(line) + "\n"; }
  void Row(const std::string& line) { said += line + "\n", file += line + "\n"; }
};

std::string Seconds(const DecayTime& d) {
  return d.status == DecayStatus::kOk ? Format("%.2f", d.seconds) : "-";
}

// The decay times of the octave bands the sweep covers, and the strongest
// modes of the bass with their decay times.
Table DecayTables(const std::string& path, const RecordingInfo& r, const double* ir, long count,
                  double f_lo, double f_hi) {
  Table t;
  t.Note(Format("Quelmar decay times of %s: %s, %.1f Hz to %.1f Hz at %u Hz", path.c_str(),
                r.date.c_str(), f_lo, f_hi, r.rate));
  t.Note("Octave bands of IEC 61260 class 1 (sixth-order Butterworth, run backwards in time); "
         "each band's squared impulse response integrated backwards from Lundeby's truncation "
         "point, the noise compensated");
  t.Note("EDT from 0 to -10 dB, T20 from -5 to -25 dB, T30 from -5 to -35 dB of that decay, each "
         "a least-squares line extrapolated to 60 dB; - where the decay does not fall 10 dB "
         "further than its range before it meets the noise");
  t.Note("Tab-separated; lines beginning with * are headers");
  t.Header("Decay times (s):");
  t.Header("Band (Hz)\tEDT\tT20\tT30");
  for (const BandDecay& b : OctaveDecays(ir, count, r.rate, f_lo, f_hi))
    t.Row(Format("%d\t%s\t%s\t%s", b.nominal, Seconds(b.decay.edt).c_str(),
                 Seconds(b.decay.t20).c_str(), Seconds(b.decay.t30).c_str()));

  ModeSettings s;
  s.f_lo = std::max(s.f_lo, f_lo);
  s.f_hi = std::min(kModesBelow, f_hi);
  const std::vector<Mode> modes =
      s.f_hi > s.f_lo ? FindModes(ir, count, r.rate, s) : std::vector<Mode>();
  t.Note(Format("Modes: peaks of the 1/12-octave response at least %g dB above its median over "
                "%.1f-%.1f Hz, their level above that median; decay: T30 of the third-octave "
                "band around each (T20 where the decay's range does not reach T30's)",
                s.min_level_db, s.f_lo, std::max(s.f_lo, s.f_hi)));
  if (modes.empty()) {
    t.Header(s.f_hi > s.f_lo ? Format("Modes below 300 Hz: none stands %g dB above the median",
                                      s.min_level_db)
                             : Format("Modes below 300 Hz: none, the sweep starts at %.1f Hz", f_lo));
    return t;
  }
  t.Header("Modes below 300 Hz:");
  t.Header("Frequency (Hz)\tLevel (dB)\tDecay (s)");
  for (const Mode& m : modes)
    t.Row(Format("%.1f\t%+.1f\t%s", m.freq, m.level_db, Seconds(m.decay).c_str()));
  return t;
}

bool Waterfall(const std::string& path, const RecordingInfo& r, const double* ir, long count,
               long direct, double f_lo, double f_hi, const RoomOptions& o, std::string* text) {
  WaterfallSettings s;
  s.f_lo = std::max(o.waterfall_lo, f_lo);
  s.f_hi = std::min(o.waterfall_hi, f_hi);
  s.span_ms = o.waterfall_ms;
  if (!(s.f_hi > s.f_lo))
    return Fail(path, Format("the waterfall's %g-%g Hz lie outside its sweep, %.1f Hz to %.1f Hz",
                             o.waterfall_lo, o.waterfall_hi, f_lo, f_hi));
  std::vector<WaterfallSlice> slices;
  if (!ComputeWaterfall(ir, count, direct, r.rate, s, &slices))
    return Fail(path, "its impulse response cannot make a waterfall");
  *text = "* " + Printable(Format("Quelmar waterfall of %s: %.1f Hz to %.1f Hz, %g ms to %g ms "
                                  "after the direct sound every %g ms",
                                  path.c_str(), s.f_lo, s.f_hi, 0.0, s.span_ms, s.step_ms)) +
          "\n" +
          Format("* Each slice: 20 log10 |H| of the impulse response from its time on, through a "
                 "window rising over %g ms before it and falling over %g ms after it\n",
                 s.rise_ms, s.window_ms) +
          FormatWaterfall(slices);
  return true;
}

// A level in dB that every reader takes: silence and overflow held at 300 dB.
double Finite(double db) { return std::isfinite(db) ? db : db > 0 ? 300.0 : -300.0; }

// One excitation frequency's row: H2 and H3 as measured, or their noise
// floors where they are below it; THD over the harmonics within the sweep,
// each counted as written.
DistortionRow RowAt(const HarmonicSpectra& s, double f) {
  const DistortionPoint p = DistortionAt(s, f, kDistortionPerOctave);
  DistortionRow row;
  row.freq = f;
  row.fundamental = Finite(p.fundamental_db);
  double sum = 0.0;
  for (size_t k = 0; k < p.level_db.size(); ++k) {
    if (std::isnan(p.level_db[k])) continue;
    const bool below = s.noise_known && p.level_db[k] < p.noise_db[k] + kAboveNoiseDb;
    const double db = Finite(below ? p.noise_db[k] : p.level_db[k]);
    if (k < 2) row.h[k] = db, row.below[k] = below;
    sum += std::pow(10.0, db / 10.0);
  }
  row.thd = 100.0 * std::sqrt(sum);
  return row;
}

// The power means of the rows of each octave band within [f_lo, f_hi],
// marked "<" where a harmonic was below the noise within it (for THD, both H2
// and H3 at once).
void OctaveSummary(const std::vector<DistortionRow>& rows, double f_lo, double f_hi, Table* t) {
  t->Header("Harmonic distortion by octave band (power means over its excitation frequencies):");
  t->Header("Band (Hz)\tH2 (dB)\tH3 (dB)\tTHD (%)");
  for (int i = -1; i < kOctaveBandCount; ++i) {
    double lo, hi, sum[3] = {0, 0, 0};
    bool below[3] = {false, false, false};
    int n = 0;
    BandEdges(OctaveBandCentre(i), 1.0, &lo, &hi);
    if (lo < f_lo || hi > f_hi) continue;
    for (const DistortionRow& l : rows) {
      if (l.freq < lo || l.freq >= hi) continue;
      ++n;
      for (int k = 0; k < 2; ++k) sum[k] += std::pow(10.0, l.h[k] / 10.0), below[k] |= l.below[k];
      sum[2] += l.thd * l.thd;
      below[2] |= l.below[0] && l.below[1];
    }
    if (n == 0) continue;
    auto mark = [&](int k) { return below[k] ? "<" : ""; };
    t->Row(Format("%s\t%s%.1f\t%s%.1f\t%s%.2f",
                  i < 0 ? "31.5" : std::to_string(kOctaveBandNominal[i]).c_str(), mark(0),
                  10 * std::log10(sum[0] / n), mark(1), 10 * std::log10(sum[1] / n), mark(2),
                  std::sqrt(sum[2] / n)));
  }
}

bool Distortion(const std::string& path, const RecordingInfo& r, const double* ir, long n,
                long direct, double f_lo, double f_hi, Table* t) {
  // The sweep's L on the clock it was played at.
  const double l = SweepL(r.sweep) * r.sweep.rate / r.rate;
  HarmonicSpectra s;
  if (!SeparateHarmonics(ir, n, r.rate, l, (direct % n + n) % n, f_lo, f_hi, kHarmonics,
                         &s))
    return Fail(path, "its impulse response cannot hold the harmonics apart");
  // 12 points per octave, on the grid through 1 kHz, up to where the third
  // harmonic leaves the sweep.
  const double top = f_hi / 3;
  DistortionTable table;
  table.noise_known = s.noise_known;
  for (long i = std::lround(std::ceil(kDistortionPerOctave * std::log2(f_lo / 1000.0)));; ++i) {
    const double f = 1000.0 * std::exp2(static_cast<double>(i) / kDistortionPerOctave);
    if (f > top) break;
    if (f < f_lo) continue;
    table.rows.push_back(RowAt(s, f));
  }
  if (table.rows.empty())
    return Fail(path, Format("its sweep, %.1f Hz to %.1f Hz, does not reach three times any "
                             "frequency it covers",
                             f_lo, f_hi));

  const std::vector<std::string> notes = {
      Format("Quelmar harmonic distortion of %s: %s, log sweep %.1f Hz to %.1f Hz at %u Hz, "
             "peak %.1f dBFS",
             path.c_str(), r.date.c_str(), f_lo, f_hi, r.rate, 20 * std::log10(r.sweep.amplitude)),
      Format("Excitation frequencies %d per octave up to a third of the sweep's end; "
             "1/%d-octave smoothing",
             kDistortionPerOctave, kDistortionPerOctave),
      "Fundamental: 20 log10 |H1| from output 1 to input 1; H2, H3: the second and third "
      "harmonics in dB relative to the fundamental at the same excitation frequency",
      Format("THD: 100 sqrt(sum of the powers of harmonics 2 to %d) / fundamental, in "
             "percent, of those within the sweep (fewer above %.1f Hz)",
             kHarmonics, f_hi / kHarmonics)};
  t->file = FormatDistortion(notes, table);
  // The summary is printed only: the file keeps one layout throughout.
  Table summary;
  OctaveSummary(table.rows, f_lo, top, &summary);
  t->said = summary.said;
  return true;
}

}  // namespace

const char* RoomUsageError(const RoomOptions& o, size_t recordings, bool average) {
  if (average && o.Wanted())
    return "--decay, --waterfall and --distortion analyse one recording, not an average";
  if (recordings > 1 && (!o.decay_file.empty() || !o.waterfall.empty() || !o.distortion.empty()))
    return "--decay-file, --waterfall and --distortion name one file: give one recording";
  return nullptr;
}

bool CheckRoomOptions(const std::string& path, const RecordingInfo& r, const RoomOptions& o) {
  if (!o.distortion.empty() && r.sweep.kind != SweepKind::kLog)
    return Fail(path, "its sweep is linear, whose harmonics lie spread over the whole response "
                      "and cannot be told from it: --distortion needs a log sweep (quelmar-measure "
                      "--sweep log, the default)");
  return true;
}

bool AnalyseRoom(const std::string& path, const RecordingInfo& r, const double* ir, long n,
                 long direct, double f_lo, double f_hi, long tail, const RoomOptions& o,
                 RoomResults* out) {
  // The room's decay and waterfall come from the response from kLead
  // before the direct sound (a microphone timed acoustically puts it near
  // time 0; what lies before is at the circular response's end) to the end
  // of what the room could ring into after the last sweep: beyond it the
  // response lacks the last frequencies' decay, and a log sweep's harmonics
  // lie at its end.
  const long lead = std::lround(kLead * r.rate);
  const long count = std::min(n, std::max(tail, direct + 1) - (direct - lead));
  std::vector<double> room(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i)
    room[static_cast<size_t>(i)] = ir[((direct - lead + i) % n + n) % n];
  if (o.Decay()) {
    const Table t = DecayTables(path, r, room.data(), count, f_lo, f_hi);
    out->decay_said = t.said;
    out->decay_text = t.file;
  }
  if (!o.waterfall.empty() &&
      !Waterfall(path, r, room.data(), count, lead, f_lo, f_hi, o, &out->waterfall_text))
    return false;
  if (!o.distortion.empty()) {
    Table t;
    if (!Distortion(path, r, ir, n, direct, f_lo, f_hi, &t)) return false;
    out->distortion_said = t.said;
    out->distortion_text = t.file;
  }
  return true;
}

void WriteRoomResults(const RoomOptions& o, const RoomResults& results, tool::Outputs* files,
                      std::string* said) {
  const struct {
    const std::string *path, *text, *before;
    const char* what;
  } outputs[] = {{&o.decay_file, &results.decay_text, &results.decay_said, "Decay times"},
                 {&o.waterfall, &results.waterfall_text, nullptr, "Waterfall"},
                 {&o.distortion, &results.distortion_text, &results.distortion_said,
                  "Distortion"}};
  for (const auto& out : outputs) {
    if (out.before) *said += *out.before;
    if (out.path->empty()) continue;
    files->Write(*out.path, *out.text);
    *said += std::string(out.what) + " written to " + Printable(*out.path) + "\n";
  }
}
