// The charts over frequency: levels, phase with group delay, and harmonic
// distortion.
#include "plot/svg_chart.h"

#include <cmath>

#include "plot/derived.h"
#include "plot/svg_frame.h"

using namespace plot;

namespace {

bool BandOnAxis(const ResultBand& b) {
  return b.lo > 0.0 && b.hi > 0.0 && std::isfinite(b.lo) && std::isfinite(b.hi);
}

bool FrequencyOnAxis(double f) { return f > 0.0 && std::isfinite(f); }

// The frequency range that covers every band and point, of targets only when
// nothing else is drawn: a target is drawn where the measurements are.
void ChooseFrequencyRange(const ChartLine* lines, size_t count, Panel* p) {
  double lo = INFINITY, hi = 0.0;
  bool only_targets = true;
  for (size_t i = 0; i < count; ++i)
    only_targets = only_targets && lines[i].role == LineRole::kTarget;
  for (size_t i = 0; i < count; ++i) {
    if (lines[i].role == LineRole::kTarget && !only_targets) continue;
    if (const ResultRun* run = lines[i].run) {
      for (const ResultBand& b : run->bands) {
        if (!BandOnAxis(b)) continue;
        lo = std::fmin(lo, std::fmin(b.lo, b.hi));
        hi = std::fmax(hi, std::fmax(b.lo, b.hi));
      }
    }
    if (const Curve* c = lines[i].curve) {
      for (size_t k = 0; k < c->freq.size(); ++k) {
        if (!FrequencyOnAxis(c->freq[k]) || !std::isfinite(c->db[k])) continue;
        lo = std::fmin(lo, c->freq[k]);
        hi = std::fmax(hi, c->freq[k]);
      }
    }
  }
  if (hi == 0.0) lo = 20.0, hi = 20000.0;  // nothing to place: the audible range
  if (hi / lo < 1.0 + 1e-6) lo /= std::sqrt(10.0), hi *= std::sqrt(10.0);  // bands of no width
  p->x_lo = lo;
  p->x_hi = hi;
}

// The step line of one run: each band a horizontal segment at its level,
// joined by vertical risers to the next band when the two touch.
std::string StepPath(const Panel& p, const ResultRun& run, const std::string& colour,
                     std::string* marks) {
  std::string d;
  bool pen_down = false;
  double last_hi = 0.0;
  for (const ResultBand& b : run.bands) {
    if (!BandOnAxis(b) || !BandHasLevel(b)) {
      pen_down = false;
      continue;
    }
    int side;
    const double y = p.Y(b.level, &side), x_lo = p.X(b.lo), x_hi = p.X(b.hi);
    if (side != 0) ClipMark(p, (x_lo + x_hi) / 2.0, side, colour, marks);
    if (pen_down && b.lo == last_hi) {
      Append(&d, " V%.2f H%.2f", y, x_hi);
    } else {
      Append(&d, "%sM%.2f %.2f H%.2f", d.empty() ? "" : " ", x_lo, y, x_hi);
    }
    pen_down = true;
    last_hi = b.hi;
  }
  return d;
}

const char* ClassOf(const ChartLine& line) {
  switch (line.role) {
    case LineRole::kTarget: return "target";
    case LineRole::kPredicted: return "predicted";
    default: return line.run ? "run" : "response";
  }
}

std::vector<DrawnLine> Drawn(const ChartLine* lines, size_t count) {
  std::vector<DrawnLine> drawn;
  for (size_t i = 0; i < count; ++i)
    drawn.push_back({lines[i].name, ClassOf(lines[i]), lines[i].role});
  return drawn;
}

// The level range: as set, or from the bands and points drawn.
void ChooseLevelRange(const ChartLine* lines, size_t count, const ChartOptions& options,
                      double lo, double hi, Panel* p) {
  if (options.fixed_range && options.db_lo < options.db_hi)
    return SetYRange(options.db_lo, options.db_hi, true, p);
  ValueCounts levels;
  for (size_t i = 0; i < count; ++i) {
    if (const ResultRun* run = lines[i].run)
      for (const ResultBand& b : run->bands)
        if (BandOnAxis(b) && BandHasLevel(b)) levels.Add(b.level);
    if (const Curve* c = lines[i].curve)
      for (size_t k = 0; k < c->freq.size(); ++k)
        if (FrequencyOnAxis(c->freq[k]) && std::isfinite(c->db[k])) levels.Add(c->db[k]);
  }
  ChooseYRange(levels, false, 20.0, 12.0, true, lo, hi, p);
}

// The second scale of the distortion chart at the panel's right: its levels
// as percentages, at 1, 2 and 5 times each power of ten (at each power alone
// over more than five decades, and at every few over more than twenty).
constexpr double kPercentAxis = 64.0;  // its width, before the legend

void PercentAxis(const Panel& p, std::string* svg) {
  const double right = kPlotLeft + kPlotWidth;
  const double decades = (p.y_top - p.y_bottom) / 20.0;
  const int every = static_cast<int>(std::ceil(decades / 20.0));
  for (int e = static_cast<int>(std::floor(p.y_bottom / 20.0)) + 2;
       e <= static_cast<int>(std::ceil(p.y_top / 20.0)) + 2; ++e) {
    if (e % every != 0) continue;
    for (double m : {1.0, 2.0, 5.0}) {
      const double db = 20.0 * (e + std::log10(m) - 2.0), percent = m * std::pow(10.0, e);
      int side;
      if ((m != 1.0 && decades > 5.0) || db < p.y_bottom || db > p.y_top) continue;
      const double y = p.Y(db, &side);
      Append(svg,
             "<line class=\"percent-tick\" data-percent=\"%g\" x1=\"%.2f\" y1=\"%.2f\" "
             "x2=\"%.2f\" y2=\"%.2f\" stroke=\"#333333\"/>\n",
             percent, right, y, right + 5.0, y);
      Append(svg, "<text x=\"%.2f\" y=\"%.2f\">%g</text>\n", right + 8.0, y + 4.0, percent);
    }
  }
  Append(svg,
         "<text transform=\"translate(%.2f %.2f) rotate(90)\" text-anchor=\"middle\" "
         "font-size=\"14\">Percent of the fundamental</text>\n",
         right + kPercentAxis - 8.0, p.top + p.height / 2.0);
}

// The curve's levels split at its noise floors: *solid holds the measured
// points and gaps at the floors, so that only segments between two
// measurements are drawn solid; *x and *y hold the segments that touch a
// floor, runs of them joined, gaps between (a floor of one point alone).
void SplitAtFloors(const Curve& c, const std::vector<bool>& floor, std::vector<double>* solid,
                   std::vector<double>* x, std::vector<double>* y) {
  const size_t n = c.freq.size();
  for (size_t k = 0; k < n; ++k) {
    solid->push_back(floor[k] ? NAN : c.db[k]);
    const size_t from = k > 0 ? k - 1 : 0;
    if (n > 1 && (k == 0 || !(floor[k] || floor[k - 1]))) continue;
    if (n > 1 && (x->empty() || x->back() != c.freq[from])) {
      x->push_back(c.freq[from]), y->push_back(NAN);
      x->push_back(c.freq[from]), y->push_back(c.db[from]);
    }
    if (n > 1 || floor[k]) x->push_back(c.freq[k]), y->push_back(c.db[k]);
  }
}

}  // namespace

void WriteSvgChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                   std::string* svg) {
  Panel p;
  ChooseFrequencyRange(lines, count, &p);
  ChooseLevelRange(lines, count, options, -24.0, 0.0, &p);
  std::string frame, body;
  DrawPanel(p, "Frequency (Hz)", "Level (dB)", "db", true, &frame);
  std::vector<LegendEntry> legend;
  DrawLines(
      Drawn(lines, count), 1,
      [&](size_t i, size_t, const std::string& colour, std::string* marks) {
        const ChartLine& line = lines[i];
        if (line.run) return StepPath(p, *line.run, colour, marks);
        if (!line.curve) return std::string();
        const Curve& c = *line.curve;
        return ThinnedPath(p, c.freq.data(), c.db.data(), c.freq.size(), colour, marks);
      },
      &body, &legend);
  Assemble(options.title.empty() ? "Room response" : options.title, {p}, 560.0, frame + body,
           legend, svg);
}

void WritePhaseChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                     std::string* svg) {
  std::vector<ChartLine> drawn;
  for (size_t i = 0; i < count; ++i)
    if (lines[i].curve && lines[i].role != LineRole::kTarget) drawn.push_back(lines[i]);
  Panel phase;
  ChooseFrequencyRange(drawn.data(), drawn.size(), &phase);
  phase.height = 250.0;
  SetYRange(-180.0, 180.0, false, &phase);
  phase.y_step = 45.0;
  Panel delay = phase;
  delay.top = phase.Bottom() + 30.0;
  // Each curve's phase with a break wherever it wraps, and its group delay.
  const size_t n = drawn.size();
  std::vector<std::vector<double>> x(n), wrapped(n), mid(n), ms(n);
  ValueCounts delays;
  for (size_t i = 0; i < n; ++i) {
    const Curve& c = *drawn[i].curve;
    GroupDelay(c, &mid[i], &ms[i]);
    for (double v : ms[i]) delays.Add(v);
    for (size_t k = 0; k < c.phase.size(); ++k) {
      if (k > 0 && std::fabs(c.phase[k] - c.phase[k - 1]) > 180.0) {
        x[i].push_back(c.freq[k]);
        wrapped[i].push_back(NAN);
      }
      x[i].push_back(c.freq[k]);
      wrapped[i].push_back(c.phase[k]);
    }
  }
  ChooseYRange(delays, true, 50.0, 2.0, false, -1.0, 1.0, &delay);
  std::string frame, body;
  DrawPanel(phase, "", "Phase (degrees)", "deg", false, &frame);
  DrawPanel(delay, "Frequency (Hz)", "Group delay (ms)", "ms", true, &frame);
  std::vector<LegendEntry> legend;
  DrawLines(
      Drawn(drawn.data(), drawn.size()), 2,
      [&](size_t i, size_t panel, const std::string& colour, std::string* marks) {
        if (panel == 0)
          return ThinnedPath(phase, x[i].data(), wrapped[i].data(), x[i].size(), colour, marks);
        return ThinnedPath(delay, mid[i].data(), ms[i].data(), ms[i].size(), colour, marks);
      },
      &body, &legend);
  Assemble(options.title.empty() ? "Phase and group delay" : options.title, {phase, delay},
           delay.Bottom() + 70.0, frame + body, legend, svg);
}

void WriteDistortionChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                          std::string* svg) {
  Panel p;
  ChooseFrequencyRange(lines, count, &p);
  ChooseLevelRange(lines, count, options, -60.0, -20.0, &p);
  // Each curve split at its floors, and the floors' marks.
  std::vector<std::vector<double>> solid(count), x(count), y(count);
  for (size_t i = 0; i < count; ++i)
    SplitAtFloors(*lines[i].curve, *lines[i].floor, &solid[i], &x[i], &y[i]);
  std::string frame, body;
  DrawPanel(p, "Frequency (Hz)", "Level relative to the fundamental (dB)", "db", true, &frame);
  PercentAxis(p, &frame);
  std::vector<LegendEntry> legend;
  DrawLines(
      Drawn(lines, count), 1,
      [&](size_t i, size_t, const std::string& colour, std::string* marks) {
        const Curve& c = *lines[i].curve;
        return ThinnedPath(p, c.freq.data(), solid[i].data(), c.freq.size(), colour, marks);
      },
      &body, &legend,
      [&](size_t i, size_t, const std::string& colour, std::string* marks) {
        // At most one mark in every 4 pixels: the chart does not grow with
        // the points.
        const Curve& c = *lines[i].curve;
        long last = -1;
        for (size_t k = 0; k < c.freq.size(); ++k) {
          int side;
          if (!(*lines[i].floor)[k] || !std::isfinite(c.db[k])) continue;
          const double px = p.X(c.freq[k]), py = p.Y(c.db[k], &side);
          const long column = std::lround(std::floor(px / 4.0));
          if (column == last || px < kPlotLeft - 1e-6 || px > kPlotLeft + kPlotWidth + 1e-6)
            continue;
          last = column;
          Append(marks,
                 "<path class=\"floor-mark\" fill=\"white\" stroke=\"%s\" stroke-width=\"1.2\" "
                 "d=\"M%.2f %.2f L%.2f %.2f L%.2f %.2f Z\"/>\n",
                 colour.c_str(), px - 3.5, py - 3.0, px + 3.5, py - 3.0, px, py + 3.5);
        }
        return ThinnedPath(p, x[i].data(), y[i].data(), x[i].size(), colour, marks);
      });
  legend.push_back({"noise floor (dashed, \xe2\x96\xbd): the harmonic lies below it",
                    {"#555555", 1.5, kDashedPart}});
  Assemble(options.title.empty() ? "Harmonic distortion" : options.title, {p}, 560.0,
           frame + body, legend, svg, kLegendLeft + kPercentAxis);
}
