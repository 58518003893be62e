// Harmonic distortion as text, as quelmar-analyze --distortion writes it:
// "* " header lines, one of them naming where a harmonic lies below its noise
// floor, the column line
//   * Freq(Hz), Fundamental(dB), H2(dB), H3(dB), THD(%)
// and one comma-separated row per excitation frequency.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One excitation frequency's row. Where a harmonic lies below its noise
// floor, the floor is written in its place and THD counts it so.
struct DistortionRow {
  double freq = 0.0;         // the excitation frequency, Hz
  double fundamental = 0.0;  // dB
  double h[2] = {0.0, 0.0};  // H2, H3 in dB relative to the fundamental
  bool below[2] = {false, false};  // H2, H3: the noise floor written instead
  double thd = 0.0;          // percent
};

struct DistortionTable {
  bool noise_known = false;  // the recording had a stretch of noise alone to measure it by
  std::vector<DistortionRow> rows;
};

// The column line, which tells a distortion file from other text.
extern const char kDistortionColumns[];

// The text of `table`: each of `notes` shown through Printable after "* ",
// the line saying where a harmonic lies below the noise (each run of
// neighbouring rows as "LO-HI Hz", frequencies to 0.1 Hz, or as their rows
// write them where two rows share a tenth of a hertz), the column line,
// and the rows: frequency and fundamental with three decimals, H2 and H3 with
// two, THD with four.
std::string FormatDistortion(const std::vector<std::string>& notes, const DistortionTable& table);

// Whether text[0 .. length) has the column line, as a distortion file does.
bool HasDistortionColumns(const char* text, size_t length);

// Parses text[0 .. length), which may hold any bytes, as FormatDistortion
// writes it. Blank lines and other "*" lines are skipped. It holds one noise
// line and one column line, and the rows after the column line; each holds
// five numbers separated by a comma, blanks or both: frequencies rising in
// (0, 1e9] Hz, levels within +-1e9 dB, THD from 0 to 1e18 %, each kept at the
// precision written. The noise line names rows by their frequencies at the
// decimals it gives: a run marks the rows from the first its low end names
// to the last its high end names, and each frequency it names must be a
// row's. On a fault returns false, leaves *out as it was and sets
// *error to "line N: ...".
bool ParseDistortion(const char* text, size_t length, DistortionTable* out, std::string* error);
