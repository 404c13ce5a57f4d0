// A whole replay of a capture of any content: kv27m-update --replay (or
// kv27m-isp --replay for a capture that names it) runs the upgrade against
// the devices the capture describes, in a fresh simulated world, in virtual
// time. Each input is bounded: captured delays cost no more than their caps
// (capture/replay.h), so a run takes at most some virtual minutes.
//
// Checks: the program ends (libFuzzer's -timeout catches a hang) with one of
// its documented exit statuses, and leaves no handle, thread or transfer
// behind in the world.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/replay.h"
#include "sim/world.h"
#include "tools/kv27m-isp/isp_tool.h"
#include "tools/kv27m-update/update_tool.h"

using namespace kv27;

namespace {

void Require(bool condition, const char* what, const std::string& detail = {}) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_replay: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
  }
}

constexpr char16_t kPath[] = u"C:\\captures\\run.pcapng";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char kIsp[] = "program=kv27m-isp";
  const bool isp = std::search(data, data + size, kIsp, kIsp + sizeof kIsp - 1) != data + size;

  sim::World world;
  world.SetHostFiles(false);
  world.AddDirectory(u"C:\\captures");
  world.AddFile(kPath, std::vector<std::uint8_t>(data, data + size));
  int status = -1;
  if (isp) {
    IspToolIo io;
    io.out = [](const std::u16string&) {};
    io.err = [](const std::u16string&) {};
    io.world = &world;
    status = RunIspTool({u"--replay", kPath}, io);
    Require(status == kIspToolOk || status == kIspToolFailed || status == kIspToolReplayDiverged ||
                status == kIspToolCaptureFailed || status == kIspToolReplayIncomplete,
            "kv27m-isp --replay ended with an undocumented status", std::to_string(status));
  } else {
    UpdateToolIo io;
    io.out = [](const std::u16string&) {};
    io.err = [](const std::u16string&) {};
    io.backupFolder = [] { return std::u16string(u"C:\\captures"); };
    io.timeStamp = [] { return std::u16string(u"1"); };
    io.world = &world;
    status = RunUpdateTool({u"--replay", kPath}, io);
    Require(status == kUpdateOk || status == kUpdateReplayDiverged || status == kUpdateCaptureFailed ||
                status == kUpdateReplayIncomplete || (status > kUpdateFailureBase && status <= 34),
            "kv27m-update --replay ended with an undocumented status", std::to_string(status));
  }
  const std::string leaks = world.LeakReport();
  Require(leaks.empty(), "the replay leaves something behind", leaks);
  return 0;
}
