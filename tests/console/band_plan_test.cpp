#include "console/band_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct Plan {
  BandTable table;
  double end;
};

Plan Make(double q, int bands, double start) {
  Plan p{};
  p.end = FindHighFreq(q, bands, start, p.table.lo, p.table.hi);
  return p;
}

TEST(BandPlan, DefaultPlanEdges) {
  Plan p = Make(4.0, 31, 18.0);
  const double lo[] = {18, 22, 27, 33}, hi[] = {22, 27, 33, 41};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(p.table.lo[k], lo[k]) << k;
    EXPECT_EQ(p.table.hi[k], hi[k]) << k;
  }
  EXPECT_EQ(p.table.lo[30], 12940.0);
  EXPECT_EQ(p.end, 16175.0);
  for (int k = 1; k < 31; ++k) EXPECT_EQ(p.table.lo[k], p.table.hi[k - 1]);
}

TEST(BandPlan, PresetEndFrequencies) {
  EXPECT_EQ(Make(1.3, 12, 18.0).end, 16075.0);
  EXPECT_EQ(Make(1.3, 12, 18.0).table.hi[0], 31.0);
  EXPECT_EQ(Make(6.0, 20, 18.0).end, 355.0);
  EXPECT_EQ(Make(2.0, 8, 18.0).end, 454.0);
  Plan mid = Make(5.0, 16, 300.0);
  EXPECT_EQ(mid.table.hi[0], 360.0);
  EXPECT_EQ(mid.end, 5524.0);
}

TEST(BandPlan, FractionalStartKeptInFirstLowEdgeOnly) {
  Plan p = Make(4.0, 3, 18.7);
  EXPECT_EQ(p.table.lo[0], 18.7);
  EXPECT_EQ(p.table.hi[0], 22.0);  // computed from 18, not 18.7
}

TEST(BandPlan, NoBandsReturnsTruncatedStart) {
  BandTable t;
  t.hi[0] = -1.0;
  EXPECT_EQ(FindHighFreq(4.0, 0, 18.7, t.lo, t.hi), 18.0);
  EXPECT_EQ(t.lo[0], 18.7);
  EXPECT_EQ(t.hi[0], -1.0);  // nothing else written
}

TEST(BandPlan, HugeQGivesEqualEdges) {
  Plan p = Make(1000.0, 31, 18.0);
  for (int k = 0; k < 31; ++k) {
    EXPECT_EQ(p.table.lo[k], 18.0);
    EXPECT_EQ(p.table.hi[k], 18.0);
  }
  EXPECT_EQ(p.end, 18.0);
}

TEST(BandPlan, EdgesSaturateAtInt32Max) {
  Plan p = Make(1.3, 33, 18.0);
  EXPECT_EQ(p.table.hi[31], 1451508277.0);
  EXPECT_EQ(p.table.hi[32], 2147483647.0);
  EXPECT_EQ(p.end, 2147483647.0);
  Plan q4 = Make(4.0, 1024, 18.0);
  EXPECT_LT(q4.table.hi[82], 2147483647.0);
  for (int k = 83; k < 1024; ++k) ASSERT_EQ(q4.table.hi[k], 2147483647.0) << k;
  Plan q2 = Make(2.0, 60, 18.0);
  EXPECT_LT(q2.table.hi[44], 2147483647.0);
  EXPECT_EQ(q2.table.hi[45], 2147483647.0);
}

TEST(BandPlan, TruncationSaturates) {
  EXPECT_EQ(TruncToInt32(22.999), 22);
  EXPECT_EQ(TruncToInt32(-22.999), -22);
  EXPECT_EQ(TruncToInt32(3e9), INT32_MAX);
  EXPECT_EQ(TruncToInt32(-3e9), INT32_MIN);
  EXPECT_EQ(TruncToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(TruncToInt32(std::numeric_limits<double>::infinity()), INT32_MAX);
}

}  // namespace
