// What the text formats whose numbers are written with a fixed number of
// decimals share: printing a number so, reading it back at that precision,
// and walking the lines of any bytes with their numbers for messages.
#pragma once

#include <cstddef>
#include <string>

// v printed with `decimals` decimals.
std::string Fixed(double v, int decimals);

// Reads `count` numbers from line[0 .. size), separated by a comma, blanks
// (spaces, tabs) or both: all of the line, each a finite number within
// +-largest, rounded to decimals[k] as Fixed prints it, so that what was read
// is written back as it reads. False when the line holds anything else.
bool ReadFixedFields(const char* line, size_t size, const int* decimals, int count,
                     double largest, double* values);

// The lines of text[0 .. length), which may hold any bytes: each without its
// line break and the blanks and carriage return before it.
struct TextLines {
  const char* text;
  size_t length, pos = 0;
  long number = 0;  // of the line Next gave last, from 1
  TextLines(const char* t, size_t n) : text(t), length(n) {}
  bool Next(const char** line, size_t* size);
};

// Whether line[0 .. size) is `literal` exactly.
bool LineIs(const char* line, size_t size, const char* literal);
// Whether line[0 .. size) begins with `prefix`.
bool LineStarts(const char* line, size_t size, const char* prefix);

// Sets *error to "line N: what" and returns false.
bool LineFault(long line, const std::string& what, std::string* error);
