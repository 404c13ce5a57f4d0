// Which threads use each libudev context of this process. libudev keeps no
// global state, and different contexts may be used by different threads, but
// one context (and every object made from it) must never be used by two
// threads at once; the plain way to be sure is one thread per context. The
// test program interposes the calls that take a context and records the
// calling thread for it, from its udev_new to its last udev_unref.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

namespace kv27::test {

struct UdevContextUse {
  const void* context = nullptr;
  std::vector<std::thread::id> threads;  // each once, in the order of first use
  std::size_t calls = 0;
  bool created = false;  // made by udev_new since the last reset
};

// Every context used since the last reset, those freed included.
std::vector<UdevContextUse> UdevContextsUsed();
void ResetUdevContextWatch();

}  // namespace kv27::test
