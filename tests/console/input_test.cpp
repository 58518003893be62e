// Reading input, with standard input redirected to a file of known text.
#include "console/input.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>

#include "support/process.h"

namespace {

TEST(Input, TokensWholeNumbersAsTheCLibraryReadsThem) {
  const std::string dir = MakeTempDir(), path = dir + "/input.txt";
  const std::string long_word(5000, 'w');
  ASSERT_TRUE(WriteFile(path, " x\n\t" + long_word +
                                  " 0x10 010 12abc -r 0xx 99999999999999999999 0x1p3 nan 1ex q"));
  ASSERT_NE(freopen(path.c_str(), "r", stdin), nullptr);
  std::string token;
  long i = 0;
  double d = 0;
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, "x");
  ASSERT_TRUE(ReadToken(token));
  EXPECT_EQ(token, long_word);
  for (long expected : {16L, 8L}) {
    ASSERT_EQ(ReadInteger(i), ReadResult::kOk);
    EXPECT_EQ(i, expected);
  }
  // A token that is not wholly a number stays unread, whole, as the next token.
  for (const char* word : {"12abc", "-r", "0xx"}) {
    EXPECT_EQ(word[1] == 'r' ? ReadDouble(d) : ReadInteger(i), ReadResult::kNoNumber);
    ASSERT_TRUE(ReadToken(token));
    EXPECT_EQ(token, word);
  }
  ASSERT_EQ(ReadInteger(i), ReadResult::kOk);
  EXPECT_EQ(i, LONG_MAX);  // saturates rather than wrapping into range
  ASSERT_EQ(ReadDouble(d), ReadResult::kOk);
  EXPECT_EQ(d, 8.0);
  ASSERT_EQ(ReadDouble(d), ReadResult::kOk);
  EXPECT_TRUE(std::isnan(d));
  for (const char* word : {"1ex", "q"}) {
    EXPECT_EQ(ReadDouble(d), ReadResult::kNoNumber);
    ASSERT_TRUE(ReadToken(token));
    EXPECT_EQ(token, word);
  }
  EXPECT_FALSE(ReadToken(token));
  EXPECT_EQ(ReadDouble(d), ReadResult::kEnd);
  EXPECT_EQ(ReadInteger(i), ReadResult::kEnd);
  RemoveTree(dir);
}

}  // namespace
