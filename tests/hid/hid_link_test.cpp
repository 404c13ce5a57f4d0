// Started links: the reader thread, the owner window, and following the
// device as it leaves and comes back.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "tests/hid/hid_test_support.h"

namespace kv27::test {
namespace {

class HidLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test polls the link from outside the world (Eventually): the clock
    // goes on without this thread once it has been busy for 2 ms.
    world.SetRealWaitCap(2);
    path = AttachAt(world, mouse, kVid, kPid, 1);
    window = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      if (message == WM_DEVICECHANGE) link.OnDeviceChange(wParam, lParam);
      return 0;
    });
    owner.Attach(window);
  }
  void TearDown() override {
    link.Close();
    EXPECT_EQ(world.LeakReport(), "");
  }

  // Messages the owner window got through SendMessageW.
  std::vector<sim::WindowMessage> Sent() {
    std::vector<sim::WindowMessage> sent;
    for (const auto& m : world.Received(window))
      if (m.sent && !m.fromSystem) sent.push_back(m);
    return sent;
  }

  sim::World world;
  std::shared_ptr<sim::HidCollection> mouse = MakeCollection();
  std::u16string path;
  HWND window = nullptr;
  CWnd owner;
  RecordingLink link{world};
  const BYTE request[8] = {0xB4, 0x02, 0x00, 0x04, 0x00, 0, 0, 0};
};

TEST_F(HidLinkTest, StartWithOwnerReadsOnItsOwnThread) {
  ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
  EXPECT_EQ(link.lastError, 0);
  EXPECT_EQ(mouse->OpenHandleAccess(),
            (std::vector<DWORD>{GENERIC_READ | GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE}));
  EXPECT_NE(link.readThread, nullptr);
  EXPECT_EQ(link.GetNotifyWindow(), window);
  EXPECT_NE(link.devNotify, nullptr);
  EXPECT_EQ(link.vendorId, kVid);

  // Only reports of exactly the input length reach the handler, in order.
  mouse->SendInputReport({0xB4, 0x20, 1, 2, 3, 4, 5, 6});
  mouse->SendInputReport({0xB4, 0x02, 9, 9, 9, 9, 9});  // a short read
  mouse->SendInputReport({0xB4, 0x24, 0x34, 0x12, 0, 0, 0, 0});
  ASSERT_TRUE(link.WaitForReports(2));
  const auto reports = link.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], (Bytes{0xB4, 0x20, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(reports[1], (Bytes{0xB4, 0x24, 0x34, 0x12, 0, 0, 0, 0}));
  const auto threads = link.Threads();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());

  // Writes go out on the main handle while the reader waits on its own.
  EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), 0);
  EXPECT_EQ(mouse->OutputReports().size(), 1u);

  EXPECT_EQ(link.Stop(), 0);
  EXPECT_EQ(link.readThread, nullptr);
  EXPECT_EQ(link.device, nullptr);
  EXPECT_EQ(link.reader.device, nullptr);
  EXPECT_EQ(link.GetNotifyWindow(), window);  // Stop keeps the owner
  EXPECT_NE(link.devNotify, nullptr);
  EXPECT_EQ(link.Stop(), 1011);
}

TEST_F(HidLinkTest, StopWakesAReadInProgress) {
  // Idle reads would now take 10 s of real time to expire.
  world.SetRealWaitCap(10000);
  ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
  ASSERT_TRUE(Eventually([&] { return mouse->PendingReads() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Lets the stop's wake-up land at the worst moment: the reader's read has
// timed out and the reader is cancelling it, and the wake-up comes between the
// reader's own reset of its event and its wait for the cancellation.
class StopDuringCancelWorld : public sim::World {
 public:
  explicit StopDuringCancelWorld(std::thread::id controller) : controller_(controller) {}
  BOOL CancelIo(HANDLE file) override {
    if (std::this_thread::get_id() != controller_) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!heldOnce_) {
        heldOnce_ = true;
        held_.store(true);
        // Hold the reader here until the controller waits for it to end,
        // which is after it has woken the reader.
        joined_.wait_for(lock, std::chrono::seconds(5), [&] { return joining_; });
      }
    }
    return World::CancelIo(file);
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD ms) override {
    if (ms == INFINITE && std::this_thread::get_id() == controller_) {
      std::lock_guard<std::mutex> lock(mutex_);
      joining_ = true;
      joined_.notify_all();
    }
    return World::WaitForSingleObject(object, ms);
  }
  bool ReaderHeld() const { return held_.load(); }

 private:
  std::atomic<bool> held_{false};
  std::thread::id controller_;
  std::mutex mutex_;
  std::condition_variable joined_;
  bool heldOnce_ = false;
  bool joining_ = false;
};

TEST(HidLinkStop, ReaderEndsOnlyOnceItsReadIsOver) {
  StopDuringCancelWorld world(std::this_thread::get_id());
  world.SetRealWaitCap(2);
  world.SetCancelLatency(5);
  auto mouse = MakeCollection();
  const std::u16string path = AttachAt(world, mouse, kVid, kPid, 1);
  {
    RecordingLink link(world);
    ASSERT_EQ(link.Start(path.c_str()), 0);
    ASSERT_TRUE(Eventually([&] { return world.ReaderHeld(); }));
    EXPECT_EQ(link.Stop(), 0);
    // The read the reader cancelled was over before its thread ended: nothing
    // completes into the ended thread's stack.
    EXPECT_EQ(world.LeakReport(), "");
  }
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(HidLinkTest, StartThatCannotOpenStillWatches) {
  const std::u16string absent = sim::HidInterfacePath(kVid, 0x0777, 0, 0);
  EXPECT_EQ(link.Start(absent.c_str(), &owner), 8);
  EXPECT_EQ(link.lastError, 8);
  EXPECT_EQ(link.device, nullptr);
  EXPECT_EQ(link.readThread, nullptr);
  EXPECT_EQ(link.GetNotifyWindow(), window);
  EXPECT_NE(link.devNotify, nullptr);
  // No ids were recorded, so an arrival finds nothing and does nothing.
  EXPECT_EQ(link.vendorId, 0);
  world.Attach(absent, MakeCollection(kVid, 0x0777), GUID_DEVINTERFACE_HID);
  EXPECT_EQ(world.PumpMessages(window), 1);
  EXPECT_EQ(link.device, nullptr);
  EXPECT_EQ(world.CallCount("CreateThread"), 0u);

  // An id search that finds nothing: 2, and the owner is still registered.
  RecordingLink byIds(world);
  EXPECT_EQ(byIds.Start(kVid, 0x0555, &owner, 0), 2);
  EXPECT_NE(byIds.devNotify, nullptr);
  // Unset ids end the call at once: nothing recorded, nothing registered.
  RecordingLink unset(world);
  EXPECT_EQ(unset.Start(0, kPid, &owner, 0), -1);
  EXPECT_EQ(unset.GetNotifyWindow(), nullptr);
  EXPECT_EQ(unset.devNotify, nullptr);
}

TEST_F(HidLinkTest, DeviceWithoutInputReportsHasNoReader) {
  auto writer = MakeCollection(kVid, 0x0031, VendorCollection(0, 8));
  const std::u16string writerPath = AttachAt(world, writer, kVid, 0x0031, 0);
  ASSERT_EQ(link.Start(writerPath.c_str(), &owner), 0);
  EXPECT_EQ(writer->OpenHandleAccess(), std::vector<DWORD>{GENERIC_WRITE});
  EXPECT_EQ(link.readThread, nullptr);
  EXPECT_NE(link.devNotify, nullptr);
  EXPECT_EQ(world.CallCount("CreateThread"), 0u);
  EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), 0);
}

TEST_F(HidLinkTest, ReaderFailuresAtStart) {
  struct Case {
    const char* name;
    sim::Fault fault;
    std::int32_t code;
    bool mainOpen;
  };
  // Start(path) opens: probe, main, probe, then for the reader probe, handle,
  // probe.
  const Case cases[] = {
      {"thread cannot be created", {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1}, 8, false},
      {"reader handle cannot be opened", {"CreateFileW", ERROR_SHARING_VIOLATION, 5}, 32, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    world.ClearFaults();
    world.InjectFault(c.fault);
    RecordingLink started(world);
    EXPECT_EQ(started.Start(path.c_str(), &owner), c.code);
    EXPECT_EQ(started.lastError, c.code);
    EXPECT_EQ(started.readThread, nullptr);
    EXPECT_EQ(started.reader.device, nullptr);
    EXPECT_EQ(started.device != nullptr, c.mainOpen);
    // A thread that cannot be created leaves no owner; a missing reader
    // leaves the link open and watching, without a thread.
    EXPECT_EQ(started.devNotify != nullptr, c.mainOpen);
    EXPECT_EQ(started.GetNotifyWindow() != nullptr, c.mainOpen);
    started.Close();
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(HidLinkTest, WriteToADeviceThatLeftTellsTheOwnerOnce) {
  ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
  world.Detach(path);
  world.ClearReceived(window);

  // Read: 1167 and no message.
  BYTE in[8];
  EXPECT_EQ(link.Read(in, 8, nullptr, nullptr, 1000), 1167);
  EXPECT_TRUE(Sent().empty());

  // Write: 1167 after exactly one WM_DEVICECHANGE (0, 0), sent from this, the
  // owner's, thread. The owner's handler stops the link inside the Write.
  EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), 1167);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].message, WM_DEVICECHANGE);
  EXPECT_EQ(sent[0].wParam, 0u);
  EXPECT_EQ(sent[0].lParam, 0);
  EXPECT_TRUE(sent[0].fromOwnerThread);
  EXPECT_EQ(link.device, nullptr);
  EXPECT_EQ(link.readThread, nullptr);
  EXPECT_EQ(link.lastError, 1167);
}

// The text form of Write is the locked Write of the link too: the owner hears
// of the loss while the writing thread still holds ioLock. Without an owner
// nothing arrives anywhere and the code still comes back.
TEST_F(HidLinkTest, TextWriteToADeviceThatLeftGoesThroughTheLock) {
  const char text[] = "\xB4\x02\x01\x04\x05\x06\x07\x08";
  for (bool withOwner : {true, false}) {
    SCOPED_TRACE(withOwner ? "owner" : "no owner");
    int heard = 0;
    bool lockedDuringMessage = false;
    HWND watcher = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      if (message != WM_DEVICECHANGE || wParam != 0 || lParam != 0) return 0;
      ++heard;
      // Another thread cannot take the lock while the Write holds it.
      std::thread probe([&] {
        lockedDuringMessage = !link.ioLock.try_lock();
        if (!lockedDuringMessage) link.ioLock.unlock();
      });
      probe.join();
      return 0;
    });
    ASSERT_EQ(withOwner ? link.Start(path.c_str(), watcher) : link.Start(path.c_str()), 0);
    world.Detach(path);
    world.ClearReceived(window);

    DWORD transferred = 1234;
    EXPECT_EQ(link.Write(text, &transferred, nullptr, 1000), 1167);
    EXPECT_EQ(link.lastError, 1167);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(heard, withOwner ? 1 : 0);
    EXPECT_EQ(lockedDuringMessage, withOwner);
    EXPECT_TRUE(world.Received(window).empty());

    link.Close();
    world.DestroyHeadlessWindow(watcher);
    world.Attach(path, mouse, GUID_DEVINTERFACE_HID);
  }
}

TEST_F(HidLinkTest, ReaderPausesAfterReadsThatFailAtOnce) {
  // No owner: nothing stops the link when its device leaves, and every read on
  // the gone handle fails at once.
  ASSERT_EQ(link.Start(path.c_str()), 0);
  ASSERT_TRUE(Eventually([&] { return mouse->PendingReads() == 1; }));
  world.Detach(path);
  // The clock first: the reader goes on between the two looks, and a pause it
  // finishes between them must not count as time before the reads counted.
  const auto start = world.Now();
  const auto reads = world.CallCount("ReadFile");
  ASSERT_TRUE(Eventually([&] { return world.CallCount("ReadFile") >= reads + 4; }));
  // Each failed read is followed by a pause of one read time-out.
  EXPECT_GE(world.Now() - start, 3 * kHidReaderTimeoutMs);
  EXPECT_EQ(link.Stop(), 0);
}

// A handle on an interface that has left stays dead when the interface comes
// back under the same path. When the removal is handled only once the device
// is back (both notifications late), the removal of the link's own interface
// must close that handle before the link asks whether the device is there, and
// the link starts again on a live one. A removal names the link's own path
// when the paths compare as Windows compares device paths: whatever the case.
// Once the reader's pending read has failed for the device's departure, the
// handle is known dead and any device change starts the link afresh.
TEST_F(HidLinkTest, RemovalOfItsOwnInterfaceHandledLateReopens) {
  // Nothing here polls from outside the world: the clock waits for every
  // thread, however long the host keeps one off its core (with the fixture's
  // 2 ms a loaded machine let the write's time-out run out first).
  world.SetRealWaitCap(60000);
  auto upper = [](std::u16string s) {
    for (auto& c : s)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
  };
  auto lower = [](std::u16string s) {
    for (auto& c : s)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
  };
  const std::u16string otherPath = sim::HidInterfacePath(kVid, kPid, 3, 0);
  struct Case {
    const char* what;
    WPARAM event;
    DWORD deviceType;
    std::u16string name;
    std::size_t cutUnits;  // units of the name left out of dbcc_size
    bool payload;
    bool itsRemoval;  // names the removal of the link's own interface
  };
  const Case cases[] = {
      {"removal of its own path", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, path, 0, true, true},
      {"its own path in capitals", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, upper(path), 0, true, true},
      {"its own path in small letters", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, lower(path), 0, true,
       true},
      {"removal of another interface", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, otherPath, 0, true, false},
      {"arrival of its own path", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, path, 0, true, false},
      {"another kind of device", DBT_DEVICEREMOVECOMPLETE, 2 /* DBT_DEVTYP_VOLUME */, path, 0, true, false},
      {"its path cut short by the size", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, path, 5, true, false},
      {"no payload", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, path, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
    // Out and back in before anything is handled: the notifications wait in
    // the queue, and the handle the link holds is dead.
    world.Detach(path);
    world.Attach(path, mouse, GUID_DEVINTERFACE_HID);
    const HANDLE dead = link.device;

    const std::size_t nameBytes = (c.name.size() + 1) * sizeof(WCHAR);
    const std::size_t head = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<std::uint8_t> payload(std::max(head + nameBytes, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
    DEV_BROADCAST_DEVICEINTERFACE_W hdr{};
    hdr.dbcc_size = static_cast<DWORD>(head + nameBytes - c.cutUnits * sizeof(WCHAR));
    hdr.dbcc_devicetype = c.deviceType;
    hdr.dbcc_classguid = GUID_DEVINTERFACE_HID;
    std::memcpy(payload.data(), &hdr, head);
    std::memcpy(payload.data() + head, c.name.c_str(), nameBytes);
    const LPARAM lParam = c.payload ? reinterpret_cast<LPARAM>(payload.data()) : 0;
    EXPECT_EQ(IsRemovalOf(c.event, lParam, link.devicePath), c.itsRemoval);
    // The reader's pending read failed when the device left.
    ASSERT_TRUE(Eventually([&] { return link.deviceGone.load(); }));
    EXPECT_EQ(world.SendMessageW(window, WM_DEVICECHANGE, c.event, lParam), 0);

    ASSERT_NE(link.device, nullptr);
    EXPECT_NE(link.device, dead);
    EXPECT_EQ(PathOf(link.devicePath), path);
    EXPECT_NE(link.readThread, nullptr);
    EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), 0);
    mouse->SendInputReport({0xB4, 0x21, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(link.WaitForReports(1));
    link.Close();
    world.PumpMessages(window);  // the world's own notifications: nothing is started after Close
    EXPECT_EQ(link.device, nullptr);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// A write that fails because the device has gone (at once, or while it was
// pending, or with any of the codes Windows gives for a removed device) tells
// the owner, and the link closes its dead handle and searches afresh: the
// device is back, so the link is open on a live handle when the write
// returns, and the next write goes out. A write that fails for another reason
// sends nothing and keeps the handle.
TEST_F(HidLinkTest, WriteThatFindsTheDeviceGoneSearchesAfresh) {
  // Nothing here polls from outside the world: the clock waits for every
  // thread, however long the host keeps one off its core (with the fixture's
  // 2 ms a loaded machine let the write's time-out run out first).
  world.SetRealWaitCap(60000);
  struct Case {
    const char* what;
    std::int32_t code;
    bool gone;
  };
  const Case cases[] = {
      {"out and back in: fails at once", static_cast<std::int32_t>(ERROR_DEVICE_NOT_CONNECTED), true},
      {"out and back in while pending", static_cast<std::int32_t>(ERROR_DEVICE_NOT_CONNECTED), true},
      {"device removed", static_cast<std::int32_t>(ERROR_DEVICE_REMOVED), true},
      {"device no longer exists", static_cast<std::int32_t>(ERROR_DEV_NOT_EXIST), true},
      {"a general failure", static_cast<std::int32_t>(ERROR_GEN_FAILURE), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
    const std::string what = c.what;
    if (what == "out and back in: fails at once") {
      world.Detach(path);
      world.Attach(path, mouse, GUID_DEVINTERFACE_HID);
    } else if (what == "out and back in while pending") {
      mouse->SetWriteMode(sim::HidCollection::WriteMode::kNever);
      world.Schedule(100, [&] {
        world.Detach(path);
        mouse->SetWriteMode(sim::HidCollection::WriteMode::kImmediate);
        world.Attach(path, mouse, GUID_DEVINTERFACE_HID);
      });
    } else {
      world.InjectFault({"WriteFile", static_cast<DWORD>(c.code), 1, 1, u""});
    }
    const HANDLE before = link.device;
    world.ClearReceived(window);

    EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), c.code);
    EXPECT_EQ(link.lastError, c.code);
    EXPECT_EQ(Sent().size(), c.gone ? 1u : 0u);
    ASSERT_NE(link.device, nullptr);
    if (c.gone) {
      EXPECT_NE(link.device, before);
      EXPECT_NE(link.readThread, nullptr);
    } else {
      EXPECT_EQ(link.device, before);
    }
    EXPECT_EQ(link.Write(request, 8, nullptr, nullptr, 1000), 0);
    world.ClearFaults();
    link.Close();
    world.PumpMessages(window);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(HidLinkTest, StopThenArrivalRestartsByStoredIds) {
  // Two interfaces with the ids; the link wants the second.
  auto second = MakeCollection();
  const std::u16string secondPath = AttachAt(world, second, kVid, kPid, 2);
  ASSERT_EQ(link.Start(kVid, kPid, &owner, 1), 0);
  EXPECT_EQ(PathOf(link.devicePath), secondPath);
  const HDEVNOTIFY registration = link.devNotify;

  // Still present: nothing changes.
  const HANDLE device = link.device;
  EXPECT_EQ(link.OnDeviceChange(DBT_DEVNODES_CHANGED, 0), TRUE);
  EXPECT_EQ(link.device, device);

  // The second interface leaves: only one match is left, so the link stops.
  world.Detach(secondPath);
  world.PumpMessages(window);
  EXPECT_EQ(link.device, nullptr);
  EXPECT_EQ(link.readThread, nullptr);
  EXPECT_EQ(link.devNotify, registration);

  // It comes back: the link starts again on it, with a reader.
  world.Attach(secondPath, second, GUID_DEVINTERFACE_HID);
  world.PumpMessages(window);
  ASSERT_NE(link.device, nullptr);
  EXPECT_EQ(PathOf(link.devicePath), secondPath);
  EXPECT_NE(link.readThread, nullptr);
  EXPECT_EQ(link.devNotify, registration);
  second->SendInputReport({0xB4, 0x21, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(link.WaitForReports(1));

  // Close, then an arrival: no message comes, nothing starts.
  EXPECT_EQ(link.Close(), 0);
  EXPECT_EQ(link.devNotify, nullptr);
  EXPECT_EQ(link.GetNotifyWindow(), nullptr);
  world.Detach(secondPath);
  world.Attach(secondPath, second, GUID_DEVINTERFACE_HID);
  EXPECT_EQ(world.PumpMessages(window), 0);
  EXPECT_EQ(link.OnDeviceChange(DBT_DEVICEARRIVAL, 0), TRUE);  // no owner: nothing
  EXPECT_EQ(link.device, nullptr);
}

TEST_F(HidLinkTest, SecondStartKeepsTheFirstRegistrationAndThread) {
  ASSERT_EQ(link.Start(path.c_str(), &owner), 0);
  const HANDLE thread = link.readThread;
  const HDEVNOTIFY registration = link.devNotify;
  CWnd other(world.CreateHeadlessWindow());

  EXPECT_EQ(link.Start(path.c_str(), &other), 1247);
  EXPECT_EQ(link.lastError, 1247);
  EXPECT_EQ(link.readThread, thread);
  EXPECT_EQ(link.devNotify, registration);
  EXPECT_EQ(link.GetNotifyWindow(), other.GetSafeHwnd());
  EXPECT_EQ(world.CallCount("CreateThread"), 1u);
  EXPECT_EQ(world.CallCount("RegisterDeviceNotificationW"), 1u);
  EXPECT_EQ(mouse->OpenHandleAccess().size(), 2u);

  mouse->SendInputReport({0xB4, 0x22, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(link.WaitForReports(1));
  world.DestroyHeadlessWindow(other.Detach());
}

TEST_F(HidLinkTest, DestructionStopsAndReleasesEverything) {
  {
    RecordingLink scoped(world);
    ASSERT_EQ(scoped.Start(path.c_str(), &owner), 0);
    mouse->SendInputReport({0xB4, 0x20, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(scoped.WaitForReports(1));
  }
  {
    // A plain CHIDCommWnd, whose own destructor does the stopping.
    CHIDCommWnd plain(world);
    ASSERT_EQ(plain.Start(kVid, kPid, window, 0), 0);
  }
  EXPECT_EQ(world.LeakReport(), "");
}

// Writes from the caller's thread while the reader thread hands over the
// answers: the data path the mouse protocol uses, under ThreadSanitizer.
TEST(HidLinkEcho, WritesAndRepliesRunInParallel) {
  sim::World world;
  auto echo = std::make_shared<sim::HidEchoCollection>(kVid, kPid, USHORT{1}, VendorCollection());
  const std::u16string path = AttachAt(world, echo, kVid, kPid, 1);
  {
    RecordingLink link(world);
    ASSERT_EQ(link.Start(path.c_str()), 0);
    constexpr int kExchanges = 200;
    for (int i = 0; i < kExchanges; ++i) {
      const BYTE report[8] = {0xB4, 0x02, static_cast<BYTE>(i), 4, 0, 0, 0, 0};
      ASSERT_EQ(link.Write(report, 8, nullptr, nullptr, 1000), 0);
      ASSERT_TRUE(link.WaitForReports(static_cast<std::size_t>(i) + 1));
    }
    const auto reports = link.Reports();
    for (int i = 0; i < kExchanges; ++i) EXPECT_EQ(reports[i][2], static_cast<BYTE>(i));
  }
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::test
