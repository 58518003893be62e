#include "formats/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool Fail(const std::string& path, int err, std::string* error) {
  *error = "cannot write " + path + ": " + strerror(err);
  return false;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links from `path` to the name that is finally written,
// which may not exist yet. Returns 0 or errno (ELOOP for a cycle).
int ResolveLinks(std::string path, std::string* final_path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *final_path = path;
      return 0;
    }
    std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) return errno;
    std::string next(target.data(), static_cast<size_t>(n));
    path = next[0] == '/' ? next : Folder(path) + "/" + next;
  }
  return ELOOP;
}

// Writes into an existing file that must not be replaced. Devices and FIFOs
// keep their content handling; a regular file is cut to the new length.
bool WriteInPlace(const std::string& path, const std::string& target, const std::string& content,
                  bool regular, std::string* error) {
  // Non-blocking open: a FIFO without a reader fails at once (ENXIO).
  const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Fail(path, errno, error);
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  int err = WriteAll(fd, content.data(), content.size());
  if (err == 0 && regular && ftruncate(fd, static_cast<off_t>(content.size())) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  return err == 0 || Fail(path, err, error);
}

void Wake(int) {}

// Waits at most `seconds` for an exclusive lock on fd; false if it did not
// come. The wait is ended by an alarm whose handler does nothing, so flock
// returns EINTR.
bool LockWithin(int fd, unsigned seconds) {
  struct sigaction wake = {}, old = {};
  wake.sa_handler = Wake;
  sigemptyset(&wake.sa_mask);
  if (sigaction(SIGALRM, &wake, &old) != 0) return flock(fd, LOCK_EX | LOCK_NB) == 0;
  alarm(seconds);
  const bool locked = flock(fd, LOCK_EX) == 0;
  alarm(0);
  sigaction(SIGALRM, &old, nullptr);
  return locked;
}

// Opens `path` to append, creating it (through a symbolic link) when
// missing; *created tells which. Returns the descriptor, or -1 and errno.
int OpenToAppend(const std::string& path, bool* created) {
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  for (int tries = 0; tries < 10; ++tries) {
    *created = false;
    int fd = open(path.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string target;
    if (const int err = ResolveLinks(path, &target)) return errno = err, -1;
    *created = true;
    fd = open(target.c_str(), flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool Shown(long cp) {
  return cp >= 0x20 && cp != 0x7f && !(cp >= 0x80 && cp < 0xa0) && cp != 0x2028 && cp != 0x2029 &&
         cp != 0xfeff && cp != 0xfffe && cp != 0xffff && cp != 0x200e && cp != 0x200f &&
         !(cp >= 0x202a && cp <= 0x202e) && !(cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

int WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

long DecodeUtf8(const std::string& text, size_t i, size_t* n) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  *n = 1;
  if (c < 0x80) return c;
  const size_t length = c >= 0xf8 ? 0 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
  if (length == 0 || i + length > text.size()) return -1;
  long cp = c & (0x7f >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (next & 0x3f);
  }
  const long lowest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < lowest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
  *n = length;
  return cp;
}

std::string Printable(const std::string& text) {
  std::string shown;
  size_t n = 1;
  for (size_t i = 0; i < text.size(); i += n) {
    const long cp = DecodeUtf8(text, i, &n);
    if (cp >= 0 && Shown(cp)) {
      shown.append(text, i, n);
    } else {
      shown += '?';
    }
  }
  return shown;
}

std::string ResolvedName(const std::string& path) {
  std::string target;
  if (ResolveLinks(path, &target) != 0) target = path;
  const size_t slash = target.rfind('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  char* folder = realpath(Folder(target).c_str(), nullptr);
  if (!folder) return target;
  const std::string resolved = folder;
  free(folder);
  return (resolved == "/" ? "" : resolved) + "/" + name;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return a == b || ResolvedName(a) == ResolvedName(b) ||
         (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
          sa.st_ino == sb.st_ino);
}

int CloseStandardOutput(const char* program, int status) {
  const bool earlier = ferror(stdout) != 0;
  errno = 0;
  if (fclose(stdout) == 0 && !earlier) return status;
  if (errno != 0) {
    fprintf(stderr, "%s: error writing standard output: %s\n", program, strerror(errno));
  } else {
    fprintf(stderr, "%s: error writing standard output\n", program);
  }
  return 1;
}

int AppendWithUndo(const std::string& path, const std::string& text, AppendStep* step) {
  *step = AppendStep::kOpen;
  bool created = false;
  const int fd = OpenToAppend(path, &created);
  if (fd < 0) return errno;
  // Writes to a FIFO that has a reader may wait, as to any file.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  LockWithin(fd, 10);  // released by the close
  struct stat before;
  const bool regular = fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  *step = AppendStep::kWrite;
  const ssize_t written = write(fd, text.data(), text.size());
  int err = written == static_cast<ssize_t>(text.size()) ? 0 : written < 0 ? errno : ENOSPC;
  if (err != 0 && regular && written > 0 && ftruncate(fd, before.st_size) != 0) {
    // Nothing more can be done; the error is still reported.
  }
  // A file this call created and could not fill goes again, unless another
  // writer has put something in it meanwhile.
  struct stat now;
  std::string target;
  if (err != 0 && created && fstat(fd, &now) == 0 && now.st_size == 0 &&
      ResolveLinks(path, &target) == 0)
    unlink(target.c_str());
  if (close(fd) != 0 && err == 0) {
    *step = AppendStep::kClose;
    err = errno;
  }
  return err;
}

int CheckAppendable(const std::string& path) {
  std::string target;
  if (const int err = ResolveLinks(path, &target)) return err;
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    // A device or FIFO is not opened twice: its reader would see an end.
    if (!S_ISREG(st.st_mode)) return 0;
    const int fd = open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    close(fd);
    return 0;
  }
  if (errno != ENOENT) return errno;
  const std::string folder = Folder(target);
  if (stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::string* text,
                   std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  std::string content;
  char chunk[65536];
  bool ok = true;
  for (;;) {
    const size_t n = fread(chunk, 1, sizeof chunk, f);
    if (content.size() + n > max_bytes) {
      *error = "cannot read " + path + ": larger than " + std::to_string(max_bytes >> 20) + " MiB";
      ok = false;
      break;
    }
    content.append(chunk, n);
    if (n < sizeof chunk) {
      if (ferror(f)) {
        *error = "cannot read " + path + ": " + strerror(errno);
        ok = false;
      }
      break;
    }
  }
  fclose(f);
  if (ok) *text = std::move(content);
  return ok;
}

bool StageOutput(const std::string& path, const std::string& content, StagedOutput* out,
                 std::string* error) {
  *out = StagedOutput();
  out->path = path;
  if (path.empty()) return Fail(path, ENOENT, error);
  if (int err = ResolveLinks(path, &out->target)) return Fail(path, err, error);

  struct stat st;
  out->existed = stat(out->target.c_str(), &st) == 0;
  if (out->existed && S_ISDIR(st.st_mode)) return Fail(path, EISDIR, error);
  out->regular = !out->existed || S_ISREG(st.st_mode);
  out->in_place = out->existed && (!out->regular || st.st_nlink > 1);
  if (out->in_place) {
    out->content = content;
    return true;
  }

  // A short temporary name in the same folder: it always fits, whatever the
  // length of the target's name, and the rename stays within one file system.
  std::string temp = Folder(out->target) + "/.quelmar-XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) return Fail(path, errno, error);
  out->temp = temp;
  mode_t mode;
  if (out->existed) {
    mode = st.st_mode & 07777;
    if (fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Only the owner or root may hand a file over; the new file keeps ours.
    }
  } else {
    mode = NewFileMode();
  }
  int err = fchmod(fd, mode) == 0 ? 0 : errno;
  if (err == 0) err = WriteAll(fd, content.data(), content.size());
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    EndOutput(out);
    return Fail(path, err, error);
  }
  return true;
}

bool PlaceOutput(StagedOutput* out, std::string* error) {
  if (out->in_place) {
    if (out->regular && !ReadWholeFile(out->target, SIZE_MAX, &out->before, error)) return false;
    out->placed = true;
    return WriteInPlace(out->path, out->target, out->content, out->regular, error);
  }
  if (out->existed) {
    // The file replaced keeps a second name until the end, to be put back;
    // where no link can be made it is moved aside instead.
    std::string backup = Folder(out->target) + "/.quelmar-XXXXXX";
    const int fd = mkstemp(&backup[0]);
    if (fd >= 0) {
      close(fd);
      unlink(backup.c_str());
      if (link(out->target.c_str(), backup.c_str()) == 0 ||
          rename(out->target.c_str(), backup.c_str()) == 0)
        out->backup = backup;
    }
  }
  if (rename(out->temp.c_str(), out->target.c_str()) != 0) {
    const int err = errno;
    // Put back; should that fail too, the file stays under its second name.
    if (!out->backup.empty()) rename(out->backup.c_str(), out->target.c_str());
    out->backup.clear();
    return Fail(out->path, err, error);
  }
  out->temp.clear();
  out->placed = true;
  return true;
}

void UndoOutput(StagedOutput* out) {
  if (!out->placed) return;
  out->placed = false;
  std::string ignored;
  if (out->in_place) {
    if (out->regular) WriteInPlace(out->path, out->target, out->before, true, &ignored);
  } else if (!out->backup.empty()) {
    rename(out->backup.c_str(), out->target.c_str());
    out->backup.clear();
  } else if (!out->existed) {
    unlink(out->target.c_str());  // the file this run created
  }
}

void EndOutput(StagedOutput* out) {
  if (!out->temp.empty()) unlink(out->temp.c_str());
  if (!out->backup.empty()) unlink(out->backup.c_str());
  out->temp.clear();
  out->backup.clear();
}
