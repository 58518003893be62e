// A child process beside a test (a busy loop, a sound server), run with the
// NAME=VALUE pairs of `env` added to its environment and its output written
// to `log`, and stopped by its pid when the guard goes out of scope, also
// when the test fails early.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct BackgroundProcess {
  pid_t pid = -1;
  bool ended = false;

  explicit BackgroundProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env = {},
                             const std::string& log = "/dev/null") {
    const pid_t parent = getpid();
    if ((pid = fork()) != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // the child dies with the test, whatever ends it
    if (getppid() != parent) _exit(127);
    for (const std::string& v : env) putenv(strdup(v.c_str()));
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  BackgroundProcess(const BackgroundProcess&) = delete;  // one guard per child

  // False once the child has ended (it is then reaped) or never started.
  bool Running() {
    if (pid > 0 && !ended) ended = waitpid(pid, nullptr, WNOHANG) == pid;
    return pid > 0 && !ended;
  }

  // SIGTERM, then SIGKILL if the child has not ended within five seconds.
  ~BackgroundProcess() {
    if (!Running()) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && Running(); ++i) usleep(50 * 1000);
    if (Running()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};
