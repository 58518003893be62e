// quelmar-eq: proposes the peaking filters that bring a measured response to
// a target, and writes them for the equaliser the user runs.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/curve_input.h"
#include "common/outputs.h"
#include "dsp/biquad.h"
#include "eq/eq_fit.h"
#include "formats/curve_file.h"
#include "formats/file_io.h"

namespace {

using tool::Fail;
using tool::Format;

// Text exports of fine measurements run to a few megabytes; anything far
// larger is not a response.
constexpr size_t kMaxFileBytes = 64u << 20;
constexpr int kMinPointsInRange = 4;
constexpr int kMaxFilters = 20;
constexpr double kMaxBoostDb = 12.0;
constexpr double kHighestFrequency = 20000.0;

// `value` printed by `format`, unsigned when it rounds to zero: "0.0",
// never "-0.0" or "+0.0".
std::string Shown(const char* format, double value) {
  std::string text = Format(format, value);
  if (text.find_first_not_of("+-0.") == std::string::npos)
    text.erase(0, text.find_first_not_of("+-"));
  return text;
}

// The preamp's cut as printed: "-2.5", or "0.0" when none is needed.
std::string Cut(double preamp_db) { return Format("%.1f", preamp_db > 0.0 ? -preamp_db : 0.0); }

std::string ApoLine(int number, const FilterSpec& f) {
  return "Filter " + std::to_string(number) +
         Format(": ON PK Fc %.1f Hz Gain %.1f dB Q %.2f\n", f.freq, f.gain_db, f.q);
}

// Equalizer APO's text, which REW writes as "generic" and PipeWire's
// parametric equaliser and EasyEffects import: a preamp line first when any
// filter boosts, then one line per filter.
std::string ApoFile(const std::vector<FilterSpec>& filters, double preamp_db, const std::string&) {
  std::string text = preamp_db >= 0.0 ? "Preamp: " + Cut(preamp_db) + " dB\n" : "";
  for (size_t i = 0; i < filters.size(); ++i) text += ApoLine(static_cast<int>(i) + 1, filters[i]);
  return text;
}

// A CamillaDSP configuration fragment: the filters and a pipeline step that
// applies them to channel 0, to merge into a configuration with devices.
std::string CamillaFile(const std::vector<FilterSpec>& filters, double preamp_db,
                        const std::string& source) {
  // The name in the comment is shown through Printable: a YAML reader
  // refuses control characters and ends a comment at any line break.
  std::string text = "# Room equalisation by quelmar-eq from " + Printable(source) +
                     "\n# Merge into a configuration with devices; apply to other channels by"
                     "\n# adding them to channels.\n";
  std::string names;
  text += filters.empty() ? "filters: {}\n" : "filters:\n";
  if (preamp_db >= 0.0) {
    text += "  eq_preamp:\n    type: Gain\n    parameters:\n      gain: " + Cut(preamp_db) + "\n";
    names += "      - eq_preamp\n";
  }
  for (size_t i = 0; i < filters.size(); ++i) {
    const std::string name = "eq_" + std::to_string(i + 1);
    text += "  " + name + ":\n    type: Biquad\n    parameters:\n      type: Peaking\n" +
            Format("      freq: %.1f\n      gain: %.1f\n      q: %.2f\n", filters[i].freq,
                   filters[i].gain_db, filters[i].q);
    names += "      - " + name + "\n";
  }
  if (names.empty()) return text + "pipeline: []\n";
  return text + "pipeline:\n  - type: Filter\n    channels: [0]\n    names:\n" + names;
}

// A filter file's writer: the filters, the preamp (-1: none) and the
// response's file name, for a comment.
using Writer = std::string (*)(const std::vector<FilterSpec>&, double, const std::string&);

// The filter files quelmar-eq writes; the first is the default. A new
// format is one row here and its writer.
struct FilterFormat {
  const char* name;
  const char* suffix;  // the default file: the response's name with this
  const char* about;
  Writer write;
};
const FilterFormat kFormats[] = {
    {"apo", "-eq.txt",
     "Equalizer APO lines, which PipeWire's equaliser and EasyEffects import", ApoFile},
    {"camilladsp", "-camilladsp.yml", "a CamillaDSP configuration fragment", CamillaFile},
};

struct Options {
  std::string input, output, target, predicted;
  const FilterFormat* format = &kFormats[0];
  EqSettings eq;
};

// Reads "LO-HI" into *lo and *hi: a band at least a third of an octave
// wide within 1 to 20000 Hz.
tool::Reader Band(double* lo, double* hi) {
  return {"LO-HI in Hz, at least a third of an octave wide, within 1 to 20000 Hz, such as 20-300",
          [lo, hi](const std::string& v) {
            double a, b;
            if (!tool::ReadPair(v, '-', &a, &b) || !(a >= 1) || !(b <= kHighestFrequency) ||
                !(b >= a * std::exp2(1.0 / 3.0)))
              return false;
            *lo = a, *hi = b;
            return true;
          }};
}

// The command line, each option read into *o.
tool::Tool CommandLine(Options* o) {
  std::string names, suffixes, formats;
  for (const FilterFormat& f : kFormats) {
    const bool last = &f == std::end(kFormats) - 1, first = &f == kFormats;
    names += (first ? "" : last ? " or " : ", ") + std::string(f.name);
    suffixes += (first ? "" : last ? ", or " : ", ") + std::string(f.suffix);
    formats += std::string(first ? "" : "; ") + f.name + ": " + f.about;
    if (first) formats += " (default)";
  }
  return {
      "quelmar-eq",
      {"RESPONSE.txt", "RESPONSE.txt",
       "a response as text, one frequency, level in dB and optional phase per line: "
       "quelmar-analyze's files, REW's and AutoEq's exports (other lines are skipped)",
       "response file", 1, 1},
      "Proposes peaking filters that bring a measured response to a target and\n"
      "writes them for an equaliser.",
      {{'o', nullptr, "OUT",
        "filter file to write (default: the response's name with " + suffixes + ")",
        tool::FileName(&o->output)},
       {0, "format", "FORMAT", formats,
        {names,
         [o](const std::string& v) {
           for (const FilterFormat& f : kFormats)
             if (v == f.name) return o->format = &f, true;
           return false;
         }}},
       {0, "range", "LO-HI", "frequencies to equalise, in Hz (default 20-300)",
        Band(&o->eq.lo, &o->eq.hi)},
       {0, "filters", "N", "at most N filters, 1 to 20 (default 8)",
        tool::Whole(&o->eq.max_filters, 1, kMaxFilters)},
       {0, "max-boost", "DB",
        "largest boost in dB, 0 to 12 (default 0: cut only), never below the response's "
        "roll-off nor into a dip narrower than a third of an octave",
        tool::Number(&o->eq.max_boost_db, 0, kMaxBoostDb, "a number of dB from 0 to 12")},
       {0, "target", "FILE",
        "target curve of freq dB lines, anchored at the response's level over the reference "
        "band (default: flat at the response's median level over log frequency in the range)",
        tool::FileName(&o->target)},
       {0, "reference", "LO-HI",
        "where the target is anchored, in Hz (default for a target curve 300-3000 when the "
        "response covers it, else where the curve is 0 dB in the range; for the flat target the "
        "range)",
        Band(&o->eq.ref_lo, &o->eq.ref_hi)},
       {0, "predicted", "FILE", "also write the response the filters should give",
        tool::FileName(&o->predicted)}},
      "The fit sees the response smoothed to 1/12 octave. Filters are audio EQ\n"
      "cookbook peaking biquads at 48000 Hz with Q from 0.5 to 15."};
}

// "room-response.txt" gives "room-eq.txt" (or "room-camilladsp.yml").
std::string DefaultOutput(std::string input, const FilterFormat& format) {
  const size_t slash = input.rfind('/');
  const size_t dot = input.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    input.resize(dot);
  const std::string suffix = "-response";
  if (input.size() > suffix.size() + (slash == std::string::npos ? 0 : slash + 1) &&
      input.compare(input.size() - suffix.size(), suffix.size(), suffix) == 0)
    input.resize(input.size() - suffix.size());
  return input + format.suffix;
}

// The measured response with the filters' exact response added, its phase
// (when it has one) turned by theirs.
std::string PredictedFile(const Curve& measured, const std::vector<FilterSpec>& filters,
                          double preamp_db, const Options& o) {
  Curve out = measured;
  const int n = static_cast<int>(filters.size());
  for (size_t k = 0; k < out.freq.size() && out.freq[k] <= o.eq.rate / 2; ++k) {
    out.db[k] += FilterChainDb(filters.data(), n, out.freq[k], o.eq.rate);
    if (out.phase.empty()) continue;
    double turn = 0.0;
    for (const FilterSpec& f : filters)
      turn += std::arg(BiquadResponse(MakeBiquad(f, o.eq.rate), out.freq[k], o.eq.rate));
    double phase = std::remainder(out.phase[k] + turn * 180.0 / M_PI, 360.0);
    out.phase[k] = phase == -180.0 ? 180.0 : phase;
  }
  // Above their Nyquist frequency the filters have no response.
  size_t below = 0;
  while (below < out.freq.size() && out.freq[below] <= o.eq.rate / 2) ++below;
  out.freq.resize(below), out.db.resize(below);
  if (!out.phase.empty()) out.phase.resize(below);
  std::vector<std::string> header = {
      "Predicted by quelmar-eq: " + o.input + " with " + std::to_string(n) +
      Format(" peaking filters (their exact response at %g Hz, up to %g Hz)", o.eq.rate,
             o.eq.rate / 2)};
  for (int i = 0; i < n; ++i) {
    std::string line = ApoLine(i + 1, filters[i]);
    line.pop_back();
    header.push_back(line);
  }
  if (preamp_db >= 0.0) header.push_back("Preamp " + Cut(preamp_db) + " dB not included");
  return FormatResponse(header, out);
}

int Main(int argc, char** argv) {
  Options o;
  const tool::Tool command_line = CommandLine(&o);
  std::vector<std::string> operands;
  if (auto status = tool::ParseCommandLine(command_line, argc, argv, &operands)) return *status;
  o.input = operands[0];
  if (o.output.empty()) o.output = DefaultOutput(o.input, *o.format);

  Curve response, target;
  std::string error;
  if (!tool::ReadCurveFile(o.input, kMaxFileBytes, "response", &response, &error))
    return Fail(error);
  if (!o.target.empty() &&
      !tool::ReadCurveFile(o.target, kMaxFileBytes, "target curve", &target, &error))
    return Fail(error);
  const std::string range = Format("%g-%g Hz", o.eq.lo, o.eq.hi);
  const double first = response.freq.front(), last = response.freq.back();
  for (const char* option : {"range", "reference"}) {
    const bool is_range = option[1] == 'a';
    const double lo = is_range ? o.eq.lo : o.eq.ref_lo, hi = is_range ? o.eq.hi : o.eq.ref_hi;
    if (hi > 0 && (first > lo * (1 + 1e-9) || last < hi * (1 - 1e-9)))
      return Fail(o.input + ": the " + (is_range ? "range " : "reference band ") +
                  Format("%g-%g Hz", lo, hi) + " reaches beyond the response's data (" +
                  Format("%g-%g Hz", first, last) + "); give a --" + option + " inside it");
  }
  int inside = 0;
  for (double f : response.freq) inside += f >= o.eq.lo && f <= o.eq.hi;
  if (inside < kMinPointsInRange)
    return Fail(o.input + ": too few points in " + range + " (" + std::to_string(inside) +
                "); at least " + std::to_string(kMinPointsInRange) + " are needed");
  tool::Outputs files({o.input, o.target.empty() ? o.input : o.target});
  if (!files.Name(o.output) || (!o.predicted.empty() && !files.Name(o.predicted))) return 1;

  EqProblem problem;
  BuildProblem(response, o.target.empty() ? nullptr : &target, o.eq, &problem);
  std::vector<FilterSpec> filters = FitFilters(problem, o.eq);
  for (FilterSpec& f : filters) f = RoundFilter(f, o.eq);
  const Deviation before = DeviationFromTarget(problem, {}, o.eq.rate);
  const Deviation after = DeviationFromTarget(problem, filters, o.eq.rate);
  const double peak = PeakGainDb(filters, o.eq.rate);
  // A preamp (when any filter boosts) that keeps the chain's peak at or
  // below 0 dB; -1 for none.
  bool boosts = false;
  for (const FilterSpec& f : filters) boosts = boosts || f.gain_db > 0.0;
  const double preamp = !boosts ? -1.0 : peak > 0.0 ? std::ceil(peak * 10.0 - 1e-9) / 10.0 : 0.0;

  const std::string apo = ApoFile(filters, preamp, o.input);
  files.Write(o.output, o.format->write(filters, preamp, o.input));
  if (!o.predicted.empty()) files.Write(o.predicted, PredictedFile(response, filters, preamp, o));
  if (!files.Commit()) return 1;

  const std::string anchor =
      "the response's median level over " +
      (problem.anchor_at_zero
           ? Format("%.0f-%.0f Hz, where the target is 0 dB", problem.anchor_lo, problem.anchor_hi)
           : Format("%g-%g Hz", problem.anchor_lo, problem.anchor_hi));
  if (o.target.empty()) {
    printf("Target: flat at %s dB, %s\n", Shown("%.1f", problem.target_offset).c_str(),
           anchor.c_str());
  } else {
    printf("Target: %s, moved by %s dB to %s\n", Printable(o.target).c_str(),
           Shown("%+.1f", problem.target_offset).c_str(), anchor.c_str());
  }
  // The filters as a list to read, whatever the file's format.
  if (filters.empty()) puts("No filter needed: nothing rises 0.5 dB above the target.");
  fputs(apo.c_str(), stdout);
  printf("Deviation from the target over %s, 1/12-octave smoothed:\n", range.c_str());
  printf("  before: RMS %s dB, largest excess %s dB\n", Shown("%.2f", before.rms).c_str(),
         Shown("%.2f", before.max_excess).c_str());
  printf("  after:  RMS %s dB, largest excess %s dB\n", Shown("%.2f", after.rms).c_str(),
         Shown("%.2f", after.max_excess).c_str());
  printf("Wrote %s\n", Printable(o.output).c_str());
  if (!o.predicted.empty()) printf("Wrote %s\n", Printable(o.predicted).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::Finish(Main(argc, argv)); }
