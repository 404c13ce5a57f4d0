// kv27m-isp's entry point: command-line text in, console text out.
#include <string>
#include <vector>

#include "tools/console/allocation_guard.h"
#include "tools/console/console_platform.h"
#include "tools/console/real_usb.h"
#include "tools/kv27m-isp/isp_tool.h"

namespace {

int Run(const std::vector<std::u16string>& args) {
  using namespace kv27::console;
  InstallInterruptHandler();
  kv27::IspToolIo io;
  io.out = [](const std::u16string& line) { WriteStdout(line + u"\n"); };
  io.err = [](const std::u16string& line) { WriteStderr(line + u"\n"); };
  if (StdoutIsTerminal()) io.terminal = [](const std::u16string& text) { WriteStdout(text); };
  io.interrupted = [] { return InterruptRequested(); };
  io.openRealUsb = [](std::u16string& why) { return OpenRealUsb(why); };
  io.language = UserLanguage();
  return RunGuardingAllocation(u"kv27m-isp", kv27::kIspToolFailed, io.err, [&] { return kv27::RunIspTool(args, io); });
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return Run(kv27::console::Arguments(argc, argv)); }
#else
int main(int argc, char** argv) { return Run(kv27::console::Arguments(argc, argv)); }
#endif
