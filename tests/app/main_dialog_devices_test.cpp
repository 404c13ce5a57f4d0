// The main dialog and the devices: which mouse it links to, which collection
// it opens, and how it follows mice that arrive, leave and come back, with
// notifications late or lost. The dialog runs as in main_dialog_test.cpp.
#include <gtest/gtest.h>

#include "tests/app/main_dialog_test_support.h"

namespace kv27 {

namespace {

using namespace dialog_test;

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

}  // namespace
}  // namespace kv27
