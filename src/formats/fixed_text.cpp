#include "formats/fixed_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const char* line, size_t i, size_t size) {
  while (i < size && IsBlank(line[i])) ++i;
  return i;
}

// Reads the whole of text[0 .. length) as one finite number within
// +-largest, rounded as Fixed prints it.
bool ReadNumber(const char* text, size_t length, int decimals, double largest, double* value) {
  char field[64];
  if (length == 0 || length >= sizeof field) return false;
  memcpy(field, text, length);
  field[length] = '\0';
  char* end = nullptr;
  const double v = strtod(field, &end);
  if (end != field + length || !(std::fabs(v) <= largest)) return false;
  *value = strtod(Fixed(v, decimals).c_str(), nullptr);
  return true;
}

}  // namespace

std::string Fixed(double v, int decimals) {
  char text[400];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

bool ReadFixedFields(const char* line, size_t size, const int* decimals, int count,
                     double largest, double* values) {
  size_t i = SkipBlanks(line, 0, size);
  for (int k = 0; k < count; ++k) {
    if (k > 0) {
      const size_t before = i;
      i = SkipBlanks(line, i, size);
      if (i < size && line[i] == ',') i = SkipBlanks(line, i + 1, size);
      if (i == before) return false;  // no separator
    }
    size_t end = i;
    while (end < size && !IsBlank(line[end]) && line[end] != ',') ++end;
    if (!ReadNumber(line + i, end - i, decimals[k], largest, &values[k])) return false;
    i = end;
  }
  return SkipBlanks(line, i, size) == size;
}

bool TextLines::Next(const char** line, size_t* size) {
  if (pos >= length) return false;
  *line = text + pos;
  const char* nl = static_cast<const char*>(memchr(*line, '\n', length - pos));
  *size = nl ? static_cast<size_t>(nl - *line) : length - pos;
  pos += *size + 1;
  ++number;
  while (*size > 0 && (IsBlank((*line)[*size - 1]) || (*line)[*size - 1] == '\r')) --*size;
  return true;
}

bool LineIs(const char* line, size_t size, const char* literal) {
  return size == strlen(literal) && memcmp(line, literal, size) == 0;
}

bool LineStarts(const char* line, size_t size, const char* prefix) {
  const size_t n = strlen(prefix);
  return size >= n && memcmp(line, prefix, n) == 0;
}

bool LineFault(long line, const std::string& what, std::string* error) {
  *error = "line " + std::to_string(line) + ": " + what;
  return false;
}
