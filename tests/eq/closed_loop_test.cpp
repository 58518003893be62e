// The closed loop on the virtual room: measure and analyse it, fit filters,
// put exactly those filters in front of the room, measure and analyse again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/curve_file.h"
#include "support/process.h"

namespace {

ProcessResult RunIn(const std::string& dir, const std::vector<std::string>& argv,
                    const std::string& input = "") {
  ProcessOptions options;
  options.cwd = dir;
  options.input = input;
  options.env = {"ALSA_CONFIG_PATH=" QUELMAR_ALSA_CONFIG_PATH ":" + dir + "/eq.conf"};
  return RunProcess(argv, options);
}

Curve Response(const std::string& path) {
  const std::string text = ReadFile(path);
  Curve c;
  std::string error;
  EXPECT_TRUE(ParseCurve(text.data(), text.size(), &c, &error) && c.freq.size() > 100)
      << path << ": " << error;
  return c;
}

// The end of the bracketed block that opens at text[open].
size_t BlockEnd(const std::string& text, size_t open, char left, char right) {
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    depth += text[i] == left ? 1 : text[i] == right ? -1 : 0;
    if (depth == 0) return i;
  }
  return std::string::npos;
}

// The virtual card's `room` device as generated, renamed `room_eq`, with the
// APO file's filters added to its filter list (filters in a chain commute).
std::string RoomWithFilters(const std::string& apo) {
  const std::string conf = ReadFile(QUELMAR_VIRTUAL_CARD_CONF);
  const size_t start = conf.find("\npcm.room {");
  const size_t end = start == std::string::npos ? start : BlockEnd(conf, conf.find('{', start), '{', '}');
  if (end == std::string::npos) return "";
  std::string room = "pcm.room_eq" + conf.substr(start + 9, end - start - 8) + "\n";
  const size_t list = room.find("filters [");
  const size_t close = list == std::string::npos ? list : BlockEnd(room, list + 8, '[', ']');
  if (close == std::string::npos) return "";
  std::string added;
  double fc, gain, q;
  for (size_t at = apo.find("Filter "); at != std::string::npos; at = apo.find("Filter ", at + 1)) {
    if (sscanf(apo.c_str() + at, "Filter %*d: ON PK Fc %lf Hz Gain %lf dB Q %lf", &fc, &gain, &q) != 3)
      return "";
    char line[160];
    snprintf(line, sizeof line, "\t\t{ type peak freq %.1f gain_db %.1f q %.2f }\n", fc, gain, q);
    added += line;
  }
  return room.insert(close, added);
}

// The largest level above the median from 25 to 300 Hz.
double PeakAboveMedian(const Curve& c) {
  std::vector<double> levels;
  for (size_t k = 0; k < c.freq.size(); ++k)
    if (c.freq[k] >= 25 && c.freq[k] <= 300) levels.push_back(c.db[k]);
  if (levels.empty()) return NAN;
  std::sort(levels.begin(), levels.end());
  return levels.back() - levels[levels.size() / 2];
}

TEST(ClosedLoop, TheMeasuredRoomWithTheFiltersIsThePrediction) {
#ifndef QUELMAR_ANALYZE_BIN
  GTEST_SKIP() << "quelmar-analyze is not built";
#else
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/eq.conf", ""));
  ProcessResult r = RunIn(dir, {QUELMAR_BIN}, "c room r c x\n");
  ASSERT_EQ(r.exit_status, 0) << r.err;
  r = RunIn(dir, {QUELMAR_ANALYZE_BIN, "sweep_001.wav", "-o", "before.txt"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  r = RunIn(dir, {QUELMAR_EQ_BIN, "before.txt", "-o", "eq.txt", "--predicted", "predicted.txt"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  printf("%s", r.out.c_str());
  fflush(stdout);  // before the next child process is started
  const std::string device = RoomWithFilters(ReadFile(dir + "/eq.txt"));
  ASSERT_NE(device.find("type peak freq"), std::string::npos) << ReadFile(dir + "/eq.txt");
  ASSERT_TRUE(WriteFile(dir + "/eq.conf", device));
  r = RunIn(dir, {QUELMAR_BIN}, "c room_eq r c x\n");
  ASSERT_EQ(r.exit_status, 0) << r.err << device;
  r = RunIn(dir, {QUELMAR_ANALYZE_BIN, "sweep_002.wav", "-o", "after.txt"});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  const Curve before = Response(dir + "/before.txt"), after = Response(dir + "/after.txt");
  const Curve predicted = Response(dir + "/predicted.txt");
  ASSERT_EQ(after.freq, predicted.freq);
  double apart = 0;
  for (size_t k = 0; k < after.freq.size(); ++k)
    if (after.freq[k] >= 20 && after.freq[k] <= 300)
      apart = std::max(apart, std::fabs(after.db[k] - predicted.db[k]));
  const double peak_before = PeakAboveMedian(before), peak_after = PeakAboveMedian(after);
  printf("Measured after equalising vs predicted, 20-300 Hz: within %.3f dB\n"
         "Largest peak above the median, 25-300 Hz: %.2f dB before, %.2f dB after\n",
         apart, peak_before, peak_after);
  EXPECT_LE(apart, 0.5);
  EXPECT_GT(peak_before, 5.0);  // the room has a mode to tame
  EXPECT_LE(peak_after, 2.5);
  RemoveTree(dir);
#endif
}

}  // namespace
