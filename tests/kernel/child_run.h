// A program run as a child process, as another user, bounded in real time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kv27::test {

struct ChildOptions {
  uid_t uid = 0;  // the user and group it runs as (root: 0, no change)
  gid_t gid = 0;
  int seconds = 60;  // killed once this much real time has passed
  // Polled while it runs: once true, the program gets SIGINT (Ctrl+C) once.
  std::function<bool()> interruptWhen;
  std::vector<std::string> environment;  // the whole environment
};

struct ChildRun {
  int status = -1;  // exit status; -1 when killed or not run
  bool timedOut = false;
  std::string out, err;
};

ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options);

}  // namespace kv27::test
