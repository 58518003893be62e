#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"
#include "plot/result_file.h"
#include "plot/svg_chart.h"
#include "support/process.h"

namespace {

struct Segment {
  double x1, x2, y;
};

// The horizontal segments of a path drawn with M, H and V commands.
std::vector<Segment> Segments(const std::string& d) {
  std::vector<Segment> out;
  double x = 0, y = 0;
  const char* p = d.c_str();
  while (*p) {
    char cmd = *p++;
    char* end;
    if (cmd == 'M') {
      x = strtod(p, &end);
      y = strtod(end, &end);
    } else if (cmd == 'H') {
      double x2 = strtod(p, &end);
      out.push_back({x, x2, y});
      x = x2;
    } else if (cmd == 'V') {
      y = strtod(p, &end);
    } else {
      continue;
    }
    p = end;
  }
  return out;
}

// The value of attribute `name` in the element starting at `at`.
std::string Attr(const std::string& svg, size_t at, const char* name) {
  size_t close = svg.find('>', at);
  size_t p = svg.find(std::string(" ") + name + "=\"", at);
  if (p == std::string::npos || p > close) return "";
  p += strlen(name) + 3;
  return svg.substr(p, svg.find('"', p) - p);
}

// The first element containing `marker`, as the position of its '<'.
size_t Element(const std::string& svg, const std::string& marker, size_t from = 0) {
  size_t p = svg.find(marker, from);
  return p == std::string::npos ? p : svg.rfind('<', p);
}

// data attribute value -> pixel position, for the tick lines of one class.
std::map<std::string, double> Ticks(const std::string& svg, const char* cls, const char* data,
                                    const char* coord) {
  std::map<std::string, double> out;
  std::string marker = std::string("class=\"") + cls + "\"";
  for (size_t at = Element(svg, marker); at != std::string::npos;
       at = Element(svg, marker, svg.find('>', at))) {
    out[Attr(svg, at, data)] = atof(Attr(svg, at, coord).c_str());
  }
  return out;
}

std::string PathOf(const std::string& svg, int run) {
  size_t at = Element(svg, "id=\"run-" + std::to_string(run) + "\"");
  return at == std::string::npos ? "" : Attr(svg, at, "d");
}

TEST(SvgChart, StepsLieWhereTheAxesPutThem) {
  std::vector<PlotRun> runs;
  std::string error, text = ThreeRuns(), svg;
  ASSERT_TRUE(ParseResults(text.data(), text.size(), &runs, &error)) << error;
  WriteSvgChart(runs.data(), runs.size(), "Room response", &svg);

  std::map<std::string, double> hz = Ticks(svg, "x-tick", "data-hz", "x1");
  std::map<std::string, double> db = Ticks(svg, "y-tick", "data-db", "y1");
  ASSERT_TRUE(hz.count("100") && hz.count("1000") && db.count("0") && db.count("-6"));
  double per_decade = hz["1000"] - hz["100"];
  auto x_of = [&](double f) { return hz["100"] + std::log10(f / 100.0) * per_decade; };
  auto y_of = [&](double v) { return db["0"] + v / -6.0 * (db["-6"] - db["0"]); };

  // The axis runs from the lowest to the highest band edge in the file, and
  // the outermost level grid lines lie on the frame.
  size_t at = Element(svg, "id=\"plot-area\"");
  ASSERT_NE(at, std::string::npos);
  double left = atof(Attr(svg, at, "x").c_str()), width = atof(Attr(svg, at, "width").c_str());
  double y = atof(Attr(svg, at, "y").c_str()), height = atof(Attr(svg, at, "height").c_str());
  EXPECT_NEAR(left, x_of(18), 0.02);
  EXPECT_NEAR(left + width, x_of(16175), 0.02);
  double top = 1e9, lowest = 0;
  for (auto& t : db) {
    top = std::fmin(top, t.second);
    lowest = std::fmax(lowest, t.second);
  }
  EXPECT_NEAR(top, y, 0.02);
  EXPECT_NEAR(lowest, y + height, 0.02);
  for (const char* label : {">20<", ">50<", ">100<", ">500<", ">1k<", ">2k<", ">10k<"}) {
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  }
  EXPECT_EQ(svg.find(">20k<"), std::string::npos);

  // Run 1, band 3: 27-33 Hz at -3.0 dB; run 3, band 16: 4604-5524 Hz at -7.5 dB.
  auto has_step = [&](int run, double lo, double hi, double level) {
    for (const Segment& s : Segments(PathOf(svg, run))) {
      if (std::fabs(s.x1 - x_of(lo)) < 0.02 && std::fabs(s.x2 - x_of(hi)) < 0.02 &&
          std::fabs(s.y - y_of(level)) < 0.02) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(has_step(1, 27, 33, -3.0));
  EXPECT_TRUE(has_step(3, 4604, 5524, -7.5));

  // Run 2's band 4 (60-90 Hz) has no data: a gap, and nothing plunges below
  // the lowest grid line.
  std::vector<Segment> run2 = Segments(PathOf(svg, 2));
  EXPECT_EQ(run2.size(), 7u);
  for (const Segment& s : run2) {
    EXPECT_FALSE(s.x1 < x_of(90) - 0.02 && s.x2 > x_of(60) + 0.02);
    EXPECT_LT(s.y, lowest);
  }
}

class PlotProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    options_.cwd = dir_;
    ASSERT_TRUE(WriteFile(dir_ + "/sweep_out.txt", ThreeRuns()));
  }
  void TearDown() override { RemoveTree(dir_); }
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), QUELMAR_PLOT_BIN);
    return RunProcess(args, options_);
  }
  std::string dir_;
  ProcessOptions options_;
};

TEST_F(PlotProgram, WritesAChartThatParsesAndRenders) {
  ProcessResult r = Run({"--title", "<Living> room & \"sofa\" \x01\xff"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "Wrote sweep_out.svg: runs 1 to 3 of 3\n");
  std::string svg = ReadFile(dir_ + "/sweep_out.svg");
  EXPECT_NE(svg.find(">&lt;Living&gt; room &amp; &quot;sofa&quot;  \xef\xbf\xbd</text>"),
            std::string::npos);
  for (const char* label : {">run 1<", ">run 2<", ">run 3<", ">Frequency (Hz)<", ">Level (dB)<"}) {
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  }
  ASSERT_STRNE(XMLLINT_BIN, "") << "xmllint not found (apt-get install libxml2-utils)";
  ASSERT_STRNE(RSVG_CONVERT_BIN, "") << "rsvg-convert not found (apt-get install librsvg2-bin)";
  ProcessResult lint = RunProcess({XMLLINT_BIN, "--noout", "sweep_out.svg"}, options_);
  EXPECT_EQ(lint.exit_status, 0) << lint.err;
  EXPECT_EQ(lint.err, "");
  ProcessResult png = RunProcess({RSVG_CONVERT_BIN, "-o", "c.png", "sweep_out.svg"}, options_);
  EXPECT_EQ(png.exit_status, 0) << png.err;
  std::string image = ReadFile(dir_ + "/c.png");
  EXPECT_GT(image.size(), 1000u);
  EXPECT_EQ(image.substr(0, 4), "\x89PNG");

  r = Run({"--last", "2", "-o", "two.svg"});
  EXPECT_EQ(r.out, "Wrote two.svg: runs 2 to 3 of 3\n");
  svg = ReadFile(dir_ + "/two.svg");
  EXPECT_EQ(svg.find("run-1"), std::string::npos);
  EXPECT_NE(svg.find("run-3"), std::string::npos);
}

TEST_F(PlotProgram, BadUseFailsWithAMessageAndNoChart) {
  const char* const try_help = "Try 'quelmar-plot -h' for help.\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-x"}, std::string("quelmar-plot: unknown option '-x'\n") + try_help},
      {{"-o"}, std::string("quelmar-plot: option '-o' needs a file name\n") + try_help},
      {{"--last", "0"},
       std::string("quelmar-plot: option '--last' needs a whole number of 1 or more, found '0'\n") +
           try_help},
      {{"a", "b"}, std::string("quelmar-plot: more than one result file given ('b')\n") + try_help},
      {{"none.txt"}, "quelmar-plot: cannot read none.txt: No such file or directory\n"},
      {{"bad.txt"}, "quelmar-plot: bad.txt: line 36: expected band number 1, found \"x\"\n"},
      {{"-o", "sweep_out.txt"},
       "quelmar-plot: the chart would overwrite the result file sweep_out.txt\n"},
      {{"-o", "missing/c.svg"}, "quelmar-plot: cannot write missing/c.svg: No such file or "
                                "directory\n"},
  };
  ASSERT_TRUE(WriteFile(dir_ + "/bad.txt", ResultBlock(18, 4, 31, [](int) { return 0.0; }) +
                                               "Results:\nBand\tRange (Hz)\tdB\nx\t18\t22\t0.0\n"));
  for (const auto& c : cases) {
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(dir_ + "/sweep_out.txt"), ThreeRuns());
  ProcessResult ls = RunProcess({"/bin/ls", "-A"}, options_);
  EXPECT_EQ(ls.out, "bad.txt\nsweep_out.txt\n");

  ProcessResult help = Run({"-h"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: quelmar-plot [FILE] [-o OUT.svg] [--last N] [--title TEXT]\n", 0),
            0u);
}

}  // namespace
