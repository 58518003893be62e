// Reading input files whole and writing output files safely, for every tool.
#pragma once

#include <sys/types.h>

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

// Appends `text` to the file at `path` (created if missing) with one write.
// An exclusive lock is held from before the write through any undo, so that
// programs appending at the same time never cut off each other's blocks; a
// holder that keeps the lock for ten seconds is no longer waited for. A
// failed or short write is undone (a regular file is cut back to its size
// before), so what the file held stays intact. A FIFO without a reader is an
// error, not a wait. Returns 0, or the error of the failing step in *step.
enum class AppendStep { kOpen, kWrite, kClose };
int AppendWithUndo(const std::string& path, const std::string& text, AppendStep* step);

// True when both names are the same file: the same text, or two names of one
// existing file.
bool SameFile(const std::string& a, const std::string& b);

// Writes all of data to fd, retrying after interruptions. Returns 0 or errno.
int WriteAll(int fd, const char* data, size_t size);

// The permissions a newly created file gets: 0666 less the umask.
mode_t NewFileMode();

// `text` with control characters shown as '?', for names and texts from
// files and command lines that go into messages, headers and comments.
std::string Printable(std::string text);
