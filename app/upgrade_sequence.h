// The upgrade sequence: one run from the image file to the re-flashed mouse.
//
//   1. check and descramble the image file (the same checks as image selection);
//   2. read the seven user-data pages from the mouse and merge them into the
//      image at 0x3800 (page 6's first six bytes a second time at 0x3F00);
//   3. send the mouse, through its hub port, the string request that restarts
//      it into its bootloader;
//   4. wait for the bootloader, open it, erase, write, read back, compare,
//      verify, set read protection and leave ISP mode.
//
// The whole run follows one physical mouse, the one the mouse link has open:
// before it starts, the run finds the hub port that carries the device the
// link's command interface belongs to; the request goes to that port only,
// and only a bootloader that appears on that port is flashed. Another N4
// mouse beside it, in normal mode or waiting in its bootloader, is never
// touched. When that port cannot be told, the run refuses before anything
// goes to any mouse.
//
// The run is synchronous on the caller's thread and ends with exactly one
// message. It is written once and has several faces: the main dialog shows the
// progress in its bar and the message in a message box; the console upgrader
// draws a bar on the terminal. A face only shows what the run tells it; it
// never changes the steps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_file.h"
#include "platform/os_api.h"
#include "protocol/isp_flash.h"
#include "res/ui_text.h"

namespace kv27 {
using namespace w32;

class CKV27USBComm;
class CKV8B05Comm;
class CUSBDeviceMonitor;
struct USBDeviceEntry;

// How a run ended: success, or the row of the failure table that ended it.
// Every value has its own message (UpgradeMessage).
enum class UpgradeStatus {
  Success = 0,
  MouseAbsent,      // the mouse link is not open
  NoImagePath,      // the path box is empty
  OutOfMemory,      // the image buffer or the read-back buffer
  ImageOpenFailed,  // the image file checks, in their order ...
  HeaderReadFailed,
  InvalidImage,
  NotKv27Image,
  WrongImageName,
  WrongChecksum,
  WrongLength,
  DecodeInitFailed,
  PayloadReadFailed,
  DecodeVerifyFailed,  // ... to here
  UserDataFailed,      // a user-data page could not be read
  BootloaderNotFound,  // no bootloader after the whole search
  BootloaderOpenFailed,
  EraseFailed,
  WriteFailed,
  ReadFailed,
  CompareFailed,
  VerifyFailed,
  ProtectFailed,
  ExitFailed,
  // The hub port of the open mouse cannot be told, so neither could the
  // bootloader it would restart into: the run refuses before anything is
  // read from or sent to any mouse (the mouse, like the path, is checked
  // before the run starts; the progress stays as it was).
  MousePortUnknown,
  // Not a failure: the face ended the run after the user data was read
  // (UpgradeFace::OnUserDataRead); nothing was shown and the mouse is untouched.
  Stopped,
};

// The text of the one message box that ends a run with this status.
const char16_t* UpgradeMessage(UpgradeStatus status);
// The same in `language` (the Chinese text is UpgradeMessage's).
const char16_t* UpgradeMessage(UpgradeStatus status, UiLanguage language);
// The status's message in the program's string table (res/resource.h); 0 for
// Stopped, which shows nothing.
UINT UpgradeMessageId(UpgradeStatus status);
// The status of a run that an image check ended (Success for None), and of
// one that the flash ended.
UpgradeStatus UpgradeStatusOf(ImageFileError error);
UpgradeStatus UpgradeStatusOf(IspFlashResult result);

// The stages a run goes through, for faces that show more than a percentage.
enum class UpgradeStage {
  CheckImage,
  ReadUserData,
  RequestBootloader,
  WaitBootloader,
  Flash,  // open, erase, write, read back, compare, verify, protect, leave
};

// The user data as it goes into the image: seven 256-byte pages and a second
// copy of page 6's first six bytes.
inline constexpr std::size_t kUserDataPages = 7;
inline constexpr std::size_t kUserDataPageSize = 256;
inline constexpr std::size_t kUserDataSize = kUserDataPages * kUserDataPageSize + 6;  // 1798
inline constexpr std::size_t kUserDataOffset = 0x3800;

// What a run shows. SetProgress and ShowMessage are the whole of what the
// dialog shows; the rest are observation points with empty defaults.
class UpgradeFace {
 public:
  virtual ~UpgradeFace() = default;
  // The percentage at the fixed points 0, 10, 20, 50, 55, 60, 80, 85, 90, 95, 100.
  virtual void SetProgress(int percent) = 0;
  // The run's one message, after the working data has been released.
  virtual void ShowMessage(UpgradeStatus status, const char16_t* text) = 0;
  virtual void OnStage(UpgradeStage stage) {}
  // The hub port the run follows (the port that carries the device the mouse
  // link's command interface belongs to: the bootloader request goes there),
  // once located, before anything is read from the mouse. The entry and its
  // connection record are valid during the call only.
  virtual void OnMousePort(const USBDeviceEntry& port) {}
  // The user data just read, as it will be merged (kUserDataSize bytes), before
  // anything is sent that changes the mouse. A face may keep a copy (a backup).
  // Returning false stops the run here without a message (a dry run, or a
  // backup that could not be written; the face reports it itself).
  virtual bool OnUserDataRead(const std::uint8_t* userData, std::size_t size) { return true; }
  // A run on a mouse that waits in its bootloader (RunBootloaderUpgrade) has
  // no settings to read: `userData` (kUserDataSize bytes) holds the image's
  // own defaults from 0x3800, and the face may put a backup of the mouse's
  // settings in their place. `port` is the hub port of the bootloader the
  // run flashes (valid during the call), null when it cannot be told.
  // Returning false stops the run here without a message; nothing has been
  // sent to the mouse.
  virtual bool OnBootloaderUserData(std::uint8_t* userData, std::size_t size, const USBDeviceEntry* port) {
    return true;
  }
  // Called before each search for the bootloader (stage WaitBootloader,
  // elapsed of at most 600 s) and before each attempt to open it (stage Flash,
  // elapsed of the 5 s window): a face can count the time down. It must not
  // block. Returning false ends that wait as if the bootloader never came (the
  // run goes on to its message: not found, or open failed).
  virtual bool OnWait(UpgradeStage stage, DWORD elapsedMs, DWORD limitMs) { return true; }
};

// The dialog's three device objects, which the run borrows.
struct UpgradeDevices {
  CKV27USBComm& mouseLink;
  CKV8B05Comm& bootLink;
  CUSBDeviceMonitor& usbMonitor;
};

// One whole run on the image at `imagePath` (the path box's text; null or empty
// means none). The bootloader link is left open on every path once the run
// has opened it; the mouse link is not closed by the run.
UpgradeStatus RunUpgrade(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath, UpgradeFace& face);

// One run for a mouse that waits in its bootloader, with no mouse in normal
// mode (a flash that failed after the erase leaves it so): the same image
// checks, the settings the face gives (OnBootloaderUserData: a backup, or the
// image's own), then the flash as in RunUpgrade, from the bootloader search
// on, with the same progress points and messages. The run follows the first
// bootloader listed: the settings are chosen for its port, and only the
// bootloader on that port (or, when the port cannot be told, that very
// interface) is flashed, so that with two mice waiting neither gets the
// other's settings. Without a bootloader the run asks for the mouse
// ("please plug in").
UpgradeStatus RunBootloaderUpgrade(OsApi& os, const UpgradeDevices& devices, const WCHAR* imagePath, UpgradeFace& face);

}  // namespace kv27
