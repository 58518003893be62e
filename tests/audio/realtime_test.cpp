// Whole measurements in real time. On the virtual card's real-time clock, ten
// runs in a row, with the machine as it is and with a busy loop on one core,
// must have no xrun and report exactly what the virtual clock reports for the
// same settings; a clock jump is counted. Through a real sound server (a
// private PulseAudio daemon whose only sink is a null sink at 48000 Hz, its
// monitor the default source, reached through ALSA's pulse plugin behind a
// plug device) the daemon must start and the run must end in time, find the
// sync pulse, meet no xrun and append its block; where the sync pulse arrives
// depends on the server's latency and is printed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "background_process.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

const std::string kRunning = "Running Test...\n";

// The underruns plus overruns a run's warning names (0 without one).
long Xruns(const std::string& out) {
  long underruns = 0, overruns = 0;
  const size_t at = out.find("Warning: ");
  if (at != std::string::npos)
    sscanf(out.c_str() + at, "Warning: %ld underruns and %ld", &underruns, &overruns);
  return underruns + overruns;
}

// Runs the program in a fresh folder; `file` is the result file it left.
struct Session {
  ProcessResult r;
  std::string file;
  std::vector<std::string> runs;  // each from "Running Test..." to the continue prompt
};

Session RunSession(const std::string& input) {
  const std::string dir = MakeTempDir();
  Session s{RunQuelmar(input, dir, 120000), "", {}};
  s.file = ReadFile(dir + "/sweep_out.txt");
  RemoveTree(dir);
  const std::string& out = s.r.out;
  for (size_t at = out.find(kRunning); at != std::string::npos; at = out.find(kRunning, at + 1)) {
    const size_t end = out.find(kContinue, at);
    s.runs.push_back(out.substr(at, end == std::string::npos ? end : end + kContinue.size() - at));
  }
  EXPECT_FALSE(s.r.timed_out);
  EXPECT_EQ(s.r.exit_status, 0);
  EXPECT_EQ(s.r.err, "");
  return s;
}

void ExpectTenRunsEqualVirtualClock(const char* conditions) {
  // The virtual-clock loopback has the same latency, 64 frames.
  const Session ref = RunSession("c loopback t 2 r c x");
  ASSERT_EQ(ref.runs.size(), 1u) << ref.r.out;
  ASSERT_NE(ref.runs[0].find("Sync In = 24096 samples\n"), std::string::npos) << ref.runs[0];
  ASSERT_EQ(ref.file.compare(0, 9, "Results:\n"), 0) << ref.file;
  std::string input = "c realtime t 2", blocks;
  for (int i = 0; i < 10; ++i) input += " r c", blocks += ref.file;
  const Session s = RunSession(input + " x");
  ASSERT_EQ(s.runs.size(), 10u) << s.r.out;
  int equal = 0;
  long xruns = 0;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s.runs[i], ref.runs[0]) << "run " << i + 1;
    equal += s.runs[i] == ref.runs[0];
    xruns += Xruns(s.runs[i]);
  }
  EXPECT_EQ(s.file, blocks);
  printf("realtime, %s: %d of 10 runs equal to the virtual clock, %ld xruns in all\n",
         conditions, equal, xruns);
}

TEST(RealTimeRuns, TenRunsMatchTheVirtualClockIdleAndWithOneCoreBusy) {
  ExpectTenRunsEqualVirtualClock("machine as it is");
  BackgroundProcess busy({"sh", "-c", "while :; do :; done"});
  ExpectTenRunsEqualVirtualClock("one core busy");
  EXPECT_TRUE(busy.Running()) << "the busy loop ended before the runs did";
}

// The clock jumps a second, more than any buffer holds: one underrun and one
// overrun are counted and named, and the run still completes.
TEST(RealTimeRuns, StallIsCountedAndTheRunCompletes) {
  const Session s = RunSession("c stall t 2 r c x");
  ASSERT_EQ(s.runs.size(), 1u) << s.r.out;
  const std::string warning = kRunning + "Warning: 1 underruns and 1 overruns during the test; "
                                         "the alignment and the results may be wrong.\n";
  EXPECT_EQ(s.runs[0].substr(0, warning.size()), warning);
  EXPECT_NE(s.runs[0].find("Analyzing data...\n"), std::string::npos);
  EXPECT_EQ(s.file.compare(0, 9, "Results:\n"), 0) << s.file;
}

TEST(SoundServer, MeasurementOverPulseAudioEndsInTimeAndAppendsOneBlock) {
#if !defined(PULSEAUDIO_BIN) || !defined(ALSA_PULSE_PLUGIN)
  GTEST_SKIP() << "pulseaudio or ALSA's pulse plugin is not installed on this machine (a build "
                  "configured by hand); scripts/test installs both (pulseaudio, libasound2-plugins)";
#else
  // The daemon and the program get their own home, runtime and configuration
  // folders, so nothing of the machine's own sound set-up is read or changed.
  const std::string root = MakeTempDir();
  const std::string home = root + "/home", runtime = root + "/runtime", work = root + "/run";
  const std::string socket = root + "/native", script = root + "/server.pa";
  const std::string alsa_conf = root + "/pulse-alsa.conf", log = root + "/daemon.log";
  ASSERT_TRUE(mkdir(home.c_str(), 0700) == 0 && mkdir(runtime.c_str(), 0700) == 0 &&
              mkdir(work.c_str(), 0755) == 0);
  ASSERT_TRUE(WriteFile(script,
                        "load-module module-null-sink sink_name=quelmar_null rate=48000 "
                        "channels=2\n"
                        "set-default-sink quelmar_null\n"
                        "set-default-source quelmar_null.monitor\n"
                        "load-module module-native-protocol-unix socket=" +
                            socket + " auth-anonymous=1\n"));
  ASSERT_TRUE(WriteFile(root + "/client.conf", "autospawn = no\n"));
  ASSERT_TRUE(WriteFile(alsa_conf, "pcm.pulseplug { type plug slave.pcm { type pulse } }\n"));
  const std::vector<std::string> env = {
      "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + home + "/.config",
      "PULSE_CLIENTCONFIG=" + root + "/client.conf", "PULSE_SERVER=unix:" + socket};

  {
    BackgroundProcess daemon({PULSEAUDIO_BIN, "-n", "-F", script, "--exit-idle-time=-1",
                              "--daemonize=no", "--disallow-exit"},
                             env, log);
    // Up to ten seconds for the daemon's socket, unless the daemon ends first.
    struct stat st;
    bool up = false;
    for (int i = 0; i < 200 && daemon.Running() && !(up = stat(socket.c_str(), &st) == 0); ++i)
      usleep(50 * 1000);
    if (!up) {
      ADD_FAILURE() << "the PulseAudio daemon did not start; its log:\n" << ReadFile(log);
    } else {
      ProcessOptions opts;
      opts.input = "c pulseplug t 1 r c x";
      opts.cwd = work;
      opts.timeout_ms = 30000;
      opts.env = env;
      opts.env.push_back(std::string("ALSA_CONFIG_PATH=") + QUELMAR_ALSA_CONFIG_PATH + ":" +
                         alsa_conf);
      const ProcessResult r = RunProcess({QUELMAR_BIN}, opts);
      const std::string file = ReadFile(work + "/sweep_out.txt");
      EXPECT_FALSE(r.timed_out) << "the run did not end within 30 seconds";
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.err, "");
      // One block, exactly the table the console showed.
      EXPECT_EQ(file.compare(0, 9, "Results:\n"), 0) << file;
      EXPECT_EQ(file.find("Results:", 1), std::string::npos) << file;
      EXPECT_NE(r.out.find("Analyzing data...\n" + file), std::string::npos) << r.out;
      EXPECT_TRUE(daemon.Running()) << ReadFile(log);
      int sync_in = -1;
      const size_t sync = r.out.find("Sync In = ");
      if (sync != std::string::npos) sscanf(r.out.c_str() + sync, "Sync In = %d", &sync_in);
      EXPECT_GT(sync_in, 0) << r.out;
      EXPECT_EQ(r.out.find("no sync pulse"), std::string::npos) << r.out;
      EXPECT_EQ(Xruns(r.out), 0) << r.out;
      printf("sound server: Sync In = %d, %ld xruns\n", sync_in, Xruns(r.out));
    }
  }  // the daemon is stopped here, also when an expectation failed
  RemoveTree(root);
#endif
}

}  // namespace
