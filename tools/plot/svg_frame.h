// What every chart is built of: the SVG document with its title and legend,
// panels with their axes and grid, the choice of a value range, and lines
// reduced to what a panel's pixel columns can show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plot/svg_chart.h"

namespace plot {

// Layout in pixels: the plot areas start here, with room for the title
// above, the tick and axis labels below and to the left, and the legend to
// the right.
constexpr double kPlotLeft = 80.0;
constexpr double kPlotTop = 60.0;
constexpr double kPlotWidth = 700.0;
constexpr double kLegendLeft = kPlotLeft + kPlotWidth + 24.0;

// Values beyond this are not measurements: they count as this much when a
// range is chosen, which keeps the axis arithmetic finite.
constexpr double kMaxLevel = 10000.0;

// One plot area: x on a logarithmic axis of frequency or a linear one of
// time; y linear, with grid lines every y_step.
struct Panel {
  double top = kPlotTop, height = 420.0;
  bool log_x = true;
  double x_lo = 20.0, x_hi = 20000.0;  // Hz or ms
  double y_bottom = -24.0, y_top = 0.0, y_step = 3.0;
  bool over_map = false;  // its grid lies over a heat map

  double Bottom() const { return top + height; }
  double X(double x) const;
  // The height of a value, held at the frame when it lies outside; *side is
  // then -1 (below) or 1 (above), else 0.
  double Y(double y, int* side) const;
};

// How many values fall into each 0.1 step from -kMaxLevel to kMaxLevel:
// quantiles of any number of values in constant memory.
struct ValueCounts {
  std::vector<uint64_t> bins = std::vector<uint64_t>(200001);
  uint64_t total = 0;
  void Add(double v);
};

// A panel's y range for values counted in `counts`: their top and their
// bulk. Values more than three interquartile ranges (and at least `margin`)
// beyond the quartiles are left outside the frame, below it only unless
// `both_sides`, so that a few outliers cannot squeeze the rest into a
// sliver. One grid step of room is left beyond the values shown, and the
// range spans at least `least`. With nothing counted it is `lo` to `hi`.
// `db` steps are multiples of 3 dB; other steps 1, 2 or 5 times a power of ten.
void ChooseYRange(const ValueCounts& counts, bool both_sides, double margin, double least, bool db,
                  double lo, double hi, Panel* panel);
// A range set by hand, with its grid step.
void SetYRange(double lo, double hi, bool db, Panel* panel);
// A step of 1, 2 or 5 times a power of ten giving at most `most` steps over span.
double NiceStep(double span, int most);

// The document: starts `svg` with the header, the background, the clip
// region of each panel (ids clip-1, clip-2, ...) and the title.
void BeginSvg(double width, double height, const std::string& title,
              const std::vector<Panel>& panels, std::string* svg);
// The grid, labels and frame of a panel. `y_key` names the y unit in the
// ticks' data attribute (data-db, data-deg, ...); `x_labels` labels the x
// ticks (a panel stacked above another with the same axis need not).
void DrawPanel(const Panel& panel, const char* x_label, const char* y_label, const char* y_key,
               bool x_labels, std::string* svg);

// How a line is stroked: colour, width, dash pattern and opacity.
struct Stroke {
  std::string colour;
  double width = 2.0;
  std::string dash;  // empty: solid
  double opacity = 1.0;
};
// The palette's stroke for the index-th drawn line: ten colours that stay
// apart, then the same with dash patterns.
Stroke LineStroke(size_t index);
// ` stroke="..." ...` attributes for `s`.
std::string StrokeAttributes(const Stroke& s);

// The SVG path data of a line through (x[k], y[k]) in `panel`, reduced to
// what its pixel columns can show: in each column only the lowest and the
// highest point, in the order they come, so that the path's length depends
// on the panel's width, not on the number of points. A non-finite y breaks
// the line; points with x outside the panel are left out. Each stretch
// outside the y range gets a small triangle on the frame's edge, added to
// *marks in `colour`.
std::string ThinnedPath(const Panel& panel, const double* x, const double* y, size_t count,
                        const std::string& colour, std::string* marks);
// A small triangle on the frame's edge at x, pointing out of the frame.
void ClipMark(const Panel& panel, double x, int side, const std::string& colour,
              std::string* marks);

// One legend row: a name and the stroke of its swatch (none when empty).
struct LegendEntry {
  std::string name;
  Stroke stroke;
  bool swatch = true;
};
// Width and height a chart needs beside the legend's rows, the legend's left
// edge at `left`.
void FitLegend(const std::vector<LegendEntry>& entries, double left, double* width,
               double* height);
void DrawLegend(const std::vector<LegendEntry>& entries, double left, std::string* svg);

// A line to draw: its legend name, its class in the document, its role.
struct DrawnLine {
  std::string name;
  const char* css_class;
  LineRole role = LineRole::kMeasured;
};
// The path data of line number `line` in panel number `panel` (empty when it
// has nothing there), drawn in `colour`, its clip marks added to *marks.
using PathOf = std::function<std::string(size_t line, size_t panel, const std::string& colour,
                                         std::string* marks)>;
// How the part of a line that `dashed_of` gives is drawn: thinner, dashed.
constexpr const char* kDashedPart = "4 3";
// Draws the lines into *body in each of `panels` panels (clip-1, clip-2, ...):
// targets first, then measurements in the palette's colours, then predictions
// dashed; *legend names them in their own order. A line with nothing to draw
// is named "(no data)"; a line drawn exactly as an earlier one is dashed, so
// that both show, and named "(same as <name>)". `dashed_of`, when given,
// gives each line's part drawn thinner and dashed in its colour (such as
// where it is a noise floor, not a measurement). Marks go over all lines.
void DrawLines(const std::vector<DrawnLine>& lines, size_t panels, const PathOf& path_of,
               std::string* body, std::vector<LegendEntry>* legend,
               const PathOf& dashed_of = nullptr);
// The whole document: the title, `content` (panels and lines) and the
// legend from `legend_left`, at least 960 by `height` pixels and as wide as
// the legend needs.
void Assemble(const std::string& title, const std::vector<Panel>& panels, double height,
              const std::string& content, const std::vector<LegendEntry>& legend, std::string* svg,
              double legend_left = kLegendLeft);

// printf appended to *out.
void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// text with &, <, >, " and ' escaped, invalid UTF-8 sequences replaced by
// U+FFFD and control characters by spaces, so that it is always valid XML.
std::string EscapeXmlText(const std::string& text);

}  // namespace plot
