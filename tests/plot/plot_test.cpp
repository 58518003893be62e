#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "plot/result_file.h"
#include "plot/svg_chart.h"
#include "support/process.h"

namespace {

const std::string kHead = "Results:\nBand\tRange (Hz)\tdB\n";

// Three runs with different band plans, their blocks on lines 1, 6 and 11; run 2
// spans 100-1000 Hz and its band 2 has no data.
const std::string kRuns = kHead + "1\t18\t22\t0.0\n2\t22\t27\t-1.5\n3\t27\t33\t-3.0\n" + kHead +
                          "1\t100\t200\t0.0\n2\t200\t400\t-144.0\n3\t400\t1000\t-6.0\n" + kHead +
                          "1\t300\t360\t-0.5\n2\t360\t432\t-7.5\n";

bool Parse(const std::string& text, std::vector<PlotRun>* runs, std::string* error) {
  return ParseResults(text.data(), text.size(), runs, error);
}

ProcessResult RunIn(const std::string& dir, const std::vector<std::string>& argv) {
  ProcessOptions options;
  options.cwd = dir;
  return RunProcess(argv, options);
}

// The number in attribute `name` of the first element holding `marker`.
double Attr(const std::string& svg, const std::string& marker, const std::string& name) {
  const size_t at = svg.find(" " + name + "=\"", svg.find(marker));
  return at == std::string::npos ? NAN : atof(svg.c_str() + at + name.size() + 3);
}

TEST(ResultFile, ReadsRunsWithDifferentBandPlans) {
  std::vector<PlotRun> runs;
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
       "line 15: expected the level in dB with one decimal (such as -3.5), found \"-3\""}};
  for (const auto& c : cases) {
    std::vector<PlotRun> runs(1);  // left as it was on failure
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
    std::string text = kRuns, error, svg;
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
    std::vector<PlotRun> runs;
    if (Parse(text, &runs, &error)) {
      ++accepted;
      WriteSvgChart(runs.data(), runs.size(), "t", &svg);
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
  std::vector<PlotRun> runs;
  std::string error, svg;
  ASSERT_TRUE(Parse(kRuns, &runs, &error)) << error;
  WriteSvgChart(&runs[1], 1, "t", &svg);
  const double x100 = Attr(svg, "data-hz=\"100\"", "x1"), x1k = Attr(svg, "data-hz=\"1000\"", "x1");
  const double y0 = Attr(svg, "data-db=\"0\"", "y1"), y6 = Attr(svg, "data-db=\"-6\"", "y1");
  const size_t at = svg.find(" d=\"", svg.find("id=\"run-2\""));
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

TEST(PlotProgram, WritesAWellFormedChartThatRenders) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/sweep_out.txt", kRuns));
  const std::string title = "<Room> & \"sofa\" \x01\xff";
  ProcessResult r = RunIn(dir, {QUELMAR_PLOT_BIN, "--title", title, "--last", "2"});
  EXPECT_TRUE(r.exit_status == 0 && r.out == "Wrote sweep_out.svg: runs 2 to 3 of 3\n") << r.err;
  const std::string svg = ReadFile(dir + "/sweep_out.svg");
  EXPECT_NE(svg.find(">&lt;Room&gt; &amp; &quot;sofa&quot;  \xef\xbf\xbd</text>"), svg.npos);
  r = RunIn(dir, {XMLLINT_BIN, "--noout", "sweep_out.svg"});
  EXPECT_TRUE(r.exit_status == 0 && r.err.empty()) << XMLLINT_BIN << ": " << r.err;
  r = RunIn(dir, {RSVG_CONVERT_BIN, "-o", "chart.png", "sweep_out.svg"});
  EXPECT_EQ(r.exit_status, 0) << RSVG_CONVERT_BIN << ": " << r.err;
  const std::string png = ReadFile(dir + "/chart.png");
  EXPECT_TRUE(png.size() > 1000 && png.compare(0, 4, "\x89PNG") == 0) << png.size();
  RemoveTree(dir);
}

TEST(PlotProgram, BadUseFailsWithAMessageAndNoChart) {
  const std::string dir = MakeTempDir(), help = "\nTry 'quelmar-plot -h' for help.\n";
  ASSERT_TRUE(WriteFile(dir + "/sweep_out.txt", kRuns) && WriteFile(dir + "/bad.txt", "x\n"));
  const struct { std::vector<std::string> args; std::string err; } cases[] = {
      {{"-x"}, "unknown option '-x'" + help},
      {{"none.txt"}, "cannot read none.txt: No such file or directory\n"},
      {{"bad.txt"}, "bad.txt: no \"Results:\" block in the file: no results to plot\n"},
      {{"-o", "sweep_out.txt"}, "the chart would overwrite the result file sweep_out.txt\n"},
      {{"-o", "no/c.svg"}, "cannot write no/c.svg: No such file or directory\n"}};
  for (auto c : cases) {
    c.args.insert(c.args.begin(), QUELMAR_PLOT_BIN);
    ProcessResult r = RunIn(dir, c.args);
    EXPECT_TRUE(r.exit_status == 1 && r.out.empty()) << c.err;
    EXPECT_EQ(r.err, "quelmar-plot: " + c.err);
  }
  EXPECT_EQ(ReadFile(dir + "/sweep_out.txt"), kRuns);
  EXPECT_EQ(RunIn(dir, {"/bin/ls", "-A"}).out, "bad.txt\nsweep_out.txt\n");  // no chart
  RemoveTree(dir);
}

}  // namespace
