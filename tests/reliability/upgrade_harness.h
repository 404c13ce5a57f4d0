// A whole upgrade on a simulated PC, as the main dialog runs it, with the
// checks every run must pass whatever went wrong on the way:
//   - exactly one message, the failure table's for the status, and the
//     progress the table leaves on show;
//   - success only with the expected image in the flash (the mouse's own
//     settings at 0x3800-0x3F05, 0xFF at 0x3FFB-0x3FFF);
//   - nothing left open but the two links the dialog keeps;
//   - the mouse can be brought back afterwards, its settings intact: its
//     faults end, the user plugs it in again, and a mouse left in its
//     bootloader is flashed with the image and the settings the run read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/simulation.h"
#include "app/upgrade_sequence.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "sim/mouse_rig.h"
#include "tests/support/program_run.h"
#include "tests/support/upgrade_expectations.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27::test {

struct RecordingFace : UpgradeFace {
  std::vector<int> progress;
  std::vector<std::u16string> messages;
  std::vector<UpgradeStatus> statuses;
  std::vector<std::uint8_t> userData;
  // Runs right after the percentage is recorded, on the run's thread with the
  // world unlocked: a fault that strikes between two steps.
  std::map<int, std::function<void()>> atProgress;

  void SetProgress(int percent) override;
  void ShowMessage(UpgradeStatus status, const char16_t* text) override;
  bool OnUserDataRead(const std::uint8_t* data, std::size_t size) override;
};

// Who runs the upgrade: the sequence through a recording face, with the
// dialog's three device objects; the console upgrader (kv27m-update
// --simulate, with its settings backup), whose recovery is kv27m-isp
// --user-data with that backup; or the dialog program itself (AppMain, the
// main dialog from its compiled template, started as it starts itself, the
// scripted user answering its message box and closing it), whose recovery is
// kv27m-isp --user-data with the settings the dialog read, as they went over
// the bus. The test program defines the one CKV27MFirmwareUpdateApp.
enum class Face { Sequence, Console, Dialog };
const char* FaceName(Face face);

class UpgradeBench {
 public:
  explicit UpgradeBench(Face face = Face::Sequence);
  ~UpgradeBench();
  UpgradeBench(const UpgradeBench&) = delete;
  UpgradeBench& operator=(const UpgradeBench&) = delete;

  // Runs `fault` on the bench once the simulated PC is built (at once for the
  // sequence and the dialog; inside the console upgrader's set-up for the
  // console). Hooks in face.atProgress fire once per percentage: for the
  // dialog when its progress bar takes the position.
  void Prepare(std::function<void(UpgradeBench&)> fault);
  // One run through the face.
  UpgradeStatus Run();
  // Moves the clock on and hands the queued device changes to the mouse link,
  // as the dialog's loop would.
  void Settle(std::uint64_t ms);

  // Every check above for a run that ended with `status`; what failed, one
  // line each, or empty. Leaves the bench with its links closed.
  std::string CheckAfter(UpgradeStatus status);

  sim::MouseRig& rig() { return *rig_; }
  sim::VirtualMouse& mouse() { return rig_->mouse(); }
  // The flash a good run leaves: the plain image with the mouse's settings.
  const sim::BootloaderFlash& expectedFlash() const { return expected_; }
  // The descrambled image as the file holds it.
  const std::vector<std::uint8_t>& plainImage() const { return plain_; }

  sim::World world;
  RecordingFace face;

 private:
  std::string Recover(UpgradeStatus status);
  void Built();  // the settings and the expected flash, once the rig is there
  UpgradeStatus RunConsole();
  UpgradeStatus RunDialog();
  std::string CheckDialog(UpgradeStatus status);
  void Reached(int percent);  // fires a progress hook once

  Face faceKind_;
  std::function<void(UpgradeBench&)> fault_;
  std::vector<int> fired_;
  std::vector<std::u16string> out_, err_;  // the console's lines
  int exitCode_ = -1;
  // The dialog's run: what the program did wrong, the dialog's window, what
  // it showed and held open once its message box was answered.
  std::string programProblems_;
  HWND dialogWindow_ = nullptr;
  View atEnd_;
  std::string othersOpen_ = "not looked at\n";
  bool buttonEnabledAtClick_ = false;
  std::unique_ptr<sim::MouseRig> rig_;
  std::unique_ptr<ProgramRun> program_;
  std::unique_ptr<CUSBDeviceMonitor> monitor_;
  std::unique_ptr<CKV8B05Comm> bootLink_;
  std::unique_ptr<CKV27USBComm> mouseLink_;
  HWND owner_ = nullptr;
  std::vector<std::vector<std::uint8_t>> pages_;  // the settings before the run
  std::vector<std::uint8_t> plain_;
  sim::BootloaderFlash expected_{};
};

std::string Narrow(const std::u16string& text);

}  // namespace kv27::test
