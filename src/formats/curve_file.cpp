#include "formats/curve_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dsp/smoothing.h"
#include "formats/file_io.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool IsSeparator(char c) { return IsSpace(c) || c == ',' || c == ';'; }

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
// the number. A decimal comma is read as a point.
bool ParseNumber(const char* text, size_t length, bool decimal_comma, double* value) {
  if (length == 0 || length > 400) return false;
  char field[401];
  for (size_t i = 0; i < length; ++i) field[i] = decimal_comma && text[i] == ',' ? '.' : text[i];
  field[length] = '\0';
  char* end = nullptr;
  *value = strtod(field, &end);
  return end == field + length;
}

bool Fail(long line, const std::string& what, std::string* error) {
  *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

// Splits line[0 .. length) into at most three numbers. Fields are separated
// by one kind of separator per line: spaces or tabs alone, or one comma, or
// one semicolon (each with any spaces around it). A line with a semicolon is
// written where the comma is the decimal point ("20,5;-3,25"), so there a
// comma belongs to its number. Anything else is ambiguous (is "20\t-3,5" a
// level of -3.5, or -3 and a phase of 5?) and refused.
bool SplitNumbers(const char* line, size_t length, long number, double* values, int* count,
                  std::string* error) {
  const bool semicolons = memchr(line, ';', length) != nullptr;
  const char mark = semicolons ? ';' : ',';
  int kind = -1;  // of the separators so far: 0 spaces or tabs, 1 a comma
  *count = 0;
  size_t i = 0;
  while (i < length && IsSeparator(line[i])) ++i;
  while (i < length) {
    const size_t start = i;
    while (i < length && !IsSpace(line[i]) && line[i] != mark) ++i;
    if (*count == 3)
      return Fail(number, "more than three fields: expected a frequency, a level in dB and an "
                          "optional phase", error);
    if (!ParseNumber(line + start, i - start, semicolons, &values[*count]))
      return Fail(number, "expected numbers: frequency, level in dB and optional phase", error);
    if (!std::isfinite(values[(*count)++])) return Fail(number, "number out of range", error);
    int marks = 0;
    for (; i < length && (IsSpace(line[i]) || line[i] == mark); ++i) marks += line[i] == mark;
    if (i == length) break;  // what ends a line separates nothing
    if (marks > 1) return Fail(number, "an empty field", error);
    if (semicolons ? marks != 1 : kind >= 0 && kind != marks)
      return Fail(number, semicolons
                              ? "fields separated both by semicolons and by spaces or tabs; "
                                "separate every field with a semicolon"
                              : "fields separated both by commas and by spaces or tabs; if the "
                                "comma is a decimal point, separate the fields with semicolons",
                  error);
    kind = marks;
  }
  return true;
}

}  // namespace

bool ParseCurve(const char* text, size_t length, Curve* out, std::string* error,
                std::vector<std::string>* notes) {
  Curve curve;
  std::vector<std::string> said;
  bool every_phase = true, skipped_zero = false;
  long line_number = 0;
  size_t pos = length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;  // a byte-order mark
  while (pos < length) {
    const char* line = text + pos;
    const char* nl = static_cast<const char*>(memchr(line, '\n', length - pos));
    const size_t line_length = nl ? static_cast<size_t>(nl - line) : length - pos;
    pos += line_length + 1;
    ++line_number;

    size_t i = 0;
    while (i < line_length && IsSeparator(line[i])) ++i;
    if (!StartsWithNumber(line + i, line_length - i)) continue;
    double values[3];
    int count = 0;
    if (!SplitNumbers(line, line_length, line_number, values, &count, error)) return false;
    if (count < 2) return Fail(line_number, "expected a frequency and a level in dB", error);
    if (values[0] < 0.0) return Fail(line_number, "frequency below 0 Hz", error);
    // Calibration files often begin at 0 Hz, which a curve over log
    // frequency cannot hold.
    if (values[0] == 0.0 && curve.freq.empty() && !skipped_zero) {
      said.push_back("line " + std::to_string(line_number) + ": the point at 0 Hz skipped");
      skipped_zero = true;
      continue;
    }
    if (values[0] == 0.0 || (!curve.freq.empty() && values[0] <= curve.freq.back()))
      return Fail(line_number, "frequencies must rise from line to line", error);
    if (std::fabs(values[1]) > kCurveLevelLimitDb)
      return Fail(line_number, "level beyond +-500 dB", error);
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
  if (notes) notes->insert(notes->end(), said.begin(), said.end());
  return true;
}

double CurveDbAt(const Curve& curve, double freq) {
  return LevelAtLogFreq(curve.freq.data(), curve.db.data(), static_cast<long>(curve.freq.size()),
                        freq);
}

namespace {

// Appends `value` printed by `format`, whole, however many digits it has.
void AppendNumber(std::string* text, const char* format, double value) {
  const size_t at = text->size();
  const int n = snprintf(nullptr, 0, format, value);
  text->resize(at + static_cast<size_t>(n) + 1);
  snprintf(&(*text)[at], static_cast<size_t>(n) + 1, format, value);
  text->resize(at + static_cast<size_t>(n));
}

}  // namespace

std::string FormatResponse(const std::vector<std::string>& header, const Curve& curve) {
  std::string text;
  // Names in a header are shown through Printable: a line break in one
  // would otherwise start a line of data.
  for (const std::string& line : header) text += "* " + Printable(line) + "\n";
  const bool phase = curve.phase.size() == curve.freq.size() && !curve.freq.empty();
  text += phase ? "* Freq(Hz), SPL(dB), Phase(degrees)\n" : "* Freq(Hz), SPL(dB)\n";
  for (size_t k = 0; k < curve.freq.size(); ++k) {
    AppendNumber(&text, "%.4f, ", curve.freq[k]);
    AppendNumber(&text, phase ? "%.3f, " : "%.3f\n", curve.db[k]);
    if (phase) AppendNumber(&text, "%.2f\n", curve.phase[k]);
  }
  return text;
}
