// The simulated world's core: clock, handles, events, threads, overlapped I/O,
// hotplug, SetupAPI listing, windows and fault injection.
#include "sim/world.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

namespace kv27::sim {
namespace {

constexpr GUID kTestClass = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

// A device whose reads stay pending until the test feeds it data; writes
// complete at once and are recorded.
class EchoDevice : public Device {
 public:
  DWORD OnRead(IoRequest& r, DWORD* n, CallEffects&) override {
    if (!r.overlapped) return ERROR_INVALID_FUNCTION;
    waiting.push_back(r);
    return ERROR_IO_PENDING;
  }
  DWORD OnWrite(IoRequest& r, DWORD* n, CallEffects& fx) override {
    auto* p = static_cast<const std::uint8_t*>(r.buffer);
    written.emplace_back(p, p + r.length);
    *n = r.length;
    fx.delayMs = writeDelay;
    return ERROR_SUCCESS;
  }
  void OnCancel(std::uint64_t id) override {
    cancelled.push_back(id);
    std::erase_if(waiting, [&](const IoRequest& r) { return r.id == id; });
  }
  // Completes the oldest pending read with `bytes`.
  bool Feed(std::vector<std::uint8_t> bytes) {
    auto lk = world()->Lock();
    while (!waiting.empty()) {
      IoRequest r = waiting.front();
      waiting.pop_front();
      size_t n = std::min<size_t>(bytes.size(), r.length);
      std::memcpy(r.buffer, bytes.data(), n);
      if (world()->CompleteIoLocked(r.id, ERROR_SUCCESS, static_cast<DWORD>(n))) return true;
    }
    return false;
  }
  std::deque<IoRequest> waiting;
  std::vector<std::vector<std::uint8_t>> written;
  std::vector<std::uint64_t> cancelled;
  DWORD writeDelay = 0;
};

struct WorldTest : ::testing::Test {
  World world;
  std::shared_ptr<EchoDevice> dev = std::make_shared<EchoDevice>();
  const std::u16string path = u"\\\\?\\test#dev_1#{11111111-2222-3333-0102-030405060708}";

  HANDLE Open(DWORD access, DWORD flags = FILE_FLAG_OVERLAPPED) {
    return world.CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                             nullptr);
  }
};

TEST_F(WorldTest, ClockRunsScheduledActionsInOrderAndSleepIsVirtual) {
  std::vector<int> order;
  const auto t0 = world.GetTickCount();
  world.Schedule(250, [&] { order.push_back(2); });
  world.Schedule(100, [&] { order.push_back(1); });
  world.Sleep(200);
  EXPECT_EQ(order, std::vector<int>({1}));
  EXPECT_EQ(world.GetTickCount() - t0, 200u);
  // Ten minutes of sleeping take no real time.
  for (int i = 0; i < 6000; ++i) world.Sleep(100);
  EXPECT_EQ(order, std::vector<int>({1, 2}));
  EXPECT_EQ(world.GetTickCount() - t0, 200u + 600000u);
}

TEST_F(WorldTest, TickCountWrapsAt32Bits) {
  world.SetNow(0xFFFFFF00ull);
  DWORD before = world.GetTickCount();
  world.Sleep(0x200);
  EXPECT_LT(world.GetTickCount(), before);
  EXPECT_EQ(static_cast<DWORD>(world.GetTickCount() - before), 0x200u);
}

TEST_F(WorldTest, NamedEventsAreSharedAndWaitsTimeOutInVirtualTime) {
  HANDLE a = world.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(world.GetLastError(), 0u);
  HANDLE b = world.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  EXPECT_EQ(world.GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_NE(a, b);

  world.SetRealWaitCap(5);
  const auto t0 = world.GetTickCount();
  EXPECT_EQ(world.WaitForSingleObject(a, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(world.GetTickCount() - t0, 1000u);

  EXPECT_TRUE(world.SetEvent(b));  // signals the shared object
  EXPECT_EQ(world.WaitForSingleObject(a, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(world.WaitForSingleObject(a, 0), WAIT_TIMEOUT) << "auto-reset event stays reset";

  HANDLE manual = world.CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(world.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(world.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  world.ResetEvent(manual);
  EXPECT_EQ(world.WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  for (HANDLE h : {a, b, manual}) EXPECT_TRUE(world.CloseHandle(h));
  EXPECT_EQ(world.LeakReport(), "");
  // Once every handle is gone, the name makes a fresh event.
  HANDLE c = world.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  EXPECT_EQ(world.GetLastError(), 0u);
  world.CloseHandle(c);
}

TEST_F(WorldTest, ScheduledSignalEndsAWaitInVirtualTime) {
  HANDLE e = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  world.Schedule(300, [&] { world.SetEvent(e); });
  const auto t0 = world.GetTickCount();
  EXPECT_EQ(world.WaitForSingleObject(e, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(world.GetTickCount() - t0, 300u);
  world.CloseHandle(e);
}

DWORD KV_WINAPI CountUp(LPVOID p) {
  static_cast<std::atomic<int>*>(p)->fetch_add(1);
  return 7;
}

TEST_F(WorldTest, SuspendedThreadRunsOnlyAfterResumeAndSignalsItsHandle) {
  std::atomic<int> runs{0};
  DWORD id = 0;
  HANDLE t = world.CreateThread(nullptr, 0, CountUp, &runs, CREATE_SUSPENDED, &id);
  ASSERT_NE(t, nullptr);
  world.SetRealWaitCap(5);
  EXPECT_EQ(world.WaitForSingleObject(t, 10), WAIT_TIMEOUT);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(world.ResumeThread(t), 1u);
  EXPECT_EQ(world.WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(runs.load(), 1);
  world.CloseHandle(t);

  world.InjectFault({"CreateThread", ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(world.CreateThread(nullptr, 0, CountUp, &runs, 0, nullptr), nullptr);
  EXPECT_EQ(world.GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(WorldTest, OverlappedReadPendsCompletesAndCancels) {
  world.Attach(path, dev, kTestClass);
  HANDLE h = Open(GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE ev = world.CreateEventW(nullptr, TRUE, TRUE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  std::uint8_t buf[8] = {};
  DWORD n = 99;

  // Pending: the event is reset when the transfer starts.
  EXPECT_FALSE(world.ReadFile(h, buf, 8, &n, &ov));
  EXPECT_EQ(world.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(world.WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(world.GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(world.GetLastError(), ERROR_IO_INCOMPLETE);

  ASSERT_TRUE(dev->Feed({0xB4, 1, 2, 3}));
  EXPECT_EQ(world.WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(world.GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(buf[0], 0xB4);

  // Cancelled: completes with ERROR_OPERATION_ABORTED, after CancelIo has
  // returned, and the device forgets it.
  EXPECT_FALSE(world.ReadFile(h, buf, 8, nullptr, &ov));
  EXPECT_TRUE(world.CancelIo(h));
  EXPECT_EQ(world.PendingTransfers(h), 1u);
  EXPECT_FALSE(world.GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(world.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(dev->waiting.size(), 0u);
  EXPECT_EQ(dev->cancelled.size(), 1u);

  // Immediate completion signals the event.
  world.ResetEvent(ev);
  EXPECT_TRUE(world.WriteFile(h, buf, 3, &n, &ov));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(world.WaitForSingleObject(ev, 0), WAIT_OBJECT_0);

  world.CloseHandle(ev);
  world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, GetOverlappedResultWaitsOnTheEventNotOnTheTransfer) {
  // Whoever sets the transfer's event ends a GetOverlappedResult wait: the
  // call then reports success with the transfer still running.
  world.Attach(path, dev, kTestClass);
  HANDLE h = Open(GENERIC_READ);
  HANDLE ev = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  std::uint8_t buf[8] = {};
  ASSERT_FALSE(world.ReadFile(h, buf, 8, nullptr, &ov));
  world.Schedule(50, [&] { dev->Feed({1, 2, 3, 4}); });
  const auto t0 = world.Now();
  world.SetEvent(ev);
  DWORD n = 99;
  EXPECT_TRUE(world.GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(world.Now(), t0);
  EXPECT_EQ(world.PendingTransfers(h), 1u);
  EXPECT_FALSE(world.GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(world.GetLastError(), ERROR_IO_INCOMPLETE);

  // With the event reset, the wait ends with the transfer.
  world.ResetEvent(ev);
  EXPECT_TRUE(world.GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(world.Now(), t0 + 50);
  world.CloseHandle(ev);
  world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, CancelIoCancelsOnlyTheCallersTransfersAndLater) {
  world.Attach(path, dev, kTestClass);
  world.SetCancelLatency(5);
  HANDLE h = Open(GENERIC_READ);
  OVERLAPPED mine{}, theirs{};
  std::uint8_t a[8] = {}, b[8] = {};
  ASSERT_FALSE(world.ReadFile(h, a, 8, nullptr, &mine));
  std::thread other([&] { EXPECT_FALSE(world.ReadFile(h, b, 8, nullptr, &theirs)); });
  other.join();
  ASSERT_EQ(world.PendingTransfers(h), 2u);

  DWORD n = 0;
  EXPECT_TRUE(world.CancelIo(h));
  EXPECT_FALSE(world.GetOverlappedResult(h, &mine, &n, FALSE));
  EXPECT_EQ(world.GetLastError(), ERROR_IO_INCOMPLETE) << "cancelled inside CancelIo";
  world.Advance(5);
  EXPECT_FALSE(world.GetOverlappedResult(h, &mine, &n, FALSE));
  EXPECT_EQ(world.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(world.GetOverlappedResult(h, &theirs, &n, FALSE));
  EXPECT_EQ(world.GetLastError(), ERROR_IO_INCOMPLETE) << "another thread's transfer was cancelled";

  // A transfer that the device completes before the cancellation lands keeps
  // its data.
  ASSERT_FALSE(world.ReadFile(h, a, 8, nullptr, &mine));
  EXPECT_TRUE(world.CancelIo(h));
  ASSERT_TRUE(dev->Feed({7, 7}));  // the other thread's read, the older one
  ASSERT_TRUE(dev->Feed({9, 9, 9}));
  world.Advance(5);
  EXPECT_TRUE(world.GetOverlappedResult(h, &mine, &n, FALSE));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(world.GetOverlappedResult(h, &theirs, &n, FALSE));
  EXPECT_EQ(n, 2u);
  world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

// A reader idling on a long read wait, once another thread is blocked in a
// wait of its own.
struct IdleReader {
  World* world;
  HANDLE idle;
  std::uint64_t waitsBefore;
};

DWORD KV_WINAPI IdleReaderMain(LPVOID p) {
  auto* c = static_cast<IdleReader*>(p);
  while (c->world->CallCount("WaitForSingleObject") == c->waitsBefore) std::this_thread::yield();
  return c->world->WaitForSingleObject(c->idle, 2000);
}

TEST_F(WorldTest, WaitEndsAtItsDeadlineWhicheverThreadMovesTheClock) {
  // Waits that nothing ends would take 10 s of real time: the wait below must
  // end because the clock passes its deadline, not by the real-time cap.
  world.SetRealWaitCap(10'000);
  HANDLE reply = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE idle = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // The reply comes 1500 ms late; a reader thread idles on a long read wait
  // that takes the clock past it.
  world.Schedule(1500, [&] { world.SetEvent(reply); });
  world.Schedule(2000, [&] { world.SetEvent(idle); });
  const auto waitsBefore = world.CallCount("WaitForSingleObject");
  IdleReader context{&world, idle, waitsBefore};
  HANDLE reader = world.CreateThread(nullptr, 0, &IdleReaderMain, &context, 0, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(world.WaitForSingleObject(reply, 100), WAIT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(world.WaitForSingleObject(reader, INFINITE), WAIT_OBJECT_0);
  // The late reply is still there for the next wait.
  EXPECT_EQ(world.WaitForSingleObject(reply, 0), WAIT_OBJECT_0);
  for (HANDLE h : {reply, idle, reader}) world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

// A reply that another thread is about to send: the waiting thread's time-out
// must not run out while that thread is busy, however long the host machine
// keeps it off the processor (here a real quarter second, as a loaded build
// machine does).
struct ReplyWaiter {
  World* world;
  HANDLE reply;
  std::atomic<DWORD> result{0xFFFFFFFFu};
};

DWORD KV_WINAPI ReplyWaiterMain(LPVOID p) {
  auto* c = static_cast<ReplyWaiter*>(p);
  c->result = c->world->WaitForSingleObject(c->reply, 1000);
  return 0;
}

TEST_F(WorldTest, ClockWaitsForABusyThreadBeforeAWaitTimesOut) {
  HANDLE reply = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ReplyWaiter context{&world, reply};
  const auto waitsBefore = world.CallCount("WaitForSingleObject");
  const std::uint64_t start = world.Now();
  HANDLE waiter = world.CreateThread(nullptr, 0, &ReplyWaiterMain, &context, 0, nullptr);
  while (world.CallCount("WaitForSingleObject") == waitsBefore) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(world.Now(), start) << "the clock moved while this thread was busy";
  EXPECT_TRUE(world.SetEvent(reply));
  EXPECT_EQ(world.WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(context.result.load(), WAIT_OBJECT_0);

  // Once this thread waits too, the clock moves on to the earliest end: the
  // other thread's time-out before this one's.
  context.result = 0xFFFFFFFFu;
  HANDLE second = world.CreateThread(nullptr, 0, &ReplyWaiterMain, &context, 0, nullptr);
  EXPECT_EQ(world.WaitForSingleObject(second, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(context.result.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(world.Now(), start + 1000);
  for (HANDLE h : {reply, waiter, second}) world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, AccessRightsAreEnforced) {
  world.Attach(path, dev, kTestClass);
  OVERLAPPED ov{};
  std::uint8_t buf[8] = {};
  HANDLE readOnly = Open(GENERIC_READ);
  EXPECT_FALSE(world.WriteFile(readOnly, buf, 8, nullptr, &ov));
  EXPECT_EQ(world.GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE none = Open(0);
  EXPECT_FALSE(world.ReadFile(none, buf, 8, nullptr, &ov));
  EXPECT_EQ(world.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(dev->written.empty());
  world.CloseHandle(readOnly);
  world.CloseHandle(none);
}

TEST_F(WorldTest, DeviceLeavingFailsPendingAndLaterIoAndNotifiesRegisteredWindows) {
  HWND wnd = world.CreateHeadlessWindow();
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kTestClass;
  HDEVNOTIFY reg = world.RegisterDeviceNotificationW(wnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(reg, nullptr);

  world.Attach(path, dev, kTestClass);
  HANDLE h = Open(GENERIC_READ | GENERIC_WRITE);
  OVERLAPPED ov{};
  std::uint8_t buf[8];
  DWORD n = 0;
  EXPECT_FALSE(world.ReadFile(h, buf, 8, nullptr, &ov));
  world.Detach(path);
  EXPECT_FALSE(world.GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(world.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(world.WriteFile(h, buf, 8, nullptr, &ov));
  EXPECT_EQ(world.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Open(GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_FILE_NOT_FOUND);

  world.Attach(path, dev, kTestClass);  // comes back
  auto got = world.Received(wnd);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].wParam, DBT_DEVICEARRIVAL);
  EXPECT_EQ(got[1].wParam, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(got[2].wParam, DBT_DEVICEARRIVAL);
  std::u16string name;
  world.CreateHeadlessWindow();  // unrelated window: receives nothing
  HWND seen = nullptr;
  HWND pumped = world.CreateHeadlessWindow([&](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
    seen = w;
    auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
    name = b->dbcc_name;
    return 0;
  });
  HDEVNOTIFY reg2 = world.RegisterDeviceNotificationW(pumped, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  world.Detach(path);
  // Notifications are sent: a thread that takes messages for one of its
  // windows takes those sent to all of them (the three still waiting for
  // `wnd`, and its removal), then the one for `pumped`.
  EXPECT_EQ(world.PumpMessages(pumped), 5);
  EXPECT_EQ(seen, pumped);
  EXPECT_EQ(name, path);

  // Unregistered: nothing more arrives.
  world.UnregisterDeviceNotification(reg);
  world.UnregisterDeviceNotification(reg2);
  world.Attach(path, dev, kTestClass);
  EXPECT_EQ(world.Received(wnd).size(), 4u);
  EXPECT_EQ(world.PumpMessages(pumped), 0);
  world.CloseHandle(h);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, SetupApiListsPresentInterfacesInStableOrder) {
  const std::u16string a = u"\\\\?\\test#a", b = u"\\\\?\\test#b", c = u"\\\\?\\test#c";
  for (auto& p : {a, b, c}) world.Attach(p, dev, kTestClass);
  world.Attach(u"\\\\?\\other#x", dev, GUID_DEVINTERFACE_HID);
  world.Detach(a);
  world.Attach(a, dev, kTestClass);  // back in its old place
  world.Detach(b);

  auto list = [&] {
    std::vector<std::u16string> out;
    HDEVINFO set = world.SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof(data);
      BOOL ok = world.SetupDiEnumDeviceInterfaces(set, nullptr, &kTestClass, i, &data);
      if (world.GetLastError() == ERROR_NO_MORE_ITEMS) break;
      EXPECT_TRUE(ok);
      DWORD required = 0;
      EXPECT_FALSE(world.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
      EXPECT_EQ(world.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<std::uint8_t> mem(required + 1);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(mem.data());
      // A wrong fixed size fails; the other architecture's is the usual mistake
      // (6 is right only for 32-bit code, 8 only for 64-bit code).
      for (DWORD wrong : {DWORD{kPointerIs32Bit ? 8u : 6u}, DWORD{sizeof(DWORD)}, required}) {
        detail->cbSize = wrong;
        EXPECT_FALSE(world.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) << wrong;
        EXPECT_EQ(world.GetLastError(), ERROR_INVALID_USER_BUFFER) << wrong;
      }
      detail->cbSize = kDeviceInterfaceDetailFixedSize;
      EXPECT_TRUE(world.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
      out.emplace_back(detail->DevicePath);
    }
    world.SetupDiDestroyDeviceInfoList(set);
    return out;
  };
  EXPECT_EQ(list(), (std::vector<std::u16string>{a, c}));
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, FaultsHitTheNthMatchingCallForTheirCount) {
  world.Attach(path, dev, kTestClass);
  world.Attach(u"\\\\?\\test#other", dev, kTestClass);
  // Second open of `path` and the one after it fail; other paths are untouched.
  world.InjectFault({"CreateFileW", ERROR_SHARING_VIOLATION, 2, 2, u"dev_1"});
  std::vector<bool> opened;
  for (int i = 0; i < 4; ++i) {
    HANDLE h = Open(0);
    opened.push_back(h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
      world.CloseHandle(h);
    else
      EXPECT_EQ(world.GetLastError(), ERROR_SHARING_VIOLATION);
    HANDLE o = world.CreateFileW(u"\\\\?\\test#other", 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(o, INVALID_HANDLE_VALUE);
    world.CloseHandle(o);
  }
  EXPECT_EQ(opened, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(world.CallCount("CreateFileW"), 8u);

  // times = 0: from the nth call on, for good.
  world.InjectFault({"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, 1, 0});
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(world.SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
  world.ClearFaults();
  HDEVINFO set = world.SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  world.SetupDiDestroyDeviceInfoList(set);
}

TEST_F(WorldTest, DeviceLatencyMovesTheCallersClock) {
  world.Attach(path, dev, kTestClass);
  dev->writeDelay = 1500;
  HANDLE h = Open(GENERIC_WRITE, 0);
  std::uint8_t b = 1;
  DWORD n = 0;
  const auto t0 = world.GetTickCount();
  EXPECT_TRUE(world.WriteFile(h, &b, 1, &n, nullptr));
  EXPECT_EQ(world.GetTickCount() - t0, 1500u);
  world.CloseHandle(h);
}

TEST_F(WorldTest, LeakReportNamesWhatIsStillOpen) {
  world.Attach(path, dev, kTestClass);
  HANDLE h = Open(0);
  HANDLE e = world.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  std::string report = world.LeakReport();
  EXPECT_NE(report.find("file"), std::string::npos);
  EXPECT_NE(report.find("test#dev_1"), std::string::npos);
  EXPECT_NE(report.find("reply_event"), std::string::npos);
  world.CloseHandle(h);
  world.CloseHandle(e);
  EXPECT_FALSE(world.CloseHandle(e));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(WorldTest, PlainFilesComeFromMemoryOverlay) {
  world.SetHostFiles(false);
  world.AddFile(u"C:\\fw\\a.bimg", {1, 2, 3, 4, 5});
  HANDLE h =
      world.CreateFileW(u"c:\\FW\\a.bimg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::uint8_t buf[8];
  DWORD n = 0;
  EXPECT_TRUE(world.ReadFile(h, buf, 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(world.ReadFile(h, buf, 8, &n, nullptr));
  EXPECT_EQ(n, 2u);  // short read at the end
  EXPECT_TRUE(world.ReadFile(h, buf, 8, &n, nullptr));
  EXPECT_EQ(n, 0u);
  world.CloseHandle(h);
  EXPECT_EQ(world.CreateFileW(u"C:\\fw\\missing.bimg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE w = world.CreateFileW(u"C:\\fw\\out.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_TRUE(world.WriteFile(w, "xyz", 3, &n, nullptr));
  world.CloseHandle(w);
  EXPECT_EQ(world.FileBytes(u"C:\\fw\\out.bin"), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
  EXPECT_EQ(world.LeakReport(), "");
}

// Files on the host disk as Windows keeps them: created by CreateFileW, the
// bytes of a WriteFile in the file (and seen by other handles and programs)
// when the call returns, and the host's errors reported with Windows' codes.
class WorldHostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kv27-world-files-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_EQ(world.LeakReport(), "");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::u16string Path(const std::string& name) const { return (dir_ / name).u16string(); }
  std::string HostBytes(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  HANDLE Create(const std::u16string& path, DWORD disposition, DWORD access = GENERIC_WRITE, DWORD share = 0) {
    return world.CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  World world;
  std::filesystem::path dir_;
};

TEST_F(WorldHostFiles, OpenErrorsAreWindowsErrors) {
  struct Case {
    std::string name;
    DWORD disposition;
    DWORD error;
  };
  std::ofstream(dir_ / "there.bin") << "old";
  const Case cases[] = {
      {"no-such-dir/b.kv27ud", CREATE_NEW, ERROR_PATH_NOT_FOUND},
      {"no-such-dir/b.kv27ud", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"no-such-dir/b.kv27ud", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"missing.bin", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"missing.bin", TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND},
      {"there.bin", CREATE_NEW, ERROR_FILE_EXISTS},
      {"", OPEN_EXISTING, ERROR_ACCESS_DENIED},  // the directory itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.disposition));
    world.SetLastError(0);
    EXPECT_EQ(Create(c.name.empty() ? dir_.u16string() : Path(c.name), c.disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(world.GetLastError(), c.error);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no-such-dir"));
  EXPECT_EQ(HostBytes("there.bin"), "old");

  // Directories on the host: one level at a time, and listed.
  EXPECT_FALSE(world.CreateDirectoryW(Path("a/b").c_str(), nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(world.CreateDirectoryW(Path("a").c_str(), nullptr));
  EXPECT_FALSE(world.CreateDirectoryW(Path("a").c_str(), nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_ALREADY_EXISTS);
  WIN32_FIND_DATAW data{};
  HANDLE find = world.FindFirstFileW(Path("t*.bin").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"there.bin");
  EXPECT_EQ(data.nFileSizeLow, 3u);
  EXPECT_FALSE(world.FindNextFileW(find, &data));
  EXPECT_EQ(world.GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(world.FindClose(find));
  EXPECT_EQ(world.FindFirstFileW(Path("no-such-dir/*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(WorldHostFiles, WritesReachTheDiskWhenWriteFileReturns) {
  HANDLE w = Create(Path("b.kv27ud"), CREATE_NEW, GENERIC_WRITE, FILE_SHARE_READ);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "b.kv27ud"));  // created by the open
  DWORD n = 0;
  ASSERT_TRUE(world.WriteFile(w, "abc", 3, &n, nullptr));
  EXPECT_EQ(HostBytes("b.kv27ud"), "abc");
  // Another handle sees what the first one wrote while it is still open (a
  // reader that shares writing with it; without, ERROR_SHARING_VIOLATION).
  EXPECT_EQ(Create(Path("b.kv27ud"), OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_SHARING_VIOLATION);
  HANDLE r = Create(Path("b.kv27ud"), OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(world.WriteFile(w, "de", 2, &n, nullptr));
  char got[8] = {};
  ASSERT_TRUE(world.ReadFile(r, got, sizeof got, &n, nullptr));
  EXPECT_EQ(std::string(got, n), "abcde");
  EXPECT_TRUE(world.FlushFileBuffers(w));
  EXPECT_FALSE(world.FlushFileBuffers(r));  // read access only
  EXPECT_EQ(world.GetLastError(), ERROR_ACCESS_DENIED);
  world.CloseHandle(r);
  world.CloseHandle(w);

  // Created over: truncated at the open, ERROR_ALREADY_EXISTS with success.
  w = Create(Path("b.kv27ud"), CREATE_ALWAYS);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(HostBytes("b.kv27ud"), "");
  world.CloseHandle(w);
}

// A write the disk cannot take fails as Windows fails it. /dev/full takes
// nothing: every write to it fails with ENOSPC.
TEST_F(WorldHostFiles, FullDiskFailsTheWrite) {
#if defined(_WIN32)
  GTEST_SKIP() << "no /dev/full on this host";
#endif
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  HANDLE w = Create(u"/dev/full", OPEN_EXISTING);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  DWORD n = 99;
  EXPECT_FALSE(world.WriteFile(w, "abc", 3, &n, nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(n, 0u);
  world.CloseHandle(w);
}

// The memory overlay keeps one content per file, shared by its handles and
// changed by each write; files are created only in its directories.
TEST_F(WorldTest, MemoryFilesAreWrittenThroughAndNeedTheirDirectory) {
  world.SetHostFiles(false);
  const std::u16string file = u"C:\\Users\\me\\AppData\\Local\\KV27M\\b.kv27ud";
  HANDLE h = world.CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_PATH_NOT_FOUND);

  world.AddDirectory(u"C:\\Users\\me\\AppData\\Local\\KV27M");
  h = world.CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.FileBytes(file), std::vector<std::uint8_t>{});
  DWORD n = 0;
  ASSERT_TRUE(world.WriteFile(h, "xy", 2, &n, nullptr));
  EXPECT_EQ(world.FileBytes(u"c:/users/ME/appdata/local/kv27m/B.KV27UD"), (std::vector<std::uint8_t>{'x', 'y'}));
  EXPECT_TRUE(world.FlushFileBuffers(h));
  world.CloseHandle(h);
  EXPECT_EQ(world.CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_FILE_EXISTS);

  world.InjectFault({"FlushFileBuffers", ERROR_DISK_FULL, 1, 1, u"b.kv27ud"});
  h = world.CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(world.FlushFileBuffers(h));
  EXPECT_EQ(world.GetLastError(), ERROR_DISK_FULL);
  world.CloseHandle(h);
  EXPECT_FALSE(world.FlushFileBuffers(h));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(world.LeakReport(), "");
}

// The per-user folder and its listing as Windows gives them: the environment
// variable (sizes as GetEnvironmentVariableW counts them), directories made
// one level at a time, FindFirstFileW/FindNextFileW with wildcards over the
// names as they were created, and the local time moving on with the clock.
TEST_F(WorldTest, FoldersListingsEnvironmentAndLocalTime) {
  char16_t value[64] = {};
  const std::u16string local = kWorldLocalAppData;
  EXPECT_EQ(world.GetEnvironmentVariableW(u"LocalAppData", nullptr, 0), local.size() + 1);
  EXPECT_EQ(world.GetEnvironmentVariableW(u"LOCALAPPDATA", value, static_cast<DWORD>(local.size())),
            local.size() + 1);  // no room for the terminator: the size needed
  EXPECT_EQ(world.GetEnvironmentVariableW(u"LOCALAPPDATA", value, 64), local.size());
  EXPECT_EQ(std::u16string(value), local);
  EXPECT_EQ(world.GetEnvironmentVariableW(u"NO_SUCH_VARIABLE", value, 64), 0u);
  EXPECT_EQ(world.GetLastError(), ERROR_ENVVAR_NOT_FOUND);

  const std::u16string folder = local + u"\\KV27M";
  EXPECT_FALSE(world.CreateDirectoryW((folder + u"\\a\\b").c_str(), nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(world.CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_FALSE(world.CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_ALREADY_EXISTS);
  for (const char16_t* name : {u"backup-1.kv27ud", u"Backup-2.KV27UD", u"notes.txt"}) {
    HANDLE h = world.CreateFileW((folder + u"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    world.WriteFile(h, "abcd", 4, &n, nullptr);
    world.CloseHandle(h);
  }
  EXPECT_FALSE(world.CreateDirectoryW((folder + u"\\notes.txt").c_str(), nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_ALREADY_EXISTS);

  auto list = [&](const std::u16string& pattern, DWORD* error) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data{};
    HANDLE h = world.FindFirstFileW(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
      *error = world.GetLastError();
      return names;
    }
    do {
      names.push_back(data.cFileName);
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        EXPECT_EQ(data.nFileSizeLow, 4u);
      }
    } while (world.FindNextFileW(h, &data));
    *error = world.GetLastError();
    EXPECT_TRUE(world.FindClose(h));
    return names;
  };
  DWORD error = 0;
  auto names = list(folder + u"\\backup-*.kv27ud", &error);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Backup-2.KV27UD", u"backup-1.kv27ud"}));
  EXPECT_EQ(error, ERROR_NO_MORE_FILES);
  names = list(folder + u"\\*", &error);
  EXPECT_EQ(names.size(), 5u);  // ".", ".." and the three files
  EXPECT_TRUE(list(folder + u"\\*.bin", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(list(local + u"\\Nowhere\\*", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  names = list(local + u"\\k?27m", &error);
  EXPECT_EQ(names, std::vector<std::u16string>{u"KV27M"});

  WIN32_FIND_DATAW data{};
  HANDLE open = world.FindFirstFileW((folder + u"\\*").c_str(), &data);
  EXPECT_NE(world.LeakReport().find("find"), std::string::npos);
  EXPECT_TRUE(world.FindClose(open));
  EXPECT_FALSE(world.FindClose(open));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(world.LeakReport(), "");

  SYSTEMTIME t{};
  world.GetLocalTime(&t);
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}),
            std::vector<int>({2026, 12, 10, 4, 12, 0, 0, 0}));
  world.Advance(1500);
  world.GetLocalTime(&t);
  EXPECT_EQ(t.wSecond, 1);
  EXPECT_EQ(t.wMilliseconds, 500);
  world.SetLocalTime(SYSTEMTIME{2024, 2, 0, 29, 23, 59, 59, 999});
  world.Advance(1);
  world.GetLocalTime(&t);
  EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}),
            std::vector<int>({2024, 3, 1, 5, 0, 0, 0, 0}));
}

TEST_F(WorldTest, WindowMessagesAreLoggedAndDispatched) {
  std::vector<UINT> handled;
  HWND wnd = world.CreateHeadlessWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
    handled.push_back(m);
    return 42;
  });
  UINT id = world.RegisterWindowMessageW(u"KEYSTATUS_MSG");
  EXPECT_GE(id, 0xC000u);
  EXPECT_EQ(world.RegisterWindowMessageW(u"KEYSTATUS_MSG"), id);
  EXPECT_NE(world.RegisterWindowMessageW(u"MODEDPICHANGE_MSG"), id);
  EXPECT_EQ(world.RegisteredMessage(u"KEYSTATUS_MSG"), id);

  EXPECT_TRUE(world.PostMessageW(wnd, id, 0x1234, 0));
  EXPECT_TRUE(handled.empty());
  EXPECT_EQ(world.SendMessageW(wnd, WM_DEVICECHANGE, 0, 0), 42);
  EXPECT_EQ(world.PumpMessages(wnd), 1);
  EXPECT_EQ(handled, (std::vector<UINT>{WM_DEVICECHANGE, id}));
  auto log = world.Received(wnd);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_FALSE(log[0].sent);
  EXPECT_EQ(log[0].wParam, 0x1234u);
  EXPECT_TRUE(log[1].sent);
  EXPECT_TRUE(log[1].fromOwnerThread);

  EXPECT_FALSE(world.PostMessageW(nullptr, id, 0, 0));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(world.SendMessageW(nullptr, id, 0, 0), 0);
}

TEST_F(WorldTest, AnsiCodePageReplacesWhatItCannotRepresent) {
  const char16_t* text = u"USB#ROOT_\u4E2D";
  int size = world.WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(size, 11);
  std::string ansi(size, '\0');
  BOOL usedDefault = FALSE;
  EXPECT_EQ(world.WideCharToMultiByte(CP_ACP, 0, text, -1, ansi.data(), size, nullptr, &usedDefault), 11);
  EXPECT_TRUE(usedDefault);
  EXPECT_STREQ(ansi.c_str(), "USB#ROOT_?");
  char16_t back[16] = {};
  EXPECT_EQ(world.MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.c_str(), -1, back, 16), 11);
  EXPECT_EQ(std::u16string(back), u"USB#ROOT_?");
  EXPECT_EQ(world.MultiByteToWideChar(CP_ACP, 0, "abc", -1, back, 2), 0);
  EXPECT_EQ(world.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// ------------------------------------------------------------ the configuration manager's device tree

// The device of an interface, as SetupDiGetDeviceInterfaceDetailW names it
// (null: the call failed, the last error says why).
std::optional<SP_DEVINFO_DATA> DeviceOf(World& world, const GUID& cls, const std::u16string& path,
                                        DWORD cbSize = sizeof(SP_DEVINFO_DATA)) {
  std::optional<SP_DEVINFO_DATA> found;
  HDEVINFO set = world.SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!world.SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data)) break;
    std::vector<std::uint8_t> mem(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(mem.data());
    detail->cbSize = kDeviceInterfaceDetailFixedSize;
    SP_DEVINFO_DATA device{};
    device.cbSize = cbSize;
    const BOOL ok = world.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 1024, nullptr, &device);
    const DWORD error = world.GetLastError();
    if (ok && std::u16string(detail->DevicePath) != path) continue;
    if (ok) found = device;
    world.SetupDiDestroyDeviceInfoList(set);
    world.SetLastError(error);
    return found;
  }
  world.SetupDiDestroyDeviceInfoList(set);
  return found;
}

std::u16string DriverKey(World& world, DEVINST node, CONFIGRET* result = nullptr) {
  WCHAR text[128] = {};
  ULONG length = sizeof text;
  ULONG type = 0;
  const CONFIGRET r = world.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, &type, text, &length, 0);
  if (result) *result = r;
  if (r != CR_SUCCESS) return {};
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(length, (std::u16string(text).size() + 1) * sizeof(WCHAR));
  return text;
}

TEST(InstanceIdOfInterface, ReadsTheIdOutOfThePath) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\\\\?\\hid#vid_4e5b&pid_002a&mi_01&col03#7&1c2d3e4f&0&0002#{4d1e55b2-f16f-11cf-88cb-001111000030}",
       u"hid\\vid_4e5b&pid_002a&mi_01&col03\\7&1c2d3e4f&0&0002"},
      {u"\\\\.\\USB#ROOT_HUB20#4&1a2b3c4d&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", u"USB\\ROOT_HUB20\\4&1a2b3c4d&0"},
      {u"\\\\?\\root#sample#0000#{11111111-2222-3333-0102-030405060708}\\ref", u"root\\sample\\0000"},
      {u"C:\\file.txt", u""},
  };
  for (const auto& [path, id] : cases) EXPECT_EQ(InstanceIdOfInterface(path), id) << ToUtf8(path);
}

// Nodes hang under their parents up to the root; each keeps the driver key it
// got at its first install when it leaves and comes back; a node taken off the
// tree takes its subtree with it, and both calls then say it is gone.
TEST(DeviceNodes, ParentsAndDriverKeysFollowTheTree) {
  World world;
  const GUID cls = kTestClass;
  world.AddDevNode(u"PCI\\CTRL\\0", u"", kUsbSetupClass);
  world.AddDevNode(u"USB\\HUB\\1", u"PCI\\CTRL\\0", kUsbSetupClass);
  world.AddDevNode(u"USB\\DEV\\2", u"USB\\HUB\\1", kUsbSetupClass);
  world.AddDevNode(u"HID\\COL\\3", u"USB\\DEV\\2", kHidSetupClass);
  auto device = std::make_shared<Device>();
  world.Attach(u"\\\\?\\hid#col#3#{11111111-2222-3333-0102-030405060708}", device, cls);
  const auto col = DeviceOf(world, cls, u"\\\\?\\hid#col#3#{11111111-2222-3333-0102-030405060708}");
  ASSERT_TRUE(col.has_value());
  EXPECT_EQ(col->ClassGuid, kHidSetupClass);

  // Up the chain: collection, device, hub, controller, root.
  std::vector<DEVINST> chain{col->DevInst};
  std::vector<std::u16string> keys{DriverKey(world, col->DevInst)};
  for (;;) {
    DEVINST parent = 0;
    const CONFIGRET r = world.CM_Get_Parent(&parent, chain.back(), 0);
    if (r != CR_SUCCESS) {
      EXPECT_EQ(r, CR_NO_SUCH_DEVNODE);  // the root has no parent
      break;
    }
    chain.push_back(parent);
    keys.push_back(DriverKey(world, parent));
    ASSERT_LT(chain.size(), 10u);
  }
  ASSERT_EQ(chain.size(), 5u);
  EXPECT_EQ(keys[0], u"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0000");
  EXPECT_EQ(keys[1], u"{36fc9e60-c465-11cf-8056-444553540000}\\0002");
  EXPECT_EQ(keys[3], u"{36fc9e60-c465-11cf-8056-444553540000}\\0000");
  CONFIGRET rootKey = 0;
  EXPECT_EQ(DriverKey(world, chain[4], &rootKey), u"");
  EXPECT_EQ(rootKey, CR_NO_SUCH_VALUE);

  // The device leaves with what hangs below it; the hub stays.
  world.Detach(u"\\\\?\\hid#col#3#{11111111-2222-3333-0102-030405060708}");
  world.RemoveDevNode(u"usb\\dev\\2");  // ids compare without regard to case
  DEVINST parent = 0;
  for (DEVINST gone : {chain[0], chain[1]}) {
    EXPECT_EQ(world.CM_Get_Parent(&parent, gone, 0), CR_NO_SUCH_DEVINST);
    CONFIGRET r = 0;
    DriverKey(world, gone, &r);
    EXPECT_EQ(r, CR_NO_SUCH_DEVINST);
  }
  EXPECT_EQ(world.CM_Get_Parent(&parent, chain[2], 0), CR_SUCCESS);
  EXPECT_FALSE(world.IsDevNodePresent(u"HID\\COL\\3"));

  // Back on the same place: the same node, the same key.
  world.AddDevNode(u"USB\\DEV\\2", u"USB\\HUB\\1", kUsbSetupClass);
  EXPECT_EQ(world.CM_Get_Parent(&parent, chain[1], 0), CR_SUCCESS);
  EXPECT_EQ(parent, chain[2]);
  EXPECT_EQ(DriverKey(world, chain[1]), keys[1]);
  EXPECT_FALSE(world.IsDevNodePresent(u"HID\\COL\\3"));  // its child has not come back yet
  EXPECT_THROW(world.AddDevNode(u"USB\\X\\1", u"USB\\NOBODY\\1", kUsbSetupClass), std::logic_error);
  EXPECT_EQ(world.LeakReport(), "");
}

// The calls' arguments, checked as the configuration manager checks them.
TEST(DeviceNodes, CallsRefuseBadArgumentsAsTheConfigurationManagerDoes) {
  World world;
  world.AddDevNode(u"USB\\DEV\\1", u"", kUsbSetupClass);
  world.Attach(u"\\\\?\\usb#dev#1#{11111111-2222-3333-0102-030405060708}", std::make_shared<Device>(), kTestClass);
  const auto dev = DeviceOf(world, kTestClass, u"\\\\?\\usb#dev#1#{11111111-2222-3333-0102-030405060708}");
  ASSERT_TRUE(dev.has_value());
  const DEVINST node = dev->DevInst;
  const std::u16string key = DriverKey(world, node);
  const ULONG size = static_cast<ULONG>((key.size() + 1) * sizeof(WCHAR));

  DEVINST parent = 0;
  EXPECT_EQ(world.CM_Get_Parent(nullptr, node, 0), CR_INVALID_POINTER);
  EXPECT_EQ(world.CM_Get_Parent(&parent, 0, 0), CR_INVALID_DEVINST);
  EXPECT_EQ(world.CM_Get_Parent(&parent, node, 1), CR_INVALID_FLAG);
  EXPECT_EQ(world.CM_Get_Parent(&parent, 9999, 0), CR_INVALID_DEVINST);

  struct Case {
    const char* what;
    DEVINST node;
    ULONG property;
    bool buffer;
    ULONG length;
    ULONG flags;
    CONFIGRET result;
    ULONG lengthAfter;
  };
  const Case cases[] = {
      {"null node", 0, CM_DRP_DRIVER, true, 256, 0, CR_INVALID_DEVNODE, 256},
      {"property 0", node, 0, true, 256, 0, CR_INVALID_PROPERTY, 256},
      {"property past the last", node, CM_DRP_MAX + 1, true, 256, 0, CR_INVALID_PROPERTY, 256},
      {"no buffer but room stated", node, CM_DRP_DRIVER, false, 256, 0, CR_INVALID_POINTER, 256},
      {"flags", node, CM_DRP_DRIVER, true, 256, 2, CR_INVALID_FLAG, 256},
      {"unknown node", 9999, CM_DRP_DRIVER, true, 256, 0, CR_INVALID_DEVNODE, 256},
      {"size asked", node, CM_DRP_DRIVER, false, 0, 0, CR_BUFFER_SMALL, size},
      {"one byte short", node, CM_DRP_DRIVER, true, size - 1, 0, CR_BUFFER_SMALL, size},
      {"a property not kept", node, 0x01 /* CM_DRP_DEVICEDESC */, true, 256, 0, CR_NO_SUCH_VALUE, 256},
      {"exactly the size", node, CM_DRP_DRIVER, true, size, 0, CR_SUCCESS, size},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> buffer(256, 0xAB);
    ULONG length = c.length;
    EXPECT_EQ(world.CM_Get_DevNode_Registry_PropertyW(c.node, c.property, nullptr, c.buffer ? buffer.data() : nullptr,
                                                      &length, c.flags),
              c.result);
    EXPECT_EQ(length, c.lengthAfter);
    if (c.result != CR_SUCCESS) {
      EXPECT_EQ(buffer[0], 0xAB);  // nothing written
    }
  }
  EXPECT_EQ(world.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, nullptr, nullptr, nullptr, 0),
            CR_INVALID_POINTER);
  EXPECT_EQ(world.LeakReport(), "");
}

// The interface detail names the device the interface belongs to, if the
// caller's record states its size; an interface no bus placed hangs on a node
// the root enumerates.
TEST(DeviceNodes, InterfaceDetailNamesTheDevice) {
  World world;
  const std::u16string placed = u"\\\\?\\usb#vid_1234&pid_5678#5&0&1#{11111111-2222-3333-0102-030405060708}";
  const std::u16string loose = u"\\\\?\\usb#isp#first";
  world.AddDevNode(u"USB\\VID_1234&PID_5678\\5&0&1", u"", kUsbDeviceSetupClass);
  world.Attach(placed, std::make_shared<Device>(), kTestClass);
  world.Attach(loose, std::make_shared<Device>(), kTestClass);

  const auto a = DeviceOf(world, kTestClass, placed);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->ClassGuid, kUsbDeviceSetupClass);
  EXPECT_EQ(DriverKey(world, a->DevInst), u"{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\0000");

  const auto b = DeviceOf(world, kTestClass, loose);
  ASSERT_TRUE(b.has_value());
  EXPECT_NE(b->DevInst, a->DevInst);
  DEVINST parent = 0, above = 0;
  ASSERT_EQ(world.CM_Get_Parent(&parent, b->DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(world.CM_Get_Parent(&above, parent, 0), CR_NO_SUCH_DEVNODE);  // the root
  EXPECT_EQ(DeviceOf(world, kTestClass, loose)->DevInst, b->DevInst);     // the same node every time

  for (DWORD wrong : {DWORD{0}, DWORD{sizeof(SP_DEVINFO_DATA) + 4}}) {
    EXPECT_FALSE(DeviceOf(world, kTestClass, placed, wrong).has_value()) << wrong;
    EXPECT_EQ(world.GetLastError(), ERROR_INVALID_USER_BUFFER) << wrong;
  }
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::sim
