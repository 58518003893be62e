#include "plot/svg_chart.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// Layout in pixels: the plot area, with room for the title above, the tick
// and axis labels below and to the left, and the legend to the right.
constexpr double kWidth = 960.0;
constexpr double kMinHeight = 560.0;
constexpr double kPlotLeft = 80.0;
constexpr double kPlotTop = 60.0;
constexpr double kPlotWidth = 700.0;
constexpr double kPlotHeight = 420.0;
constexpr double kLegendLeft = kPlotLeft + kPlotWidth + 24.0;
constexpr double kLegendRow = 20.0;

// Ten colours that stay apart from each other; past ten runs the colours
// repeat with a dash pattern.
const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
const char* const kDashes[] = {nullptr, "8 4", "2 3"};

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

bool BandOnAxis(const PlotBand& b) { return b.lo > 0.0 && b.hi > 0.0; }

double XOf(const Axes& a, double hz) {
  return kPlotLeft + (std::log10(hz) - a.log_lo) / (a.log_hi - a.log_lo) * kPlotWidth;
}

double YOf(const Axes& a, double db) {
  return kPlotTop + (a.db_top - db) / (a.db_top - a.db_bottom) * kPlotHeight;
}

Axes ChooseAxes(const PlotRun* runs, size_t count) {
  double f_lo = INFINITY, f_hi = 0.0, v_lo = INFINITY, v_hi = -INFINITY;
  for (size_t r = 0; r < count; ++r) {
    for (const PlotBand& b : runs[r].bands) {
      if (!BandOnAxis(b)) continue;
      f_lo = std::fmin(f_lo, std::fmin(b.lo, b.hi));
      f_hi = std::fmax(f_hi, std::fmax(b.lo, b.hi));
      if (BandHasLevel(b)) {
        v_lo = std::fmin(v_lo, b.level);
        v_hi = std::fmax(v_hi, b.level);
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
  if (v_hi < v_lo) {  // no levels at all
    v_lo = -24.0;
    v_hi = 0.0;
  }
  double span = v_hi - v_lo;
  a.db_step = span > 30.0 ? 6.0 : 3.0;
  while (span / a.db_step > 24.0) a.db_step *= 2.0;
  // One grid step of room above the loudest and below the quietest level, so
  // that no line runs along the frame.
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
  long lines = std::lround((a.db_top - a.db_bottom) / a.db_step);
  for (long i = 0; i <= lines; ++i) {
    double db = a.db_top - static_cast<double>(i) * a.db_step + 0.0;  // no "-0"
    double y = YOf(a, db);
    Append(svg,
           "<line class=\"y-tick\" data-db=\"%.0f\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" "
           "y2=\"%.2f\" stroke=\"%s\"/>\n",
           db, kPlotLeft, y, kPlotLeft + kPlotWidth, y, db == 0.0 ? "#999999" : "#e4e4e4");
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\">%.0f</text>\n",
           kPlotLeft - 8.0, y + 4.0, db);
  }
}

// The step line of one run: each band a horizontal segment at its level,
// joined by vertical risers to the next band when the two touch.
std::string StepPath(const Axes& a, const PlotRun& run) {
  std::string d;
  bool pen_down = false;
  double last_hi = 0.0;
  for (const PlotBand& b : run.bands) {
    if (!BandOnAxis(b) || !BandHasLevel(b)) {
      pen_down = false;
      continue;
    }
    double y = YOf(a, b.level);
    if (pen_down && b.lo == last_hi) {
      Append(&d, " V%.2f H%.2f", y, XOf(a, b.hi));
    } else {
      Append(&d, "%sM%.2f %.2f H%.2f", d.empty() ? "" : " ", XOf(a, b.lo), y, XOf(a, b.hi));
    }
    pen_down = true;
    last_hi = b.hi;
  }
  return d;
}

void StrokeStyle(size_t index, std::string* svg) {
  Append(svg, " stroke=\"%s\"", kColours[index % 10]);
  const char* dash = kDashes[(index / 10) % 3];
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

void WriteSvgChart(const PlotRun* runs, size_t count, const std::string& title,
                   std::string* svg) {
  Axes a = ChooseAxes(runs, count);
  double height = kMinHeight;
  double legend_bottom = kPlotTop + 10.0 + kLegendRow * static_cast<double>(count);
  if (legend_bottom + 20.0 > height) height = legend_bottom + 20.0;

  svg->clear();
  Append(svg, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  Append(svg,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
         "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
         kWidth, height, kWidth, height);
  std::string escaped = EscapeXmlText(title);
  *svg += "<title>" + escaped + "</title>\n";
  Append(svg, "<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", kWidth, height);
  Append(svg,
         "<defs><clipPath id=\"plot-clip\"><rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
         "height=\"%.2f\"/></clipPath></defs>\n",
         kPlotLeft, kPlotTop, kPlotWidth, kPlotHeight);

  DrawFrequencyAxis(a, svg);
  DrawLevelAxis(a, svg);
  Append(svg,
         "<rect id=\"plot-area\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
         "fill=\"none\" stroke=\"#333333\"/>\n",
         kPlotLeft, kPlotTop, kPlotWidth, kPlotHeight);

  Append(svg, "<text x=\"%.2f\" y=\"32\" text-anchor=\"middle\" font-size=\"18\">",
         kPlotLeft + kPlotWidth / 2.0);
  *svg += escaped + "</text>\n";
  Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" font-size=\"14\">"
              "Frequency (Hz)</text>\n",
         kPlotLeft + kPlotWidth / 2.0, kPlotTop + kPlotHeight + 44.0);
  Append(svg, "<text transform=\"translate(26 %.2f) rotate(-90)\" text-anchor=\"middle\" "
              "font-size=\"14\">Level (dB)</text>\n",
         kPlotTop + kPlotHeight / 2.0);

  Append(svg, "<g clip-path=\"url(#plot-clip)\" fill=\"none\" stroke-width=\"2\" "
              "stroke-linejoin=\"round\" stroke-linecap=\"round\">\n");
  for (size_t r = 0; r < count; ++r) {
    std::string d = StepPath(a, runs[r]);
    if (d.empty()) continue;
    Append(svg, "<path class=\"run\" id=\"run-%d\"", runs[r].number);
    StrokeStyle(r, svg);
    *svg += " d=\"" + d + "\"/>\n";
  }
  Append(svg, "</g>\n<g class=\"legend\">\n");
  for (size_t r = 0; r < count; ++r) {
    double y = kPlotTop + 10.0 + kLegendRow * static_cast<double>(r);
    Append(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke-width=\"2\"",
           kLegendLeft, y, kLegendLeft + 28.0, y);
    StrokeStyle(r, svg);
    Append(svg, "/>\n<text x=\"%.2f\" y=\"%.2f\">run %d</text>\n", kLegendLeft + 36.0,
           y + 4.0, runs[r].number);
  }
  Append(svg, "</g>\n</svg>\n");
}
