// The built program is driven through standard input and its whole output
// and exit status are compared with the expected transcript.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/process.h"
#include "support/transcript.h"

namespace {

// Builds the expected transcript step by step: what a command prints, then
// the next menu cycle with the settings as that command left them.
struct Session {
  Status s;
  std::string expected = kWarningBox + Cycle(s);
  Session& Then(const std::string& printed, const std::function<void(Status&)>& change = {}) {
    if (change) change(s);
    expected += printed + Cycle(s);
    return *this;
  }
  Session& Prompt(const char* prompt, const std::function<void(Status&)>& change = {}) {
    return Then(Line(prompt), change);
  }
};

const char kQ[] = "Enter Q (larger = narrower bandwidth)";
const char kBands[] = "Enter number of bands";
const char kStart[] = "Enter starting frequency";
const char kLength[] = "Enter sweep length";
const char kDevice[] = "Enter soundcard device name";

void ExpectTranscript(const std::string& input, const std::string& expected) {
  ProcessResult r = RunQuelmar(input);
  ASSERT_FALSE(r.timed_out) << "input: " << input;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected) << "input: " << input;
}

TEST(Transcript, CommandsAreWholeCaseSensitiveWords) {
  const std::string long_word(100, 'x');
  ExpectTranscript("xx Q 7 X " + long_word + " x",
                   Session().Then("").Then("").Then("").Then("").Then("").expected);
}

TEST(Transcript, HelpAndContinuePrompt) {
  // Every token but "c", "x" included, only repeats the prompt; the "c"
  // that ends it is not the soundcard command.
  ExpectTranscript("h x r q c x", Session().Then(kHelp + kContinue + kContinue + kContinue + kContinue).expected);
}

TEST(Transcript, Presets) {
  ExpectTranscript("p 2 x", Session().Then(kPresets, [](Status& s) {
                                         s.q = "1";  // Q 1.3 shows without decimals
                                         s.bands = 12;
                                         s.end = "16075.0";
                                       }).expected);
  // Numbers out of range and words are passed over silently; the sweep
  // length is left as it was.
  ExpectTranscript("t 3\np 0 9 -1 foo 0x5 x",
                   Session()
                       .Prompt(kLength, [](Status& s) { s.length = "3.0"; })
                       .Then(kPresets, [](Status& s) {
                         s.q = "5";
                         s.bands = 16;
                         s.start = "300.0";
                         s.end = "5524.0";
                       })
                       .expected);
}

TEST(Transcript, SettingsAsTyped) {
  const std::string device = "plughw:CARD=USB,DEV=0" + std::string(200, 'z');
  ExpectTranscript("b 0x10 b 010 q 1.3 q 1000 t 2.5 f 18.7 c hw:1 c " + device + " x",
                   Session()
                       .Prompt(kBands, [](Status& s) { s.bands = 16, s.end = "571.0"; })
                       .Prompt(kBands, [](Status& s) { s.bands = 8, s.end = "97.0"; })
                       .Prompt(kQ, [](Status& s) { s.q = "1", s.end = "1641.0"; })
                       .Prompt(kQ, [](Status& s) { s.q = "1000", s.end = "18.0"; })
                       .Prompt(kLength, [](Status& s) { s.length = "2.5"; })
                       .Prompt(kStart, [](Status& s) { s.start = "18.7"; })
                       .Prompt(kDevice, [](Status& s) { s.device = "hw:1"; })
                       .Prompt(kDevice, [&](Status& s) { s.device = device; })
                       .expected);
}

TEST(Transcript, FailedNumberIsTakenAsTheNextCommand) {
  // "abc" is not a number: Q stays, and abc is an unrecognised command.
  ExpectTranscript("q abc x", Session().Prompt(kQ).Then("").expected);
  // Here the text left unread is "x", which ends the program.
  ExpectTranscript("f x", Session().Prompt(kStart).expected);
  // A token that is only partly a number is left whole: -r, 1ex and 0xx
  // are unrecognised commands, not r and x.
  ExpectTranscript("q -r t 1ex b 0xx x",
                   Session().Prompt(kQ).Then("").Prompt(kLength).Then("").Prompt(kBands).Then("")
                       .expected);
}

TEST(Transcript, BandListing) {
  ExpectTranscript("p 4 d c x",
                   Session()
                       .Then(kPresets, [](Status& s) { s.q = "2", s.bands = 8, s.end = "454.0"; })
                       .Then("band\tlow\thigh\n1\t18\t27\n2\t27\t40\n3\t40\t60\n4\t60\t90\n"
                             "5\t90\t135\n6\t135\t202\n7\t202\t303\n8\t303\t454\n" + kContinue)
                       .expected);
  // A fractional start is listed rounded, the edges grow from its whole
  // hertz; zero bands list only the header. Edges saturate at 2147483647.
  ExpectTranscript("f 18.7 b 2 d c b 0 d c q 1.3 b 33 x",
                   Session()
                       .Prompt(kStart, [](Status& s) { s.start = "18.7"; })
                       .Prompt(kBands, [](Status& s) { s.bands = 2, s.end = "27.0"; })
                       .Then("band\tlow\thigh\n1\t19\t22\n2\t22\t27\n" + kContinue)
                       .Prompt(kBands, [](Status& s) { s.bands = 0, s.end = "18.0"; })
                       .Then("band\tlow\thigh\n" + kContinue)
                       .Prompt(kQ, [](Status& s) { s.q = "1", s.end = "18.0"; })
                       .Prompt(kBands, [](Status& s) { s.bands = 33, s.end = "2147483647.0"; })
                       .expected);
}

TEST(Transcript, RefusedValuesLeaveSettingsAsTheyWere) {
  const std::string q = Line("Q must be a number above 0.");
  const std::string b = Line("Number of bands must be from 0 to 1024.");
  const std::string f = Line("Starting frequency must be above 0 and below 24000 Hz.");
  const std::string t = Line("Sweep length must be from 0 to 44738 seconds.");
  const struct {
    const char* input;
    const char* prompt;
    const std::string& refusal;
  } cases[] = {
      {"q 0", kQ, q},          {"q -2", kQ, q},          {"q nan", kQ, q},
      {"q inf", kQ, q},        {"q 1e999", kQ, q},       {"b -1", kBands, b},
      {"b 1025", kBands, b},   {"b 0x401", kBands, b},   {"b 4294967312", kBands, b},
      {"f 0", kStart, f},      {"f -18", kStart, f},     {"f 24000", kStart, f},
      {"f 1e300", kStart, f},  {"f nan", kStart, f},     {"t -1", kLength, t},
      {"t inf", kLength, t},   {"t nan", kLength, t},    {"t 44738.25", kLength, t},
      {"t 1e300", kLength, t},
  };
  Session session;
  std::string input;
  for (const auto& c : cases) {
    input += std::string(c.input) + " ";
    session.Then(Line(c.prompt) + c.refusal);
  }
  ExpectTranscript(input + "x", session.expected);
  // The limits themselves are accepted.
  ExpectTranscript("b 1024 t 0 t 44738 x",
                   Session()
                       .Prompt(kBands, [](Status& s) { s.bands = 1024, s.end = "2147483647.0"; })
                       .Prompt(kLength, [](Status& s) { s.length = "0.0"; })
                       .Prompt(kLength, [](Status& s) { s.length = "44738.0"; })
                       .expected);
}

TEST(Transcript, RunsThatCannotWorkAreRefused) {
  // A band plan that ends above half the sample rate: refused before the
  // device (here one that does not exist) is opened; the settings stay.
  ExpectTranscript("c nodevice q 1.3 r x",
                   Session()
                       .Prompt(kDevice, [](Status& s) { s.device = "nodevice"; })
                       .Prompt(kQ, [](Status& s) { s.q = "1", s.end = "820417722.0"; })
                       .Then("Band plan ends at 820417722 Hz, above the 24000 Hz the card can "
                             "play; use fewer bands or a larger Q.\n")
                       .expected);
  // 44000 seconds need about 59 GB of buffers: the run is refused before
  // anything is allocated or played, and the settings stay.
  if (static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) > 50e9)
    GTEST_SKIP() << "this machine has the memory for such a run";
  ExpectTranscript("t 44000 r x",
                   Session()
                       .Prompt(kLength, [](Status& s) { s.length = "44000.0"; })
                       .Then("Not enough memory for a sweep of 44000.0 seconds.\n")
                       .expected);
}

TEST(Transcript, OutputThatCannotBeWrittenIsAnError) {
  // Lost at exit, or on the way (more than a buffer of output).
  for (const char* input : {"x", "h c h c h c h c x"}) {
    ProcessResult r = RunIn("", {"/bin/sh", "-c", "exec \"$0\" >/dev/full", QUELMAR_BIN}, input);
    EXPECT_EQ(r.exit_status, 1) << input;
    EXPECT_EQ(r.err, "quelmar: error writing standard output: No space left on device\n");
  }
}

TEST(Transcript, EndOfInputEndsTheProgramAnywhere) {
  const std::string start = Session().expected;
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
      {"q", start + Line(kQ)},
      {"b", start + Line(kBands)},
      {"f ", start + Line(kStart)},
      {"t\n", start + Line(kLength)},
      {"c", start + Line(kDevice)},
  };
  for (const auto& c : cases) ExpectTranscript(c.input, c.expected);
}

}  // namespace
