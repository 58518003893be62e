#include "formats/distortion_file.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "formats/file_io.h"
#include "formats/fixed_text.h"

const char kDistortionColumns[] = "* Freq(Hz), Fundamental(dB), H2(dB), H3(dB), THD(%)";

namespace {

const char kNoiseUnknown[] =
    "* Noise floor unknown: the impulse response holds no stretch of noise alone";
const char kAboveNoise[] = "* H2 and H3 stand above the noise at every frequency";
const char kBelowNoise[] = "* Below the noise, the noise floor is written instead (and THD counts "
                           "it, so is at most the value written): ";
const char* const kHarmonicAt[] = {"H2 at ", "; H3 at "};
const int kDecimals[] = {3, 3, 2, 2, 4};  // frequency, fundamental, H2, H3, THD
const double kLargest = 1e9, kLargestThd = 1e18;

// How the noise line names row j: to 0.1 Hz, or as the row writes it where a
// neighbour shares its tenth of a hertz (rows below 1.7 Hz, 12 an octave).
std::string Name(const std::vector<DistortionRow>& rows, size_t j) {
  const std::string tenths = Fixed(rows[j].freq, 1);
  const bool shared = (j > 0 && Fixed(rows[j - 1].freq, 1) == tenths) ||
                      (j + 1 < rows.size() && Fixed(rows[j + 1].freq, 1) == tenths);
  return shared ? Fixed(rows[j].freq, kDecimals[0]) : tenths;
}

// "20.9-25.2 Hz, 4000.0 Hz" for the rows whose harmonic k is below the
// noise, runs of neighbours joined; "none" when none is.
std::string Runs(const std::vector<DistortionRow>& rows, int k) {
  std::string text;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].below[k]) continue;
    size_t end = i;
    while (end + 1 < rows.size() && rows[end + 1].below[k]) ++end;
    text += (text.empty() ? "" : ", ") + Name(rows, i) + (end > i ? "-" + Name(rows, end) : "") +
            " Hz";
    i = end;
  }
  return text.empty() ? "none" : text;
}

// A frequency the noise line names: its value and how many decimals it has.
struct Named {
  double hz = 0.0;
  int decimals = 0;
  // Row r's frequency at these decimals: it rises with the rows.
  double At(const DistortionRow& r) const {
    return strtod(Fixed(r.freq, decimals).c_str(), nullptr);
  }
  std::string Text() const { return Fixed(hz, decimals); }
};

bool ReadNamed(const char* text, size_t size, Named* out) {
  const char* point = static_cast<const char*>(memchr(text, '.', size));
  out->decimals = 0;
  while (point && point + 1 + out->decimals < text + size && out->decimals < 9 &&
         point[1 + out->decimals] >= '0' && point[1 + out->decimals] <= '9')
    ++out->decimals;
  return ReadFixedFields(text, size, &out->decimals, 1, kLargest, &out->hz);
}

// One run of the noise line, "LO-HI Hz" or "F Hz".
bool ReadRun(const std::string& run, Named ends[2]) {
  const size_t unit = sizeof " Hz" - 1;
  if (run.size() <= unit || run.compare(run.size() - unit, unit, " Hz") != 0) return false;
  const size_t size = run.size() - unit, dash = std::min(run.find('-', 1), size);
  if (!ReadNamed(run.data(), dash, &ends[0])) return false;
  ends[1] = ends[0];
  return dash == size || ReadNamed(run.data() + dash + 1, size - dash - 1, &ends[1]);
}

// The runs of the noise line after its lead-in, for H2 and H3.
bool ReadNoiseRuns(const std::string& text, std::vector<std::array<Named, 2>> runs[2]) {
  const size_t lead[2] = {strlen(kHarmonicAt[0]), strlen(kHarmonicAt[1])};
  const size_t split = text.find(kHarmonicAt[1]);
  if (text.compare(0, lead[0], kHarmonicAt[0]) != 0 || split == text.npos) return false;
  const std::string lists[2] = {text.substr(lead[0], split - lead[0]),
                                text.substr(split + lead[1])};
  for (int k = 0; k < 2; ++k) {
    if (lists[k] == "none") continue;
    for (size_t at = 0; at <= lists[k].size();) {
      const size_t end = std::min(lists[k].find(", ", at), lists[k].size());
      runs[k].emplace_back();
      if (!ReadRun(lists[k].substr(at, end - at), runs[k].back().data())) return false;
      at = end + 2;
    }
  }
  return true;
}

}  // namespace

std::string FormatDistortion(const std::vector<std::string>& notes, const DistortionTable& table) {
  std::string text;
  for (const std::string& note : notes) text += "* " + Printable(note) + "\n";
  const std::string runs[2] = {Runs(table.rows, 0), Runs(table.rows, 1)};
  if (!table.noise_known) {
    text += kNoiseUnknown;
  } else if (runs[0] == "none" && runs[1] == "none") {
    text += kAboveNoise;
  } else {
    text += kBelowNoise + std::string(kHarmonicAt[0]) + runs[0] + kHarmonicAt[1] + runs[1];
  }
  text += "\n" + std::string(kDistortionColumns) + "\n";
  for (const DistortionRow& r : table.rows) {
    const double v[] = {r.freq, r.fundamental, r.h[0], r.h[1], r.thd};
    for (int k = 0; k < 5; ++k) text += Fixed(v[k], kDecimals[k]) + (k < 4 ? ", " : "\n");
  }
  return text;
}

bool HasDistortionColumns(const char* text, size_t length) {
  TextLines lines(text, length);
  const char* line;
  size_t size;
  while (lines.Next(&line, &size))
    if (LineIs(line, size, kDistortionColumns)) return true;
  return false;
}

bool ParseDistortion(const char* text, size_t length, DistortionTable* out, std::string* error) {
  DistortionTable table;
  std::vector<std::array<Named, 2>> runs[2];
  long noise_line = 0, columns_line = 0;
  TextLines lines(text, length);
  const char* line;
  size_t size;
  while (lines.Next(&line, &size)) {
    const long n = lines.number;
    const bool unknown = LineIs(line, size, kNoiseUnknown), above = LineIs(line, size, kAboveNoise);
    const bool below = LineStarts(line, size, kBelowNoise);
    if (unknown || above || below) {
      if (noise_line) return LineFault(n, "a second line saying where the harmonics lie below the noise", error);
      noise_line = n;
      table.noise_known = !unknown;
      const size_t lead = sizeof kBelowNoise - 1;
      if (below && !ReadNoiseRuns(std::string(line + lead, size - lead), runs))
        return LineFault(n, "expected \"H2 at F Hz, LO-HI Hz, ...; H3 at ...\" (or \"none\") "
                            "after \"the value written): \"",
                         error);
      continue;
    }
    if (LineIs(line, size, kDistortionColumns)) {
      if (columns_line) return LineFault(n, "a second column line", error);
      columns_line = n;
      continue;
    }
    size_t i = 0;
    while (i < size && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == size || line[i] == '*') continue;
    if (!columns_line)
      return LineFault(n, std::string("a row before the column line \"") + kDistortionColumns +
                              "\"",
                       error);
    double v[5];
    if (!ReadFixedFields(line, size, kDecimals, 5, kLargestThd, v))
      return LineFault(n, "expected five numbers: frequency, fundamental, H2 and H3 in dB, THD "
                          "in %",
                       error);
    if (!(v[0] > 0.0 && v[0] <= kLargest))
      return LineFault(n, "frequency must lie above 0 Hz, up to 1e9 Hz", error);
    if (!table.rows.empty() && v[0] <= table.rows.back().freq)
      return LineFault(n, "frequencies must rise from row to row", error);
    if (!(std::fabs(v[1]) <= kLargest && std::fabs(v[2]) <= kLargest &&
          std::fabs(v[3]) <= kLargest))
      return LineFault(n, "levels must lie within +-1e9 dB", error);
    if (!(v[4] >= 0.0)) return LineFault(n, "THD must lie from 0 to 1e18 %", error);
    DistortionRow row;
    row.freq = v[0], row.fundamental = v[1], row.h[0] = v[2], row.h[1] = v[3], row.thd = v[4];
    table.rows.push_back(row);
  }
  if (!columns_line || table.rows.empty())
    return LineFault(lines.number,
                     columns_line ? "no row under the column line"
                                  : std::string("no column line \"") + kDistortionColumns + "\"",
                     error);
  if (!noise_line)
    return LineFault(lines.number, "no line saying where the harmonics lie below the noise",
                     error);
  // Each run marks the rows from the first its low end names to the last its
  // high end names, found by bisection and counted in `depth` so that any
  // number of runs over any number of rows takes little time.
  const auto& rows = table.rows;
  for (int k = 0; k < 2; ++k) {
    std::vector<long> depth(rows.size() + 1, 0);
    for (const auto& run : runs[k]) {
      const size_t lo = std::partition_point(rows.begin(), rows.end(), [&](const DistortionRow& r) {
                          return run[0].At(r) < run[0].hz;
                        }) - rows.begin();
      const size_t hi = std::partition_point(rows.begin(), rows.end(), [&](const DistortionRow& r) {
                          return run[1].At(r) <= run[1].hz;
                        }) - rows.begin();
      for (int end = 0; end < 2; ++end) {
        const size_t at = end == 0 ? lo : hi - 1;
        if ((end == 0 ? lo == rows.size() : hi == 0) || run[end].At(rows[at]) != run[end].hz)
          return LineFault(noise_line, "it names " + run[end].Text() +
                                           " Hz, the frequency of no row",
                           error);
      }
      if (lo >= hi)
        return LineFault(noise_line, "a run from " + run[0].Text() + " Hz down to " +
                                         run[1].Text() + " Hz",
                         error);
      ++depth[lo], --depth[hi];
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i > 0) depth[i] += depth[i - 1];
      table.rows[i].below[k] = depth[i] > 0;
    }
  }
  *out = std::move(table);
  return true;
}
