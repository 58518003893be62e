// quelmar-analyze on recordings the real program made on the virtual card:
// accuracy against the room model's own exact response, calibration and the
// recording file itself (bad input: tests/tools).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/recording.h"
#include "support/card_model.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

const double kRate = 48000;
const char kTooLong[] = "too long to analyse in the memory available";

ProcessResult Analyze(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<std::string> argv = {QUELMAR_ANALYZE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunIn(dir, argv);
}

// The (frequency, dB) rows of a response file.
std::vector<std::pair<double, double>> ReadResponse(const std::string& text) {
  Curve c;
  std::string error;
  EXPECT_TRUE(ParseCurve(text.data(), text.size(), &c, &error)) << error;
  std::vector<std::pair<double, double>> rows;
  for (size_t k = 0; k < c.freq.size(); ++k) rows.push_back({c.freq[k], c.db[k]});
  return rows;
}

struct Room {
  const char* device;
  long mic_delay;
  CardRoom model;
  int seconds = 10;  // the sweep's length
};

TEST(Analyze, ExactResponseBandsAndTimeOfFlightOfTwoRooms) {
  using T = FilterType;
  const CardRoom room = CardRoomOfRoom(0, false);
  // Also sweeps whose recordings once had an odd FFT length (30 s) and
  // arrays beyond the heap's own (90 s).
  const Room rooms[] = {
      {"room", 280, room},
      {"t_room2", 150,
       {-5,
        {{T::kHighPass, 40, 0, 0.5}, {T::kLowShelf, 120, 4, 0.707}, {T::kPeak, 45, 6, 5},
         {T::kPeak, 2500, -6, 2}, {T::kHighShelf, 6000, -4, 0.707}},
        {{90, 0.5}, {333, -0.3}, {800, 0.2}, {1700, 0.1}}}},
      {"room", 280, room, 30}, {"room", 280, room, 90},
  };
  const std::string dir = MakeTempDir();
  std::vector<double> both;
  for (const Room& room : rooms) {
    SCOPED_TRACE(room.device + std::string(" ") + std::to_string(room.seconds) + " s");
    const std::vector<double> power = CardPower(room.model, 0.5);
    both.resize(power.size(), 0.0);
    for (size_t k = 0; k < power.size() && room.seconds == 10; ++k) both[k] += power[k] / 2;
    const std::string t = std::to_string(room.seconds);
    ProcessResult run = RunQuelmar(std::string("c ") + room.device + " t " + t + " r c x", dir);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string wav = "sweep_00" + std::to_string(&room - rooms + 1) + ".wav";
    ProcessResult r = Analyze({wav, "--smooth", "12", "--bands", "b.txt", "-o", "r.txt"}, dir);
    ASSERT_EQ(r.exit_status, 0) << r.err;

    // Every point from 25 Hz to 14 kHz against the model smoothed alike.
    const double error = LargestError(room.device, ReadFile(dir + "/r.txt"), power, 25, 14000);
    EXPECT_TRUE(error >= 0 && error < 0.3);

    // Band levels: the mean of |H| over each band's hertz the sweep covered.
    const double swept = room.seconds * kRate, end = 16175, bin = kRate / (1 << 22);
    const double last = 18 + (swept - 1) * (end - 18) / (swept + kRate);
    std::vector<double> mean;
    const std::string bands = ReadFile(dir + "/b.txt");
    unlink((dir + "/b.txt").c_str());
    EXPECT_NE(r.out.find(bands), std::string::npos);
    double lo = 18, level, reference = 0;
    for (int k = 0; k < 31; lo = std::trunc(lo / 4 + lo), ++k) {
      double sum = 0;
      const long a = std::ceil(lo / bin), b = std::min(std::trunc(lo / 4 + lo), last) / bin;
      for (long j = a; j <= b; ++j) sum += std::sqrt(power[j]);
      mean.push_back(sum / (b - a + 1));
      reference = std::max(reference, mean[k]);
    }
    double band_worst = 0;
    int k = 0, band;
    for (size_t at = bands.find("dB\n") + 3; at < bands.size(); at = bands.find('\n', at) + 1, ++k) {
      ASSERT_EQ(sscanf(bands.c_str() + at, "%d\t%*f\t%*f\t%lf", &band, &level), 2);
      band_worst = std::max(band_worst, std::fabs(level - 20 * std::log10(mean[k] / reference)));
    }
    printf("%s: %d bands, largest error %.3f dB (levels printed to 0.1 dB)\n", room.device, k,
           band_worst);
    EXPECT_EQ(k, 31);
    EXPECT_LE(band_worst, 0.2);

    const size_t tof = r.out.find("Time of flight: ");
    ASSERT_NE(tof, std::string::npos);
    long frames = -1;
    sscanf(r.out.c_str() + r.out.find("), ", tof) + 3, "%ld frames", &frames);
    printf("%s: time of flight %ld frames, model %ld\n", room.device, frames, room.mic_delay);
    EXPECT_LE(std::labs(frames - room.mic_delay), 1);
  }
  // Two positions averaged: the mean of both rooms' powers.
  ProcessResult r = Analyze({"--average", "sweep_001.wav", "sweep_002.wav", "-o", "a.txt"}, dir);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const double error = LargestError("average of both", ReadFile(dir + "/a.txt"), both, 25, 14000);
  EXPECT_TRUE(error >= 0 && error < 0.3);
  RemoveTree(dir);
}

// One short flat recording, shared by the tests below.
class Recorded : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakeTempDir();
    WriteFile(dir_ + "/sweep_004.wav", "an earlier file");
    ProcessResult run = RunQuelmar("c loopback t 1 r c x", dir_);
    ASSERT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.err, "");
  }
  static void TearDownTestSuite() { RemoveTree(dir_); }
  static std::string dir_;
};
std::string Recorded::dir_;

TEST_F(Recorded, NumberedAfterTheHighestAndReadBySox) {
  EXPECT_EQ(ReadFile(dir_ + "/sweep_004.wav"), "an earlier file");
  const std::string wav = ReadFile(dir_ + "/sweep_005.wav");
  EXPECT_EQ(wav.size() - wav.find("data") - 8, 6u * 96000);
  ProcessResult info = RunProcess({"/usr/bin/soxi", dir_ + "/sweep_005.wav"}, {});
  EXPECT_EQ(info.exit_status, 0) << info.err;
  EXPECT_NE(info.out.find("Channels       : 2\nSample Rate    : 48000\nPrecision      : 24-bit"),
            std::string::npos) << info.out;
  ProcessResult stat = RunProcess({"/usr/bin/sox", dir_ + "/sweep_005.wav", "-n", "stat"}, {});
  EXPECT_EQ(stat.exit_status, 0) << stat.err;
  EXPECT_NE(stat.err.find("Samples read:            192000"), std::string::npos) << stat.err;
}

// Calibration on a flat loopback, whose exact response is 0 dB: the output
// must be minus the sum of both files, at their points and between them.
TEST_F(Recorded, CalibrationsAreSubtractedExactly) {
  WriteFile(dir_ + "/mic.txt", "\"Sens Factor =-1.2dB, SERNO: 7001234\"\n36 1.5\n144 -2.25\n2304 3\n");
  WriteFile(dir_ + "/card.txt", "* ours\n100, 0.5, 10\n1000, -0.5, 0\n");
  ProcessResult r = Analyze({"--smooth", "0", "--cal", "mic.txt", "--cal", "card.txt", "-o", "c.txt"}, dir_);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  auto interp = [](const std::vector<std::pair<double, double>>& c, double f) {
    if (f <= c.front().first) return c.front().second;
    if (f >= c.back().first) return c.back().second;
    size_t k = 1;
    while (c[k].first < f) ++k;
    const double t = std::log(f / c[k - 1].first) / std::log(c[k].first / c[k - 1].first);
    return c[k - 1].second + t * (c[k].second - c[k - 1].second);
  };
  double worst = 0;
  int at_points = 0;
  const auto rows = ReadResponse(ReadFile(dir_ + "/c.txt"));
  for (const auto& row : rows) {
    const double want = -interp({{36, 1.5}, {144, -2.25}, {2304, 3}}, row.first) -
                        interp({{100, 0.5}, {1000, -0.5}}, row.first);
    worst = std::max(worst, std::fabs(row.second - want));
    for (double f : {36.0, 144.0, 2304.0}) at_points += std::fabs(row.first - f) < 1e-3;
  }
  printf("calibration: %zu points, %d on the file's points, largest error %.4f dB\n", rows.size(), at_points,
         worst);
  EXPECT_EQ(at_points, 3);
  EXPECT_GT(rows.size(), 400u);
  EXPECT_LE(worst, 0.0015);
}

// Under a limit on its address space the analysis runs as without it or,
// wherever memory runs out (its buffers, the standard library's or FFTW's),
// ends with its own message and writes nothing: never an abort.
TEST_F(Recorded, RunningOutOfMemoryEndsWithItsOwnMessage) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's shadow memory takes more address space than any limit leaves";
#endif
  ASSERT_EQ(Analyze({"sweep_005.wav", "-o", "free.txt"}, dir_).exit_status, 0);
  int refused = 0;
  for (long mb = 4; mb < 1024; ++mb) {
    SCOPED_TRACE(std::to_string(mb) + " MiB");
    const ProcessResult r =
        RunIn(dir_, {"/bin/sh", "-c", "ulimit -v " + std::to_string(mb << 10) + " && exec \"$@\"",
                     "sh", QUELMAR_ANALYZE_BIN, "sweep_005.wav", "-o", "limited.txt"});
    if (r.err.find("error while loading shared libraries") != std::string::npos) continue;
    if (r.exit_status == 0) {
      EXPECT_EQ(ReadFile(dir_ + "/limited.txt"), ReadFile(dir_ + "/free.txt"));
      break;
    }
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out + r.err, "quelmar-analyze: sweep_005.wav: " + std::string(kTooLong) + "\n");
    EXPECT_NE(access((dir_ + "/limited.txt").c_str(), F_OK), 0);
    ++refused;
  }
  EXPECT_GT(refused, 0);
}

}  // namespace

// Recordings that gave wrong numbers with status 0, or never ended, and what
// the output covers: each case names what must be said now.
TEST(Analyze, RefusalsWarningsAndTheRangeCovered) {
  const std::string dir = MakeTempDir();
  ASSERT_EQ(RunQuelmar("c loopback t 1 r c c clipping r c c noisy r c c loopback f 100 b 20 r c c deadmic r c x", dir)
                .exit_status, 0);
  std::string zero = ReadFile(dir + "/sweep_001.wav");
  for (size_t at = zero.find("data") + 8; at + 6 <= zero.size(); at += 6) zero.replace(at, 3, 3, '\0');
  WriteFile(dir + "/zero.wav", zero);
  // A start frequency that the WAV's own rate halves to nothing.
  RecordingInfo tiny;
  tiny.sweep = ProgramSweep(48000, 4.9406564584124654e-324, 16175, 96000, 0.5, 24000);
  tiny.total_frames = 96000, tiny.sync_out = 24032, tiny.sync_frames = 40384, tiny.q = 4;
  tiny.bands = 31, tiny.rate = 24000, tiny.period = 1024;
  RecordingWriter w;
  const std::vector<unsigned char> silence(96000 * 3, 0);
  ASSERT_EQ(StartRecording(dir + "/tiny.wav", &w), 0);
  AppendRecording(&w, silence.data(), silence.data(), 96000);
  ASSERT_TRUE(FinishRecording(&w, tiny).ok);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    double first = 0;  // the response's first frequency, if written
  } cases[] = {
      {{"tiny.wav"}, 1, "", "tiny.wav: its sweep starts at 0 Hz, below the 0.25 Hz"},
      {{"zero.wav"}, 1, "", "zero.wav: its microphone channel is silent during the sweep"},
      {{"sweep_002.wav"}, 0, "Signal to noise: ", "Warning: sweep_002.wav: input 1 clipped", 18},
      {{"sweep_003.wav"}, 0, "Signal to noise: 3.5 dB (20-200 Hz: 6.8 dB)",
       "sweep_003.wav: the sweep on input 1 barely"},
      {{"sweep_005.wav"}, 0, "Signal to noise: 0.0 dB", "sweep_005.wav: the sweep on input 1 barely"},
      {{"sweep_001.wav", "--window", "5"}, 0, "Response written",
       "Warning: A window of 5 ms resolves nothing below about 200.0 Hz: the response starts "
       "there.\n", 200},
      {{"--average", "sweep_001.wav", "sweep_004.wav"}, 0,
       "Average of 2 recordings over 100.0 Hz to 4331.4 Hz: the range they all cover; "
       "sweep_004.wav starts at 100.0 Hz; sweep_004.wav ends at 4331.4 Hz\n", "", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    std::vector<std::string> argv = {QUELMAR_ANALYZE_BIN, "-o", "r.txt"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    unlink((dir + "/r.txt").c_str());
    const ProcessResult r = RunIn(dir, argv, "", "", 20000);
    EXPECT_EQ(r.exit_status, c.status) << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    const auto rows = c.first > 0 ? ReadResponse(ReadFile(dir + "/r.txt")) : decltype(ReadResponse(""))();
    EXPECT_TRUE(c.first == 0 || (!rows.empty() && std::fabs(rows[0].first - c.first) < 0.05));
  }
  RemoveTree(dir);
}
