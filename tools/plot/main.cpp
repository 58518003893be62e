// quelmar-plot: draws the runs of result files and responses as one SVG chart.
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/outputs.h"
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

struct Options {
  std::vector<std::string> inputs;
  std::string output = "sweep_out.svg";
  int last = 0;  // 0: every run
  ChartOptions chart;
};

// The command line, each option read into *o.
tool::Tool CommandLine(Options* o) {
  return {
      "quelmar-plot",
      {"[FILE ...]", "FILE", "result or response file to read (default sweep_out.txt)", "file", 0,
       -1},
      "Draws result files and response files as one SVG chart: level in dB against\n"
      "frequency on a logarithmic axis, each run of a result file as a step line\n"
      "over its bands, each response as a continuous line.",
      {{'o', nullptr, "OUT.svg", "chart to write (default sweep_out.svg)",
        tool::FileName(&o->output)},
       {0, "last", "N", "draw only the newest N runs of each result file",
        tool::Whole(&o->last, 1, INT_MAX)},
       {0, "db-range", "LO:HI",
        "levels shown, such as -30:10 (default: every level but far outliers below the bulk)",
        {"LO:HI in dB with LO below HI, such as -30:10",
         [o](const std::string& v) {
           ChartOptions& c = o->chart;
           return tool::ReadPair(v, ':', &c.db_lo, &c.db_hi) && std::fabs(c.db_lo) <= kMaxLevel &&
                  std::fabs(c.db_hi) <= kMaxLevel && c.db_lo < c.db_hi && (c.fixed_range = true);
         }}},
       {0, "title", "TEXT", "title of the chart (default \"Room response\")",
        tool::Text(&o->chart.title)}},
      "A file with a \"Results:\" block is a result file: each block is one run,\n"
      "named \"run N\" in file order, after the file name when several result files\n"
      "are drawn. Any other file is a response: lines of frequency, level in dB and\n"
      "optional phase, separated by spaces, tabs or commas; lines that do not begin\n"
      "with a number (\"*\" headers) are skipped. A response is named by its file.\n"
      "Bands without data are left as gaps. Levels outside the range run along the\n"
      "frame's edge, marked by a triangle."};
}

// One file named on the command line, read.
struct Input {
  std::string path;
  bool results = false;
  std::vector<ResultRun> runs;  // a result file's runs, or
  Curve curve;                // a response
  size_t first = 0;           // the first run drawn
};

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
      *error = in->path + tool::Format(": expected levels between -10000 and 10000 dB, found %g "
                                       "dB at %g Hz",
                                       in->curve.db[k], in->curve.freq[k]);
      return false;
    }
  }
  return true;
}

// "runs 2 to 3 of 3" or "run 1 of 1".
std::string RunsShown(const Input& in) {
  const size_t n = in.runs.size();
  if (n - in.first == 1) return tool::Format("run %d of %zu", in.runs[in.first].number, n);
  return tool::Format("runs %d to %d of %zu", in.runs[in.first].number, in.runs.back().number, n);
}

int Main(int argc, char** argv) {
  Options options;
  if (auto status = tool::ParseCommandLine(CommandLine(&options), argc, argv, &options.inputs))
    return *status;
  if (options.inputs.empty()) options.inputs.push_back("sweep_out.txt");
  tool::Outputs files(options.inputs);
  if (!files.Name(options.output)) return 1;

  std::vector<Input> inputs(options.inputs.size());
  size_t result_files = 0;
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) {
    Input& in = inputs[i];
    in.path = options.inputs[i];
    if (!ReadInput(&in, &error)) return tool::Fail(error);
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
  files.Write(options.output, svg);
  if (!files.Commit()) return 1;
  printf("Wrote %s: %s\n", Printable(options.output).c_str(), Printable(summary).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::Finish(Main(argc, argv)); }
