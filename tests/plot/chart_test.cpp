#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "plot/result_file.h"
#include "plot/svg_chart.h"
#include "support/process.h"

namespace {

// The value of attribute `name` in the first element after `from` that
// contains `marker`; "" when there is none.
std::string Attr(const std::string& svg, const std::string& marker, const char* name,
                 size_t* from = nullptr) {
  size_t at = svg.find(marker, from ? *from : 0);
  if (at == std::string::npos) return "";
  at = svg.rfind('<', at);
  size_t close = svg.find('>', at), p = svg.find(std::string(" ") + name + "=\"", at);
  if (from) *from = close;
  if (p == std::string::npos || p > close) return "";
  p += strlen(name) + 3;
  return svg.substr(p, svg.find('"', p) - p);
}

// data attribute value -> pixel position, for the tick lines of one class.
std::map<std::string, double> Ticks(const std::string& svg, const std::string& cls,
                                    const char* data, const char* coord) {
  std::map<std::string, double> out;
  for (size_t from = 0;;) {
    size_t next = from;
    std::string key = Attr(svg, cls, data, &next);
    if (key.empty()) return out;
    out[key] = atof(Attr(svg, cls, coord, &from).c_str());
  }
}

struct Segment {
  double x1, x2, y;
};

// The horizontal segments of a step path drawn with M, H and V commands.
std::vector<Segment> Segments(const std::string& d) {
  std::vector<Segment> out;
  double x = 0, y = 0;
  for (const char* p = d.c_str(); *p;) {
    char cmd = *p++, *end = const_cast<char*>(p);
    if (cmd == 'M') x = strtod(p, &end), y = strtod(end, &end);
    if (cmd == 'V') y = strtod(p, &end);
    if (cmd == 'H') out.push_back({x, strtod(p, &end), y}), x = out.back().x2;
    p = end;
  }
  return out;
}

TEST(SvgChart, StepsLieWhereTheAxesPutThem) {
  std::vector<PlotRun> runs;
  std::string error, text = ThreeRuns(), svg;
  ASSERT_TRUE(ParseResults(text.data(), text.size(), &runs, &error)) << error;
  WriteSvgChart(runs.data(), runs.size(), "Room response", &svg);

  std::map<std::string, double> hz = Ticks(svg, "\"x-tick\"", "data-hz", "x1");
  std::map<std::string, double> db = Ticks(svg, "\"y-tick\"", "data-db", "y1");
  ASSERT_TRUE(hz.count("100") && hz.count("1000") && db.count("0") && db.count("-6"));
  auto x_of = [&](double f) { return hz["100"] + std::log10(f / 100) * (hz["1000"] - hz["100"]); };
  auto y_of = [&](double v) { return db["0"] + v / -6.0 * (db["-6"] - db["0"]); };

  // The axis spans the lowest to the highest band edge; the outermost level
  // grid lines lie on the frame.
  auto area = [&](const char* name) { return atof(Attr(svg, "id=\"plot-area\"", name).c_str()); };
  EXPECT_NEAR(area("x"), x_of(18), 0.02);
  EXPECT_NEAR(area("x") + area("width"), x_of(16175), 0.02);
  double top = 1e9, bottom = 0;
  for (auto& t : db) top = std::fmin(top, t.second), bottom = std::fmax(bottom, t.second);
  EXPECT_NEAR(top, area("y"), 0.02);
  EXPECT_NEAR(bottom, area("y") + area("height"), 0.02);
  for (const char* label : {">20<", ">50<", ">100<", ">500<", ">1k<", ">2k<", ">10k<"}) {
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  }
  EXPECT_EQ(svg.find(">20k<"), std::string::npos);

  auto steps = [&](int run) { return Segments(Attr(svg, "id=\"run-" + std::to_string(run), "d")); };
  auto has_step = [&](int run, double lo, double hi, double level) {
    for (const Segment& s : steps(run)) {
      if (std::fabs(s.x1 - x_of(lo)) < 0.02 && std::fabs(s.x2 - x_of(hi)) < 0.02 &&
          std::fabs(s.y - y_of(level)) < 0.02) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(has_step(1, 27, 33, -3.0));      // run 1, band 3
  EXPECT_TRUE(has_step(3, 4604, 5524, -7.5));  // run 3, band 16
  // Run 2's band 4 (60-90 Hz) has no data: a gap, and no plunge to -144 dB.
  ASSERT_EQ(steps(2).size(), 7u);
  for (const Segment& s : steps(2)) {
    EXPECT_FALSE(s.x1 < x_of(90) - 0.02 && s.x2 > x_of(60) + 0.02);
    EXPECT_LT(s.y, bottom);
  }
}

// Runs quelmar-plot in a fresh folder holding ThreeRuns() as sweep_out.txt.
class PlotProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile((in_.cwd = MakeTempDir()) + "/sweep_out.txt", ThreeRuns()));
  }
  void TearDown() override { RemoveTree(in_.cwd); }
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), QUELMAR_PLOT_BIN);
    return RunProcess(args, in_);
  }
  ProcessOptions in_;
};

TEST_F(PlotProgram, WritesAChartThatParsesAndRenders) {
  ProcessResult r = Run({"--title", "<Living> room & \"sofa\" \x01\xff"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "Wrote sweep_out.svg: runs 1 to 3 of 3\n");
  std::string svg = ReadFile(in_.cwd + "/sweep_out.svg");
  EXPECT_NE(svg.find(">&lt;Living&gt; room &amp; &quot;sofa&quot;  \xef\xbf\xbd</text>"),
            std::string::npos);
  for (const char* label : {">run 1<", ">run 3<", ">Frequency (Hz)<", ">Level (dB)<"}) {
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  }
  ASSERT_STRNE(XMLLINT_BIN, "") << "xmllint not found (apt-get install libxml2-utils)";
  ASSERT_STRNE(RSVG_CONVERT_BIN, "") << "rsvg-convert not found (apt-get install librsvg2-bin)";
  ProcessResult lint = RunProcess({XMLLINT_BIN, "--noout", "sweep_out.svg"}, in_);
  EXPECT_EQ(lint.exit_status, 0);
  EXPECT_EQ(lint.err, "");
  ProcessResult png = RunProcess({RSVG_CONVERT_BIN, "-o", "c.png", "sweep_out.svg"}, in_);
  EXPECT_EQ(png.exit_status, 0) << png.err;
  std::string image = ReadFile(in_.cwd + "/c.png");
  EXPECT_TRUE(image.size() > 1000 && image.substr(0, 4) == "\x89PNG");

  r = Run({"--last", "2", "-o", "two.svg"});
  EXPECT_EQ(r.out, "Wrote two.svg: runs 2 to 3 of 3\n");
  svg = ReadFile(in_.cwd + "/two.svg");
  EXPECT_EQ(svg.find("run-1"), std::string::npos);
  EXPECT_NE(svg.find("run-3"), std::string::npos);
}

TEST_F(PlotProgram, BadUseFailsWithAMessageAndNoChart) {
  const std::string help = "\nTry 'quelmar-plot -h' for help.\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-x"}, "unknown option '-x'" + help},
      {{"-o"}, "option '-o' needs a file name" + help},
      {{"--last", "0"}, "option '--last' needs a whole number of 1 or more, found '0'" + help},
      {{"a", "b"}, "more than one result file given ('b')" + help},
      {{"none.txt"}, "cannot read none.txt: No such file or directory\n"},
      {{"bad.txt"}, "bad.txt: line 3: expected band number 1, found \"x\"\n"},
      {{"-o", "sweep_out.txt"}, "the chart would overwrite the result file sweep_out.txt\n"},
      {{"-o", "no/c.svg"}, "cannot write no/c.svg: No such file or directory\n"},
  };
  ASSERT_TRUE(WriteFile(in_.cwd + "/bad.txt", kHead + std::string("x\t18\t22\t0.0\n")));
  for (const auto& c : cases) {
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "quelmar-plot: " + c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(in_.cwd + "/sweep_out.txt"), ThreeRuns());
  EXPECT_EQ(RunProcess({"/bin/ls", "-A"}, in_).out, "bad.txt\nsweep_out.txt\n");
  EXPECT_EQ(Run({"-h"}).out.rfind("Usage: quelmar-plot [FILE] [-o OUT.svg] [--last N]", 0), 0u);
}

}  // namespace
