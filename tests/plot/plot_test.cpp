#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>

#include "formats/result_table.h"
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
  const double x100 = Attr(svg, "data-hz=\"100\"", "x1"), x1k = Attr(svg, "data-hz=\"1000\"", "x1");
  const double y0 = Attr(svg, "data-db=\"0\"", "y1"), y6 = Attr(svg, "data-db=\"-6\"", "y1");
  const size_t at = svg.find(" d=\"", svg.find("class=\"run\""));
  const char* d = at == svg.npos ? "" : svg.c_str() + at;
  double s[6];
  ASSERT_EQ(sscanf(d, " d=\"M%lf %lf H%lf M%lf %lf H%lf\"", s, s + 1, s + 2, s + 3, s + 4, s + 5),
            6) << svg;
  const double want[] = {x100, y0, x100 + std::log10(2) * (x1k - x100),
                         x100 + std::log10(4) * (x1k - x100), y6, x1k};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(s[i], want[i], 0.02) << i;
  EXPECT_LT(Attr(svg, "id=\"plot-area\"", "y") + Attr(svg, "id=\"plot-area\"", "height"),
            y0 + 2.5 * (y6 - y0));  // the frame ends above -15 dB
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
  EXPECT_EQ(All(svg, "stroke-width=\"2\" stroke=", "/>"), lines);  // the legend's
}

TEST(PlotProgram, DrawsResultAndResponseFilesOnOneChart) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/sweep_out.txt", kRuns) &&
              WriteFile(dir + "/empty.txt", kHead + "1\t18\t22\t-144.0\n") &&
              WriteFile(dir + "/rew.txt", "* Data\n* Freq(Hz) SPL(dB) Phase(degrees)\n"
                                          "20 -3.5 10\n100\t-6 0\n1000  -9.25 -5\n") &&
              WriteFile(dir + "/ours.txt", "* Source: sweep_001.wav\n* Freq(Hz), SPL(dB), Phase("
                                           "degrees)\n50.0000, -1.000, 0.00\n5e3, -2.000, 0.00\n"));
  const std::string title = "<Room> & \"sofa\" \x01\xff";
  ProcessResult r = RunIn(dir, {QUELMAR_PLOT_BIN, "--title", title, "--last", "2", "sweep_out.txt",
                                "rew.txt", "ours.txt", "empty.txt", "-o", "c.svg", "--db-range",
                                "-20:5"});
  EXPECT_TRUE(r.exit_status == 0 && r.out == "Wrote c.svg: sweep_out.txt (runs 2 to 3 of 3), "
                                             "rew.txt, ours.txt, empty.txt (run 1 of 1)\n")
      << r.err;
  const std::string svg = ReadFile(dir + "/c.svg");
  EXPECT_NE(svg.find(">&lt;Room&gt; &amp; &quot;sofa&quot;  \xef\xbf\xbd</text>"), svg.npos);
  EXPECT_EQ(All(svg.substr(svg.find("class=\"legend\">") + 15), "\">", "</text>"),
            (std::vector<std::string>{"sweep_out.txt: run 2", "sweep_out.txt: run 3", "rew.txt",
                                      "ours.txt", "empty.txt: run 1 (no data)"}));
  const std::vector<std::string> points = All(svg, " points=\"", "\"");  // one line per response
  EXPECT_TRUE(points.size() == 2 && std::count(points[0].begin(), points[0].end(), ',') == 3 &&
              std::count(points[1].begin(), points[1].end(), ',') == 2);
  EXPECT_EQ(All(svg, "data-db=\"", "\"").front(), "3");
  r = RunIn(dir, {XMLLINT_BIN, "--noout", "c.svg"});
  EXPECT_TRUE(r.exit_status == 0 && r.err.empty()) << XMLLINT_BIN << ": " << r.err;
  r = RunIn(dir, {RSVG_CONVERT_BIN, "-o", "chart.png", "c.svg"});
  const std::string png = ReadFile(dir + "/chart.png");
  EXPECT_TRUE(r.exit_status == 0 && png.size() > 1000 && png.compare(0, 4, "\x89PNG") == 0)
      << RSVG_CONVERT_BIN << ": " << r.err;
  EXPECT_EQ(RunIn(dir, {QUELMAR_PLOT_BIN, "ours.txt"}).out, "Wrote sweep_out.svg: ours.txt\n");
  RemoveTree(dir);
}

}  // namespace
