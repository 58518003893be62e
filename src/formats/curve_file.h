// Text curves: one frequency, level in dB and optional phase per line, the
// way measurement tools export a response (header lines beginning with "*")
// and measurement microphones ship their calibration files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Curve {
  std::vector<double> freq;   // Hz, rising
  std::vector<double> db;
  std::vector<double> phase;  // degrees; empty unless every point has one
};

// The largest level a curve may hold, of either sign: far beyond any
// measurement, and a power (10^(dB/10)) that doubles hold with room to sum.
constexpr double kCurveLevelLimitDb = 500.0;

// Parses text[0 .. length), which may hold any bytes and may begin with a
// UTF-8 byte-order mark. Lines that do not begin with a number (headers,
// comments, a calibration file's sensitivity line) are skipped. A line that
// begins with a number holds a frequency, a level in dB and an optional
// phase, all finite, the level within kCurveLevelLimitDb, the frequency above
// the previous line's. Its fields are separated by spaces or tabs, or by
// commas, or by semicolons, one kind per line; in a line with semicolons a
// comma is the decimal point ("20,5;-3,25"). A first point at 0 Hz, as
// calibration files begin, is skipped with a note ("line N: ...") added to
// *notes. On a fault returns false, leaves *out as it was and sets *error to
// "line N: ...".
bool ParseCurve(const char* text, size_t length, Curve* out, std::string* error,
                std::vector<std::string>* notes = nullptr);

// The curve's level at `freq`, interpolated linearly over log frequency and
// held flat beyond its ends. The curve must have at least one point.
double CurveDbAt(const Curve& curve, double freq);

// A response in the layout of a measurement exported as text: each header
// line shown through Printable and prefixed with "* ", the column line, then "freq, dB[, degrees]" lines.
std::string FormatResponse(const std::vector<std::string>& header, const Curve& curve);
