// The dialog framework on the simulated window system: a dialog shaped like
// the program's main dialog runs modally from a template, its messages go
// through the message map and the WindowProc override, DDX binds its controls,
// and a scripted user clicks, picks files and answers message boxes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "res/compiled_resources.h"
#include "res/resource.h"
#include "sim/world.h"
#include "ui/app.h"
#include "ui/controls.h"
#include "ui/dialog.h"

namespace kv27 {
namespace {

using namespace w32;

constexpr WORD kTemplate = 102;
constexpr WORD kIcon = 128;
constexpr WORD kAbsentBitmap = 129;
constexpr WORD kPresentBitmap = 130;
constexpr int kPathEdit = 1000, kChoose = 1001, kProgress = 1002, kUpgrade = 1003, kPercent = 1004, kIndicator = 1007;
constexpr GUID kUsbClass = GUID_DEVINTERFACE_USB_DEVICE;
const std::u16string kMousePath = u"\\\\?\\usb#vid_4e5b&pid_002a#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// The application object of this test program (the first CWinApp is the one).
class CTestApp : public CWinApp {
 public:
  BOOL InitInstance() override;
  void OnHelpCommand() { ++helpCommands; }
  int helpCommands = 0;
  bool ranDialog = false;
  INT_PTR dialogResult = 0;
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
ON_COMMAND(ID_HELP, &CTestApp::OnHelpCommand)
END_MESSAGE_MAP()
CTestApp theApp;

sim::DialogTemplate MainTemplate() {
  sim::DialogTemplate t;
  t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT;
  t.exStyle = WS_EX_APPWINDOW;
  t.cx = 319;
  t.cy = 120;
  t.caption = u"Test dialog";
  t.fontName = u"MS Shell Dlg";
  t.pointSize = 9;
  const DWORD child = WS_CHILD | WS_VISIBLE;
  t.items = {
      {0, u"Static", u"Image:", 0, child | WS_GROUP},
      {kPathEdit, u"Edit", u"", 0, child | WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL},
      {kChoose, u"Button", u"Choose", 0, child | WS_TABSTOP},
      {kProgress, u"msctls_progress32", u"", 0, child | WS_BORDER},
      {kUpgrade, u"Button", u"Upgrade", 0, child | WS_TABSTOP | WS_DISABLED},
      {kIndicator, u"Static", u"", kAbsentBitmap, child | SS_BITMAP},
      {kPercent, u"Static", u"0%", 0, child | WS_GROUP | SS_RIGHT},
  };
  return t;
}

// A dialog built the way the program's main dialog is.
class CMainLikeDlg : public CDialog {
 public:
  explicit CMainLikeDlg(sim::World& world)
      : CDialog(world, kTemplate), world(world), presentBitmap(world), absentBitmap(world) {
    appIcon = world.LoadIconW(world.GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIcon));
    presentBitmap.LoadBitmap(kPresentBitmap);
    absentBitmap.LoadBitmap(kAbsentBitmap);
  }

  sim::World& world;
  HICON appIcon = nullptr;
  CBitmap presentBitmap, absentBitmap;
  CStatic deviceIndicator;
  CEdit imagePathEdit;
  CProgressCtrl progressBar;
  CButton upgradeButton;
  CStatic percentText;
  HDEVNOTIFY usbNotify = nullptr;

  // What happened, in order.
  std::vector<std::string> events;
  std::vector<std::uint64_t> timerTimes;
  size_t boxesUpAtDeviceChange = 99;
  int answerAtDeviceChange = -1;

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, kIndicator, deviceIndicator);
    DDX_Control(pDX, kPathEdit, imagePathEdit);
    DDX_Control(pDX, kProgress, progressBar);
    DDX_Control(pDX, kUpgrade, upgradeButton);
    DDX_Control(pDX, kPercent, percentText);
  }

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_DEVICECHANGE) return CDialog::WindowProc(message, wParam, lParam);
    events.push_back("devicechange " + std::to_string(wParam));
    auto boxes = world.MessageBoxes();
    boxesUpAtDeviceChange = boxes.size();
    if (!boxes.empty()) answerAtDeviceChange = boxes.back().answer;
    deviceIndicator.SetBitmap(wParam == DBT_DEVICEARRIVAL ? presentBitmap : absentBitmap);
    return 1;
  }

  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    SetIcon(appIcon, TRUE);
    SetIcon(appIcon, FALSE);
    deviceIndicator.SetBitmap(absentBitmap);
    upgradeButton.EnableWindow(FALSE);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbClass;
    usbNotify = world.RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    SetTimer(1, 100);
    events.push_back("init");
    return TRUE;
  }

  void OnPaint() {
    if (IsIconic()) {
      CPaintDC dc(this);
      SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
      RECT rect;
      GetClientRect(&rect);
      const int x = (rect.right - rect.left - world.GetSystemMetrics(SM_CXICON) + 1) / 2;
      const int y = (rect.bottom - rect.top - world.GetSystemMetrics(SM_CYICON) + 1) / 2;
      dc.DrawIcon(x, y, appIcon);
      events.push_back("paint iconic");
    } else {
      events.push_back("paint");
      Default();
    }
  }
  void OnDestroy() {
    world.UnregisterDeviceNotification(usbNotify);
    usbNotify = nullptr;
    events.push_back("destroy");
    Default();
  }
  HICON OnQueryDragIcon() { return appIcon; }
  void OnTimer(UINT_PTR id) {
    if (id == 1) {
      KillTimer(1);
      timerTimes.push_back(world.Now());
    }
    Default();
  }
  void OnSelectImage() {
    CFileDialog dialog(world, TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, u"Firmware Image (*.bimg)|*.bimg|", this);
    if (dialog.DoModal() != IDOK) {
      events.push_back("select cancelled");
      return;
    }
    imagePathEdit.SetWindowText(dialog.GetPathName());
    upgradeButton.EnableWindow(TRUE);
    events.push_back("selected");
  }
  void OnUpgrade() {
    events.push_back("upgrade " + std::to_string(imagePathEdit.GetWindowText().size()));
    progressBar.SetPos(55);
    percentText.SetWindowText(u"55%");
    // The mouse leaves during the run; its removal is queued, and the final
    // message box lets the dialog learn of it.
    world.Detach(kMousePath);
    MessageBox(u"Done");
    events.push_back("upgrade done");
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CMainLikeDlg, CDialog)
ON_WM_PAINT()
ON_WM_DESTROY()
ON_WM_QUERYDRAGICON()
ON_WM_TIMER()
ON_BN_CLICKED(kChoose, &CMainLikeDlg::OnSelectImage)
ON_BN_CLICKED(kUpgrade, &CMainLikeDlg::OnUpgrade)
END_MESSAGE_MAP()

class UiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    world.AddDialogTemplate(kTemplate, MainTemplate());
    world.AddIconResource(kIcon);
    world.AddBitmapResource(kAbsentBitmap);
    world.AddBitmapResource(kPresentBitmap);
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    ASSERT_TRUE(world.InitCommonControlsEx(&icc));
    world.Attach(kMousePath, std::make_shared<sim::Device>(), kUsbClass);
    theApp.m_pszAppName = u"FlashTool";
  }
  void TearDown() override {
    EXPECT_EQ(world.Stalls(), std::vector<std::string>{});
    EXPECT_EQ(world.LeakReport(), "");
  }
  sim::World world;
};

// The whole life of a dialog: the timer fires once at 100 ms of virtual time,
// the user picks a file, starts the upgrade, the mouse leaves and its removal
// is handled while the final message box is up; then the user closes the
// dialog and OnDestroy runs.
TEST_F(UiFixture, ModalDialogRunsHandlersTimersAndTheScriptedUser) {
  CMainLikeDlg dialog(world);
  const std::uint64_t t0 = world.Now();
  world.User().ClickAt(t0 + 500, kChoose);
  world.User().ChooseFile(u"C:\\fw\\KV27M_FW_UPGRADE.bimg", 200);
  world.User().ClickAt(t0 + 3000, kUpgrade);
  world.User().AnswerMessageBox(IDOK, 1500);
  HWND seen = nullptr;
  std::optional<sim::ControlState> edit, button, progress, percent, indicator, self;
  world.User().DoAt(t0 + 5000, [&] {
    seen = dialog.m_hWnd;
    edit = world.Control(seen, kPathEdit);
    button = world.Control(seen, kUpgrade);
    progress = world.Control(seen, kProgress);
    percent = world.Control(seen, kPercent);
    indicator = world.Control(seen, kIndicator);
    self = world.Control(seen);
  });
  world.User().CloseAt(t0 + 6000);

  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  EXPECT_EQ(dialog.timerTimes, std::vector<std::uint64_t>{t0 + 100});
  EXPECT_EQ(dialog.events, (std::vector<std::string>{"init", "selected", "upgrade 27",
                                                     "devicechange " + std::to_string(DBT_DEVICEREMOVECOMPLETE),
                                                     "upgrade done", "destroy"}));
  // The removal ran inside the message box's loop, before it was answered.
  EXPECT_EQ(dialog.boxesUpAtDeviceChange, 1u);
  EXPECT_EQ(dialog.answerAtDeviceChange, 0);

  ASSERT_TRUE(edit && button && progress && percent && indicator && self);
  EXPECT_EQ(edit->text, u"C:\\fw\\KV27M_FW_UPGRADE.bimg");
  EXPECT_TRUE(button->enabled);
  EXPECT_EQ(progress->position, 55);
  EXPECT_EQ(progress->rangeHigh, 100);
  EXPECT_EQ(percent->text, u"55%");
  EXPECT_EQ(indicator->imageResource, kAbsentBitmap);
  EXPECT_EQ(self->text, u"Test dialog");
  EXPECT_EQ(self->bigIcon, kIcon);
  EXPECT_EQ(self->smallIcon, kIcon);
  EXPECT_TRUE(self->timers.empty());

  auto boxes = world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, seen);
  EXPECT_EQ(boxes[0].caption, u"FlashTool");
  EXPECT_EQ(boxes[0].text, u"Done");
  EXPECT_EQ(boxes[0].type, MB_OK);
  EXPECT_EQ(boxes[0].shownAt, t0 + 3000);
  EXPECT_EQ(boxes[0].answer, IDOK);
  EXPECT_TRUE(boxes[0].ownerDisabled);

  auto files = world.FileDialogs();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].owner, seen);
  EXPECT_EQ(files[0].filter, u"Firmware Image (*.bimg)|*.bimg|");
  EXPECT_EQ(files[0].flags, OFN_NOCHANGEDIR);
  EXPECT_EQ(world.User().Log(), (std::vector<std::string>{"click 1001", "click 1003", "action", "close"}));
  EXPECT_EQ(dialog.m_hWnd, nullptr);
  EXPECT_EQ(dialog.upgradeButton.m_hWnd, nullptr);  // controls let go with the window
}

// Messages the map does not handle get the dialog manager's default; commands
// nobody in the dialog handles reach the application's map; results go back
// through DWLP_MSGRESULT or directly, as the dialog procedure contract says.
TEST_F(UiFixture, MessagesRouteThroughTheMapTheOverrideAndTheApplication) {
  CMainLikeDlg dialog(world);
  struct Case {
    UINT message;
    WPARAM wParam;
    LRESULT expected;
    const char* what;
  };
  std::vector<std::pair<std::string, LRESULT>> results;
  world.User().DoAt(world.Now() + 200, [&] {
    const Case cases[] = {
        {WM_QUERYDRAGICON, 0, reinterpret_cast<LRESULT>(dialog.appIcon), "drag icon from the map, returned directly"},
        {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 1, "device change from the override, through DWLP_MSGRESULT"},
        {WM_COMMAND, MAKEWPARAM(static_cast<WORD>(ID_HELP), 0), 0, "help command, handled by the application"},
        {WM_USER + 7, 0, 0, "unmapped message, default processing"},
    };
    for (const Case& c : cases) {
      const LRESULT r = world.SendMessageW(dialog.m_hWnd, c.message, c.wParam, 0);
      EXPECT_EQ(r, c.expected) << c.what;
    }
    EXPECT_EQ(theApp.helpCommands, 1);
    // The window text round-trips through WM_SETTEXT/WM_GETTEXT and the
    // dialog manager's default processing.
    dialog.SetWindowText(u"renamed");
    EXPECT_EQ(dialog.GetWindowText(), u"renamed");
    dialog.EndDialog(7);
  });
  theApp.helpCommands = 0;
  EXPECT_EQ(dialog.DoModal(), 7);
  EXPECT_EQ(dialog.events.back(), "destroy");
}

// Minimised, the dialog paints its icon centred in the client area.
TEST_F(UiFixture, MinimisedDialogPaintsItsIcon) {
  CMainLikeDlg dialog(world);
  world.User().MinimizeAt(world.Now() + 200);
  world.User().MinimizeAt(world.Now() + 300, false);
  world.User().CloseAt(world.Now() + 400);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  auto drawn = world.IconsDrawn();
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_EQ(drawn[0].iconResource, kIcon);
  EXPECT_EQ(drawn[0].x, (0 - 32 + 1) / 2);  // a minimised window's client area is empty
  EXPECT_EQ(std::count(dialog.events.begin(), dialog.events.end(), "paint iconic"), 1);
  EXPECT_EQ(std::count(dialog.events.begin(), dialog.events.end(), "paint"), 1);
}

// The user cancels the file dialog, clicks a disabled button, and clicks while
// a message box is up: none of these reaches a handler.
TEST_F(UiFixture, CancelledFileDialogAndIgnoredClicks) {
  CMainLikeDlg dialog(world);
  const std::uint64_t t0 = world.Now();
  world.User().ClickAt(t0 + 200, kUpgrade);  // still disabled
  world.User().ClickAt(t0 + 300, kChoose);
  world.User().CancelFileDialog();
  world.User().DoAt(t0 + 2000, [&] { dialog.MessageBox(u"busy"); });
  world.User().AnswerMessageBox(IDOK, 1000);
  world.User().ClickAt(t0 + 2500, kChoose);  // the box is up
  world.User().CloseAt(t0 + 4000);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(world.User().Log(),
            (std::vector<std::string>{"click 1003 ignored: the button is disabled or hidden", "click 1001", "action",
                                      "click 1001 ignored: a message box or file dialog is up", "close"}));
  EXPECT_EQ(std::count(dialog.events.begin(), dialog.events.end(), "select cancelled"), 1);
  EXPECT_EQ(world.FileDialogs().size(), 1u);
  EXPECT_EQ(world.CommDlgExtendedError(), 0u);
}

// DDX reports a control the template lacks.
TEST_F(UiFixture, DataExchangeFailsForAMissingControl) {
  auto t = MainTemplate();
  t.items.pop_back();  // no percentage static
  world.AddDialogTemplate(kTemplate, t);
  CMainLikeDlg dialog(world);
  BOOL updated = TRUE;
  world.User().DoAt(world.Now() + 200, [&] {
    updated = dialog.UpdateData(FALSE);
    dialog.EndDialog(IDOK);
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_FALSE(updated);
}

// The dialog built from the program's own compiled template 102, icon and
// bitmaps: the controls come up as the Windows program's do.
TEST(UiProgramResources, DialogFromTheProgramsTemplate) {
  sim::World world;
  auto [data, size] = res::CompiledResources();
  auto resources = sim::ResourceSet::Parse(data, size);
  ASSERT_TRUE(resources);
  world.SetResources(*resources);
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  ASSERT_TRUE(world.InitCommonControlsEx(&icc));
  world.Attach(kMousePath, std::make_shared<sim::Device>(), kUsbClass);

  auto owned = std::make_unique<CMainLikeDlg>(world);
  CMainLikeDlg& dialog = *owned;
  ASSERT_NE(dialog.appIcon, nullptr);
  ASSERT_NE(dialog.presentBitmap.GetSafeHandle(), nullptr);
  std::optional<sim::ControlState> self, edit, upgrade, choose, progress, percent, indicator;
  world.User().DoAt(world.Now() + 50, [&] {
    self = world.Control(dialog.m_hWnd);
    edit = world.Control(dialog.m_hWnd, kPathEdit);
    upgrade = world.Control(dialog.m_hWnd, kUpgrade);
    choose = world.Control(dialog.m_hWnd, kChoose);
    progress = world.Control(dialog.m_hWnd, kProgress);
    percent = world.Control(dialog.m_hWnd, kPercent);
    indicator = world.Control(dialog.m_hWnd, kIndicator);
  });
  world.User().CloseAt(world.Now() + 200);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  ASSERT_TRUE(self && edit && upgrade && choose && progress && percent && indicator);
  EXPECT_EQ(self->text, u"N4工程师鼠标固件升级软件 v1.0");
  EXPECT_EQ(self->exStyle & WS_EX_APPWINDOW, WS_EX_APPWINDOW);
  EXPECT_EQ(edit->className, u"Edit");
  EXPECT_EQ(edit->style & ES_READONLY, ES_READONLY);
  EXPECT_EQ(choose->text, u"选择镜像文件");
  EXPECT_TRUE(choose->enabled);
  EXPECT_EQ(upgrade->text, u"固件升级");
  EXPECT_FALSE(upgrade->enabled);
  EXPECT_EQ(progress->className, u"msctls_progress32");
  EXPECT_EQ(progress->rangeLow, 0);
  EXPECT_EQ(progress->rangeHigh, 100);
  EXPECT_EQ(percent->text, u"0%");
  EXPECT_EQ(indicator->imageResource, kAbsentBitmap);
  EXPECT_EQ(self->bigIcon, kIcon);
  EXPECT_TRUE(world.Stalls().empty());
  owned.reset();
  EXPECT_EQ(world.LeakReport(), "");  // the template's own bitmap went with its control
}

// The program's resources by language, as the resource calls find them: the
// string table and the template of exactly the language asked for, the
// neutral language standing for the user's UI language, and the errors of a
// missing type, name or language; a template looked up without a language
// follows the user's UI language; data only for handles the world gave out.
TEST(UiProgramResources, ResourcesByLanguage) {
  sim::World bare;
  EXPECT_EQ(bare.FindResourceExW(nullptr, MAKEINTRESOURCEW(kRtStringOrdinal), MAKEINTRESOURCEW(7), 0x0409), nullptr);
  EXPECT_EQ(bare.GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);

  sim::World world;
  auto [data, size] = res::CompiledResources();
  auto resources = sim::ResourceSet::Parse(data, size);
  ASSERT_TRUE(resources);
  world.SetResources(*resources);
  EXPECT_EQ(world.GetUserDefaultUILanguage(), 0x0804);  // a Simplified Chinese PC unless told otherwise

  EXPECT_EQ(LoadResourceString(world, IDS_MOUSE_ABSENT, 0x0804), u"请插入需要升级的USB设备！");
  EXPECT_EQ(LoadResourceString(world, IDS_MOUSE_ABSENT, 0x0409), u"Please plug in the USB device to be upgraded!");
  EXPECT_EQ(LoadResourceString(world, IDS_COUNTDOWN, 0x0409), u"%ds");
  EXPECT_EQ(LoadResourceString(world, IDS_MOUSE_ABSENT, 0x0407), u"");  // no German
  EXPECT_EQ(LoadResourceString(world, 99, 0x0409), u"");                // an empty slot of a block

  const HMODULE module = world.GetModuleHandleW(nullptr);
  const LPCWSTR strings = MAKEINTRESOURCEW(kRtStringOrdinal);
  const LPCWSTR block = MAKEINTRESOURCEW(IDS_MOUSE_ABSENT / 16 + 1);
  const HRSRC english = world.FindResourceExW(module, strings, block, 0x0409);
  ASSERT_NE(english, nullptr);
  EXPECT_NE(english, world.FindResourceExW(nullptr, strings, block, 0x0804));
  EXPECT_EQ(world.FindResourceExW(module, strings, block, 0x0407), nullptr);
  EXPECT_EQ(world.GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
  EXPECT_EQ(world.FindResourceExW(module, strings, MAKEINTRESOURCEW(200), 0x0409), nullptr);
  EXPECT_EQ(world.GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(world.FindResourceExW(module, MAKEINTRESOURCEW(4), block, 0x0409), nullptr);  // no menus
  EXPECT_EQ(world.GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  world.SetUserDefaultUILanguage(0x0409);
  EXPECT_EQ(world.FindResourceExW(module, strings, block, 0), english);
  EXPECT_EQ(world.SizeofResource(module, english),
            resources->Find(sim::kRtString, IDS_MOUSE_ABSENT / 16 + 1, 0x0409)->data.size());
  EXPECT_NE(world.LockResource(world.LoadResource(module, english)), nullptr);
  int notAResource = 0;
  EXPECT_EQ(world.LoadResource(module, reinterpret_cast<HRSRC>(&notAResource)), nullptr);
  EXPECT_EQ(world.GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_EQ(world.SizeofResource(module, reinterpret_cast<HRSRC>(&notAResource)), 0u);

  // A template from anywhere but the resources the world gave out is refused.
  std::vector<std::uint8_t> copy = resources->Find(sim::kRtDialog, kTemplate, 0x0409)->data;
  EXPECT_EQ(world.DialogBoxIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), nullptr,
                                          &DialogProcedure, 0),
            -1);
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_PARAMETER);

  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  ASSERT_TRUE(world.InitCommonControlsEx(&icc));
  struct Case {
    const char* what;
    LANGID templateLanguage;  // CDialog::m_templateLanguage
    const char16_t* caption;
  };
  const Case cases[] = {
      {"the system's choice on an English PC", 0, u"N4 Engineer Mouse Firmware Upgrade v1.0"},
      {"Chinese asked for", 0x0804, u"N4工程师鼠标固件升级软件 v1.0"},
      {"English asked for", 0x0409, u"N4 Engineer Mouse Firmware Upgrade v1.0"},
      {"a language the program lacks", 0x0407, u"N4 Engineer Mouse Firmware Upgrade v1.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CMainLikeDlg dialog(world);
    dialog.m_templateLanguage = c.templateLanguage;
    std::optional<sim::ControlState> self;
    world.User().DoAt(world.Now() + 50, [&] { self = world.Control(dialog.m_hWnd); });
    world.User().CloseAt(world.Now() + 100);
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    ASSERT_TRUE(self);
    EXPECT_EQ(self->text, c.caption);
  }
}

// The application: named after the program file, InitInstance runs the dialog
// and returns false, which ends the process without a message loop.
BOOL CTestApp::InitInstance() {
  CWinApp::InitInstance();
  SetRegistryKey(u"settings");
  auto& world = static_cast<sim::World&>(Os());
  CMainLikeDlg dialog(world);
  m_pMainWnd = &dialog;
  world.User().CloseAt(world.Now() + 300);
  dialogResult = dialog.DoModal();
  m_pMainWnd = nullptr;
  ranDialog = true;
  return FALSE;
}

TEST_F(UiFixture, ApplicationTakesItsNameFromTheProgramFileAndRunsTheDialog) {
  theApp.m_pszAppName.clear();
  world.SetModulePath(u"C:\\Program Files\\Tool\\Flash.Tool.exe");
  EXPECT_EQ(GetApp(), &theApp);
  EXPECT_EQ(AppMain(world), 0);
  EXPECT_EQ(theApp.m_pszAppName, u"Flash.Tool");
  EXPECT_TRUE(theApp.ranDialog);
  EXPECT_EQ(theApp.dialogResult, IDCANCEL);
  EXPECT_EQ(BaseNameWithoutExtension(u"C:\\a\\NoExtension"), u"NoExtension");
}

}  // namespace
}  // namespace kv27
