#include "app/firmware_update_app.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/mouse_search.h"
#include "app/user_data_backup.h"
#include "image/image_file.h"
#include "res/resource.h"

namespace kv27 {

// ------------------------------------------------------------------ application

BEGIN_MESSAGE_MAP(CKV27MFirmwareUpdateApp, CWinApp)
ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CKV27MFirmwareUpdateApp::InitInstance() {
  // Every standard control class, the progress bar among them.
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  Os().InitCommonControlsEx(&icc);
  CWinApp::InitInstance();
  SetRegistryKey(kRegistryKey);

  auto dialog = std::make_unique<CKV27MFirmwareUpdateDlg>(Os());
  dialog->startImage = imagePath;
  dialog->simulatedBackups = simulated;
  if (language) dialog->SetLanguage(*language);
  m_pMainWnd = dialog.get();
  dialogResult = dialog->DoModal();
  m_pMainWnd = nullptr;  // not left pointing at a destroyed dialog
  dialog.reset();
  return FALSE;
}

// ------------------------------------------------------------------ main dialog

BEGIN_MESSAGE_MAP(CKV27MFirmwareUpdateDlg, CDialog)
ON_WM_PAINT()
ON_WM_DESTROY()
ON_WM_QUERYDRAGICON()
ON_WM_TIMER()
ON_BN_CLICKED(IDC_SELECT_IMAGE, &CKV27MFirmwareUpdateDlg::OnSelectImage)
ON_BN_CLICKED(IDC_UPGRADE, &CKV27MFirmwareUpdateDlg::OnUpgrade)
END_MESSAGE_MAP()

CKV27MFirmwareUpdateDlg::CKV27MFirmwareUpdateDlg(OsApi& os, CWnd* parent)
    : CDialog(os, IDD_KV27MFIRMWAREUPDATE_DIALOG, parent),
      presentBitmap(os),
      absentBitmap(os),
      mouseLink(os),
      bootLink(os),
      usbMonitor(os) {
  appIcon = os.LoadIconW(os.GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
  presentBitmap.LoadBitmap(IDB_MOUSE_PRESENT);
  absentBitmap.LoadBitmap(IDB_MOUSE_ABSENT);
  // Chinese for a Chinese UI language, English for every other.
  SetLanguage(LanguageOfLangId(os.GetUserDefaultUILanguage()));
}

void CKV27MFirmwareUpdateDlg::SetLanguage(UiLanguage language) {
  language_ = language;
  m_templateLanguage = LangIdOf(language);
}

std::u16string CKV27MFirmwareUpdateDlg::Text(UINT id) const {
  std::u16string text = LoadResourceString(*m_os, id, LangIdOf(language_));
  if (text.empty()) {
    const char16_t* own = UiText(language_, id);
    if (own) text = own;
  }
  return text;
}

// The members go in reverse order: the monitor, the bootloader link (which
// keeps a device the last run opened until the process ends), the mouse link.
CKV27MFirmwareUpdateDlg::~CKV27MFirmwareUpdateDlg() = default;

void CKV27MFirmwareUpdateDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_DEVICE_INDICATOR, deviceIndicator);
  DDX_Control(pDX, IDC_IMAGE_PATH, imagePathEdit);
  DDX_Control(pDX, IDC_PROGRESS, progressBar);
  DDX_Control(pDX, IDC_UPGRADE, upgradeButton);
  DDX_Control(pDX, IDC_PERCENT, percentText);
}

BOOL CKV27MFirmwareUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetIcon(appIcon, TRUE);
  SetIcon(appIcon, FALSE);
  deviceIndicator.SetBitmap(absentBitmap);
  upgradeButton.EnableWindow(FALSE);

  // The monitor's own notification stays off; the dialog refreshes it.
  usbMonitor.ownerWindow = m_hWnd;
  usbMonitor.Refresh();

  // The path box is still empty here, so the button stays disabled even when
  // the mouse is found.
  ConnectMouse();

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
  usbNotify = m_os->RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);  // unchecked
  filter.dbcc_classguid = IspInterfaceGuid;
  ispNotify = m_os->RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);  // unchecked
  // The mouse's HID collections come up some time after its USB device: the
  // dialog hears of them itself, whether or not the link is open (the link
  // registers only while it is).
  m_os->HidD_GetHidGuid(&filter.dbcc_classguid);
  hidNotify = m_os->RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);  // unchecked

  // The image: the one the program was started with, or the default beside
  // the program. A program path that fills the buffer was cut short, and a
  // default path that would not fit MAX_PATH is not formatted into it: either
  // way there is no default file.
  std::u16string path = startImage;
  if (path.empty()) {
    WCHAR module[kHidMaxPath] = {};
    const DWORD length = m_os->GetModuleFileNameW(nullptr, module, kHidMaxPath);
    std::u16string directory(module, length < kHidMaxPath ? length : 0);
    const std::size_t slash = directory.find_last_of(u'\\');
    if (slash != std::u16string::npos) {
      directory.resize(slash);
      path = directory + u"\\" + kDefaultImageName;
      if (path.size() >= kHidMaxPath) path.clear();
    }
  }
  if (!path.empty()) {
    HANDLE file = m_os->CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    const bool opens = file != INVALID_HANDLE_VALUE;
    if (opens) m_os->CloseHandle(file);
    // A named image is shown even when it cannot be opened: the user asked
    // for it, and an upgrade started from it says what is wrong. It starts by
    // itself only as the default would, when it opens and the mouse is there.
    if (opens || !startImage.empty()) imagePathEdit.SetWindowText(path);
    if (opens && MousePresent()) SetTimer(kAutoStartTimer, kAutoStartDelayMs);
  }
  // A mouse in its bootloader never starts by itself (its settings may have
  // to come from a backup, or from the image): the button is there for it.
  if (bootloaderWaiting) UpdateDeviceState();
  return TRUE;
}

void CKV27MFirmwareUpdateDlg::OnTimer(UINT_PTR id) {
  if (id == kAutoStartTimer) {
    KillTimer(kAutoStartTimer);  // started nowhere else: the automatic start runs once
    OnUpgrade();
  }
  Default();
}

void CKV27MFirmwareUpdateDlg::OnDestroy() {
  if (usbNotify != nullptr) m_os->UnregisterDeviceNotification(usbNotify);
  usbNotify = nullptr;
  if (ispNotify != nullptr) m_os->UnregisterDeviceNotification(ispNotify);
  ispNotify = nullptr;
  if (hidNotify != nullptr) m_os->UnregisterDeviceNotification(hidNotify);
  hidNotify = nullptr;
  Default();
}

void CKV27MFirmwareUpdateDlg::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
  RECT rect{};
  GetClientRect(&rect);
  const int x = (rect.right - rect.left - m_os->GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (rect.bottom - rect.top - m_os->GetSystemMetrics(SM_CYICON) + 1) / 2;
  dc.DrawIcon(x, y, appIcon);
}

HICON CKV27MFirmwareUpdateDlg::OnQueryDragIcon() { return appIcon; }

void CKV27MFirmwareUpdateDlg::OnSelectImage() {
  const std::u16string filter = Text(IDS_IMAGE_FILTER);
  CFileDialog dialog(*m_os, TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, filter.c_str(), this);
  if (dialog.DoModal() != IDOK) return;
  const std::u16string path = dialog.GetPathName();

  // The same checks, in the same order and with the same messages, as the
  // upgrade makes; the decoded data is thrown away with the result.
  {
    const ImageFileResult image = LoadImageFile(*m_os, path.c_str());
    if (!image.ok()) {
      MessageBox(Text(UpgradeMessageId(UpgradeStatusOf(image.error))), nullptr, MB_OK);
      return;  // the path box and the button keep their state
    }
  }
  imagePathEdit.SetWindowText(path);
  if (MouseToUpgrade()) upgradeButton.EnableWindow(TRUE);
}

bool CKV27MFirmwareUpdateDlg::FindMouseInterface(WCHAR* path) { return kv27::FindMouseInterface(*m_os, path); }

void CKV27MFirmwareUpdateDlg::ConnectMouse() {
  mouseLink.Close();
  WCHAR path[kHidMaxPath] = {};
  if (FindMouseInterface(path)) mouseLink.Start(path, this);
  UpdateDeviceState();
}

void CKV27MFirmwareUpdateDlg::UpdateDeviceState() {
  std::u16string ispPath;
  bootloaderWaiting = !MousePresent() && FindIspDevice(*m_os, ispPath);
  if (MouseToUpgrade()) {
    deviceIndicator.SetBitmap(presentBitmap);
    if (imagePathEdit.GetWindowTextLength() > 0) upgradeButton.EnableWindow(TRUE);
  } else {
    deviceIndicator.SetBitmap(absentBitmap);
    upgradeButton.EnableWindow(FALSE);
  }
}

LRESULT CKV27MFirmwareUpdateDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return CDialog::WindowProc(message, wParam, lParam);
  if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE || wParam == DBT_DEVNODES_CHANGED)
    usbMonitor.Refresh();
  const bool wasPresent = MousePresent();
  const std::uint32_t opensBefore = mouseLink.openCount;
  // Every device change reaches the link, whatever wParam holds (the link
  // itself sends one with wParam 0 when a write finds the mouse gone).
  mouseLink.OnDeviceChange(wParam, lParam);
  // The link may have replaced its handle while staying open to our eyes: a
  // removal of its interface, or a write that found the mouse gone, handled
  // once the mouse was back closes the dead handle and opens the mouse
  // afresh. That counts as the mouse leaving and coming back.
  const bool reopened = MousePresent() && mouseLink.openCount != opensBefore;
  // A link that reopened by its own device change (the dialog still its
  // owner) did so by the mouse's ids alone, and those find the mouse's first
  // interface, its standard mouse collection. Only the command interface is
  // ever kept: anything else is replaced by the dialog's own search. That
  // search also runs whenever the link is left closed: the collection the
  // mouse's ids find first is one Windows keeps for itself, which the link
  // cannot open for its reports.
  if ((reopened && !IsMouseCommandInterface(mouseLink.deviceCaps)) || !MousePresent())
    ConnectMouse();
  else if (reopened || MousePresent() != wasPresent)
    UpdateDeviceState();
  return 1;
}

void CKV27MFirmwareUpdateDlg::SetProgress(int percent) {
  progressBar.SetPos(percent);
  const std::string text = std::to_string(percent) + "%";  // "%d%%"
  percentText.SetWindowText(std::u16string(text.begin(), text.end()));
}

namespace {

// The dialog as the face of a run: the progress in its bar and percentage,
// the one message in a box the dialog owns, OK only, no icon, the
// application's name as caption.
//
// The run blocks the dialog's thread, for up to ten minutes while the
// bootloader's driver comes up. So that the window stays drawn and current
// (and Windows does not mark it "Not Responding" after 5 s without a look at
// its queue), the face paints the dialog after each step and during the
// waits, and takes nothing else from the queue: no input, no timer, no device
// change, so the run goes exactly as it would without painting. During a wait
// the percentage shows the seconds left ("587s"; the text box has room for
// four characters), and the percentage again afterwards.
class DialogFace : public UpgradeFace {
 public:
  DialogFace(OsApi& os, CKV27MFirmwareUpdateDlg& dialog) : os_(os), dialog_(dialog) {}
  void SetProgress(int percent) override {
    percent_ = percent;
    dialog_.SetProgress(percent);
    PaintPendingWindows(os_);
  }
  // The message in the dialog's language (the run's own text is the Chinese one).
  void ShowMessage(UpgradeStatus status, const char16_t*) override {
    // A wait's countdown gives way to the percentage. A run refused before its
    // first step (no mouse, no image) set none: the display keeps what the
    // previous run left.
    if (percent_) dialog_.SetProgress(*percent_);
    dialog_.MessageBox(dialog_.Text(UpgradeMessageId(status)), nullptr, MB_OK);
  }
  bool OnWait(UpgradeStage, DWORD elapsedMs, DWORD limitMs) override {
    const DWORD leftMs = limitMs > elapsedMs ? limitMs - elapsedMs : 0;
    const std::string seconds = std::to_string((leftMs + 999) / 1000);
    std::u16string text = dialog_.Text(IDS_COUNTDOWN);  // "%ds"
    const std::size_t at = text.find(u"%d");
    if (at != std::u16string::npos) text.replace(at, 2, std::u16string(seconds.begin(), seconds.end()));
    dialog_.percentText.SetWindowText(text);
    PaintPendingWindows(os_);
    return true;
  }
  // The port the run follows: the backup is named after it.
  void OnMousePort(const USBDeviceEntry& port) override { place_ = PortPlace(port); }
  // The settings just read go to a new backup file before the request that
  // restarts the mouse; without it the run stops here, the mouse untouched.
  bool OnUserDataRead(const std::uint8_t* userData, std::size_t) override {
    const std::u16string folder = UserBackupFolder(os_, dialog_.simulatedBackups);
    std::u16string path;
    DWORD error = 0;
    if (!folder.empty() &&
        WriteNewBackupFile(os_, folder, BackupTimeStamp(os_), place_, EncodeBackup(userData), path, error))
      return true;
    dialog_.MessageBox(dialog_.Text(IDS_BACKUP_FAILED), nullptr, MB_OK);
    return false;
  }
  // A mouse in its bootloader gets the settings of the newest backup of its
  // port. Without one, the image's own, once the user agrees; a newer backup
  // that is damaged is named in the question, and the user agrees to an older
  // sound one too before it is taken.
  bool OnBootloaderUserData(std::uint8_t* userData, std::size_t size, const USBDeviceEntry* port) override {
    const std::u16string place = port != nullptr ? PortPlace(*port) : std::u16string();
    std::vector<std::uint8_t> backup;
    std::u16string path;
    std::vector<std::u16string> damaged;
    const bool found =
        FindNewestBackup(os_, UserBackupFolder(os_, dialog_.simulatedBackups), place, backup, path, &damaged) &&
        backup.size() == size;
    if (found && damaged.empty()) {
      std::memcpy(userData, backup.data(), size);
      return true;
    }
    std::u16string question;
    if (damaged.empty())
      question = dialog_.Text(IDS_NO_BACKUP);
    else if (!found)
      question = Fill(dialog_.Text(IDS_BACKUP_DAMAGED), {FileName(damaged.front())});
    else
      question = Fill(dialog_.Text(IDS_OLDER_BACKUP), {FileName(damaged.front()), FileName(path)});
    if (dialog_.MessageBox(question, nullptr, MB_OKCANCEL) != IDOK) return false;
    if (found) std::memcpy(userData, backup.data(), size);
    return true;
  }

 private:
  static std::u16string FileName(const std::u16string& path) {
    const std::size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
  }
  // The "%s" of a text, in order.
  static std::u16string Fill(std::u16string text, const std::vector<std::u16string>& values) {
    std::size_t from = 0;
    for (const auto& value : values) {
      const std::size_t at = text.find(u"%s", from);
      if (at == std::u16string::npos) break;
      text.replace(at, 2, value);
      from = at + value.size();
    }
    return text;
  }

  OsApi& os_;
  CKV27MFirmwareUpdateDlg& dialog_;
  std::optional<int> percent_;  // the last percentage this run set
  std::u16string place_;        // the followed mouse's place on the bus
};

}  // namespace

void CKV27MFirmwareUpdateDlg::OnUpgrade() {
  const std::u16string path = imagePathEdit.GetWindowText();
  DialogFace face(*m_os, *this);
  const UpgradeDevices devices{mouseLink, bootLink, usbMonitor};
  if (!MousePresent() && bootloaderWaiting)
    RunBootloaderUpgrade(*m_os, devices, path.c_str(), face);
  else
    RunUpgrade(*m_os, devices, path.c_str(), face);
  // The run held the dialog's thread, up to ten minutes, without a look at
  // its device notifications; Windows gives up on a window that does not
  // take one within seconds, so the mouse's departure for its bootloader, a
  // re-plug, its return may all have gone unheard. Handle them now, as one
  // device change: when the link's handle found its device gone, or no mouse
  // is open. A mouse that never left keeps its link and the button its state.
  usbMonitor.Refresh();
  if (mouseLink.deviceGone.load(std::memory_order_acquire) || !MousePresent()) SendMessage(WM_DEVICECHANGE, 0, 0);
}

}  // namespace kv27
