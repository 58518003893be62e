#include "common/command_line.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "formats/file_io.h"

namespace tool {
namespace {

constexpr size_t kWidth = 79;  // the usage fits an 80-column terminal
const char* g_program = "quelmar";

const Option kHelp = {'h', "help", nullptr, "show this help and exit", {}};

// "--smooth", or "-o" for an option with only a letter.
std::string Spelled(const Option& o) {
  return o.name ? std::string("--") + o.name : std::string("-") + o.letter;
}

// How the option's line in the usage begins: "-h, --help", "--smooth N".
std::string Spelling(const Option& o) {
  std::string s = o.letter ? std::string("-") + o.letter : "";
  if (o.letter && o.name) s += ", ";
  if (o.name) s += std::string("--") + o.name;
  return o.value ? s + " " + o.value : s;
}

// Appends `words` to *out, filling lines up to kWidth: the first word goes
// at column `at`, every line after the first starts at column `indent`.
void Fill(const std::vector<std::string>& words, size_t indent, size_t at, std::string* out) {
  bool line_empty = true;
  for (const std::string& word : words) {
    if (!line_empty && at + 1 + word.size() > kWidth) {
      *out += "\n" + std::string(indent, ' ');
      at = indent;
      line_empty = true;
    }
    if (!line_empty) *out += ' ', ++at;
    *out += word;
    at += word.size();
    line_empty = false;
  }
  *out += '\n';
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::vector<Option> WithHelp(const Tool& tool) {
  std::vector<Option> all = tool.options;
  all.push_back(kHelp);
  return all;
}

// The option getopt_long returned as `id` (a letter, or 256 + its index).
const Option* Find(const std::vector<Option>& all, int id) {
  for (size_t i = 0; i < all.size(); ++i)
    if (id != 0 && (all[i].letter ? all[i].letter == id : static_cast<int>(256 + i) == id))
      return &all[i];
  return nullptr;
}

}  // namespace

Reader FileName(std::string* to) {
  return {"a file name", [to](const std::string& v) { return !v.empty() && (*to = v, true); }};
}

Reader FileNames(std::vector<std::string>* to) {
  return {"a file name",
          [to](const std::string& v) { return !v.empty() && (to->push_back(v), true); }};
}

Reader Text(std::string* to) {
  return {"a text", [to](const std::string& v) { return *to = v, true; }};
}

Reader Switch(bool* to) {
  return {"", [to](const std::string&) { return *to = true; }};
}

Reader Whole(int* to, int lowest, int highest) {
  const std::string needs = highest == INT_MAX
                                ? Format("a whole number of %d or more", lowest)
                                : Format("a whole number from %d to %d", lowest, highest);
  return {needs, [=](const std::string& v) {
            char* end = nullptr;
            errno = 0;
            const long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || isspace(static_cast<unsigned char>(v[0])) || *end || errno ||
                n < lowest || n > highest)
              return false;
            *to = static_cast<int>(n);
            return true;
          }};
}

Reader Number(double* to, double lowest, double highest, const std::string& needs) {
  return {needs, [=](const std::string& v) {
            double x;
            return ReadNumber(v, &x) && x >= lowest && x <= highest && (*to = x, true);
          }};
}

bool ReadNumber(const std::string& text, double* value) {
  if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  *value = strtod(text.c_str(), &end);
  return *end == '\0' && errno == 0 && std::isfinite(*value);
}

bool ReadPair(const std::string& text, char separator, double* lo, double* hi) {
  const size_t at = text.find(separator, 1);
  return at != std::string::npos && ReadNumber(text.substr(0, at), lo) &&
         ReadNumber(text.substr(at + 1), hi);
}

std::string Usage(const Tool& tool) {
  const std::vector<Option> all = WithHelp(tool);
  std::string text = "Usage: " + std::string(tool.program) + " ";
  const size_t indent = text.size();
  std::vector<std::string> synopsis;
  if (*tool.operands.synopsis) synopsis.push_back(tool.operands.synopsis);
  for (const Option& o : tool.options)
    synopsis.push_back("[" + Spelled(o) + (o.value ? std::string(" ") + o.value : "") + "]");
  Fill(synopsis, indent, indent, &text);
  text += tool.about + "\n\n";

  std::vector<std::pair<std::string, std::string>> lines;
  if (!tool.operands.help.empty()) lines.push_back({tool.operands.name, tool.operands.help});
  for (const Option& o : all) lines.push_back({Spelling(o), o.help});
  size_t column = 0;
  for (const auto& line : lines) column = std::max(column, line.first.size() + 4);
  for (const auto& line : lines) {
    text += "  " + line.first + std::string(column - 2 - line.first.size(), ' ');
    Fill(Words(line.second), column, column, &text);
  }
  if (!tool.notes.empty()) text += "\n" + tool.notes + "\n";
  return text;
}

std::optional<int> ParseCommandLine(const Tool& tool, int argc, char** argv,
                                    std::vector<std::string>* operands) {
  g_program = tool.program;
  const std::vector<Option> all = WithHelp(tool);
  std::string letters = ":";  // ':' tells a missing value from an unknown option
  std::vector<option> names;
  for (size_t i = 0; i < all.size(); ++i) {
    const Option& o = all[i];
    const int id = o.letter ? o.letter : static_cast<int>(256 + i);
    if (o.letter) letters += o.value ? std::string(1, o.letter) + ":" : std::string(1, o.letter);
    if (o.name) names.push_back({o.name, o.value ? required_argument : no_argument, nullptr, id});
  }
  names.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, letters.c_str(), names.data(), nullptr)) != -1;) {
    const Option* o = Find(all, c == '?' || c == ':' ? optopt : c);
    if (c == ':') return UsageError(tool, "option '" + Spelled(*o) + "' needs a value");
    if (c == '?' && o) return UsageError(tool, "option '" + Spelled(*o) + "' takes no value");
    if (c == '?') {
      std::string typed = optopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      return UsageError(tool, "unknown option '" + typed.substr(0, typed.find('=')) + "'");
    }
    if (o == &all.back()) {  // -h, --help
      fputs(Usage(tool).c_str(), stdout);
      return 0;
    }
    const std::string value = optarg ? optarg : "";
    if (!o->reader.read(value))
      return Fail("option '" + Spelled(*o) + "' needs " + o->reader.needs + ", found '" + value +
                  "'");
  }
  operands->assign(argv + optind, argv + argc);
  const Operands& want = tool.operands;
  if (static_cast<int>(operands->size()) < want.min)
    return UsageError(tool, std::string("no ") + want.what + " given");
  if (want.max == 0 && !operands->empty())
    return UsageError(tool, "unexpected argument '" + (*operands)[0] + "'");
  if (want.max >= 0 && static_cast<int>(operands->size()) > want.max)
    return UsageError(tool, "more than " + (want.max == 1 ? "one" : std::to_string(want.max)) +
                                " " + want.what + " given ('" + (*operands)[want.max] + "')");
  return std::nullopt;
}

int UsageError(const Tool& tool, const std::string& message) {
  Fail(message);
  fputs(Usage(tool).c_str(), stderr);
  return 2;
}

int Fail(const std::string& message) {
  fprintf(stderr, "%s: %s\n", g_program, Printable(message).c_str());
  return 1;
}

bool Fail(const std::string& name, const std::string& what) {
  Fail(name + ": " + what);
  return false;
}

void Note(const std::string& message) { Fail(message); }

void Warn(const std::string& message) {
  fprintf(stderr, "Warning: %s\n", Printable(message).c_str());
}

int Finish(int status) { return CloseStandardOutput(g_program, status); }

const char* ProgramName() { return g_program; }

std::string Format(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int size = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace tool
