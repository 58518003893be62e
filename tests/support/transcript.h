// The program's console texts and a runner for the built program, shared by
// the tests that compare its output byte for byte. Targets define
// QUELMAR_BIN and QUELMAR_ALSA_CONFIG_PATH.
#pragma once

#include <string>

#include "support/process.h"

// The program's own texts, as the user sees them.
inline const std::string kWarningBox =
    "//////////////////////////////////////////////////////////////////\n"
    "//  WARNING! This program will send a wide range of sine waves  //\n"
    "//  that are 6 dB below fullscale to your sound system.         //\n"
    "//  It is strongly recommended that you turn your amplifier to  //\n"
    "//  a very low setting initially to protect both your ears and  //\n"
    "//  your speakers.                                              //\n"
    "//////////////////////////////////////////////////////////////////\n";

inline const std::string kMenu =
    "Enter 'h' for help\n"
    "      'q' to adjust the Q\n"
    "      'b' to adjust the bands\n"
    "      'f' to adjust the starting frequency\n"
    "      't' to adjust the sweep time\n"
    "      'p' for quick presets\n"
    "      'c' to change soundcard device\n"
    "      'd' to display current band ranges\n"
    "      'r' ro run\n"
    "      'x' to exit\n";

inline const std::string kHelp =
    "Quelmar 1.00 (1h) by Ostrevan\n"
    "A program for testing the frequency response of a room.\n\n"
    "This program requires a two channel interface.\n"
    "1. Attach your test microphone to channel 1.\n"
    "2. Attach output channel 2 to input channel 2.\n"
    "   (Channel 2 will be used to sync input and output signals.)\n"
    "3. Attach a splitter or mixer to channel 1's output to feed amp/speakers.\n"
    "\nIn summary:\n"
    "Mic >> Input 1\n"
    "Output 2 >> Input 2\n"
    "Output 1 >> mixer >> amp >> speakers\n\n"
    "Turn off soundcard monitor mixes to prevent feedback.\n"
    "\nAdd or remove bands to adjust the overall frequency range.\n"
    "Adjust Q to set bandwidth relative to frequency.\n"
    "After adjusting Q you will probably need to re-adjust number of bands.\n";

inline const std::string kPresets =
    "Enter:\n"
    "1.  Full Range and Narrow (18 Hz - 16 kHz, Q 4, 31 bands\n"
    "2.  Full Range and Wide (18 Hz - 16 kHz, Q 1.3, 12 bands\n"
    "3.  Detailed Bass (18 Hz - 355 Hz, Q 6, 20 bands\n"
    "4.  Rough Bass (18 Hz - 454 Hz, Q 2, 8 bands\n"
    "5.  Midrange (300 - 5.5 kHz, Q 5, 16 bands\n";

inline const std::string kContinue = "Enter 'c' to continue\n";

// The state of the settings as the status lines show them.
struct Status {
  std::string q = "4";
  int bands = 31;
  std::string length = "10.0";
  std::string start = "18.0";
  std::string end = "16175.0";
  std::string device = "default";
};

// One menu cycle: the status lines, then the menu.
inline std::string Cycle(const Status& s) {
  return "\nQ: " + s.q + " --- Bands: " + std::to_string(s.bands) + " --- Length: " + s.length +
         " sec\nStart: " + s.start + " Hz --- End: " + s.end + " Hz\nSoundcard:  " + s.device +
         "\n\n" + kMenu;
}

inline std::string Line(const std::string& text) { return text + "\n"; }

// Runs argv in folder `dir` (empty: the current one) with `input` on its
// standard input, alsa-lib seeing the virtual card's devices, the tests' own
// and those of the files in `more_alsa` (each after a ':').
inline ProcessResult RunIn(const std::string& dir, const std::vector<std::string>& argv,
                           const std::string& input = "", const std::string& more_alsa = "",
                           int timeout_ms = 60000) {
  ProcessOptions opts;
  opts.input = input;
  opts.cwd = dir;
  opts.timeout_ms = timeout_ms;
  opts.env.push_back(std::string("ALSA_CONFIG_PATH=") + QUELMAR_ALSA_CONFIG_PATH + more_alsa);
  return RunProcess(argv, opts);
}

// The built program on `input`, in folder `cwd`.
inline ProcessResult RunQuelmar(const std::string& input, const std::string& cwd = "",
                                int timeout_ms = 60000) {
  return RunIn(cwd, {QUELMAR_BIN}, input, "", timeout_ms);
}
