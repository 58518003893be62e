// Seeded random scripts (words, "%i" and "%lf" forms, garbage, long tokens, end of input
// anywhere) must end cleanly (status 0, no signal or hang, empty standard error: no sanitizer
// report) with well-formed status blocks; each run must find the loopback's sync and append
// exactly the table it printed. By hand: QUELMAR_FUZZ_SEED, _COUNT, _INDEX (only script i).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include "support/process.h"
#include "support/transcript.h"

namespace {

constexpr unsigned long kDefaultSeed = 5318008;
constexpr int kShards = 2, kTimeoutMs = 30000, kMaxRuns = 3, kShown = 5;
using Rng = std::mt19937_64;
using List = std::vector<const char*>;

// A braced list is evaluated in order, so a seed makes one script everywhere.
std::vector<unsigned long long> Draw(Rng& r) { return {r(), r(), r(), r()}; }
const char* Pick(Rng& r, const List& list) { return list[r() % list.size()]; }

template <typename... T> std::string Format(const char* format, T... values) {
  char text[512];
  snprintf(text, sizeof text, format, values...);
  return text;
}

const List kWords = {"x", "r", "h", "c", "q", "f", "t", "b", "d", "p"};
const List kSigns = {"", "", "-", "+"};
const List kSeparators = {" ", " ", " ", " ", " ", "\n", "\t", "\r\n", "\v", "\f", "\n\n\n"};
// Near misses; bases, saturation, inf and nan spellings, limits, half numbers.
const List kEdges = {
    "X", "xx", "1q", "\"x\"", "c\x01", "0", "1", "2", "3", "5", "6", "-1", "1025", "0x10", "-010",
    "08", "0x", "0xg", "12abc", "+-1", "2147483648", "-2147483649", "0xffffffffffffffffff", "inf",
    "-INF", "Infinity", "nan", "-nan(0x7ff)", "nan(", "infx", "0x1p1024", "0x1p-1074", "1e309",
    "4.9e-324", ".5", "5.", ".", "1e+", "e5", "0x.", "0xp1", "1.2.3", "24000.0001", "44739", "1.3"};

std::string (*const kMakers[])(Rng&) = {
    [](Rng& r) -> std::string { return Pick(r, kEdges); },
    [](Rng& r) {  // any bytes but white space, which would split the token
      std::string bytes(1 + r() % 40, '\0');
      for (char& b : bytes) do b = char(r() % 256); while (isspace(b & 0xff));
      return bytes;
    },
    [](Rng& r) {  // "%i" of any size in decimal, hexadecimal or octal
      const auto d = Draw(r);
      return Format(Pick(r, {"%s%llu", "%s0x%llx", "%s0%llo"}), kSigns[d[0] % 4],
                    d[1] >> d[2] % 64);
    },
    [](Rng& r) {  // "%lf": exponents far out of range, hex floats up to "inf", fixed point
      const auto d = Draw(r);
      const char* sign = kSigns[d[0] % 4];
      const int power = int(d[2] % 2300) - 1200;
      if (d[0] % 3 == 0) return Format("%s%llu.%llue%d", sign, d[1] % 9999, d[3] % 999, power / 3);
      if (d[0] % 3 == 1) return Format("%s%a", sign, std::ldexp(double(d[1]), power));
      return Format("%s%.*f", sign, int(d[1] % 8), double(d[2] % 30000) / double(1 + d[3] % 999));
    },
    [](Rng& r) {  // 1000 to 10000 characters: long numbers or repeated words
      const auto d = Draw(r);
      return Pick(r, {"", "", "0x", "-0.", "1e"}) +
             std::string(1000 + d[0] % 9000, "179rcx"[d[1] % 6]);
    },
};

bool EndsWith(const std::string& token, char c) { return !token.empty() && token.back() == c; }

// Where runs are allowed, a token after one ending in 'c' is the device "loopback"
// and one after a 't' a short sweep; a '_' goes after a final 'r' (runs not
// allowed or too many) or 'x' (not wanted).
std::string MakeScript(unsigned long seed, long index) {
  std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32), uint32_t(index)};
  Rng r(seq);
  const auto d = Draw(r);
  const bool may_run = d[0] % 4 == 0, ends_with_x = d[1] % 5 == 0;  // in a quarter, a fifth
  const bool cut = !ends_with_x && d[2] % 5 < 3;  // end of input mid-token
  std::string text, previous;
  int runs = 0;
  auto add = [&](std::string t, bool last = false) {
    if (last) t.resize(r() % (t.size() + 1));
    if (may_run && EndsWith(previous, 'c')) t = "loopback";
    if (may_run && EndsWith(previous, 't')) t = Pick(r, {"0", ".05", "0x1p-4", "-0", "nan", "1e9"});
    if (EndsWith(t, 'r') && (!may_run || ++runs > kMaxRuns)) t += '_';
    if (EndsWith(t, 'x') && !ends_with_x) t += '_';
    text += t + (last ? "" : Pick(r, kSeparators));
    previous = t;
  };
  if (may_run) for (const char* t : {"c", "loopback", "t", "0.05"}) add(t);
  for (unsigned long long k = 0, n = 1 + d[3] % 40; k < n; ++k) {
    if (may_run && r() % 12 == 0) for (const char* t : {"r", "c"}) add(t);  // a run, "c" after
    add(r() % 10 < 3 ? Pick(r, kWords) : kMakers[r() % std::size(kMakers)](r), cut && k + 1 == n);
  }
  if (ends_with_x) for (const char* t : {"x", Pick(r, kEdges)}) add(t);  // read if "x" is an answer
  return text;
}

std::string Escaped(const std::string& text) {  // as printf '%b' reads it back
  std::string e;
  for (const unsigned char c : text)
    e += c > 31 && c < 127 && c != '\\' && c != '\'' ? std::string(1, c) : Format("\\x%02x", c);
  return e;
}

// Numbers are read back leniently, then must be in range and print again as the same text.
const char* const kStatus =
    "\nQ: %1.f --- Bands: %i --- Length: %.1f sec\nStart: %.1f Hz --- End: %.1f Hz\nSoundcard:  ";
const char* const kStatusRead =
    "\nQ: %lf --- Bands: %lf --- Length: %lf sec Start: %lf Hz --- End: %lf";
const std::string kRunHead =
    "Running Test...\nCh 2 (sync): Return Level = -6.0 dB\nSync Out = 24032 \t Sync In = 24096 "
    "samples\nAnalyzing data...\nResults:\nBand\tRange (Hz)\tdB\n";
struct Block { size_t at; int bands; std::string device; };

// Everything wrong with one script's outcome, a line each; adds its runs to `runs`.
std::string Check(const ProcessResult& p, const std::string& folder, long& runs) {
  const std::string& out = p.out;
  std::string problems;
  auto fail = [&](const std::string& why, size_t at = std::string::npos) {
    problems += "\n  " + why + (at > out.size() ? "" : " at: " + Escaped(out.substr(at, 160)));
    return problems;
  };
  if (p.timed_out || p.term_signal != 0 || p.exit_status != 0)
    fail(Format("hang %d, signal %d, exit status %d", p.timed_out, p.term_signal, p.exit_status));
  if (!p.err.empty()) fail("standard error (sanitizer?): " + Escaped(p.err.substr(0, 2000)));
  std::vector<Block> blocks;
  for (size_t at = out.find("\nQ: "); at != std::string::npos; at = out.find("\nQ: ", at + 1)) {
    double q = 0, bands = 0, length = 0, start = 0, end = 0;
    const bool sane =
        sscanf(out.substr(at, 512).c_str(), kStatusRead, &q, &bands, &length, &start, &end) == 5 &&
        std::isfinite(q) && q >= 0 && bands >= 0 && bands <= 1024 && length >= 0 &&
        length < 44739 && start >= 0 && start <= 24000 && end >= 0 && end <= 2147483647.0;
    const std::string head = sane ? Format(kStatus, q, int(bands), length, start, end) : "";
    const size_t device = at + head.size(), eol = out.find('\n', device);
    if (!sane || out.compare(at, head.size(), head) != 0 || end != std::floor(end) ||
        eol == std::string::npos || out.compare(eol, kMenu.size() + 2, "\n\n" + kMenu) != 0)
      return fail("bad status block, a value out of range or no menu", at);
    blocks.push_back({at, int(bands), out.substr(device, eol - device)});
  }
  size_t menus = 0;
  for (size_t at = out.find(kMenu); at != std::string::npos; at = out.find(kMenu, at + 1)) ++menus;
  if (out.compare(0, kWarningBox.size(), kWarningBox) != 0 || blocks.empty() ||
      blocks[0].at != kWarningBox.size() || menus != blocks.size())
    return fail("no warning, or status blocks and menus do not pair up", 0);
  // A run: its head, the rows for the band count shown last, and its block in the file.
  std::string tables;
  for (size_t at = out.find("Running Test..."); at != std::string::npos;
       at = out.find("Running Test...", at + 1), ++runs) {
    size_t shown = 0, c = at + kRunHead.size();
    while (shown + 1 < blocks.size() && blocks[shown + 1].at < at) ++shown;
    if (blocks[shown].device != "loopback") return fail("a run not on loopback", at);
    if (out.compare(at, kRunHead.size(), kRunHead) != 0) return fail("bad run head", at);
    double hi = 0;
    for (int k = 1; k <= blocks[shown].bands; ++k) {
      double lo = -1, top = -1, level = 1;
      sscanf(out.substr(c, 512).c_str(), "%*d%lf%lf%lf", &lo, &top, &level);
      const std::string row = Format("%i\t%.0f\t%.0f\t%.1f\n", k, lo, top, level);
      if (out.compare(c, row.size(), row) != 0 || (k > 1 && lo != hi) ||
          !(lo >= 0 && top >= 0 && top <= 2147483647.0 && level <= 0))
        return fail("row " + std::to_string(k) + ": numbering, edges or level above 0 dB", c);
      hi = top;
      c += row.size();
    }
    const size_t table = out.find("Results:\n", at);
    tables += out.substr(table, c - table);
  }
  const std::string file = folder + "/sweep_out.txt";
  if (tables.empty() && access(file.c_str(), F_OK) == 0) fail("file written without a run");
  if (!tables.empty() && ReadFile(file) != tables)
    fail("result file is not the tables printed: " + Escaped(ReadFile(file).substr(0, 400)));
  return problems;
}

long Env(const char* name, long fallback) {
  return getenv(name) && *getenv(name) ? strtol(getenv(name), nullptr, 0) : fallback;
}

class ConsoleFuzz : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleFuzz, RandomScriptsEndCleanlyWithWellFormedOutput) {
  const unsigned long seed = Env("QUELMAR_FUZZ_SEED", kDefaultSeed);
  const long only = Env("QUELMAR_FUZZ_INDEX", -1);
  const long count = Env("QUELMAR_FUZZ_COUNT", QUELMAR_FUZZ_DEFAULT_COUNT);
  long scripts = 0, runs = 0, failures = 0;  // stops after kShown failures
  for (long i = GetParam(); i < (only >= 0 ? only + 1 : count) && failures < kShown; i += kShards) {
    if (only >= 0 && i != only) continue;
    const std::string script = MakeScript(seed, i);
    const std::string folder = MakeTempDir();
    ASSERT_FALSE(folder.empty());
    const std::string problems = Check(RunQuelmar(script, folder, kTimeoutMs), folder, runs);
    ++scripts;
    failures += problems.empty() ? 0 : 1;
    EXPECT_TRUE(problems.empty()) << "script " << i << " (QUELMAR_FUZZ_SEED=" << seed
        << " QUELMAR_FUZZ_INDEX=" << i << "), output in " << folder << ":" << problems
        << "\n  printf '%b' '" << Escaped(script) << "'";
    if (problems.empty()) RemoveTree(folder);
  }
  printf("fuzz totals (shard %d of %d, seed %lu): %ld scripts run, %ld runs, %ld failed\n",
         GetParam() + 1, kShards, seed, scripts, runs, failures);
  EXPECT_TRUE(only >= 0 || scripts < 50 || runs > 0) << "no run: the run and file went untried";
}

INSTANTIATE_TEST_SUITE_P(Shard, ConsoleFuzz, ::testing::Range(0, kShards));

}  // namespace
