// Running out of memory ends a tool with a message of its own, never with an
// abort: where the memory a tool can count on was misjudged (a limit on its
// address space, other programs growing), an allocation may still fail.
#pragma once

#include <string>

namespace tool {

// From now on a failed allocation, by new or inside FFTW, prints
// "<program>: <message>" on standard error and ends the program with exit
// status 1 at once; nothing it has not yet written is written. A later call
// changes the message.
void ExitOnOutOfMemory(const std::string& message);

}  // namespace tool
