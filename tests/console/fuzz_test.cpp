// Seeded random scripts fed to the built program: command words and near
// misses, numbers in every form "%i" and "%lf" accept or half accept, garbage
// bytes, very long tokens, and end of input at random points. Every script
// must end cleanly (exit status 0, no signal, no hang, nothing on standard
// error, so no sanitizer report either), every status block must be well
// formed, and every measurement must append exactly the table it printed.
//
// Script i comes from std::mt19937 seeded through std::seed_seq with the
// seed and i; only the engine's raw output is used, one draw per statement,
// so the same script is made on every machine and compiler. Environment, for longer runs by hand:
//   QUELMAR_FUZZ_SEED   the seed (default kDefaultSeed)
//   QUELMAR_FUZZ_COUNT  how many scripts (default 300; 2000 in a sanitizer build)
//   QUELMAR_FUZZ_INDEX  run only script i (to reproduce a failure)
// The scripts are dealt out to kShards tests so that ctest -j2 runs them side
// by side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/transcript.h"

#ifndef QUELMAR_FUZZ_DEFAULT_COUNT
#define QUELMAR_FUZZ_DEFAULT_COUNT 300
#endif

namespace {

constexpr long kDefaultSeed = 5318008;
constexpr int kShards = 2;
constexpr int kScriptTimeoutMs = 30000;
// A shard stops after this many hangs, to end well within the ctest timeout.
constexpr int kMaxHangs = 3;
// Measurements stay short: a sweep length above this that the program would
// accept is rewritten before the script is sent, and a script performs at
// most kMaxRuns measurements.
constexpr double kMaxSweepSeconds = 0.1;
constexpr int kMaxRuns = 3;
constexpr int kFailuresShown = 5;

class Random {
 public:
  Random(unsigned long seed, unsigned long index) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                      static_cast<uint32_t>(index)};
    engine_.seed(seq);
  }
  uint32_t Next() { return static_cast<uint32_t>(engine_()); }
  unsigned long long Next64() {
    const unsigned long long high = Next();
    return (high << 32) | Next();
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  const char* Pick(std::initializer_list<const char*> list) {
    return list.begin()[Below(static_cast<uint32_t>(list.size()))];
  }

 private:
  std::mt19937 engine_;
};

// The C locale's white space, as the program's reads see it.
bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

const char* Command(Random& r) {
  return r.Pick({"x", "r", "h", "c", "q", "f", "t", "b", "d", "p"});
}

std::string NearMiss(Random& r) {
  return r.Pick({"X", "R", "H", "C", "Q", "F", "T", "B", "D", "P", "xx", "rr", "hh", "cc", "qq",
                 "tt", "bb", "dd", "pp", "-q", "+b", "q1", "1q", "r0", "help", "exit", "run", "c:",
                 "'c'", "\"x\"", "x;", "--", "-", "loopback", "default", "hw:0",
                 "plughw:CARD=USB,DEV=0", "Enter", "c\x01", "r\x7f"});
}

// Text for "%i": decimal, hexadecimal, octal, saturating, and half numbers.
std::string Integer(Random& r) {
  if (r.Chance(50)) {
    return r.Pick({"0", "1", "-1", "+7", "31", "1024", "1025", "-0", "0x10", "0X1f", "-0x10",
                   "010", "0777", "08", "09", "0x", "0X", "0xg", "0x1g", "12abc", "1.5", "1e3",
                   "+", "-", "+-1", "--1", "2147483647", "2147483648", "-2147483649",
                   "9223372036854775807", "9223372036854775808", "-9223372036854775809",
                   "18446744073709551616", "0xffffffffffffffffffff", "037777777777",
                   "00000000000000000000000017", "4294967297"});
  }
  const unsigned long long bits = r.Next64();
  const unsigned long long v = bits >> r.Below(64);
  const char* sign = r.Pick({"", "", "-", "+"});
  switch (r.Below(3)) {
    case 0: return Format("%s%llu", sign, v);
    case 1: return Format("%s0x%llx", sign, v);
    default: return Format("%s0%llo", sign, v);
  }
}

// Text for "%lf": decimal and hexadecimal forms, exponents far out of
// range, inf and nan spellings, and half numbers.
std::string Double(Random& r) {
  if (r.Chance(45)) {
    return r.Pick({"inf", "-inf", "+inf", "INF", "Infinity", "-infinity", "nan", "-nan", "NAN",
                   "nan(0x7ff)", "nan()", "nan(", "infx", "in", "na", "0x1p1024", "0x1p-1074",
                   "0x1.fffffffffffffp1023", "0x1.8p1", "1e309", "-1e309", "4.9e-324",
                   "2.4e-324", "1e-400", ".5", "5.", ".", "-.5e1", "1e", "1e+", "1e-", "e5",
                   "0x", "0x.", "0xp1", "0x1p", "1.2.3", "1e5e5", "23999.99", "23999.999999",
                   "24000", "24000.0001", "-0", "-0.0", "+0", "0e0", "44738", "44738.2",
                   "44739", "1e5", "0.1", "0.05", "1000", "1.3", "12abc", "-18", "0"});
  }
  const char* sign = r.Pick({"", "", "-", "+"});
  switch (r.Below(3)) {
    case 0: {
      const uint32_t whole = r.Below(100000);
      const uint32_t fraction = r.Below(1000);
      const int exponent = static_cast<int>(r.Below(661)) - 330;
      return Format("%s%u.%ue%d", sign, whole, fraction, exponent);
    }
    case 1: {
      // Any bit pattern, nan and inf included, written as a hex float.
      const unsigned long long bits = r.Next64();
      double v;
      static_assert(sizeof v == sizeof bits, "64-bit double");
      memcpy(&v, &bits, sizeof v);
      return Format("%a", v);
    }
    default: {
      const int decimals = static_cast<int>(r.Below(8));
      const double numerator = r.Below(30000);
      return Format("%s%.*f", sign, decimals, numerator / (1.0 + r.Below(1000)));
    }
  }
}

std::string Garbage(Random& r) {
  std::string bytes(1 + r.Below(40), '\0');
  for (char& b : bytes) b = static_cast<char>(r.Below(256));
  return bytes;
}

std::string LongToken(Random& r) {
  const size_t n = 1000 + r.Below(9000);
  std::string t;
  switch (r.Below(7)) {
    case 0: for (size_t i = 0; i < n; ++i) t += static_cast<char>('a' + r.Below(26)); break;
    case 1: t.assign(n, r.Chance(50) ? '9' : '1'); break;
    case 2: t = "0." + std::string(n, '0') + "5"; break;
    case 3: t = "0x" + std::string(n, 'f'); break;
    case 4: t = "-" + std::string(n, '7'); break;
    case 5: t.assign(n, Command(r)[0]); break;
    default: for (size_t i = 0; i < n; ++i) t += static_cast<char>(33 + r.Below(94)); break;
  }
  return t;
}

std::string Separator(Random& r) {
  if (r.Chance(70)) return " ";
  return r.Pick({"\n", "\t", "\r\n", "  ", "\v", "\f", "\n\n\n", " \t "});
}

// A value of the kind the command's prompt reads (or tokens for "h", "d",
// "r" and "p", which read until their word or answer).
std::string ValueFor(char command, Random& r) {
  switch (command) {
    case 'q': case 'f': case 't': return Double(r);
    case 'b': return Integer(r);
    case 'c': return r.Chance(80) ? NearMiss(r) : LongToken(r);
    case 'p': return r.Pick({"1", "2", "3", "4", "5", "0", "6", "-1", "05", "0x3", "3.7", "word"});
    default: return r.Chance(75) ? "c" : NearMiss(r);
  }
}

std::string Token(Random& r, bool may_run) {
  // Where runs are allowed, some more of them: a run and its continue word.
  if (may_run && r.Chance(8)) return std::string("r") + Separator(r) + "c";
  const uint32_t w = r.Below(100);
  if (w < 34) {
    const char* command = Command(r);
    if (r.Chance(40)) return command;
    const std::string separator = Separator(r);
    return command + separator + ValueFor(command[0], r);
  }
  if (w < 42) return NearMiss(r);
  if (w < 58) return Integer(r);
  if (w < 78) return Double(r);
  if (w < 93) return Garbage(r);
  return LongToken(r);
}

bool EndsWith(const std::string& token, char c) { return !token.empty() && token.back() == c; }

// Whether "%lf" would read from `token` a sweep length that the program
// accepts but that would make the measurement long.
bool LongSweep(const std::string& token) {
  double v = 0.0;
  if (sscanf(token.c_str(), "%lf", &v) != 1) return false;
  return std::isfinite(v) && v > kMaxSweepSeconds && v < 44739.0;
}

struct Script {
  std::string text;
  bool may_run = false;   // measurements on the loopback card are allowed
  bool ends_with_x = false;
  long tokens = 0;
};

// Rewrites, token by token, what could steer the program off the harness's
// safe path. A command can be any token's end: a numeric read may take the
// front of "12c" and leave "c" for the menu. So the token after any token
// ending in 'c' is the device name "loopback" (scripts with runs), the token
// after one ending in 't' gives no long sweep, and tokens ending in 'r' (runs
// not allowed or too many) or 'x' (end of input wanted) get a '_' appended.
void Steer(Random& r, Script& s) {
  std::string out, previous;
  int runs = 0;
  size_t i = 0;
  while (i < s.text.size()) {
    if (IsSpace(s.text[i])) {
      out += s.text[i++];
      continue;
    }
    size_t end = i;
    while (end < s.text.size() && !IsSpace(s.text[end])) ++end;
    std::string token = s.text.substr(i, end - i);
    i = end;
    if (s.may_run && EndsWith(previous, 'c')) token = "loopback";
    if (s.may_run && EndsWith(previous, 't') && LongSweep(token))
      token = r.Pick({"0", "0.05", "5e-2", "0x1p-4", ".01", "-0", "1e-9"});
    if (EndsWith(token, 'r') && (!s.may_run || ++runs > kMaxRuns)) token += '_';
    if (EndsWith(token, 'x') && !s.ends_with_x) token += '_';
    ++s.tokens;
    out += token;
    previous = token;
  }
  s.text = out;
}

Script MakeScript(unsigned long seed, long index) {
  Random r(seed, static_cast<unsigned long>(index));
  Script s;
  s.may_run = r.Chance(25);
  s.ends_with_x = r.Chance(20);
  if (s.may_run) s.text = std::string("c loopback\nt ") + r.Pick({"0", "0.05", ".02"}) + "\n";
  const uint32_t tokens = 1 + r.Below(40);
  for (uint32_t k = 0; k < tokens; ++k) {
    s.text += Token(r, s.may_run);
    s.text += Separator(r);
  }
  if (s.ends_with_x) {
    s.text += "x";
    if (r.Chance(40)) s.text += "\n" + Garbage(r);  // never read
  } else if (r.Chance(60)) {
    s.text.resize(r.Below(static_cast<uint32_t>(s.text.size()) + 1));  // anywhere, mid-token too
  }
  Steer(r, s);
  return s;
}

// The script as printf '%b' reads it back.
std::string Escaped(const std::string& text) {
  std::string e;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') e += "\\n";
    else if (c >= 32 && c < 127 && c != '\\' && c != '\'') e += ch;
    else e += Format("\\x%02x", c);
  }
  return e;
}

// Reads the program's output field by field; every step checks its text.
struct Cursor {
  const std::string& s;
  size_t at;
  bool Take(const std::string& text) {
    if (s.compare(at, text.size(), text) != 0) return false;
    at += text.size();
    return true;
  }
  bool Digits(std::string* text = nullptr) {
    const size_t from = at;
    while (at < s.size() && isdigit(static_cast<unsigned char>(s[at]))) ++at;
    if (text) *text = s.substr(from, at - from);
    return at > from;
  }
  // "%.1f" of a finite number: -?[0-9]+\.[0-9] (the sign only if allowed)
  bool Fixed1(double* value, bool signed_ok = true) {
    const size_t from = at;
    if (signed_ok && at < s.size() && s[at] == '-') ++at;
    if (!Digits() || !Take(".") || at >= s.size() || !isdigit(static_cast<unsigned char>(s[at])))
      return false;
    ++at;
    *value = strtod(s.substr(from, at - from).c_str(), nullptr);
    return true;
  }
  std::string Here() const { return Escaped(s.substr(at, 160)); }
};

struct StatusBlock {
  size_t at;
  long bands;
  std::string device;
};

// One status block and the menu after it, strictly; returns what is wrong.
std::string ParseStatus(Cursor& c, StatusBlock& block) {
  std::string bands, device;
  double length = 0, start = 0, end = 0;
  block.at = c.at;
  if (!c.Take("\nQ: ") || !c.Digits()) return "Q is not a whole number at: " + c.Here();
  if (!c.Take(" --- Bands: ")) return "bad status at: " + c.Here();
  const bool negative = c.Take("-");
  if (!c.Digits(&bands)) return "band count is not a number at: " + c.Here();
  block.bands = negative ? -1 : (bands.size() > 5 ? 99999 : std::stol(bands));
  if (block.bands < 0 || block.bands > 1024) return "band count out of 0..1024: " + bands;
  if (!c.Take(" --- Length: ") || !c.Fixed1(&length) || !(length >= 0.0 && length < 44739.0))
    return "bad sweep length at: " + c.Here();
  if (!c.Take(" sec\nStart: ") || !c.Fixed1(&start, false) || !(start >= 0.0 && start <= 24000.0))
    return "bad start frequency at: " + c.Here();
  // Printed with one decimal, a start just above 0 shows 0.0 and one just
  // below 24000 shows 24000.0; both ends are therefore allowed.
  if (!c.Take(" Hz --- End: ") || !c.Fixed1(&end, false) || !(end >= 0.0 && end <= 2147483647.0) ||
      end != std::floor(end))
    return "bad end frequency at: " + c.Here();
  if (!c.Take(" Hz\nSoundcard:  ")) return "bad status at: " + c.Here();
  const size_t eol = c.s.find('\n', c.at);
  if (eol == std::string::npos) return "status cut short";
  block.device = c.s.substr(c.at, eol - c.at);
  c.at = eol;
  if (!c.Take("\n\n" + kMenu)) return "status not followed by the menu at: " + c.Here();
  return "";
}

// One results table with `bands` rows, strictly; returns what is wrong.
std::string ParseReport(Cursor& c, long bands) {
  if (!c.Take("Results:\nBand\tRange (Hz)\tdB\n")) return "no results header at: " + c.Here();
  std::string lo, hi, previous_hi;
  for (long k = 1; k <= bands; ++k) {
    double level = 0;
    if (!c.Take(std::to_string(k) + "\t") || !c.Digits(&lo) || !c.Take("\t") || !c.Digits(&hi) ||
        !c.Take("\t") || !c.Fixed1(&level) || !c.Take("\n"))
      return "bad row " + std::to_string(k) + " at: " + c.Here();
    if (k > 1 && lo != previous_hi) return "row " + std::to_string(k) + " does not follow on";
    if (level > 0.0) return "level above the loudest band in row " + std::to_string(k);
    previous_hi = hi;
  }
  return "";
}

struct Outcome {
  std::vector<std::string> problems;
  long runs = 0;
};

const std::string kRunHead =
    "Running Test...\n"
    "Ch 2 (sync): Return Level = -6.0 dB\n"
    "Sync Out = 24032 \t Sync In = 24096 samples\n"
    "Analyzing data...\n";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

Outcome Check(const ProcessResult& p, const std::string& folder) {
  Outcome o;
  auto problem = [&o](const std::string& text) { o.problems.push_back(text); };
  if (p.timed_out) problem("timed out (hang)");
  if (p.term_signal != 0) problem("killed by signal " + std::to_string(p.term_signal));
  if (p.exit_status != 0) problem("exit status " + std::to_string(p.exit_status));
  if (p.err.find("ERROR: AddressSanitizer") != std::string::npos ||
      p.err.find("ERROR: LeakSanitizer") != std::string::npos ||
      p.err.find("runtime error:") != std::string::npos)
    problem("sanitizer report");
  if (!p.err.empty()) problem("standard error: " + Escaped(p.err.substr(0, 2000)));

  const std::string& out = p.out;
  std::vector<StatusBlock> blocks;
  if (out.compare(0, kWarningBox.size(), kWarningBox) != 0) problem("no warning box");
  for (size_t at = out.find("\nQ: "); at != std::string::npos; at = out.find("\nQ: ", at + 1)) {
    Cursor c{out, at};
    StatusBlock block;
    const std::string why = ParseStatus(c, block);
    if (!why.empty()) {
      problem("status block: " + why);
      break;
    }
    blocks.push_back(block);
  }
  if (blocks.empty() || blocks[0].at != kWarningBox.size())
    problem("the first status block does not follow the warning box");
  if (Count(out, kMenu) != blocks.size()) problem("a menu without its status block");

  // Each run: the head lines, then the table that must also be the next
  // block of the result file, for the band count of the status shown last.
  std::string tables;
  bool tables_whole = true;  // every table was read, so the file can be compared
  for (size_t at = out.find("Running Test..."); at != std::string::npos;
       at = out.find("Running Test...", at + 1)) {
    ++o.runs;
    const StatusBlock* shown = nullptr;
    for (const StatusBlock& b : blocks)
      if (b.at < at) shown = &b;
    Cursor c{out, at};
    if (!shown || shown->device != "loopback") {
      problem("a run on a device other than loopback");
      tables_whole = false;
      continue;
    }
    if (!c.Take(kRunHead)) {
      problem("run " + std::to_string(o.runs) + " head: " + c.Here());
      tables_whole = false;
      continue;
    }
    const size_t table = c.at;
    const std::string why = ParseReport(c, shown->bands);
    if (!why.empty()) {
      problem("run " + std::to_string(o.runs) + " table: " + why);
      tables_whole = false;
      continue;
    }
    tables += out.substr(table, c.at - table);
  }
  const std::string file = folder + "/" + "sweep_out.txt";
  struct stat info;
  const bool exists = stat(file.c_str(), &info) == 0;
  if (o.runs == 0 && exists) problem("result file written without a run");
  if (o.runs > 0 && tables_whole && ReadFile(file) != tables)
    problem("result file is not the tables printed: " + Escaped(ReadFile(file).substr(0, 400)));
  return o;
}

long EnvNumber(const char* name, long fallback) {
  const char* text = getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long value = strtol(text, &end, 0);
  if (*end != '\0' || value < 0) {
    ADD_FAILURE() << name << " must be a number of 0 or more, not '" << text << "'";
    return fallback;
  }
  return value;
}

class ConsoleFuzz : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleFuzz, RandomScriptsEndCleanlyWithWellFormedOutput) {
  const int shard = GetParam();
  const unsigned long seed = EnvNumber("QUELMAR_FUZZ_SEED", kDefaultSeed);
  const long count = EnvNumber("QUELMAR_FUZZ_COUNT", QUELMAR_FUZZ_DEFAULT_COUNT);
  const long only = EnvNumber("QUELMAR_FUZZ_INDEX", -1);
  const auto started = std::chrono::steady_clock::now();
  long scripts = 0, runs = 0, tokens = 0, at_end = 0, failures = 0, hangs = 0;

  std::vector<long> indexes;
  if (only >= 0) {
    if (only % kShards == shard) indexes.push_back(only);
  } else {
    for (long i = shard; i < count; i += kShards) indexes.push_back(i);
  }
  for (const long i : indexes) {
    const Script script = MakeScript(seed, i);
    const std::string folder = MakeTempDir();
    ASSERT_FALSE(folder.empty());
    const ProcessResult p = RunQuelmar(script.text, folder, kScriptTimeoutMs);
    const Outcome o = Check(p, folder);
    ++scripts;
    runs += o.runs;
    tokens += script.tokens;
    if (!script.ends_with_x) ++at_end;
    if (o.problems.empty()) {
      unlink((folder + "/sweep_out.txt").c_str());
      if (rmdir(folder.c_str()) != 0) RemoveTree(folder);
      continue;
    }
    ++failures;
    if (p.timed_out) ++hangs;
    WriteFile(folder + "/script.bin", script.text);
    if (failures <= kFailuresShown) {
      std::string report;
      for (const std::string& problem : o.problems) report += "  " + problem + "\n";
      ADD_FAILURE() << "script " << i << " (QUELMAR_FUZZ_SEED=" << seed
                    << " QUELMAR_FUZZ_INDEX=" << i << "), kept in " << folder << "/script.bin:\n"
                    << report << "  printf '%b' '" << Escaped(script.text) << "'";
    }
    if (hangs >= kMaxHangs) {
      ADD_FAILURE() << "stopped after " << hangs << " scripts hung; the last was script " << i;
      break;
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("fuzz totals (shard %d of %d, seed %lu): %ld scripts run, %ld runs performed, "
         "%ld tokens sent, %ld with no x (ended by end of input), %ld failures, %.1f s\n",
         shard + 1, kShards, seed, scripts, runs, tokens, at_end, failures, seconds);
  EXPECT_EQ(failures, 0);
  // Scripts that never get a measurement through would leave the run and
  // the result file untried.
  if (only < 0 && scripts >= 50) {
    EXPECT_GT(runs, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Shard, ConsoleFuzz, ::testing::Range(0, kShards));

}  // namespace
