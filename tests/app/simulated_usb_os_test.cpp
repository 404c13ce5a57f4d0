// The dialog program's --simulate boundary: real windows over the simulated USB
// world. A second world stands for the real window system here, so that what
// reaches "the screen" can be checked headless.
#include "app/simulated_usb_os.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace kv27 {
namespace {

using namespace w32;

class PlainDevice : public sim::Device {};

struct Seen {
  WPARAM event;
  std::u16string name;
  std::thread::id thread;
};

class SimulatedUsbOsTest : public ::testing::Test {
 protected:
  sim::World screen;  // stands for the real window system
  sim::World usb;
};

// Windows sends WM_DEVICECHANGE to a registered window from another thread: the
// window's own thread handles it while it retrieves messages, with the
// broadcast structure valid during the call; arrivals and removals come in
// order, and none after UnregisterDeviceNotification.
TEST_F(SimulatedUsbOsTest, DeviceChangesAreSentToTheScreensWindowInOrderWithTheirPayload) {
  SimulatedUsbOsApi os(screen, usb, {false, nullptr});
  std::vector<Seen> seen;
  HWND window = screen.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE) {
      auto* hdr = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      EXPECT_EQ(hdr->dbcc_devicetype, DBT_DEVTYP_DEVICEINTERFACE);
      seen.push_back(Seen{wParam, std::u16string(hdr->dbcc_name), std::this_thread::get_id()});
    }
    return TRUE;
  });
  GUID hid{};
  os.HidD_GetHidGuid(&hid);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = hid;
  HDEVNOTIFY notify = os.RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(notify, nullptr);
  // A window neither side knows is refused.
  EXPECT_EQ(os.RegisterDeviceNotificationW(reinterpret_cast<HWND>(0x7777), &filter, DEVICE_NOTIFY_WINDOW_HANDLE),
            nullptr);
  EXPECT_EQ(os.GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

  const std::u16string path = u"\\\\?\\hid#vid_0001&pid_0002#1#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  usb.Attach(path, std::make_shared<PlainDevice>(), hid);
  usb.Detach(path);
  // Nothing runs on the sender's side: the window sees nothing until its
  // thread looks at its messages.
  EXPECT_TRUE(seen.empty());
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen.size() < 2 && std::chrono::steady_clock::now() < give_up) {
    if (screen.PumpMessages(window) == 0) std::this_thread::yield();
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(seen[1].event, DBT_DEVICEREMOVECOMPLETE);
  for (const auto& s : seen) {
    EXPECT_EQ(s.name, path);
    EXPECT_EQ(s.thread, std::this_thread::get_id());
  }

  EXPECT_TRUE(os.UnregisterDeviceNotification(notify));
  usb.Attach(path, std::make_shared<PlainDevice>(), hid);
  screen.PumpMessages(window);
  EXPECT_EQ(seen.size(), 2u);
}

// Ordinary files are the screen side's (the image beside the program stays a
// real file), device paths and files a scenario takes over are the world's;
// each handle goes back to the side that made it.
TEST_F(SimulatedUsbOsTest, FilesAndDevicesGoToTheirOwnSide) {
  SimulatedUsbOsApi os(screen, usb, {false, nullptr});
  const std::u16string file = u"C:\\Tools\\KV27M_FW_UPGRADE.bimg";
  screen.AddFile(file, {1, 2, 3});
  usb.AddFile(file, {9});
  usb.SetHostFiles(false);
  usb.Attach(u"\\\\.\\HCD0", std::make_shared<PlainDevice>());

  auto readAll = [&](const std::u16string& path) {
    HANDLE h = os.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<std::uint8_t> bytes(16);
    DWORD got = 0;
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(os.ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr));
    EXPECT_TRUE(os.CloseHandle(h));
    bytes.resize(got);
    return bytes;
  };
  EXPECT_EQ(readAll(file), (std::vector<std::uint8_t>{1, 2, 3}));
  os.ServeFileFromWorld(u"c:\\tools\\kv27m_fw_upgrade.BIMG");
  EXPECT_EQ(readAll(file), (std::vector<std::uint8_t>{9}));

  HANDLE hub = os.CreateFileW(u"\\\\.\\HCD0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hub, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(os.CloseHandle(hub));
  EXPECT_TRUE(screen.OpenHandles().empty());
  EXPECT_TRUE(usb.OpenHandles().empty());

  // A path nobody serves fails with the world's error, as the caller's last error.
  EXPECT_EQ(os.CreateFileW(u"\\\\?\\usb#nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);
}

// In real-time mode the world's clock never runs ahead of the wall clock (here
// the screen world's clock): a simulated wait of five seconds takes five.
TEST_F(SimulatedUsbOsTest, RealTimeModeKeepsTheWorldsClockBehindTheWallClock) {
  for (bool realTime : {false, true}) {
    SCOPED_TRACE(realTime ? "real time" : "virtual time");
    sim::World wall, devices;
    SimulatedUsbOsApi os(wall, devices, {realTime, nullptr});
    const std::uint64_t wall0 = wall.Now();
    const DWORD tick0 = os.GetTickCount();
    os.Sleep(5000);
    HANDLE event = os.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(os.WaitForSingleObject(event, 2000), WAIT_TIMEOUT);
    os.CloseHandle(event);
    EXPECT_EQ(os.GetTickCount() - tick0, 7000u);
    EXPECT_EQ(wall.Now() - wall0, realTime ? 7000u : 0u);
  }
}

// While the program only sits in its message loops nobody waits in the world;
// in real-time mode its clock still follows the wall clock, so a device that
// restarts comes back as it would on a PC.
TEST_F(SimulatedUsbOsTest, RealTimeModeMovesAnIdleWorldWithTheWallClock) {
  sim::World wall, devices;
  SimulatedUsbOsApi os(wall, devices, {true, nullptr});
  std::atomic<bool> back{false};
  devices.Schedule(500, [&] { back = true; });
  wall.Advance(499);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (devices.Now() < 499 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  EXPECT_FALSE(back);
  wall.Advance(1);
  while (!back && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  EXPECT_TRUE(back);
}

// The log reads as what the user saw: progress, control texts and states,
// the indicator's picture and each message box with its answer.
TEST_F(SimulatedUsbOsTest, LogWritesWhatTheUserIsShown) {
  std::vector<std::string> lines;
  SimulatedUsbOsApi os(screen, usb, {false, [&](const std::string& l) { lines.push_back(l); }});
  screen.AddBitmapResource(130);
  HBITMAP present = os.LoadBitmapW(os.GetModuleHandleW(nullptr), MAKEINTRESOURCEW(130));
  ASSERT_NE(present, nullptr);
  HWND window = screen.CreateHeadlessWindow();
  os.SendMessageW(window, PBM_SETPOS, 55, 0);
  os.SendMessageW(window, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(present));
  os.SetWindowTextW(window, u"55%");
  os.SetWindowTextW(window, u"55%");
  screen.User().AnswerMessageBox(IDOK);
  os.MessageBoxW(nullptr, u"升级成功\n请重新插拔", u"提示", MB_OK);
  EXPECT_EQ(lines, (std::vector<std::string>{"progress 55", "indicator present", "text window 55%",
                                             "messagebox 提示 | 升级成功\\n请重新插拔", "messagebox-answer 1"}));
}

}  // namespace
}  // namespace kv27
