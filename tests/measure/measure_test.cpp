// quelmar-measure on the virtual card's home, its separate microphones and a
// distorting speaker, analysed by quelmar-analyze: the response against the
// card's own model smoothed alike (1/12 octave), the clock drift against the
// one set, and the signal-to-noise lines.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "dsp/input_one.h"
#include "support/card_model.h"
#include "support/transcript.h"

namespace {

// Each run's response within its limits ({from Hz, to Hz, dB}), the drift
// set within 1 ppm and the bass signal-to-noise of home's noise as the card
// sets it. A single sweep's bass is as exact as home's noise lets it be; in
// a quiet home the drift's correction leaves the bass exact too.
TEST(Measure, ResponsesAgainstTheCardsModels) {
  const double level = std::pow(10, -12 / 20.0);  // the default sweep's peak
  const std::map<std::string, std::vector<double>> power = {
      {"home", CardPower(CardRoomOfRoom(0.387347, true), level)},
      {"distortion", CardPower(CardRoomOfRoom(1.206261, false), level)},
      {"flat", CardPower(CardRoom(), level)}};
  const std::vector<std::vector<double>> kHome = {{20, 100, 1.0}, {100, 14000, 0.3}};
  const struct {
    std::vector<std::string> args;
    const char* model;
    double ppm;  // the drift set; NAN: loopback timing
    std::vector<std::vector<double>> limits;
    bool home_noise = true;
    std::vector<std::string> analyze = {};  // more of quelmar-analyze's options
  } cases[] = {
      {{"-d", "home"}, "home", NAN, kHome},
      {{"-d", "home", "--repeat", "4"}, "home", NAN, {{20, 100, 0.5}, {100, 14000, 0.3}}},
      {{"-d", "t_distortion3"}, "distortion", NAN, {{20, 20000, 0.05}}, false},
      {{"-d", "fault_format_capture", "--sweep", "linear"}, "flat", NAN, {{20, 20000, 0.02}}, false},
      // Averaged repeats leave copies of the response a sweep apart, cut also without noise.
      {{"-d", "loopback", "--sweep", "linear", "--repeat", "2", "--length", "2", "--tail", "1"},
       "flat", NAN, {{20, 20000, 0.02}}, false},
      {{"-d", "loopback", "--sweep", "linear", "--repeat", "2", "--length", "2", "--tail", "1"},
       "flat", NAN, {{20, 14000, 0.15}}, false, {"--window", "3000"}},
      {{"-d", "speakers", "--capture", "usbmic"}, "home", 80, kHome},
      {{"-d", "speakers", "--capture", "t_usbmic_slow"}, "home", -100, kHome},
      {{"-d", "speakers", "--capture", "t_usbmic_fast"}, "home", 100, kHome},
      {{"-d", "speakers", "--capture", "t_usbmic_quiet_slow"}, "home", -100, {{25, 14000, 0.3}}, false},
      {{"-d", "speakers", "--capture", "t_usbmic_quiet_fast"}, "home", 100, {{25, 14000, 0.3}}, false},
  };
  const std::string dir = MakeTempDir();
  for (const auto& c : cases) {
    const std::string name = c.args[1] + (c.args.size() > 2 ? " " + c.args[2] + " " + c.args[3] : "");
    SCOPED_TRACE(name);
    std::vector<std::string> argv = {QUELMAR_MEASURE_BIN, "-o", "m.wav"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult m = RunIn(dir, argv);
    ASSERT_EQ(m.exit_status, 0) << m.err;
    std::vector<std::string> analyze = {QUELMAR_ANALYZE_BIN, "m.wav", "-o", "r.txt"};
    analyze.insert(analyze.end(), c.analyze.begin(), c.analyze.end());
    const ProcessResult a = RunIn(dir, analyze);
    ASSERT_EQ(a.exit_status, 0) << a.err;
    printf("%s%s", m.out.c_str(), a.out.c_str());
    double drift = NAN, snr = 0, bass = 0;
    sscanf(m.out.c_str(), "Recording written to m.wav\nClock drift: %lf ppm", &drift);
    ASSERT_EQ(sscanf(m.out.c_str() + m.out.find("Signal to noise: "),
                     "Signal to noise: %lf dB (20-200 Hz: %lf dB)\n", &snr, &bass), 2);
    EXPECT_TRUE(!c.home_noise || std::fabs(bass - 20) < 1) << bass;
    EXPECT_EQ(std::isnan(drift), std::isnan(c.ppm));
    EXPECT_TRUE(std::isnan(c.ppm) || std::fabs(drift - c.ppm) <= 1.0) << drift;
    EXPECT_EQ(a.out.find("Time of flight: not measured (no loopback on input 2)\n") == std::string::npos,
              std::isnan(c.ppm));
    for (const std::vector<double>& l : c.limits)
      EXPECT_LE(LargestError(name, ReadFile(dir + "/r.txt"), power.at(c.model), l[0], l[1]), l[2]);
  }
  RemoveTree(dir);
}

// The microphone's warnings, each on a device that deserves it; the
// recording is kept all the same.
TEST(Measure, WarnsOfTheMicrophone) {
  const std::string dir = MakeTempDir();
  const struct {
    const char *device, *level;
    std::string warning;
  } cases[] = {{"deadmic", "-12", kBarelyHeardText}, {"clipping", "-3", kClippedText},
               {"noisy", "-12", "the bass (20-200 Hz) stands only 11.8 dB above the background"}};
  for (const auto& c : cases) {
    const ProcessResult m =
        RunIn(dir, {QUELMAR_MEASURE_BIN, "-d", c.device, "--length", "1", "--level", c.level});
    EXPECT_EQ(m.exit_status, 0) << c.device;
    EXPECT_NE(m.err.find("Warning: " + c.warning), std::string::npos) << c.device << m.err;
    EXPECT_EQ(m.out.rfind("Recording written to sweep_00", 0), 0u) << m.out;
  }
  RemoveTree(dir);
}

}  // namespace
