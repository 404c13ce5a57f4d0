// The main dialog on the simulated PC, built from the program's own compiled
// template 102 and run as the program runs it (AppMain, InitInstance, the
// modal loop on the test's thread), with a scripted user acting at virtual
// times.
//
// This file: what the dialog shows (every run's one message, in both
// languages, the controls as the template sets them, refusals, help) and
// what it does while a run waits.
#include <gtest/gtest.h>

#include "tests/app/main_dialog_test_support.h"

namespace kv27 {

// The program's one application object: this test program plays the program.
CKV27MFirmwareUpdateApp theApp;

namespace {

using namespace dialog_test;

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
