// The shared file formats: text curves as tools export them, and the safe
// writing of output files.
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "formats/curve_file.h"
#include "formats/file_io.h"
#include "formats/recording.h"
#include "support/process.h"

namespace {

Curve Parse(const std::string& text, std::string* error) {
  Curve c;
  c.freq = {-1};  // left as it was on a fault
  *error = "";
  ParseCurve(text.data(), text.size(), &c, error);
  return c;
}

TEST(CurveFile, ReadsTheLayoutsToolsAndMicrophonesUse) {
  struct Case {
    const char* text;
    std::vector<double> freq, db, phase;
  } cases[] = {
      // An exported measurement with phase, CR LF line ends.
      {"* Measurement data\r\n* Freq(Hz), SPL(dB), Phase(degrees)\r\n20.0, -1.5, 30\r\n"
       "40.5,2,-10.25\r\n",
       {20, 40.5}, {-1.5, 2}, {30, -10.25}},
      // A calibration file with a quoted sensitivity line, tabs, no phase.
      {"\"Sens Factor =-1.2dB, SERNO: 7001234\"\n10\t-3.1\n1000\t0\n", {10, 1000}, {-3.1, 0}, {}},
      // A calibration file whose first line starts with "*", spaces, and a
      // phase on only some lines.
      {"*1000Hz -38.6\n 5.5  1 90\n6 .5\nFreq dB\n", {5.5, 6}, {1, .5}, {}},
      // A curve file with a header and more columns than needed.
      {"frequency,raw,error\n20,1,9\n30;2;8\n", {20, 30}, {1, 2}, {9, 8}},
  };
  for (const Case& c : cases) {
    std::string error;
    Curve curve = Parse(c.text, &error);
    EXPECT_EQ(error, "") << c.text;
    EXPECT_EQ(curve.freq, c.freq) << c.text;
    EXPECT_EQ(curve.db, c.db) << c.text;
    EXPECT_EQ(curve.phase, c.phase) << c.text;
  }
}

TEST(CurveFile, RefusesMalformedLinesNamingThem) {
  const std::string huge = "1" + std::string(309, '0');  // overflows to infinity
  const std::pair<std::string, std::string> cases[] = {
      {"* h\n20 1\n10 2\n", "line 3: frequencies must rise from line to line"},
      {"20 1\n20 2\n", "line 2: frequencies must rise from line to line"},
      {"20 1\n30\n", "line 2: expected a frequency and a level in dB"},
      {"20 1\n30 x\n", "line 2: expected numbers: frequency, level in dB and optional phase"},
      {"20 " + huge + "\n", "line 1: number out of range"},
      {huge + " 1\n", "line 1: number out of range"},
      {"0 1\n", "line 1: frequency must be above 0 Hz"},
      {"-5 1\n", "line 1: frequency must be above 0 Hz"},
  };
  for (const auto& c : cases) {
    std::string error;
    Curve curve = Parse(c.first, &error);
    EXPECT_EQ(error, c.second) << c.first;
    EXPECT_EQ(curve.freq, std::vector<double>{-1}) << c.first;
  }
}

TEST(CurveFile, InterpolatesOverLogFrequencyAndHoldsTheEnds) {
  Curve c;
  c.freq = {100, 400, 1000};
  c.db = {0, 6, -4};
  EXPECT_DOUBLE_EQ(CurveDbAt(c, 50), 0);
  EXPECT_DOUBLE_EQ(CurveDbAt(c, 100), 0);
  EXPECT_NEAR(CurveDbAt(c, 200), 3, 1e-12);  // half way up in octaves
  EXPECT_DOUBLE_EQ(CurveDbAt(c, 400), 6);
  EXPECT_NEAR(CurveDbAt(c, std::sqrt(400.0 * 1000)), 1, 1e-12);
  EXPECT_DOUBLE_EQ(CurveDbAt(c, 5000), -4);
}

TEST(CurveFile, WritesWhatItReads) {
  Curve c;
  c.freq = {20, 20.5};
  c.db = {-1.25, 3};
  c.phase = {10, -170.5};
  const std::string text = FormatResponse({"Source: a.wav"}, c);
  EXPECT_EQ(text,
            "* Source: a.wav\n* Freq(Hz), SPL(dB), Phase(degrees)\n"
            "20.0000, -1.250, 10.00\n20.5000, 3.000, -170.50\n");
  std::string error;
  Curve back = Parse(text, &error);
  EXPECT_EQ(back.freq, c.freq);
  EXPECT_EQ(back.db, c.db);
  EXPECT_EQ(back.phase, c.phase);
}

TEST(CurveFile, SurvivesRandomInput) {
  std::mt19937 rng(12345);
  const std::string alphabet = "0123456789.,;-+eE \t\r\n*\"abxXinf\0\xff";
  long accepted = 0;
  for (int n = 0; n < 3000; ++n) {
    std::string text(rng() % 200, ' ');
    for (char& ch : text) ch = alphabet[rng() % alphabet.size()];
    Curve c;
    std::string error;
    if (!ParseCurve(text.data(), text.size(), &c, &error)) {
      EXPECT_EQ(error.compare(0, 5, "line "), 0);
      continue;
    }
    ++accepted;
    for (size_t k = 0; k < c.freq.size(); ++k) {
      ASSERT_TRUE(std::isfinite(c.freq[k]) && std::isfinite(c.db[k]) && c.freq[k] > 0);
      if (k > 0) {
        ASSERT_GT(c.freq[k], c.freq[k - 1]);
      }
    }
  }
  printf("curve parser: %ld of 3000 random texts accepted\n", accepted);
}

// The recording's metadata reads back exactly, and random damage to it is
// either refused or gives values a recording can have.
TEST(RecordingInfo, ReadsBackExactlyAndSurvivesRandomDamage) {
  RecordingInfo info;
  info.start_freq = 18.7;
  info.end_freq = 16175;
  info.sweep_frames = 480000;
  info.total_frames = 528000;
  info.lead_frames = 24000;
  info.sweep_rate = 48000;
  info.amplitude = 0.5;
  info.sync_out = 24032;
  info.sync_frames = 40384;
  info.q = 1.0 / 3;
  info.bands = 31;
  info.device = "hw:CARD=x\nq=1";
  info.rate = 44100;
  info.period = 1000;
  info.underruns = 2;
  info.date = "2026-01-31T12:00:00Z";
  const std::string text = FormatRecordingInfo(info);
  RecordingInfo back;
  std::string error;
  ASSERT_TRUE(ParseRecordingInfo(text.data(), text.size(), &back, &error)) << error;
  EXPECT_EQ(FormatRecordingInfo(back), text);
  EXPECT_EQ(back.q, info.q);
  EXPECT_EQ(back.device, "hw:CARD=x?q=1");

  std::mt19937 rng(2026);
  const std::string alphabet("0123456789.-+e=\n\0\xff" "abq_", 22);
  long accepted = 0;
  for (int n = 0; n < 3000; ++n) {
    std::string t = text;
    for (int edits = 1 + rng() % 4; edits > 0; --edits) {
      const size_t at = rng() % t.size();
      if (rng() % 3 == 0) t.erase(at, rng() % 40);
      else t[at] = alphabet[rng() % alphabet.size()];
      if (t.empty()) t = "x";
    }
    RecordingInfo r;
    if (!ParseRecordingInfo(t.data(), t.size(), &r, &error)) continue;
    ++accepted;
    ASSERT_TRUE(r.start_freq > 0 && r.end_freq >= r.start_freq && r.q > 0 && r.amplitude > 0)
        << t;
    ASSERT_EQ(r.sweep_frames + 2 * r.lead_frames, r.total_frames) << t;
    ASSERT_TRUE(r.sync_out >= 0 && r.sync_out < r.sync_frames && r.sync_frames <= r.total_frames)
        << t;
    ASSERT_TRUE(r.rate >= 1000 && r.sweep_rate >= 1000 && r.bands >= 0 && r.bands <= 1024) << t;
  }
  printf("recording metadata: %ld of 3000 damaged texts accepted\n", accepted);
}

TEST(OutputFile, WritesThroughLinksAndKeepsWhatIsThere) {
  const std::string dir = MakeTempDir();
  std::string error;
  // A symlink is written through, the target keeps its mode 0600.
  WriteFile(dir + "/real", "old");
  chmod((dir + "/real").c_str(), 0600);
  ASSERT_EQ(symlink("real", (dir + "/link").c_str()), 0);
  ASSERT_TRUE(WriteOutputFile(dir + "/link", "new", &error)) << error;
  struct stat st;
  ASSERT_EQ(lstat((dir + "/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((dir + "/real").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(dir + "/real"), "new");

  // A hard link still shares the content.
  ASSERT_EQ(link((dir + "/real").c_str(), (dir + "/hard").c_str()), 0);
  ASSERT_TRUE(WriteOutputFile(dir + "/hard", "newer and longer", &error)) << error;
  EXPECT_EQ(ReadFile(dir + "/real"), "newer and longer");
  ASSERT_TRUE(WriteOutputFile(dir + "/hard", "short", &error)) << error;
  EXPECT_EQ(ReadFile(dir + "/real"), "short");

  // The longest name a folder takes still works: the temporary name is short.
  const std::string longest = dir + "/" + std::string(255, 'n');
  EXPECT_TRUE(WriteOutputFile(longest, "x", &error)) << error;
  EXPECT_EQ(ReadFile(longest), "x");

  // A FIFO is written in place when read, refused at once when not.
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(WriteOutputFile(fifo, "data", &error));
  EXPECT_EQ(error, "cannot write " + fifo + ": No such device or address");
  std::string got;
  std::thread reader([&] { got = ReadFile(fifo); });
  while (!WriteOutputFile(fifo, "data", &error)) usleep(1000);  // until the reader opened it
  reader.join();
  EXPECT_EQ(got, "data");
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // A folder in the way and a missing folder are errors; nothing is left behind.
  EXPECT_FALSE(WriteOutputFile(dir, "x", &error));
  EXPECT_EQ(error, "cannot write " + dir + ": Is a directory");
  EXPECT_FALSE(WriteOutputFile(dir + "/no/x", "x", &error));
  EXPECT_EQ(error, "cannot write " + dir + "/no/x: No such file or directory");
  glob_t temps;
  EXPECT_EQ(glob((dir + "/.quelmar*").c_str(), 0, nullptr, &temps), GLOB_NOMATCH);
  globfree(&temps);
  RemoveTree(dir);
}

}  // namespace
