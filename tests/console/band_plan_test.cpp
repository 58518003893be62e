#include "console/band_plan.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(BandPlan, EdgesAndEndFrequencies) {
  const struct {
    double q, start;
    int bands;
    double first_lo, first_hi, end;
  } plans[] = {
      {4.0, 18.0, 31, 18, 22, 16175},  {1.3, 18.0, 12, 18, 31, 16075},
      {6.0, 18.0, 20, 18, 21, 355},    {2.0, 18.0, 8, 18, 27, 454},
      {5.0, 300.0, 16, 300, 360, 5524}, {4.0, 18.7, 3, 18.7, 22, 33},  // edges from 18, not 18.7
      {1000.0, 18.0, 31, 18, 18, 18},  // every band 18-18
  };
  for (const auto& p : plans) {
    BandTable t;
    const double end = FindHighFreq(p.q, p.bands, p.start, t.lo, t.hi);
    EXPECT_EQ(t.lo[0], p.first_lo) << p.q;
    EXPECT_EQ(t.hi[0], p.first_hi) << p.q;
    EXPECT_EQ(end, p.end) << p.q;
    for (int k = 1; k < p.bands; ++k) ASSERT_EQ(t.lo[k], t.hi[k - 1]) << p.q << " band " << k;
  }
  BandTable t;
  FindHighFreq(4.0, 4, 18.0, t.lo, t.hi);
  EXPECT_EQ(t.hi[1], 27.0);
  EXPECT_EQ(t.hi[2], 33.0);
  EXPECT_EQ(t.hi[3], 41.0);
}

TEST(BandPlan, NoBandsWritesOnlyTheFirstLowEdge) {
  BandTable t;
  t.hi[0] = -1.0;
  EXPECT_EQ(FindHighFreq(4.0, 0, 18.7, t.lo, t.hi), 18.0);
  EXPECT_EQ(t.lo[0], 18.7);
  EXPECT_EQ(t.hi[0], -1.0);
}

TEST(BandPlan, EdgesSaturateAtInt32Max) {
  // Q, the first band (from 1) whose edge is saturated.
  for (auto [q, first] : {std::pair{1.3, 33}, {2.0, 46}, {4.0, 84}}) {
    BandTable t;
    EXPECT_EQ(FindHighFreq(q, kMaxBands, 18.0, t.lo, t.hi), 2147483647.0);
    EXPECT_LT(t.hi[first - 2], 2147483647.0) << q;
    for (int k = first - 1; k < kMaxBands; ++k) ASSERT_EQ(t.hi[k], 2147483647.0) << q << " " << k;
  }
  BandTable t;
  FindHighFreq(1.3, 33, 18.0, t.lo, t.hi);
  EXPECT_EQ(t.hi[31], 1451508277.0);
  EXPECT_EQ(TruncToInt32(-22.9), -22);
  EXPECT_EQ(TruncToInt32(-3e9), INT32_MIN);
  EXPECT_EQ(TruncToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace
