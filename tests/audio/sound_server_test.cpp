// A whole measurement through a real sound server: a private PulseAudio
// daemon whose only sink is a null sink at 48000 Hz, with its monitor as the
// default source, reached through ALSA's pulse plugin behind a plug device.
// The run must end in time with its block appended; the sync delay and the
// xrun counts depend on the machine and are printed, not asserted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "background_process.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

#if defined(PULSEAUDIO_BIN) && defined(ALSA_PULSE_PLUGIN)

// Prints what the run reported of its timing.
void PrintSyncAndXruns(const std::string& out) {
  int sync_in = -1;
  long underruns = 0, overruns = 0;
  const size_t sync = out.find("Sync In = "), warning = out.find("Warning: ");
  if (sync != std::string::npos) sscanf(out.c_str() + sync, "Sync In = %d", &sync_in);
  if (warning != std::string::npos)
    sscanf(out.c_str() + warning, "Warning: %ld underruns and %ld", &underruns, &overruns);
  printf("sound server: Sync In = %d, %ld underruns, %ld overruns%s\n", sync_in, underruns,
         overruns, out.find("no sync pulse") != std::string::npos ? ", no sync pulse found" : "");
}

TEST(SoundServer, MeasurementOverPulseAudioEndsInTimeAndAppendsOneBlock) {
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

  std::string skip;
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
      skip = "the PulseAudio daemon did not start here; its log:\n" + ReadFile(log);
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
      EXPECT_EQ(r.exit_status, 0) << r.err;
      // One block, exactly the table the console showed.
      EXPECT_EQ(file.compare(0, 9, "Results:\n"), 0) << file;
      EXPECT_EQ(file.find("Results:", 1), std::string::npos) << file;
      EXPECT_NE(r.out.find("Analyzing data...\n" + file), std::string::npos) << r.out;
      EXPECT_TRUE(daemon.Running()) << ReadFile(log);
      PrintSyncAndXruns(r.out);
      if (!r.err.empty()) printf("standard error of the run:\n%s", r.err.c_str());
    }
  }  // the daemon is stopped here, also when an expectation failed
  RemoveTree(root);
  if (!skip.empty()) GTEST_SKIP() << skip;
}

#else

TEST(SoundServer, MeasurementOverPulseAudioEndsInTimeAndAppendsOneBlock) {
  GTEST_SKIP() << "pulseaudio or ALSA's pulse plugin was not found when the build was "
                  "configured; scripts/setup-deps installs both (pulseaudio, libasound2-plugins)";
}

#endif

}  // namespace
