// The band plan: adjacent bands whose width grows in proportion to frequency.
#pragma once

#include <cstdint>

#include "dsp/band_edges.h"

constexpr int kMaxBands = 1024;

// Low and high edges of up to kMaxBands bands; band k is shown as k+1.
struct BandTable {
  double lo[kMaxBands];
  double hi[kMaxBands];
};

// Prints the band listing of the "d" command.
void PrintBandListing(const BandTable& table, int bands);
