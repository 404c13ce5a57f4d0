// The simulated window system as strict as Windows: cross-thread sends wait for
// the window's thread, timers fire in virtual time behind queued messages, a
// modal loop that can never go on is reported instead of hanging, and the
// dialog manager's and file dialog's error paths.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {
namespace {

using namespace w32;

constexpr UINT kPing = WM_USER + 1;

// A SendMessageW from another thread runs only when the window's thread
// retrieves messages, runs on that thread, and gives its result back.
TEST(WindowSystem, CrossThreadSendWaitsUntilTheOwnerPumps) {
  World world;
  std::thread::id ranOn;
  HWND window = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
    ranOn = std::this_thread::get_id();
    return message == kPing ? static_cast<LRESULT>(wParam * 2) : 0;
  });
  std::atomic<bool> returned{false};
  auto sender = std::async(std::launch::async, [&] {
    const LRESULT r = world.SendMessageW(window, kPing, 21, 0);
    returned = true;
    return r;
  });
  // The sender is blocked while this thread does not retrieve messages; wait
  // until its message is queued (it shows in the log first).
  while (world.Received(window).empty()) std::this_thread::yield();
  EXPECT_FALSE(returned.load());
  while (world.PumpMessages(window) == 0) std::this_thread::yield();
  EXPECT_EQ(sender.get(), 42);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  auto log = world.Received(window);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].sent);
  EXPECT_FALSE(log[0].fromOwnerThread);
  EXPECT_TRUE(world.Deadlocks().empty());
}

// A thread waiting in SendMessageW takes the messages sent to its own windows:
// A sends to B's window, whose handler sends back to A's window.
TEST(WindowSystem, WaitingSenderTakesMessagesSentToItsOwnWindows) {
  World world;
  HWND windowA = world.CreateHeadlessWindow(
      [](HWND, UINT, WPARAM wParam, LPARAM) -> LRESULT { return static_cast<LRESULT>(wParam + 1); });
  std::promise<HWND> windowB;
  std::atomic<bool> stop{false};
  std::thread threadB([&] {
    HWND b = world.CreateHeadlessWindow([&](HWND, UINT, WPARAM wParam, LPARAM) -> LRESULT {
      return world.SendMessageW(windowA, kPing, wParam * 10, 0);
    });
    windowB.set_value(b);
    while (!stop) {
      if (world.PumpMessages(b) == 0) std::this_thread::yield();
    }
    world.DestroyHeadlessWindow(b);
  });
  const HWND b = windowB.get_future().get();
  EXPECT_EQ(world.SendMessageW(b, kPing, 4, 0), 41);
  stop = true;
  threadB.join();
  EXPECT_TRUE(world.Deadlocks().empty());
}

// The sent-message hook sees what a WH_CALLWNDPROCRET hook sees: a message
// sent with SendMessageW once its window procedure has returned, with that
// result, on the thread that ran the procedure, free to call the system; a
// posted message passes unseen.
TEST(WindowSystem, SentMessageHookSeesSentMessagesAfterTheirProcedure) {
  World world;
  int handled = 0;
  HWND window = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
    ++handled;
    return message == kPing ? static_cast<LRESULT>(wParam * 2) : 0;
  });
  struct Seen {
    UINT message;
    WPARAM wParam;
    LRESULT result;
    int handledBefore;
    std::thread::id thread;
  };
  std::vector<Seen> seen;
  world.SetSentMessageHook([&](HWND hooked, UINT message, WPARAM wParam, LPARAM, LRESULT result) {
    EXPECT_EQ(hooked, window);
    world.Now();  // the world is not locked here
    seen.push_back({message, wParam, result, handled, std::this_thread::get_id()});
  });

  EXPECT_EQ(world.SendMessageW(window, kPing, 5, 0), 10);
  world.PostMessageW(window, kPing, 6, 0);
  EXPECT_EQ(world.PumpMessages(window), 1);
  auto sender = std::async(std::launch::async, [&] { return world.SendMessageW(window, kPing, 7, 0); });
  while (world.Received(window).size() < 3) std::this_thread::yield();
  while (world.PumpMessages(window) == 0) std::this_thread::yield();
  EXPECT_EQ(sender.get(), 14);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].wParam, 5u);
  EXPECT_EQ(seen[0].result, 10);
  EXPECT_EQ(seen[0].handledBefore, 1);
  EXPECT_EQ(seen[1].wParam, 7u);
  EXPECT_EQ(seen[1].result, 14);
  EXPECT_EQ(seen[1].handledBefore, 3);
  for (const Seen& s : seen) {
    EXPECT_EQ(s.message, kPing);
    EXPECT_EQ(s.thread, std::this_thread::get_id());  // the window's thread
  }
  world.SetSentMessageHook(nullptr);
  world.SendMessageW(window, kPing, 8, 0);
  EXPECT_EQ(seen.size(), 2u);
  world.DestroyHeadlessWindow(window);
}

// A window's thread that never retrieves messages (it waits on an event) is a
// deadlock for the sender: reported after the hang timeout, not hung.
TEST(WindowSystem, SendToAThreadThatNeverPumpsIsReportedAsADeadlock) {
  World world;
  world.SetHangTimeout(200);
  HANDLE done = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int calls = 0;
  HWND window = world.CreateHeadlessWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; });
  auto sender = std::async(std::launch::async, [&] {
    const LRESULT r = world.SendMessageW(window, kPing, 0, 0);
    const DWORD error = world.GetLastError();
    world.SetEvent(done);
    return std::make_pair(r, error);
  });
  // Waiting for an object does not take sent messages.
  EXPECT_EQ(world.WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  auto [result, error] = sender.get();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, ERROR_TIMEOUT);
  auto deadlocks = world.Deadlocks();
  ASSERT_EQ(deadlocks.size(), 1u);
  EXPECT_EQ(deadlocks[0].window, window);
  EXPECT_EQ(deadlocks[0].message, kPing);
  // The abandoned message is not run later.
  world.PumpMessages(window);
  EXPECT_EQ(calls, 0);
  world.CloseHandle(done);
}

DialogTemplate SmallDialog(bool withProgress) {
  DialogTemplate t;
  t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT;
  t.caption = u"small";
  t.items = {{7, u"Button", u"Go", 0, WS_CHILD | WS_VISIBLE | WS_TABSTOP}};
  if (withProgress) t.items.push_back({8, u"msctls_progress32", u"", 0, WS_CHILD | WS_VISIBLE});
  return t;
}

// The dialog procedure of the tests below: records what it gets.
struct Recorder {
  static inline World* world = nullptr;
  static inline std::vector<std::pair<UINT, WPARAM>> got;
  static inline std::vector<std::uint64_t> timerTimes;
  static INT_PTR KV_WINAPI Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    got.emplace_back(message, wParam);
    if (message == WM_INITDIALOG && lParam == 1) world->EndDialog(dialog, 11);  // ends before any loop
    if (message == WM_INITDIALOG && lParam == 2) {
      world->SetTimer(dialog, 5, 100, nullptr);
      world->PostMessageW(dialog, kPing, 0, 0);
    }
    if (message == WM_TIMER) {
      timerTimes.push_back(world->Now());
      if (timerTimes.size() == 3) world->EndDialog(dialog, 33);
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
  }
};

// Timers fire on the virtual clock, periodically, and only behind queued
// messages; EndDialog in WM_INITDIALOG ends the dialog without a loop; the
// dialog gets WM_SETFONT first and WM_DESTROY, WM_NCDESTROY last.
TEST(WindowSystem, DialogTimersAndEndDialog) {
  World world;
  Recorder::world = &world;
  world.AddDialogTemplate(1, SmallDialog(false));
  HMODULE module = world.GetModuleHandleW(nullptr);

  Recorder::got.clear();
  EXPECT_EQ(world.DialogBoxParamW(module, MAKEINTRESOURCEW(1), nullptr, &Recorder::Proc, 1), 11);
  std::vector<UINT> order;
  for (auto& [m, w] : Recorder::got) order.push_back(m);
  EXPECT_EQ(order, (std::vector<UINT>{WM_SETFONT, WM_INITDIALOG, WM_DESTROY, WM_NCDESTROY}));

  Recorder::got.clear();
  Recorder::timerTimes.clear();
  const std::uint64_t t0 = world.Now();
  EXPECT_EQ(world.DialogBoxParamW(module, MAKEINTRESOURCEW(1), nullptr, &Recorder::Proc, 2), 33);
  EXPECT_EQ(Recorder::timerTimes, (std::vector<std::uint64_t>{t0 + 100, t0 + 200, t0 + 300}));
  EXPECT_EQ(Recorder::got[2].first, WM_SHOWWINDOW);  // shown once WM_INITDIALOG has returned
  EXPECT_EQ(Recorder::got[3].first, kPing);          // the posted message before the first WM_TIMER
  EXPECT_EQ(Recorder::got[4].first, WM_TIMER);
  EXPECT_EQ(Recorder::got[4].second, 5u);
  EXPECT_EQ(world.OpenHandles(true).size(), 0u);  // the dialog and its controls are gone
}

// Ways a dialog cannot be made, with DialogBoxParamW's results and errors.
TEST(WindowSystem, DialogCreationFailures) {
  World world;
  world.AddDialogTemplate(1, SmallDialog(true));
  HMODULE module = world.GetModuleHandleW(nullptr);
  struct Case {
    const char* what;
    WORD id;
    HWND parent;
    INT_PTR result;
    DWORD error;
  };
  const Case cases[] = {
      {"no such template", 2, nullptr, -1, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"progress bar before InitCommonControlsEx", 1, nullptr, -1, ERROR_CANNOT_FIND_WND_CLASS},
      {"owner that is not a window", 1, reinterpret_cast<HWND>(0x77), 0, ERROR_INVALID_WINDOW_HANDLE},
  };
  for (const Case& c : cases) {
    world.SetLastError(0);
    EXPECT_EQ(world.DialogBoxParamW(module, MAKEINTRESOURCEW(c.id), c.parent, &Recorder::Proc, 0), c.result) << c.what;
    EXPECT_EQ(world.GetLastError(), c.error) << c.what;
  }
  INITCOMMONCONTROLSEX wrongSize{4, ICC_PROGRESS_CLASS};
  EXPECT_FALSE(world.InitCommonControlsEx(&wrongSize));
}

// A modal loop with nothing queued, no timer, no scripted action and nothing
// scheduled can never go on: it is reported and ended, not hung.
TEST(WindowSystem, IdleModalLoopIsReportedAsAStall) {
  World world;
  world.SetHangTimeout(100);
  Recorder::world = &world;
  world.AddDialogTemplate(1, SmallDialog(false));
  EXPECT_EQ(world.DialogBoxParamW(world.GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), nullptr, &Recorder::Proc, 0),
            -1);
  ASSERT_EQ(world.Stalls().size(), 1u);
  EXPECT_NE(world.Stalls()[0].find("nothing can happen"), std::string::npos);
}

// The file dialog's outcomes: a chosen path with its offsets, a cancel, a path
// longer than the buffer, a wrong structure size.
TEST(WindowSystem, FileDialogOutcomes) {
  World world;
  world.User().ChooseFile(u"C:\\fw\\image.bimg", 0);
  world.User().CancelFileDialog(0);
  world.User().ChooseFile(u"C:\\a-rather-long-path\\image.bimg", 0);
  WCHAR file[260] = {};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.lpstrFile = file;
  ofn.nMaxFile = 260;
  ASSERT_TRUE(world.GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(file), u"C:\\fw\\image.bimg");
  EXPECT_EQ(ofn.nFileOffset, 6);
  EXPECT_EQ(ofn.nFileExtension, 12);

  EXPECT_FALSE(world.GetOpenFileNameW(&ofn));
  EXPECT_EQ(world.CommDlgExtendedError(), 0u);

  ofn.nMaxFile = 10;
  EXPECT_FALSE(world.GetOpenFileNameW(&ofn));
  EXPECT_EQ(world.CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
  EXPECT_EQ(file[0], 33);  // the size needed, terminator included

  ofn.lStructSize = 12;
  EXPECT_FALSE(world.GetOpenFileNameW(&ofn));
  EXPECT_EQ(world.CommDlgExtendedError(), CDERR_STRUCTSIZE);
  EXPECT_TRUE(world.Stalls().empty());
}

// Device notifications come as the system sends them: ahead of the messages
// already posted, with a broadcast structure that is valid only during the
// call, and lost for a window whose thread does not take them within the
// notification time-out. The next one waits for the system to be done with
// the one before.
TEST(WindowSystem, DeviceNotificationsAreSentAndDroppedWhenNotTakenInTime) {
  World world;
  constexpr GUID kClass = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
  std::vector<std::pair<UINT, WPARAM>> order;
  const DEV_BROADCAST_DEVICEINTERFACE_W* kept = nullptr;
  std::u16string nameDuringCall;
  HWND window = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    order.emplace_back(message, wParam);
    if (message == WM_DEVICECHANGE && lParam != 0) {
      kept = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      nameDuringCall = kept->dbcc_name;
    }
    return TRUE;
  });
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kClass;
  HDEVNOTIFY reg = world.RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(reg, nullptr);
  auto device = std::make_shared<Device>();

  // Sent ahead of what was posted before it; the structure is the system's.
  ASSERT_TRUE(world.PostMessageW(window, kPing, 0, 0));
  world.Attach(u"\\\\?\\dev#one", device, kClass);
  EXPECT_EQ(world.PumpMessages(window), 2);
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], std::make_pair(UINT{WM_DEVICECHANGE}, WPARAM{DBT_DEVICEARRIVAL}));
  EXPECT_EQ(order[1].first, kPing);
  EXPECT_EQ(nameDuringCall, u"\\\\?\\dev#one");
  EXPECT_NE(kept->dbcc_devicetype, DBT_DEVTYP_DEVICEINTERFACE);  // overwritten once the call returned

  // Not taken in time: the removal, sent at once, is given up after 5 s; the
  // arrival 2 s later waits for that, and is still taken 7 s in.
  order.clear();
  const std::uint64_t t0 = world.Now();
  world.Detach(u"\\\\?\\dev#one");
  world.Advance(2000);
  world.Attach(u"\\\\?\\dev#one", device, kClass);
  world.Advance(5000);
  EXPECT_EQ(world.PumpMessages(window), 2);
  ASSERT_EQ(order.size(), 1u);
  EXPECT_EQ(order[0].second, WPARAM{DBT_DEVICEARRIVAL});
  auto dropped = world.DroppedNotifications();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].window, window);
  EXPECT_EQ(dropped[0].event, WPARAM{DBT_DEVICEREMOVECOMPLETE});
  EXPECT_EQ(dropped[0].path, u"\\\\?\\dev#one");
  EXPECT_EQ(dropped[0].sentAt, t0);
  EXPECT_EQ(dropped[0].droppedAt, t0 + 5000);

  // Two queued behind each other while the thread is away for 9 s: the first
  // is given up at 5 s, the second at 10 s, so it is still taken.
  order.clear();
  world.SetNotificationTimeout(5000);
  world.Detach(u"\\\\?\\dev#one");
  world.Attach(u"\\\\?\\dev#one", device, kClass);
  world.Advance(9000);
  world.PumpMessages(window);
  ASSERT_EQ(order.size(), 1u);
  EXPECT_EQ(order[0].second, WPARAM{DBT_DEVICEARRIVAL});
  EXPECT_EQ(world.DroppedNotifications().size(), 2u);
  world.UnregisterDeviceNotification(reg);
  world.DestroyHeadlessWindow(window);
}

// DBT_DEVNODES_CHANGED reaches every top-level window, registered or not,
// with lParam zero; one still waiting for a window stands for the changes
// after it.
TEST(WindowSystem, DevNodesChangedReachesEveryTopLevelWindowOnce) {
  World world;
  std::vector<LPARAM> first, second;
  HWND a = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED) first.push_back(lParam);
    return TRUE;
  });
  HWND b = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED) second.push_back(lParam);
    return TRUE;
  });
  world.AddDevNode(u"USB\\VID_1234&PID_0001\\1", u"", GUID{});
  world.AddDevNode(u"USB\\VID_1234&PID_0002\\1", u"", GUID{});
  world.PumpMessages(a);
  EXPECT_EQ(first, std::vector<LPARAM>{0});
  EXPECT_EQ(second, std::vector<LPARAM>{0});
  world.RemoveDevNode(u"USB\\VID_1234&PID_0001\\1");
  world.PumpMessages(a);
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(second.size(), 2u);
  world.DestroyHeadlessWindow(a);
  world.DestroyHeadlessWindow(b);
}

}  // namespace
}  // namespace kv27::sim
