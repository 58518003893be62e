// quelmar-eq: proposes the peaking filters that bring a measured response to
// a target, and writes them for the equaliser the user runs.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dsp/biquad.h"
#include "eq/eq_fit.h"
#include "formats/curve_file.h"
#include "formats/file_io.h"

namespace {

// Text exports of fine measurements run to a few megabytes; anything far
// larger is not a response.
constexpr size_t kMaxFileBytes = 64u << 20;
constexpr int kMinPointsInRange = 4;
constexpr int kMaxFilters = 20;
constexpr double kMaxBoostDb = 12.0;
constexpr double kHighestFrequency = 20000.0;
// Levels beyond this are not a measurement (and would overflow as power).
constexpr double kLargestLevelDb = 500.0;

const char kUsage[] =
    "Usage: quelmar-eq RESPONSE.txt [-o OUT] [--format apo|camilladsp] [--range LO-HI]\n"
    "                  [--filters N] [--max-boost DB] [--target FILE] [--predicted FILE]\n"
    "Proposes peaking filters that bring a measured response to a target and\n"
    "writes them for an equaliser.\n"
    "\n"
    "  RESPONSE.txt      a response as text, one frequency, level in dB and\n"
    "                    optional phase per line: quelmar-analyze's files, REW's\n"
    "                    and AutoEq's exports (other lines are skipped)\n"
    "  -o OUT            filter file to write (default: the response's name\n"
    "                    with -eq.txt, or -camilladsp.yml)\n"
    "  --format F        apo: Equalizer APO lines, which PipeWire's equaliser\n"
    "                    and EasyEffects import (default); camilladsp: a\n"
    "                    CamillaDSP configuration fragment\n"
    "  --range LO-HI     frequencies to equalise, in Hz (default 20-300)\n"
    "  --filters N       at most N filters, 1 to 20 (default 8)\n"
    "  --max-boost DB    largest boost in dB, 0 to 12 (default 0: cut only)\n"
    "  --target FILE     target curve of freq dB lines, moved to the response's\n"
    "                    level (default: flat at the response's median level\n"
    "                    over log frequency in the range)\n"
    "  --predicted FILE  also write the response the filters should give\n"
    "  -h, --help        show this help and exit\n"
    "\n"
    "The fit sees the response smoothed to 1/12 octave. Filters are audio EQ\n"
    "cookbook peaking biquads at 48000 Hz with Q from 0.5 to 15.";

enum class Format { kApo, kCamillaDsp };

struct Options {
  std::string input, output, target, predicted;
  Format format = Format::kApo;
  EqSettings eq;
  bool help = false;
};

int Fail(const std::string& message) {
  fprintf(stderr, "quelmar-eq: %s\n", message.c_str());
  return 1;
}

int UsageError(const std::string& message) {
  fprintf(stderr, "quelmar-eq: %s\n%s\n", message.c_str(), kUsage);
  return 2;
}

// The whole of `text` as a finite number.
bool ToNumber(const std::string& text, double* value) {
  if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
  char* end = nullptr;
  errno = 0;
  *value = strtod(text.c_str(), &end);
  return *end == '\0' && errno == 0 && std::isfinite(*value);
}

// Checks an option's value; returns an exit status, or -1 when it is good.
int SetValue(const std::string& option, const std::string& value, Options* o) {
  double x = 0.0, y = 0.0;
  if (option == "-o" || option == "--target" || option == "--predicted") {
    if (value.empty()) return Fail("option '" + option + "' needs a file name");
    (option == "-o" ? o->output : option == "--target" ? o->target : o->predicted) = value;
  } else if (option == "--format") {
    if (value != "apo" && value != "camilladsp")
      return Fail("option '--format' takes apo or camilladsp, found '" + value + "'");
    o->format = value == "apo" ? Format::kApo : Format::kCamillaDsp;
  } else if (option == "--filters") {
    if (!ToNumber(value, &x) || x != std::floor(x) || x < 1 || x > kMaxFilters)
      return Fail("option '--filters' needs a whole number from 1 to 20, found '" + value + "'");
    o->eq.max_filters = static_cast<int>(x);
  } else if (option == "--max-boost") {
    if (!ToNumber(value, &x) || x < 0 || x > kMaxBoostDb)
      return Fail("option '--max-boost' needs a number of dB from 0 to 12, found '" + value + "'");
    o->eq.max_boost_db = x;
  } else {  // --range
    const size_t dash = value.find('-', 1);
    if (dash == std::string::npos || !ToNumber(value.substr(0, dash), &x) ||
        !ToNumber(value.substr(dash + 1), &y) || !(x > 0) || !(y <= kHighestFrequency) ||
        !(y >= x * std::exp2(1.0 / 3.0)))
      return Fail("option '--range' needs LO-HI in Hz, at least a third of an octave wide, "
                  "within 0 to 20000 Hz, such as 20-300; found '" + value + "'");
    o->eq.lo = x;
    o->eq.hi = y;
  }
  return -1;
}

// Fills *o from the command line; returns an exit status, or -1 to go on.
int ParseArguments(int argc, char** argv, Options* o) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "-h" || arg == "--help") {
        o->help = true;
      } else if (arg == "-o" || arg == "--format" || arg == "--range" || arg == "--filters" ||
                 arg == "--max-boost" || arg == "--target" || arg == "--predicted") {
        if (i + 1 >= argc) return UsageError("option '" + arg + "' needs a value");
        const int status = SetValue(arg, argv[++i], o);
        if (status >= 0) return status;
      } else {
        return UsageError("unknown option '" + arg + "'");
      }
      continue;
    }
    if (!o->input.empty()) return UsageError("more than one response given ('" + arg + "')");
    o->input = arg;
  }
  if (!o->help && o->input.empty()) return UsageError("no response file given");
  return -1;
}

// "room-response.txt" gives "room-eq.txt" (or "room-camilladsp.yml").
std::string DefaultOutput(std::string input, Format format) {
  const size_t slash = input.rfind('/');
  const size_t dot = input.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    input.resize(dot);
  const std::string suffix = "-response";
  if (input.size() > suffix.size() + (slash == std::string::npos ? 0 : slash + 1) &&
      input.compare(input.size() - suffix.size(), suffix.size(), suffix) == 0)
    input.resize(input.size() - suffix.size());
  return input + (format == Format::kApo ? "-eq.txt" : "-camilladsp.yml");
}

std::string Printf(const char* format, double a, double b = 0.0, double c = 0.0) {
  char text[160];
  snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// A file name for a comment or header line: control characters (a line
// break would end the line) shown as '?'.
// The preamp's cut as printed: "-2.5", or "0.0" when none is needed.
std::string Cut(double preamp_db) { return Printf("%.1f", preamp_db > 0.0 ? -preamp_db : 0.0); }

std::string ApoLine(int number, const FilterSpec& f) {
  return "Filter " + std::to_string(number) +
         Printf(": ON PK Fc %.1f Hz Gain %.1f dB Q %.2f\n", f.freq, f.gain_db, f.q);
}

// Equalizer APO's text, which REW writes as "generic" and PipeWire's
// parametric equaliser and EasyEffects import: a preamp line first when any
// filter boosts, then one line per filter.
std::string ApoFile(const std::vector<FilterSpec>& filters, double preamp_db) {
  std::string text = preamp_db >= 0.0 ? "Preamp: " + Cut(preamp_db) + " dB\n" : "";
  for (size_t i = 0; i < filters.size(); ++i) text += ApoLine(static_cast<int>(i) + 1, filters[i]);
  return text;
}

// A CamillaDSP configuration fragment: the filters and a pipeline step that
// applies them to channel 0, to merge into a configuration with devices.
std::string CamillaFile(const std::vector<FilterSpec>& filters, double preamp_db,
                        const std::string& source) {
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
            Printf("      freq: %.1f\n      gain: %.1f\n      q: %.2f\n", filters[i].freq,
                   filters[i].gain_db, filters[i].q);
    names += "      - " + name + "\n";
  }
  if (names.empty()) return text + "pipeline: []\n";
  return text + "pipeline:\n  - type: Filter\n    channels: [0]\n    names:\n" + names;
}

// The measured response with the filters' exact response added, its phase
// (when it has one) turned by theirs.
std::string PredictedFile(const Curve& measured, const std::vector<FilterSpec>& filters,
                          double preamp_db, const Options& o) {
  Curve out = measured;
  const int n = static_cast<int>(filters.size());
  for (size_t k = 0; k < out.freq.size(); ++k) {
    out.db[k] += FilterChainDb(filters.data(), n, out.freq[k], o.eq.rate);
    if (out.phase.empty()) continue;
    double turn = 0.0;
    for (const FilterSpec& f : filters)
      turn += std::arg(BiquadResponse(MakeBiquad(f, o.eq.rate), out.freq[k], o.eq.rate));
    double phase = std::remainder(out.phase[k] + turn * 180.0 / M_PI, 360.0);
    out.phase[k] = phase == -180.0 ? 180.0 : phase;
  }
  std::vector<std::string> header = {
      "Predicted by quelmar-eq: " + Printable(o.input) + " with " + std::to_string(n) +
      " peaking filters (their exact response at 48000 Hz)"};
  for (int i = 0; i < n; ++i) {
    std::string line = ApoLine(i + 1, filters[i]);
    line.pop_back();
    header.push_back(line);
  }
  if (preamp_db >= 0.0) header.push_back("Preamp " + Cut(preamp_db) + " dB not included");
  return FormatResponse(header, out);
}

bool ReadCurve(const std::string& path, const char* what, Curve* curve, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, kMaxFileBytes, &text, error)) return false;
  std::string parse_error;
  if (!ParseCurve(text.data(), text.size(), curve, &parse_error)) {
    *error = path + ": " + parse_error;
    return false;
  }
  if (curve->freq.empty()) {
    *error = path + ": not a " + what +
             ": no lines of frequency and level in dB (such as \"62.5, -3.1\")";
    return false;
  }
  for (size_t k = 0; k < curve->freq.size(); ++k)
    if (std::fabs(curve->db[k]) > kLargestLevelDb) {
      *error = path + ": the level at " + Printf("%g Hz is %g dB", curve->freq[k], curve->db[k]) +
               ", beyond +-500 dB: not a " + what;
      return false;
    }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int status = ParseArguments(argc, argv, &o);
  if (status >= 0) return status;
  if (o.help) {
    puts(kUsage);
    return 0;
  }
  if (o.output.empty()) o.output = DefaultOutput(o.input, o.format);

  Curve response, target;
  std::string error;
  if (!ReadCurve(o.input, "response", &response, &error)) return Fail(error);
  if (!o.target.empty() && !ReadCurve(o.target, "target curve", &target, &error))
    return Fail(error);
  const std::string range = Printf("%g-%g Hz", o.eq.lo, o.eq.hi);
  const double first = response.freq.front(), last = response.freq.back();
  if (first > o.eq.lo * (1 + 1e-9) || last < o.eq.hi * (1 - 1e-9))
    return Fail(o.input + ": the range " + range + " reaches beyond the response's data (" +
                Printf("%g-%g Hz", first, last) + "); give a --range inside it");
  int inside = 0;
  for (double f : response.freq) inside += f >= o.eq.lo && f <= o.eq.hi;
  if (inside < kMinPointsInRange)
    return Fail(o.input + ": too few points in " + range + " (" + std::to_string(inside) +
                "); at least " + std::to_string(kMinPointsInRange) + " are needed");
  for (const std::string& path : {o.input, o.target})
    if (!path.empty() && (SameFile(o.output, path) || SameFile(o.predicted, path)))
      return Fail("an output would overwrite the input " + path);
  if (!o.predicted.empty() && SameFile(o.predicted, o.output))
    return Fail("the filter file and --predicted name the same file " + o.output);

  EqProblem problem;
  BuildProblem(response, o.target.empty() ? nullptr : &target, o.eq, &problem);
  std::vector<FilterSpec> filters = FitFilters(problem, o.eq);
  for (FilterSpec& f : filters) f = RoundFilter(f);
  const Deviation before = DeviationFromTarget(problem, {}, o.eq.rate);
  const Deviation after = DeviationFromTarget(problem, filters, o.eq.rate);
  const double peak = PeakGainDb(filters, o.eq.rate);
  // A preamp (when any filter boosts) that keeps the chain's peak at or
  // below 0 dB; -1 for none.
  bool boosts = false;
  for (const FilterSpec& f : filters) boosts = boosts || f.gain_db > 0.0;
  const double preamp = !boosts ? -1.0 : peak > 0.0 ? std::ceil(peak * 10.0 - 1e-9) / 10.0 : 0.0;

  const std::string apo = ApoFile(filters, preamp);
  const std::string content =
      o.format == Format::kApo ? apo : CamillaFile(filters, preamp, o.input);
  // The prediction first: when the filter file then fails, a prediction this
  // run created is removed again, so that a failure leaves no output behind.
  const bool predicted_existed = access(o.predicted.c_str(), F_OK) == 0;
  if (!o.predicted.empty() &&
      !WriteOutputFile(o.predicted, PredictedFile(response, filters, preamp, o), &error))
    return Fail(error);
  if (!WriteOutputFile(o.output, content, &error)) {
    if (!o.predicted.empty() && !predicted_existed) unlink(o.predicted.c_str());
    return Fail(error);
  }

  if (o.target.empty()) {
    printf("Target: flat at %.1f dB, the response's median level over %s\n",
           problem.target_offset, range.c_str());
  } else {
    printf("Target: %s, moved by %+.1f dB to the response's median level over %s\n",
           o.target.c_str(), problem.target_offset, range.c_str());
  }
  if (filters.empty()) puts("No filter needed: nothing rises 0.5 dB above the target.");
  fputs(apo.c_str(), stdout);
  printf("Deviation from the target over %s, 1/12-octave smoothed:\n", range.c_str());
  printf("  before: RMS %.2f dB, largest excess %.2f dB\n", before.rms, before.max_excess);
  printf("  after:  RMS %.2f dB, largest excess %.2f dB\n", after.rms, after.max_excess);
  printf("Wrote %s\n", o.output.c_str());
  if (!o.predicted.empty()) printf("Wrote %s\n", o.predicted.c_str());
  return 0;
}
