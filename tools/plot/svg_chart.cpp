// The charts over frequency: levels, and phase with group delay.
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

}  // namespace

void WriteSvgChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                   std::string* svg) {
  Panel p;
  ChooseFrequencyRange(lines, count, &p);
  if (options.fixed_range && options.db_lo < options.db_hi) {
    SetYRange(options.db_lo, options.db_hi, true, &p);
  } else {
    ValueCounts levels;
    for (size_t i = 0; i < count; ++i) {
      if (const ResultRun* run = lines[i].run)
        for (const ResultBand& b : run->bands)
          if (BandOnAxis(b) && BandHasLevel(b)) levels.Add(b.level);
      if (const Curve* c = lines[i].curve)
        for (size_t k = 0; k < c->freq.size(); ++k)
          if (FrequencyOnAxis(c->freq[k]) && std::isfinite(c->db[k])) levels.Add(c->db[k]);
    }
    ChooseYRange(levels, false, 20.0, 12.0, true, -24.0, 0.0, &p);
  }
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
