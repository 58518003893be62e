// quelmar-analyze's --decay, --waterfall and --distortion on recordings that
// quelmar-measure made on the virtual card, against the card's own models:
// a tail of known decay with a bass mode in home's background noise, and a
// speaker of known second- and third-order terms in the room.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <sstream>

#include "formats/distortion_file.h"
#include "support/card_model.h"
#include "support/transcript.h"

namespace {

const double kRate = 48000;

// The tab-separated rows that follow the line `columns` in `text`.
std::vector<std::vector<std::string>> Rows(const std::string& text, const std::string& columns) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text.substr(std::min(text.size(), text.find(columns + "\n"))));
  std::string line, field;
  for (std::getline(in, line); std::getline(in, line) && isdigit(line[0]);)
    for (std::istringstream fields((rows.emplace_back(), line)); std::getline(fields, field, '\t');)
      rows.back().push_back(field);
  return rows;
}

// The EDT of h (the direct sound at 0) in the octave band around fc: h through
// the third-order Butterworth band-pass with -3 dB at fc 10^(+-0.15), run
// backwards in time (by FFT); its square integrated backwards from where it
// has died away; the least-squares line over the first 10 dB, taken to 60 dB.
double ModelEdt(const std::vector<double>& h, double fc) {
  const long n = 1L << 19;
  std::vector<double> y(h);
  y.resize(n, 0.0);
  std::vector<std::complex<double>> x(n / 2 + 1);
  auto* c = reinterpret_cast<fftw_complex*>(x.data());
  fftw_plan plans[2] = {fftw_plan_dft_r2c_1d(n, y.data(), c, FFTW_ESTIMATE),
                        fftw_plan_dft_c2r_1d(n, c, y.data(), FFTW_ESTIMATE)};
  fftw_execute(plans[0]);
  x[0] = 0;
  for (long k = 1; k <= n / 2; ++k) {
    const std::complex<double> s(0, (k * kRate / n / fc - fc * n / (k * kRate)) / 0.70459);
    x[k] *= std::conj(1.0 / ((s + 1.0) * (s * s + s + 1.0)));
  }
  fftw_execute(plans[1]);
  for (fftw_plan p : plans) fftw_destroy_plan(p);
  std::vector<double> e(n / 2 + 1, 0.0);
  for (long i = n / 2 - 1; i >= 0; --i) e[i] = y[i] * y[i] + e[i + 1];
  double sx = 0, sy = 0, sxx = 0, sxy = 0, m = 0;
  for (long i = 0; e[i] >= 0.1 * e[0]; ++i, ++m) {
    const double db = 10 * std::log10(e[i] / e[0]);
    sx += i, sy += db, sxx += 1.0 * i * i, sxy += i * db;
  }
  return -60 / ((m * sxy - sx * sy) / (m * sxx - sx * sx)) / kRate;
}

ProcessResult MeasureAndAnalyze(const std::string& dir, const std::vector<std::string>& measure,
                                std::vector<std::string> analyze) {
  std::vector<std::string> argv = {QUELMAR_MEASURE_BIN, "-o", "m.wav"};
  argv.insert(argv.end(), measure.begin(), measure.end());
  EXPECT_EQ(RunIn(dir, argv).exit_status, 0);
  analyze.insert(analyze.begin(), {QUELMAR_ANALYZE_BIN, "m.wav"});
  return RunIn(dir, analyze);
}

const char kDecayColumns[] = "Band (Hz)\tEDT\tT20\tT30";

// t_decay_noisy: a unit direct sound and a 1.2 s tail as strong from 960
// frames on, through a 40 Hz mode (+10 dB, Q 20), in home's background noise.
// T20 and T30 within 5 % of the tail's time, EDT within 10 % of the model's
// own, the mode's decay within 10 % of its poles'; the waterfall drawn.
TEST(Room, DecayTimesModeAndWaterfallOfATailInHomesNoise) {
  const std::string dir = MakeTempDir();
  const ProcessResult a = MeasureAndAnalyze(dir, {"-d", "t_decay_noisy"},
                                            {"--decay-file", "d.txt", "--waterfall", "w.txt"});
  ASSERT_EQ(a.exit_status, 0) << a.err;
  EXPECT_EQ(Rows(ReadFile(dir + "/d.txt"), std::string("* ") + kDecayColumns),
            Rows(a.out, kDecayColumns));
  Biquad mode = MakeBiquad({FilterType::kPeak, 40, 10, 20}, kRate);
  const double mode_t60 = 3 * std::log(10.0) / (-std::log(std::sqrt(mode.a2)) * kRate);
  std::vector<double> h = Tail(1.2, 0, 960, 2 ^ 0x7461696C);
  h[0] = 1;
  for (double& v : h) v = BiquadStep(&mode, v);
  int bands = 0;
  for (const auto& row : Rows(a.out, kDecayColumns)) {
    const double band = std::stod(row[0]);
    if (band < 125 || band > 4000) continue;
    const double t[3] = {std::stod(row[1]), std::stod(row[2]), std::stod(row[3])};
    const double edt = ModelEdt(h, 1000 * std::pow(10, 0.3 * std::round(std::log2(band / 1000))));
    printf("%g Hz: EDT %+.1f %% of the model's %.3f s, T20 %+.1f %%, T30 %+.1f %%\n", band,
           100 * (t[0] / edt - 1), edt, 100 * (t[1] / 1.2 - 1), 100 * (t[2] / 1.2 - 1));
    EXPECT_TRUE(std::fabs(t[0] / edt - 1) <= 0.1 && std::fabs(t[1] / 1.2 - 1) <= 0.05 &&
                std::fabs(t[2] / 1.2 - 1) <= 0.05) << band;
    ++bands;
  }
  EXPECT_EQ(bands, 6);
  const auto modes = Rows(a.out, "Frequency (Hz)\tLevel (dB)\tDecay (s)");
  ASSERT_FALSE(modes.empty());
  printf("mode %s Hz: decay %s s, poles %.3f s\n", modes[0][0].c_str(), modes[0][2].c_str(), mode_t60);
  EXPECT_NEAR(std::stod(modes[0][0]), 40, 1);
  EXPECT_NEAR(std::stod(modes[0][2]), mode_t60, 0.1 * mode_t60);
  EXPECT_EQ(RunIn(dir, {QUELMAR_PLOT_BIN, "w.txt"}).exit_status, 0);
  EXPECT_EQ(RunIn(dir, {"/usr/bin/xmllint", "--noout", "w.svg"}).exit_status, 0);
  EXPECT_EQ(RunIn(dir, {"/usr/bin/rsvg-convert", "w.svg", "-o", "w.png"}).exit_status, 0);
  EXPECT_EQ(ReadFile(dir + "/w.png").substr(1, 3), "PNG");
  RemoveTree(dir);
}

// A room that rings for only 0.25 s after the sweep leaves 12.5 dB of a
// 1.2 s decay: less than any decay time needs, so every one is "-". The
// waterfall takes the range and the time asked for.
TEST(Room, TooLittleDecayGivesNoTimeAndTheWaterfallItsRange) {
  const std::string dir = MakeTempDir();
  const ProcessResult a = MeasureAndAnalyze(
      dir, {"-d", "t_decay", "--tail", "0.25", "--length", "4"},
      {"--decay", "--waterfall", "w.txt", "--waterfall-hz", "30:200", "--waterfall-ms", "100"});
  ASSERT_EQ(a.exit_status, 0) << a.err;
  EXPECT_EQ(Rows(a.out, kDecayColumns).size(), 8u) << a.out;
  for (const auto& row : Rows(a.out, kDecayColumns))
    EXPECT_EQ(row, (std::vector<std::string>{row[0], "-", "-", "-"}));
  const std::string w = ReadFile(dir + "/w.txt");
  EXPECT_NE(w.find("* Time(ms): 0.00\n30.0000, "), std::string::npos);
  EXPECT_EQ(w.substr(w.rfind("* Time(ms): "), 19), "* Time(ms): 100.00\n");
  EXPECT_LE(std::stod(w.substr(w.rfind('\n', w.size() - 2) + 1)), 200);
  RemoveTree(dir);
}

// The room's speaker at 1 % and 3 % (a2 x^2 + a3 x^3 at -12 dBFS): H2 =
// a2 A / 2 and H3 = a3 A^2 / 4 relative to the fundamental A (1 + 3/4 a3 A^2),
// each harmonic passing through the room at k f, all smoothed over 1/12
// octave as the analysis smooths them.
TEST(Room, HarmonicDistortionOfKnownTerms) {
  const std::vector<double> room = CardPower(CardRoomOfRoom(0, false), 1);
  const double amp = std::pow(10, -12 / 20.0);
  const std::string dir = MakeTempDir();
  for (const auto& d : {std::vector<double>{1, 0.064865, 0.387347}, {3, 0.201999, 1.206261}}) {
    const std::string device = "t_distortion" + std::to_string(static_cast<int>(d[0]));
    const ProcessResult a = MeasureAndAnalyze(dir, {"-d", device}, {"--distortion", "x.txt"});
    ASSERT_EQ(a.exit_status, 0) << a.err;
    EXPECT_EQ(Rows(a.out, "Band (Hz)\tH2 (dB)\tH3 (dB)\tTHD (%)").size(), 8u) << a.out;
    const std::string x = ReadFile(dir + "/x.txt");
    DistortionTable t;
    std::string error;
    ASSERT_TRUE(ParseDistortion(x.data(), x.size(), &t, &error)) << error;
    ASSERT_NE(x.find("* H2 and H3 stand above the noise at every frequency\n"), std::string::npos);
    const double h1 = 1 + 0.75 * d[2] * amp * amp, h[2] = {d[1] * amp / 2, d[2] * amp * amp / 4};
    double worst[3] = {0, 0, 0};
    int points = 0;
    for (const DistortionRow& r : t.rows) {
      double power = 0;
      for (int k = 0; k < 2 && r.freq >= 100 && r.freq <= 5000; ++k) {
        const double want = 20 * std::log10(h[k] / h1) +
                            SmoothedDb(room, (k + 2) * r.freq, 0, 24000) -
                            SmoothedDb(room, r.freq, 0, 24000);
        worst[k] = std::max(worst[k], std::fabs(r.h[k] - want));
        power += std::pow(10, want / 10);
      }
      if (power > 0) worst[2] = std::max(worst[2], std::fabs(r.thd / (100 * std::sqrt(power)) - 1));
      points += power > 0;
    }
    printf("%s: %d points from 100 Hz to 5 kHz, largest error H2 %.3f dB, H3 %.3f dB, THD %.1f %%\n",
           device.c_str(), points, worst[0], worst[1], 100 * worst[2]);
    EXPECT_TRUE(points == 67 && worst[0] <= 0.5 && worst[1] <= 0.5 && worst[2] <= 0.1);
  }
  RemoveTree(dir);
}

}  // namespace
