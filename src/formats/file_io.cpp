#include "formats/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

std::string Printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return a == b || (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
                    sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino);
}

int AppendWithUndo(const std::string& path, const std::string& text, AppendStep* step) {
  *step = AppendStep::kOpen;
  const int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
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
  if (close(fd) != 0 && err == 0) {
    *step = AppendStep::kClose;
    err = errno;
  }
  return err;
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

bool WriteOutputFile(const std::string& path, const std::string& content, std::string* error) {
  if (path.empty()) return Fail(path, ENOENT, error);
  std::string target;
  if (int err = ResolveLinks(path, &target)) return Fail(path, err, error);

  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Fail(path, EISDIR, error);
  if (exists && !S_ISREG(st.st_mode)) return WriteInPlace(path, target, content, false, error);
  if (exists && st.st_nlink > 1) return WriteInPlace(path, target, content, true, error);

  // A short temporary name in the same folder: it always fits, whatever the
  // length of the target's name, and the rename stays within one file system.
  std::string temp = Folder(target) + "/.quelmar-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) return Fail(path, errno, error);
  mode_t mode;
  if (exists) {
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
  if (err == 0 && rename(name.data(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(name.data());
    return Fail(path, err, error);
  }
  return true;
}
