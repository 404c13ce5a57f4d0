// A program run as a child process, bounded in real time, optionally as
// another user: the real console programs as the kernel-interface and the
// real-kernel tests run them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kv27::test {

struct ChildOptions {
  uid_t uid = 0;  // the user and group it runs as (0: as this process runs)
  gid_t gid = 0;
  int seconds = 60;  // killed once this much real time has passed
  // Polled while it runs, with what it has printed on standard output so far:
  // once true, the program gets SIGINT (Ctrl+C), once.
  std::function<bool(const std::string& out)> interruptWhen;
  // The whole environment; empty: this process's own.
  std::vector<std::string> environment;
};

struct ChildRun {
  int status = -1;  // exit status; -1 when killed or not run
  bool timedOut = false;
  std::string out, err;
};

// The exit status of a child that could not take the user it was to run as,
// and of one whose program could not be started.
inline constexpr int kCannotChangeUser = 120;
inline constexpr int kCannotStart = 121;

ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options);

}  // namespace kv27::test
