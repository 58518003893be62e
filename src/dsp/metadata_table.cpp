#include "dsp/metadata_table.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

MetadataValues SplitMetadata(const char* text, size_t length) {
  MetadataValues values;
  const std::string all(text, length);
  for (size_t at = 0; at < all.size();) {
    size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    const size_t eq = all.find_first_of("=\n", at);  // `end` when the line has no '='
    if (eq < end) values[all.substr(at, eq - at)] = all.substr(eq + 1, end - eq - 1);
    at = end + 1;
  }
  return values;
}

bool FitMetadataValue(std::string* value) {
  if (value->size() <= kMaxMetadataValue) return true;
  size_t cut = kMaxMetadataValue - 3;
  while (cut > 0 && (static_cast<unsigned char>((*value)[cut]) & 0xC0) == 0x80) --cut;
  value->resize(cut);
  *value += "...";
  return false;
}

bool MissingValue(const char* key, std::string* error) {
  *error = std::string("metadata: ") + key + " is missing";
  return false;
}

bool BadValue(const char* key, std::string* error) {
  *error = std::string("metadata: bad value of ") + key;
  return false;
}

bool ReadWholeNumber(const std::string& text, long long lowest, long long highest, long long* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lowest || v > highest) return false;
  *out = v;
  return true;
}

bool ReadFiniteNumber(const std::string& text, double* out) {
  if (text.empty() || text.size() > 60) return false;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

std::string ExactNumber(double value) {
  char s[40];
  snprintf(s, sizeof s, "%.17g", value);
  return s;
}
