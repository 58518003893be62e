// The built program is driven through standard input and its whole output
// and exit status are compared with the expected transcript.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/process.h"

namespace {

// The program's own texts, as the user sees them.
const std::string kWarningBox =
    "//////////////////////////////////////////////////////////////////\n"
    "//  WARNING! This program will send a wide range of sine waves  //\n"
    "//  that are 6 dB below fullscale to your sound system.         //\n"
    "//  It is strongly recommended that you turn your amplifier to  //\n"
    "//  a very low setting initially to protect both your ears and  //\n"
    "//  your speakers.                                              //\n"
    "//////////////////////////////////////////////////////////////////\n";

const std::string kMenu =
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

const std::string kHelp =
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

const std::string kPresets =
    "Enter:\n"
    "1.  Full Range and Narrow (18 Hz - 16 kHz, Q 4, 31 bands\n"
    "2.  Full Range and Wide (18 Hz - 16 kHz, Q 1.3, 12 bands\n"
    "3.  Detailed Bass (18 Hz - 355 Hz, Q 6, 20 bands\n"
    "4.  Rough Bass (18 Hz - 454 Hz, Q 2, 8 bands\n"
    "5.  Midrange (300 - 5.5 kHz, Q 5, 16 bands\n";

const std::string kContinue = "Enter 'c' to continue\n";

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
std::string Cycle(const Status& s) {
  return "\nQ: " + s.q + " --- Bands: " + std::to_string(s.bands) + " --- Length: " + s.length +
         " sec\nStart: " + s.start + " Hz --- End: " + s.end + " Hz\nSoundcard:  " + s.device +
         "\n\n" + kMenu;
}

std::string Line(const std::string& text) { return text + "\n"; }

ProcessResult Run(const std::string& input) {
  ProcessOptions opts;
  opts.input = input;
  opts.timeout_ms = 20000;
  return RunProcess({QUELMAR_BIN}, opts);
}

void ExpectTranscript(const std::string& input, const std::string& expected) {
  ProcessResult r = Run(input);
  ASSERT_FALSE(r.timed_out) << "input: " << input;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected) << "input: " << input;
}

TEST(Transcript, ExitAtOnce) {
  Status s;
  ExpectTranscript("x\n", kWarningBox + Cycle(s));
}

TEST(Transcript, UnrecognisedTokensRedrawTheMenu) {
  Status s;
  // Whole-token, case-sensitive comparison: none of these is a command.
  const std::string long_word(100, 'x');
  ExpectTranscript("xx Q 7 X " + long_word + " x",
                   kWarningBox + Cycle(s) + Cycle(s) + Cycle(s) + Cycle(s) + Cycle(s) + Cycle(s));
}

TEST(Transcript, HelpAndContinuePrompt) {
  Status s;
  // Every token but "c", "x" included, only repeats the prompt; the "c"
  // that ends it is not the soundcard command.
  ExpectTranscript("h x r q c x",
                   kWarningBox + Cycle(s) + kHelp + kContinue + kContinue + kContinue + kContinue +
                       Cycle(s));
}

TEST(Transcript, PresetTwo) {
  Status s;
  Status wide = s;
  wide.q = "1";
  wide.bands = 12;
  wide.end = "16075.0";
  ExpectTranscript("p 2 x", kWarningBox + Cycle(s) + kPresets + Cycle(wide));
}

TEST(Transcript, PresetAnswersAreReadUntilOneToFive) {
  Status s, mid;
  mid.q = "5";
  mid.bands = 16;
  mid.start = "300.0";
  mid.end = "5524.0";
  // Numbers out of range and words are passed over without a message.
  ExpectTranscript("t 3\np 0 9 -1 foo 0x5 x",
                   kWarningBox + Cycle(s) + Line("Enter sweep length") +
                       Cycle([] { Status t; t.length = "3.0"; return t; }()) + kPresets +
                       Cycle([&] { Status t = mid; t.length = "3.0"; return t; }()));
}

TEST(Transcript, BandCountInHexAndOctal) {
  Status s, b16 = s, b8 = s;
  b16.bands = 16;
  b16.end = "571.0";
  b8.bands = 8;
  b8.end = "97.0";
  ExpectTranscript("b 0x10 b 010 x", kWarningBox + Cycle(s) + Line("Enter number of bands") +
                                         Cycle(b16) + Line("Enter number of bands") + Cycle(b8));
}

TEST(Transcript, FailedNumberIsTakenAsTheNextCommand) {
  Status s;
  // "abc" is not a number: Q stays, and abc is an unrecognised command.
  ExpectTranscript("q abc x", kWarningBox + Cycle(s) + Line("Enter Q (larger = narrower bandwidth)") +
                                  Cycle(s) + Cycle(s));
  // Here the text left unread is "x", which ends the program.
  ExpectTranscript("f x", kWarningBox + Cycle(s) + Line("Enter starting frequency") + Cycle(s));
}

TEST(Transcript, SettingsAsTyped) {
  Status s, t = s;
  t.q = "1";  // Q 1.3 shows without decimals
  t.length = "2.5";
  t.start = "18.7";
  t.end = "820417722.0";  // 31 bands of Q 1.3
  t.device = "hw:1";
  ExpectTranscript("q 1.3 q 4 t 2.5 f 18.7 c hw:1 q 1.3 x",
                   kWarningBox + Cycle(s) + Line("Enter Q (larger = narrower bandwidth)") +
                       [&] { Status a = s; a.q = "1"; a.end = "820417722.0"; return Cycle(a); }() +
                       Line("Enter Q (larger = narrower bandwidth)") + Cycle(s) +
                       Line("Enter sweep length") +
                       [&] { Status a = s; a.length = "2.5"; return Cycle(a); }() +
                       Line("Enter starting frequency") +
                       [&] { Status a = s; a.length = "2.5"; a.start = "18.7"; return Cycle(a); }() +
                       Line("Enter soundcard device name") +
                       [&] {
                         Status a = s;
                         a.length = "2.5";
                         a.start = "18.7";
                         a.device = "hw:1";
                         return Cycle(a);
                       }() +
                       Line("Enter Q (larger = narrower bandwidth)") +
                       Cycle(t));
}

TEST(Transcript, LongDeviceNameKeptWhole) {
  Status s, d = s;
  d.device = "plughw:CARD=USB,DEV=0" + std::string(200, 'z');
  ExpectTranscript("c " + d.device + " x",
                   kWarningBox + Cycle(s) + Line("Enter soundcard device name") + Cycle(d));
}

TEST(Transcript, BandListing) {
  Status s, p4 = s;
  p4.q = "2";
  p4.bands = 8;
  p4.end = "454.0";
  const std::string listing =
      "band\tlow\thigh\n1\t18\t27\n2\t27\t40\n3\t40\t60\n4\t60\t90\n"
      "5\t90\t135\n6\t135\t202\n7\t202\t303\n8\t303\t454\n";
  ExpectTranscript("p 4 d c x",
                   kWarningBox + Cycle(s) + kPresets + Cycle(p4) + listing + kContinue + Cycle(p4));
  // A fractional start is listed rounded; zero bands list only the header.
  Status f = s;
  f.start = "18.7";
  Status none = f;
  none.bands = 0;
  none.end = "18.0";
  ExpectTranscript("f 18.7 b 0 d c x", kWarningBox + Cycle(s) + Line("Enter starting frequency") +
                                           Cycle(f) + Line("Enter number of bands") + Cycle(none) +
                                           "band\tlow\thigh\n" + kContinue + Cycle(none));
}

TEST(Transcript, HugeQMakesEqualEdges) {
  Status s, q = s;
  q.q = "1000";
  q.end = "18.0";
  ExpectTranscript("q 1000 x",
                   kWarningBox + Cycle(s) + Line("Enter Q (larger = narrower bandwidth)") + Cycle(q));
}

TEST(Transcript, RefusedValuesLeaveSettingsAsTheyWere) {
  Status s;
  const std::string q = Line("Enter Q (larger = narrower bandwidth)");
  const std::string q_refused = Line("Q must be a number above 0.");
  const std::string b = Line("Enter number of bands");
  const std::string b_refused = Line("Number of bands must be from 0 to 1024.");
  const std::string f = Line("Enter starting frequency");
  const std::string f_refused = Line("Starting frequency must be above 0 and below 24000 Hz.");
  const std::string t = Line("Enter sweep length");
  const std::string t_refused = Line("Sweep length must be from 0 to 44738 seconds.");
  std::string expected = kWarningBox + Cycle(s);
  std::string input;
  const struct {
    const char* input;
    std::string prompt, refusal;
  } cases[] = {
      {"q 0 ", q, q_refused},          {"q -2 ", q, q_refused},         {"q nan ", q, q_refused},
      {"q inf ", q, q_refused},        {"q 1e999 ", q, q_refused},      {"b -1 ", b, b_refused},
      {"b 1025 ", b, b_refused},       {"b 0x401 ", b, b_refused},      {"b 4294967312 ", b, b_refused},
      {"f 0 ", f, f_refused},          {"f -18 ", f, f_refused},        {"f 24000 ", f, f_refused},
      {"f 1e300 ", f, f_refused},      {"f nan ", f, f_refused},        {"t -1 ", t, t_refused},
      {"t inf ", t, t_refused},        {"t nan ", t, t_refused},        {"t 44739 ", t, t_refused},
      {"t 1e300 ", t, t_refused},
  };
  for (const auto& c : cases) {
    input += c.input;
    expected += c.prompt + c.refusal + Cycle(s);
  }
  ExpectTranscript(input + "x", expected);
}

TEST(Transcript, LimitsThatAreAccepted) {
  Status s, b = s;
  b.bands = 1024;
  b.end = "2147483647.0";
  Status t = b;
  t.length = "0.0";
  ExpectTranscript("b 1024 t 0 x", kWarningBox + Cycle(s) + Line("Enter number of bands") +
                                       Cycle(b) + Line("Enter sweep length") + Cycle(t));
}

TEST(Transcript, EndOfInputEndsTheProgramAnywhere) {
  Status s;
  const std::string start = kWarningBox + Cycle(s);
  const struct {
    const char* input;
    std::string expected;
  } cases[] = {
      {"", start},
      {"   \n", start},
      {"h", start + kHelp + kContinue},
      {"h zz", start + kHelp + kContinue + kContinue},
      {"p", start + kPresets},
      {"p 7 word", start + kPresets},
      {"q", start + Line("Enter Q (larger = narrower bandwidth)")},
      {"b", start + Line("Enter number of bands")},
      {"f ", start + Line("Enter starting frequency")},
      {"t\n", start + Line("Enter sweep length")},
      {"c", start + Line("Enter soundcard device name")},
  };
  for (const auto& c : cases) ExpectTranscript(c.input, c.expected);
}

}  // namespace
