#include "child_usage.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

double Ms(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

double Min(std::vector<Sample>& samples, double Sample::*field) {
  double m = samples[0].*field;
  for (const Sample& s : samples) m = std::min(m, s.*field);
  return m;
}

double Max(std::vector<Sample>& samples, double Sample::*field) {
  double m = samples[0].*field;
  for (const Sample& s : samples) m = std::max(m, s.*field);
  return m;
}

// The first line of `text` that starts with `key`, from its ": " on.
std::string Field(const std::string& text, const std::string& key) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t colon = line.find(": ");
    if (line.compare(0, key.size(), key) == 0 && colon != std::string::npos)
      return line.substr(colon + 2);
    at = end + 1;
  }
  return "unknown";
}

}  // namespace


double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

bool WriteWhole(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

pid_t StartChild(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& in, const std::string& out, const std::string& err,
                 const std::string& alsa_config_path, int timeout_s) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "ALSA_CONFIG_PATH=", 17) != 0) env_text.push_back(*e);
  env_text.push_back("ALSA_CONFIG_PATH=" + alsa_config_path);
  std::vector<char*> envp, args;
  for (std::string& s : env_text) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::vector<std::string> arg_text = argv;
  for (std::string& s : arg_text) args.push_back(&s[0]);
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) fprintf(stderr, "fork failed: %s\n", strerror(errno));
  if (pid != 0) return pid;
  const int fd_in = open(in.c_str(), O_RDONLY);
  const int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int fd_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd_in < 0 || fd_out < 0 || fd_err < 0 || dup2(fd_in, 0) < 0 || dup2(fd_out, 1) < 0 ||
      dup2(fd_err, 2) < 0 || chdir(dir.c_str()) != 0)
    _exit(126);
  // The alarm survives exec: a child that hangs ends by SIGALRM.
  alarm(static_cast<unsigned>(timeout_s));
  execvpe(args[0], args.data(), envp.data());
  dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

int WaitChild(pid_t pid, const std::string& name, double started, Sample& sample) {
  if (pid < 0) return -1;
  int status = 0;
  rusage usage;
  pid_t done;
  do {
    done = wait4(pid, &status, 0, &usage);
  } while (done < 0 && errno == EINTR);
  sample.wall_ms = NowMs() - started;
  if (done != pid) return -1;
  sample.user_ms = Ms(usage.ru_utime);
  sample.sys_ms = Ms(usage.ru_stime);
  sample.cpu_ms = sample.user_ms + sample.sys_ms;
  sample.rss_mib = usage.ru_maxrss / 1024.0;  // kilobytes on Linux
  sample.minor_faults = static_cast<double>(usage.ru_minflt);
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "%s ended by signal %d%s\n", name.c_str(), WTERMSIG(status),
            WTERMSIG(status) == SIGALRM ? " (timed out)" : "");
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int MeasureChild(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& in, const std::string& out, const std::string& err,
                 const std::string& alsa_config_path, int timeout_s, Sample& sample) {
  const double start = NowMs();
  return WaitChild(StartChild(argv, dir, in, out, err, alsa_config_path, timeout_s), argv[0],
                   start, sample);
}

double Median(std::vector<Sample>& samples, double Sample::*field) {
  std::vector<double> v;
  for (const Sample& s : samples) v.push_back(s.*field);
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintHeader() {
  printf("%-26s %7s %11s %7s %7s %8s %8s %8s\n", "", "CPU ms", "range", "user", "system",
         "peak MiB", "minflt", "wall ms");
}

void PrintRow(const char* name, std::vector<Sample>& s) {
  printf("%-26s %7.1f %5.1f-%-5.1f %7.1f %7.1f %8.2f %8.0f %8.1f\n", name, Median(s, &Sample::cpu_ms),
         Min(s, &Sample::cpu_ms), Max(s, &Sample::cpu_ms), Median(s, &Sample::user_ms),
         Median(s, &Sample::sys_ms), Median(s, &Sample::rss_mib), Median(s, &Sample::minor_faults),
         Median(s, &Sample::wall_ms));
}

// The figures depend on the machine: its processors, kernel, huge-page
// mode and how busy it was.
std::string MachineLine() {
  utsname u;
  const std::string kernel = uname(&u) == 0 ? u.release : "unknown";
  std::string thp = ReadWhole("/sys/kernel/mm/transparent_hugepage/enabled");
  const size_t open = thp.find('['), close = thp.find(']');
  thp = open != std::string::npos && close > open ? thp.substr(open + 1, close - open - 1)
                                                  : "unknown";
  std::string load = ReadWhole("/proc/loadavg");
  load = load.substr(0, load.find(' '));
  char line[512];
  snprintf(line, sizeof line,
           "Machine: %ld processors, %s, kernel %s, transparent huge pages %s, load %s at start\n",
           sysconf(_SC_NPROCESSORS_ONLN), Field(ReadWhole("/proc/cpuinfo"), "model name").c_str(),
           kernel.c_str(), thp.c_str(), load.empty() ? "unknown" : load.c_str());
  return line;
}


int ParseBenchOptions(int argc, char** argv, const char* bench,
                      const std::vector<BenchOption>& options, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(usage, stdout);
      return 0;
    }
    bool read = false;
    for (const BenchOption& o : options)
      if (!read && a == o.name && i + 1 < argc && o.set(argv[i + 1])) read = true, ++i;
    if (!read) {
      fprintf(stderr, "%s: bad argument %s\n%s", bench, a.c_str(), usage);
      return 2;
    }
  }
  return -1;
}

bool ParseCount(const char* text, int lowest, int* out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lowest || v > 1000) return false;
  *out = static_cast<int>(v);
  return true;
}

bool AbsoluteProgram(const char* bench, std::string* program) {
  if (program->find('/') == std::string::npos) return true;
  char* full = realpath(program->c_str(), nullptr);
  if (!full) {
    fprintf(stderr, "%s: cannot find %s: %s\n", bench, program->c_str(), strerror(errno));
    return false;
  }
  *program = full;
  free(full);
  return true;
}

std::string TemporaryFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quelmar-bench-XXXXXX";
  if (mkdtemp(&dir[0])) return dir;
  fprintf(stderr, "Cannot make a temporary folder: %s\n", strerror(errno));
  return "";
}
