// Painting during long work on a window's thread: only WM_PAINT is taken,
// everything else a user or the system sends waits for the message loop, in
// the simulated window system as on Windows (PeekMessage with PM_QS_PAINT).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/world.h"
#include "ui/wnd.h"

namespace kv27 {
namespace {

using namespace w32;

TEST(PaintPendingWindowsTest, PaintsAndLeavesPostedSentAndTimerMessagesQueued) {
  sim::World world;
  std::vector<UINT> handled;
  HWND text = world.CreateHeadlessWindow();  // default processing: WM_SETTEXT invalidates, WM_PAINT validates
  HWND dialog = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    handled.push_back(message);
    return 0;
  });
  world.SetWindowTextW(text, u"20% 等待设备… 587s");
  world.PostMessageW(dialog, WM_COMMAND, 1003, 0);
  ASSERT_EQ(world.SetTimer(dialog, 1, 100, nullptr), 1u);
  world.Advance(200);
  const auto sendsBefore = world.CallCount("SendMessageW");
  std::thread system([&] { world.SendMessageW(dialog, WM_DEVICECHANGE, 0x8000, 0); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (world.CallCount("SendMessageW") == sendsBefore && std::chrono::steady_clock::now() < give_up)
    std::this_thread::yield();

  EXPECT_EQ(PaintPendingWindows(world), 1);  // the text, once: painting validates it
  EXPECT_EQ(PaintPendingWindows(world), 0);
  EXPECT_TRUE(handled.empty());

  // The message loop takes the rest afterwards: the sent message first.
  while (handled.size() < 3 && std::chrono::steady_clock::now() < give_up) world.PumpMessages(dialog);
  system.join();
  ASSERT_EQ(handled.size(), 3u);
  EXPECT_EQ(handled[0], WM_DEVICECHANGE);
  EXPECT_EQ(handled[1], WM_COMMAND);
  EXPECT_EQ(handled[2], WM_TIMER);
}

TEST(PaintPendingWindowsTest, PeekMessageFollowsItsFilters) {
  sim::World world;
  HWND window = world.CreateHeadlessWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  world.PostMessageW(window, WM_USER + 1, 7, 0);
  world.PostMessageW(window, WM_USER + 2, 8, 0);
  MSG msg{};
  // Out of range: nothing; the range picks the second; PM_NOREMOVE leaves it.
  EXPECT_FALSE(world.PeekMessageW(&msg, window, WM_USER + 3, WM_USER + 9, PM_REMOVE));
  ASSERT_TRUE(world.PeekMessageW(&msg, window, WM_USER + 2, WM_USER + 2, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 8u);
  ASSERT_TRUE(world.PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(world.PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2);
  EXPECT_FALSE(world.PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  // Only the window's own thread looks at its messages.
  std::thread([&] { EXPECT_FALSE(world.PeekMessageW(&msg, window, 0, 0, PM_REMOVE)); }).join();
}

}  // namespace
}  // namespace kv27
