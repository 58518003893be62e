// What the benchmarks share: a child program run and measured as the
// operating system counts it (CPU time, peak resident memory, page faults,
// wall time, from wait4), the medians of several runs, and a line that
// describes the machine.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct Sample {
  double cpu_ms = 0, user_ms = 0, sys_ms = 0, wall_ms = 0;
  double rss_mib = 0;
  double minor_faults = 0;
};

std::string ReadWhole(const std::string& path);
bool WriteWhole(const std::string& path, const std::string& text);

// Starts argv in `dir` with standard input, output and error on the given
// files and ALSA_CONFIG_PATH set to `alsa_config_path`; it is killed after
// `timeout_s` seconds. Returns its process id, or -1.
pid_t StartChild(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& in, const std::string& out, const std::string& err,
                 const std::string& alsa_config_path, int timeout_s);
// Waits for it and fills `sample` from its resource usage (wall time from
// `started`, NowMs when it was started); returns its exit status, or -1 when
// it did not exit normally.
int WaitChild(pid_t pid, const std::string& name, double started, Sample& sample);
// Both in one.
int MeasureChild(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& in, const std::string& out, const std::string& err,
                 const std::string& alsa_config_path, int timeout_s, Sample& sample);

double NowMs();

double Median(std::vector<Sample>& samples, double Sample::*field);
// "name  CPU ms  min-max  user  system  peak MiB  minflt  wall ms", medians.
void PrintRow(const char* name, std::vector<Sample>& samples);
// The header of those rows.
void PrintHeader();

// The machine: its processors, kernel, huge-page mode and load at start.
std::string MachineLine();

// One option of a benchmark's command line, "--name VALUE": `set` reads
// the value, false when it is bad.
struct BenchOption {
  const char* name;
  std::function<bool(const char* value)> set;
};

// Reads the command line of the benchmark `bench`: -h or --help prints
// `usage`; a bad argument is named on standard error with the usage.
// Returns the exit status when the benchmark is to stop (0 or 2), -1 when
// it is to go on.
int ParseBenchOptions(int argc, char** argv, const char* bench,
                      const std::vector<BenchOption>& options, const char* usage);

// A whole number from `lowest` to 1000 into *out.
bool ParseCount(const char* text, int lowest, int* out);

// The children run in a temporary folder: a program named by a relative
// path is made absolute (a bare name is looked up in PATH). False, with the
// message, when it is not found.
bool AbsoluteProgram(const char* bench, std::string* program);

// A new temporary folder, or "" with the message.
std::string TemporaryFolder();
