// The cost of quelmar-measure, as the operating system counts it (wait4):
// - a whole default measurement (a 10 s log sweep and its 2 s tail) against
//   sox playing and, at the same time, recording the same length through
//   the same virtual device (the CPU of both sox processes added up);
// - the peak resident memory of a 600 s sweep against a 10 s one: the
//   recording goes to disk as it is captured, so it should not grow.
// Medians of several runs after a warm-up, interleaved.
//
//   bench_measure_run [--runs N] [--device NAME] [--capture NAME] [--sox PROGRAM]
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_usage.h"

namespace {

const char* const kMeasure = QUELMAR_BENCH_MEASURE;
const char* const kAlsaConfigPath = QUELMAR_BENCH_ALSA_CONFIG_PATH;
const int kTimeoutSeconds = 600;
const double kCpuRatioTarget = 1.0;     // quelmar-measure against sox playing and recording
const double kMemoryRatioTarget = 1.2;  // a 600 s sweep against a 10 s one

struct Options {
  int runs = 5;
  std::string device = "loopback";
  std::string capture;  // a separate microphone device, if any
  std::string sox = "sox";
};

// One quelmar-measure run of `seconds`, which must succeed; the recording
// is removed.
bool RunMeasure(const Options& o, const std::string& dir, double seconds, Sample& sample) {
  std::vector<std::string> argv = {kMeasure, "-d", o.device, "--length",
                                   std::to_string(seconds), "-o", "m.wav"};
  if (!o.capture.empty()) argv.insert(argv.end(), {"--capture", o.capture});
  const int status = MeasureChild(argv, dir, "/dev/null", dir + "/out.txt", dir + "/err.txt",
                                  kAlsaConfigPath, kTimeoutSeconds, sample);
  unlink((dir + "/m.wav").c_str());
  if (status == 0) return true;
  fprintf(stderr, "quelmar-measure failed (exit status %d):\n%s", status,
          ReadWhole(dir + "/err.txt").c_str());
  return false;
}

// sox playing a log sweep of `seconds` and recording as long, at once, on
// the same device: their CPU times added, the larger peak memory.
bool RunSox(const Options& o, const std::string& dir, double seconds, Sample& sample) {
  const std::string length = std::to_string(seconds);
  const double start = NowMs();
  const pid_t rec = StartChild({o.sox, "-q", "-t", "alsa", o.capture.empty() ? o.device : o.capture,
                                "-r", "48000", "-b", "24", "-c", "2", "rec.wav", "trim", "0", length},
                               dir, "/dev/null", dir + "/rec_out.txt", dir + "/rec_err.txt",
                               kAlsaConfigPath, kTimeoutSeconds);
  const pid_t play = StartChild({o.sox, "-q", "-n", "-r", "48000", "-b", "24", "-c", "2", "-t",
                                 "alsa", o.device, "synth", length, "sine", "20/20000", "gain",
                                 "-12"},
                                dir, "/dev/null", dir + "/play_out.txt", dir + "/play_err.txt",
                                kAlsaConfigPath, kTimeoutSeconds);
  Sample a, b;
  const int rec_status = WaitChild(rec, "sox recording", start, a);
  const int play_status = WaitChild(play, "sox playing", start, b);
  unlink((dir + "/rec.wav").c_str());
  sample.cpu_ms = a.cpu_ms + b.cpu_ms, sample.user_ms = a.user_ms + b.user_ms;
  sample.sys_ms = a.sys_ms + b.sys_ms, sample.minor_faults = a.minor_faults + b.minor_faults;
  sample.rss_mib = std::max(a.rss_mib, b.rss_mib), sample.wall_ms = std::max(a.wall_ms, b.wall_ms);
  if (rec_status == 0 && play_status == 0) return true;
  fprintf(stderr, "sox failed (exit status %d recording, %d playing):\n%s%s", rec_status,
          play_status, ReadWhole(dir + "/rec_err.txt").c_str(),
          ReadWhole(dir + "/play_err.txt").c_str());
  if (rec_status == 127 || play_status == 127)
    fprintf(stderr, "Install it with: apt-get install -y sox libsox-fmt-alsa\n");
  return false;
}

const char kUsage[] =
    "usage: bench_measure_run [--runs N] [--device NAME] [--capture NAME] [--sox PROGRAM]\n"
    "  --runs N          measured runs of each (default 5, after one warm-up)\n"
    "  --device NAME     virtual card device (default loopback)\n"
    "  --capture NAME    a separate microphone device (acoustic timing)\n"
    "  --sox PROGRAM     the sox to compare with (default sox)\n";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int status = ParseBenchOptions(
      argc, argv, "bench_measure_run",
      {{"--runs", [&](const char* v) { return ParseCount(v, 1, &o.runs); }},
       {"--device", [&](const char* v) { return o.device = v, true; }},
       {"--capture", [&](const char* v) { return o.capture = v, true; }},
       {"--sox", [&](const char* v) { return o.sox = v, true; }}},
      kUsage);
  if (status >= 0) return status;
  const std::string dir = TemporaryFolder();
  if (dir.empty()) return 1;
  const std::string machine = MachineLine();
  // What a default run plays and records: the quiet lead, the sweep and
  // the tail (and, with a separate microphone, the markers and their gaps).
  const double recorded = o.capture.empty() ? 12.5 : 15.3;
  std::vector<Sample> ours, sox, short_sweep, long_sweep;
  bool ok = true;
  for (int i = 0; ok && i <= o.runs; ++i) {
    Sample a, b;
    ok = RunMeasure(o, dir, 10, a) && RunSox(o, dir, recorded, b);
    if (ok && i > 0) ours.push_back(a), sox.push_back(b);
  }
  for (int i = 0; ok && i < 3; ++i) {
    Sample a, b;
    ok = RunMeasure(o, dir, 10, a) && RunMeasure(o, dir, 600, b);
    if (ok) short_sweep.push_back(a), long_sweep.push_back(b);
  }
  for (const char* f : {"out.txt", "err.txt", "rec_out.txt", "rec_err.txt", "play_out.txt",
                        "play_err.txt"})
    unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
  if (!ok) return 1;

  fputs(machine.c_str(), stdout);
  printf("quelmar-measure on the virtual card \"%s\"%s%s, %d measured runs after a warm-up\n\n",
         o.device.c_str(), o.capture.empty() ? "" : " with the microphone ",
         o.capture.c_str(), o.runs);
  PrintHeader();
  PrintRow("quelmar-measure, 10 s", ours);
  PrintRow("sox playing + recording", sox);
  puts("(both include the virtual card's own work and memory, loaded into each process)");
  const double ratio = Median(ours, &Sample::cpu_ms) / Median(sox, &Sample::cpu_ms);
  printf("\nCPU time, quelmar-measure / sox:  %5.2f   target at most %.1f   %s\n", ratio,
         kCpuRatioTarget, ratio <= kCpuRatioTarget ? "met" : "MISSED");

  printf("\nPeak memory, 3 runs of each\n");
  PrintHeader();
  PrintRow("quelmar-measure, 10 s", short_sweep);
  PrintRow("quelmar-measure, 600 s", long_sweep);
  const double memory = Median(long_sweep, &Sample::rss_mib) / Median(short_sweep, &Sample::rss_mib);
  printf("\nPeak memory, 600 s / 10 s:  %5.2f   target at most %.1f   %s\n", memory,
         kMemoryRatioTarget, memory <= kMemoryRatioTarget ? "met" : "MISSED");
  return 0;
}
