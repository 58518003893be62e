// Every tool and the program through their command lines: the usage, the
// exit statuses 0, 1 and 2, messages without raw control characters, and
// failed runs that leave every file as it was and create none.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "formats/curve_file.h"
#include "support/transcript.h"

namespace {

const std::string kA = QUELMAR_ANALYZE_BIN, kE = QUELMAR_EQ_BIN, kP = QUELMAR_PLOT_BIN,
                  kQ = QUELMAR_BIN, kM = QUELMAR_MEASURE_BIN;

// Every name below `dir` with its kind and content (or a link's target).
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    const std::string name = e->d_name, path = dir + "/" + name;
    struct stat st;
    char link[256] = {};
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      for (const auto& f : Snapshot(path)) files[name + "/" + f.first] = f.second;
    files[name] = S_ISLNK(st.st_mode) && readlink(path.c_str(), link, 255) > 0
                      ? "-> " + std::string(link)
                      : S_ISREG(st.st_mode) ? ReadFile(path) : "folder";
  }
  if (d) closedir(d);
  return files;
}

class Tools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakeTempDir();
    ASSERT_EQ(RunQuelmar("c loopback t 1 r c c nocable r c x", dir_).exit_status, 0);
    ASSERT_EQ(rename((dir_ + "/sweep_001.wav").c_str(), (dir_ + "/good.wav").c_str()), 0);
    ASSERT_EQ(rename((dir_ + "/sweep_002.wav").c_str(), (dir_ + "/nocable.wav").c_str()), 0);
    ASSERT_EQ(Run({kA, "good.wav", "-o", "room.txt"}).exit_status, 0);
    const std::string good = ReadFile(dir_ + "/good.wav");
    std::string no_meta = good;
    no_meta.replace(no_meta.find("format=quelmar"), 6, "FORMAT");
    const std::pair<const char*, std::string> files[] = {
        {"half.wav", good.substr(0, good.size() / 2)}, {"nometa.wav", no_meta},
        {"text.wav", "no\n"}, {"fall.txt", "20 1\n10 2\n"}, {"few.txt", "20 1\n99 2\n300 3"},
        {"resp.txt", "kept\n"}, {"bands.txt", "earlier\n"}, {"huge.txt", "20 1e308\n"},
        {"four.txt", "20,00;10,00;5,0;1\n"}};
    for (const auto& f : files) ASSERT_TRUE(WriteFile(dir_ + "/" + f.first, f.second));
    ASSERT_EQ(mkdir((dir_ + "/adir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("missing.txt", (dir_ + "/lnk.txt").c_str()), 0);
  }
  static void TearDownTestSuite() { RemoveTree(dir_); }
  static ProcessResult Run(const std::vector<std::string>& argv, const char* shell = nullptr) {
    std::vector<std::string> args = argv;
    if (shell) args.insert(args.begin(), {"/bin/sh", "-c", shell, "sh"});
    return RunIn(dir_, args);
  }
  static std::string dir_;
};
std::string Tools::dir_;

const char kFullOutput[] = "exec \"$@\" >/dev/full";
// Stopped a second into its run.
const char kStopped[] = "\"$@\" & sleep 1; kill $!; wait $!";
// No file may grow: standard error goes where the limit does not apply.
const char kFullDisk[] = "trap '' XFSZ; ulimit -f 0; exec \"$@\" 2>/dev/null";

TEST_F(Tools, CommandLinesStatusesAndFailedRunsThatChangeNothing) {
  const struct {
    std::vector<std::string> argv;
    int status;
    std::string err;  // a part of standard error after "<program>: " (the usage after 2)
    const char* shell = nullptr;  // runs the program as "$@"
  } cases[] = {
      {{kQ, "--help"}, 0, ""},
      {{kQ, "-h"}, 1, "error writing standard output: No space left on device", kFullOutput},
      {{kQ, "bogus"}, 2, "unexpected argument 'bogus'\nUsage: quelmar\n"},
      {{kQ, "-x\x1b"}, 2, "unknown option '-x?'\n"},

      {{kA, "--help"}, 0, ""},
      {{kA, "-h"}, 1, "error writing standard output: No space left on device", kFullOutput},
      {{kA, "--bogus\x01"}, 2, "unknown option '--bogus?'\n"},
      {{kA, "--window"}, 2, "option '--window' needs a value\n"},
      {{kA, "--average=1"}, 2, "option '--average' takes no value\n"},
      {{kA, "a.wav", "b.wav", "-o", "x.txt"}, 2,
       "-o and --ir name one file: give one recording or --average"},
      {{kA, "--smooth", "x"}, 1,
       "option '--smooth' needs a whole number from 0 to 1000, found 'x'\n"},
      {{kA, "--window", "0"}, 1,
       "option '--window' needs a number of milliseconds above 0, at most 60000"},
      {{kA, "-o", ""}, 1, "option '-o' needs a file name, found ''\n"},
      {{kA}, 1, "no recording (sweep_NNN.wav) in this folder; name one\n"},
      {{kA, "missing.wav"}, 1, "missing.wav: System error : No such file or directory.\n"},
      {{kA, "text.wav"}, 1, "text.wav: Format not recognised.\n"},
      {{kA, "half.wav"}, 1, "half.wav: truncated: "},
      {{kA, "nometa.wav"}, 1, "nometa.wav: no recording metadata"},
      {{kA, "good.wav", "--cal", "fall.txt"}, 1, "fall.txt: line 2: frequencies must rise"},
      {{kA, "good.wav", "--cal", "no\x1b[31m.txt"}, 1, "cannot read no?[31m.txt: No such file"},
      {{kA, "good.wav", "--cal", "huge.txt"}, 1, "huge.txt: line 1: level beyond +-500 dB\n"},
      {{kA, "good.wav", "--cal", "four.txt"}, 1, "four.txt: line 1: more than three fields"},
      {{kA, "good.wav", "-o", "good.wav"}, 1, "an output would overwrite the input good.wav\n"},
      {{kA, "good.wav", "-o", "y.txt", "--ir", "./y.txt"}, 1,
       "two outputs name the same file: y.txt and ./y.txt"},
      {{kA, "good.wav", "-o", "x.txt", "--bands", "./x.txt"}, 1,
       "two outputs name the same file: x.txt and ./x.txt"},
      {{kA, "good.wav", "nocable.wav", "--bands", "bands.txt"}, 1,
       "nocable.wav: no sync pulse on input 2"},
      {{kA, "-o", "z.txt", "--average", "good.wav", "half.wav"}, 1, "half.wav: truncated"},
      {{kA, "good.wav", "-o", "resp.txt", "--bands", "adir"}, 1, "write adir: Is a directory"},
      {{kA, "good.wav", "-o", "resp.txt", "--ir", "adir"}, 1, "write adir: Is a directory"},
      {{kA, "good.wav", "-o", "resp.txt", "--ir", "/dev/full"}, 1,
       "write /dev/full: No space left"},
      {{kA, "good.wav", "-o", "lnk.txt", "--bands", "adir"}, 1, "write adir: Is a directory"},
      {{kA, "good.wav", "-o", "resp.txt", "--bands", "no/b.txt"}, 1,
       "write no/b.txt: No such file"},
      {{kA, "good.wav", "--distortion", "d.txt"}, 1, "good.wav: its sweep is linear, whose harmonics"},
      {{kA, "good.wav", "--waterfall", "w.txt", "--decay-file", "./good.wav"}, 1,
       "an output would overwrite the input good.wav"},
      {{kA, "--average", "good.wav", "good.wav", "--decay"}, 2, "analyse one recording, not an average"},
      {{kA, "good.wav", "--waterfall-hz", "300:20"}, 1,
       "option '--waterfall-hz' needs LO:HI in Hz with 0 < LO < HI, such as 20:300, found '300:20'"},
      {{kA, "good.wav", "-o", "/dev/null", "--bands", "new.txt"}, 1, "", kFullDisk},

      {{kM, "--help"}, 0, ""},
      {{kM, "-h"}, 1, "error writing standard output: No space left on device", kFullOutput},
      {{kM, "x"}, 2, "unexpected argument 'x'\nUsage: quelmar-measure "},
      {{kM, "--tail"}, 2, "option '--tail' needs a value\n"},
      {{kM, "--sweep", "sine"}, 1, "option '--sweep' needs log or linear, found 'sine'\n"},
      {{kM, "--repeat", "0"}, 1, "option '--repeat' needs a whole number from 1 to 64, found '0'"},
      {{kM, "--to", "30000"}, 1, "--to 30000 Hz is above 0.45 of the rate (21600 Hz at 48000 Hz)"},
      {{kM, "--from", "500", "--to", "400"}, 1, "--from 500 Hz must lie below --to (400 Hz)"},
      {{kM, "--length", "3600", "--repeat", "64"}, 1, "does not fit in a recording"},
      {{kM, "--length", "1", "--repeat", "2"}, 1, "each sweep must last at least as long as --tail"},
      {{kM, "-d", "fault_open"}, 1, "Playback device could not be opened: Device or resource busy"},
      {{kM, "-d", "fault_params_capture"}, 1,
       "Could not set record hardware parameters: Invalid argument"},
      {{kM, "-d", "loopback", "--rate", "44100"}, 1, "loopback runs at 48000 Hz, not 44100 Hz"},
      {{kM, "-d", "nocable"}, 1, "no click came back on input 2: wire output 2 to input 2"},
      {{kM, "-d", "loopback", "--capture", "deadmic"}, 1, "the marker before the sweep was not heard"},
      {{kM, "-d", "enodev"}, 1, "Playback failed during the test: No such device"},
      {{kM, "-d", "loopback", "-o", "adir"}, 1, "adir: not a regular file"},
      {{kM, "-d", "loopback", "-o", "no/r.wav"}, 1, "cannot write no/r.wav: No such file"},
      {{kM, "-d", "loopback", "--length", "1"}, 1, "", kFullDisk},
      {{kM, "-d", "realtime"}, 1, "interrupted; nothing was written\n", kStopped},

      {{kE, "--help"}, 0, ""},
      {{kE, "room.txt", "-o", "/dev/null"}, 1,
       "error writing standard output: No space left", kFullOutput},
      {{kE}, 2, "no response file given\n"},
      {{kE, "room.txt", "x.txt"}, 2, "more than one response file given ('x.txt')\n"},
      {{kE, "room.txt", "--filters"}, 2, "option '--filters' needs a value\n"},
      {{kE, "room.txt", "--bogus"}, 2, "unknown option '--bogus'\n"},
      {{kE, "room.txt", "--filters", "0"}, 1,
       "option '--filters' needs a whole number from 1 to 20, found '0'"},
      {{kE, "room.txt", "--format", "xml"}, 1,
       "option '--format' needs apo or camilladsp, found 'xml'"},
      {{kE, "room.txt", "--range", "0.001-300"}, 1,
       "option '--range' needs LO-HI in Hz, at least a third of an octave wide, within 1 to"},
      {{kE, "resp.txt"}, 1, "resp.txt: not a response: no lines of frequency and level in dB"},
      {{kE, "few.txt"}, 1, "few.txt: too few points in 20-300 Hz (3); at least 4 are needed"},
      {{kE, "room.txt", "--range", "5-300"}, 1,
       "room.txt: the range 5-300 Hz reaches beyond the response's data"},
      {{kE, "room.txt", "--reference", "300-20000"}, 1,
       "room.txt: the reference band 300-20000 Hz reaches beyond the response's data"},
      {{kE, "r\x1b]0;x\x07.txt"}, 1, "cannot read r?]0;x?.txt: No such file or directory\n"},
      {{kE, "room.txt", "--predicted", "room.txt"}, 1,
       "an output would overwrite the input room.txt\n"},
      {{kE, "room.txt", "--predicted", "p2.txt", "-o", "./p2.txt"}, 1,
       "two outputs name the same file: ./p2.txt and p2.txt"},
      {{kE, "room.txt", "--predicted", "resp.txt", "-o", "adir"}, 1, "write adir: Is a directory"},
      {{kE, "room.txt", "--predicted", "lnk.txt", "-o", "adir"}, 1, "write adir: Is a directory"},
      {{kE, "room.txt", "--predicted", "p.txt", "-o", "no/eq.txt"}, 1, "cannot write no/eq.txt"},

      {{kP, "-h"}, 0, ""},
      {{kP, "room.txt", "-o", "/dev/null"}, 1,
       "error writing standard output: No space left", kFullOutput},
      {{kP, "-x"}, 2, "unknown option '-x'\nUsage: quelmar-plot [FILE ...] [-o OUT.svg]"},
      {{kP, "--last", "0"}, 1, "option '--last' needs a whole number of 1 or more, found '0'\n"},
      {{kP, "--db-range", "5:-5"}, 1,
       "option '--db-range' needs LO:HI in dB with LO below HI, such as -30:10, found '5:-5'"},
      {{kP, "none.txt"}, 1, "cannot read none.txt: No such file or directory\n"},
      {{kP, "resp.txt"}, 1,
       "resp.txt: no \"Results:\" block and no line of frequency and level: nothing to plot"},
      {{kP, "fall.txt"}, 1, "fall.txt: line 2: frequencies must rise from line to line\n"},
      {{kP, "room.txt", "-o", "./room.txt"}, 1, "an output would overwrite the input room.txt\n"},
      {{kP, "room.txt", "-o", "no\x1b/c.svg"}, 1,
       "cannot write no?/c.svg: No such file or directory\n"},
  };
  const std::map<std::string, std::string> before = Snapshot(dir_);
  for (const auto& c : cases) {
    const std::string program = c.argv[0].substr(c.argv[0].rfind('/') + 1);
    SCOPED_TRACE(program + (c.argv.size() > 1 ? " " + c.argv[1] : "") + (c.shell ? " (sh)" : ""));
    const ProcessResult r = Run(c.argv, c.shell);
    EXPECT_EQ(r.exit_status, c.status);
    const std::string usage = "Usage: " + program + (program == "quelmar" ? "\n" : " ");
    EXPECT_EQ(r.out.rfind(usage, 0) == 0, c.status == 0);
    EXPECT_TRUE(c.status == 0 || r.out.empty()) << r.out;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
      EXPECT_LE(end - at, 79u) << r.out.substr(at, end - at);  // the usage fits 80 columns
    EXPECT_EQ(c.err.empty(), r.err.empty()) << r.err;
    EXPECT_TRUE(r.err.empty() || r.err.rfind(program + ": ", 0) == 0) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(c.status == 2, r.err.find("\nUsage: " + program) != std::string::npos) << r.err;
    for (unsigned char ch : r.err) EXPECT_TRUE(ch == '\n' || ch >= 0x20) << r.err;
    EXPECT_EQ(Snapshot(dir_), before);
  }
}

// A name's line break or any character a reader refuses never breaks a file:
// responses and predictions parse to their own points only, and CamillaDSP
// files parse as YAML.
TEST_F(Tools, NamesInHeadersAndCommentsCannotBreakAFile) {
  const std::string room = ReadFile(dir_ + "/room.txt"), odd = "r\xff\xc2\x80\xc2\x85\xe2\x80\xa8";
  ASSERT_TRUE(WriteFile(dir_ + "/rec\n1 60", ReadFile(dir_ + "/good.wav")) &&
              WriteFile(dir_ + "/cal\n5 40", "100 0\n1000 0\n") &&
              WriteFile(dir_ + "/r\n5 40", room) &&
              WriteFile(dir_ + "/" + odd, room));
  const struct { std::vector<std::string> argv; std::string file; } cases[] = {
      {{kA, "rec\n1 60", "--cal", "cal\n5 40", "-o", "n.txt"}, "n.txt"},
      {{kE, "r\n5 40", "--predicted", "n.txt"}, "n.txt"},
      {{kE, odd, "--format", "camilladsp", "-o", "n.yml"}, "n.yml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[1]);
    ASSERT_EQ(Run(c.argv).exit_status, 0);
    const std::string text = ReadFile(dir_ + "/" + c.file);
    Curve curve;
    std::string error;
    if (c.file == "n.yml") {
      const char* load = "import sys, yaml; yaml.safe_load(open(sys.argv[1], 'rb'))";
      const ProcessResult r = Run({PYTHON3_BIN, "-c", load, c.file});
      EXPECT_EQ(r.exit_status, 0) << r.err << text;
    } else {
      EXPECT_TRUE(ParseCurve(text.data(), text.size(), &curve, &error) && curve.freq.front() > 10)
          << error << text;
    }
  }
}

}  // namespace
