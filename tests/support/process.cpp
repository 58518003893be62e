#include "support/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

// Standard input, output and error go through files in a temporary folder:
// no pipe can fill up, and the child sees a plain end of input.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  const std::string io = MakeTempDir();
  const std::string in = io + "/in", out = io + "/out", err = io + "/err";
  WriteFile(in, options.input);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child's freopen would flush a copy of what this process still buffers.
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(in.c_str(), "r", stdin) || !freopen(out.c_str(), "w", stdout) ||
        !freopen(err.c_str(), "w", stderr))
      _exit(126);
    for (const auto& e : options.env) putenv(const_cast<char*>(e.c_str()));
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 2) {
    if (waited_ms >= options.timeout_ms) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  RemoveTree(io);
  return result;
}

std::string MakeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string path = std::string(base && *base ? base : "/tmp") + "/quelmar-test-XXXXXX";
  return mkdtemp(&path[0]) ? path : std::string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/rm", "rm", "-rf", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}
