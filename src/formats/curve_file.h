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

// Parses text[0 .. length), which may hold any bytes. Lines that do not begin
// with a number (headers, comments, a calibration file's sensitivity line)
// are skipped; fields are separated by tabs, spaces, commas or semicolons. A
// line that begins with a number must hold at least a frequency and a level,
// all finite, the frequency above 0 and above the previous line's. On a fault
// returns false, leaves *out as it was and sets *error to "line N: ...".
bool ParseCurve(const char* text, size_t length, Curve* out, std::string* error);

// The curve's level at `freq`, interpolated linearly over log frequency and
// held flat beyond its ends. The curve must have at least one point.
double CurveDbAt(const Curve& curve, double freq);

// A response in the layout of a measurement exported as text: each header
// line shown through Printable and prefixed with "* ", the column line, then "freq, dB[, degrees]" lines.
std::string FormatResponse(const std::vector<std::string>& header, const Curve& curve);
