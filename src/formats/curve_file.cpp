#include "formats/curve_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dsp/smoothing.h"
#include "formats/file_io.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when the field at text[0 .. length) starts like a decimal number:
// "12", ".5", "-3", "+0.1". Words such as "inf" or "Freq" do not.
bool StartsWithNumber(const char* text, size_t length) {
  size_t i = 0;
  if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
  if (i < length && text[i] == '.') ++i;
  return i < length && IsDigit(text[i]);
}

// Reads one number from the field text[0 .. length); the whole field must be
// the number.
bool ParseNumber(const char* text, size_t length, double* value) {
  if (length == 0 || length > 400) return false;
  char field[401];
  memcpy(field, text, length);
  field[length] = '\0';
  char* end = nullptr;
  *value = strtod(field, &end);
  return end == field + length;
}

bool Fail(long line, const std::string& what, std::string* error) {
  *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

bool ParseCurve(const char* text, size_t length, Curve* out, std::string* error) {
  Curve curve;
  bool every_phase = true;
  long line_number = 0;
  size_t pos = 0;
  while (pos < length) {
    const char* line = text + pos;
    const char* nl = static_cast<const char*>(memchr(line, '\n', length - pos));
    const size_t line_length = nl ? static_cast<size_t>(nl - line) : length - pos;
    pos += line_length + 1;
    ++line_number;

    // Split into fields.
    double values[3];
    int count = 0;
    size_t i = 0;
    while (i < line_length && IsSeparator(line[i])) ++i;
    if (!StartsWithNumber(line + i, line_length - i)) continue;
    while (i < line_length && count < 3) {
      size_t start = i;
      while (i < line_length && !IsSeparator(line[i])) ++i;
      if (!ParseNumber(line + start, i - start, &values[count]))
        return Fail(line_number, "expected numbers: frequency, level in dB and optional phase",
                    error);
      if (!std::isfinite(values[count])) return Fail(line_number, "number out of range", error);
      ++count;
      while (i < line_length && IsSeparator(line[i])) ++i;
    }
    if (count < 2) return Fail(line_number, "expected a frequency and a level in dB", error);
    if (values[0] <= 0.0) return Fail(line_number, "frequency must be above 0 Hz", error);
    if (!curve.freq.empty() && values[0] <= curve.freq.back())
      return Fail(line_number, "frequencies must rise from line to line", error);
    curve.freq.push_back(values[0]);
    curve.db.push_back(values[1]);
    if (count == 3) {
      curve.phase.push_back(values[2]);
    } else {
      every_phase = false;
    }
  }
  if (!every_phase) curve.phase.clear();
  *out = std::move(curve);
  return true;
}

double CurveDbAt(const Curve& curve, double freq) {
  return LevelAtLogFreq(curve.freq.data(), curve.db.data(), static_cast<long>(curve.freq.size()),
                        freq);
}

std::string FormatResponse(const std::vector<std::string>& header, const Curve& curve) {
  std::string text;
  // Names in a header are shown through Printable: a line break in one
  // would otherwise start a line of data.
  for (const std::string& line : header) text += "* " + Printable(line) + "\n";
  const bool phase = curve.phase.size() == curve.freq.size() && !curve.freq.empty();
  text += phase ? "* Freq(Hz), SPL(dB), Phase(degrees)\n" : "* Freq(Hz), SPL(dB)\n";
  char row[128];
  for (size_t k = 0; k < curve.freq.size(); ++k) {
    if (phase) {
      snprintf(row, sizeof row, "%.4f, %.3f, %.2f\n", curve.freq[k], curve.db[k], curve.phase[k]);
    } else {
      snprintf(row, sizeof row, "%.4f, %.3f\n", curve.freq[k], curve.db[k]);
    }
    text += row;
  }
  return text;
}
