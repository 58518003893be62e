#include "plot/svg_chart.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

// Layout in pixels: the plot area, with room for the title above, the tick
// and axis labels below and to the left, and the legend to the right.
constexpr double kMinWidth = 960.0;
constexpr double kMinHeight = 560.0;
constexpr double kPlotLeft = 80.0;
constexpr double kPlotTop = 60.0;
constexpr double kPlotWidth = 700.0;
constexpr double kPlotHeight = 420.0;
constexpr double kPlotBottom = kPlotTop + kPlotHeight;
constexpr double kLegendLeft = kPlotLeft + kPlotWidth + 24.0;
constexpr double kLegendTextLeft = kLegendLeft + 36.0;
constexpr double kLegendRow = 20.0;
constexpr double kCharWidth = 7.5;  // generous for 12-pixel sans-serif text

// Levels beyond this are not measurements: they count as this much when the
// range is chosen, which keeps the axis arithmetic finite.
constexpr double kMaxLevel = 10000.0;
constexpr double kBinsPerDb = 10.0;

// Ten colours that stay apart from each other; past ten lines the colours
// repeat with a dash pattern.
const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
const char* const kDashes[] = {nullptr, "8 4", "2 3", "12 3 2 3"};

struct Axes {
  double log_lo, log_hi;  // log10 of the frequency range
  double db_top, db_bottom, db_step;
};

void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out->append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

bool BandOnAxis(const ResultBand& b) {
  return b.lo > 0.0 && b.hi > 0.0 && std::isfinite(b.lo) && std::isfinite(b.hi);
}

bool PointOnAxis(const Curve& c, size_t k) {
  return c.freq[k] > 0.0 && std::isfinite(c.freq[k]) && std::isfinite(c.db[k]);
}

bool HasData(const ChartLine& line) {
  if (line.run) {
    for (const ResultBand& b : line.run->bands) {
      if (BandOnAxis(b) && BandHasLevel(b)) return true;
    }
  }
  if (line.curve) {
    for (size_t k = 0; k < line.curve->freq.size() && k < line.curve->db.size(); ++k) {
      if (PointOnAxis(*line.curve, k)) return true;
    }
  }
  return false;
}

double ClampLevel(double db) { return std::fmin(std::fmax(db, -kMaxLevel), kMaxLevel); }

// How many levels fall into each 0.1 dB step from -kMaxLevel to kMaxLevel:
// quantiles of any number of levels in constant memory.
struct LevelCounts {
  std::vector<uint64_t> bins =
      std::vector<uint64_t>(static_cast<size_t>(2 * kMaxLevel * kBinsPerDb) + 1);
  uint64_t total = 0;
};

size_t BinOf(double db) {
  return static_cast<size_t>(std::lround((ClampLevel(db) + kMaxLevel) * kBinsPerDb));
}

double LevelOfBin(size_t bin) { return static_cast<double>(bin) / kBinsPerDb - kMaxLevel; }

// The bin holding the level that a share q (0 to 1) of the levels lie below.
size_t BinOfShare(const LevelCounts& c, double q) {
  const uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(c.total - 1));
  uint64_t seen = 0;
  for (size_t bin = 0; bin < c.bins.size(); ++bin) {
    seen += c.bins[bin];
    if (seen > rank) return bin;
  }
  return c.bins.size() - 1;
}

double XOf(const Axes& a, double hz) {
  return kPlotLeft + (std::log10(hz) - a.log_lo) / (a.log_hi - a.log_lo) * kPlotWidth;
}

// The height of a level, held at the frame when it lies outside; *side is
// then -1 (below) or 1 (above), else 0.
double YOf(const Axes& a, double db, int* side) {
  *side = db < a.db_bottom ? -1 : db > a.db_top ? 1 : 0;
  const double held = std::fmin(std::fmax(db, a.db_bottom), a.db_top);
  return kPlotTop + (a.db_top - held) / (a.db_top - a.db_bottom) * kPlotHeight;
}

// The frequency range covers every band and point; the level range covers
// the top of the levels and their bulk: levels more than three interquartile
// ranges (and at least 20 dB) below the lower quartile are left below the
// frame, so that a few artefact bands cannot squeeze the room into a sliver.
Axes ChooseAxes(const ChartLine* lines, size_t count, const ChartOptions& options) {
  double f_lo = INFINITY, f_hi = 0.0;
  LevelCounts levels;
  for (size_t i = 0; i < count; ++i) {
    if (const ResultRun* run = lines[i].run) {
      for (const ResultBand& b : run->bands) {
        if (!BandOnAxis(b)) continue;
        f_lo = std::fmin(f_lo, std::fmin(b.lo, b.hi));
        f_hi = std::fmax(f_hi, std::fmax(b.lo, b.hi));
        if (BandHasLevel(b)) {
          ++levels.bins[BinOf(b.level)];
          ++levels.total;
        }
      }
    }
    if (const Curve* c = lines[i].curve) {
      for (size_t k = 0; k < c->freq.size() && k < c->db.size(); ++k) {
        if (!PointOnAxis(*c, k)) continue;
        f_lo = std::fmin(f_lo, c->freq[k]);
        f_hi = std::fmax(f_hi, c->freq[k]);
        ++levels.bins[BinOf(c->db[k])];
        ++levels.total;
      }
    }
  }
  Axes a;
  if (f_hi == 0.0) {  // nothing to place: show the audible range
    f_lo = 20.0;
    f_hi = 20000.0;
  }
  a.log_lo = std::log10(f_lo);
  a.log_hi = std::log10(f_hi);
  if (a.log_hi - a.log_lo < 1e-6) {  // bands of zero width: widen around them
    a.log_lo -= 0.5;
    a.log_hi += 0.5;
  }
  double v_lo = -24.0, v_hi = 0.0;  // no levels at all
  const bool fixed = options.fixed_range && options.db_lo < options.db_hi;
  if (fixed) {
    v_lo = ClampLevel(options.db_lo);
    v_hi = ClampLevel(options.db_hi);
  } else if (levels.total > 0) {
    const double q1 = LevelOfBin(BinOfShare(levels, 0.25));
    const double q3 = LevelOfBin(BinOfShare(levels, 0.75));
    size_t bin = BinOf(q1 - std::fmax(3.0 * (q3 - q1), 20.0));
    while (levels.bins[bin] == 0) ++bin;  // stops at the lower quartile's bin at the latest
    v_lo = LevelOfBin(bin);
    v_hi = LevelOfBin(BinOfShare(levels, 1.0));
  }
  const double span = v_hi - v_lo;
  a.db_step = span > 30.0 ? 6.0 : 3.0;
  while (span / a.db_step > 24.0) a.db_step *= 2.0;
  for (double finer : {1.0, 0.5, 0.2, 0.1}) {  // a narrow range set by hand
    if (span / a.db_step < 4.0) a.db_step = finer;
  }
  if (fixed) {
    a.db_top = v_hi;
    a.db_bottom = v_lo;
    return a;
  }
  // One grid step of room above the loudest and below the quietest level
  // shown, so that no line runs along the frame.
  a.db_top = std::floor(v_hi / a.db_step) * a.db_step + a.db_step;
  a.db_bottom = std::ceil(v_lo / a.db_step) * a.db_step - a.db_step;
  if (a.db_top - a.db_bottom < 12.0) a.db_bottom = a.db_top - 12.0;
  return a;
}

void FrequencyLabel(int m, int e, char* out, size_t size) {
  static const char* const kSuffix[] = {"", "k", "M", "G"};
  if (e >= 12) {
    snprintf(out, size, "%de%d", m, e);
  } else if (e >= 0) {
    snprintf(out, size, "%g%s", m * std::pow(10.0, e % 3), kSuffix[e / 3]);
  } else {
    snprintf(out, size, "%g", m * std::pow(10.0, e));
  }
}

void DrawFrequencyAxis(const Axes& a, std::string* svg) {
  double decades = a.log_hi - a.log_lo;
  // Ticks at 1, 2 and 5 of each decade, all labelled while they fit; wider
  // ranges label the decades only, and very wide ones every few decades.
  bool minor = decades <= 10.0;
  bool label_minor = decades <= 4.5;
  int every = minor ? 1 : static_cast<int>(std::ceil(decades / 10.0));
  static const int kMantissas[] = {1, 2, 5};
  for (int e = static_cast<int>(std::floor(a.log_lo)); e <= static_cast<int>(a.log_hi); ++e) {
    if (e % every != 0) continue;
    for (int m : kMantissas) {
      if (m != 1 && !minor) continue;
      double lf = e + std::log10(static_cast<double>(m));
      if (lf < a.log_lo - 1e-9 || lf > a.log_hi + 1e-9) continue;
      double x = kPlotLeft + (lf - a.log_lo) / decades * kPlotWidth;
      Append(svg,
             "<line class=\"x-tick\" data-hz=\"%g\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" "
             "y2=\"%.2f\" stroke=\"%s\"/>\n",
             m * std::pow(10.0, e), x, kPlotTop, x, kPlotTop + kPlotHeight,
             m == 1 ? "#bbbbbb" : "#e4e4e4");
      if (m == 1 || label_minor) {
        char label[32];
        FrequencyLabel(m, e, label, sizeof label);
        Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\">%s</text>\n", x,
               kPlotTop + kPlotHeight + 18.0, label);
      }
    }
  }
}

void DrawLevelAxis(const Axes& a, std::string* svg) {
  const long first = std::lround(std::ceil(a.db_bottom / a.db_step - 1e-9));
  const long last = std::lround(std::floor(a.db_top / a.db_step + 1e-9));
  for (long k = last; k >= first; --k) {
    const double db = static_cast<double>(k) * a.db_step;
    int side;
    const double y = YOf(a, db, &side);
    Append(svg,
           "<line class=\"y-tick\" data-db=\"%g\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" "
           "y2=\"%.2f\" stroke=\"%s\"/>\n",
           db, kPlotLeft, y, kPlotLeft + kPlotWidth, y, k == 0 ? "#999999" : "#e4e4e4");
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\">%g</text>\n", kPlotLeft - 8.0,
           y + 4.0, db);
  }
}

// A small triangle on the frame's edge, pointing out of the frame, where a
// line leaves it.
void ClipMark(double x, int side, const char* colour, std::string* marks) {
  const double tip = side < 0 ? kPlotBottom : kPlotTop;
  const double base = side < 0 ? tip - 8.0 : tip + 8.0;
  Append(marks,
         "<path class=\"clip-mark\" fill=\"%s\" d=\"M%.2f %.2f L%.2f %.2f L%.2f %.2f Z\"/>\n",
         colour, x - 5.0, base, x + 5.0, base, x, tip);
}

// The step line of one run: each band a horizontal segment at its level,
// joined by vertical risers to the next band when the two touch.
std::string StepPath(const Axes& a, const ResultRun& run, const char* colour, std::string* marks) {
  std::string d;
  bool pen_down = false;
  double last_hi = 0.0;
  for (const ResultBand& b : run.bands) {
    if (!BandOnAxis(b) || !BandHasLevel(b)) {
      pen_down = false;
      continue;
    }
    int side;
    const double y = YOf(a, b.level, &side), x_lo = XOf(a, b.lo), x_hi = XOf(a, b.hi);
    if (side != 0) ClipMark((x_lo + x_hi) / 2.0, side, colour, marks);
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

// The points of one response; each stretch of points outside the frame gets
// one mark, at its middle.
std::string CurvePoints(const Axes& a, const Curve& c, const char* colour, std::string* marks) {
  std::string points;
  int stretch_side = 0;
  double stretch_x0 = 0.0, last_x = 0.0;
  for (size_t k = 0; k < c.freq.size() && k < c.db.size(); ++k) {
    if (!PointOnAxis(c, k)) continue;
    int side;
    const double x = XOf(a, c.freq[k]), y = YOf(a, c.db[k], &side);
    if (side != stretch_side) {
      if (stretch_side != 0) ClipMark((stretch_x0 + last_x) / 2.0, stretch_side, colour, marks);
      stretch_side = side;
      stretch_x0 = x;
    }
    last_x = x;
    Append(&points, "%s%.2f,%.2f", points.empty() ? "" : " ", x, y);
  }
  if (stretch_side != 0) ClipMark((stretch_x0 + last_x) / 2.0, stretch_side, colour, marks);
  return points;
}

void StrokeStyle(size_t index, std::string* svg) {
  Append(svg, " stroke=\"%s\"", kColours[index % 10]);
  const char* dash = kDashes[(index / 10) % 4];
  if (dash) Append(svg, " stroke-dasharray=\"%s\"", dash);
}

}  // namespace

std::string EscapeXmlText(const std::string& text) {
  std::string out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c < 0x20 ? ' ' : static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    unsigned long cp = len == 4 ? c & 0x07 : len == 3 ? c & 0x0f : c & 0x1f;
    bool valid = len > 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      valid = (s[i + k] & 0xc0) == 0x80;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    static const unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    // Overlong forms, surrogates, U+FFFE, U+FFFF and values past U+10FFFF are
    // not characters XML allows.
    if (valid && (cp < kLeast[len] || (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe ||
                  cp == 0xffff || cp > 0x10ffff)) {
      valid = false;
    }
    if (valid) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xef\xbf\xbd";
      ++i;
    }
  }
  return out;
}

void WriteSvgChart(const ChartLine* lines, size_t count, const ChartOptions& options,
                   std::string* svg) {
  const Axes a = ChooseAxes(lines, count, options);
  double width = kMinWidth, height = kMinHeight;
  std::vector<std::string> names(count);
  for (size_t i = 0; i < count; ++i) {
    names[i] = EscapeXmlText(lines[i].name + (HasData(lines[i]) ? "" : " (no data)"));
    const double chars = static_cast<double>(lines[i].name.size() + 10);
    width = std::fmax(width, kLegendTextLeft + kCharWidth * chars + 16.0);
  }
  const double legend_bottom = kPlotTop + 10.0 + kLegendRow * static_cast<double>(count);
  if (legend_bottom + 20.0 > height) height = legend_bottom + 20.0;

  svg->clear();
  Append(svg, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  Append(svg,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
         "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
         width, height, width, height);
  const std::string title = EscapeXmlText(options.title);
  *svg += "<title>" + title + "</title>\n";
  Append(svg, "<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", width, height);
  // The clip leaves room for a line held at the frame's edge to show whole.
  Append(svg,
         "<defs><clipPath id=\"plot-clip\"><rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
         "height=\"%.2f\"/></clipPath></defs>\n",
         kPlotLeft, kPlotTop - 2.0, kPlotWidth, kPlotHeight + 4.0);

  DrawFrequencyAxis(a, svg);
  DrawLevelAxis(a, svg);
  Append(svg,
         "<rect id=\"plot-area\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
         "fill=\"none\" stroke=\"#333333\"/>\n",
         kPlotLeft, kPlotTop, kPlotWidth, kPlotHeight);

  Append(svg, "<text x=\"%.2f\" y=\"32\" text-anchor=\"middle\" font-size=\"18\">",
         kPlotLeft + kPlotWidth / 2.0);
  *svg += title + "</text>\n";
  Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" font-size=\"14\">"
              "Frequency (Hz)</text>\n",
         kPlotLeft + kPlotWidth / 2.0, kPlotBottom + 44.0);
  Append(svg, "<text transform=\"translate(26 %.2f) rotate(-90)\" text-anchor=\"middle\" "
              "font-size=\"14\">Level (dB)</text>\n",
         kPlotTop + kPlotHeight / 2.0);

  // Lines without data take no style, so that the drawn ones stay apart;
  // style[i] is 1 + the style index of a drawn line, 0 for none.
  std::vector<size_t> style(count, 0);
  std::string marks;
  Append(svg, "<g clip-path=\"url(#plot-clip)\" fill=\"none\" stroke-width=\"2\" "
              "stroke-linejoin=\"round\" stroke-linecap=\"round\">\n");
  for (size_t i = 0, drawn = 0; i < count; ++i) {
    const char* colour = kColours[drawn % 10];
    const ChartLine& line = lines[i];
    if (line.run) {
      const std::string d = StepPath(a, *line.run, colour, &marks);
      if (d.empty()) continue;
      Append(svg, "<path class=\"run\" id=\"line-%zu\"", i + 1);
      StrokeStyle(drawn, svg);
      *svg += " d=\"" + d + "\"/>\n";
    } else if (line.curve) {
      const std::string points = CurvePoints(a, *line.curve, colour, &marks);
      if (points.empty()) continue;
      Append(svg, "<polyline class=\"response\" id=\"line-%zu\"", i + 1);
      StrokeStyle(drawn, svg);
      *svg += " points=\"" + points + "\"/>\n";
    } else {
      continue;
    }
    style[i] = ++drawn;
  }
  *svg += "</g>\n<g class=\"clip-marks\">\n" + marks + "</g>\n<g class=\"legend\">\n";
  for (size_t i = 0; i < count; ++i) {
    const double y = kPlotTop + 10.0 + kLegendRow * static_cast<double>(i);
    if (style[i] > 0) {
      Append(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke-width=\"2\"",
             kLegendLeft, y, kLegendLeft + 28.0, y);
      StrokeStyle(style[i] - 1, svg);
      *svg += "/>\n";
    }
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\">", kLegendTextLeft, y + 4.0);
    *svg += names[i] + "</text>\n";
  }
  Append(svg, "</g>\n</svg>\n");
}
