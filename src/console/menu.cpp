#include "console/menu.h"

#include <cstdio>
#include <memory>
#include <string>

#include "console/input.h"
#include "console/settings.h"
#include "console/test_run.h"
#include "dsp/band_plan.h"

namespace {

const char* const kWarning[] = {
    "//////////////////////////////////////////////////////////////////",
    "//  WARNING! This program will send a wide range of sine waves  //",
    "//  that are 6 dB below fullscale to your sound system.         //",
    "//  It is strongly recommended that you turn your amplifier to  //",
    "//  a very low setting initially to protect both your ears and  //",
    "//  your speakers.                                              //",
    "//////////////////////////////////////////////////////////////////",
};
static_assert(kSweepAmplitude == 0.5,
              "the warning's \"6 dB below fullscale\" is the sweep's level");

const char* const kMenu[] = {
    "Enter 'h' for help",
    "      'q' to adjust the Q",
    "      'b' to adjust the bands",
    "      'f' to adjust the starting frequency",
    "      't' to adjust the sweep time",
    "      'p' for quick presets",
    "      'c' to change soundcard device",
    "      'd' to display current band ranges",
    "      'r' ro run",
    "      'x' to exit",
};

const char* const kHelp[] = {
    "Quelmar 1.00 (1h) by Ostrevan",
    "A program for testing the frequency response of a room.\n",
    "This program requires a two channel interface.",
    "1. Attach your test microphone to channel 1.",
    "2. Attach output channel 2 to input channel 2.",
    "   (Channel 2 will be used to sync input and output signals.)",
    "3. Attach a splitter or mixer to channel 1's output to feed amp/speakers.",
    "\nIn summary:",
    "Mic >> Input 1",
    "Output 2 >> Input 2",
    "Output 1 >> mixer >> amp >> speakers\n",
    "Turn off soundcard monitor mixes to prevent feedback.",
    "\nAdd or remove bands to adjust the overall frequency range.",
    "Adjust Q to set bandwidth relative to frequency.",
    "After adjusting Q you will probably need to re-adjust number of bands.",
};

const char* const kPresetList[] = {
    "Enter:",
    "1.  Full Range and Narrow (18 Hz - 16 kHz, Q 4, 31 bands",
    "2.  Full Range and Wide (18 Hz - 16 kHz, Q 1.3, 12 bands",
    "3.  Detailed Bass (18 Hz - 355 Hz, Q 6, 20 bands",
    "4.  Rough Bass (18 Hz - 454 Hz, Q 2, 8 bands",
    "5.  Midrange (300 - 5.5 kHz, Q 5, 16 bands",
};

template <size_t N>
void PutLines(const char* const (&lines)[N]) {
  for (const char* line : lines) puts(line);
}

// The band listing of the "d" command.
void PrintBandListing(const BandTable& table, int bands) {
  puts("band\tlow\thigh");
  for (int k = 0; k < bands && k < kMaxBands; ++k)
    printf("%i\t%.0f\t%.0f\n", k + 1, table.lo[k], table.hi[k]);
}

// Outcome of a prompt that reads a value.
enum class Prompt { kDone, kEnd };

// Reads a value for a setting with `read`; a value that `check` refuses
// leaves the setting as it was, and text that is not a number stays unread
// for the next menu cycle.
template <typename Value, typename Setting>
Prompt PromptValue(const char* prompt, Setting& setting, ReadResult (*read)(Value&),
                   const char* (*check)(Value)) {
  puts(prompt);
  Value value{};
  const ReadResult result = read(value);
  if (result == ReadResult::kEnd) return Prompt::kEnd;
  if (result == ReadResult::kOk) {
    if (const char* refusal = check(value)) {
      puts(refusal);
    } else {
      setting = static_cast<Setting>(value);
    }
  }
  return Prompt::kDone;
}

// Reads preset numbers silently until one is 1 to 5; words are skipped.
Prompt PromptPreset(TestSettings& settings, std::string& token) {
  PutLines(kPresetList);
  long answer = 0;
  while (!ApplyPreset(answer, settings)) {
    switch (ReadInteger(answer)) {
      case ReadResult::kEnd:
        return Prompt::kEnd;
      case ReadResult::kNoNumber:
        answer = 0;
        if (!ReadToken(token)) return Prompt::kEnd;
        break;
      case ReadResult::kOk:
        break;
    }
  }
  return Prompt::kDone;
}

void PrintStatus(const TestSettings& s, double end_freq) {
  printf("\nQ: %1.f --- Bands: %i --- Length: %.1f sec\n", s.q, s.bands, s.sweep_length);
  printf("Start: %.1f Hz --- End: %.1f Hz\n", s.start_freq, end_freq);
  printf("Soundcard:  %s\n\n", s.device.c_str());
}

}  // namespace

int RunMenu() {
  TestSettings settings;
  // The band table and the run's fixed arrays are large; keep them off the stack.
  std::unique_ptr<BandTable> plan(new BandTable());
  std::unique_ptr<RunArrays> arrays(new RunArrays());
  std::string token;

  PutLines(kWarning);
  while (true) {
    const double end_freq =
        FindHighFreq(settings.q, settings.bands, settings.start_freq, plan->lo, plan->hi);
    PrintStatus(settings, end_freq);
    PutLines(kMenu);
    if (!ReadToken(token)) return 0;

    Prompt outcome = Prompt::kDone;
    if (token == "x") {
      return 0;
    } else if (token == "r") {
      if (!RunTest(settings, *plan, end_freq, *arrays, token)) return 0;
    } else if (token == "h") {
      PutLines(kHelp);
      if (!ContinuePrompt(token)) return 0;
    } else if (token == "c") {
      puts("Enter soundcard device name");
      if (!ReadToken(token)) return 0;
      settings.device = token;
    } else if (token == "q") {
      outcome = PromptValue("Enter Q (larger = narrower bandwidth)", settings.q, ReadDouble, CheckQ);
    } else if (token == "f") {
      outcome = PromptValue("Enter starting frequency", settings.start_freq, ReadDouble,
                            CheckStartFreq);
    } else if (token == "t") {
      outcome = PromptValue("Enter sweep length", settings.sweep_length, ReadDouble,
                            CheckSweepLength);
    } else if (token == "b") {
      outcome = PromptValue("Enter number of bands", settings.bands, ReadInteger, CheckBands);
    } else if (token == "d") {
      PrintBandListing(*plan, settings.bands);
      if (!ContinuePrompt(token)) return 0;
    } else if (token == "p") {
      outcome = PromptPreset(settings, token);
    }
    if (outcome == Prompt::kEnd) return 0;
  }
}
