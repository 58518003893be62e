#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options) {
  ProcessResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    result.err = "pipe failed";
    return result;
  }
  // Build argv/envp before fork: the child must only exec.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& add : options.env) {
      auto eq = add.find('=');
      if (entry.compare(0, eq + 1, add, 0, eq + 1) == 0) replaced = true;
    }
    if (!replaced) env_strings.push_back(entry);
  }
  for (const auto& add : options.env) env_strings.push_back(add);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  SetNonBlocking(in_pipe[1]);
  SetNonBlocking(out_pipe[0]);
  SetNonBlocking(err_pipe[0]);

  size_t written = 0;
  int in_fd = in_pipe[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  const long long deadline = NowMs() + options.timeout_ms;
  char buf[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    long long left = deadline - NowMs();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    int r = poll(fds, n, static_cast<int>(left > 1000 ? 1000 : left));
    if (r < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in_fd) {
        ssize_t w = write(in_fd, options.input.data() + written, options.input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) written = options.input.size();
        if (written >= options.input.size()) {
          close(in_fd);
          in_fd = -1;
        }
      } else {
        int& fd = fds[i].fd == out_fd ? out_fd : err_fd;
        std::string& sink = fds[i].fd == out_fd ? result.out : result.err;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
          sink.append(buf, static_cast<size_t>(got));
        } else if (got == 0 || errno != EAGAIN) {
          close(fd);
          fd = -1;
        }
      }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0) close(fd);
  int status = 0;
  if (!result.timed_out) {
    // The pipes are closed; give the process the rest of the time to exit.
    while (true) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (NowMs() > deadline) {
        result.timed_out = true;
        kill(pid, SIGKILL);
        break;
      }
      usleep(2000);
    }
  }
  if (result.timed_out) waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

std::string MakeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/quelmar-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  return std::string(buf.data());
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
  ProcessOptions opts;
  opts.timeout_ms = 20000;
  RunProcess({"/bin/rm", "-rf", path}, opts);
}
