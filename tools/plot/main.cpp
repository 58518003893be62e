// quelmar-plot: draws the runs of result files and responses as one SVG chart.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "formats/curve_file.h"
#include "formats/file_io.h"
#include "formats/result_table.h"
#include "plot/svg_chart.h"

namespace {

// A result file grows by at most about 30 kB per run; anything this large is
// not one, and reading it whole would only waste memory.
constexpr size_t kMaxFileBytes = 64u << 20;

// The largest level magnitude in dB that the chart takes, as in result files.
constexpr double kMaxLevel = 10000.0;

const char kUsage[] =
    "Usage: quelmar-plot [FILE ...] [-o OUT.svg] [--last N] [--db-range LO:HI]\n"
    "                    [--title TEXT]\n"
    "Draws result files and response files as one SVG chart: level in dB against\n"
    "frequency on a logarithmic axis, each run of a result file as a step line\n"
    "over its bands, each response as a continuous line.\n"
    "\n"
    "  FILE              result or response file to read (default sweep_out.txt)\n"
    "  -o OUT.svg        chart to write (default sweep_out.svg)\n"
    "  --last N          draw only the newest N runs of each result file\n"
    "  --db-range LO:HI  levels shown, such as -30:10 (default: every level but\n"
    "                    far outliers below the bulk)\n"
    "  --title TEXT      title of the chart (default \"Room response\")\n"
    "  -h, --help        show this help and exit\n"
    "\n"
    "A file with a \"Results:\" block is a result file: each block is one run,\n"
    "named \"run N\" in file order, after the file name when several result files\n"
    "are drawn. Any other file is a response: lines of frequency, level in dB and\n"
    "optional phase, separated by spaces, tabs or commas; lines that do not begin\n"
    "with a number (\"*\" headers) are skipped. A response is named by its file.\n"
    "Bands without data are left as gaps. Levels outside the range run along the\n"
    "frame's edge, marked by a triangle.";

struct Options {
  std::vector<std::string> inputs;
  std::string output = "sweep_out.svg";
  long last = 0;  // 0: every run
  ChartOptions chart;
  bool help = false;
};

// One file named on the command line, read.
struct Input {
  std::string path;
  bool results = false;
  std::vector<ResultRun> runs;  // a result file's runs, or
  Curve curve;                // a response
  size_t first = 0;           // the first run drawn
};

int Fail(const std::string& message) {
  fprintf(stderr, "quelmar-plot: %s\n", message.c_str());
  return 1;
}

int UsageError(const std::string& message) {
  fprintf(stderr, "quelmar-plot: %s\n%s\n", message.c_str(), kUsage);
  return 2;
}

// A whole number of 1 or more, as typed.
bool ParseCount(const std::string& value, long* n) {
  char* end = nullptr;
  errno = 0;
  *n = strtol(value.c_str(), &end, 10);
  return !value.empty() && *end == '\0' && errno == 0 && *n >= 1 && *n <= INT_MAX &&
         value[0] != '+' && value[0] != ' ';
}

// "LO:HI" with LO below HI, both within the levels the chart takes.
bool ParseDbRange(const std::string& value, double* lo, double* hi) {
  const char* text = value.c_str();
  char* end = nullptr;
  *lo = strtod(text, &end);
  if (end == text || *end != ':' || isspace(static_cast<unsigned char>(end[1]))) return false;
  const char* second = end + 1;
  *hi = strtod(second, &end);
  return end != second && *end == '\0' && !isspace(static_cast<unsigned char>(text[0])) &&
         std::fabs(*lo) <= kMaxLevel && std::fabs(*hi) <= kMaxLevel && *lo < *hi;
}

// Fills *options from the command line; returns an exit status (2 on a
// usage error, 1 on a bad value), or -1 to go on.
int ParseArguments(int argc, char** argv, Options* options) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      options->inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options->help = true;
      continue;
    }
    if (arg != "-o" && arg != "--last" && arg != "--title" && arg != "--db-range") {
      return UsageError("unknown option '" + arg + "'");
    }
    if (i + 1 >= argc) {
      const char* what = arg == "-o"        ? "a file name"
                         : arg == "--last"  ? "a number"
                         : arg == "--title" ? "a text"
                                            : "a range";
      return UsageError("option '" + arg + "' needs " + what);
    }
    std::string value = argv[++i];
    if (arg == "-o") {
      if (value.empty()) return UsageError("option '-o' needs a file name");
      options->output = value;
    } else if (arg == "--title") {
      options->chart.title = value;
    } else if (arg == "--last") {
      if (!ParseCount(value, &options->last)) {
        return Fail("option '--last' needs a whole number of 1 or more, found '" + value + "'");
      }
    } else {
      ChartOptions& c = options->chart;
      if (!ParseDbRange(value, &c.db_lo, &c.db_hi)) {
        return Fail("option '--db-range' needs LO:HI in dB with LO below HI, such as -30:10, "
                    "found '" + value + "'");
      }
      c.fixed_range = true;
    }
  }
  if (options->inputs.empty()) options->inputs.push_back("sweep_out.txt");
  return -1;
}

// Reads one file as a result file or, without a "Results:" block, as a
// response; on failure sets *error to a message naming the file.
bool ReadInput(Input* in, std::string* error) {
  std::string text;
  if (!ReadWholeFile(in->path, kMaxFileBytes, &text, error)) return false;
  in->results = HasResultsBlock(text.data(), text.size());
  std::string why;
  if (in->results ? !ParseResults(text.data(), text.size(), &in->runs, &why)
                  : !ParseCurve(text.data(), text.size(), &in->curve, &why)) {
    *error = in->path + ": " + why;
    return false;
  }
  if (!in->results && in->curve.freq.empty()) {
    *error = in->path + (text.empty() ? ": the file is empty"
                                      : ": no \"Results:\" block and no line of frequency and "
                                        "level") +
             ": nothing to plot";
    return false;
  }
  for (size_t k = 0; k < in->curve.db.size(); ++k) {
    if (std::fabs(in->curve.db[k]) > kMaxLevel) {
      char what[128];
      snprintf(what, sizeof what,
               ": expected levels between -10000 and 10000 dB, found %g dB at %g Hz",
               in->curve.db[k], in->curve.freq[k]);
      *error = in->path + what;
      return false;
    }
  }
  return true;
}

// "runs 2 to 3 of 3" or "run 1 of 1".
std::string RunsShown(const Input& in) {
  char text[80];
  const size_t n = in.runs.size();
  if (n - in.first == 1) {
    snprintf(text, sizeof text, "run %d of %zu", in.runs[in.first].number, n);
  } else {
    snprintf(text, sizeof text, "runs %d to %d of %zu", in.runs[in.first].number,
             in.runs.back().number, n);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = ParseArguments(argc, argv, &options);
  if (status >= 0) return status;
  if (options.help) {
    puts(kUsage);
    return 0;
  }

  std::vector<Input> inputs(options.inputs.size());
  size_t result_files = 0;
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) {
    Input& in = inputs[i];
    in.path = options.inputs[i];
    if (!ReadInput(&in, &error)) return Fail(error);
    if (SameFile(in.path, options.output)) {
      return Fail(std::string("the chart would overwrite the ") +
                  (in.results ? "result" : "response") + " file " + in.path);
    }
    if (!in.results) continue;
    ++result_files;
    if (options.last > 0 && static_cast<size_t>(options.last) < in.runs.size()) {
      in.first = in.runs.size() - static_cast<size_t>(options.last);
    }
  }

  // Legend names and the summary line: runs keep their numbers, prefixed
  // with the file name when several result files are drawn.
  std::vector<ChartLine> lines;
  std::string summary;
  for (const Input& in : inputs) {
    if (!summary.empty()) summary += ", ";
    if (!in.results) {
      lines.push_back(ChartLine{in.path, nullptr, &in.curve});
      summary += in.path;
      continue;
    }
    const std::string prefix = result_files > 1 ? in.path + ": " : "";
    for (size_t r = in.first; r < in.runs.size(); ++r) {
      lines.push_back(
          ChartLine{prefix + "run " + std::to_string(in.runs[r].number), &in.runs[r], nullptr});
    }
    summary += inputs.size() > 1 ? in.path + " (" + RunsShown(in) + ")" : RunsShown(in);
  }
  std::string svg;
  WriteSvgChart(lines.data(), lines.size(), options.chart, &svg);
  if (!WriteOutputFile(options.output, svg, &error)) return Fail(error);
  printf("Wrote %s: %s\n", options.output.c_str(), summary.c_str());
  return 0;
}
