#include "common/curve_input.h"

#include <vector>

#include "common/command_line.h"
#include "formats/file_io.h"

namespace tool {

bool ReadCurveFile(const std::string& path, size_t max_bytes, const std::string& what,
                   Curve* curve, std::string* error) {
  std::string text, why;
  std::vector<std::string> notes;
  if (!ReadWholeFile(path, max_bytes, &text, error)) return false;
  if (!ParseCurve(text.data(), text.size(), curve, &why, &notes)) {
    *error = path + ": " + why;
    return false;
  }
  for (const std::string& note : notes) Note(path + ": " + note);
  if (curve->freq.empty()) {
    *error = path + ": not a " + what +
             ": no lines of frequency and level in dB (such as \"62.5, -3.1\")";
    return false;
  }
  return true;
}

}  // namespace tool
