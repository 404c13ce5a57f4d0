// The upgrade program's application object and its one window, the main
// dialog (template 102).
//
// The dialog shows whether the mouse is connected (the indicator bitmap beside
// "USB设备："), lets the user choose an image file and checks it, and runs the
// upgrade sequence (RunUpgrade) with itself as the face: the progress in its
// bar and percentage, the run's one message in a message box it owns. When the
// default image file lies beside the program and the mouse is connected as the
// dialog opens, the upgrade starts by itself 100 ms later, once.
//
// The mouse counts as present exactly while the mouse link's device handle is
// open. A mouse that waits in its bootloader (a flash that failed after the
// erase leaves it there) counts as one to upgrade while no mouse is in normal
// mode: the indicator and the button show it as they show the mouse, and the
// upgrade flashes it with the settings of its newest backup (or the image's
// own, when it has none, once the user agrees). Before every request that
// restarts a mouse into its bootloader the dialog saves its settings to a
// backup file in the per-user folder, as the console upgrader does; without
// that file nothing is sent. The program defines the one global
// CKV27MFirmwareUpdateApp; this library only provides the classes.
#pragma once

#include <optional>
#include <string>

#include "app/upgrade_sequence.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "res/ui_text.h"
#include "ui/app.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {

// The default image file beside the program, and the file dialog's filter
// (the string table's IDS_IMAGE_FILTER, the same in every language).
inline constexpr char16_t kDefaultImageFormat[] = u"%s\\KV27M_FW_UPGRADE.bimg";
inline constexpr char16_t kDefaultImageName[] = u"KV27M_FW_UPGRADE.bimg";
inline constexpr char16_t kImageFilter[] = u"Firmware Image (*.bimg)|*.bimg|";
// The settings key the application selects; nothing is stored there.
inline constexpr char16_t kRegistryKey[] = u"应用程序向导生成的本地应用程序";
// The dialog's own messages beside the upgrade's (the Chinese texts of the
// string table's IDS_BACKUP_FAILED and IDS_NO_BACKUP): the settings backup could
// not be written (nothing was sent to the mouse); a mouse in its bootloader
// has no backup, and the image's default settings will be flashed (OK goes
// on, Cancel stops before anything is sent).
inline constexpr char16_t kBackupFailedText[] = u"备份用户数据失败！";
inline constexpr char16_t kNoBackupText[] = u"未找到此设备的用户数据备份！\n将使用镜像文件中的默认设置升级，是否继续？";
// The same question when the device's newest backup is damaged (IDS_BACKUP_DAMAGED,
// "%s" the damaged file's name), and when an older sound one is left
// (IDS_OLDER_BACKUP, "%s" the damaged file's name, then the older one's).
inline constexpr char16_t kBackupDamagedText[] =
    u"此设备的用户数据备份已损坏：\n%s\n将使用镜像文件中的默认设置升级，是否继续？";
inline constexpr char16_t kOlderBackupText[] =
    u"此设备最新的用户数据备份已损坏：\n%s\n将使用较早的备份升级：\n%s\n是否继续？";
// Timer 1 starts the upgrade once, this long after the dialog opened.
inline constexpr UINT_PTR kAutoStartTimer = 1;
inline constexpr UINT kAutoStartDelayMs = 100;

class CKV27MFirmwareUpdateApp : public CWinApp {
 public:
  CKV27MFirmwareUpdateApp() : CWinApp(nullptr) {}
  // Prepares the common controls, selects the settings key, runs the main
  // dialog modally and returns false: the process ends when it closes.
  BOOL InitInstance() override;

  // The image named on the program's command line (a file dropped on the
  // program or opened with it); empty: the default image beside the program.
  std::u16string imagePath;

  // The main dialog's result of the last InitInstance (what DoModal gave).
  INT_PTR dialogResult = 0;

  // The language the command line asked for (--lang); none: the user's UI
  // language decides.
  std::optional<UiLanguage> language;

  // The devices are simulated (--simulate): the settings backups go to the
  // per-user folder's "simulated" subfolder, apart from the real mice's.
  bool simulated = false;

  DECLARE_MESSAGE_MAP()
};

class CKV27MFirmwareUpdateDlg : public CDialog {
 public:
  explicit CKV27MFirmwareUpdateDlg(OsApi& os, CWnd* parent = nullptr);
  ~CKV27MFirmwareUpdateDlg() override;

  // Fills `path` (kHidMaxPath units) with the mouse's command interface; true
  // when found.
  bool FindMouseInterface(WCHAR* path);
  // Closes the mouse link and starts it again on a fresh search.
  void ConnectMouse();
  // The indicator and the upgrade button after the mouse link's open state.
  void UpdateDeviceState();
  // The bar's position and the percentage text ("%d%%").
  void SetProgress(int percent);
  // One upgrade run on the path box's image (button 1003, or timer 1).
  void OnUpgrade();
  // Button 1001: choose an image file and check it.
  void OnSelectImage();

  // The language of the template and of every text the dialog shows; set
  // before DoModal. The dialog starts in the user's UI language.
  void SetLanguage(UiLanguage language);
  UiLanguage Language() const { return language_; }
  // Text `id` of the string table in the dialog's language, from the
  // program's resources (from the built-in table if they lack it).
  std::u16string Text(UINT id) const;

  bool MousePresent() const { return mouseLink.device != nullptr; }
  // A mouse to upgrade: in normal mode, or else waiting in its bootloader.
  bool MouseToUpgrade() const { return MousePresent() || bootloaderWaiting; }

  HICON appIcon = nullptr;
  CBitmap presentBitmap;
  CBitmap absentBitmap;
  CStatic deviceIndicator;
  CEdit imagePathEdit;
  CProgressCtrl progressBar;
  CButton upgradeButton;
  CStatic percentText;
  CKV27USBComm mouseLink;
  CKV8B05Comm bootLink;
  CUSBDeviceMonitor usbMonitor;
  HDEVNOTIFY usbNotify = nullptr;
  // Registration for the bootloader's interface class, whose arrival may
  // follow the USB device's.
  HDEVNOTIFY ispNotify = nullptr;
  // Registration for HID interfaces, independent of the mouse link's.
  HDEVNOTIFY hidNotify = nullptr;
  // No mouse in normal mode, and a bootloader present (UpdateDeviceState).
  bool bootloaderWaiting = false;
  // The image the program was started with, set before the dialog runs; it
  // takes the place of the default image beside the program.
  std::u16string startImage;
  // The settings backups are a simulated mouse's: they are written to, and
  // taken from, the per-user folder's "simulated" subfolder only.
  bool simulatedBackups = false;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  // WM_DEVICECHANGE is handled here, before the message map.
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  BOOL OnInitDialog() override;

  void OnPaint();
  void OnDestroy();
  HICON OnQueryDragIcon();
  void OnTimer(UINT_PTR id);

 private:
  UiLanguage language_ = UiLanguage::Chinese;
  DECLARE_MESSAGE_MAP()
};

}  // namespace kv27
