// Reading the user's input from standard input: whitespace-separated tokens
// of any length, and numbers with the C library's "%lf" and "%i" rules, each
// read as one whole token.
#pragma once

#include <string>

enum class ReadResult {
  kOk,        // a value was read
  kNoNumber,  // the next token is not wholly a number; it is left unread
  kEnd,       // standard input is closed
};

// Reads the next whitespace-separated token, whole (a token a numeric read
// left unread first). Returns false at the end of input (no token).
bool ReadToken(std::string& token);

// "%lf": decimal, exponent, hexadecimal, inf and nan forms.
ReadResult ReadDouble(double& value);

// "%i": a leading 0x reads hexadecimal, a leading 0 octal. Values beyond the
// range of long saturate (and are then out of every accepted range).
ReadResult ReadInteger(long& value);

// Prints "Enter 'c' to continue" and reads tokens into `token` until one is
// exactly "c". Returns false at the end of input.
bool ContinuePrompt(std::string& token);
