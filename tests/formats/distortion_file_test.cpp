// The distortion file: written with its line on the noise, read back with
// its floors, refused naming the line when damaged.
#include "formats/distortion_file.h"

#include <gtest/gtest.h>

#include "support/damage.h"

namespace {

const std::string kColumns = std::string(kDistortionColumns) + "\n";
const std::string kAbove = "* H2 and H3 stand above the noise at every frequency\n";
const std::string kBelow = "* Below the noise, the noise floor is written instead (and THD counts "
                           "it, so is at most the value written): ";

// Rows at `freq`, H2 below the noise at the rows in below2, H3 at those in below3.
DistortionTable Table(bool noise, std::vector<double> freq, std::vector<size_t> below2,
                      std::vector<size_t> below3) {
  DistortionTable t;
  t.noise_known = noise;
  for (double f : freq) t.rows.push_back({f, -12.378, {-33.64, -29.5}, {false, false}, 4.406});
  for (size_t i : below2) t.rows[i].below[0] = true;
  for (size_t i : below3) t.rows[i].below[1] = true;
  return t;
}

TEST(DistortionFile, NamesTheFloorsAndReadsThemBack) {
  const std::vector<double> octave = {20.857, 22.097, 23.411, 24.803, 1000};
  const struct { DistortionTable table; std::string line; } cases[] = {
      {Table(false, octave, {}, {}),
       "* Noise floor unknown: the impulse response holds no stretch of noise alone\n"},
      {Table(true, octave, {}, {}), kAbove},
      {Table(true, octave, {0, 1, 3}, {4}), kBelow + "H2 at 20.9-22.1 Hz, 24.8 Hz; H3 at 1000.0 Hz\n"},
      // Rows that share a tenth of a hertz are named as the rows write them.
      {Table(true, {1, 1.059, 1.122, 1.189}, {}, {1, 2, 3}), kBelow + "H2 at none; H3 at "
                                                                      "1.059-1.2 Hz\n"}};
  for (const auto& c : cases) {
    const std::string text = FormatDistortion({"a\nnote"}, c.table);
    EXPECT_EQ(text.substr(0, text.find(kColumns) + kColumns.size()), "* a?note\n" + c.line + kColumns);
    DistortionTable back;
    std::string error;
    ASSERT_TRUE(ParseDistortion(text.data(), text.size(), &back, &error)) << error;
    EXPECT_EQ(FormatDistortion({"a\nnote"}, back), text);
  }
  EXPECT_EQ(FormatDistortion({}, cases[1].table).substr(kAbove.size() + kColumns.size(), 40),
            "20.857, -12.378, -33.64, -29.50, 4.4060\n");
}

TEST(DistortionFile, RefusesDamageNamingTheLine) {
  const std::string head = kAbove + kColumns, row = "20.857, 0, -40, -50, 1\n";
  const std::pair<std::string, std::string> refused[] = {
      {head, "line 2: no row under the column line"},
      {kColumns + row, "line 2: no line saying where the harmonics lie below the noise"},
      {row + head, "line 1: a row before the column line \"" + kColumns.substr(0, 51) + "\""},
      {head + kAbove + row, "line 3: a second line saying where the harmonics lie below the "
                                    "noise"},
      {head + row + row, "line 4: frequencies must rise from row to row"},
      {head + "20, 0, -40, -50\n", "line 3: expected five numbers: frequency, fundamental, H2 "
                                   "and H3 in dB, THD in %"},
      {head + "0, 0, -40, -50, 1\n", "line 3: frequency must lie above 0 Hz, up to 1e9 Hz"},
      {head + "20 0 -40 2e9 1\n", "line 3: levels must lie within +-1e9 dB"},
      {head + "20,0,-40,-50,-1\n", "line 3: THD must lie from 0 to 1e18 %"},
      {kBelow + "H2 at 20.9 Hz\n" + kColumns + row,
       "line 1: expected \"H2 at F Hz, LO-HI Hz, ...; H3 at ...\" (or \"none\") after \"the "
       "value written): \""},
      {kBelow + "H2 at none; H3 at 21.0 Hz\n" + kColumns + row,
       "line 1: it names 21.0 Hz, the frequency of no row"},
      {kBelow + "H2 at 30.00-20.9 Hz; H3 at none\n" + kColumns + row + "30, 0, -40, -50, 1\n",
       "line 1: a run from 30.00 Hz down to 20.9 Hz"}};
  for (const auto& r : refused) {
    DistortionTable read;
    read.rows.resize(1);
    std::string error;
    EXPECT_FALSE(ParseDistortion(r.first.data(), r.first.size(), &read, &error)) << r.first;
    EXPECT_TRUE(error == r.second && read.rows.size() == 1) << error;
  }
  // Seeded random damage: each text is refused naming a line, or reads back
  // as what it writes.
  std::mt19937 gen(18);
  const std::vector<std::string> pieces = {"\n", ",", " ", "-", "* ", "1e9", "nan", "\t", " Hz",
                                           ", ", "none", kColumns, kAbove};
  const DistortionTable table = Table(true, {20.857, 22.097, 23.411, 24.803, 26.278}, {0, 1, 3}, {4});
  int accepted = 0, tries = 3000;
  for (int i = 0; i < tries; ++i) {
    const std::string damaged = Damage(FormatDistortion({"note"}, table), gen, pieces);
    DistortionTable read;
    std::string error;
    if (!ParseDistortion(damaged.data(), damaged.size(), &read, &error)) {
      ASSERT_TRUE(error.rfind("line ", 0) == 0 && read.rows.empty()) << damaged;
      continue;
    }
    const std::string written = FormatDistortion({}, read);
    ASSERT_TRUE(ParseDistortion(written.data(), written.size(), &read, &error)) << error;
    ASSERT_EQ(FormatDistortion({}, read), written) << damaged;
    ++accepted;
  }
  printf("distortion parser totals: %d of %d damaged texts refused, %d read back\n", tries - accepted,
         tries, accepted);
  EXPECT_TRUE(accepted > tries / 10 && accepted < tries * 9 / 10);
}

}  // namespace
