#include "console/input.h"

#include <cctype>
#include <cstdio>

bool ReadToken(std::string& token) {
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

namespace {

ReadResult FromScanf(int converted) {
  if (converted == 1) return ReadResult::kOk;
  if (converted == EOF) return ReadResult::kEnd;
  return ReadResult::kNoNumber;
}

}  // namespace

ReadResult ReadDouble(double& value) { return FromScanf(scanf("%lf", &value)); }

ReadResult ReadInteger(long& value) { return FromScanf(scanf("%li", &value)); }

bool ContinuePrompt(std::string& token) {
  while (token != "c") {
    puts("Enter 'c' to continue");
    if (!ReadToken(token)) return false;
  }
  return true;
}
