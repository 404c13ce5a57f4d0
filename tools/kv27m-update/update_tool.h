// kv27m-update: upgrades the mouse's firmware from a console, with the very
// sequence the dialog runs, and keeps a backup of the settings first.
//
//   kv27m-update [--simulate[=SCENARIO]] [--verbose] [--dry-run] [--backup FILE]
//                [--capture FILE.pcapng] [--lang=zh|en] [IMAGE]
//   kv27m-update --replay FILE.pcapng [--backup FILE] [--capture FILE.pcapng] [IMAGE]
//   kv27m-update --list
//
// Without IMAGE the image is "KV27M_FW_UPGRADE.bimg" beside the program. The
// settings read from the mouse are saved to a backup file before the mouse is
// sent to its bootloader; when that file cannot be written nothing is sent.
// --capture writes the run's USB traffic as a pcapng file (Wireshark);
// --replay runs the upgrade against the devices of such a capture (see
// capture/replay.h) and reports the first divergence.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/upgrade_sequence.h"
#include "res/ui_text.h"
#include "sim/mouse_rig.h"
#include "sim/world.h"
#include "tools/console/exit_codes.h"
#include "tools/console/real_usb.h"

namespace kv27 {

// Exit status: 0 success (a dry run included), 2 usage, 3 backup not written,
// 4 ended by Ctrl+C, 5 no USB access on this platform, 6 the replay diverged
// from the capture, 7 the capture file refused or not written (or the
// replayed one not read), 8 a device node the user may not open (the message
// names it and the rule file), 9 a replay whose capture has no end record (the
// outcomes cannot be compared), and 10 + the failure's UpgradeStatus value for
// each failure row (UpdateExitCode). UpdateExitCodes gives each its meaning.
constexpr int kUpdateOk = 0;
constexpr int kUpdateUsage = 2;
constexpr int kUpdateBackupFailed = 3;
constexpr int kUpdateCancelled = 4;
constexpr int kUpdateNoHardware = 5;
constexpr int kUpdateReplayDiverged = 6;
constexpr int kUpdateCaptureFailed = 7;
constexpr int kUpdateNoPermission = 8;
// A replay of a capture without its end record: what the run made matched, but
// the captured run's outcome is unknown, so the two cannot be compared.
constexpr int kUpdateReplayIncomplete = 9;
constexpr int kUpdateFailureBase = 10;

int UpdateExitCode(UpgradeStatus status);
// Every exit status with its meaning, in order: what --help and README.md list.
const std::vector<console::ExitCodeRow>& UpdateExitCodes();
// A short English rendering of the status's message.
const char16_t* UpgradeGloss(UpgradeStatus status);

struct UpdateToolIo {
  std::function<void(const std::u16string& line)> out;  // standard output, one line
  std::function<void(const std::u16string& line)> err;  // standard error, one line
  // Standard output as raw text when it is a terminal (the progress bar is
  // drawn in place through it); empty otherwise.
  std::function<void(const std::u16string& text)> terminal;
  // The real program's path: in simulation, an image beside it stands in for
  // the scenario's own (unless the scenario is about a faulty image).
  std::u16string programPath;
  // The per-user backup folder (made when missing; empty when there is none)
  // and the local time stamp for the backup's name.
  std::function<std::u16string()> backupFolder;
  std::function<std::u16string()> timeStamp;
  // Ctrl+C was pressed.
  std::function<bool()> interrupted;
  // Real hardware through a world of real devices (Linux); empty where the
  // platform's own OsApi reaches it (Windows) or nothing does.
  std::function<std::unique_ptr<console::RealUsb>(std::u16string& why)> openRealUsb;
  // The user's language (console::UserLanguage); --lang overrides it. In
  // Chinese the run's message is followed by its English gloss.
  UiLanguage language = UiLanguage::Chinese;

  // For tests: the world to simulate in (else a fresh one), a hook on it once
  // the scenario is built, the rig handed over as soon as it is built (else it
  // goes with the run), and each stage as the run enters it.
  sim::World* world = nullptr;
  std::function<void(sim::World& world)> prepareWorld;
  std::unique_ptr<sim::MouseRig>* keepRig = nullptr;
  std::function<void(UpgradeStage stage)> onStage;
};

// `args` excludes the program name.
int RunUpdateTool(const std::vector<std::u16string>& args, const UpdateToolIo& io);

}  // namespace kv27
