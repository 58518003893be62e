#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/menu.h"
#include "formats/file_io.h"

namespace {

const char kProgram[] = "quelmar";

const char kUsage[] =
    "Usage: quelmar\n"
    "Measures the frequency response of a room through a two-channel sound\n"
    "interface: the microphone on input 1, output 2 looped back to input 2,\n"
    "output 1 to the speakers. Everything is done from its menu of one-letter\n"
    "commands on standard input ('h' there for the wiring help).\n"
    "\n"
    "  -h, --help  show this help and exit\n";

// A closed descriptor 0, 1 or 2 would be taken by the next file opened, the
// result file included, and messages meant for the console would land in
// it. Each closed one is held open on /dev/null instead; the lower ones are
// open by then, so open() returns exactly that descriptor.
void HoldStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

// The command line: none starts the menu; -h or --help first prints the
// usage; anything else is refused with the usage on standard error and
// status 2, as the tools do. Returns the exit status, or -1 for the menu.
int CommandLine(int argc, char** argv) {
  if (argc <= 1) return -1;
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") return fputs(kUsage, stdout), 0;
  fprintf(stderr, "%s: %s '%s'\n%s", kProgram,
          arg.size() > 1 && arg[0] == '-' ? "unknown option" : "unexpected argument",
          Printable(arg).c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  const int status = CommandLine(argc, argv);
  return CloseStandardOutput(kProgram, status >= 0 ? status : RunMenu());
}
