// Reading input files whole and writing output files safely, for every tool.
#pragma once

#include <cstddef>
#include <string>

// Reads the whole file at `path` into *text. A file larger than `max_bytes`
// is refused. On failure sets *error to a message naming the file.
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* text,
                   std::string* error);

// Writes `content` to `path`:
// - a symbolic link is followed and its target written;
// - anything that is not a regular file (a device such as /dev/null, a FIFO)
//   is written in place, never replaced;
// - a regular file with other hard links is rewritten in place, so that
//   every name keeps seeing the same file;
// - otherwise the content goes to a temporary file beside the target, which
//   then replaces it in one rename, keeping the target's permissions (and,
//   where allowed, its owner). A failed write leaves the old file untouched.
// A FIFO without a reader is an error, not a wait. On failure sets *error to
// a message naming `path`.
bool WriteOutputFile(const std::string& path, const std::string& content, std::string* error);
