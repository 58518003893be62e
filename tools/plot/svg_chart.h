// Drawing result-file runs as an SVG chart: frequency on a logarithmic axis,
// level in dB on a linear one, each run a step line over its bands.
#pragma once

#include <cstddef>
#include <string>

#include "plot/result_file.h"

// Replaces *svg with a complete SVG document showing runs[0 .. count), the
// first drawn first. Bands without a level, and bands whose edges are not
// both above 0 Hz, are left out as gaps. The title is escaped for XML; bytes
// that are not valid UTF-8 or are control characters are replaced.
void WriteSvgChart(const PlotRun* runs, size_t count, const std::string& title,
                   std::string* svg);

// text with &, <, >, " and ' escaped, invalid UTF-8 sequences replaced by
// U+FFFD and control characters by spaces, so that it is always valid XML.
std::string EscapeXmlText(const std::string& text);
