// quelmar-eq through its command line, on rooms made of known peaking modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "dsp/biquad.h"
#include "formats/curve_file.h"
#include "support/process.h"

namespace {

// A room of three modes and a dip on a floor at -12 dB, 48 points per octave
// from 10 Hz to 2 kHz.
const FilterSpec kModes[] = {{FilterType::kPeak, 45, 10, 6}, {FilterType::kPeak, 90, 6, 3},
                             {FilterType::kPeak, 160, 8, 8}, {FilterType::kPeak, 120, -6, 4}};

std::string RoomText() {
  std::string text = "* A room of known modes\n* Freq(Hz), SPL(dB)\n";
  char row[64];
  for (double f = 10; f < 2000; f *= std::exp2(1.0 / 48)) {
    snprintf(row, sizeof row, "%.4f, %.4f\n", f, -12 + FilterChainDb(kModes, 4, f, 48000));
    text += row;
  }
  return text;
}

Curve ParseText(const std::string& text) {
  Curve c;
  std::string error;
  EXPECT_TRUE(ParseCurve(text.data(), text.size(), &c, &error)) << error;
  return c;
}

// The filters and preamp of an Equalizer APO file; false on any other line.
bool ParseApo(const std::string& text, std::vector<FilterSpec>* filters, double* preamp) {
  *preamp = 0;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = text.substr(at, nl - at);
    FilterSpec f;
    int number = 0, used = 0;
    if (sscanf(line.c_str(), "Preamp: %lf dB%n", preamp, &used) == 1 && used == int(line.size()))
      continue;
    if (sscanf(line.c_str(), "Filter %d: ON PK Fc %lf Hz Gain %lf dB Q %lf%n", &number, &f.freq,
               &f.gain_db, &f.q, &used) != 4 || used != int(line.size()) ||
        number != int(filters->size()) + 1)
      return false;
    filters->push_back(f);
  }
  return at == text.size();
}

ProcessResult Eq(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(), QUELMAR_EQ_BIN);
  ProcessOptions options;
  options.cwd = dir;
  return RunProcess(args, options);
}

// The filters fitted to the room are what the file, the console and the
// predicted response say, inside their bounds, and they flatten the room.
TEST(Eq, FlattensARoomOfKnownModes) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/room.txt", RoomText()) &&
              WriteFile(dir + "/house.txt", "20 6\n200 0\n"));
  const Curve room = ParseText(RoomText());
  const struct { std::vector<std::string> args; double lo, hi, boost; int filters; } cases[] = {
      {{}, 20, 300, 0, 8},
      {{"--max-boost", "6", "--filters", "5"}, 20, 300, 6, 5},
      {{"--target", "house.txt", "--range", "30-250"}, 30, 250, 0, 8}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"room.txt", "-o", "eq.txt", "--predicted", "p.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = Eq(dir, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string apo = ReadFile(dir + "/eq.txt");
    std::vector<FilterSpec> f;
    double preamp;
    ASSERT_TRUE(ParseApo(apo, &f, &preamp)) << apo;
    EXPECT_NE(r.out.find("\n" + apo + "Deviation"), std::string::npos) << r.out;
    ASSERT_TRUE(f.size() >= 3 && f.size() <= size_t(c.filters)) << apo;
    double peak = 0;
    for (const FilterSpec& x : f) {
      EXPECT_TRUE(x.freq >= c.lo && x.freq <= c.hi && x.q >= 0.5 && x.q <= 15 &&
                  std::fabs(x.gain_db) >= 0.5 && x.gain_db <= c.boost) << apo;
    }
    for (double hz = 10; hz < 23900; hz *= 1.001) peak = std::max(peak, FilterChainDb(f.data(), f.size(), hz, 48000));
    EXPECT_TRUE(peak > 0 ? -preamp >= peak && -preamp < peak + 0.11 : preamp == 0) << apo;
    // Measured plus the filters' exact response, to the file's three decimals.
    const Curve predicted = ParseText(ReadFile(dir + "/p.txt"));
    ASSERT_EQ(predicted.freq.size(), room.freq.size());
    for (size_t k = 0; k < room.freq.size(); ++k)
      ASSERT_NEAR(predicted.db[k], room.db[k] + FilterChainDb(f.data(), f.size(), room.freq[k], 48000), 0.0011);
    double before, after, rms_before, rms_after;
    const size_t at = r.out.find("  before: ");
    ASSERT_EQ(sscanf(r.out.c_str() + at, "  before: RMS %lf dB, largest excess %lf dB\n"
                     "  after:  RMS %lf dB, largest excess %lf dB", &rms_before, &before,
                     &rms_after, &after), 4) << r.out;
    printf("%s: largest excess %.2f -> %.2f dB, RMS %.2f -> %.2f dB\n",
           c.args.empty() ? "default" : c.args[0].c_str(), before, after, rms_before, rms_after);
    fflush(stdout);  // before the next child process is started
    EXPECT_TRUE(before > 6 && after < 1.0 && rms_after < rms_before) << r.out;
  }
  // Default fit: the unsmoothed prediction peaks at most 2.5 dB above the
  // median level of 20-300 Hz, from 25 Hz up; and the same input gives the
  // same filters.
  const std::string first = Eq(dir, {"room.txt", "--predicted", "p.txt"}).out;
  EXPECT_EQ(Eq(dir, {"room.txt", "--predicted", "p.txt"}).out, first);
  const Curve predicted = ParseText(ReadFile(dir + "/p.txt"));
  std::vector<double> in_range;
  for (size_t k = 0; k < room.freq.size(); ++k)
    if (room.freq[k] >= 20 && room.freq[k] <= 300) in_range.push_back(room.db[k]);
  std::sort(in_range.begin(), in_range.end());
  double excess = -100;
  for (size_t k = 0; k < room.freq.size(); ++k)
    if (room.freq[k] >= 25 && room.freq[k] <= 300)
      excess = std::max(excess, predicted.db[k] - in_range[in_range.size() / 2]);
  EXPECT_LE(excess, 2.5);
  RemoveTree(dir);
}

// The CamillaDSP fragment is YAML that holds the APO file's preamp and
// filters, in order, in a Filter step on channel 0.
TEST(Eq, CamillaDspFragmentIsYamlWithTheSameFilters) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/room.txt", RoomText()));
  ASSERT_EQ(Eq(dir, {"room.txt", "--max-boost", "6", "--format", "camilladsp"}).exit_status, 0);
  ASSERT_EQ(Eq(dir, {"room.txt", "--max-boost", "6"}).exit_status, 0);
  const char* script =
      "import sys, yaml\n"
      "d = yaml.safe_load(open(sys.argv[1]))\n"
      "[step] = d['pipeline']\n"
      "assert step['type'] == 'Filter' and step['channels'] == [0], step\n"
      "for i, name in enumerate(step['names']):\n"
      "    f = d['filters'][name]\n"
      "    if f['type'] == 'Gain':\n"
      "        print('Preamp: %.1f dB' % f['parameters']['gain'])\n"
      "        continue\n"
      "    p = f['parameters']\n"
      "    assert f['type'] == 'Biquad' and p['type'] == 'Peaking', f\n"
      "    print('Filter %d: ON PK Fc %.1f Hz Gain %.1f dB Q %.2f' % (i + (step['names'][0] != 'eq_preamp'), p['freq'], p['gain'], p['q']))\n"
      "assert len(d['filters']) == len(step['names'])\n";
  ProcessOptions options;
  options.cwd = dir;
  const ProcessResult r = RunProcess({PYTHON3_BIN, "-c", script, "room-camilladsp.yml"}, options);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string apo = ReadFile(dir + "/room-eq.txt");
  EXPECT_EQ(r.out, apo);
  EXPECT_EQ(apo.rfind("Preamp: -", 0), 0u) << apo;
  RemoveTree(dir);
}

// Bad use: a message, no output file, an existing one left as it was.
TEST(Eq, RefusesBadInputAndWritesNothing) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/room.txt", RoomText()) && WriteFile(dir + "/words.txt", "hello\n") &&
              WriteFile(dir + "/few.txt", "20 1\n100 2\n300 3\n") &&
              WriteFile(dir + "/inf.txt", "* x\n20 1\n30 inf\n") && WriteFile(dir + "/out.txt", "kept"));
  const struct { std::vector<std::string> args; int status; std::string err; } cases[] = {
      {{"words.txt"}, 1, "words.txt: not a response: no lines of frequency and level in dB"},
      {{"inf.txt"}, 1, "inf.txt: line 3: number out of range"},
      {{"few.txt"}, 1, "few.txt: too few points in 20-300 Hz (3); at least 4 are needed"},
      {{"room.txt", "--range", "5-300"}, 1, "room.txt: the range 5-300 Hz reaches beyond the response's data (10-1974.03 Hz)"},
      {{"room.txt", "--range", "300-200"}, 1, "option '--range' needs LO-HI in Hz"},
      {{"room.txt", "--filters", "0"}, 1, "option '--filters' needs a whole number from 1 to 20"},
      {{"room.txt", "--filters", "2.5"}, 1, "option '--filters' needs a whole number"},
      {{"room.txt", "--max-boost", "-1"}, 1, "option '--max-boost' needs a number of dB"},
      {{"room.txt", "--format", "xml"}, 1, "option '--format' takes apo or camilladsp"},
      {{"room.txt", "--target", "words.txt"}, 1, "words.txt: not a target curve"},
      {{"none.txt"}, 1, "cannot read none.txt"},
      {{"room.txt", "--predicted", "room.txt"}, 1, "an output would overwrite the input room.txt"},
      {{"room.txt", "--bogus"}, 2, "unknown option '--bogus'\nUsage: quelmar-eq RESPONSE.txt"},
      {{"room.txt", "--filters"}, 2, "option '--filters' needs a value\nUsage:"},
      {{}, 2, "no response file given\nUsage:"}};
  for (auto c : cases) {
    c.args.insert(c.args.begin(), {"-o", "out.txt"});
    const ProcessResult r = Eq(dir, c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.err;
    EXPECT_EQ(r.err.rfind("quelmar-eq: " + c.err, 0), 0u) << r.err;
    EXPECT_TRUE(r.out.empty() && ReadFile(dir + "/out.txt") == "kept") << c.err;
  }
  const ProcessResult help = Eq(dir, {"--help"});
  EXPECT_TRUE(help.exit_status == 0 && help.err.empty() &&
              help.out.rfind("Usage: quelmar-eq RESPONSE.txt", 0) == 0) << help.out;
  RemoveTree(dir);
}

// Damaged responses are refused with a message or fitted; never a crash, and
// a filter file exactly when the run succeeds.
TEST(Eq, SurvivesDamagedResponses) {
  const std::string dir = MakeTempDir(), room = RoomText();
  std::mt19937 rng(20261207);
  int accepted = 0;
  for (int i = 0; i < 60; ++i) {
    std::string text = room;
    for (int e = 0, edits = 1 + rng() % 3; e < edits; ++e) {
      const size_t at = rng() % (text.size() + 1);
      switch (rng() % 4) {
        case 0: text.resize(at); break;
        case 1: if (at < text.size()) text[at] = char(rng()); break;
        case 2: text.insert(at, rng() % 2 ? "1e308" : std::string(1 + rng() % 300, '9')); break;
        case 3: text.erase(at, std::min<size_t>(rng() % 2000, text.size() - at)); break;
      }
    }
    ASSERT_TRUE(WriteFile(dir + "/r.txt", text));
    remove((dir + "/r-eq.txt").c_str());
    const ProcessResult r = Eq(dir, {"r.txt", "--filters", "3"});
    ASSERT_TRUE(r.exit_status == 0 || r.exit_status == 1) << r.err << r.term_signal;
    FILE* written = fopen((dir + "/r-eq.txt").c_str(), "r");
    ASSERT_EQ(r.exit_status == 0, written != nullptr) << r.err;
    if (written) fclose(written);
    ASSERT_TRUE(r.exit_status == 0 ? r.err.empty() : !r.err.empty());
    accepted += r.exit_status == 0;
  }
  EXPECT_TRUE(accepted > 5 && accepted < 55) << accepted;  // both outcomes exercised
  RemoveTree(dir);
}

}  // namespace
