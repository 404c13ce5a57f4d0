// The top of every program: an allocation that fails anywhere below it (a
// file too large for the memory left, most likely) ends the program with a
// plain message and the program's own status instead of an uncaught
// exception, which would end it with SIGABRT (or Windows' error box) and no
// word of why.
#pragma once

#include <functional>
#include <new>
#include <string>

namespace kv27::console {

inline int RunGuardingAllocation(const std::u16string& program, int outOfMemoryStatus,
                                 const std::function<void(const std::u16string& line)>& err,
                                 const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // What the body held is released by now, so the message has room.
    err(program + u": out of memory: the program stopped (a file it was given may be too large for the memory left)");
    return outOfMemoryStatus;
  }
}

}  // namespace kv27::console
