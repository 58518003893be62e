// The closed loop on the virtual room: measure and analyse it, fit filters,
// put exactly those filters in front of the room, measure and analyse again.
// The responses are not smoothed (quelmar-eq smooths for its fit): the
// measured response times the filters' is then exactly what the second
// measurement should show, where a smoothed product would not be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "formats/curve_file.h"
#include "support/transcript.h"

namespace {

Curve Response(const std::string& path) {
  const std::string text = ReadFile(path);
  Curve c;
  std::string error;
  EXPECT_TRUE(ParseCurve(text.data(), text.size(), &c, &error) && c.freq.size() > 100) << error;
  return c;
}

// The generated `room` device renamed `room_eq`, the APO file's filters added
// at the end of its filter list (filters in a chain commute). Its closing
// brace is the first line that is just "}".
std::string RoomWithFilters(const std::string& apo) {
  const std::string conf = ReadFile(QUELMAR_VIRTUAL_CARD_CONF);
  const size_t start = conf.find("\npcm.room {"), end = conf.find("\n}\n", start);
  std::string room = start == std::string::npos || end == std::string::npos
                         ? "" : "pcm.room_eq" + conf.substr(start + 9, end - start - 6);
  double fc, gain, q;
  char line[160];
  std::string added;
  for (size_t at = apo.find("Filter "); at != std::string::npos; at = apo.find("Filter ", at + 1))
    if (sscanf(apo.c_str() + at, "Filter %*d: ON PK Fc %lf Hz Gain %lf dB Q %lf", &fc, &gain,
               &q) == 3) {
      snprintf(line, sizeof line, "\t\t{ type peak freq %.1f gain_db %.1f q %.2f }\n", fc, gain, q);
      added += line;
    }
  const size_t list_end = room.find("\n\t]", room.find("filters ["));
  return list_end == std::string::npos ? "" : room.insert(list_end + 1, added);
}

// The largest level above the median from 25 to 300 Hz.
double PeakAboveMedian(const Curve& c) {
  std::vector<double> v;
  for (size_t k = 0; k < c.freq.size(); ++k)
    if (c.freq[k] >= 25 && c.freq[k] <= 300) v.push_back(c.db[k]);
  std::sort(v.begin(), v.end());
  return v.empty() ? NAN : v.back() - v[v.size() / 2];
}

TEST(ClosedLoop, TheMeasuredRoomWithTheFiltersIsThePrediction) {
  const std::string dir = MakeTempDir();
  ASSERT_TRUE(WriteFile(dir + "/eq.conf", ""));
  const std::vector<std::vector<std::string>> steps = {
      {QUELMAR_BIN}, {QUELMAR_ANALYZE_BIN, "sweep_001.wav", "--smooth", "0", "-o", "before.txt"},
      {QUELMAR_EQ_BIN, "before.txt", "-o", "eq.txt", "--predicted", "predicted.txt"},
      {QUELMAR_BIN}, {QUELMAR_ANALYZE_BIN, "sweep_002.wav", "--smooth", "0", "-o", "after.txt"}};
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i == 3) {
      ASSERT_TRUE(WriteFile(dir + "/eq.conf", RoomWithFilters(ReadFile(dir + "/eq.txt"))));
    }
    const ProcessResult r =
        RunIn(dir, steps[i], i ? "c room_eq r c x" : "c room r c x", ":" + dir + "/eq.conf");
    ASSERT_EQ(r.exit_status, 0) << steps[i][0] << ": " << r.err << ReadFile(dir + "/eq.conf");
    if (i == 2) printf("%s", r.out.c_str());
    fflush(stdout);  // before the next child process is started
  }
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
  if (!HasFailure()) RemoveTree(dir);
}

}  // namespace
