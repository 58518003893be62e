// A child process that runs beside a test (a busy loop, a sound server) and
// is stopped by its process id when the guard goes out of scope, also when
// the test fails early.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class BackgroundProcess {
 public:
  // Starts argv[0], looked up in PATH, with the NAME=VALUE pairs of `env`
  // added to its environment and its output written to the file `log`.
  explicit BackgroundProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env = {},
                             const std::string& log = "/dev/null") {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ != 0) return;
    // The child dies with the test process, whatever ends that.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (const std::string& v : env) putenv(strdup(v.c_str()));
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }

  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Asks the child to end, and kills it if it has not within five seconds.
  ~BackgroundProcess() {
    if (!Running()) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && Running(); ++i) {
      timespec pause = {0, 50 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // False once the child has ended (it is then reaped) or never started.
  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    exited_ = waitpid(pid_, nullptr, WNOHANG) == pid_;
    return !exited_;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};
