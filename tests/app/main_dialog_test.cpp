// The main dialog on the simulated PC, built from the program's own compiled
// template 102 and run as the program runs it (AppMain, InitInstance, the
// modal loop on the test's thread), with a scripted user acting at virtual
// times.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/firmware_update_app.h"
#include "app/simulation.h"
#include "image/image.h"
#include "image/image_file.h"
#include "platform/device_path.h"
#include "res/compiled_resources.h"
#include "res/resource.h"
#include "res/ui_text.h"
#include "sim/hid_device.h"
#include "sim/resources.h"
#include "tests/support/backup_names.h"
#include "tests/support/program_run.h"
#include "tests/support/scenario_names.h"
#include "tests/support/upgrade_expectations.h"

namespace kv27 {

// The program's one application object: this test program plays the program.
CKV27MFirmwareUpdateApp theApp;

namespace {

using test::ProgressAfter;

using test::kAfterAnyRun;
using test::Percent;
using test::ProgramRun;
using test::View;

constexpr const char16_t* kCaption = test::kDialogCaption;
constexpr char16_t kChooseNoImage[] = u"请选择镜像文件！";
constexpr char16_t kPlugInMouse[] = u"请插入需要升级的USB设备！";

// The bundled sample, checked and descrambled: what a good flash carries.
ImageFileResult PlainSampleImage() {
  sim::World files;
  files.AddFile(u"C:\\x.bimg", SampleImageBytes());
  return LoadImageFile(files, u"C:\\x.bimg");
}

// Every scenario of the catalogue through the dialog: the automatic start (or,
// where the dialog has nothing to start, what it does instead), the one
// message box with its caption, flags and owner, the progress afterwards, and
// nothing left open but the two links while the dialog lives and nothing at
// all once it is gone.
class EveryScenarioThroughTheDialog : public ::testing::TestWithParam<Scenario> {};

TEST_P(EveryScenarioThroughTheDialog, ShowsItsOneMessage) {
  const Scenario& scenario = GetParam();
  const std::string name = scenario.name;
  ProgramRun run(scenario.name);
  const std::uint64_t t0 = run.world.Now();
  View atStart, atEnd;
  HWND dialog = nullptr;
  std::string othersOpen = "not looked at";
  run.world.User().DoAt(t0 + 50, [&] {
    atStart = run.Look();
    dialog = run.Dlg().m_hWnd;
  });
  run.world.User().AnswerMessageBox(IDOK, 1000);
  if (name == "no-mouse" || name == "no-image") {
    // Nothing to start: a click on the disabled button is ignored.
    run.world.User().ClickAt(t0 + 200, IDC_UPGRADE);
  }
  if (name == "no-image") {
    // The button's notification reaching the dialog all the same (the
    // keyboard or an accessibility tool) asks for an image.
    run.world.User().DoAt(t0 + 300, [&] { run.Command(IDC_UPGRADE); });
  }
  run.world.User().DoAt(t0 + kAfterAnyRun, [&] {
    atEnd = run.Look();
    othersOpen = run.OthersOpen();
  });
  run.world.User().CloseAt(t0 + kAfterAnyRun + 1);
  run.Run();

  const bool starts = name != "no-mouse" && name != "no-image";
  EXPECT_EQ(atStart.path, name == "no-image" ? u"" : std::u16string(sim::kRigImagePath));
  EXPECT_EQ(atStart.timers, starts ? std::vector<UINT_PTR>{kAutoStartTimer} : std::vector<UINT_PTR>{});
  EXPECT_FALSE(atStart.upgradeEnabled);
  EXPECT_EQ(atStart.boxes, 0u);

  const auto boxes = run.world.MessageBoxes();
  if (name == "no-mouse") {
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);
  } else {
    const UpgradeStatus shown = name == "no-image" ? UpgradeStatus::NoImagePath : scenario.expected;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, UpgradeMessage(shown));
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));  // OK only, no icon
    EXPECT_EQ(boxes[0].owner, dialog);
    EXPECT_TRUE(boxes[0].ownerDisabled);
    if (starts) {
      EXPECT_GE(boxes[0].shownAt, t0 + kAutoStartDelayMs);
    }
    const int progress = ProgressAfter(shown);
    EXPECT_EQ(atEnd.position, progress < 0 ? 0 : progress);
    EXPECT_EQ(atEnd.percent, Percent(progress < 0 ? 0 : progress));
  }
  EXPECT_TRUE(atEnd.timers.empty());  // the automatic start ran at most once
  if (scenario.expected == UpgradeStatus::Success) {
    // The mouse came back after the run and the dialog saw it.
    EXPECT_EQ(atEnd.indicator, IDB_MOUSE_PRESENT);
    EXPECT_TRUE(atEnd.upgradeEnabled);
  } else if (scenario.expected >= UpgradeStatus::ImageOpenFailed &&
             scenario.expected <= UpgradeStatus::DecodeVerifyFailed && name != "no-image") {
    // The mouse never left; the run leaves the button as it was: disabled.
    EXPECT_EQ(atEnd.indicator, IDB_MOUSE_PRESENT);
    EXPECT_FALSE(atEnd.upgradeEnabled);
  }

  // While the dialog lives only the two links hold devices (and its own
  // pictures and notification registrations): no image file, device list or
  // HID record of a run is left open.
  EXPECT_EQ(othersOpen, "");
  run.EndProcess();
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryScenarioThroughTheDialog, ::testing::ValuesIn(Scenarios()),
                         test::ScenarioTestName);

// The same catalogue on an English Windows: every failure row's message (and
// the congratulation) comes in English from the program's string table, and
// never as the Chinese text.
class EveryScenarioInEnglish : public ::testing::TestWithParam<Scenario> {};

TEST_P(EveryScenarioInEnglish, ShowsItsOneMessageInEnglish) {
  const Scenario& scenario = GetParam();
  const std::string name = scenario.name;
  ProgramRun run(scenario.name, [](sim::World& world) { world.SetUserDefaultUILanguage(0x0409); });
  const std::uint64_t t0 = run.world.Now();
  run.world.User().AnswerMessageBox(IDOK, 1000);
  if (name == "no-image") run.world.User().DoAt(t0 + 300, [&] { run.Command(IDC_UPGRADE); });
  run.world.User().CloseAt(t0 + kAfterAnyRun + 1);
  run.Run();

  const auto boxes = run.world.MessageBoxes();
  if (name == "no-mouse") {
    EXPECT_TRUE(boxes.empty());
  } else {
    const UpgradeStatus shown = name == "no-image" ? UpgradeStatus::NoImagePath : scenario.expected;
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_NE(UiText(UiLanguage::English, UpgradeMessageId(shown)), nullptr);
    EXPECT_EQ(boxes[0].text, UiText(UiLanguage::English, UpgradeMessageId(shown)));
    EXPECT_NE(boxes[0].text, UpgradeMessage(shown));
    EXPECT_EQ(boxes[0].caption, kCaption);  // the program's name in every language
  }
  run.EndProcess();
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryScenarioInEnglish, ::testing::ValuesIn(Scenarios()), test::ScenarioTestName);

// The dialog speaks the user's UI language: Simplified Chinese for any
// Chinese UI language, English for every other; --lang overrides it. The
// template (caption, buttons, labels), a refusal, an image check that fails
// and the file dialog's filter, each in the language shown, the Chinese ones
// exactly as the program has always shown them.
TEST(MainDialog, SpeaksTheUserInterfaceLanguage) {
  struct Texts {
    const char16_t* caption;
    const char16_t* chooseButton;
    const char16_t* upgradeButton;
    const char16_t* progressLabel;
    const char16_t* chooseImage;
    const char16_t* badImage;
  };
  const Texts chinese{u"N4工程师鼠标固件升级软件 v1.0",
                      u"选择镜像文件",
                      u"固件升级",
                      u"固件升级进度：",
                      kChooseNoImage,
                      u"镜像解码验证失败！"};
  const Texts english{u"N4 Engineer Mouse Firmware Upgrade v1.0",
                      u"Choose image",
                      u"Upgrade",
                      u"Progress:",
                      u"Please choose an image file!",
                      u"The decoded image fails its check!"};
  struct Case {
    const char* what;
    LANGID uiLanguage;
    std::optional<UiLanguage> option;  // --lang
    const Texts& shown;
  };
  const Case cases[] = {
      {"Simplified Chinese", 0x0804, std::nullopt, chinese},
      {"Traditional Chinese (Taiwan)", 0x0404, std::nullopt, chinese},
      {"English", 0x0409, std::nullopt, english},
      {"German", 0x0407, std::nullopt, english},
      {"English, --lang=zh", 0x0409, UiLanguage::Chinese, chinese},
      {"Simplified Chinese, --lang=en", 0x0804, UiLanguage::English, english},
  };
  // The dialog's own messages: the Chinese ones of the string table are the
  // texts the program has always shown.
  EXPECT_EQ(std::u16string(UiText(UiLanguage::Chinese, IDS_BACKUP_FAILED)), kBackupFailedText);
  EXPECT_EQ(std::u16string(UiText(UiLanguage::Chinese, IDS_NO_BACKUP)), kNoBackupText);
  EXPECT_EQ(std::u16string(UiText(UiLanguage::Chinese, IDS_IMAGE_FILTER)), kImageFilter);
  const std::u16string corrupt = u"C:\\fw\\N4_corrupt.bimg";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run("no-image", [&](sim::World& world) { world.SetUserDefaultUILanguage(c.uiLanguage); });
    std::vector<std::uint8_t> bad = SampleImageBytes();
    bad[32 + 0x1000] ^= 0x01;
    run.world.AddFile(corrupt, bad);
    theApp.language = c.option;
    const std::uint64_t t0 = run.world.Now();
    sim::ControlState caption, choose, upgrade, label;
    run.world.User().DoAt(t0 + 50, [&] {
      caption = run.Ctl(0);
      choose = run.Ctl(IDC_SELECT_IMAGE);
      upgrade = run.Ctl(IDC_UPGRADE);
      label = run.Ctl(0xFFFF);  // the last static without an id
    });
    run.world.User().DoAt(t0 + 100, [&] { run.Command(IDC_UPGRADE); });
    run.world.User().AnswerMessageBox(IDOK, 500);
    run.world.User().ClickAt(t0 + 2000, IDC_SELECT_IMAGE);
    run.world.User().ChooseFile(corrupt, 200);
    run.world.User().AnswerMessageBox(IDOK, 500);
    run.world.User().CloseAt(t0 + 5000);
    run.Run();
    theApp.language.reset();

    EXPECT_EQ(caption.text, c.shown.caption);
    EXPECT_EQ(choose.text, c.shown.chooseButton);
    EXPECT_EQ(upgrade.text, c.shown.upgradeButton);
    EXPECT_EQ(label.text, c.shown.progressLabel);
    const auto boxes = run.world.MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, c.shown.chooseImage);
    EXPECT_EQ(boxes[1].text, c.shown.badImage);
    for (const auto& box : boxes) EXPECT_EQ(box.caption, kCaption);
    const auto files = run.world.FileDialogs();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filter, kImageFilter);
    run.EndProcess();
  }
}

// A whole good run from the automatic start: the flash holds the image with
// the mouse's own settings, the mouse comes back in normal mode with them, and
// the dialog learns of its leaving while the final message box is up and sees
// it return afterwards.
TEST(MainDialog, GoodRunKeepsTheSettingsAndSeesTheMouseReturn) {
  ProgramRun run("ok");
  const std::uint64_t t0 = run.world.Now();
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < 7; ++p) pages.push_back(run.rig().mouse().UserPage(p));

  View beforeTimer, atEnd;
  std::size_t requestsBeforeTimer = 99;
  std::vector<View> whileBoxUp;
  run.world.User().DoAt(t0 + kAutoStartDelayMs, [&] {  // user actions run before a timer that falls due
    beforeTimer = run.Look();
    requestsBeforeTimer = run.rig().mouse().RequestCount();
  });
  run.Watch(t0 + 200, 100, t0 + 120'000, [&] {
    const View v = run.Look();
    if (v.boxUp) whileBoxUp.push_back(v);
  });
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + 130'000, [&] { atEnd = run.Look(); });
  run.world.User().CloseAt(t0 + 130'001);
  run.Run();

  EXPECT_EQ(beforeTimer.path, sim::kRigImagePath);
  EXPECT_EQ(beforeTimer.timers, std::vector<UINT_PTR>{kAutoStartTimer});
  EXPECT_FALSE(beforeTimer.upgradeEnabled);
  EXPECT_EQ(beforeTimer.indicator, IDB_MOUSE_PRESENT);
  EXPECT_EQ(requestsBeforeTimer, 0u);

  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, u"恭喜亲，在线升级成功！");
  ASSERT_FALSE(whileBoxUp.empty());
  // While the box is up the removal is handled: absent, button disabled.
  EXPECT_EQ(whileBoxUp.back().indicator, IDB_MOUSE_ABSENT);
  EXPECT_FALSE(whileBoxUp.back().mousePresent);
  EXPECT_FALSE(whileBoxUp.back().upgradeEnabled);
  EXPECT_EQ(whileBoxUp.back().position, 100);
  EXPECT_EQ(whileBoxUp.back().percent, u"100%");

  EXPECT_EQ(atEnd.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(atEnd.mousePresent);
  EXPECT_TRUE(atEnd.upgradeEnabled);
  EXPECT_EQ(atEnd.path, sim::kRigImagePath);

  // The flash: the image's plain firmware, the mouse's own bytes at
  // 0x3800-0x3F05 (0x3F00-0x3F05 a second copy of 0x3E00-0x3E05) and 0xFF at
  // 0x3FFB-0x3FFF.
  const ImageFileResult plain = PlainSampleImage();
  ASSERT_TRUE(plain.ok());
  const sim::BootloaderFlash flash = run.rig().mouse().Flash();
  for (std::size_t i = 0; i < 0x4000; ++i) {
    std::uint8_t want = plain.payload[i];
    if (i >= 0x3800 && i < 0x3F00) want = pages[(i - 0x3800) / 256][(i - 0x3800) % 256];
    if (i >= 0x3F00 && i < 0x3F06) want = flash[i - 0x100];
    if (i >= 0x3FFB) want = 0xFF;
    ASSERT_EQ(flash[i], want) << "at 0x" << std::hex << i;
  }
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  for (std::size_t p = 0; p < 7; ++p) EXPECT_EQ(run.rig().mouse().UserPage(p), pages[p]) << "page " << p;
  run.EndProcess();
}

// Two N4 mice on the hub, the second plugged in first: the dialog links to the
// command interface listed first, the second mouse's, and its automatic start
// upgrades that mouse with its own settings; the request goes through its port
// and the bootloader taken is the one on that port. The first mouse, on the
// lower port, gets nothing and keeps its flash.
TEST(MainDialog, TwoMiceTheAutomaticStartUpgradesOnlyTheMouseItLinksTo) {
  sim::World world;
  sim::MouseRig rig(world, SampleImageBytes(), sim::RigOptions{0, 3, true});
  ProgramRun run(world, rig);
  sim::VirtualMouse& linked = *rig.otherMouse();
  sim::VirtualMouse& beside = rig.mouse();
  const sim::BootloaderFlash linkedBefore = linked.Flash();
  const sim::BootloaderFlash besideBefore = beside.Flash();
  const std::uint64_t t0 = world.Now();
  std::u16string linkedPath;
  world.User().DoAt(t0 + 50, [&] { linkedPath = run.Dlg().mouseLink.devicePath; });
  world.User().AnswerMessageBox(IDOK, 1000);
  world.User().CloseAt(t0 + 130'000);
  run.Run();

  EXPECT_EQ(linkedPath, linked.CommandPath());
  const auto boxes = world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, u"恭喜亲，在线升级成功！");

  const ImageFileResult plain = PlainSampleImage();
  ASSERT_TRUE(plain.ok());
  const sim::BootloaderFlash flash = linked.Flash();
  for (std::size_t i = 0; i < 0x4000; ++i) {
    std::uint8_t want = plain.payload[i];
    if (i >= 0x3800 && i < 0x3F00) want = linkedBefore[i];
    if (i >= 0x3F00 && i < 0x3F06) want = linkedBefore[i - 0x100];
    if (i >= 0x3FFB) want = 0xFF;
    ASSERT_EQ(flash[i], want) << "at 0x" << std::hex << i;
  }
  EXPECT_EQ(linked.CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_EQ(beside.CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_EQ(beside.RequestCount(), 0u);
  EXPECT_TRUE(beside.Flash() == besideBefore);
  run.EndProcess();
}

// The whole 600-second bootloader search runs in virtual time; the user then
// re-plugs the mouse as the message asks, the button comes back, and a second
// run from a click starts afresh and succeeds.
TEST(MainDialog, SecondRunAfterAFailedSearch) {
  ProgramRun run("no-bootloader");
  const std::uint64_t t0 = run.world.Now();
  View afterFailure, replugged, atEnd;
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + kAfterAnyRun, [&] {
    afterFailure = run.Look();
    run.rig().mouse().IgnoreBootloaderRequest(false);
    run.rig().mouse().Unplug();
    run.rig().mouse().PlugAfter(5000);  // a person takes seconds
  });
  run.world.User().DoAt(t0 + kAfterAnyRun + 8000, [&] { replugged = run.Look(); });
  run.world.User().ClickAt(t0 + kAfterAnyRun + 9000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + kAfterAnyRun + 200'000, [&] { atEnd = run.Look(); });
  run.world.User().CloseAt(t0 + kAfterAnyRun + 200'001);
  run.Run();

  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::BootloaderNotFound));
  // 6000 searches 100 ms apart after the automatic start at 100 ms.
  EXPECT_GE(boxes[0].shownAt, t0 + 100 + 600'000);
  EXPECT_LT(boxes[0].shownAt, t0 + 100 + 610'000);
  EXPECT_EQ(afterFailure.position, 20);
  EXPECT_FALSE(afterFailure.upgradeEnabled);  // the run leaves the button alone
  EXPECT_TRUE(replugged.upgradeEnabled);
  EXPECT_EQ(replugged.indicator, IDB_MOUSE_PRESENT);
  EXPECT_EQ(boxes[1].text, UpgradeMessage(UpgradeStatus::Success));
  EXPECT_EQ(boxes[1].shownAt - (t0 + kAfterAnyRun + 9000) < 60'000, true);
  EXPECT_EQ(atEnd.position, 100);
  EXPECT_EQ(atEnd.indicator, IDB_MOUSE_PRESENT);
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  run.EndProcess();
}

// The dialog as the template and start-up leave it, with the mouse present and
// no default file: nothing starts.
TEST(MainDialog, ControlsComeUpAsTheTemplateSetsThem) {
  ProgramRun run("no-image");
  std::optional<sim::ControlState> self, edit, choose, upgrade, progress, percent, indicator;
  run.world.User().DoAt(run.world.Now() + 50, [&] {
    self = run.world.Control(run.Dlg().m_hWnd);
    edit = run.Ctl(IDC_IMAGE_PATH);
    choose = run.Ctl(IDC_SELECT_IMAGE);
    upgrade = run.Ctl(IDC_UPGRADE);
    progress = run.Ctl(IDC_PROGRESS);
    percent = run.Ctl(IDC_PERCENT);
    indicator = run.Ctl(IDC_DEVICE_INDICATOR);
  });
  run.world.User().CloseAt(run.world.Now() + 10'000);
  run.Run();
  ASSERT_TRUE(self && edit && choose && upgrade && progress && percent && indicator);
  EXPECT_EQ(self->text, u"N4工程师鼠标固件升级软件 v1.0");
  EXPECT_EQ(self->bigIcon, IDR_MAINFRAME);
  EXPECT_EQ(self->smallIcon, IDR_MAINFRAME);
  EXPECT_TRUE(self->timers.empty());
  EXPECT_EQ(edit->text, u"");
  EXPECT_EQ(edit->style & ES_READONLY, static_cast<DWORD>(ES_READONLY));
  EXPECT_TRUE(choose->enabled);
  EXPECT_FALSE(upgrade->enabled);  // path empty: the mouse alone does not enable it
  EXPECT_EQ(progress->position, 0);
  EXPECT_EQ(progress->rangeLow, 0);
  EXPECT_EQ(progress->rangeHigh, 100);
  EXPECT_EQ(percent->text, u"0%");
  EXPECT_EQ(indicator->imageResource, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(run.world.MessageBoxes().empty());
  EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);
  EXPECT_EQ(theApp.m_pszRegistryKey, kRegistryKey);
  EXPECT_EQ(theApp.dialogResult, IDCANCEL);
  run.EndProcess();
}

// The mouse's HID collections come up well after its USB device. The dialog,
// started without the mouse, hears of them through its own registration for
// HID interfaces (the link has none while it is closed) and shows the mouse
// once they are there, not before; the same after a re-plug.
TEST(MainDialog, FindsAMouseWhoseHidCollectionsComeLate) {
  constexpr std::uint32_t kHidLate = 2000;
  ProgramRun run("no-mouse", [](sim::World& world) { world.SetHidArrivalDelay(kHidLate); });
  const std::uint64_t t0 = run.world.Now();
  View usbOnly, found, replugUsbOnly, refound;
  run.world.User().DoAt(t0 + 1000, [&] { run.rig().mouse().Plug(); });
  run.world.User().DoAt(t0 + 1000 + kHidLate / 2, [&] { usbOnly = run.Look(); });
  run.world.User().DoAt(t0 + 1000 + kHidLate + 500, [&] { found = run.Look(); });
  run.world.User().DoAt(t0 + 6000, [&] { run.rig().mouse().Unplug(); });
  run.world.User().DoAt(t0 + 7000, [&] { run.rig().mouse().Plug(); });
  run.world.User().DoAt(t0 + 7000 + kHidLate / 2, [&] { replugUsbOnly = run.Look(); });
  std::vector<sim::WindowMessage> received;
  run.world.User().DoAt(t0 + 7000 + kHidLate + 500, [&] {
    refound = run.Look();
    received = run.world.Received(run.Dlg().m_hWnd);
  });
  run.world.User().CloseAt(t0 + 12'000);
  run.Run();

  for (const View* v : {&usbOnly, &replugUsbOnly}) {
    EXPECT_FALSE(v->mousePresent);
    EXPECT_EQ(v->indicator, IDB_MOUSE_ABSENT);
    EXPECT_FALSE(v->upgradeEnabled);
  }
  for (const View* v : {&found, &refound}) {
    EXPECT_TRUE(v->mousePresent);
    EXPECT_EQ(v->indicator, IDB_MOUSE_PRESENT);
    EXPECT_TRUE(v->upgradeEnabled);
  }
  // The first arrival of the command collection reached the dialog while its
  // link was closed: through the dialog's own registration.
  bool heard = false;
  for (const auto& m : received) {
    if (m.message != WM_DEVICECHANGE || m.wParam != DBT_DEVICEARRIVAL || m.payload.empty()) continue;
    const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(m.payload.data());
    if (SameDevicePath(b->dbcc_name, run.rig().mouse().CommandPath().c_str())) heard = true;
  }
  EXPECT_TRUE(heard);
  EXPECT_TRUE(run.world.MessageBoxes().empty());
  run.EndProcess();
}

// Started without the mouse: the default path shows, nothing starts; the
// mouse arrives (indicator 130, button enabled, still nothing starts) and
// leaves again (indicator 129, button disabled, path kept).
TEST(MainDialog, MouseArrivesAndLeavesAfterStartUp) {
  ProgramRun run("no-mouse");
  const std::uint64_t t0 = run.world.Now();
  View absent, arrived, removed;
  run.world.User().DoAt(t0 + 50, [&] { absent = run.Look(); });
  run.world.User().DoAt(t0 + 1000, [&] { run.rig().mouse().Plug(); });
  run.world.User().DoAt(t0 + 3000, [&] { arrived = run.Look(); });
  run.world.User().DoAt(t0 + 4000, [&] { run.rig().mouse().Unplug(); });
  run.world.User().DoAt(t0 + 6000, [&] { removed = run.Look(); });
  run.world.User().CloseAt(t0 + 7000);
  run.Run();

  EXPECT_EQ(absent.path, sim::kRigImagePath);
  EXPECT_TRUE(absent.timers.empty());
  EXPECT_FALSE(absent.upgradeEnabled);
  EXPECT_EQ(absent.indicator, IDB_MOUSE_ABSENT);
  EXPECT_TRUE(arrived.mousePresent);
  EXPECT_EQ(arrived.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(arrived.upgradeEnabled);
  EXPECT_FALSE(removed.mousePresent);
  EXPECT_EQ(removed.indicator, IDB_MOUSE_ABSENT);
  EXPECT_FALSE(removed.upgradeEnabled);
  EXPECT_EQ(removed.path, sim::kRigImagePath);
  EXPECT_TRUE(run.world.MessageBoxes().empty());
  EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);  // an arrival starts nothing
  run.EndProcess();
}

// The mouse leaves between start-up and the automatic start: the timer's run
// asks for the mouse and shows no progress.
TEST(MainDialog, MouseLeavesBeforeTheAutomaticStart) {
  ProgramRun run("ok");
  const std::uint64_t t0 = run.world.Now();
  run.rig().mouse().UnplugAfter(50);
  View atEnd;
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + 5000, [&] { atEnd = run.Look(); });
  run.world.User().CloseAt(t0 + 5001);
  run.Run();
  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kPlugInMouse);
  // A timer message comes when the loop gets to it, never early: with the
  // link's reader waiting on its own thread the clock may have moved on.
  EXPECT_GE(boxes[0].shownAt, t0 + kAutoStartDelayMs);
  EXPECT_LT(boxes[0].shownAt, t0 + kAutoStartDelayMs + 1000);
  EXPECT_EQ(atEnd.position, 0);
  EXPECT_EQ(atEnd.percent, u"0%");
  EXPECT_TRUE(atEnd.timers.empty());
  run.EndProcess();
}

// A run refused for want of the mouse or of an image leaves the progress bar
// and the percentage as the run before left them: after a good run at 100%,
// after a failed write at 60%, and at any position shown before.
TEST(MainDialog, RefusedRunsKeepTheProgressShown) {
  struct Case {
    const char* what;
    const char* scenario;
    int setBefore;  // -1: what the automatic start's run leaves
    const char16_t* message;
    int position;
  };
  const Case cases[] = {
      {"plug in, after a good run", "ok", -1, kPlugInMouse, 100},
      {"plug in, after a failed write", "write-fails", -1, kPlugInMouse, 60},
      {"plug in, no run before", "no-mouse", -1, kPlugInMouse, 0},
      {"choose an image, display at 37", "no-image", 37, kChooseNoImage, 37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run(c.scenario);
    const std::uint64_t t0 = run.world.Now();
    const std::uint64_t refuseAt = c.setBefore < 0 ? t0 + kAfterAnyRun : t0 + 500;
    View before, after;
    std::size_t boxesBefore = 0;
    if (c.setBefore < 0) run.world.User().AnswerMessageBox(IDOK, 1000);  // the automatic start's box
    run.world.User().DoAt(refuseAt, [&] {
      if (c.setBefore >= 0) run.Dlg().SetProgress(c.setBefore);
      if (c.message == kPlugInMouse && run.rig().mouse().CurrentMode() != sim::VirtualMouse::Mode::kAbsent)
        run.rig().mouse().Unplug();
    });
    run.world.User().DoAt(refuseAt + 3000, [&] {
      before = run.Look();
      boxesBefore = before.boxes;
      run.Command(IDC_UPGRADE);  // the notification reaches the dialog even with the button disabled
    });
    run.world.User().AnswerMessageBox(IDOK, 1000);
    run.world.User().DoAt(refuseAt + 10'000, [&] { after = run.Look(); });
    run.world.User().CloseAt(refuseAt + 10'001);
    run.Run();

    const auto boxes = run.world.MessageBoxes();
    ASSERT_EQ(boxes.size(), boxesBefore + 1);
    EXPECT_EQ(boxes.back().text, c.message);
    EXPECT_EQ(before.position, c.position);
    EXPECT_EQ(after.position, c.position);
    EXPECT_EQ(after.percent, Percent(c.position));
    run.EndProcess();
  }
}

// Image choice: the file dialog as the program shows it; a valid choice sets
// the path (and enables the button only with the mouse present); an invalid
// one shows its check's message and keeps the previous path and button state;
// a cancelled dialog changes nothing.
TEST(MainDialog, ImageChoice) {
  const std::u16string good = u"C:\\fw\\N4_v2.bimg";
  const std::u16string corrupt = u"C:\\fw\\N4_corrupt.bimg";
  const std::u16string missing = u"C:\\fw\\gone.bimg";
  struct Choice {
    std::u16string path;  // empty: the user cancels
    const char16_t* message;
  };
  struct Case {
    const char* what;
    const char* scenario;
    std::vector<Choice> choices;
    std::u16string path;
    bool enabled;
  };
  const Case cases[] = {
      {"valid, mouse absent", "no-mouse", {{good, nullptr}}, good, false},
      {"valid, mouse present", "no-image", {{good, nullptr}}, good, true},
      {"invalid after valid",
       "no-image",
       {{good, nullptr}, {corrupt, u"镜像解码验证失败！"}, {missing, u"打开镜像文件失败！"}},
       good,
       true},
      {"invalid first", "no-image", {{corrupt, u"镜像解码验证失败！"}}, u"", false},
      {"cancelled", "no-mouse", {{u"", nullptr}}, sim::kRigImagePath, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run(c.scenario);
    std::vector<std::uint8_t> bad = SampleImageBytes();
    bad[32 + 0x1000] ^= 0x01;
    run.world.AddFile(good, SampleImageBytes());
    run.world.AddFile(corrupt, bad);
    const std::uint64_t t0 = run.world.Now();
    std::uint64_t at = t0 + 500;
    std::vector<std::u16string> expectedBoxes;
    for (const Choice& choice : c.choices) {
      run.world.User().ClickAt(at, IDC_SELECT_IMAGE);
      if (choice.path.empty()) {
        run.world.User().CancelFileDialog(200);
      } else {
        run.world.User().ChooseFile(choice.path, 200);
      }
      if (choice.message != nullptr) {
        run.world.User().AnswerMessageBox(IDOK, 500);
        expectedBoxes.push_back(choice.message);
      }
      at += 5000;
    }
    View atEnd;
    HWND dialog = nullptr;
    run.world.User().DoAt(at, [&] {
      atEnd = run.Look();
      dialog = run.Dlg().m_hWnd;
    });
    run.world.User().CloseAt(at + 1);
    run.Run();

    EXPECT_EQ(atEnd.path, c.path);
    EXPECT_EQ(atEnd.upgradeEnabled, c.enabled);
    std::vector<std::u16string> shown;
    for (const auto& box : run.world.MessageBoxes()) {
      shown.push_back(box.text);
      EXPECT_EQ(box.caption, kCaption);
      EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
      EXPECT_EQ(box.owner, dialog);
    }
    EXPECT_EQ(shown, expectedBoxes);
    const auto files = run.world.FileDialogs();
    ASSERT_EQ(files.size(), c.choices.size());
    for (const auto& f : files) {
      EXPECT_EQ(f.owner, dialog);
      EXPECT_EQ(f.filter, kImageFilter);
      EXPECT_EQ(f.flags, static_cast<DWORD>(OFN_NOCHANGEDIR));
      EXPECT_EQ(f.initialFile, u"");
      EXPECT_EQ(f.defaultExtension, u"");
    }
    EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);  // a choice starts nothing
    run.EndProcess();
  }
}

// The program started with an image (dropped on it, or opened with it): the
// path box shows that image in the place of the default one, and the upgrade
// starts by itself as with the default: once, 100 ms after the start, when
// the file opens and the mouse is there. The default beside the program
// (damaged here) is not looked at. A named image that cannot be opened is
// shown all the same, and nothing starts.
TEST(MainDialog, ImageNamedOnTheCommandLine) {
  const std::u16string named = u"D:\\Downloads\\N4 firmware v2.bimg";
  struct Case {
    const char* what;
    const char* scenario;
    bool fileExists;
    bool starts;
  };
  const Case cases[] = {
      {"mouse present", "bad-image", true, true},
      {"mouse absent", "no-mouse", true, false},
      {"file missing", "bad-image", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run(c.scenario);
    if (c.fileExists) run.world.AddFile(named, SampleImageBytes());
    theApp.imagePath = named;
    const std::uint64_t t0 = run.world.Now();
    View atStart, atEnd;
    run.world.User().DoAt(t0 + 50, [&] { atStart = run.Look(); });
    run.world.User().AnswerMessageBox(IDOK, 1000);
    run.world.User().DoAt(t0 + 200'000, [&] { atEnd = run.Look(); });
    run.world.User().CloseAt(t0 + 200'001);
    run.Run();
    theApp.imagePath.clear();

    EXPECT_EQ(atStart.path, named);
    EXPECT_EQ(atStart.timers, c.starts ? std::vector<UINT_PTR>{kAutoStartTimer} : std::vector<UINT_PTR>{});
    EXPECT_FALSE(atStart.upgradeEnabled);
    const auto boxes = run.world.MessageBoxes();
    if (c.starts) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::Success));  // the named image, not the damaged default
      EXPECT_GE(boxes[0].shownAt, t0 + kAutoStartDelayMs);
      EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
    } else {
      EXPECT_TRUE(boxes.empty());
      EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);
    }
    EXPECT_EQ(atEnd.path, named);
    EXPECT_TRUE(atEnd.timers.empty());
    run.EndProcess();
  }
}

// Which HID interface the dialog connects to: the first, in enumeration
// order, with the command collection's usage and report lengths and the
// mouse's ids. The virtual mouse itself shows three other collections with the
// same ids before its command collection; here one more interface with the
// mouse's ids is listed before all of them.
TEST(MainDialog, ConnectsOnlyTheFirstMatchingInterface) {
  const std::u16string extraPath =
      sim::HidInterfacePath(sim::kMouseVendorId, sim::kMouseProductId, 2, 1, u"8&11111111&0&0000");
  struct Case {
    const char* what;
    sim::HidDescription extra;
    const char* scenario;
    enum { kMouse, kExtra, kNone } connected;
  };
  const Case cases[] = {
      {"another usage page", sim::MakeHidDescription(0xFF00, 1, 8, 8), "ok", Case::kMouse},
      {"another usage", sim::MakeHidDescription(0xFFB4, 2, 8, 8), "ok", Case::kMouse},
      {"longer input reports", sim::MakeHidDescription(0xFFB4, 1, 9, 8), "ok", Case::kMouse},
      {"longer output reports", sim::MakeHidDescription(0xFFB4, 1, 8, 65), "ok", Case::kMouse},
      {"another usage page, no mouse", sim::MakeHidDescription(0xFF00, 1, 8, 8), "no-mouse", Case::kNone},
      {"other report lengths, no mouse", sim::MakeHidDescription(0xFFB4, 1, 65, 65), "no-mouse", Case::kNone},
      {"a second match, listed first", sim::MakeHidDescription(0xFFB4, 1, 8, 8), "ok", Case::kExtra},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::World* world = nullptr;
    ProgramRun run(c.scenario, [&](sim::World& w) {
      world = &w;
      w.Attach(extraPath,
               std::make_shared<sim::HidCollection>(sim::kMouseVendorId, sim::kMouseProductId, USHORT{0x0100}, c.extra),
               GUID_DEVINTERFACE_HID);
    });
    // No automatic start here: the question is only which interface is used.
    run.world.InjectFault({"CreateFileW", ERROR_FILE_NOT_FOUND, 1, 1000, u"KV27M_FW_UPGRADE"});
    std::u16string connected;
    bool present = false;
    WORD indicator = 0;
    run.world.User().DoAt(run.world.Now() + 50, [&] {
      present = run.Dlg().MousePresent();
      connected = run.Dlg().mouseLink.devicePath;
      indicator = run.Look().indicator;
    });
    run.world.User().CloseAt(run.world.Now() + 100);
    run.Run();
    switch (c.connected) {
      case Case::kMouse:
        EXPECT_TRUE(present);
        EXPECT_EQ(connected, run.rig().mouse().CommandPath());
        break;
      case Case::kExtra:
        EXPECT_TRUE(present);
        EXPECT_EQ(connected, extraPath);
        break;
      case Case::kNone:
        EXPECT_FALSE(present);
        EXPECT_EQ(indicator, IDB_MOUSE_ABSENT);
        break;
    }
    run.world.ClearFaults();
    run.EndProcess();
  }
}

// Windows keeps the mouse's standard mouse collection for its own use: a
// program gets it for attributes only. Through a good run (the mouse leaves
// for its bootloader and comes back) and a re-plug whose write failure makes
// the link search again by the mouse's ids, which find that collection first,
// the dialog opens only the command collection for reports, every other
// collection with no access, and ends on the command collection.
TEST(MainDialog, OpensOnlyTheCommandCollectionForReports) {
  ProgramRun run("ok");
  const std::uint64_t t0 = run.world.Now();
  run.world.User().AnswerMessageBox(IDOK, 1000);
  std::u16string connected;
  View back;
  run.world.User().DoAt(t0 + 100'000, [&] {
    run.rig().mouse().Unplug();
    // What the link sends when a write finds the device gone.
    run.world.SendMessageW(run.Dlg().m_hWnd, WM_DEVICECHANGE, 0, 0);
    run.rig().mouse().Plug();
  });
  run.world.User().DoAt(t0 + 110'000, [&] {
    connected = run.Dlg().mouseLink.devicePath;
    back = run.Look();
  });
  run.world.User().CloseAt(t0 + 110'001);
  run.Run();
  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::Success));
  EXPECT_EQ(connected, run.rig().mouse().CommandPath());
  EXPECT_EQ(back.indicator, IDB_MOUSE_PRESENT);
  for (std::size_t i = 0; i < 4; ++i) {
    const auto opens = run.rig().mouse().Collection(i)->Opens();
    if (i == sim::kMouseCommandCollection) {
      EXPECT_TRUE(std::any_of(opens.begin(), opens.end(),
                              [](const sim::HidOpenRecord& o) { return o.access == (GENERIC_READ | GENERIC_WRITE); }));
      continue;
    }
    for (const auto& open : opens) EXPECT_EQ(open.access, 0u) << "collection " << i + 1;
  }
  run.EndProcess();
}

// Every WM_DEVICECHANGE reaches the mouse link, whatever its wParam: the
// mouse is pulled out and, before its removal notifications are handled, one
// device change with that wParam is sent; the link finds its device gone at
// once. Only arrival and removal refresh the USB monitor (a hub walk: I/O
// controls to the host controllers and hubs).
TEST(MainDialog, EveryDeviceChangeReachesTheLink) {
  struct Case {
    WPARAM wParam;
    bool refreshes;
  };
  const Case cases[] = {
      {0, false},
      {DBT_DEVNODES_CHANGED, true},
      {DBT_DEVICEARRIVAL, true},
      {DBT_DEVICEREMOVECOMPLETE, true},
      {0x8006 /* DBT_CUSTOMEVENT */, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wParam);
    ProgramRun run("no-image");
    bool before = false, after = true;
    WORD indicator = 0;
    std::uint64_t ioctls = 0;
    LRESULT result = 0;
    run.world.User().DoAt(run.world.Now() + 50, [&] {
      before = run.Dlg().MousePresent();
      run.rig().mouse().Unplug();  // its notifications are queued, not handled yet
      const std::uint64_t calls = run.world.CallCount("DeviceIoControl");
      result = run.world.SendMessageW(run.Dlg().m_hWnd, WM_DEVICECHANGE, c.wParam, 0);
      ioctls = run.world.CallCount("DeviceIoControl") - calls;
      after = run.Dlg().MousePresent();
      indicator = run.Look().indicator;
    });
    run.world.User().CloseAt(run.world.Now() + 1000);
    run.Run();
    EXPECT_TRUE(before);
    EXPECT_FALSE(after);
    EXPECT_EQ(indicator, IDB_MOUSE_ABSENT);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ioctls > 0, c.refreshes) << ioctls;
    run.EndProcess();
  }
}

// The mouse is pulled out and plugged in again before the dialog has handled
// its removal notifications: the link's write finds it gone (its own device
// change stops it, keeping the dialog as owner), and when the queued
// notifications come the mouse is back. The link reopens by the mouse's ids,
// which find its standard mouse collection first; the dialog must end up on
// the command interface all the same, and an upgrade from the button works.
TEST(MainDialog, MouseBackBeforeItsRemovalIsHandled) {
  ProgramRun run("ok");
  run.world.InjectFault({"CreateFileW", ERROR_FILE_NOT_FOUND, 1, 1, u"KV27M_FW_UPGRADE"});  // no automatic start
  const std::uint64_t t0 = run.world.Now();
  std::u16string connected;
  View back;
  run.world.User().DoAt(t0 + 50, [&] {
    run.rig().mouse().Unplug();
    // What the link sends when a write finds the device gone.
    run.world.SendMessageW(run.Dlg().m_hWnd, WM_DEVICECHANGE, 0, 0);
    run.rig().mouse().Plug();
  });
  run.world.User().DoAt(t0 + 3000, [&] {
    connected = run.Dlg().mouseLink.devicePath;
    back = run.Look();
  });
  run.world.User().ClickAt(t0 + 3100, IDC_SELECT_IMAGE);
  run.world.User().ChooseFile(sim::kRigImagePath, 100);
  run.world.User().ClickAt(t0 + 4000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + 200'000);
  run.Run();
  EXPECT_EQ(connected, run.rig().mouse().CommandPath());
  EXPECT_TRUE(back.mousePresent);
  EXPECT_EQ(back.indicator, IDB_MOUSE_PRESENT);
  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::Success));
  run.EndProcess();
}

// What a late re-plug must leave: the link live on the command interface,
// the indicator showing the mouse and the button enabled (the path is set),
// and an upgrade from the button that succeeds and keeps the mouse's own
// settings.
void ExpectReplugSeenAndUpgradeWorks(ProgramRun& run, const View& back, const std::u16string& connected,
                                     const std::vector<std::vector<std::uint8_t>>& pages) {
  EXPECT_EQ(connected, run.rig().mouse().CommandPath());
  EXPECT_TRUE(back.mousePresent);
  EXPECT_EQ(back.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(back.upgradeEnabled);
  const auto boxes = run.world.MessageBoxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().text, UpgradeMessage(UpgradeStatus::Success));
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  for (std::size_t p = 0; p < 7; ++p) EXPECT_EQ(run.rig().mouse().UserPage(p), pages[p]) << "page " << p;
}

std::vector<std::vector<std::uint8_t>> UserPages(ProgramRun& run) {
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < 7; ++p) pages.push_back(run.rig().mouse().UserPage(p));
  return pages;
}

// The automatic start waits ten minutes for a bootloader whose driver never
// comes up; meanwhile the user re-plugs the mouse (and its driver is there
// from then on). The run holds the dialog's thread, so the system gives up on
// the notifications of the mouse's departure, its removal and its return: the
// dialog never hears of them. Once the run is over it must not keep the
// handle of the mouse's earlier life: it shows the mouse, enables the button,
// and the next upgrade succeeds.
TEST(MainDialog, ReplugDuringTheNoDriverWaitThenAnUpgradeSucceeds) {
  ProgramRun run("no-driver");
  const std::uint64_t t0 = run.world.Now();
  const auto pages = UserPages(run);
  run.rig().mouse().UnplugAfter(60'000);
  run.world.Schedule(61'000, [&] { run.rig().mouse().BootloaderDriverMissing(false); });
  run.rig().mouse().PlugAfter(63'000);
  View back;
  std::u16string connected;
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + kAfterAnyRun, [&] {
    back = run.Look();
    connected = run.Dlg().mouseLink.devicePath;
  });
  run.world.User().ClickAt(t0 + kAfterAnyRun + 1000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + kAfterAnyRun + 200'000);
  run.Run();

  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::BootloaderNotFound));
  EXPECT_GE(boxes[0].shownAt, t0 + 600'000);
  const auto dropped = run.world.DroppedNotifications();
  const auto lost = [&](WPARAM event, std::uint64_t after) {
    return std::any_of(dropped.begin(), dropped.end(), [&](const sim::DroppedNotification& d) {
      return d.event == event && d.sentAt >= after &&
             SameDevicePath(d.path.c_str(), run.rig().mouse().CommandPath().c_str());
    });
  };
  EXPECT_TRUE(lost(DBT_DEVICEREMOVECOMPLETE, t0));    // off to its bootloader
  EXPECT_TRUE(lost(DBT_DEVICEARRIVAL, t0 + 63'000));  // back after the re-plug
  ExpectReplugSeenAndUpgradeWorks(run, back, connected, pages);
  run.EndProcess();
}

// The mouse is pulled out and plugged in again while the dialog's thread is
// busy: both notifications are handled together, after the mouse is back.
// The link must reopen all the same, and an upgrade from the button succeeds.
TEST(MainDialog, UnplugAndPlugHandledTogetherThenAnUpgradeSucceeds) {
  ProgramRun run("ok");
  run.world.InjectFault({"CreateFileW", ERROR_FILE_NOT_FOUND, 1, 1, u"KV27M_FW_UPGRADE"});  // no automatic start
  const std::uint64_t t0 = run.world.Now();
  const auto pages = UserPages(run);
  run.world.User().ClickAt(t0 + 500, IDC_SELECT_IMAGE);
  run.world.User().ChooseFile(sim::kRigImagePath, 100);
  run.world.User().DoAt(t0 + 2000, [&] {
    run.rig().mouse().Unplug();
    run.world.Sleep(3000);  // the dialog's thread busy, its queue not looked at
    run.rig().mouse().Plug();
  });
  View back;
  std::u16string connected;
  run.world.User().DoAt(t0 + 8000, [&] {
    back = run.Look();
    connected = run.Dlg().mouseLink.devicePath;
  });
  run.world.User().ClickAt(t0 + 9000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + 200'000);
  run.Run();

  EXPECT_EQ(run.world.MessageBoxes().size(), 1u);
  ExpectReplugSeenAndUpgradeWorks(run, back, connected, pages);
  run.EndProcess();
}

// F1 and the Help command reach the framework's own help only: the dialog's
// map does not take the command, the application's does, and nothing else
// happens.
TEST(MainDialog, HelpReachesOnlyTheFramework) {
  ProgramRun run("ok");
  run.world.InjectFault({"CreateFileW", ERROR_FILE_NOT_FOUND, 1, 1000, u"KV27M_FW_UPGRADE"});  // no start
  View before, after;
  bool dialogTakes = true, appTakes = false;
  run.world.User().DoAt(run.world.Now() + 50, [&] {
    before = run.Look();
    LRESULT r = 0;
    dialogTakes = run.Dlg().OnCmdMsg(ID_HELP, 0, &r);
    appTakes = theApp.OnCmdMsg(ID_HELP, 0, &r);
    run.world.SendMessageW(run.Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(ID_HELP), 0), 0);
    run.world.SendMessageW(run.Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(ID_HELP), 1),
                           0);  // F1 accelerator
    after = run.Look();
  });
  run.world.User().CloseAt(run.world.Now() + 1000);
  run.Run();
  EXPECT_FALSE(dialogTakes);
  EXPECT_TRUE(appTakes);
  EXPECT_EQ(after.path, before.path);
  EXPECT_EQ(after.upgradeEnabled, before.upgradeEnabled);
  EXPECT_EQ(after.position, before.position);
  EXPECT_TRUE(run.world.MessageBoxes().empty());
  EXPECT_TRUE(run.world.FileDialogs().empty());
  EXPECT_EQ(run.rig().mouse().RequestCount(), 0u);
  run.world.ClearFaults();
  run.EndProcess();
}

// The default image beside the program, for program directories of every
// length: a default path that fits MAX_PATH is found; one that would not fit,
// or a program path the system had to cut short, gives no default (and never
// a path written past its buffer). The program file may have been renamed to
// something shorter than the image's name, so its own path fitting says
// nothing about the default path.
TEST(MainDialog, DefaultImageBesideProgramsInLongDirectories) {
  struct Case {
    std::size_t dirLength;  // "C:\" and then 'd's
    bool found;
  };
  const std::size_t nameLength = std::u16string(u"\\KV27M_FW_UPGRADE.bimg").size();
  const Case cases[] = {
      {20, true},
      {259 - nameLength, true},   // the default path is 259 units: it fits with its NUL
      {260 - nameLength, false},  // one more would not
      {240, false},
      {300, false},  // the program path itself is cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dirLength);
    ProgramRun run("no-mouse");
    const std::u16string dir = u"C:\\" + std::u16string(c.dirLength - 3, u'd');
    const std::u16string image = dir + u"\\" + kDefaultImageName;
    run.world.SetModulePath(dir + u"\\u.exe");
    run.world.AddFile(image, SampleImageBytes());
    std::u16string shown = u"?";
    run.world.User().DoAt(run.world.Now() + 50, [&] { shown = run.Look().path; });
    run.world.User().CloseAt(run.world.Now() + 100);
    run.Run();
    EXPECT_EQ(shown, c.found ? image : u"");
    EXPECT_TRUE(run.world.MessageBoxes().empty());
    run.EndProcess();
  }
}

}  // namespace
}  // namespace kv27

namespace kv27 {
namespace {

// While the run waits ten minutes for a bootloader whose driver never comes up,
// the dialog is painted and shows the seconds left, and nothing else is taken
// from its queue: a click made then, and the device changes of the mouse
// leaving, wait until the run has ended, as they would without painting.
// (Ten virtual minutes; no real waiting.)
TEST(MainDialog, DuringTheBootloaderWaitOnlyPaintingIsDone) {
  ProgramRun run("no-driver");
  const std::uint64_t t0 = run.world.Now();
  run.world.User().ClickAt(t0 + 60'000, IDC_SELECT_IMAGE);
  run.world.User().CancelFileDialog(200);
  std::u16string percentDuringWait;
  std::size_t fileDialogsDuringWait = 99;
  std::uint64_t paintsDuringWait = 0;
  bool presentDuringWait = false;
  // A world action: it runs inside the run's waits, where user actions cannot.
  run.world.Schedule(120'000, [&] {
    percentDuringWait = run.world.Control(run.Dlg().m_hWnd, IDC_PERCENT).value_or(sim::ControlState{}).text;
    fileDialogsDuringWait = run.world.FileDialogs().size();
    paintsDuringWait = run.world.CallCount("DispatchMessageW");
    presentDuringWait = run.Dlg().MousePresent();
  });
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + kAfterAnyRun);
  run.Run();

  // Counting down the 600 s search, which began a few seconds after the start.
  ASSERT_GE(percentDuringWait.size(), 2u);
  EXPECT_EQ(percentDuringWait.back(), u's');
  const int left = std::stoi(std::string(percentDuringWait.begin(), percentDuringWait.end() - 1));
  EXPECT_GT(left, 470);
  EXPECT_LE(left, 490);
  EXPECT_GT(paintsDuringWait, 0u);
  // The click and the mouse's leaving were not handled during the wait.
  EXPECT_EQ(fileDialogsDuringWait, 0u);
  EXPECT_TRUE(presentDuringWait);
  // The run ended as without painting. (The click reached the dialog once the
  // message box had disabled it, and was dropped, as on Windows.)
  auto boxes = run.world.MessageBoxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.front().text, UpgradeMessage(UpgradeStatus::BootloaderNotFound));
  run.EndProcess();
}

}  // namespace
}  // namespace kv27

namespace kv27 {
namespace {

// The backup files in the world's per-user folder, by name.
std::vector<std::u16string> BackupFiles(sim::World& world) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW data{};
  const std::u16string pattern = std::u16string(sim::kWorldLocalAppData) + u"\\KV27M\\*.kv27ud";
  HANDLE search = world.FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.push_back(data.cFileName);
  while (world.FindNextFileW(search, &data));
  world.FindClose(search);
  return names;
}

std::vector<std::vector<std::uint8_t>> UserPages(sim::VirtualMouse& mouse) {
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < 7; ++p) pages.push_back(mouse.UserPage(p));
  return pages;
}

// A flash that fails after the erase leaves the mouse erased in its
// bootloader. The dialog saved the mouse's settings to a backup file before it
// sent the request that restarted it, shows the waiting mouse as one to
// upgrade, and after a re-plug a click flashes the image with those settings:
// the mouse is back in normal mode with its own settings. The program started
// again finds the mouse as well, and does not start by itself.
TEST(MainDialog, SettingsSurviveAFailedFlashThroughTheirBackup) {
  ProgramRun run("write-fails");
  const auto pages = UserPages(run.rig().mouse());
  const std::uint64_t t0 = run.world.Now();
  std::vector<std::u16string> backupsAtRequest = {u"not looked at"};
  run.world.SetSentMessageHook([&](HWND, UINT message, WPARAM wParam, LPARAM, LRESULT) {
    // Progress 20 comes after the settings are read and before the request.
    if (message == PBM_SETPOS && wParam == 20 && backupsAtRequest.size() == 1 &&
        backupsAtRequest[0] == u"not looked at")
      backupsAtRequest = BackupFiles(run.world);
  });
  View afterFailure, replugged, atEnd;
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + 100'000, [&] {
    afterFailure = run.Look();
    run.rig().mouse().Bootloader()->ClearFaults();  // the glitch is over
    run.rig().mouse().Unplug();
    run.rig().mouse().PlugAfter(5000);
  });
  run.world.User().DoAt(t0 + 108'000, [&] { replugged = run.Look(); });
  run.world.User().ClickAt(t0 + 109'000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + 200'000, [&] { atEnd = run.Look(); });
  run.world.User().CloseAt(t0 + 200'001);
  run.Run();
  run.world.SetSentMessageHook(nullptr);

  ASSERT_EQ(backupsAtRequest.size(), 1u);
  const std::u16string backup = backupsAtRequest[0];
  EXPECT_EQ(backup.rfind(u"backup-20261210-12", 0), 0u) << sim::ToUtf8(backup);
  EXPECT_NE(backup.find(test::RigMousePlace()), std::u16string::npos);
  EXPECT_EQ(BackupFiles(run.world), backupsAtRequest);  // the recovery wrote none
  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::WriteFailed));
  EXPECT_EQ(boxes[1].text, UpgradeMessage(UpgradeStatus::Success));
  // The mouse waits in its bootloader: shown as a mouse to upgrade.
  EXPECT_FALSE(afterFailure.mousePresent);
  EXPECT_EQ(afterFailure.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(afterFailure.upgradeEnabled);
  EXPECT_EQ(afterFailure.position, 60);
  EXPECT_EQ(replugged.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(replugged.upgradeEnabled);
  // Back in normal mode with its own settings.
  EXPECT_EQ(atEnd.position, 100);
  EXPECT_TRUE(atEnd.mousePresent);
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_TRUE(UserPages(run.rig().mouse()) == pages) << "the settings differ";
  run.EndProcess();

  // Once more, and the program is closed while the mouse waits in its
  // bootloader; started again, it shows the mouse, enables the button and
  // starts nothing by itself; a click restores the settings.
  run.rig().mouse().Bootloader()->FailStatus(0x28, 100);
  ProgramRun first(run.world, run.rig());
  first.world.User().AnswerMessageBox(IDOK, 1000);
  first.world.User().CloseAt(first.world.Now() + 100'000);
  first.Run();
  first.EndProcess();
  ASSERT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
  run.rig().mouse().Bootloader()->ClearFaults();
  EXPECT_EQ(BackupFiles(run.world).size(), 2u);

  ProgramRun again(run.world, run.rig());
  const std::uint64_t t1 = again.world.Now();
  const std::size_t boxesBefore = again.world.MessageBoxes().size();
  View atStart;
  again.world.User().DoAt(t1 + 500, [&] { atStart = again.Look(); });
  again.world.User().ClickAt(t1 + 1000, IDC_UPGRADE);
  again.world.User().AnswerMessageBox(IDOK, 1000);
  again.world.User().CloseAt(t1 + 100'000);
  again.Run();
  EXPECT_FALSE(atStart.mousePresent);
  EXPECT_EQ(atStart.indicator, IDB_MOUSE_PRESENT);
  EXPECT_TRUE(atStart.upgradeEnabled);
  EXPECT_TRUE(atStart.timers.empty());
  const auto later = again.world.MessageBoxes();
  ASSERT_EQ(later.size(), boxesBefore + 1);
  EXPECT_EQ(later.back().text, UpgradeMessage(UpgradeStatus::Success));
  EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_TRUE(UserPages(run.rig().mouse()) == pages) << "the settings differ";
  again.EndProcess();
}

// No backup file, no request: when the settings cannot be saved the dialog
// says so in its own message, the progress stays at 10 and the mouse stays in
// normal mode, untouched.
TEST(MainDialog, BackupThatCannotBeWrittenSendsNothing) {
  struct Case {
    const char* what;
    std::function<void(sim::World&)> setUp;
  };
  const Case cases[] = {
      {"no per-user folder", [](sim::World& w) { w.SetEnvironmentVariable(u"LOCALAPPDATA", std::nullopt); }},
      {"the folder cannot be made",
       [](sim::World& w) { w.SetEnvironmentVariable(u"LOCALAPPDATA", u"C:\\Users\\Gone\\AppData\\Local"); }},
      {"the file cannot be created",
       [](sim::World& w) {
         w.InjectFault({"CreateFileW", ERROR_ACCESS_DENIED, 1, 0, u"backup-"});
       }},
      {"the disk is full",
       [](sim::World& w) {
         w.InjectFault({"WriteFile", ERROR_DISK_FULL, 1, 0, u"backup-"});
       }},
      {"the flush fails",
       [](sim::World& w) {
         w.InjectFault({"FlushFileBuffers", ERROR_DISK_FULL, 1, 0, u"backup-"});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run("ok");
    c.setUp(run.world);
    const auto pages = UserPages(run.rig().mouse());
    View atEnd;
    HWND dialog = nullptr;
    run.world.User().AnswerMessageBox(IDOK, 1000);
    run.world.User().DoAt(run.world.Now() + 60'000, [&] {
      atEnd = run.Look();
      dialog = run.Dlg().m_hWnd;
    });
    run.world.User().CloseAt(run.world.Now() + 60'001);
    run.Run();
    const auto boxes = run.world.MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kBackupFailedText);
    EXPECT_EQ(boxes[0].caption, test::kDialogCaption);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[0].owner, dialog);
    EXPECT_EQ(atEnd.position, 10);
    EXPECT_EQ(atEnd.percent, u"10%");
    EXPECT_TRUE(atEnd.mousePresent);
    EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
    EXPECT_EQ(run.rig().mouse().Flash(), run.rig().factoryFlash());
    EXPECT_TRUE(UserPages(run.rig().mouse()) == pages) << "the settings differ";
    run.world.ClearFaults();
    run.EndProcess();
  }
}

// A mouse in its bootloader with no backup of its own (the only backups are
// of a mouse on another port, and one of its own that is damaged): the dialog
// says so and asks. OK flashes the image with the image's own settings at
// 0x3800; Cancel sends nothing.
TEST(MainDialog, MouseInItsBootloaderWithoutABackup) {
  for (const int answer : {IDOK, IDCANCEL}) {
    SCOPED_TRACE(answer);
    ProgramRun run("unplug-during-write");
    const std::u16string folder = std::u16string(sim::kWorldLocalAppData) + u"\\KV27M";
    std::vector<std::uint8_t> others(kUserDataSize, 0x5A);
    View waiting;
    run.world.User().AnswerMessageBox(IDOK, 1000);
    run.world.User().DoAt(run.world.Now() + 100'000, [&] {
      // What the failed run saved is gone; what is left is not this mouse's.
      for (const auto& name : BackupFiles(run.world)) run.world.AddFile(folder + u"\\" + name, {1, 2, 3});
      run.world.AddFile(folder + u"\\backup-20300101-000000-000-at-00000000-2.kv27ud", EncodeBackup(others.data()));
      run.rig().mouse().Bootloader()->ClearFaults();
      run.rig().mouse().Plug();  // it left during the write; it comes back in its bootloader
    });
    sim::BootloaderFlash waitingFlash{};
    run.world.User().DoAt(run.world.Now() + 105'000, [&] {
      waiting = run.Look();
      waitingFlash = run.rig().mouse().Flash();
    });
    run.world.User().ClickAt(run.world.Now() + 106'000, IDC_UPGRADE);
    run.world.User().AnswerMessageBox(answer, 1000);
    run.world.User().AnswerMessageBox(IDOK, 1000);
    run.world.User().CloseAt(run.world.Now() + 200'000);
    run.Run();

    EXPECT_EQ(waiting.indicator, IDB_MOUSE_PRESENT);
    EXPECT_TRUE(waiting.upgradeEnabled);
    const auto boxes = run.world.MessageBoxes();
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::WriteFailed));
    EXPECT_EQ(boxes[1].text, kNoBackupText);
    EXPECT_EQ(boxes[1].type, static_cast<UINT>(MB_OKCANCEL));
    if (answer == IDOK) {
      ASSERT_EQ(boxes.size(), 3u);
      EXPECT_EQ(boxes[2].text, UpgradeMessage(UpgradeStatus::Success));
      EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
      // The image's own bytes at 0x3800-0x3F05.
      const ImageFileResult plain = PlainSampleImage();
      ASSERT_TRUE(plain.ok());
      const sim::BootloaderFlash flash = run.rig().mouse().Flash();
      EXPECT_TRUE(
          std::equal(flash.begin() + 0x3800, flash.begin() + 0x3800 + kUserDataSize, plain.payload.begin() + 0x3800));
    } else {
      EXPECT_EQ(boxes.size(), 2u);
      EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
      EXPECT_EQ(run.rig().mouse().Flash(), waitingFlash);
    }
    run.EndProcess();
  }
}

}  // namespace
}  // namespace kv27
