// Whole measurements through the built program, real alsa-lib and the
// virtual sound card: console output and result file compared exactly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

namespace {

// What the program should report for a recording that is an exact delayed
// copy of the sweep, computed here from the signal definitions: a linear
// sweep whose phase grows at the rate of its frequency table, 24-bit samples
// at half scale, mean absolute value per band relative to the loudest band.
struct Expected {
  std::string report;   // the results table, as appended to the file
  std::string console;  // report, missing-data lines and channel 1 level
};

struct Plan {
  double q, start;
  int bands;
};

Expected ExpectedForFlatCard(const Plan& plan, double seconds) {
  std::vector<double> lo(std::max(plan.bands, 1)), hi(std::max(plan.bands, 1));
  int32_t x = static_cast<int32_t>(plan.start);
  for (int k = 0; k < plan.bands; ++k) {
    double next = x / plan.q + x;
    x = next >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(next);
    hi[k] = x;
    lo[k] = k == 0 ? plan.start : hi[k - 1];
  }
  const double end = plan.bands > 0 ? hi[plan.bands - 1] : static_cast<int32_t>(plan.start);
  const long n = static_cast<long>(seconds * 48000);
  const long total = n + 48000;
  const double step = (end - plan.start) / total, w = 6.28318 / 48000;
  std::vector<double> sum(plan.bands), count(plan.bands);
  double peak = 0;
  int m = 0;
  for (long i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    const double f = plan.start + t * step;
    const double phase = w * (plan.start * t + 0.5 * step * t * t);
    const double sample = std::fabs(std::trunc(std::sin(phase) * 4194304.0));
    while (m < plan.bands - 1 && f > hi[m]) ++m;
    if (plan.bands == 0) continue;
    sum[m] += sample;
    count[m] += 1;
    peak = std::max(peak, sample);
  }
  double reference = 0;
  for (int k = 0; k < plan.bands; ++k)
    if (sum[k] > 0) reference = std::max(reference, sum[k] / count[k]);
  Expected e;
  e.report = "Results:\nBand\tRange (Hz)\tdB\n";
  std::string missing;
  char row[256];
  for (int k = 0; k < plan.bands; ++k) {
    const double level = sum[k] > 0 ? 20 * std::log10(sum[k] / count[k] / reference) : -144.0;
    snprintf(row, sizeof row, "%i\t%.0f\t%.0f\t%.1f\n", k + 1, lo[k], hi[k], level);
    e.report += row;
    if (count[k] == 0) missing += "Band " + std::to_string(k + 1) + " is missing data\n";
  }
  snprintf(row, sizeof row, "Ch 1 (sweep): Return Level = %.1f dB\n",
           20 * std::log10(peak / 8388608.0));
  e.console = e.report + missing + row;
  return e;
}

// The console lines of one clean run on a card with the given latency.
std::string RunLines(int latency, const Expected& e) {
  return "Running Test...\n"
         "Ch 2 (sync): Return Level = -6.0 dB\n"
         "Sync Out = 24032 \t Sync In = " +
         std::to_string(24032 + latency) + " samples\nAnalyzing data...\n" + e.console +
         kContinue;
}

// The recording a 1-second run on the loopback keeps: every frame of both
// inputs. Frame j holds what was played at j - 64 (the sweep from frame 24000
// on input 1, the 1 kHz sync cycle at frames 24000 to 24047 on input 2),
// except the first period, recorded before playback starts, and the last 1
// to 1024 frames, which no period covers: those are silent.
void ExpectRecordingIsPlaybackDelayed(const std::string& wav) {
  const long total = 96000, recorded = (total - 1) / 1024 * 1024;
  const size_t data = wav.find("data") + 8;
  ASSERT_EQ(wav.size() - data, static_cast<size_t>(total) * 6);
  const double w = 6.28318 / 48000, step = (16175.0 - 18.0) / total;
  long wrong = 0;
  for (long j = 0; j < total; ++j) {
    const double t = j - 64 - 24000, p = j - 64;
    double sweep = t >= 0 && t < 48000 ? std::sin(w * (18.0 * t + 0.5 * step * t * t)) : 0;
    double pulse = p >= 24000 && p < 24048 ? std::sin((p - 500) * ((6.28318 / 48000) * 1000)) : 0;
    if (j < 1024 || j >= recorded) sweep = pulse = 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(wav.data()) + data + 6 * j;
    for (int c = 0; c < 2; ++c, b += 3) {
      const int32_t v = b[0] | b[1] << 8 | b[2] << 16;
      wrong += (v & 0x800000 ? v - 0x1000000 : v) != std::trunc((c ? pulse : sweep) * 4194304.0);
    }
  }
  EXPECT_EQ(wrong, 0);
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }
  ProcessResult Quelmar(const std::string& input) {
    return RunQuelmar(input, dir_);
  }
  std::string ResultFile() { return ReadFile(dir_ + "/sweep_out.txt"); }
  std::string dir_;
};

TEST_F(RunTest, CleanRunOnLoopbackTwiceAppendsTwoBlocks) {
  Status s, dev = s, one = s;
  dev.device = one.device = "loopback";
  one.length = "1.0";
  const Expected e = ExpectedForFlatCard({4.0, 18.0, 31}, 1.0);
  ProcessResult r = Quelmar("c loopback t 1 r c r zz c x");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kWarningBox + Cycle(s) + Line("Enter soundcard device name") + Cycle(dev) +
                       Line("Enter sweep length") + Cycle(one) + RunLines(64, e) + Cycle(one) +
                       RunLines(64, e) + kContinue + Cycle(one));
  EXPECT_EQ(ResultFile(), e.report + e.report);
  ExpectRecordingIsPlaybackDelayed(ReadFile(dir_ + "/sweep_001.wav"));
}

// With standard error on a terminal, a run on the real-time card shows its
// progress there, redrawn in place and erased at the end; standard output
// stays exactly as without a terminal.
TEST_F(RunTest, ProgressOnATerminalIsErasedAndLeavesOutputAlone) {
  Status s, dev = s, one = s;
  dev.device = one.device = "realtime";
  one.length = "1.0";
  ASSERT_TRUE(WriteFile(dir_ + "/in.txt", "c realtime t 1 r c x"));
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open((dir_ + "/in.txt").c_str(), O_RDONLY), 0);
    dup2(open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT, 0644), 1);
    dup2(slave, 2);
    setenv("ALSA_CONFIG_PATH", QUELMAR_ALSA_CONFIG_PATH, 1);
    if (chdir(dir_.c_str()) == 0) execl(QUELMAR_BIN, QUELMAR_BIN, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(slave);
  std::string tty;
  char buf[4096];
  pollfd p{master, POLLIN, 0};
  for (ssize_t n; poll(&p, 1, 30000) > 0 && (n = read(master, buf, sizeof buf)) > 0;)
    tty.append(buf, n);
  close(master);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir_ + "/out.txt"),
            kWarningBox + Cycle(s) + Line("Enter soundcard device name") + Cycle(dev) +
                Line("Enter sweep length") + Cycle(one) +
                RunLines(64, ExpectedForFlatCard({4.0, 18.0, 31}, 1.0)) + Cycle(one));
  EXPECT_EQ(tty.rfind("\rPlaying 0.0 s of 2.0 s", 0), 0u) << tty;
  EXPECT_NE(tty.find(" of 2.0 s, "), std::string::npos) << tty;  // a frequency is shown
  const std::string erase = "\r" + std::string(48, ' ') + "\r";
  EXPECT_EQ(tty.substr(tty.size() - std::min(tty.size(), erase.size())), erase);
}

// Each on a card with non-interleaved access and on one with interleaved
// access only.
TEST_F(RunTest, DefaultEmptyAndPresetRuns) {
  const struct {
    const char* input;
    Plan plan;
    double seconds;
  } runs[] = {
      {"r c x", {4.0, 18.0, 31}, 10.0},  // every band receives data
      {"t 0 r c x", {4.0, 18.0, 31}, 0.0},  // no band does
      {"p 3 t 2 r c x", {6.0, 18.0, 20}, 2.0},
  };
  for (const char* device : {"loopback", "interleaved"})
  for (const auto& run : runs) {
    const std::string input = std::string("c ") + device + " " + run.input;
    SCOPED_TRACE(input);
    const Expected e = ExpectedForFlatCard(run.plan, run.seconds);
    ProcessResult r = Quelmar(input);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find(RunLines(64, e)), std::string::npos) << r.out;
    EXPECT_EQ(ResultFile(), e.report);
    EXPECT_EQ(r.out.find("missing") == std::string::npos, run.seconds == 10.0);
    RemoveTree(dir_ + "/sweep_out.txt");
  }
}

// Injected device and result-file faults, one table: for each, the message,
// the exit status, and that the blocks already in the result file survive
// byte for byte (plus one new block when the run completes).
namespace faults {

const std::string kEarlier = [] {
  const Expected e = ExpectedForFlatCard({2.0, 18.0, 8}, 1.0);
  return e.report + e.report;
}();

std::string Err(const char* format, int error) {
  char text[256];
  snprintf(text, sizeof text, format, strerror(error));
  return text;
}

enum class Outcome { kFails, kCompletes, kCompletesExact };

struct Case {
  const char* device;
  Outcome outcome;
  std::string out_line;  // a line the console must show ("" for none)
  std::string err;       // the whole standard error
};

const std::string kFaint =
    "dB\nWarning: the sweep on input 1 barely rises above the background; check the microphone, "
    "its phantom power and the input gain.\n" + kContinue;

TEST(Faults, DeviceFaultsKeepTheResultFile) {
  const Case cases[] = {
      {"nosuchdevice", Outcome::kFails, "", Err("Playback device could not be opened: %s\n", ENOENT)},
      {"fault_open", Outcome::kFails, "", Err("Playback device could not be opened: %s\n", EBUSY)},
      {"fault_open_capture", Outcome::kFails, "", Err("unable to open pcm record device: %s\n", EBUSY)},
      {"fault_format", Outcome::kFails, "", Err("Problem setting playback format: %s\n", EINVAL)},
      {"fault_format_capture", Outcome::kFails, "", Err("Problem setting recording format: %s\n", EINVAL)},
      {"fault_params", Outcome::kFails, "", Err("Problem setting playback parameters: %s\n", EINVAL)},
      {"fault_access", Outcome::kFails, "", Err("Problem setting playback parameters: %s\n", EINVAL)},
      {"fault_params_capture", Outcome::kFails,
       Err("Could not set record hardware parameters: %s\n", EINVAL), ""},
      {"enodev", Outcome::kFails, "Running Test...\n", Err("Playback failed during the test: %s\n", ENODEV)},
      {"frozen", Outcome::kFails, "Running Test...\n",
       "Recording failed during the test: the sound device stopped responding\n"},
      {"period1000", Outcome::kCompletesExact, "Driver did not return requested period size.\n", ""},
      {"rate44100", Outcome::kCompletesExact,
       "Driver did not return requested rate: got 44100 Hz instead of 48000 Hz.\nThe band "
       "frequencies are off by that ratio: every band is 8.1 % lower than labelled. Use a "
       "plughw: device, which converts the rate.\nRunning Test...\n",
       ""},
      {"underrun", Outcome::kCompletes,
       "Warning: 1 underruns and 0 overruns during the test; the alignment and the results may be "
       "wrong.\n",
       ""},
      {"stall_capture", Outcome::kCompletes,
       "Warning: 0 underruns and 1 overruns during the test; the alignment and the results may be "
       "wrong.\n",
       ""},
      {"nocable", Outcome::kCompletes,
       "Sync Out = 24032 \t Sync In = 0 samples\n"
       "Warning: no sync pulse found on input 2; output 2 must be wired to input 2.\n",
       ""},
      // Input 1 faults: a warning right after the channel 1 return level.
      {"deadmic", Outcome::kCompletes, kFaint, ""},
      {"noisy", Outcome::kCompletes, kFaint, ""},  // peak well above -60 dBFS, but not the RMS
      {"clipping", Outcome::kCompletes,
       "Ch 1 (sweep): Return Level = 0.0 dB\nWarning: input 1 clipped during the sweep; lower "
       "the output volume or the input gain.\n" + kContinue,
       ""},
  };
  // Three seconds: the injected faults strike at frame 100000.
  const Expected clean = ExpectedForFlatCard({4.0, 18.0, 31}, 3.0);
  int injected = 0, blocks_intact = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    const std::string dir = MakeTempDir();
    // A card on the real-time clock can meet a genuine extra xrun on a busy
    // machine; it gets three tries at the expected output.
    const bool realtime = std::string(c.device).rfind("stall", 0) == 0;
    ProcessResult r;
    for (int attempt = 0; attempt < (realtime ? 3 : 1); ++attempt) {
      ASSERT_TRUE(WriteFile(dir + "/sweep_out.txt", kEarlier));
      r = RunQuelmar(std::string("c ") + c.device + " t 3 r c x", dir);
      if (r.out.find(c.out_line) != std::string::npos) break;
    }
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, c.err);
    if (!c.out_line.empty()) {
      EXPECT_NE(r.out.find(c.out_line), std::string::npos) << r.out;
    }
    const std::string file = ReadFile(dir + "/sweep_out.txt");
    ++injected;
    if (file.compare(0, kEarlier.size(), kEarlier) == 0) blocks_intact += 2;
    switch (c.outcome) {
      case Outcome::kFails:
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(file, kEarlier);
        EXPECT_EQ(r.out.find("Results:"), std::string::npos);
        break;
      case Outcome::kCompletesExact:
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(file, kEarlier + clean.report);
        EXPECT_NE(r.out.find("Sync In = 24096 samples\n"), std::string::npos);
        break;
      case Outcome::kCompletes:
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(file.compare(kEarlier.size(), 9, "Results:\n"), 0);
        break;
    }
    RemoveTree(dir);
  }
  EXPECT_EQ(blocks_intact, 2 * injected);
  printf("fault totals: %d device faults injected, %d earlier result blocks verified intact\n",
         injected, blocks_intact);
}

// Root may write anywhere: where the tests run as root, the program runs
// without the capabilities that bypass file permissions, so that a
// read-only folder is read-only for it too.
std::vector<std::string> WithoutOverride() {
  if (geteuid() != 0) return {};
  return {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--"};
}

TEST(Faults, UnwritableResultFileIsReportedAndTheRunGoesOn) {
  const Expected clean = ExpectedForFlatCard({4.0, 18.0, 31}, 1.0);
  const struct {
    const char* what;
    std::function<void(const std::string& dir)> make;
    std::string err;
    const char* shell = nullptr;  // runs the program as "$@"
  } cases[] = {
      {"a folder in its place", [](const std::string& d) { mkdir((d + "/sweep_out.txt").c_str(), 0755); },
       Err("Could not open sweep_out.txt: %s\n", EISDIR)},
      {"a full disk", [](const std::string& d) { symlink("/dev/full", (d + "/sweep_out.txt").c_str()); },
       Err("Could not write sweep_out.txt: %s\n", ENOSPC)},
      {"a read-only folder",
       [](const std::string& d) {
         WriteFile(d + "/sweep_out.txt", kEarlier);
         chmod((d + "/sweep_out.txt").c_str(), 0444);
         chmod(d.c_str(), 0555);
       },
       // The run's recording cannot be kept there either.
       Err("Could not open sweep_out.txt: %s\n", EACCES) +
           Err("Could not write sweep_001.wav: %s\n", EACCES)},
      {"a FIFO with no reader", [](const std::string& d) { mkfifo((d + "/sweep_out.txt").c_str(), 0644); },
       Err("Could not open sweep_out.txt: %s\n", ENXIO)},
      // A file size limit of 10240 bytes cuts the write short; the message
      // must not land in the result file, opened where standard error was.
      {"standard error closed",
       [](const std::string& d) {
         std::string blocks;
         while (blocks.size() < 9800) blocks += kEarlier;
         WriteFile(d + "/sweep_out.txt", blocks);
       },
       "", "trap '' XFSZ; ulimit -f 20; exec \"$@\" 2>&-"},
  };
  int injected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = MakeTempDir();
    c.make(dir);
    // Only a regular file has content to keep (/dev/full reads for ever).
    struct stat st;
    const bool regular = stat((dir + "/sweep_out.txt").c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string before = regular ? ReadFile(dir + "/sweep_out.txt") : "";
    std::vector<std::string> argv = WithoutOverride();
    argv.push_back(QUELMAR_BIN);
    if (c.shell) argv.insert(argv.begin(), {"/bin/sh", "-c", c.shell, "sh"});
    ProcessResult r = RunIn(dir, argv, "c loopback t 1 r c x");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_NE(r.out.find(clean.console + kContinue), std::string::npos);
    if (regular) {
      EXPECT_EQ(ReadFile(dir + "/sweep_out.txt"), before);
    }
    ++injected;
    chmod(dir.c_str(), 0755);
    RemoveTree(dir);
  }
  printf("fault totals: %d result-file faults injected\n", injected);
}

// A run appends only once another writer has let go of the file's lock, so
// that undoing a failed write cannot cut off what the other appended. The
// other writer holds the lock until the program waits for it ("->" in
// /proc/locks), or three seconds, then appends a line of its own.
TEST(Faults, ResultFileLockIsWaitedFor) {
  const std::string dir = MakeTempDir(), file = dir + "/sweep_out.txt";
  ASSERT_TRUE(WriteFile(file, kEarlier));
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const pid_t other = fork();
  for (int i = 0; other == 0 && i < 300 && ReadFile("/proc/locks").find("->") == std::string::npos; ++i)
    usleep(10000);
  if (other == 0) _exit(write(fd, "other\n", 6) == 6 ? 0 : 1);
  close(fd);
  EXPECT_EQ(RunQuelmar("c loopback t 0 r c x", dir).exit_status, 0);
  waitpid(other, nullptr, 0);
  EXPECT_EQ(ReadFile(file), kEarlier + "other\n" + ExpectedForFlatCard({4.0, 18.0, 31}, 0.0).report);
  RemoveTree(dir);
}

}  // namespace faults

}  // namespace
