// The main dialog's upgrades: good runs and the settings they keep, the
// image the user chooses or names, second runs, and the settings' backup
// when a flash fails. The dialog runs as in main_dialog_test.cpp.
#include <gtest/gtest.h>

#include "tests/app/main_dialog_test_support.h"

namespace kv27 {

namespace {

using namespace dialog_test;

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

// Two mice on the hub, in both orders and with the second one on either side
// of the rig's (port 2). The dialog upgrades the mouse it links to (the one
// listed first) and its flash fails; the backup it saved is named after that
// mouse's own port, as the rig plugged it. The other mouse is unplugged, the
// failed one re-plugged: it waits in its bootloader, and a click flashes it
// with its own settings, without a question. The other mouse's flash is never
// touched.
TEST(MainDialog, TwoMiceTheRecoveryTakesTheSettingsOfTheMouseThatFailed) {
  struct Case {
    int otherPort;
    bool otherFirst;
  };
  for (const Case c : {Case{1, false}, Case{1, true}, Case{3, false}, Case{3, true}}) {
    SCOPED_TRACE(std::to_string(c.otherPort) + (c.otherFirst ? " other first" : " rig's first"));
    sim::World world;
    sim::MouseRig rig(world, SampleImageBytes(), sim::RigOptions{0, c.otherPort, c.otherFirst});
    sim::VirtualMouse& failed = c.otherFirst ? *rig.otherMouse() : rig.mouse();
    sim::VirtualMouse& beside = c.otherFirst ? rig.mouse() : *rig.otherMouse();
    const int failedPort = c.otherFirst ? c.otherPort : test::kRigMousePort;
    const auto pages = UserPages(failed);
    ASSERT_FALSE(pages == UserPages(beside));  // settings of their own
    const sim::BootloaderFlash besideBefore = beside.Flash();
    failed.Bootloader()->FailStatus(0x28, 100);  // the write of block 100 fails

    ProgramRun run(world, rig);
    const std::uint64_t t0 = world.Now();
    std::vector<std::u16string> backups;
    world.User().AnswerMessageBox(IDOK, 1000);
    world.User().DoAt(t0 + 100'000, [&] {
      backups = BackupFiles(world);
      failed.Bootloader()->ClearFaults();
      beside.Unplug();
      failed.Unplug();
      failed.PlugAfter(5000);
    });
    world.User().ClickAt(t0 + 109'000, IDC_UPGRADE);
    world.User().AnswerMessageBox(IDOK, 1000);
    world.User().CloseAt(t0 + 200'000);
    run.Run();

    ASSERT_EQ(backups.size(), 1u);
    EXPECT_NE(backups[0].find(u"-" + test::RigPlace(failedPort) + u".kv27ud"), std::u16string::npos)
        << sim::ToUtf8(backups[0]);
    const auto boxes = world.MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, UpgradeMessage(UpgradeStatus::WriteFailed));
    EXPECT_EQ(boxes[1].text, UpgradeMessage(UpgradeStatus::Success));
    EXPECT_EQ(failed.CurrentMode(), sim::VirtualMouse::Mode::kNormal);
    EXPECT_TRUE(UserPages(failed) == pages) << "the settings differ";
    EXPECT_TRUE(beside.Flash() == besideBefore);
    run.EndProcess();
  }
}

// A simulated run (--simulate) keeps its backups in the per-user folder's
// "simulated" subfolder: the real folder, which the recovery of a real mouse
// reads, gets nothing, and a backup there (a real mouse's on the same port) is
// never taken for the simulated mouse.
TEST(MainDialog, SimulatedRunsKeepTheirBackupsApart) {
  theApp.simulated = true;
  ProgramRun run("write-fails");
  const std::u16string real = std::u16string(sim::kWorldLocalAppData) + u"\\KV27M";
  const std::vector<std::uint8_t> realSettings(kUserDataSize, 0x42);
  const std::u16string realBackup =
      real + u"\\backup-20301210-120000-000-n999999-" + test::RigMousePlace() + u".kv27ud";
  run.world.AddFile(realBackup, EncodeBackup(realSettings.data()));
  const auto pages = UserPages(run.rig().mouse());
  const std::uint64_t t0 = run.world.Now();
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().DoAt(t0 + 100'000, [&] {
    run.rig().mouse().Bootloader()->ClearFaults();
    run.rig().mouse().Unplug();
    run.rig().mouse().PlugAfter(5000);
  });
  run.world.User().ClickAt(t0 + 109'000, IDC_UPGRADE);
  run.world.User().AnswerMessageBox(IDOK, 1000);
  run.world.User().CloseAt(t0 + 200'000);
  run.Run();
  theApp.simulated = false;

  EXPECT_EQ(BackupFiles(run.world), std::vector<std::u16string>{realBackup.substr(real.size() + 1)});
  WIN32_FIND_DATAW data{};
  HANDLE search = run.world.FindFirstFileW((real + u"\\simulated\\backup-*.kv27ud").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_NE(std::u16string(data.cFileName).find(test::RigMousePlace()), std::u16string::npos);
  EXPECT_FALSE(run.world.FindNextFileW(search, &data));
  run.world.FindClose(search);
  const auto boxes = run.world.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, UpgradeMessage(UpgradeStatus::Success));
  EXPECT_TRUE(UserPages(run.rig().mouse()) == pages) << "the settings differ";
  run.EndProcess();
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

// The "%s" of a dialog text, in order.
std::u16string Filled(std::u16string text, const std::vector<std::u16string>& values) {
  for (const auto& value : values) text.replace(text.find(u"%s"), 2, value);
  return text;
}

// A mouse in its bootloader without a sound backup of its own that is its
// newest: none at all (the only backup is of a mouse on another port), its
// own damaged, or its newest damaged with an older sound one. The dialog says
// which and asks. OK flashes the image with the image's own settings at
// 0x3800, or the older backup's; Cancel sends nothing.
TEST(MainDialog, MouseInItsBootloaderWithoutABackup) {
  const std::u16string folder = std::u16string(sim::kWorldLocalAppData) + u"\\KV27M";
  const std::vector<std::uint8_t> others(kUserDataSize, 0x5A), older(kUserDataSize, 0x3C);
  enum class Left { None, Damaged, DamagedAndOlder };
  for (const Left left : {Left::None, Left::Damaged, Left::DamagedAndOlder}) {
    for (const int answer : {IDOK, IDCANCEL}) {
      SCOPED_TRACE(static_cast<int>(left) * 10 + answer);
      ProgramRun run("unplug-during-write");
      View waiting;
      std::u16string expected;
      run.world.User().AnswerMessageBox(IDOK, 1000);
      run.world.User().DoAt(run.world.Now() + 100'000, [&] {
        const std::vector<std::u16string> written = BackupFiles(run.world);
        ASSERT_EQ(written.size(), 1u);
        const std::u16string own = written[0];
        if (left == Left::None) {
          // Another user's folder, holding only another mouse's backup.
          run.world.AddDirectory(u"C:\\Users\\other\\AppData\\Local\\KV27M");
          run.world.SetEnvironmentVariable(u"LOCALAPPDATA", u"C:\\Users\\other\\AppData\\Local");
          run.world.AddFile(
              u"C:\\Users\\other\\AppData\\Local\\KV27M\\backup-20300101-000000-000-n000009-at-00000000-2.kv27ud",
              EncodeBackup(others.data()));
          expected = kNoBackupText;
        } else {
          run.world.AddFile(folder + u"\\" + own, {1, 2, 3});
          run.world.AddFile(folder + u"\\backup-20300101-000000-000-n000009-at-00000000-2.kv27ud",
                            EncodeBackup(others.data()));
          expected = Filled(kBackupDamagedText, {own});
          if (left == Left::DamagedAndOlder) {
            const std::u16string before = u"backup-20261209-000000-000-" + test::RigMousePlace() + u".kv27ud";
            run.world.AddFile(folder + u"\\" + before, EncodeBackup(older.data()));
            expected = Filled(kOlderBackupText, {own, before});
          }
        }
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
      EXPECT_EQ(boxes[1].text, expected);
      EXPECT_EQ(boxes[1].type, static_cast<UINT>(MB_OKCANCEL));
      if (answer == IDOK) {
        ASSERT_EQ(boxes.size(), 3u);
        EXPECT_EQ(boxes[2].text, UpgradeMessage(UpgradeStatus::Success));
        EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kNormal);
        // The image's own bytes at 0x3800-0x3F05, or the older backup's.
        const ImageFileResult plain = PlainSampleImage();
        ASSERT_TRUE(plain.ok());
        const sim::BootloaderFlash flash = run.rig().mouse().Flash();
        if (left == Left::DamagedAndOlder)
          EXPECT_TRUE(std::equal(flash.begin() + 0x3800, flash.begin() + 0x3800 + kUserDataSize, older.begin()));
        else
          EXPECT_TRUE(std::equal(flash.begin() + 0x3800, flash.begin() + 0x3800 + kUserDataSize,
                                 plain.payload.begin() + 0x3800));
      } else {
        EXPECT_EQ(boxes.size(), 2u);
        EXPECT_EQ(run.rig().mouse().CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
        EXPECT_EQ(run.rig().mouse().Flash(), waitingFlash);
      }
      run.EndProcess();
    }
  }
}

}  // namespace
}  // namespace kv27
