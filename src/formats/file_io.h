// Reading input files whole and writing output files safely, for every tool.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Reads the whole file at `path` into *text. A file larger than `max_bytes`
// is refused. On failure sets *error to a message naming the file.
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* text,
                   std::string* error);

// Writing `content` to `path`:
// - a symbolic link is followed and its target written;
// - anything that is not a regular file (a device such as /dev/null, a FIFO)
//   is written in place, never replaced;
// - a regular file with other hard links is rewritten in place, so that
//   every name keeps seeing the same file;
// - otherwise the content goes to a temporary file beside the target, which
//   then replaces it in one rename, keeping the target's permissions (and,
//   where allowed, its owner). A failed write leaves the old file untouched.
// A FIFO without a reader is an error, not a wait. It goes in steps, so that
// several files can be written all or none: StageOutput checks the target and writes the content to a temporary
// file beside it (or, for a file written in place, keeps it in memory);
// PlaceOutput puts it in place; UndoOutput puts back what was there before
// (a file this run created is removed, a replaced one returns, a file
// rewritten in place gets its old content back); EndOutput removes what is
// left of ours. Only our own temporary files are ever deleted, never a
// user's file or link.
struct StagedOutput {
  std::string path;     // as named
  std::string target;   // after symbolic links
  std::string temp;     // the staged copy beside the target; empty when written in place
  std::string backup;   // a second name of the file the copy replaced
  std::string content;  // what is written in place
  std::string before;   // a regular file's content before it was rewritten in place
  bool existed = false, regular = false, in_place = false, placed = false;
};
bool StageOutput(const std::string& path, const std::string& content, StagedOutput* out,
                 std::string* error);
bool PlaceOutput(StagedOutput* out, std::string* error);
void UndoOutput(StagedOutput* out);
void EndOutput(StagedOutput* out);

// Appends `text` to the file at `path` (created if missing, through a
// symbolic link) with one write. An exclusive lock is held from before the
// write through any undo, so that programs appending at the same time never
// cut off each other's blocks; a holder that keeps the lock for ten seconds
// is no longer waited for. A failed or short write is undone (a regular file
// is cut back to its size before, and removed when this call created it), so
// what the file held stays intact. A FIFO without a reader is an error, not
// a wait. Returns 0, or the error of the failing step in *step.
enum class AppendStep { kOpen, kWrite, kClose };
int AppendWithUndo(const std::string& path, const std::string& text, AppendStep* step);

// Whether an append to `path` can start: an existing file that opens for
// writing, or a name in a folder that exists. Returns 0 or errno.
int CheckAppendable(const std::string& path);

// The name a file is finally written under: symbolic links followed, the
// folder made absolute without links; the same for two spellings of one
// file, whether it exists yet or not.
std::string ResolvedName(const std::string& path);

// True when both names are the same file: the same resolved name, or two
// names of one existing file.
bool SameFile(const std::string& a, const std::string& b);

// Writes all of data to fd, retrying after interruptions. Returns 0 or errno.
int WriteAll(int fd, const char* data, size_t size);

// The permissions a newly created file gets: 0666 less the umask.
mode_t NewFileMode();

// The code point of the UTF-8 sequence at text[i] (i below its size) and its
// length in *n; -1, with *n 1, for a byte that does not begin a valid
// sequence (overlong forms, surrogates and values past U+10FFFF included).
long DecodeUtf8(const std::string& text, size_t i, size_t* n);

// `text` for messages, headers and comments: each control character (C0,
// DEL, C1), line or paragraph separator, byte-order mark, non-character
// U+FFFE/U+FFFF, direction override and byte that is not part of valid
// UTF-8 shows as '?', so that a name can neither break a line nor change a
// terminal, and the text is valid UTF-8 that any reader takes.
std::string Printable(const std::string& text);

// Ends a program's standard output: output that could not be written (a
// full disk, a closed pipe with SIGPIPE ignored) turns `status` into 1 with
// "<program>: error writing standard output: <reason>" on standard error.
int CloseStandardOutput(const char* program, int status);
