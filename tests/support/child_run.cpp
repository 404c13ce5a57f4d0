#include "tests/support/child_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace kv27::test {

ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options) {
  ChildRun run;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  std::vector<char*> argv, envp;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : options.environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  char** const environment = options.environment.empty() ? environ : envp.data();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (options.uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(options.gid) != 0 || ::setuid(options.uid) != 0))
      ::_exit(kCannotChangeUser);
    ::execve(program.c_str(), argv.data(), environment);
    ::_exit(kCannotStart);
  }
  ::close(out[1]);
  ::close(err[1]);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  bool interrupted = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      ::kill(child, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 50))) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (!interrupted && options.interruptWhen && options.interruptWhen(run.out)) {
      interrupted = true;
      ::kill(child, SIGINT);
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0) ::close(fd.fd);
  int status = 0;
  ::waitpid(child, &status, 0);
  run.status = !run.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace kv27::test
