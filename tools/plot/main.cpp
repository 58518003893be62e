// quelmar-plot: draws the runs of a result file as one SVG chart.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "formats/file_io.h"
#include "plot/result_file.h"
#include "plot/svg_chart.h"

namespace {

// A result file grows by at most about 30 kB per run; anything this large is
// not one, and reading it whole would only waste memory.
constexpr size_t kMaxFileBytes = 64u << 20;

const char kUsage[] =
    "Usage: quelmar-plot [FILE] [-o OUT.svg] [--last N] [--title TEXT]\n"
    "Draws the runs of a result file as one SVG chart: level in dB against\n"
    "frequency on a logarithmic axis, one step line per run.\n"
    "\n"
    "  FILE          result file to read (default sweep_out.txt)\n"
    "  -o OUT.svg    chart to write (default sweep_out.svg)\n"
    "  --last N      draw only the newest N runs\n"
    "  --title TEXT  title of the chart (default \"Room response\")\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Each \"Results:\" block of the file is one run. Runs are numbered in file\n"
    "order and the newest is drawn last; bands without data are left as gaps.";

struct Options {
  std::string input = "sweep_out.txt";
  std::string output = "sweep_out.svg";
  long last = 0;  // 0: every run
  std::string title = "Room response";
  bool help = false;
};

int Fail(const std::string& message) {
  fprintf(stderr, "quelmar-plot: %s\n", message.c_str());
  return 1;
}

int UsageError(const std::string& message) {
  fprintf(stderr, "quelmar-plot: %s\nTry 'quelmar-plot -h' for help.\n", message.c_str());
  return 1;
}

// Fills *options from the command line; returns an exit status (1) on a
// usage error, or -1 to go on.
int ParseArguments(int argc, char** argv, Options* options) {
  bool have_input = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
        continue;
      }
      if (arg == "-h" || arg == "--help") {
        options->help = true;
        continue;
      }
      if (arg != "-o" && arg != "--last" && arg != "--title") {
        return UsageError("unknown option '" + arg + "'");
      }
      if (i + 1 >= argc) {
        const char* what = arg == "-o" ? "a file name" : arg == "--last" ? "a number" : "a text";
        return UsageError("option '" + arg + "' needs " + what);
      }
      std::string value = argv[++i];
      if (arg == "-o") {
        if (value.empty()) return UsageError("option '-o' needs a file name");
        options->output = value;
      } else if (arg == "--title") {
        options->title = value;
      } else {
        char* end = nullptr;
        errno = 0;
        long n = strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > INT_MAX ||
            value[0] == '+' || value[0] == ' ') {
          return UsageError("option '--last' needs a whole number of 1 or more, found '" +
                            value + "'");
        }
        options->last = n;
      }
      continue;
    }
    if (have_input) return UsageError("more than one result file given ('" + arg + "')");
    options->input = arg;
    have_input = true;
  }
  return -1;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
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

  std::string text, error;
  if (!ReadWholeFile(options.input, kMaxFileBytes, &text, &error)) return Fail(error);
  std::vector<PlotRun> runs;
  if (!ParseResults(text.data(), text.size(), &runs, &error)) {
    return Fail(options.input + ": " + error);
  }
  if (SameFile(options.input, options.output)) {
    return Fail("the chart would overwrite the result file " + options.input);
  }

  size_t first = 0;
  if (options.last > 0 && static_cast<size_t>(options.last) < runs.size()) {
    first = runs.size() - static_cast<size_t>(options.last);
  }
  std::string svg;
  WriteSvgChart(runs.data() + first, runs.size() - first, options.title, &svg);
  if (!WriteOutputFile(options.output, svg, &error)) return Fail(error);

  size_t shown = runs.size() - first;
  if (shown == 1) {
    printf("Wrote %s: run %d of %zu\n", options.output.c_str(), runs[first].number, runs.size());
  } else {
    printf("Wrote %s: runs %d to %d of %zu\n", options.output.c_str(), runs[first].number,
           runs.back().number, runs.size());
  }
  return 0;
}
