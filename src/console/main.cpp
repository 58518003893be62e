#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/menu.h"

namespace {

// A closed descriptor 0, 1 or 2 would be taken by the next file opened, the
// result file included, and messages meant for the console would land in
// it. Each closed one is held open on /dev/null instead; the lower ones are
// open by then, so open() returns exactly that descriptor.
void HoldStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

// Output that could not be written (a full disk, a closed pipe with SIGPIPE
// ignored) must not end as a success: the status is 1 and standard error
// says why.
int CloseStandardOutput(int status) {
  const bool earlier = ferror(stdout) != 0;
  errno = 0;
  if (fclose(stdout) == 0 && !earlier) return status;
  if (errno != 0) {
    fprintf(stderr, "quelmar: error writing standard output: %s\n", strerror(errno));
  } else {
    fputs("quelmar: error writing standard output\n", stderr);
  }
  return 1;
}

}  // namespace

int main() {
  HoldStandardDescriptors();
  return CloseStandardOutput(RunMenu());
}
