#include "common/out_of_memory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/command_line.h"
#include "formats/file_io.h"

namespace {

// The whole line, made beforehand: nothing may be allocated when memory has
// run out.
std::string g_line;

void OutOfMemory() {
  fputs(g_line.c_str(), stderr);
  _exit(1);
}

}  // namespace

namespace tool {

void ExitOnOutOfMemory(const std::string& message) {
  g_line = ProgramName() + std::string(": ") + Printable(message) + "\n";
  std::set_new_handler(OutOfMemory);
}

}  // namespace tool

// FFTW ends the process through this function when a check of its own fails,
// and it checks every allocation this way (in its alloc.c) rather than
// returning a null plan. Defined here, it takes the place of FFTW's own (the
// library calls it through its procedure linkage table): a failed allocation
// gets the tool's message, any other failure FFTW's message and abort.
extern "C" void fftw_assertion_failed(const char* s, int line, const char* file) {
  const char* slash = strrchr(file, '/');
  if (!g_line.empty() && strcmp(slash ? slash + 1 : file, "alloc.c") == 0) OutOfMemory();
  fflush(stdout);
  fprintf(stderr, "fftw: %s:%d: assertion failed: %s\n", file, line, s);
  abort();
}
