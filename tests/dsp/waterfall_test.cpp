// The waterfall of a mode and its text file: written, read back, and refused
// when damaged.
#include "dsp/waterfall.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dsp/biquad.h"
#include "formats/waterfall_file.h"
#include "support/damage.h"

namespace {

// A mode at 60 Hz rings in the waterfall: its ridge falls at 60 dB per its
// poles' T60 and stands above the frequencies beside it. Its file reads back
// as written; damaged files are refused, or read as what they write back.
TEST(Waterfall, AModeRingsAsItsPolesSayAndItsFileReadsBack) {
  const double rate = 48000;
  Biquad q = MakeBiquad({FilterType::kPeak, 60, 15, 10}, rate);
  std::vector<double> ir(48000);
  for (size_t i = 0; i < ir.size(); ++i) ir[i] = BiquadStep(&q, i == 480);
  const double t60 = 3 * std::log(10.0) / (-std::log(std::sqrt(q.a2)) * rate);
  std::vector<WaterfallSlice> s, read;
  ASSERT_TRUE(ComputeWaterfall(ir.data(), 48000, 480, rate, WaterfallSettings(), &s));
  ASSERT_EQ(s.size(), 31u);
  auto at = [](const WaterfallSlice& slice, double f) {
    return slice.db[std::lower_bound(slice.freq.begin(), slice.freq.end(), f) - slice.freq.begin()];
  };
  const double slope = (at(s[30], 60) - at(s[10], 60)) / 0.2;  // dB per second
  printf("ridge at 60 Hz falls %.1f dB/s, poles %.1f dB/s\n", slope, -60 / t60);
  EXPECT_NEAR(slope, -60 / t60, 0.1 * 60 / t60);
  EXPECT_GT(at(s[20], 60) - at(s[20], 120), 20);
  WaterfallSettings bad;
  bad.f_hi = 30000;
  EXPECT_FALSE(ComputeWaterfall(ir.data(), 48000, 480, rate, bad, &read));

  const std::string text = FormatWaterfall(s);
  EXPECT_EQ(text.substr(0, 26), "* Time(ms): 0.00\n20.0000, ");
  std::string error;
  ASSERT_TRUE(ParseWaterfall(text.data(), text.size(), &read, &error)) << error;
  EXPECT_EQ(FormatWaterfall(read), text);
  const std::pair<const char*, const char*> refused[] = {
      {"", "line 0: no time slice"},
      {"20, 1\n", "line 1: a frequency before the first time line"},
      {"* Time(ms): 0\n* Time(ms): 5\n20, 1\n", "line 2: the slice before holds no frequencies"},
      {"* Time(ms): 5\n20, 1\n* Time(ms): 5\n20, 1\n",
       "line 3: times must rise from slice to slice"},
      {"* Time(ms): 0\n20, 1\n20.00001 2\n", "line 3: frequencies must rise within a slice"},
      {"* Time(ms): 0\n0.00004, 1\n", "line 2: frequency must be above 0 Hz"},
      {"* Time(ms): 0\n20, 1, 2\n", "line 2: expected a frequency and a level in dB"},
      {"* Time(ms): inf\n", "line 1: expected a time in milliseconds"},
      {"* Time(ms): 0\n20, 1\n* Time(ms): 9\n", "line 3: the last slice holds no frequencies"}};
  for (const auto& r : refused) {
    read = s;
    EXPECT_FALSE(ParseWaterfall(r.first, strlen(r.first), &read, &error)) << r.first;
    EXPECT_TRUE(error == r.second && read.size() == s.size()) << error;
  }
  std::mt19937 gen(18);
  const std::vector<std::string> pieces = {"\n",  ",",   " ",  "-",  "* Time(ms): ",
                                           "1e9", "nan", "\r", "\t", "\n* a\n"};
  int accepted = 0, tries = 3000;
  const std::string small = text.substr(0, text.find('\n', 400)) + "\n* Time(ms): 10\n20, -3\n";
  for (int i = 0; i < tries; ++i) {
    const std::string damaged = Damage(small, gen, pieces);
    read.clear();
    if (!ParseWaterfall(damaged.data(), damaged.size(), &read, &error)) {
      ASSERT_TRUE(error.rfind("line ", 0) == 0 && read.empty()) << damaged;
      continue;
    }
    const std::string written = FormatWaterfall(read);
    ASSERT_TRUE(ParseWaterfall(written.data(), written.size(), &read, &error)) << error;
    ASSERT_EQ(FormatWaterfall(read), written);
    ++accepted;
  }
  printf("damaged waterfall files: %d of %d read back whole\n", accepted, tries);
  EXPECT_TRUE(accepted > tries / 10 && accepted < tries * 9 / 10);
}

}  // namespace
