// kv27m-update's entry point: the command line in, the console out.
#include <string>
#include <vector>

#include "tools/console/allocation_guard.h"
#include "tools/console/console_platform.h"
#include "tools/console/real_usb.h"
#include "tools/kv27m-update/update_tool.h"

namespace {

int Run(const std::vector<std::u16string>& args) {
  using namespace kv27::console;
  InstallInterruptHandler();
  kv27::UpdateToolIo io;
  io.out = [](const std::u16string& line) { WriteStdout(line + u"\n"); };
  io.err = [](const std::u16string& line) { WriteStderr(line + u"\n"); };
  if (StdoutIsTerminal()) io.terminal = [](const std::u16string& text) { WriteStdout(text); };
  io.programPath = ProgramPath();
  io.backupFolder = [] { return BackupFolder(); };
  io.timeStamp = [] { return LocalTimeStamp(); };
  io.interrupted = [] { return InterruptRequested(); };
  io.openRealUsb = [](std::u16string& why) { return OpenRealUsb(why); };
  io.language = UserLanguage();
  return RunGuardingAllocation(u"kv27m-update", kv27::UpdateExitCode(kv27::UpgradeStatus::OutOfMemory), io.err,
                               [&] { return kv27::RunUpdateTool(args, io); });
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return Run(kv27::console::Arguments(argc, argv)); }
#else
int main(int argc, char** argv) { return Run(kv27::console::Arguments(argc, argv)); }
#endif
