// bimgtool's entry point: picks the process's OS boundary and runs one command.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/world.h"
#include "tools/bimgtool/bimgtool.h"
#include "tools/console/allocation_guard.h"
#include "tools/console/console_platform.h"

int main(int argc, char** argv) {
  // The real platform where there is one; elsewhere a simulated world, which
  // serves ordinary paths from the host disk.
  const int status = kv27::console::RunGuardingAllocation(
      u"bimgtool", kv27::kBimgFailed, [](const std::u16string& line) { kv27::console::WriteStderr(line + u"\n"); },
      [&] {
        std::unique_ptr<w32::OsApi> os = w32::MakeRealOsApi();
        if (!os) os = std::make_unique<kv27::sim::World>();
        std::vector<std::string> args(argv + 1, argv + argc);
        return kv27::RunBimgTool(*os, args, std::cout, std::cerr, kv27::console::UserLanguage());
      });
  std::cout.flush();
  return status;
}
