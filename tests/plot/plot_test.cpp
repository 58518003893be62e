#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "formats/distortion_file.h"
#include "formats/result_table.h"
#include "formats/waterfall_file.h"
#include "plot/svg_chart.h"
#include "support/transcript.h"

namespace {

const std::string kHead = "Results:\nBand\tRange (Hz)\tdB\n";

// Three runs with different band plans, their blocks on lines 1, 6 and 11; run 2
// spans 100-1000 Hz and its band 2 has no data.
const std::string kRuns = kHead + "1\t18\t22\t0.0\n2\t22\t27\t-1.5\n3\t27\t33\t-3.0\n" + kHead +
                          "1\t100\t200\t0.0\n2\t200\t400\t-144.0\n3\t400\t1000\t-6.0\n" + kHead +
                          "1\t300\t360\t-0.5\n2\t360\t432\t-7.5\n";

bool Parse(const std::string& text, std::vector<ResultRun>* runs, std::string* error) {
  return ParseResults(text.data(), text.size(), runs, error);
}

std::string Chart(const std::vector<ResultRun>& runs, const ChartOptions& options = {}) {
  std::vector<ChartLine> lines;
  for (const ResultRun& run : runs) lines.push_back({"run " + std::to_string(run.number), &run});
  std::string svg;
  WriteSvgChart(lines.data(), lines.size(), options, &svg);
  return svg;
}

// Every piece of svg between `before` and the next `after`, in order.
std::vector<std::string> All(const std::string& svg, const std::string& before,
                             const std::string& after) {
  std::vector<std::string> found;
  for (size_t at = svg.find(before); at != svg.npos; at = svg.find(before, at)) {
    at += before.size();
    found.push_back(svg.substr(at, svg.find(after, at) - at));
  }
  return found;
}

// The number in attribute `name` of the first element holding `marker`.
double Attr(const std::string& svg, const std::string& marker, const std::string& name) {
  const size_t at = svg.find(" " + name + "=\"", svg.find(marker));
  return at == std::string::npos ? NAN : atof(svg.c_str() + at + name.size() + 3);
}

// The x, y pairs of a path's coordinates, in order.
std::vector<std::pair<double, double>> Coordinates(const std::string& list) {
  std::vector<double> v;
  for (const char* p = list.c_str(); *p;) {
    char* end;
    const double x = strtod(p, &end);
    if (end == p) ++p; else v.push_back(x), p = end;
  }
  std::vector<std::pair<double, double>> xy;
  for (size_t i = 0; i + 1 < v.size(); i += 2) xy.push_back({v[i], v[i + 1]});
  return xy;
}

// The coordinates of the n-th path (from 0) after `marker`.
std::vector<std::pair<double, double>> Path(const std::string& svg, const std::string& marker,
                                            int n = 0) {
  size_t at = svg.find(marker);
  while (n-- > 0 && at != svg.npos) at = svg.find(marker, at + 1);
  const size_t d = at == svg.npos ? svg.size() : svg.find(" d=\"", at) + 4;
  return Coordinates(svg.substr(d, svg.find('"', d) - d));
}

// An axis read from its ticks at a and b (data-<key>), linear or logarithmic.
struct Axis {
  double a, pa, b, pb;
  bool log;
  double F(double v) const { return log ? std::log10(v) : v; }
  double Px(double v) const { return pa + (F(v) - F(a)) / (F(b) - F(a)) * (pb - pa); }
  double Value(double px) const {
    const double f = F(a) + (px - pa) / (pb - pa) * (F(b) - F(a));
    return log ? std::pow(10.0, f) : f;
  }
};
Axis AxisOf(const std::string& svg, const std::string& key, double a, double b, bool log = false) {
  auto at = [&](double v) {
    char tick[64];
    snprintf(tick, sizeof tick, "data-%s=\"%g\"", key.c_str(), v);
    const bool x = svg.compare(svg.rfind("<line", svg.find(tick)), 19, "<line class=\"x-tick") == 0;
    return Attr(svg, tick, x ? "x1" : "y1");
  };
  return {a, at(a), b, at(b), log};
}

// xmllint reads the chart and rsvg-convert renders it.
void ExpectRendered(const std::string& dir, const std::string& svg) {
  ProcessResult r = RunIn(dir, {XMLLINT_BIN, "--noout", svg});
  EXPECT_TRUE(r.exit_status == 0 && r.err.empty()) << svg << ": " << r.err;
  r = RunIn(dir, {RSVG_CONVERT_BIN, "-o", "chart.png", svg});
  const std::string png = ReadFile(dir + "/chart.png");
  EXPECT_TRUE(r.exit_status == 0 && png.size() > 1000 && png.compare(0, 4, "\x89PNG") == 0)
      << svg << ": " << r.err;
}

void WriteWav(const std::string& path, const std::vector<double>& x, int channels) {
  SF_INFO info = {0, 48000, channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_TRUE(f && sf_writef_double(f, x.data(), x.size() / channels) > 0);
  sf_close(f);
}

TEST(ResultFile, ReadsRunsWithDifferentBandPlans) {
  std::vector<ResultRun> runs;
  std::string error, crlf;  // line breaks turned into CR LF are read alike
  for (char c : kRuns) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  ASSERT_TRUE(Parse(kRuns, &runs, &error) && Parse(crlf, &runs, &error)) << error;
  ASSERT_EQ(runs.size(), 6u);
  EXPECT_TRUE(runs[5].line == 11 && runs[5].bands.size() == 2 && runs[5].bands[1].level == -7.5);
  EXPECT_TRUE(runs[0].bands.size() == 3 && runs[1].bands.size() == 3 && runs[2].bands.size() == 2);
  EXPECT_TRUE(runs[2].number == 3 && runs[2].line == 11 && runs[2].bands[1].lo == 360 &&
              runs[2].bands[1].hi == 432 && runs[2].bands[1].level == -7.5);
  EXPECT_TRUE(BandHasLevel(runs[1].bands[0]) && !BandHasLevel(runs[1].bands[1]));  // -144.0
}

TEST(ResultFile, MalformedFilesNameTheLineAndWhatWasExpected) {
  const struct { std::string text, error; } cases[] = {
      {"", "the file is empty: no results to plot"},
      {"hello\n", "no \"Results:\" block in the file: no results to plot"},
      {kHead + "1\t18\t22\t0.0\n3\t22\t27\t-1.0\n", "line 4: expected band number 2, found \"3\""},
      {kHead + "1\t18\t\t22\t0.0\n", "line 3: expected 4 fields separated by tabs (band, low, "
                                     "high, dB), found \"1\\t18\\t\\t22\\t0.0\""},
      {kHead + "1\t18\t22\t-12345.0\n",
       "line 3: expected a level between -10000.0 and 10000.0 dB, found \"-12345.0\""},
      {kRuns + "3\t432\t518\t-3\n",
       "line 15: expected the level in dB with one decimal (such as -3.5), found \"-3\""},
      {kHead + "1\t18\t" + std::string(309, '9') + "\t0.0\n",  // infinity as a double
       "line 3: expected the high edge as a finite whole number of hertz, found \"" +
           std::string(40, '9') + "\"..."}};
  for (const auto& c : cases) {
    std::vector<ResultRun> runs(1);  // left as it was on failure
    std::string error;
    EXPECT_FALSE(Parse(c.text, &runs, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(runs.size(), 1u);
  }
}

// Damaged files are rejected with a line number, or drawn without NaN or infinity.
TEST(ResultFile, MangledFilesAreRejectedOrDrawn) {
  std::mt19937 rng(20240607);
  int accepted = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = kRuns, error;
    for (int e = 0, edits = 1 + rng() % 2; e < edits; ++e) {
      const size_t at = rng() % (text.size() + 1);
      switch (rng() % 5) {
        case 0: text.resize(at); break;
        case 1: if (at < text.size()) text[at] = char(rng()); break;
        case 2: text.insert(at, std::string(1 + rng() % 400, '9')); break;  // huge number
        case 3: text.erase(at, text.find_first_of("\t\n", at + 1) - at); break;  // lost field
        case 4: text.insert(at, rng() % 2 ? "\r" : rng() % 2 ? "\t" : kHead.c_str()); break;
      }
    }
    std::vector<ResultRun> runs;
    if (Parse(text, &runs, &error)) {
      ++accepted;
      const std::string svg = Chart(runs);
      ASSERT_TRUE(svg.find("nan") == std::string::npos && svg.find("inf") == std::string::npos);
    } else {
      ASSERT_TRUE(error.rfind("line ", 0) == 0 || error.find("no results") != std::string::npos);
    }
  }
  EXPECT_TRUE(accepted > 40 && accepted < 1000) << accepted;  // both outcomes exercised
}

// Run 2's steps lie where the axes' own ticks at 100 and 1000 Hz, 0 and -6 dB
// put them; its band without data (-144.0) is a gap and leaves the level range alone.
TEST(SvgChart, StepsLieWhereTheAxesPutThem) {
  std::vector<ResultRun> runs;
  std::string error;
  ASSERT_TRUE(Parse(kRuns, &runs, &error)) << error;
  const std::string svg = Chart({runs[1]});
  const Axis x = AxisOf(svg, "hz", 100, 1000, true), y = AxisOf(svg, "db", 0, -6);
  const auto s = Path(svg, "class=\"run\"");  // M x y H x M x y H x
  ASSERT_EQ(s.size(), 3u) << svg;
  const double want[] = {x.Px(100), y.Px(0), x.Px(200), x.Px(400), y.Px(-6), x.Px(1000)};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(i % 2 ? s[i / 2].second : s[i / 2].first, want[i], 0.02);
  EXPECT_LT(Attr(svg, "class=\"plot-area\"", "y") + Attr(svg, "class=\"plot-area\"", "height"),
            y.Px(-15));  // the frame ends above -15 dB
}

// A few artefact bands far below the rest do not pull the frame down: they run
// along its bottom edge, each marked. A range set by hand holds.
TEST(SvgChart, LevelRangeFollowsTheBulkOrTheRangeGiven) {
  std::vector<ResultRun> runs(1);
  for (int k = 1; k <= 31; ++k)  // 28 bands from -0.5 to -12.5 dB, three at -72.0
    runs[0].bands.push_back({100.0 * k, 100.0 * k + 100, k <= 3 ? -72.0 : -0.5 - k * 7 % 13});
  // y1: band 1's height, on the frame's bottom edge (480) when below the range.
  const struct { bool fixed; double lo, hi; std::string top, bottom; size_t marks; double y1; }
      cases[] = {{false, 0, 0, "0", "-15", 3, 480}, {true, -80, 5, "0", "-78", 0, 440.47},
                 {true, -6, 0, "0", "-6", 18, 480}};
  for (const auto& c : cases) {
    ChartOptions options;
    options.fixed_range = c.fixed, options.db_lo = c.lo, options.db_hi = c.hi;
    const std::string svg = Chart(runs, options);
    const std::vector<std::string> ticks = All(svg, "data-db=\"", "\"");
    EXPECT_TRUE(!ticks.empty() && ticks.front() == c.top && ticks.back() == c.bottom) << c.lo;
    EXPECT_EQ(All(svg, "class=\"clip-mark\"", "").size(), c.marks) << c.lo;
    double y1 = 0;
    EXPECT_TRUE(sscanf(svg.c_str() + svg.find(" d=\"M"), " d=\"M%*f %lf", &y1) == 1 &&
                std::fabs(y1 - c.y1) < 0.01) << y1;
  }
}

// Past ten lines the colours repeat with a dash pattern; a run without data
// takes no style, and the legend shows each line's own.
TEST(SvgChart, ManyRunsAreToldApart) {
  std::vector<ResultRun> runs(25);
  for (int i = 0; i < 25; ++i) runs[i].bands = {{100, 200, i == 3 ? kNoDataLevel : -i}};
  const std::string svg = Chart(runs);
  std::vector<std::string> lines = All(svg, "class=\"run\" id=\"", " d=");
  for (std::string& line : lines) line.erase(0, line.find(" stroke=") + 8);
  ASSERT_TRUE(lines.size() == 24 && std::set<std::string>(lines.begin(), lines.end()).size() == 24);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[i].find("dash"), std::string::npos) << i;
  EXPECT_EQ(All(svg.substr(svg.find("class=\"legend\"")), " stroke=", "/>"), lines);
}

// Item 15: a curve is cut to the lowest and highest point of each pixel
// column, so that the chart's size does not grow with the points; every
// column keeps both, and the chart stays readable and renderable.
TEST(SvgChart, CurvesAreThinnedToTheirPixelColumns) {
  size_t sizes[2];
  for (size_t n : {3000, 300000}) {
    Curve c;
    for (size_t k = 0; k < n; ++k) {
      c.freq.push_back(20.0 * std::pow(1000.0, static_cast<double>(k) / (n - 1)));
      c.db.push_back(12.0 * std::sin(0.37 * k) * std::cos(0.0011 * k));
    }
    ChartOptions options;
    options.fixed_range = true, options.db_lo = -15, options.db_hi = 15;
    const ChartLine line{"c", nullptr, &c};
    std::string svg;
    WriteSvgChart(&line, 1, options, &svg);
    sizes[n > 3000] = svg.size();
    const Axis x = AxisOf(svg, "hz", 20, 20000, true), y = AxisOf(svg, "db", 0, -6);
    std::map<long, std::pair<double, double>> want, got;  // column: lowest and highest y
    auto add = [](std::map<long, std::pair<double, double>>* m, double px, double py) {
      auto& e = m->emplace(std::lround(std::floor(px)), std::make_pair(py, py)).first->second;
      e = {std::min(e.first, py), std::max(e.second, py)};
    };
    for (size_t k = 0; k < n; ++k)
      add(&want, std::round(x.Px(c.freq[k]) * 100) / 100, y.Px(c.db[k]));
    for (auto [px, py] : Path(svg, "class=\"response\"")) add(&got, px, py);
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [column, w] : want) {
      EXPECT_NEAR(got[column].first, w.first, 0.006) << column;
      EXPECT_NEAR(got[column].second, w.second, 0.006) << column;
    }
  }
  EXPECT_LT(sizes[1], sizes[0] * 1.05) << sizes[0];
}

// The phase in radians of a peaking biquad at 100 Hz (Q 4, +12 dB, at 48 kHz)
// after a pure delay of 1 ms.
double BiquadPhase(double f) {
  const double w0 = 2 * M_PI * 100 / 48000, a = std::pow(10.0, 12.0 / 40), c = std::cos(w0);
  const double alpha = std::sin(w0) / (2 * 4.0);
  const std::complex<double> z = std::polar(1.0, -2 * M_PI * f / 48000);
  return std::arg((1 + alpha * a - 2 * c * z + (1 - alpha * a) * z * z) /
                  (1 + alpha / a - 2 * c * z + (1 - alpha / a) * z * z)) -
         2 * M_PI * f * 0.001;
}

// Every kind of file the charts take, in one folder: result files and
// responses, impulse responses (an impulse at 12.5 ms, a 1 kHz tone decaying
// by 8.69 dB per 100 ms from half the impulse's amplitude), a recording, a
// response with the phase of BiquadPhase, a waterfall whose
// mode at 68-74 Hz decays by 60 dB in 400 ms, and a distortion file with H2
// below the noise at 800 Hz, H3 at 400 and 800 Hz.
class Plot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakeTempDir();
    std::vector<double> impulse(24000), decay(24000), stereo(200);
    impulse[600] = 1;
    for (size_t i = 0; i < decay.size(); ++i)
      decay[i] = 0.5 * std::exp(-(i / 48000.0) / 0.1) * std::sin(2 * M_PI * 1000 * i / 48000.0);
    std::string delay;
    for (double f = 20; f < 20000; f *= std::exp2(1.0 / 48))
      delay += std::to_string(f) + " 0 " +
               std::to_string(std::remainder(BiquadPhase(f) * 180 / M_PI, 360.0)) + "\n";
    std::vector<WaterfallSlice> slices(31);
    for (int i = 0; i <= 30; ++i) {
      slices[i].time_ms = 10.0 * i;
      for (double f = 20; f < 300; f *= std::exp2(1.0 / 48)) {
        slices[i].freq.push_back(f);
        slices[i].db.push_back(f > 68 && f < 74 ? -60.0 * i * 10 / 400 : -10 - 60.0 * i * 10 / 50);
      }
    }
    DistortionTable distortion{true, {}};
    for (const DistortionRow& r : {DistortionRow{100, 0, {-50, -55}, {false, false}, 0.5},
                                   {200, 0, {-40, -50}, {false, false}, 1.2},
                                   {400, 0, {-45, -52}, {false, true}, 0.7},
                                   {800, 0, {-60, -65}, {true, true}, 0.2}})
      distortion.rows.push_back(r);
    WriteWav(dir_ + "/imp.wav", impulse, 1);
    WriteWav(dir_ + "/decay.wav", decay, 1);
    WriteWav(dir_ + "/rec.wav", stereo, 2);
    ASSERT_TRUE(WriteFile(dir_ + "/sweep_out.txt", kRuns) &&
                WriteFile(dir_ + "/empty.txt", kHead + "1\t18\t22\t-144.0\n") &&
                WriteFile(dir_ + "/rew.txt", "* Data\n* Freq(Hz) SPL(dB) Phase(degrees)\n"
                                             "20 -3.5 10\n100\t-6 0\n1000  -9.25 -5\n") &&
                WriteFile(dir_ + "/ours.txt", "* Source: sweep_001.wav\n* Freq(Hz), SPL(dB), "
                                              "Phase(degrees)\n50.0000, -1.000, 0.00\n5e3, "
                                              "-2.000, 0.00\n") &&
                WriteFile(dir_ + "/delay.txt", delay) &&
                WriteFile(dir_ + "/wf.txt", FormatWaterfall(slices)) &&
                WriteFile(dir_ + "/d.txt", FormatDistortion({}, distortion)) &&
                mkdir((dir_ + "/a").c_str(), 0755) == 0 && mkdir((dir_ + "/b").c_str(), 0755) == 0);
    for (const char* name : {"a/r.txt", "b/r.txt", "a/s.txt"})
      ASSERT_TRUE(WriteFile(dir_ + "/" + name, "20 -3\n100 -6\n1000 -9\n"));
  }
  static void TearDownTestSuite() { RemoveTree(dir_); }
  // Runs quelmar-plot with `args` in the folder; returns the chart it wrote.
  static std::string Draw(const std::vector<std::string>& args, const std::string& wrote) {
    std::vector<std::string> argv = {QUELMAR_PLOT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = RunIn(dir_, argv);
    EXPECT_TRUE(r.exit_status == 0 && r.out == wrote) << r.out << r.err;
    const std::string svg = ReadFile(dir_ + "/" + r.out.substr(6, r.out.find(':') - 6));
    ExpectRendered(dir_, r.out.substr(6, r.out.find(':') - 6));
    return svg;
  }
  static std::string dir_;
};
std::string Plot::dir_;

TEST_F(Plot, DrawsResultAndResponseFilesWithOverlays) {
  // Bytes XML does not take: a control, an invalid byte, U+FFFE, a surrogate.
  const std::string title = "<Room> & \"sofa\" \x01\xff\xef\xbf\xbe\xed\xa0\x80 \xc3\xa9";
  const std::string svg =
      Draw({"--title", title, "--last", "2", "sweep_out.txt", "rew.txt", "ours.txt", "empty.txt",
            "-o", "c.svg", "--db-range", "-20:5", "--predicted", "a/r.txt", "--target", "b/r.txt",
            "--target-shift", "-3"},
           "Wrote c.svg: sweep_out.txt (runs 2 to 3 of 3), rew.txt, ours.txt, empty.txt (run 1 "
           "of 1), a/r.txt (predicted), b/r.txt (target, moved by -3.0 dB)\n");
  const std::string replaced = "\xef\xbf\xbd";
  EXPECT_NE(svg.find(">&lt;Room&gt; &amp; &quot;sofa&quot;  " + replaced + replaced + replaced +
                     replaced + replaced + " \xc3\xa9</text>"),
            svg.npos);
  EXPECT_EQ(All(svg.substr(svg.find("class=\"legend\">") + 15), "\">", "</text>"),
            (std::vector<std::string>{
                "sweep_out.txt: run 2", "sweep_out.txt: run 3", "rew.txt", "ours.txt",
                "empty.txt: run 1 (no data)", "a/r.txt (predicted)",
                "b/r.txt (target, moved by -3.0 dB)"}));
  EXPECT_TRUE(Path(svg, "class=\"response\"").size() == 3 &&
              Path(svg, "class=\"response\"", 1).size() == 2);
  // The target lies under the lines, broad and grey, 3 dB below its file;
  // the prediction over them, dashed.
  EXPECT_LT(svg.find("class=\"target\""), svg.find("class=\"run\""));
  EXPECT_NEAR(Path(svg, "class=\"target\"")[0].second, AxisOf(svg, "db", 0, -6).Px(-6), 0.01);
  EXPECT_NE(svg.find("stroke-width=\"9\" stroke-opacity=\"0.35\" d="), svg.npos);
  EXPECT_NE(svg.find("id=\"line-6\" stroke=\"#9467bd\" stroke-width=\"2\" stroke-dasharray=\"7"),
            svg.npos);
  EXPECT_EQ(All(svg, "data-db=\"", "\"").front(), "3");
}

// Item 16: a chart is named after its first file, identical lines do not
// hide each other, the legend shows base names unless two are equal, and a
// file of the wrong kind is named as what it is.
TEST_F(Plot, NamesChartsFilesAndLines) {
  std::string svg =
      Draw({"a/r.txt", "b/r.txt", "a/s.txt"}, "Wrote a/r.svg: a/r.txt, b/r.txt, a/s.txt\n");
  EXPECT_EQ(All(svg.substr(svg.find("class=\"legend\">") + 15), "\">", "</text>"),
            (std::vector<std::string>{"a/r.txt", "b/r.txt (same as a/r.txt)",
                                      "s.txt (same as a/r.txt)"}));
  EXPECT_EQ(All(svg, "stroke-dasharray=\"", "\"").size(), 4u);  // two lines, their swatches
  Draw({"sweep_out.txt"}, "Wrote sweep_out.svg: runs 1 to 3 of 3\n");
  Draw({"a/r.txt", "--target", "b/r.txt", "--target-shift", "-0.04", "-o", "t.svg"},
       "Wrote t.svg: a/r.txt, b/r.txt (target)\n");
  const struct { std::vector<std::string> args; std::string error; } cases[] = {
      {{"rec.wav"}, "rec.wav: this is a recording (a WAV file of two channels); make its impulse "
                    "response with quelmar-analyze rec.wav --ir IR.wav, then draw that"},
      {{"ours.txt", "imp.wav"}, "imp.wav: this is a WAV file of one channel; draw an impulse"},
      {{"imp.wav", "ours.txt"}, "ours.txt: this is a response; draw it on a chart of levels"},
      {{"ours.txt", "wf.txt"}, "wf.txt: this is a waterfall file; draw a waterfall on its own"},
      {{"ours.txt", "d.txt"}, "d.txt: this is a distortion file; draw harmonic distortion on a"},
      {{"d.txt", "wf.txt"}, "wf.txt: this is a waterfall file; draw a waterfall on its own"},
      {{"a/r.svg"}, "a/r.svg: this is a chart; give quelmar-plot the file that the chart was"},
      {{"ours.txt", "--target", "imp.wav"}, "imp.wav: this is a WAV file of one channel; --target"},
      {{"--phase", "sweep_out.txt"}, "sweep_out.txt: this is a result file, whose bands have no"},
      {{"--phase", "a/s.txt"}, "a/s.txt: this response has no phase column"},
      {{"--phase", "imp.wav"}, "imp.wav: this is a WAV file of one channel; --phase draws"},
      {{"ours.txt", "--time-range", "0:5"}, "option '--time-range' does not apply to a chart"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {QUELMAR_PLOT_BIN, "-o", "no.svg"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult r = RunIn(dir_, argv);
    EXPECT_TRUE(r.exit_status == 1 && r.err.find("quelmar-plot: " + c.error) == 0) << r.err;
    EXPECT_EQ(ReadFile(dir_ + "/no.svg"), "");
  }
}

// The impulse's peak lies at 12.5 ms, and the energy-time curve of the
// decaying tone at 20 log10(0.5) dB less 8.69 dB per 100 ms: every point of
// it, each the lowest or highest of its pixel column.
TEST_F(Plot, DrawsImpulseResponsesAndTheirEnergyTimeCurves) {
  const std::string svg = Draw({"imp.wav", "decay.wav"}, "Wrote imp.svg: imp.wav, decay.wav\n");
  const Axis t = AxisOf(svg, "ms", 0, 500), db = AxisOf(svg, "db", 0, -24);
  const auto impulse = Path(svg, "id=\"line-1\"");
  ASSERT_FALSE(impulse.empty());
  EXPECT_NEAR(t.Value(std::min_element(impulse.begin(), impulse.end(),
                                       [](auto a, auto b) { return a.second < b.second; })->first),
              12.5, 0.01);
  int checked = 0;
  for (auto [px, py] : Path(svg, "id=\"line-2\"", 1)) {
    const double ms = t.Value(px);
    if (ms < 20 || ms > 450) continue;
    EXPECT_NEAR(db.Value(py), 20 * std::log10(0.5) - 8.6859 * ms / 100, 0.05) << ms;
    ++checked;
  }
  EXPECT_GT(checked, 1000);
}

// The group delay of the biquad after the delay, against the derivative of
// its exact phase at each point's frequency: within 0.8 % of its peak delay
// of 20 ms. The wrapped phase is broken at each of its 20 wraps, never
// joined across the frame.
TEST_F(Plot, DrawsPhaseAndGroupDelay) {
  const std::string svg = Draw({"--phase", "delay.txt"}, "Wrote delay-phase.svg: delay.txt\n");
  const Axis f = AxisOf(svg, "hz", 100, 1000, true), ms = AxisOf(svg, "ms", 0, 10);
  const auto delay = Path(svg, "id=\"line-1\"", 1);
  double largest = 0;
  for (auto [px, py] : delay) {
    const double hz = f.Value(px), want = -1e3 * (BiquadPhase(hz + 1e-3) - BiquadPhase(hz - 1e-3)) /
                                          (2 * M_PI * 2e-3);
    EXPECT_NEAR(ms.Value(py), want, 0.15) << hz;
    largest = std::max(largest, want);
  }
  EXPECT_TRUE(delay.size() > 400 && largest > 19) << largest;
  const size_t at = svg.find(" d=\"", svg.find("id=\"line-1\""));
  EXPECT_EQ(std::count(svg.begin() + at, svg.begin() + svg.find('"', at + 4), 'M'), 21);
}

// The mode's cell at 190 ms is coloured as the scale's step holding its
// -28.5 dB; the rest at that time lies below the scale.
TEST_F(Plot, DrawsAWaterfallAsAHeatMap) {
  const std::string svg = Draw({"wf.txt"}, "Wrote wf.svg: wf.txt\n");
  const Axis f = AxisOf(svg, "hz", 20, 100, true), t = AxisOf(svg, "ms", 0, 300);
  auto fill_at = [&](double hz, double ms) {
    double x, y, w, h;
    char fill[8] = "";
    for (const std::string& r : All(svg, "<rect x=", "/>"))
      if (sscanf(r.c_str(), "\"%lf\" y=\"%lf\" width=\"%lf\" height=\"%lf\" fill=\"#%6s", &x, &y,
                 &w, &h, fill) == 5 && f.Px(hz) >= x && f.Px(hz) < x + w && t.Px(ms) >= y &&
          t.Px(ms) < y + h)
        return std::string(fill);
    return std::string("none");
  };
  // The scale runs from 0 dB (the loudest level) down 45 dB in 3 dB steps.
  auto swatch = [&](const std::string& lo) {
    return svg.substr(svg.find("fill=\"#", svg.find("data-db-lo=\"" + lo + "\"")) + 7, 6);
  };
  EXPECT_EQ(fill_at(71, 195), swatch("-30"));
  EXPECT_EQ(fill_at(150, 195), swatch("-10000"));
  EXPECT_NE(swatch("-30"), swatch("-10000"));
  // Damaged files that still parse, at their extremes, are drawn whole.
  std::mt19937 rng(7);
  std::string text = ReadFile(dir_ + "/wf.txt");
  text.resize(text.find('\n', 4000) + 1);
  int drawn = 0;
  for (int i = 0; i < 400; ++i) {
    std::string damaged = text;
    damaged.insert(rng() % damaged.size(), rng() % 2 ? "999999999" : rng() % 2 ? "\n" : "-.0");
    std::vector<WaterfallSlice> slices;
    std::string error, chart;
    if (!ParseWaterfall(damaged.data(), damaged.size(), &slices, &error)) continue;
    const WaterfallMap map{"w", &slices};
    WriteWaterfallChart(&map, 1, {}, &chart);
    ASSERT_TRUE(chart.find("nan") == chart.npos && chart.find("inf") == chart.npos &&
                chart.size() < 2000000 && chart.rfind("</svg>\n") == chart.size() - 7) << damaged;
    ++drawn;
  }
  EXPECT_GT(drawn, 40);
}

// H2 at 200 Hz (-40 dB) lies at 1 % of the percent scale, THD there at
// 1.2 %; the floors are marked, H3's at 400 Hz dashed, not in its solid line.
TEST_F(Plot, DrawsDistortionWithItsFloors) {
  const std::string svg = Draw({"d.txt", "--db-range", "-80:-10"}, "Wrote d.svg: d.txt\n");
  const Axis f = AxisOf(svg, "hz", 100, 500, true), db = AxisOf(svg, "db", -30, -60);
  const auto h2 = Path(svg, "id=\"line-1\""), h3 = Path(svg, "id=\"line-2\"");
  ASSERT_TRUE(h2.size() == 3 && h3.size() == 2) << svg;
  const auto h3_floor = Path(svg, "id=\"dashed-2\"")[1];
  EXPECT_TRUE(std::hypot(h2[1].first - f.Px(200), h2[1].second - db.Px(-40)) < 0.02 &&
              std::hypot(h3_floor.first - f.Px(400), h3_floor.second - db.Px(-52)) < 0.02);
  EXPECT_NEAR(Attr(svg, "data-percent=\"1\"", "y1"), db.Px(-40), 0.01);
  EXPECT_NEAR(Path(svg, "id=\"line-3\"")[1].second, db.Px(20 * std::log10(0.012)), 0.01);
  EXPECT_EQ(All(svg, "class=\"floor-mark\"", "").size(), 4u);  // H2 1, H3 2, THD 1
}

}  // namespace
