// The built program is driven through standard input and its whole output
// and exit status are compared with the expected transcript.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/process.h"
#include "support/transcript.h"

namespace {

void ExpectTranscript(const std::string& input, const std::string& expected) {
  ProcessResult r = RunQuelmar(input);
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
