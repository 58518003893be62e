// What the tools say about the microphone's signal (dsp/input_one.h).
#pragma once

#include <string>

#include "dsp/input_one.h"

namespace tool {

// Warns on standard error of a dead microphone, clipping and a bass too
// close to the background, each after `who` (a recording's name and ": ",
// or nothing); returns the signal-to-noise line for standard output, or
// nothing when it was not measured.
std::string InputOneLines(const InputOneCheck& check, const std::string& who);

}  // namespace tool
