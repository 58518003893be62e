// Runs a program as a child process with a given standard input and
// captures its standard output, standard error and exit status.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
  int exit_status = -1;  // exit code, or -1 when killed by a signal
  int term_signal = 0;   // the signal that ended it, 0 if it exited
  bool timed_out = false;
};

struct ProcessOptions {
  std::string input;                // fed to standard input, then closed
  std::vector<std::string> env;     // NAME=VALUE pairs set in the environment
  std::string cwd;                  // working folder; empty keeps the current one
  int timeout_ms = 60000;           // killed (SIGKILL) after this long
};

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options);

// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir();

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);

// Removes a folder tree (best effort).
void RemoveTree(const std::string& path);
