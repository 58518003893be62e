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
#include "support/process.h"

namespace {

Curve Parse(const std::string& text, std::string* error, std::string* notes = nullptr) {
  Curve c;
  c.freq = {-1};  // left as it was on a fault
  *error = "";
  std::vector<std::string> said;
  ParseCurve(text.data(), text.size(), &c, error, &said);
  for (const std::string& n : said) *notes += n + "\n";
  return c;
}

// One output through the steps the tools take for all of theirs.
bool WriteOutputFile(const std::string& path, const std::string& content, std::string* error) {
  StagedOutput out;
  if (!StageOutput(path, content, &out, error)) return false;
  const bool placed = PlaceOutput(&out, error);
  if (!placed) UndoOutput(&out);
  EndOutput(&out);
  return placed;
}

TEST(CurveFile, ReadsTheLayoutsToolsAndMicrophonesUse) {
  struct Case {
    const char* text;
    std::vector<double> freq, db, phase;
    std::string note = "";
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
      // A byte-order mark; decimal commas between semicolons; a first point
      // at 0 Hz, skipped with a note.
      {"\xEF\xBB\xBF" "20 1\n", {20}, {1}, {}},
      {"Freq;dB\r\n20,00;-10,50\r\n31,5 ; 2\r\n", {20, 31.5}, {-10.5, 2}, {}},
      {"00.0000 -0.07 31.9\n10 -500 2\n", {10}, {-500}, {2}, "line 1: the point at 0 Hz skipped"},
  };
  for (const Case& c : cases) {
    std::string error, notes;
    Curve curve = Parse(c.text, &error, &notes);
    EXPECT_EQ(error, "") << c.text;
    EXPECT_EQ(notes, c.note.empty() ? "" : c.note + "\n") << c.text;
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
      {"0 1\n0 2\n", "line 2: frequencies must rise from line to line"},
      {"20 1\n-5 1\n", "line 2: frequency below 0 Hz"},
      {"20 1\n30 -500.01\n", "line 2: level beyond +-500 dB"},
      {"20 1e308\n", "line 1: level beyond +-500 dB"},
      {"20 1 2 3\n", "line 1: more than three fields: expected a frequency, a level in dB and "
                      "an optional phase"},
      {"20,,1\n", "line 1: an empty field"},
      {"20;1;;3\n", "line 1: an empty field"},
      {"20\t-3,5\n", "line 1: fields separated both by commas and by spaces or tabs; if the "
                       "comma is a decimal point, separate the fields with semicolons"},
      {"20,5;3 1\n", "line 1: fields separated both by semicolons and by spaces or tabs; "
                      "separate every field with a semicolon"},
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
  EXPECT_TRUE(back.freq == c.freq && back.db == c.db && back.phase == c.phase);
  // Any numbers are written whole, one row each.
  c.freq = {1e300, 1.7e308};
  c.db = {-500, 500};
  back = Parse(FormatResponse({}, c), &error);
  EXPECT_TRUE(back.freq == c.freq && back.db == c.db && back.phase == c.phase) << error;
}

// Each random or damaged text is refused naming a line, or read into a curve
// that the response writer writes and the parser reads back as written.
TEST(CurveFile, DamageIsRefusedOrReadsBack) {
  std::mt19937 rng(12345);
  const char kAlphabet[] = "0123456789.,;-+eE \t\r\n*\"abxXinf\0\xff";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  long refused = 0, read_back = 0;
  for (int n = 0; n < 3000; ++n) {
    // Half from scratch, half a curve with a few bytes changed.
    std::string text = "* curve\n20, -1.5, 30\n40.5,2,-10.25\n100 3 4\n1000\t-2\t0\n";
    if (n % 2) text.assign(rng() % 200, ' ');
    for (int edits = n % 2 ? int(text.size()) : 1 + rng() % 4; edits > 0; --edits)
      text[n % 2 ? edits - 1 : rng() % text.size()] = alphabet[rng() % alphabet.size()];
    Curve c, again;
    std::string error;
    if (!ParseCurve(text.data(), text.size(), &c, &error)) {
      ASSERT_EQ(error.compare(0, 5, "line "), 0) << error;
      ++refused;
      continue;
    }
    const std::string written = FormatResponse({}, c);
    ASSERT_TRUE(ParseCurve(written.data(), written.size(), &again, &error) &&
                again.freq.size() == c.freq.size() && FormatResponse({}, again) == written)
        << written;
    read_back += !c.freq.empty();
  }
  printf("curve parser totals: %ld of 3000 random and damaged texts refused, %ld read back\n",
         refused, read_back);
  EXPECT_GT(refused, 500);
  EXPECT_GT(read_back, 300);
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
