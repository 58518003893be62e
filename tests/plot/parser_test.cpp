#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fixture.h"
#include "plot/result_file.h"
#include "plot/svg_chart.h"
#include "support/process.h"

namespace {

bool Parse(const std::string& text, std::vector<PlotRun>* runs, std::string* error) {
  return ParseResults(text.data(), text.size(), runs, error);
}

TEST(ResultFile, ReadsRunsWithDifferentBandPlans) {
  std::string text = ThreeRuns();
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& file : {text, crlf}) {
    std::vector<PlotRun> runs;
    std::string error;
    ASSERT_TRUE(Parse(file, &runs, &error)) << error;
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].bands.size(), 31u);
    EXPECT_EQ(runs[1].bands.size(), 8u);
    EXPECT_EQ(runs[2].bands.size(), 16u);
    EXPECT_EQ(runs[1].line, 34);
    EXPECT_EQ(runs[2].line, 44);
    EXPECT_EQ(runs[2].number, 3);
    EXPECT_EQ(runs[0].bands[30].lo, 12940.0);
    EXPECT_EQ(runs[0].bands[30].hi, 16175.0);
    EXPECT_EQ(runs[2].bands[0].lo, 300.0);
    EXPECT_EQ(runs[2].bands[15].level, -7.5);
    EXPECT_FALSE(BandHasLevel(runs[1].bands[3]));
    EXPECT_TRUE(BandHasLevel(runs[1].bands[2]));
  }
  // A run of zero bands, saturated edges and levels the program prints for
  // infinities are all part of the format.
  std::vector<PlotRun> runs;
  std::string error;
  ASSERT_TRUE(Parse("Results:\nBand\tRange (Hz)\tdB\nResults:\nBand\tRange (Hz)\tdB\n"
                    "1\t18\t2147483647\t-nan\n2\t2147483647\t2147483647\t0.0\n",
                    &runs, &error))
      << error;
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].bands.empty());
  EXPECT_EQ(runs[1].bands[0].hi, 2147483647.0);
  EXPECT_FALSE(BandHasLevel(runs[1].bands[0]));
}

TEST(ResultFile, MalformedFilesNameTheLineAndWhatWasExpected) {
  const std::string head = "Results:\nBand\tRange (Hz)\tdB\n";
  const struct {
    std::string text, error;
  } cases[] = {
      {"", "the file is empty: no results to plot"},
      {"hello\n\n", "no \"Results:\" block in the file: no results to plot"},
      {"x\n" + head, "line 1: expected \"Results:\" to start a block, found \"x\""},
      {"Results:\nBand Range dB\n",
       "line 2: expected the header \"Band\\tRange (Hz)\\tdB\" after \"Results:\", found "
       "\"Band Range dB\""},
      {head + "Results:\n",
       "line 4: expected the header \"Band\\tRange (Hz)\\tdB\" after \"Results:\", found the "
       "end of the file"},
      {head + "1\t18\t22\t0.0\n3\t22\t27\t-1.0\n",
       "line 4: expected band number 2, found \"3\""},
      {head + "1\t18\t22\n",
       "line 3: expected a band row of 4 fields separated by tabs (band, low edge, high "
       "edge, level in dB), found \"1\\t18\\t22\""},
      {head + "1\t18\t\t22\t0.0\n",
       "line 3: expected a band row of 4 fields separated by tabs (band, low edge, high "
       "edge, level in dB), found \"1\\t18\\t\\t22\\t0.0\""},
      {head + "1\t1e3\t22\t0.0\n",
       "line 3: expected the low edge as a whole number of hertz, found \"1e3\""},
      {head + "1\t18\t22.5\t0.0\n",
       "line 3: expected the high edge as a whole number of hertz, found \"22.5\""},
      {head + "1\t18\t22\t-3\n",
       "line 3: expected the level in dB with one decimal (such as -3.5), found \"-3\""},
      {head + "1\t18\t22\t-12345.0\n",
       "line 3: expected a level between -10000.0 and 10000.0 dB, found \"-12345.0\""},
      {head + "1\t18\t22\t-1.5",
       "line 3: the line is cut off: expected it to end with a line break, found "
       "\"1\\t18\\t22\\t-1.5\""},
      {head + "\n", "line 3: expected a band row of 4 fields separated by tabs (band, low "
                    "edge, high edge, level in dB), found \"\""},
  };
  for (const auto& c : cases) {
    std::vector<PlotRun> runs(1);  // left as it was on failure
    std::string error;
    EXPECT_FALSE(Parse(c.text, &runs, &error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(runs.size(), 1u);
  }
  std::string full = ResultBlock(18, 1000, 1025, [](int) { return 0.0; });
  std::vector<PlotRun> runs;
  std::string error;
  EXPECT_FALSE(Parse(full, &runs, &error));
  EXPECT_EQ(error.substr(0, 66),
            "line 1027: expected \"Results:\" or the end of the file after band 1");
}

// Damages a valid file the ways real files get damaged or hand-edited.
std::string Mangle(std::string text, std::mt19937& rng) {
  auto pick = [&](size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); };
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    size_t at = pick(text.size() + 1);
    switch (rng() % 9) {
      case 0: text.resize(at); break;
      case 1:
        for (int i = 0; i < 4 && !text.empty(); ++i) text[pick(text.size())] = char(rng());
        break;
      case 2: text.insert(at, std::string(1 + pick(400), '9')); break;
      case 3: {  // drop a field
        size_t tab = text.find('\t', at);
        if (tab != std::string::npos) text.erase(tab, text.find_first_of("\t\n", tab + 1) - tab);
        break;
      }
      case 4: text.insert(at, "\t"); break;
      case 5: {
        std::string crlf;
        for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        text = crlf;
        break;
      }
      case 6: text.insert(at, std::string(100000 + pick(1000), char('0' + pick(75)))); break;
      case 7: text.insert(at, "Results:\nBand\tRange (Hz)\tdB\n"); break;
      case 8: text.insert(at, text.substr(pick(text.size()), pick(300))); break;
    }
  }
  return text;
}

TEST(ResultFile, MangledFilesAreRejectedOrDrawnNeverMisread) {
  std::mt19937 rng(20240607);
  int accepted = 0, rejected = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = Mangle(ThreeRuns(), rng);
    std::vector<PlotRun> runs;
    std::string error;
    if (Parse(text, &runs, &error)) {
      ++accepted;
      ASSERT_FALSE(runs.empty());
      for (const PlotRun& run : runs) ASSERT_LE(run.bands.size(), 1024u);
      std::string svg;
      WriteSvgChart(runs.data(), runs.size(), "t", &svg);
      ASSERT_EQ(svg.find("nan"), std::string::npos) << text;
      ASSERT_EQ(svg.find("inf"), std::string::npos) << text;
      ASSERT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    } else {
      ++rejected;
      ASSERT_TRUE(error.compare(0, 5, "line ") == 0 || error.find("no results") != std::string::npos)
          << error;
    }
  }
  // The generator must exercise both outcomes to mean anything.
  EXPECT_GT(accepted, 50);
  EXPECT_GT(rejected, 500);

  // A few through the program: it fails cleanly and leaves no chart behind.
  std::string dir = MakeTempDir();
  for (int i = 0; i < 12; ++i) {
    std::string text = Mangle(ThreeRuns(), rng);
    ASSERT_TRUE(WriteFile(dir + "/in.txt", text));
    ProcessOptions options;
    options.cwd = dir;
    ProcessResult r = RunProcess({QUELMAR_PLOT_BIN, "in.txt", "-o", "out.svg"}, options);
    ASSERT_EQ(r.term_signal, 0) << r.err;
    ASSERT_TRUE(r.exit_status == 0 || r.exit_status == 1);
    std::string svg = ReadFile(dir + "/out.svg");
    if (r.exit_status == 1) {
      EXPECT_EQ(r.err.compare(0, 21, "quelmar-plot: in.txt:"), 0) << r.err;
      EXPECT_TRUE(svg.empty());
    } else {
      EXPECT_NE(svg.find("</svg>"), std::string::npos);
    }
    remove((dir + "/out.svg").c_str());
  }
  RemoveTree(dir);
}

}  // namespace
