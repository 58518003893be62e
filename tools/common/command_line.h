// What every tool's command line shares: options read by getopt_long from
// one table, the usage generated from it, one rule for exit statuses and
// messages, and a printf into std::string.
//
// Exit statuses: 0 for success and for -h/--help (the usage on standard
// output); 2 for a command line that cannot be read (an unknown option, a
// missing value, operands missing or too many: the message and the usage on
// standard error); 1 for a bad value or a failed run (the message alone).
// Every message goes to standard error as "<program>: <message>", shown
// through Printable, so that no name or value from the user puts a raw
// control character on a terminal.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// How an option's value is read and checked. `needs` says what a good value
// is ("a whole number from 0 to 1000"); a bad one gets "option '--smooth'
// needs <needs>, found '<value>'" and status 1. A switch's `read` is called
// with an empty value.
struct Reader {
  std::string needs;
  std::function<bool(const std::string& value)> read;
};

// One option, named once: its letter and long name (either may be absent),
// its value's name in the usage (nullptr for a switch), its help (wrapped to
// the terminal's width by the usage) and its reader.
struct Option {
  char letter;
  const char* name;
  const char* value;
  std::string help;
  Reader reader;
};

// The operands after the options: how the synopsis shows them, the name and
// help of their line in the usage, what one is called in messages ("no
// response given"), and how many there may be (max -1: any number).
struct Operands {
  const char* synopsis;
  const char* name;
  std::string help;
  const char* what;
  int min, max;
};

struct Tool {
  const char* program;  // "quelmar-eq"
  Operands operands;
  std::string about;            // the lines after the synopsis
  std::vector<Option> options;  // -h, --help is added
  std::string notes;            // the lines after the options, if any
};

// Readers for the usual kinds of value.
Reader FileName(std::string* to);                // any text but the empty one
Reader FileNames(std::vector<std::string>* to);  // repeatable; each added
Reader Text(std::string* to);                    // any text
Reader Switch(bool* to);                         // sets true
Reader Whole(int* to, int lowest, int highest);  // a whole number in [lowest, highest]
Reader Number(double* to, double lowest, double highest, const std::string& needs);

// `text`, whole, as a finite number (no leading space, no trailing text).
bool ReadNumber(const std::string& text, double* value);
// "LO<separator>HI", two numbers; the separator is looked for after the
// first character, so that LO may be negative.
bool ReadPair(const std::string& text, char separator, double* lo, double* hi);

// Reads argv by the tool's table into the options' readers and *operands.
// Returns the exit status when the program is to stop (0 after -h/--help,
// 1 or 2 with the message printed), nothing when it is to go on. Also names
// the program for the messages below.
std::optional<int> ParseCommandLine(const Tool& tool, int argc, char** argv,
                                    std::vector<std::string>* operands);

// The usage generated from the table.
std::string Usage(const Tool& tool);

// "<program>: <message>" and the usage on standard error; returns 2.
int UsageError(const Tool& tool, const std::string& message);
// "<program>: <message>" on standard error; returns 1, the exit status.
int Fail(const std::string& message);
// "<program>: <name>: <what>" on standard error; returns false, for the
// functions that return whether they succeeded.
bool Fail(const std::string& name, const std::string& what);
// "<program>: <message>" on standard error, for a note that is no failure.
void Note(const std::string& message);
// "Warning: <message>" on standard error.
void Warn(const std::string& message);
// Ends the program, once, as main returns: standard output is closed and
// checked (a write error turns `status` into 1, with a message).
int Finish(int status);

// The program's name, as the messages above begin.
const char* ProgramName();

// printf into a std::string, of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tool
