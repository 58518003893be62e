#include "formats/result_table.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kResultsLine[] = "Results:";
constexpr char kHeaderLine[] = "Band\tRange (Hz)\tdB";
constexpr char kHeaderShown[] = "\"Band\\tRange (Hz)\\tdB\"";

// "%.0f" of the largest double has 309 digits; a longer run of digits cannot
// have been written by the program and would not fit a double.
constexpr size_t kMaxDigits = 309;

// Levels beyond this are not measurements; rejecting them keeps the chart's
// axis arithmetic finite.
constexpr double kMaxLevelMagnitude = 10000.0;

struct Span {
  const char* p;
  size_t n;
};

bool SpanIs(Span s, const char* literal) {
  size_t n = strlen(literal);
  return s.n == n && memcmp(s.p, literal, n) == 0;
}

// A short printable form of text[0 .. length) for messages: tabs as \t, other
// unprintable bytes as \xNN, cut after 40 bytes.
std::string QuoteForMessage(const char* text, size_t length) {
  constexpr size_t kShown = 40;
  std::string out = "\"";
  for (size_t i = 0; i < length && i < kShown; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  out += '"';
  if (length > kShown) out += "...";
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t CountDigits(const char* p, size_t n) {
  size_t i = 0;
  while (i < n && IsDigit(p[i])) ++i;
  return i;
}

// An optionally negative run of digits, as "%.0f" writes a whole number. A
// number too large for a double (it would read as infinity) is refused too.
bool ParseWhole(Span s, double* value) {
  size_t sign = (s.n > 0 && s.p[0] == '-') ? 1 : 0;
  size_t digits = CountDigits(s.p + sign, s.n - sign);
  if (digits == 0 || digits > kMaxDigits || sign + digits != s.n) return false;
  std::string copy(s.p, s.n);
  *value = strtod(copy.c_str(), nullptr);
  return std::isfinite(*value);
}

// A level as "%.1f" writes it: digits, a point and one digit, optionally
// negative; or the forms it gives for infinities and NaN, read as NaN.
bool ParseLevel(Span s, double* value) {
  if (SpanIs(s, "inf") || SpanIs(s, "-inf") || SpanIs(s, "nan") || SpanIs(s, "-nan")) {
    *value = NAN;
    return true;
  }
  size_t sign = (s.n > 0 && s.p[0] == '-') ? 1 : 0;
  size_t digits = CountDigits(s.p + sign, s.n - sign);
  if (digits == 0 || digits > kMaxDigits || sign + digits + 2 != s.n ||
      s.p[sign + digits] != '.' || !IsDigit(s.p[s.n - 1])) {
    return false;
  }
  std::string copy(s.p, s.n);
  *value = strtod(copy.c_str(), nullptr);
  return true;
}

std::string Format(const char* format, long a, const std::string& b) {
  char buffer[160];
  snprintf(buffer, sizeof buffer, format, a);
  return buffer + b;
}

// Checks one band row; on success fills *band.
bool ParseRow(Span line, int expected_band, ResultBand* band, std::string* why) {
  Span fields[4];
  size_t count = 0;
  size_t start = 0;
  for (size_t i = 0; i <= line.n; ++i) {
    if (i == line.n || line.p[i] == '\t') {
      if (count < 4) fields[count] = Span{line.p + start, i - start};
      ++count;
      start = i + 1;
    }
  }
  std::string found = ", found " + QuoteForMessage(line.p, line.n);
  if (count != 4) {
    *why = "expected 4 fields separated by tabs (band, low, high, dB)" + found;
    return false;
  }
  char expected[16];
  snprintf(expected, sizeof expected, "%d", expected_band);
  if (!SpanIs(fields[0], expected)) {
    *why = Format("expected band number %ld", expected_band,
                  ", found " + QuoteForMessage(fields[0].p, fields[0].n));
    return false;
  }
  if (!ParseWhole(fields[1], &band->lo)) {
    *why = "expected the low edge as a finite whole number of hertz, found " +
           QuoteForMessage(fields[1].p, fields[1].n);
    return false;
  }
  if (!ParseWhole(fields[2], &band->hi)) {
    *why = "expected the high edge as a finite whole number of hertz, found " +
           QuoteForMessage(fields[2].p, fields[2].n);
    return false;
  }
  if (!ParseLevel(fields[3], &band->level)) {
    *why = "expected the level in dB with one decimal (such as -3.5), found " +
           QuoteForMessage(fields[3].p, fields[3].n);
    return false;
  }
  if (std::fabs(band->level) > kMaxLevelMagnitude) {
    *why = "expected a level between -10000.0 and 10000.0 dB, found " +
           QuoteForMessage(fields[3].p, fields[3].n);
    return false;
  }
  return true;
}

std::string AtLine(long line, const std::string& what) {
  return Format("line %ld: ", line, what);
}

// Appends printf-style text to `text`. Rows are formatted through a small
// line buffer; a longer row (huge band edges) is formatted straight into
// the string instead of being cut.
void AppendFormat(std::string& text, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line) {
    text.append(line, static_cast<size_t>(n));
  } else if (n >= 0) {
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[at], static_cast<size_t>(n) + 1, format, again);
    text.resize(at + static_cast<size_t>(n));
  }
  va_end(again);
  va_end(args);
}

}  // namespace

std::string FormatReport(int bands, const double* lo, const double* hi, const double* level) {
  std::string report;
  report.reserve(64 + 32 * static_cast<size_t>(bands > 0 ? bands : 0));
  report += kResultsLine;
  report += '\n';
  report += kHeaderLine;
  report += '\n';
  for (int k = 0; k < bands; ++k)
    AppendFormat(report, "%i\t%.0f\t%.0f\t%.1f\n", k + 1, lo[k], hi[k], level[k]);
  return report;
}

bool BandHasLevel(const ResultBand& band) {
  return std::isfinite(band.level) && band.level != kNoDataLevel;
}

bool HasResultsBlock(const char* text, size_t length) {
  for (size_t pos = 0; pos < length;) {
    const char* nl = static_cast<const char*>(memchr(text + pos, '\n', length - pos));
    size_t end = nl ? static_cast<size_t>(nl - text) : length;
    Span line{text + pos, end - pos};
    if (line.n > 0 && line.p[line.n - 1] == '\r') --line.n;
    if (SpanIs(line, kResultsLine)) return true;
    pos = end + 1;
  }
  return false;
}

bool ParseResults(const char* text, size_t length, std::vector<ResultRun>* runs,
                  std::string* error) {
  if (length == 0) {
    *error = "the file is empty: no results to plot";
    return false;
  }
  enum class Expect { kResults, kHeader, kRow };
  Expect expect = Expect::kResults;
  std::vector<ResultRun> parsed;
  long line_number = 0;
  size_t start = 0;
  // A file without any block says so instead of complaining about its first line.
  if (!HasResultsBlock(text, length)) {
    *error = "no \"Results:\" block in the file: no results to plot";
    return false;
  }
  while (start < length) {
    ++line_number;
    const char* nl = static_cast<const char*>(memchr(text + start, '\n', length - start));
    size_t end = nl ? static_cast<size_t>(nl - text) : length;
    Span line{text + start, end - start};
    start = end + 1;
    if (!nl) {
      *error = AtLine(line_number,
                      "the line is cut off: expected it to end with a line break, found " +
                          QuoteForMessage(line.p, line.n));
      return false;
    }
    // Tolerate a file whose line breaks were turned into CR LF.
    if (line.n > 0 && line.p[line.n - 1] == '\r') --line.n;

    if (expect == Expect::kHeader) {
      if (!SpanIs(line, kHeaderLine)) {
        *error = AtLine(line_number, std::string("expected the header ") + kHeaderShown +
                                         " after \"Results:\", found " +
                                         QuoteForMessage(line.p, line.n));
        return false;
      }
      expect = Expect::kRow;
      continue;
    }
    if (SpanIs(line, kResultsLine)) {
      ResultRun run;
      run.number = static_cast<int>(parsed.size()) + 1;
      run.line = line_number;
      parsed.push_back(run);
      expect = Expect::kHeader;
      continue;
    }
    if (expect == Expect::kResults) {
      *error = AtLine(line_number, "expected \"Results:\" to start a block, found " +
                                       QuoteForMessage(line.p, line.n));
      return false;
    }
    ResultRun& run = parsed.back();
    if (run.bands.size() >= static_cast<size_t>(kMaxBands)) {
      const std::string most = std::to_string(kMaxBands);
      *error = AtLine(line_number,
                      "expected \"Results:\" or the end of the file after band " + most +
                          " (a run has at most " + most + " bands), found " +
                          QuoteForMessage(line.p, line.n));
      return false;
    }
    ResultBand band;
    std::string why;
    if (!ParseRow(line, static_cast<int>(run.bands.size()) + 1, &band, &why)) {
      *error = AtLine(line_number, why);
      return false;
    }
    run.bands.push_back(band);
  }
  if (expect == Expect::kHeader) {
    *error = AtLine(line_number + 1, std::string("expected the header ") + kHeaderShown +
                                         " after \"Results:\", found the end of the file");
    return false;
  }
  runs->insert(runs->end(), parsed.begin(), parsed.end());
  return true;
}
