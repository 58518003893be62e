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

std::string WithCrlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

TEST(ResultFile, ReadsRunsWithDifferentBandPlans) {
  for (const std::string& file : {ThreeRuns(), WithCrlf(ThreeRuns())}) {
    std::vector<PlotRun> runs;
    std::string error;
    ASSERT_TRUE(Parse(file, &runs, &error)) << error;
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].bands.size() + runs[1].bands.size() + runs[2].bands.size(), 31u + 8 + 16);
    EXPECT_EQ(runs[2].line, 44);
    EXPECT_EQ(runs[0].bands[30].lo, 12940.0);
    EXPECT_EQ(runs[0].bands[30].hi, 16175.0);
    EXPECT_EQ(runs[2].bands[15].level, -7.5);
    EXPECT_FALSE(BandHasLevel(runs[1].bands[3]));  // -144.0: no data
    EXPECT_TRUE(BandHasLevel(runs[1].bands[2]));
  }
  // Empty blocks, saturated edges and the program's text for NaN are valid.
  std::vector<PlotRun> runs;
  std::string error;
  ASSERT_TRUE(Parse(std::string(kHead) + kHead + "1\t18\t2147483647\t-nan\n", &runs, &error));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].bands.empty());
  EXPECT_EQ(runs[1].bands[0].hi, 2147483647.0);
  EXPECT_FALSE(BandHasLevel(runs[1].bands[0]));
}

TEST(ResultFile, MalformedFilesNameTheLineAndWhatWasExpected) {
  const std::string head = kHead, header = "expected the header \"Band\\tRange (Hz)\\tdB\"";
  const struct {
    std::string text, error;
  } cases[] = {
      {"", "the file is empty: no results to plot"},
      {"hello\n\n", "no \"Results:\" block in the file: no results to plot"},
      {"x\n" + head, "line 1: expected \"Results:\" to start a block, found \"x\""},
      {"Results:\nBand dB\n", "line 2: " + header + " after \"Results:\", found \"Band dB\""},
      {head + "Results:\n", "line 4: " + header + " after \"Results:\", found the end of the file"},
      {head + "1\t18\t22\t0.0\n3\t22\t27\t-1.0\n", "line 4: expected band number 2, found \"3\""},
      {head + "1\t18\t\t22\t0.0\n", "line 3: expected 4 fields separated by tabs (band, low, "
                                    "high, dB), found \"1\\t18\\t\\t22\\t0.0\""},
      {head + "1\t1e3\t22\t0.0\n",
       "line 3: expected the low edge as a whole number of hertz, found \"1e3\""},
      {head + "1\t18\t22\t-3\n",
       "line 3: expected the level in dB with one decimal (such as -3.5), found \"-3\""},
      {head + "1\t18\t22\t-12345.0\n",
       "line 3: expected a level between -10000.0 and 10000.0 dB, found \"-12345.0\""},
      {head + "1\t18\t22\t-1.5", "line 3: the line is cut off: expected it to end with a line "
                                 "break, found \"1\\t18\\t22\\t-1.5\""},
      {ResultBlock(18, 1000, 1025, [](int) { return 0.0; }),
       "line 1027: expected \"Results:\" or the end of the file after band 1024 (a run has at "
       "most 1024 bands), found \"1025\\t18\\t18\\t0.0\""},
  };
  for (const auto& c : cases) {
    std::vector<PlotRun> runs(1);  // left as it was on failure
    std::string error;
    EXPECT_FALSE(Parse(c.text, &runs, &error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(runs.size(), 1u);
  }
}

// Damages a valid file the ways real files get damaged or hand-edited.
std::string Mangle(std::string text, std::mt19937& rng) {
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % (n + 1)); };
  for (int e = 0, edits = 1 + static_cast<int>(rng() % 4); e < edits; ++e) {
    size_t at = pick(text.size());
    switch (rng() % 8) {
      case 0: text.resize(at); break;  // truncated
      case 1: if (at < text.size()) text[at] = static_cast<char>(rng()); break;
      case 2: text.insert(at, std::string(1 + pick(400), '9')); break;  // huge number
      case 3: text.erase(at, text.find_first_of("\t\n", at + 1) - at); break;  // lost field
      case 4: text.insert(at, "\t"); break;
      case 5: text = WithCrlf(text); break;
      case 6: text.insert(at, std::string(100000, static_cast<char>('0' + pick(74)))); break;
      case 7: text.insert(at, kHead); break;  // empty block
    }
  }
  return text;
}

TEST(ResultFile, MangledFilesAreRejectedOrDrawnNeverMisread) {
  std::mt19937 rng(20240607);
  int accepted = 0, rejected = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = Mangle(ThreeRuns(), rng), error, svg;
    std::vector<PlotRun> runs;
    if (!Parse(text, &runs, &error)) {
      ++rejected;
      ASSERT_TRUE(error.rfind("line ", 0) == 0 || error.find("no results") != std::string::npos);
      continue;
    }
    ++accepted;
    for (const PlotRun& run : runs) ASSERT_LE(run.bands.size(), 1024u);
    WriteSvgChart(runs.data(), runs.size(), "t", &svg);
    ASSERT_EQ(svg.find("nan"), std::string::npos) << text;
    ASSERT_EQ(svg.find("inf"), std::string::npos) << text;
  }
  EXPECT_GT(accepted, 50);  // both outcomes must be exercised
  EXPECT_GT(rejected, 500);

  // A few through the program: a clean failure leaves no chart behind.
  ProcessOptions options;
  options.cwd = MakeTempDir();
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(WriteFile(options.cwd + "/in.txt", Mangle(ThreeRuns(), rng)));
    ProcessResult r = RunProcess({QUELMAR_PLOT_BIN, "in.txt", "-o", "out.svg"}, options);
    ASSERT_TRUE(r.exit_status == 0 || r.err.rfind("quelmar-plot: in.txt: ", 0) == 0) << r.err;
    EXPECT_EQ(remove((options.cwd + "/out.svg").c_str()) == 0, r.exit_status == 0);
  }
  RemoveTree(options.cwd);
}

}  // namespace
