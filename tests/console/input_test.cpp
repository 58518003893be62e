// Input handling, with standard input redirected to a file of known text.
#include "console/input.h"
#include "console/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "support/process.h"

namespace {

class InputTest : public ::testing::Test {
 protected:
  void Feed(const std::string& text) {
    dir_ = MakeTempDir();
    std::string path = dir_ + "/input.txt";
    ASSERT_TRUE(WriteFile(path, text));
    ASSERT_NE(freopen(path.c_str(), "r", stdin), nullptr);
  }
  void TearDown() override { RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(InputTest, TokensAreReadWholeWhateverTheirLength) {
  const std::string long_word(5000, 'w');
  Feed("  x\n\t" + long_word + "  plughw:CARD=USB,DEV=0\n");
  std::string token;
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, "x");
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, long_word);
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, "plughw:CARD=USB,DEV=0");
  EXPECT_FALSE(ReadToken(token));
  EXPECT_FALSE(ReadToken(token));  // stays at the end
}

TEST_F(InputTest, IntegersFollowPercentIRules) {
  Feed("0x10 010 -7 12abc 99999999999999999999999");
  long v = 0;
  ASSERT_EQ(ReadInteger(v), ReadResult::kOk);
  EXPECT_EQ(v, 16);
  ASSERT_EQ(ReadInteger(v), ReadResult::kOk);
  EXPECT_EQ(v, 8);
  ASSERT_EQ(ReadInteger(v), ReadResult::kOk);
  EXPECT_EQ(v, -7);
  ASSERT_EQ(ReadInteger(v), ReadResult::kOk);
  EXPECT_EQ(v, 12);
  // The text after the number stays unread, as a command for the menu.
  EXPECT_EQ(ReadInteger(v), ReadResult::kNoNumber);
  std::string token;
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, "abc");
  ASSERT_EQ(ReadInteger(v), ReadResult::kOk);
  EXPECT_NE(CheckBands(v), nullptr);  // saturated, so refused rather than wrapped
  EXPECT_EQ(ReadInteger(v), ReadResult::kEnd);
}

TEST_F(InputTest, DoublesFollowPercentLfRules) {
  Feed("2.5 1e3 0x1p3 inf nan abc");
  double v = 0;
  ASSERT_EQ(ReadDouble(v), ReadResult::kOk);
  EXPECT_EQ(v, 2.5);
  ASSERT_EQ(ReadDouble(v), ReadResult::kOk);
  EXPECT_EQ(v, 1000.0);
  ASSERT_EQ(ReadDouble(v), ReadResult::kOk);
  EXPECT_EQ(v, 8.0);
  ASSERT_EQ(ReadDouble(v), ReadResult::kOk);
  EXPECT_TRUE(std::isinf(v));
  ASSERT_EQ(ReadDouble(v), ReadResult::kOk);
  EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(ReadDouble(v), ReadResult::kNoNumber);
  std::string token;
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, "abc");
  EXPECT_EQ(ReadDouble(v), ReadResult::kEnd);
}

TEST(Settings, RangesOfAcceptedValues) {
  const double kInf = std::numeric_limits<double>::infinity();
  const double kNan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(CheckQ(0.001), nullptr);
  EXPECT_EQ(CheckQ(1000.0), nullptr);
  for (double bad : {0.0, -1.0, kInf, kNan}) EXPECT_NE(CheckQ(bad), nullptr) << bad;

  EXPECT_EQ(CheckBands(0), nullptr);
  EXPECT_EQ(CheckBands(1024), nullptr);
  EXPECT_NE(CheckBands(-1), nullptr);
  EXPECT_NE(CheckBands(1025), nullptr);

  EXPECT_EQ(CheckStartFreq(0.5), nullptr);
  EXPECT_EQ(CheckStartFreq(23999.9), nullptr);
  for (double bad : {0.0, -18.0, 24000.0, 1e300, kInf, kNan})
    EXPECT_NE(CheckStartFreq(bad), nullptr) << bad;

  EXPECT_EQ(CheckSweepLength(0.0), nullptr);
  EXPECT_EQ(CheckSweepLength(44738.0), nullptr);   // 2147424000 + 48000 frames fit
  EXPECT_NE(CheckSweepLength(44738.25), nullptr);  // 2147436000 + 48000 do not
  for (double bad : {-0.1, 1e12, kInf, kNan}) EXPECT_NE(CheckSweepLength(bad), nullptr) << bad;
}

TEST(Settings, PresetsSetPlanOnly) {
  TestSettings s;
  s.sweep_length = 3.0;
  s.device = "hw:1";
  EXPECT_TRUE(ApplyPreset(5, s));
  EXPECT_EQ(s.start_freq, 300.0);
  EXPECT_EQ(s.q, 5.0);
  EXPECT_EQ(s.bands, 16);
  EXPECT_EQ(s.sweep_length, 3.0);
  EXPECT_EQ(s.device, "hw:1");
  EXPECT_FALSE(ApplyPreset(0, s));
  EXPECT_FALSE(ApplyPreset(6, s));
  EXPECT_EQ(s.bands, 16);
}

}  // namespace
