#include "formats/waterfall_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kTimeLine[] = "* Time(ms):";
const int kTimeDecimals = 2, kFreqDecimals = 4, kDbDecimals = 2;
const double kLargest = 1e9;

std::string Fixed(double v, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// Reads the whole of text[0 .. length) as one finite number within
// +-kLargest, rounded as Fixed prints it.
bool ReadNumber(const char* text, size_t length, int decimals, double* value) {
  char field[64];
  if (length == 0 || length >= sizeof field) return false;
  memcpy(field, text, length);
  field[length] = '\0';
  char* end = nullptr;
  const double v = strtod(field, &end);
  if (end != field + length || !(std::fabs(v) <= kLargest)) return false;
  *value = strtod(Fixed(v, decimals).c_str(), nullptr);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const char* line, size_t i, size_t size) {
  while (i < size && IsBlank(line[i])) ++i;
  return i;
}

bool Fail(long line, const char* what, std::string* error) {
  *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

std::string FormatWaterfall(const std::vector<WaterfallSlice>& slices) {
  std::string text;
  for (const WaterfallSlice& slice : slices) {
    text += std::string(kTimeLine) + " " + Fixed(slice.time_ms, kTimeDecimals) + "\n";
    for (size_t k = 0; k < slice.freq.size() && k < slice.db.size(); ++k)
      text += Fixed(slice.freq[k], kFreqDecimals) + ", " + Fixed(slice.db[k], kDbDecimals) + "\n";
  }
  return text;
}

bool ParseWaterfall(const char* text, size_t length, std::vector<WaterfallSlice>* out,
                    std::string* error) {
  std::vector<WaterfallSlice> slices;
  long line_number = 0;
  for (size_t pos = 0; pos < length;) {
    const char* line = text + pos;
    const char* nl = static_cast<const char*>(memchr(line, '\n', length - pos));
    size_t size = nl ? static_cast<size_t>(nl - line) : length - pos;
    pos += size + 1;
    ++line_number;
    while (size > 0 && (IsBlank(line[size - 1]) || line[size - 1] == '\r')) --size;
    const size_t time_size = sizeof kTimeLine - 1;
    if (size >= time_size && memcmp(line, kTimeLine, time_size) == 0) {
      const size_t i = SkipBlanks(line, time_size, size);
      WaterfallSlice slice;
      if (!ReadNumber(line + i, size - i, kTimeDecimals, &slice.time_ms))
        return Fail(line_number, "expected a time in milliseconds", error);
      if (!slices.empty() && slices.back().freq.empty())
        return Fail(line_number, "the slice before holds no frequencies", error);
      if (!slices.empty() && slice.time_ms <= slices.back().time_ms)
        return Fail(line_number, "times must rise from slice to slice", error);
      slices.push_back(slice);
      continue;
    }
    // "freq, dB": two fields, the comma optional.
    size_t i = SkipBlanks(line, 0, size);
    if (i == size || line[i] == '*') continue;
    size_t split = i;
    while (split < size && !IsBlank(line[split]) && line[split] != ',') ++split;
    size_t second = SkipBlanks(line, split, size);
    if (second < size && line[second] == ',') second = SkipBlanks(line, second + 1, size);
    double freq, db;
    if (!ReadNumber(line + i, split - i, kFreqDecimals, &freq) ||
        !ReadNumber(line + second, size - second, kDbDecimals, &db))
      return Fail(line_number, "expected a frequency and a level in dB", error);
    if (slices.empty()) return Fail(line_number, "a frequency before the first time line", error);
    std::vector<double>& f = slices.back().freq;
    if (!(freq > 0.0)) return Fail(line_number, "frequency must be above 0 Hz", error);
    if (!f.empty() && freq <= f.back())
      return Fail(line_number, "frequencies must rise within a slice", error);
    f.push_back(freq);
    slices.back().db.push_back(db);
  }
  if (slices.empty() || slices.back().freq.empty())
    return Fail(line_number,
                slices.empty() ? "no time slice" : "the last slice holds no frequencies", error);
  *out = std::move(slices);
  return true;
}
