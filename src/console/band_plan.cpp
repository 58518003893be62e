#include "console/band_plan.h"

#include <cstdio>

void PrintBandListing(const BandTable& table, int bands) {
  puts("band\tlow\thigh");
  for (int k = 0; k < bands && k < kMaxBands; ++k)
    printf("%i\t%.0f\t%.0f\n", k + 1, table.lo[k], table.hi[k]);
}
