// kv27m-isp: flashes a firmware image onto a mouse that waits in its ISP
// bootloader, for example after an upgrade that failed half-way.
//
//   kv27m-isp [--simulate] IMAGE
//
// The image goes through the same file checks as in the upgrade; the flash is
// the upgrade's own flash routine. With --simulate the run happens in a
// simulated world with a virtual bootloader on the bus.
//
// Exit status: 0 success, 1 failure (the message says which), 2 usage error or
// no real platform.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/world.h"

namespace kv27 {

constexpr int kIspToolOk = 0;
constexpr int kIspToolFailed = 1;
constexpr int kIspToolUsage = 2;

struct IspToolIo {
  std::function<void(const std::u16string& line)> out;  // progress and the final message
  std::function<void(const std::u16string& line)> err;  // usage and platform problems
  // Called on the simulated world before the run (tests add files and faults).
  std::function<void(sim::World& world)> prepareWorld;
};

// `args` excludes the program name.
int RunIspTool(const std::vector<std::u16string>& args, const IspToolIo& io);

}  // namespace kv27
