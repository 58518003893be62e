// Reading the text curves the tools take: responses, targets, calibrations.
#pragma once

#include <cstddef>
#include <string>

#include "formats/curve_file.h"

namespace tool {

// Reads the curve file at `path`, at most `max_bytes`, into *curve, printing
// the parser's notes on standard error as "<program>: <path>: <note>". On a
// fault, or when no line holds a point, returns false with *error naming the
// file and saying that it is not a `what` ("response").
bool ReadCurveFile(const std::string& path, size_t max_bytes, const std::string& what,
                   Curve* curve, std::string* error);

}  // namespace tool
