// The charts over time: impulse responses with their energy-time curves, and
// waterfalls as heat maps.
#include <algorithm>
#include <cmath>

#include "plot/derived.h"
#include "plot/svg_chart.h"
#include "plot/svg_frame.h"

using namespace plot;

namespace {

// Viridis, from dark violet to yellow at ten even steps: a colour scale whose
// lightness rises evenly, which reads alike in colour and in grey.
const unsigned kViridis[] = {0x440154, 0x482878, 0x3e4989, 0x31688e, 0x26828e,
                             0x1f9e89, 0x35b779, 0x6ece58, 0xb5de2b, 0xfde725};

// The colour at share q (0 to 1) of the scale, interpolated.
std::string ScaleColour(double q) {
  const double at = std::fmin(std::fmax(q, 0.0), 1.0) * 9.0;
  const int i = std::min(static_cast<int>(at), 8);
  const double w = at - i;
  std::string colour = "#";
  for (int shift : {16, 8, 0}) {
    const double a = (kViridis[i] >> shift) & 0xff, b = (kViridis[i + 1] >> shift) & 0xff;
    Append(&colour, "%02x", static_cast<unsigned>(std::lround(a + w * (b - a))));
  }
  return colour;
}

// A step of 1, 2, 3, 5 or 6 times a power of ten dB giving at most 16 colours.
double ColourStep(double span) {
  for (double power = 0.1;; power *= 10.0)
    for (double m : {1.0, 2.0, 3.0, 5.0, 6.0})
      if (span / (m * power) <= 16.0) return m * power;
}

// The edges of point k of a slice on the frequency axis: halfway (in log
// frequency) to its neighbours, as far beyond the ends.
void PointEdges(const std::vector<double>& f, size_t k, double* lo, double* hi) {
  const size_t n = f.size();
  const double below = k > 0 ? f[k] / f[k - 1] : n > 1 ? f[1] / f[0] : 1.01;
  const double above = k + 1 < n ? f[k + 1] / f[k] : below;
  *lo = f[k] / std::sqrt(below);
  *hi = f[k] * std::sqrt(above);
}

// The end of slice i: the next slice's time, or one step after the last.
double SliceEnd(const std::vector<WaterfallSlice>& s, size_t i) {
  if (i + 1 < s.size()) return s[i + 1].time_ms;
  return s[i].time_ms + (i > 0 ? s[i].time_ms - s[i - 1].time_ms : 1.0);
}

// One heat map: the highest level that falls on each pixel, in colour steps
// of `step` dB from `bottom` (levels below share the lowest colour), as
// rectangles, one per run of pixels of one colour, and rows alike merged.
void HeatMap(const Panel& p, const std::vector<WaterfallSlice>& slices, double bottom, double step,
             int colours, std::string* svg) {
  const int width = static_cast<int>(kPlotWidth), height = static_cast<int>(p.height);
  std::vector<float> grid(static_cast<size_t>(width) * height, -INFINITY);
  // The pixel row or column at a position, held within [0, limit].
  auto pixel = [](double at, int limit) {
    return static_cast<int>(std::fmin(std::fmax(at, 0.0), static_cast<double>(limit)));
  };
  auto row_of = [&](double ms) { return (p.y_top - ms) / (p.y_top - p.y_bottom) * height; };
  for (size_t i = 0; i < slices.size(); ++i) {
    const int r0 = pixel(std::floor(row_of(SliceEnd(slices, i))), height);
    const int r1 = pixel(std::ceil(row_of(slices[i].time_ms)), height);
    const std::vector<double>& f = slices[i].freq;
    for (size_t k = 0; r0 < r1 && k < f.size(); ++k) {
      double lo, hi;
      PointEdges(f, k, &lo, &hi);
      const int c0 = pixel(std::floor(p.X(lo) - kPlotLeft), width);
      const int c1 = pixel(std::ceil(p.X(hi) - kPlotLeft), width);
      const float level = static_cast<float>(slices[i].db[k]);
      for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c) {
          float& cell = grid[static_cast<size_t>(r) * width + c];
          cell = std::max(cell, level);
        }
    }
  }
  std::vector<int> row(width), next(width);
  auto colour_row = [&](int r, std::vector<int>* out) {
    for (int c = 0; c < width; ++c) {
      const float v = grid[static_cast<size_t>(r) * width + c];
      (*out)[c] = v == -INFINITY ? -1 : pixel(std::floor((v - bottom) / step), colours - 1);
    }
  };
  *svg += "<g class=\"heat-map\" shape-rendering=\"crispEdges\">\n";
  for (int r = 0; r < height;) {
    colour_row(r, &row);
    int rows = 1;
    while (r + rows < height && (colour_row(r + rows, &next), next == row)) ++rows;
    for (int c = 0; c < width;) {
      int run = 1;
      while (c + run < width && row[c + run] == row[c]) ++run;
      if (row[c] >= 0)
        Append(svg, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>\n",
               static_cast<int>(kPlotLeft) + c, static_cast<int>(p.top) + r, run, rows,
               ScaleColour((row[c] + 0.5) / colours).c_str());
      c += run;
    }
    r += rows;
  }
  *svg += "</g>\n";
}

}  // namespace

void WriteImpulseChart(const ImpulseLine* lines, size_t count, const ChartOptions& options,
                       std::string* svg) {
  Panel impulse;
  impulse.log_x = false;
  impulse.height = 250.0;
  impulse.x_lo = 0.0;
  impulse.x_hi = 0.0;
  for (size_t i = 0; i < count; ++i)
    impulse.x_hi = std::fmax(impulse.x_hi, 1000.0 * lines[i].samples->size() / lines[i].rate);
  if (!(impulse.x_hi > 0.0)) impulse.x_hi = 1.0;
  if (options.fixed_time) impulse.x_lo = options.ms_lo, impulse.x_hi = options.ms_hi;
  // Each response's times in ms, its energy-time curve and the peaks that
  // set the scales: the largest magnitude shown, and the loudest energy.
  std::vector<std::vector<double>> ms(count), etc(count);
  double peak = 0.0, loudest = -INFINITY;
  for (size_t i = 0; i < count; ++i) {
    const std::vector<double>& x = *lines[i].samples;
    etc[i] = EnergyTimeDb(x);
    for (size_t k = 0; k < x.size(); ++k) {
      ms[i].push_back(1000.0 * k / lines[i].rate);
      loudest = std::fmax(loudest, etc[i][k]);
      if (ms[i][k] >= impulse.x_lo && ms[i][k] <= impulse.x_hi)
        peak = std::fmax(peak, std::fabs(x[k]));
    }
  }
  const double amplitude_step = NiceStep(2.0 * (peak > 0.0 ? peak : 1.0), 8);
  SetYRange(0.0, 0.0, false, &impulse);
  impulse.y_step = amplitude_step;
  impulse.y_top = std::ceil(std::fmax(peak, 1e-300) / amplitude_step) * amplitude_step;
  impulse.y_bottom = -impulse.y_top;
  Panel energy = impulse;
  energy.top = impulse.Bottom() + 30.0;
  // The range follows the top of each pixel column: the envelope of a
  // sampled impulse falls to nothing at every other sample.
  ValueCounts levels;
  for (size_t i = 0; i < count; ++i) {
    double top = -INFINITY;
    for (size_t k = 0; k < etc[i].size(); ++k) {
      etc[i][k] -= loudest;
      if (ms[i][k] < impulse.x_lo || ms[i][k] > impulse.x_hi) continue;
      top = std::fmax(top, etc[i][k]);
      if (k + 1 == etc[i].size() ||
          std::floor(impulse.X(ms[i][k + 1])) != std::floor(impulse.X(ms[i][k])))
        levels.Add(top), top = -INFINITY;
    }
  }
  if (options.fixed_range) {
    SetYRange(options.db_lo, options.db_hi, true, &energy);
  } else {
    ChooseYRange(levels, false, 20.0, 30.0, true, -60.0, 0.0, &energy);
  }
  std::string content;
  DrawPanel(impulse, "", "Amplitude", "amplitude", false, &content);
  DrawPanel(energy, "Time (ms)", "Energy-time curve (dB)", "db", true, &content);
  std::vector<DrawnLine> drawn;
  for (size_t i = 0; i < count; ++i) drawn.push_back({lines[i].name, "impulse"});
  std::vector<LegendEntry> legend;
  DrawLines(
      drawn, 2,
      [&](size_t i, size_t panel, const std::string& colour, std::string* marks) {
        const double* y = panel == 0 ? lines[i].samples->data() : etc[i].data();
        return ThinnedPath(panel == 0 ? impulse : energy, ms[i].data(), y, ms[i].size(), colour,
                           marks);
      },
      &content, &legend);
  Assemble(options.title.empty() ? "Impulse response and energy-time curve" : options.title,
           {impulse, energy}, energy.Bottom() + 70.0, content, legend, svg);
}

void WriteWaterfallChart(const WaterfallMap* maps, size_t count, const ChartOptions& options,
                         std::string* svg) {
  Panel base;
  base.height = count > 1 ? 300.0 : 420.0;
  base.top = kPlotTop + 10.0;
  base.over_map = true;
  double f_lo = INFINITY, f_hi = 0.0, t_lo = INFINITY, t_hi = -INFINITY, top = -INFINITY;
  for (size_t m = 0; m < count; ++m) {
    const std::vector<WaterfallSlice>& slices = *maps[m].slices;
    for (size_t i = 0; i < slices.size(); ++i) {
      t_lo = std::fmin(t_lo, slices[i].time_ms);
      t_hi = std::fmax(t_hi, SliceEnd(slices, i));
      f_lo = std::fmin(f_lo, slices[i].freq.front());
      f_hi = std::fmax(f_hi, slices[i].freq.back());
      for (double db : slices[i].db) top = std::fmax(top, db);
    }
  }
  if (f_hi / f_lo < 1.0 + 1e-6) f_lo /= std::sqrt(2.0), f_hi *= std::sqrt(2.0);
  base.x_lo = f_lo;
  base.x_hi = f_hi;
  if (options.fixed_time) t_lo = options.ms_lo, t_hi = options.ms_hi;
  SetYRange(t_lo, t_hi, false, &base);
  // The colour scale: the loudest level down by 45 dB unless set by hand.
  double bottom = options.db_lo, step = 3.0;
  top = options.fixed_range ? options.db_hi : std::ceil(top / step) * step;
  if (!options.fixed_range) bottom = top - 45.0;
  step = ColourStep(top - bottom);
  const int colours = static_cast<int>(std::ceil((top - bottom) / step - 1e-9));
  std::vector<Panel> panels;
  std::string content;
  for (size_t m = 0; m < count; ++m) {
    Panel p = base;
    p.top = base.top + static_cast<double>(m) * (base.height + 80.0);
    panels.push_back(p);
    Append(&content, "<text class=\"map-name\" x=\"%.2f\" y=\"%.2f\" font-size=\"13\">", kPlotLeft,
           p.top - 6.0);
    content += EscapeXmlText(maps[m].name) + "</text>\n";
    HeatMap(p, *maps[m].slices, bottom, step, colours, &content);
    DrawPanel(p, "Frequency (Hz)", "Time (ms)", "ms", true, &content);
  }
  // The scale beside the maps, loudest at the top, each step named by its
  // range; the lowest also holds every level below it.
  content += "<g class=\"colour-scale\">\n";
  Append(&content, "<text x=\"%.2f\" y=\"%.2f\">Level (dB)</text>\n", kLegendLeft, base.top);
  for (int i = colours - 1; i >= 0; --i) {
    const double y = base.top + 12.0 + 18.0 * (colours - 1 - i);
    const double lo = bottom + i * step, hi = std::fmin(lo + step, top);
    Append(&content,
           "<rect class=\"swatch\" data-db-lo=\"%g\" data-db-hi=\"%g\" x=\"%.2f\" y=\"%.2f\" "
           "width=\"24\" height=\"16\" fill=\"%s\"/>\n",
           i == 0 ? -kMaxLevel : lo, hi, kLegendLeft, y, ScaleColour((i + 0.5) / colours).c_str());
    Append(&content, "<text x=\"%.2f\" y=\"%.2f\">", kLegendLeft + 32.0, y + 12.0);
    if (i == 0) {
      Append(&content, "below %g", hi);
    } else {
      Append(&content, "%g to %g", lo, hi);
    }
    content += "</text>\n";
  }
  content += "</g>\n";
  const double height = std::fmax(panels.back().Bottom() + 70.0, base.top + 40.0 + 18.0 * colours);
  Assemble(options.title.empty() ? "Decay of the bass (waterfall)" : options.title, panels, height,
           content, {}, svg);
}
