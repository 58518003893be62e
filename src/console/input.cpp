#include "console/input.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

// A token that a numeric read took but could not use; the next ReadToken
// returns it, so it reaches the menu whole.
std::string pending;
bool has_pending = false;

// Reads the next token for a number and converts it whole with `convert`
// (which returns false unless the whole text is a number); anything else is
// kept for the next ReadToken.
template <typename Value>
ReadResult ReadNumber(Value& value, bool (*convert)(const std::string&, Value&)) {
  std::string token;
  if (!ReadToken(token)) return ReadResult::kEnd;
  if (convert(token, value)) return ReadResult::kOk;
  pending = token;
  has_pending = true;
  return ReadResult::kNoNumber;
}

// strtod and strtol accept the forms "%lf" and "%i" do, and saturate alike.
// A token holding a NUL byte is never whole.
bool ToDouble(const std::string& text, double& value) {
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || text.empty()) return false;
  value = v;
  return true;
}

bool ToLong(const std::string& text, long& value) {
  char* end = nullptr;
  const long v = strtol(text.c_str(), &end, 0);
  if (end != text.c_str() + text.size() || text.empty()) return false;
  value = v;
  return true;
}

}  // namespace

bool ReadToken(std::string& token) {
  if (has_pending) {
    token.swap(pending);
    has_pending = false;
    return true;
  }
  int c;
  do {
    c = getchar();
  } while (c != EOF && isspace(c));
  if (c == EOF) return false;
  token.clear();
  while (c != EOF && !isspace(c)) {
    token.push_back(static_cast<char>(c));
    c = getchar();
  }
  // The delimiter belongs to what follows, as it does for scanf's "%s".
  if (c != EOF) ungetc(c, stdin);
  return true;
}

ReadResult ReadDouble(double& value) { return ReadNumber(value, ToDouble); }

ReadResult ReadInteger(long& value) { return ReadNumber(value, ToLong); }

bool ContinuePrompt(std::string& token) {
  while (token != "c") {
    puts("Enter 'c' to continue");
    if (!ReadToken(token)) return false;
  }
  return true;
}
