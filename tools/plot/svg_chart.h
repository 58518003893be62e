// The charts of quelmar-plot, each a complete SVG document:
// - levels: runs of result files and responses, level in dB against
//   frequency on a logarithmic axis, with a target and predictions as
//   overlays;
// - phase: the phase of responses and their group delay against frequency;
// - impulse: impulse responses and their energy-time curves against time;
// - waterfall: the decay of the bass as a heat map of level over frequency
//   and time;
// - distortion: harmonics and THD relative to the fundamental against
//   frequency, their noise floors dashed and marked.
// Every curve is reduced to the lowest and highest point of each pixel
// column, so that a chart's size does not grow with the points it is given.
// Titles and names are escaped for XML; bytes that are not valid UTF-8 or are
// control characters are replaced.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dsp/waterfall.h"
#include "formats/curve_file.h"
#include "formats/result_table.h"

// How a line of a frequency chart reads: a measurement in the palette's
// colours; a prediction dashed, over them; a target as a broad grey band
// under them.
enum class LineRole { kMeasured, kPredicted, kTarget };

// One line of a frequency chart and its legend entry: a run or a response.
struct ChartLine {
  std::string name;                // legend text
  const ResultRun* run = nullptr;  // drawn as steps over its bands, or
  const Curve* curve = nullptr;    // drawn as a line through its points
  LineRole role = LineRole::kMeasured;
  // On the distortion chart: which of the curve's points are a noise floor,
  // the true level below it (none when null).
  const std::vector<bool>* floor = nullptr;
};

// An impulse response: samples at `rate` frames per second from time 0.
struct ImpulseLine {
  std::string name;
  const std::vector<double>* samples = nullptr;
  double rate = 0.0;
};

// A waterfall drawn as one heat map, named above it.
struct WaterfallMap {
  std::string name;
  const std::vector<WaterfallSlice>* slices = nullptr;
};

struct ChartOptions {
  std::string title;  // empty: the chart's own
  // The level range in dB (levels, energy-time curve, waterfall colours).
  // Unless fixed, it is chosen from the levels.
  bool fixed_range = false;
  double db_lo = 0.0, db_hi = 0.0;
  // The time range in ms (impulse, waterfall); unless fixed, all of it.
  bool fixed_time = false;
  double ms_lo = 0.0, ms_hi = 0.0;
};

// The levels chart of lines[0 .. count). Bands without a level, and bands
// whose edges are not both above 0 Hz, are left out as gaps; a line with
// nothing to draw is named "(no data)" in the legend, and a line drawn
// exactly over an earlier one "(same as <name>)", dashed so that both show.
// The level range covers the top of the levels and their bulk: far outliers
// below run along the frame's edge, marked there with a small triangle.
void WriteSvgChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                   std::string* svg);

// Two panels over one frequency axis: the phase as the curves hold it
// (wrapped to +-180 degrees, the line broken where it wraps) and the group
// delay in ms derived from it. Every curve must have a phase; targets are
// not drawn.
void WritePhaseChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                     std::string* svg);

// The distortion chart: each line a curve of levels in dB relative to the
// fundamental against frequency, with a second scale at the right in percent
// (-40 dB is 1 %). Segments that touch a noise floor are drawn thin and
// dashed, and each floor point is marked with an open triangle pointing down.
void WriteDistortionChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                          std::string* svg);

// Two panels over one time axis in ms: the impulse responses and their
// energy-time curves in dB, 0 dB at the loudest peak among them.
void WriteImpulseChart(const ImpulseLine* lines, size_t count, const ChartOptions& options,
                       std::string* svg);

// One heat map per waterfall, stacked, frequency across and time upwards,
// each slice's level in colour steps of a shared scale shown at the right.
void WriteWaterfallChart(const WaterfallMap* maps, size_t count, const ChartOptions& options,
                         std::string* svg);
