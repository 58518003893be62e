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

// Reads the whole file into *text; on failure sets *error.
bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  char chunk[65536];
  bool ok = true;
  for (;;) {
    size_t n = fread(chunk, 1, sizeof chunk, f);
    if (n > 0) {
      if (text->size() + n > kMaxFileBytes) {
        *error = path + " is larger than 64 MiB: not a result file";
        ok = false;
        break;
      }
      text->append(chunk, n);
    }
    if (n < sizeof chunk) {
      if (ferror(f)) {
        *error = "cannot read " + path + ": " + strerror(errno);
        ok = false;
      }
      break;
    }
  }
  fclose(f);
  return ok;
}

// Writes the chart to a temporary file beside the target and renames it into
// place, so that a failed write never leaves a partial chart behind.
bool WriteAtomically(const std::string& path, const std::string& content, std::string* error) {
  std::string temp = path + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  // mkstemp creates the file readable by its owner only; give it the mode a
  // newly created file normally gets.
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(name.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(name.data());
    *error = "cannot write " + path + ": " + strerror(saved);
  }
  return ok;
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
  if (!ReadWholeFile(options.input, &text, &error)) return Fail(error);
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
  if (!WriteAtomically(options.output, svg, &error)) return Fail(error);

  size_t shown = runs.size() - first;
  if (shown == 1) {
    printf("Wrote %s: run %d of %zu\n", options.output.c_str(), runs[first].number, runs.size());
  } else {
    printf("Wrote %s: runs %d to %d of %zu\n", options.output.c_str(), runs[first].number,
           runs.back().number, runs.size());
  }
  return 0;
}
