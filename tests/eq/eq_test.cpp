// quelmar-eq through its command line, on a room made of known peaking modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "dsp/biquad.h"
#include "formats/curve_file.h"
#include "support/transcript.h"

namespace {

// A roll-off below 35 Hz, three modes, a dip a tenth of an octave wide at
// 120 Hz and one over an octave wide at 230 Hz on a floor at -12 dB, 48
// points per octave from 10 Hz to 48 kHz.
const FilterSpec kModes[] = {
    {FilterType::kHighPass, 35, 0, 0.7}, {FilterType::kPeak, 45, 10, 6},
    {FilterType::kPeak, 90, 6, 3},       {FilterType::kPeak, 160, 8, 8},
    {FilterType::kPeak, 120, -15, 15},   {FilterType::kPeak, 230, -10, 1.5}};

std::string RoomText(const FilterSpec* modes = kModes, int count = 6) {
  std::string text = "* Known modes\n* Freq(Hz), SPL(dB)\n";
  char row[64];
  for (double f = 10; f < 48000; f *= std::exp2(1.0 / 48)) {
    snprintf(row, sizeof row, "%.4f, %.4f\n", f, -12 + FilterChainDb(modes, count, f, 48000));
    text += row;
  }
  return text;
}

Curve Parse(const std::string& text) {
  Curve c;
  std::string error;
  EXPECT_TRUE(ParseCurve(text.data(), text.size(), &c, &error)) << error;
  return c;
}

ProcessResult Exec(const std::string& dir, std::vector<std::string> args, bool eq = true) {
  if (eq) args.insert(args.begin(), QUELMAR_EQ_BIN);
  return RunIn(dir, args);
}

// The Fc, gain and Q of the APO file's filters (its exact layout is checked
// against the CamillaDSP file).
std::vector<FilterSpec> ApoFilters(const std::string& text) {
  std::vector<FilterSpec> f;
  FilterSpec x;
  for (size_t at = text.find("Filter"); at != text.npos; at = text.find("Filter", at + 1))
    if (sscanf(text.c_str() + at, "Filter %*d: ON PK Fc %lf Hz Gain %lf dB Q %lf", &x.freq,
               &x.gain_db, &x.q) == 3)
      f.push_back(x);
  return f;
}

double ChainDb(const std::vector<FilterSpec>& f, double hz) {
  return FilterChainDb(f.data(), static_cast<int>(f.size()), hz, 48000);
}

// The CamillaDSP fragment, read as YAML, printed as APO lines.
const char kYamlToApo[] =
    "import sys, yaml\n"
    "d = yaml.safe_load(open(sys.argv[1]))\n"
    "[step] = d['pipeline']\n"
    "assert step['type'] == 'Filter' and step['channels'] == [0]\n"
    "assert len(d['filters']) == len(step['names'])\n"
    "for i, f in enumerate(d['filters'][n] for n in step['names']):\n"
    "    p = f['parameters']\n"
    "    if f['type'] == 'Gain': print('Preamp: %.1f dB' % p['gain']); continue\n"
    "    assert f['type'] == 'Biquad' and p['type'] == 'Peaking', f\n"
    "    print('Filter %d: ON PK Fc %.1f Hz Gain %.1f dB Q %.2f'\n"
    "          % (i + (step['names'][0] != 'eq_preamp'), p['freq'], p['gain'], p['q']))\n";

// The filters are what the console and both file formats say, inside their
// bounds after rounding; the prediction is the room plus their exact
// response up to the filters' Nyquist frequency; they flatten the room (the
// closed-loop test checks the peaks left), and the same input gives the same
// filters. Boost never reaches below the roll-off (where the room is 6 dB
// under the target) nor into the narrow dip, and fills the wide one. A house
// curve is anchored at the room's midrange level: the prediction's bass is
// the room's, cut to the curve.
TEST(Eq, FlattensARoomOfKnownModes) {
  const std::string dir = MakeTempDir(), text = RoomText();
  ASSERT_TRUE(WriteFile(dir + "/room.txt", text) &&
              WriteFile(dir + "/house.txt", "0 6\n20 6\n200 0"));
  const Curve room = Parse(text);
  std::vector<double> mid;  // the room's levels from 300 Hz to 3 kHz, where house.txt is 0 dB
  for (size_t k = 0; k < room.freq.size(); ++k)
    if (room.freq[k] >= 300 && room.freq[k] <= 3000) mid.push_back(room.db[k]);
  std::nth_element(mid.begin(), mid.begin() + mid.size() / 2, mid.end());
  const double midrange = mid[mid.size() / 2];
  const struct { std::vector<std::string> args; double lo, hi, boost; size_t most; } cases[] = {
      {{}, 20, 300, 0, 8},
      {{"--max-boost", "5.55", "--range", "20-299.96"}, 20, 299.96, 5.55, 8},
      {{"--target", "house.txt", "--range", "30-250"}, 30, 250, 0, 8}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"room.txt", "--predicted", "p.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = Exec(dir, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, c.lo == 30 ? "quelmar-eq: house.txt: line 1: the point at 0 Hz skipped\n" : "");
    EXPECT_EQ(Exec(dir, args).out, r.out);
    args.insert(args.end(), {"--format", "camilladsp"});
    ASSERT_EQ(Exec(dir, args).exit_status, 0);
    const std::string apo = ReadFile(dir + "/room-eq.txt");
    EXPECT_EQ(Exec(dir, {PYTHON3_BIN, "-c", kYamlToApo, "room-camilladsp.yml"}, false).out, apo);
    EXPECT_NE(r.out.find("\n" + apo + "Deviation"), std::string::npos) << r.out;
    const std::vector<FilterSpec> f = ApoFilters(apo);
    ASSERT_TRUE(f.size() >= 3 && f.size() <= c.most) << apo;
    double preamp = 0, peak = 0, before, after, rms_before, rms_after, target = 0, bass = 0, n = 0;
    bool below = true;  // the roll-off, where the room comes within 6 dB of the target
    sscanf(r.out.c_str(), "Target: flat at %lf", &target);
    for (const FilterSpec& x : f)
      EXPECT_TRUE(x.freq >= c.lo && x.freq <= c.hi && x.q >= 0.5 && x.q <= 15 &&
                  std::fabs(x.gain_db) >= 0.5 && x.gain_db <= c.boost) << apo;
    for (double hz = 10; hz < 23900; hz *= 1.001) peak = std::max(peak, ChainDb(f, hz));
    sscanf(apo.c_str(), "Preamp: %lf dB", &preamp);
    EXPECT_TRUE(peak > 0 ? -preamp >= peak && -preamp < peak + 0.11 : preamp == 0) << apo;
    const std::string p = ReadFile(dir + "/p.txt");
    const Curve predicted = Parse(p);
    EXPECT_NE(p.find("up to 24000 Hz"), std::string::npos) << p.substr(0, 300);
    EXPECT_TRUE(predicted.freq.size() > 400 && predicted.freq.back() <= 24000);
    for (size_t k = 0; k < predicted.freq.size(); ++k) {
      const double hz = room.freq[k], house = midrange + std::max(0.0, 6 * std::log10(200 / hz));
      ASSERT_EQ(predicted.freq[k], hz);
      ASSERT_NEAR(predicted.db[k], room.db[k] + ChainDb(f, hz), 0.0011);
      below = below && room.db[k] < target - 6;
      EXPECT_TRUE(!below || hz < c.lo || ChainDb(f, hz) <= 0.5) << hz << apo;
      if (hz >= 30 && hz <= 250) bass += predicted.db[k] - std::min(room.db[k], house), ++n;
    }
    bass /= n;
    EXPECT_LE(ChainDb(f, 120), 0.5) << apo;
    EXPECT_TRUE(c.boost == 0 || ChainDb(f, 230) > 4) << apo;
    EXPECT_TRUE(c.lo != 30 || std::fabs(bass) < 0.5) << bass << apo;
    ASSERT_EQ(sscanf(r.out.c_str() + r.out.find("  before"),
                     "  before: RMS %lf dB, largest excess %lf dB\n"
                     "  after:  RMS %lf dB, largest excess %lf dB",
                     &rms_before, &before, &rms_after, &after), 4);
    printf("%s: largest excess %.2f -> %.2f dB, RMS %.2f -> %.2f dB, 30-250 Hz %+.2f dB "
           "from the room cut to the house curve\n",
           c.args.empty() ? "default" : c.args[0].c_str(), before, after, rms_before, rms_after,
           bass);
    fflush(stdout);  // before the next child process is started
    EXPECT_TRUE(before > 4 && after < 1.0 && rms_after < rms_before) << r.out;
  }
  RemoveTree(dir);
}

// What quelmar-eq prints of the target, and a single mode undone by a single
// filter: a loud point among quiet ones, a response as its own target, and
// a target moved by less than 0.05 dB.
TEST(Eq, PrintsTheTargetItUses) {
  const std::string dir = MakeTempDir();
  const FilterSpec mode = {FilterType::kPeak, 62, 8, 4};
  ASSERT_TRUE(WriteFile(dir + "/room.txt", RoomText()) &&
              WriteFile(dir + "/one.txt", RoomText(&mode, 1)) &&
              WriteFile(dir + "/loud.txt", "20 0\n99 0\n100 170\n101 0\n3000 0") &&
              WriteFile(dir + "/level.txt", "20 -11.97\n20000 -11.97"));
  const struct { std::vector<std::string> args; std::string says; } cases[] = {
      {{"loud.txt"}, "Target: flat at 0.0 dB"},
      {{"room.txt", "--target", "room.txt"}, "No filter needed"},
      {{"one.txt", "--target", "level.txt"},
       "moved by 0.0 dB to the response's median level over 300-3000 Hz"}};
  for (const auto& c : cases) {
    const ProcessResult r = Exec(dir, c.args);
    EXPECT_TRUE(r.exit_status == 0 && r.out.find(c.says) < r.out.npos &&
                r.out.find("nan") == r.out.npos && r.out.find("inf") == r.out.npos) << r.out;
  }
  const std::vector<FilterSpec> f = ApoFilters(ReadFile(dir + "/one-eq.txt"));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_TRUE(std::fabs(f[0].freq - 62) < 0.5 && std::fabs(f[0].gain_db + 8) < 0.5 &&
              std::fabs(f[0].q - 4) < 0.3) << f[0].freq << " " << f[0].gain_db << " " << f[0].q;
  RemoveTree(dir);
}

// Damaged responses are refused with a message or fitted, never a crash; a
// filter file exactly when the run succeeds.
TEST(Eq, SurvivesDamagedResponses) {
  const std::string dir = MakeTempDir(), room = RoomText();
  std::mt19937 rng(20261207);
  int accepted = 0;
  for (int i = 0; i < 60; ++i) {
    std::string text = room;
    const size_t at = rng() % text.size();
    const std::string pieces[] = {"1e308", "999999", "-", "", std::string(1, char(rng()))};
    text.replace(at, rng() % 3 ? 1 : rng() % 2000, pieces[rng() % 5]);
    remove((dir + "/r-eq.txt").c_str());
    ASSERT_TRUE(WriteFile(dir + "/r.txt", text));
    const ProcessResult r = Exec(dir, {"r.txt", "--filters", "3"});
    const bool written = ReadFile(dir + "/r-eq.txt").size() || r.out.find("No filter") < 1e9;
    ASSERT_TRUE(r.exit_status == 0 ? written && r.err.empty() && r.out.find("inf") > 1e9
                                   : r.exit_status == 1 && !written && r.err.size())
        << r.exit_status << r.err;
    accepted += r.exit_status == 0;
  }
  printf("%d of 60 damaged responses fitted, the rest refused\n", accepted);
  EXPECT_TRUE(accepted >= 3 && accepted <= 57);  // both outcomes exercised
  RemoveTree(dir);
}

}  // namespace
