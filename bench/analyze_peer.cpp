// quelmar-analyze against a peer deconvolution tool, lsconv (from Debian's
// drc package), on the same recordings: log sweeps of 1, 10, 60 and 300 s
// that quelmar-measure records on the virtual card. lsconv convolves the
// microphone channel with an inverse filter of the sweep; it is handed both
// as raw 32-bit floats, the microphone channel of the recording and the
// played sweep (regenerated from the recording's metadata) reversed in time.
// Both programs run in turn, interleaved over the lengths, after a warm-up;
// the medians of their CPU time (user + system) and peak resident memory
// from wait4 are printed with the ratios, the growth of quelmar-analyze's
// CPU time with the recording's length, and its memory per recorded frame.
//
//   bench_analyze_peer [--runs N] [--lengths S,S,...] [--analyzer PROGRAM]
//                      [--lsconv PROGRAM]
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analyze/wav_files.h"
#include "child_usage.h"
#include "dsp/sweep.h"

namespace {

const char* const kMeasure = QUELMAR_BENCH_MEASURE;
const char* const kAnalyzer = QUELMAR_BENCH_ANALYZER;
const char* const kAlsaConfigPath = QUELMAR_BENCH_ALSA_CONFIG_PATH;
const int kTimeoutSeconds = 900;
const double kRatioTarget = 1.0, kRatioAim = 0.5;  // CPU against lsconv's from 10 s up
const double kGrowthTarget = 1.1;                  // the exponent from 10 s to the longest
const double kBytesPerFrame = 32, kBaseMiB = 16;   // peak memory target

struct Options {
  int runs = 5;
  std::vector<int> lengths = {1, 10, 60, 300};
  std::string analyzer = kAnalyzer;
  std::string lsconv = "lsconv";
};

struct Length {
  int seconds = 0;
  long frames = 0;  // recorded
  std::vector<Sample> ours, peer;
};

bool WriteFloats(const std::string& path, const std::vector<float>& v) {
  return WriteWhole(path, std::string(reinterpret_cast<const char*>(v.data()),
                                      v.size() * sizeof(float)));
}

// Records rec<S>.wav and writes lsconv's inputs beside it: mic<S>.raw and
// inverse<S>.raw, on the full scale of 1.0.
bool Prepare(const std::string& dir, Length* l) {
  const std::string name = std::to_string(l->seconds);
  Sample ignored;
  const int status = MeasureChild({kMeasure, "-d", "loopback", "--length", name, "-o",
                                   "rec" + name + ".wav"},
                                  dir, "/dev/null", dir + "/out.txt", dir + "/err.txt",
                                  kAlsaConfigPath, kTimeoutSeconds, ignored);
  const std::string path = dir + "/rec" + name + ".wav";
  RecordingInfo info;
  std::vector<int32_t> mic, sync;
  std::string error;
  if (status != 0 || !ReadRecording(path, &info, nullptr, 0, nullptr, &error) ||
      (mic.resize(static_cast<size_t>(info.total_frames)),
       !ReadRecording(path, &info, mic.data(), info.total_frames, &sync, &error))) {
    fprintf(stderr, "quelmar-measure --length %s failed (exit status %d): %s%s\n", name.c_str(),
            status, error.c_str(), ReadWhole(dir + "/err.txt").c_str());
    return false;
  }
  l->frames = info.total_frames;
  const double scale = 1.0 / 8388608;  // 24-bit full scale
  std::vector<float> floats(mic.size());
  for (size_t i = 0; i < mic.size(); ++i) floats[i] = static_cast<float>(mic[i] * scale);
  std::vector<int32_t> sweep(static_cast<size_t>(info.sweep.sweep_frames));
  SweepSamples(info.sweep, info.sweep.lead_frames, info.sweep.sweep_frames, sweep.data());
  std::vector<float> inverse(sweep.rbegin(), sweep.rend());
  for (float& v : inverse) v = static_cast<float>(v * scale);
  return WriteFloats(dir + "/mic" + name + ".raw", floats) &&
         WriteFloats(dir + "/inverse" + name + ".raw", inverse);
}

// One run of each program on the recording of `l`; both must succeed.
bool RunBoth(const Options& o, const std::string& dir, const Length& l, Sample* ours,
             Sample* peer) {
  const std::string name = std::to_string(l.seconds);
  const int a = MeasureChild({o.analyzer, "rec" + name + ".wav", "-o", "response.txt"}, dir,
                             "/dev/null", dir + "/out.txt", dir + "/err.txt", kAlsaConfigPath,
                             kTimeoutSeconds, *ours);
  if (a != 0) {
    fprintf(stderr, "quelmar-analyze failed on %s s (exit status %d):\n%s", name.c_str(), a,
            ReadWhole(dir + "/err.txt").c_str());
    return false;
  }
  const int b = MeasureChild({o.lsconv, "mic" + name + ".raw", "inverse" + name + ".raw",
                              "impulse.raw"},
                             dir, "/dev/null", dir + "/out.txt", dir + "/err.txt",
                             kAlsaConfigPath, kTimeoutSeconds, *peer);
  unlink((dir + "/impulse.raw").c_str());
  if (b != 0) {
    fprintf(stderr, "%s failed on %s s (exit status %d):\n%s", o.lsconv.c_str(), name.c_str(), b,
            ReadWhole(dir + "/out.txt").c_str());
    if (b == 127) fprintf(stderr, "Install it with: apt-get install -y drc\n");
    return false;
  }
  return true;
}

bool ParseLengths(const char* text, std::vector<int>* out) {
  out->clear();
  for (const char* at = text; *at;) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(at, &end, 10);
    if (errno != 0 || end == at || v < 1 || v > 3600 || (*end != ',' && *end != '\0'))
      return false;
    out->push_back(static_cast<int>(v));
    at = *end == ',' ? end + 1 : end;
  }
  return !out->empty();
}

const char kUsage[] =
    "usage: bench_analyze_peer [--runs N] [--lengths S,S,...] [--analyzer PROGRAM]\n"
    "                          [--lsconv PROGRAM]\n"
    "  --runs N            measured runs of each (default 5, after one warm-up)\n"
    "  --lengths S,S,...   sweep lengths in seconds (default 1,10,60,300)\n"
    "  --analyzer PROGRAM  another build of quelmar-analyze (default the one built\n"
    "                      beside this benchmark)\n"
    "  --lsconv PROGRAM    the lsconv to compare with (default lsconv)\n";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int status = ParseBenchOptions(
      argc, argv, "bench_analyze_peer",
      {{"--runs", [&](const char* v) { return ParseCount(v, 1, &o.runs); }},
       {"--lengths", [&](const char* v) { return ParseLengths(v, &o.lengths); }},
       {"--analyzer", [&](const char* v) { return o.analyzer = v, true; }},
       {"--lsconv", [&](const char* v) { return o.lsconv = v, true; }}},
      kUsage);
  if (status >= 0) return status;
  if (!AbsoluteProgram("bench_analyze_peer", &o.analyzer) ||
      !AbsoluteProgram("bench_analyze_peer", &o.lsconv))
    return 1;
  const std::string dir = TemporaryFolder();
  if (dir.empty()) return 1;
  const std::string machine = MachineLine();
  std::vector<Length> lengths;
  for (int s : o.lengths) lengths.push_back(Length{s, 0, {}, {}});
  bool ok = true;
  for (Length& l : lengths) ok = ok && Prepare(dir, &l);
  // Warm-up, then each length in turn, so that a slow spell of the machine
  // weighs on both programs and every length alike.
  for (int i = 0; ok && i <= o.runs; ++i)
    for (Length& l : lengths) {
      Sample a, b;
      ok = ok && RunBoth(o, dir, l, &a, &b);
      if (ok && i > 0) l.ours.push_back(a), l.peer.push_back(b);
    }
  for (const Length& l : lengths)
    for (const char* f : {"rec%d.wav", "mic%d.raw", "inverse%d.raw"}) {
      char name[64];
      snprintf(name, sizeof name, f, l.seconds);
      unlink((dir + "/" + name).c_str());
    }
  for (const char* f : {"out.txt", "err.txt", "response.txt"}) unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
  if (!ok) return 1;

  fputs(machine.c_str(), stdout);
  printf("quelmar-analyze (default options) and lsconv on the same log-sweep recordings of\n"
         "quelmar-measure; %d runs of each after a warm-up, interleaved; medians\n\n",
         o.runs);
  printf("%-9s %10s | %-22s | %-22s | %s\n", "recording", "frames", "quelmar-analyze",
         "lsconv", "against lsconv");
  printf("%-9s %10s | %9s %12s | %9s %12s | %5s %8s\n", "", "", "CPU ms", "peak MiB", "CPU ms",
         "peak MiB", "CPU", "memory");
  bool met = true;
  for (Length& l : lengths) {
    const double cpu = Median(l.ours, &Sample::cpu_ms), peer = Median(l.peer, &Sample::cpu_ms);
    const double mib = Median(l.ours, &Sample::rss_mib), peer_mib = Median(l.peer, &Sample::rss_mib);
    const double limit = kBaseMiB + kBytesPerFrame * l.frames / 1048576.0;
    printf("%5d s   %10ld | %9.1f %12.1f | %9.1f %12.1f | %5.2f %8.2f%s\n", l.seconds, l.frames,
           cpu, mib, peer, peer_mib, cpu / peer, mib / peer_mib,
           mib <= limit ? "" : "  memory above its target");
    met = met && mib <= limit && (l.seconds < 10 || cpu / peer <= kRatioTarget);
  }
  printf("\nTargets from 10 s up: CPU at most %.1f of lsconv's (aim %.1f); peak memory at most\n"
         "%.0f bytes per recorded frame + %.0f MiB at every length.\n",
         kRatioTarget, kRatioAim, kBytesPerFrame, kBaseMiB);
  // The growth of the CPU time with the frames recorded, from 10 s (or the
  // shortest above it) to the longest.
  const Length* from = nullptr;
  for (const Length& l : lengths)
    if (!from && l.seconds >= 10) from = &l;
  const Length& to = lengths.back();
  if (from && to.frames > from->frames) {
    std::vector<Sample> a = from->ours, b = to.ours, c = from->peer, d = to.peer;
    const double span = std::log(static_cast<double>(to.frames) / from->frames);
    const double growth = std::log(Median(b, &Sample::cpu_ms) / Median(a, &Sample::cpu_ms)) / span;
    const double peer_growth =
        std::log(Median(d, &Sample::cpu_ms) / Median(c, &Sample::cpu_ms)) / span;
    printf("Growth of CPU time with the frames recorded, %d s to %d s: exponent %.2f (lsconv "
           "%.2f), target at most %.1f\n",
           from->seconds, to.seconds, growth, peer_growth, kGrowthTarget);
    met = met && growth <= kGrowthTarget;
  }
  printf("Targets %s\n", met ? "met" : "MISSED");
  return 0;
}
