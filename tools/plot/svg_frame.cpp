#include "plot/svg_frame.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "formats/file_io.h"

namespace plot {
namespace {

constexpr double kLegendText = 36.0;  // from the legend's left edge
constexpr double kLegendRow = 20.0;
constexpr double kCharWidth = 7.5;  // generous for 12-pixel sans-serif text
constexpr double kBinsPerUnit = 10.0;

const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
const char* const kDashes[] = {"", "8 4", "2 3", "12 3 2 3"};

double Clamp(double v) { return std::fmin(std::fmax(v, -kMaxLevel), kMaxLevel); }

size_t BinOf(double v) {
  return static_cast<size_t>(std::lround((Clamp(v) + kMaxLevel) * kBinsPerUnit));
}

double ValueOfBin(size_t bin) { return static_cast<double>(bin) / kBinsPerUnit - kMaxLevel; }

// The bin holding the value that a share q (0 to 1) of the values lie below.
size_t BinOfShare(const ValueCounts& c, double q) {
  const uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(c.total - 1));
  uint64_t seen = 0;
  for (size_t bin = 0; bin < c.bins.size(); ++bin) {
    seen += c.bins[bin];
    if (seen > rank) return bin;
  }
  return c.bins.size() - 1;
}

// Multiples of 3 dB, at most `most` steps, finer for a narrow range set by
// hand.
double DbStep(double span, double most) {
  double step = span > 30.0 ? 6.0 : 3.0;
  while (span / step > most) step *= 2.0;
  for (double finer : {1.0, 0.5, 0.2, 0.1})
    if (span / step < 4.0) step = finer;
  return step;
}

// The most grid steps a panel's height takes: one per 17.5 pixels.
double Ticks(const Panel& p) { return std::floor(p.height / 17.5); }

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

// Grid lines over a heat map are drawn faint, so that they guide without
// hiding it.
const char* Faint(const Panel& p) { return p.over_map ? " stroke-opacity=\"0.4\"" : ""; }

void XTick(const Panel& p, double x, const char* key, double value, bool strong, const char* label,
           std::string* svg) {
  Append(svg,
         "<line class=\"x-tick\" data-%s=\"%g\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" "
         "stroke=\"%s\"%s/>\n",
         key, value, x, p.top, x, p.Bottom(), strong ? "#bbbbbb" : "#e4e4e4", Faint(p));
  if (label)
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\">%s</text>\n", x,
           p.Bottom() + 18.0, label);
}

void FrequencyTicks(const Panel& p, bool labels, std::string* svg) {
  const double log_lo = std::log10(p.x_lo), log_hi = std::log10(p.x_hi);
  const double decades = log_hi - log_lo;
  // Ticks at 1, 2 and 5 of each decade, all labelled while they fit; at
  // every digit over a decade and a half or less; wider ranges label the
  // decades only, and very wide ones every few decades.
  const bool minor = decades <= 10.0, label_minor = decades <= 4.5, every_digit = decades <= 1.5;
  const int every = minor ? 1 : static_cast<int>(std::ceil(decades / 10.0));
  for (int e = static_cast<int>(std::floor(log_lo)); e <= static_cast<int>(log_hi); ++e) {
    if (e % every != 0) continue;
    for (int m = 1; m <= 9; ++m) {
      const bool labelled =
          m == 1 || (label_minor && (m == 2 || m == 5 || (every_digit && (m == 3 || m == 7))));
      if ((m != 1 && !minor) || (!every_digit && m != 2 && m != 5 && m != 1)) continue;
      const double lf = e + std::log10(static_cast<double>(m));
      if (lf < log_lo - 1e-9 || lf > log_hi + 1e-9) continue;
      char label[32];
      FrequencyLabel(m, e, label, sizeof label);
      XTick(p, kPlotLeft + (lf - log_lo) / decades * kPlotWidth, "hz", m * std::pow(10.0, e),
            m == 1, labels && labelled ? label : nullptr, svg);
    }
  }
}

void TimeTicks(const Panel& p, bool labels, std::string* svg) {
  const double step = NiceStep(p.x_hi - p.x_lo, 10);
  for (long k = std::lround(std::ceil(p.x_lo / step - 1e-9));
       k <= std::lround(std::floor(p.x_hi / step + 1e-9)); ++k) {
    const double ms = static_cast<double>(k) * step;
    char label[32];
    snprintf(label, sizeof label, "%g", ms);
    XTick(p, p.X(ms), "ms", ms, k == 0, labels ? label : nullptr, svg);
  }
}

}  // namespace

double Panel::X(double x) const {
  if (log_x) return kPlotLeft + std::log10(x / x_lo) / std::log10(x_hi / x_lo) * kPlotWidth;
  return kPlotLeft + (x - x_lo) / (x_hi - x_lo) * kPlotWidth;
}

double Panel::Y(double y, int* side) const {
  *side = y < y_bottom ? -1 : y > y_top ? 1 : 0;
  const double held = std::fmin(std::fmax(y, y_bottom), y_top);
  return top + (y_top - held) / (y_top - y_bottom) * height;
}

void ValueCounts::Add(double v) {
  ++bins[BinOf(v)];
  ++total;
}

double NiceStep(double span, int most) {
  if (!(span > 0.0)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(span / most)));
  for (double m : {1.0, 2.0, 5.0})
    if (span / (m * power) <= most) return m * power;
  return 10.0 * power;
}

void SetYRange(double lo, double hi, bool db, Panel* panel) {
  panel->y_bottom = Clamp(lo);
  panel->y_top = Clamp(hi);
  const double span = panel->y_top - panel->y_bottom;
  panel->y_step = db ? DbStep(span, Ticks(*panel)) : NiceStep(span, 10);
}

void ChooseYRange(const ValueCounts& counts, bool both_sides, double margin, double least, bool db,
                  double lo, double hi, Panel* panel) {
  if (counts.total > 0) {
    const double q1 = ValueOfBin(BinOfShare(counts, 0.25));
    const double q3 = ValueOfBin(BinOfShare(counts, 0.75));
    const double reach = std::fmax(3.0 * (q3 - q1), margin);
    size_t bin = BinOf(q1 - reach);
    while (counts.bins[bin] == 0) ++bin;  // stops at the lower quartile's bin at the latest
    lo = ValueOfBin(bin);
    bin = both_sides ? BinOf(q3 + reach) : counts.bins.size() - 1;
    while (counts.bins[bin] == 0) --bin;  // stops at the upper quartile's bin at the latest
    hi = ValueOfBin(bin);
  }
  // The grid step of the range, at least `least` wide; one step of room
  // beyond the values shown, so that no line runs along the frame.
  const double span = std::fmax(hi - lo, least);
  const double step = db ? DbStep(span, Ticks(*panel)) : NiceStep(span, 10);
  panel->y_step = step;
  panel->y_top = std::floor(hi / step) * step + step;
  panel->y_bottom = std::ceil(lo / step) * step - step;
  if (panel->y_top - panel->y_bottom < least) panel->y_bottom = panel->y_top - least;
}

void BeginSvg(double width, double height, const std::string& title,
              const std::vector<Panel>& panels, std::string* svg) {
  svg->clear();
  Append(svg, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  Append(svg,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
         "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
         width, height, width, height);
  const std::string escaped = EscapeXmlText(title);
  *svg += "<title>" + escaped + "</title>\n";
  Append(svg, "<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n<defs>", width, height);
  // The clip leaves room for a line held at the frame's edge to show whole.
  for (size_t i = 0; i < panels.size(); ++i)
    Append(svg,
           "<clipPath id=\"clip-%zu\"><rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
           "height=\"%.2f\"/></clipPath>",
           i + 1, kPlotLeft, panels[i].top - 2.0, kPlotWidth, panels[i].height + 4.0);
  Append(svg, "</defs>\n<text x=\"%.2f\" y=\"32\" text-anchor=\"middle\" font-size=\"18\">",
         kPlotLeft + kPlotWidth / 2.0);
  *svg += escaped + "</text>\n";
}

void DrawPanel(const Panel& p, const char* x_label, const char* y_label, const char* y_key,
               bool x_labels, std::string* svg) {
  if (p.log_x) {
    FrequencyTicks(p, x_labels, svg);
  } else {
    TimeTicks(p, x_labels, svg);
  }
  const long first = std::lround(std::ceil(p.y_bottom / p.y_step - 1e-9));
  const long last = std::lround(std::floor(p.y_top / p.y_step + 1e-9));
  for (long k = last; k >= first; --k) {
    const double v = static_cast<double>(k) * p.y_step;
    int side;
    const double y = p.Y(v, &side);
    Append(svg,
           "<line class=\"y-tick\" data-%s=\"%g\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" "
           "y2=\"%.2f\" stroke=\"%s\"%s/>\n",
           y_key, v, kPlotLeft, y, kPlotLeft + kPlotWidth, y, k == 0 ? "#999999" : "#e4e4e4",
           Faint(p));
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\">%g</text>\n", kPlotLeft - 8.0,
           y + 4.0, v);
  }
  Append(svg,
         "<rect class=\"plot-area\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
         "fill=\"none\" stroke=\"#333333\"/>\n",
         kPlotLeft, p.top, kPlotWidth, p.height);
  if (x_labels)
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" font-size=\"14\">%s</text>\n",
           kPlotLeft + kPlotWidth / 2.0, p.Bottom() + 44.0, x_label);
  Append(svg,
         "<text transform=\"translate(26 %.2f) rotate(-90)\" text-anchor=\"middle\" "
         "font-size=\"14\">%s</text>\n",
         p.top + p.height / 2.0, y_label);
}

Stroke LineStroke(size_t index) {
  Stroke s;
  s.colour = kColours[index % 10];
  s.dash = kDashes[(index / 10) % 4];
  return s;
}

std::string StrokeAttributes(const Stroke& s) {
  std::string out;
  Append(&out, " stroke=\"%s\" stroke-width=\"%g\"", s.colour.c_str(), s.width);
  if (!s.dash.empty()) Append(&out, " stroke-dasharray=\"%s\"", s.dash.c_str());
  if (s.opacity != 1.0) Append(&out, " stroke-opacity=\"%g\"", s.opacity);
  return out;
}

void ClipMark(const Panel& p, double x, int side, const std::string& colour, std::string* marks) {
  x = std::fmin(std::fmax(x, kPlotLeft), kPlotLeft + kPlotWidth);
  const double tip = side < 0 ? p.Bottom() : p.top;
  const double base = side < 0 ? tip - 8.0 : tip + 8.0;
  Append(marks,
         "<path class=\"clip-mark\" fill=\"%s\" d=\"M%.2f %.2f L%.2f %.2f L%.2f %.2f Z\"/>\n",
         colour.c_str(), x - 5.0, base, x + 5.0, base, x, tip);
}

std::string ThinnedPath(const Panel& p, const double* x, const double* y, size_t count,
                        const std::string& colour, std::string* marks) {
  struct Point {
    size_t k;
    double px, v;
  };
  std::string d;
  bool pen_up = true, gap = false, open = false;
  long column = 0;
  Point low{}, high{};
  int stretch_side = 0;  // the stretch of points outside the range, for its mark
  double stretch_x0 = 0.0, last_px = 0.0;
  auto emit = [&](const Point& pt) {
    int side;
    const double py = p.Y(pt.v, &side);
    if (side != stretch_side) {
      if (stretch_side != 0) ClipMark(p, (stretch_x0 + last_px) / 2.0, stretch_side, colour, marks);
      stretch_side = side;
      stretch_x0 = pt.px;
    }
    last_px = pt.px;
    Append(&d, "%s%.2f,%.2f", pen_up ? (d.empty() ? "M" : " M") : " ", pt.px, py);
    pen_up = false;
  };
  auto flush = [&] {
    if (!open) return;
    emit(low.k < high.k ? low : high);
    if (low.k != high.k) emit(low.k < high.k ? high : low);
    open = false;
  };
  // Of the points beyond the panel's sides, only the last before it and the
  // first after it are kept, so that a line runs on to the edge.
  const double left = kPlotLeft - 1e-6, right = kPlotLeft + kPlotWidth + 1e-6;
  size_t before = count;
  bool after = false;
  for (size_t k = 0; k < count && !after; ++k) {
    if (!std::isfinite(x[k]) || (p.log_x && !(x[k] > 0.0))) continue;
    const double px = p.X(x[k]);
    if (!std::isfinite(y[k])) {
      gap = true;
      continue;
    }
    if (px < left) {
      before = k, gap = false;
      continue;
    }
    after = px > right;
    for (size_t j : {before, k}) {
      if (j == count) continue;
      // The column of the point as written, to two decimals.
      const Point pt{j, p.X(x[j]), y[j]};
      const long col = std::lround(std::floor(std::round(pt.px * 100.0) / 100.0));
      if (open && col == column) {
        if (pt.v < low.v) low = pt;
        if (pt.v > high.v) high = pt;
      } else {
        flush();
        pen_up = pen_up || gap;
        open = true;
        column = col;
        low = high = pt;
      }
      gap = false;
    }
    before = count;
  }
  flush();
  if (stretch_side != 0) ClipMark(p, (stretch_x0 + last_px) / 2.0, stretch_side, colour, marks);
  return d;
}

void FitLegend(const std::vector<LegendEntry>& entries, double left, double* width,
               double* height) {
  for (const LegendEntry& e : entries)
    *width = std::fmax(*width, left + kLegendText + kCharWidth * (e.name.size() + 10) + 16.0);
  *height = std::fmax(*height, kPlotTop + 30.0 + kLegendRow * entries.size());
}

void DrawLegend(const std::vector<LegendEntry>& entries, double left, std::string* svg) {
  *svg += "<g class=\"legend\">\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const double y = kPlotTop + 10.0 + kLegendRow * static_cast<double>(i);
    if (entries[i].swatch)
      Append(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"%s/>\n", left, y,
             left + 28.0, y, StrokeAttributes(entries[i].stroke).c_str());
    Append(svg, "<text x=\"%.2f\" y=\"%.2f\">", left + kLegendText, y + 4.0);
    *svg += EscapeXmlText(entries[i].name) + "</text>\n";
  }
  *svg += "</g>\n";
}

void DrawLines(const std::vector<DrawnLine>& lines, size_t panels, const PathOf& path_of,
               std::string* body, std::vector<LegendEntry>* legend, const PathOf& dashed_of) {
  const size_t count = lines.size();
  std::vector<std::string> paths(count), groups(panels);
  legend->assign(count, LegendEntry{});
  std::string marks;
  size_t drawn = 0;
  for (LineRole role : {LineRole::kTarget, LineRole::kMeasured, LineRole::kPredicted}) {
    for (size_t i = 0; i < count; ++i) {
      if (lines[i].role != role) continue;
      LegendEntry& entry = (*legend)[i];
      entry.name = lines[i].name;
      Stroke stroke =
          role == LineRole::kTarget ? Stroke{"#888888", 9.0, "", 0.35} : LineStroke(drawn);
      if (role == LineRole::kPredicted) stroke.dash = "7 4";
      std::vector<std::string> d(panels), dashed(panels);
      for (size_t k = 0; k < panels; ++k) {
        d[k] = path_of(i, k, stroke.colour, &marks);
        if (dashed_of) dashed[k] = dashed_of(i, k, stroke.colour, &marks);
        paths[i] += d[k] + "|" + dashed[k] + "|";
      }
      if (paths[i].size() == 2 * panels) {
        entry.name += " (no data)";
        entry.swatch = false;
        continue;
      }
      for (size_t j = 0; j < count; ++j) {
        if (j == i || paths[j] != paths[i]) continue;
        entry.name += " (same as " + lines[j].name + ")";
        stroke.dash = "6 6";
        break;
      }
      if (role != LineRole::kTarget) ++drawn;
      entry.stroke = stroke;
      Stroke thin = stroke;
      thin.width = 1.5, thin.dash = kDashedPart;
      for (size_t k = 0; k < panels; ++k) {
        if (!d[k].empty()) {
          Append(&groups[k], "<path class=\"%s\" id=\"line-%zu\"%s d=\"", lines[i].css_class,
                 i + 1, StrokeAttributes(stroke).c_str());
          groups[k] += d[k] + "\"/>\n";
        }
        if (dashed[k].empty()) continue;
        Append(&groups[k], "<path class=\"dashed-part\" id=\"dashed-%zu\"%s d=\"", i + 1,
               StrokeAttributes(thin).c_str());
        groups[k] += dashed[k] + "\"/>\n";
      }
    }
  }
  for (size_t k = 0; k < panels; ++k) {
    Append(body,
           "<g clip-path=\"url(#clip-%zu)\" fill=\"none\" "
           "stroke-linejoin=\"round\" stroke-linecap=\"round\">\n",
           k + 1);
    *body += groups[k] + "</g>\n";
  }
  *body += "<g class=\"marks\">\n" + marks + "</g>\n";
}

void Assemble(const std::string& title, const std::vector<Panel>& panels, double height,
              const std::string& content, const std::vector<LegendEntry>& legend, std::string* svg,
              double legend_left) {
  double width = 960.0;
  FitLegend(legend, legend_left, &width, &height);
  BeginSvg(width, height, title, panels, svg);
  *svg += content;
  DrawLegend(legend, legend_left, svg);
  *svg += "</svg>\n";
}

void Append(std::string* out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out->append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

std::string EscapeXmlText(const std::string& text) {
  std::string out;
  size_t n = 1;
  for (size_t i = 0; i < text.size(); i += n) {
    const long cp = DecodeUtf8(text, i, &n);
    switch (cp) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      // Invalid bytes and U+FFFE, U+FFFF are not characters XML allows.
      case -1: case 0xfffe: case 0xffff: out += "\xef\xbf\xbd"; break;
      default: out += cp < 0x20 ? std::string(" ") : text.substr(i, n);
    }
  }
  return out;
}

}  // namespace plot
