// kv27m-isp: flashes a firmware image onto a mouse that waits in its ISP
// bootloader, for example after an upgrade that failed half-way.
//
//   kv27m-isp [--simulate] [--verbose] [--user-data BACKUP] [--capture FILE.pcapng] [--lang=zh|en] IMAGE
//   kv27m-isp --replay FILE.pcapng [--user-data BACKUP] [IMAGE]
//   kv27m-isp --list
//
// The image goes through the same file checks as in the upgrade; the flash is
// the upgrade's own flash routine. --user-data merges a settings backup
// written by kv27m-update into the image (at 0x3800) so that the mouse gets
// its settings back; a backup that fails its checks is refused. With
// --simulate the run happens in a simulated world with a virtual bootloader on
// the bus.
//
// --capture writes the run's USB traffic as a pcapng file (Wireshark);
// --replay flashes against the bootloader of such a capture (see
// capture/replay.h) and reports the first divergence.
//
// Exit status: 0 success, 1 failure (the message says which), 2 usage error or
// no real platform, 3 backup refused, 4 ended by Ctrl+C while waiting, 5 the
// replay diverged from the capture, 6 the capture file refused or not written
// (or the replayed one not read), 7 a device node this user may not open (the
// message names it and the rule file), 8 a replay whose capture has no end
// record (the outcomes cannot be compared). IspExitCodes gives each its
// meaning.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "res/ui_text.h"
#include "sim/world.h"
#include "tools/console/exit_codes.h"
#include "tools/console/real_usb.h"

namespace kv27 {

constexpr int kIspToolOk = 0;
constexpr int kIspToolFailed = 1;
constexpr int kIspToolUsage = 2;
constexpr int kIspToolBadBackup = 3;
constexpr int kIspToolCancelled = 4;
constexpr int kIspToolReplayDiverged = 5;
constexpr int kIspToolCaptureFailed = 6;
constexpr int kIspToolNoPermission = 7;
// A replay of a capture without its end record: the outcomes cannot be compared.
constexpr int kIspToolReplayIncomplete = 8;
// Every exit status with its meaning, in order: what --help and README.md list.
const std::vector<console::ExitCodeRow>& IspExitCodes();

struct IspToolIo {
  std::function<void(const std::u16string& line)> out;  // progress and the final message
  std::function<void(const std::u16string& line)> err;  // usage and platform problems
  // Standard output as raw text when it is a terminal (the progress bar is
  // drawn in place through it); empty otherwise.
  std::function<void(const std::u16string& text)> terminal;
  // Ctrl+C was pressed: ends the wait for the bootloader.
  std::function<bool()> interrupted;
  // Real hardware through a world of real devices (Linux); empty where the
  // platform's own OsApi reaches it (Windows) or nothing does.
  std::function<std::unique_ptr<console::RealUsb>(std::u16string& why)> openRealUsb;
  // Called on the simulated world before the run (tests add files and faults).
  std::function<void(sim::World& world)> prepareWorld;
  // For tests: simulate (or replay) in this world as it stands (its
  // bootloader included) instead of a fresh one with a bootloader of its own.
  sim::World* world = nullptr;
  // The user's language (console::UserLanguage); --lang overrides it.
  UiLanguage language = UiLanguage::Chinese;
};

// `args` excludes the program name.
int RunIspTool(const std::vector<std::u16string>& args, const IspToolIo& io);

}  // namespace kv27
