// Drawing runs of result files and responses as one SVG chart: frequency on a
// logarithmic axis, level in dB on a linear one; each run a step line over its
// bands, each response a continuous line through its points.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "formats/curve_file.h"
#include "formats/result_table.h"

// One line of the chart and its legend entry: a run or a response.
struct ChartLine {
  std::string name;              // legend text
  const ResultRun* run = nullptr;  // drawn as steps over its bands, or
  const Curve* curve = nullptr;  // drawn as a line through its points
};

struct ChartOptions {
  std::string title = "Room response";
  // Level range of the frame in dB. Unless fixed, it is chosen from the
  // levels: all of them except far outliers below the bulk.
  bool fixed_range = false;
  double db_lo = 0.0, db_hi = 0.0;
};

// Replaces *svg with a complete SVG document showing lines[0 .. count), the
// first drawn first. Bands without a level, and bands whose edges are not
// both above 0 Hz, are left out as gaps; a line with nothing to draw is named
// "(no data)" in the legend. Levels outside the frame run along its edge and
// are marked there with a small triangle. The title and names are escaped for
// XML; bytes that are not valid UTF-8 or are control characters are replaced.
void WriteSvgChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                   std::string* svg);

// text with &, <, >, " and ' escaped, invalid UTF-8 sequences replaced by
// U+FFFD and control characters by spaces, so that it is always valid XML.
std::string EscapeXmlText(const std::string& text);
