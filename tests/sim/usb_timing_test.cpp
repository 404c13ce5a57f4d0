// The world's USB timing model: HID reports on frame boundaries, bulk
// transfers in packets, the bootloader's erase and programming times, and the
// least time a whole upgrade needs on the bus.
#include "sim/usb_timing.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "sim/bootloader.h"
#include "sim/hid_device.h"
#include "sim/world.h"

namespace kv27::sim {
namespace {

// An echo collection with 8-byte reports on an overlapped handle.
class HidFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    world.Attach(kPath, echo, GUID_DEVINTERFACE_HID);
    file = world.CreateFileW(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    event = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    world.CloseHandle(event);
    world.CloseHandle(file);
    EXPECT_EQ(world.LeakReport(), "");
  }
  // Starts an overlapped transfer and returns the virtual time it completes.
  std::uint64_t Finish(bool write) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;
    std::array<std::uint8_t, 8> report{0xB4, 0x02};
    const BOOL done =
        write ? world.WriteFile(file, report.data(), 8, &n, &ov) : world.ReadFile(file, report.data(), 8, &n, &ov);
    EXPECT_FALSE(done) << "a transfer on the bus never completes inside the call";
    EXPECT_EQ(world.GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_TRUE(world.GetOverlappedResult(file, &ov, &n, TRUE));
    EXPECT_EQ(n, 8u);
    return world.Now();
  }

  static constexpr char16_t kPath[] = u"\\\\?\\hid#vid_4e5b&pid_002a#timing";
  World world;
  std::shared_ptr<HidEchoCollection> echo =
      std::make_shared<HidEchoCollection>(0x4E5B, 0x002A, 0x0100, MakeHidDescription(0xFFB4, 1, 8, 8));
  HANDLE file = nullptr;
  HANDLE event = nullptr;
};

// A write issued in a frame goes out in the OUT endpoint's poll and completes
// at the end of that frame; the answer comes back in the next IN poll. With
// other intervals the polls fall on their multiples.
TEST_F(HidFrames, AnExchangeLandsOnFrameBoundaries) {
  struct Case {
    std::uint32_t outInterval, inInterval;
    std::uint64_t start, writeDone, readDone;
  };
  const Case cases[] = {
      {1, 1, 5, 6, 7},    // OUT in frame 5, IN poll in frame 6
      {4, 2, 5, 9, 11},   // OUT poll at frame 8, next IN poll after it at frame 10
      {1, 8, 17, 18, 25}  // IN polled every 8 frames: frame 24
  };
  for (const Case& c : cases) {
    UsbTiming timing;
    timing.hidOutIntervalFrames = c.outInterval;
    timing.hidInIntervalFrames = c.inInterval;
    world.SetUsbTiming(timing);
    const std::uint64_t base = (world.Now() / 1000 + 1) * 1000;  // a frame multiple of every interval
    world.SetNow(base + c.start);
    const std::size_t before = echo->OutputReports().size();
    EXPECT_EQ(Finish(true) - base, c.writeDone) << c.outInterval << "/" << c.inInterval;
    EXPECT_EQ(echo->OutputReports().size(), before + 1);
    EXPECT_EQ(Finish(false) - base, c.readDone) << c.outInterval << "/" << c.inInterval;
  }

  // Without the model the same exchange takes no time at all.
  world.SetUsbTiming(std::nullopt);
  const std::uint64_t now = world.Now();
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD n = 0;
  std::array<std::uint8_t, 8> report{0xB4};
  EXPECT_TRUE(world.WriteFile(file, report.data(), 8, &n, &ov));
  EXPECT_TRUE(world.ReadFile(file, report.data(), 8, &n, &ov));
  EXPECT_EQ(world.Now(), now);
}

// Reports the device arms in one frame take one IN poll each.
TEST_F(HidFrames, OneInputReportPerPoll) {
  world.SetUsbTiming(UsbTiming{});
  const std::uint64_t base = world.Now();
  echo->SendInputReport({0xB4, 1, 0, 0, 0, 0, 0, 0});
  echo->SendInputReport({0xB4, 2, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Finish(false) - base, 2u);  // the first report's poll is the next frame
  EXPECT_EQ(Finish(false) - base, 3u);  // the second waits for the one after
}

class BulkTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    world.SetUsbTiming(timing);
    boot->Plug(world);
    file = world.CreateFileW(kDefaultBootloaderPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(world.WinUsb_Initialize(file, &usb));
    startUs = world.NowUs();
  }
  void TearDown() override {
    world.WinUsb_Free(usb);
    world.CloseHandle(file);
    EXPECT_EQ(world.LeakReport(), "");
  }
  // Microseconds the transfer took in the world.
  std::uint64_t Out(const std::vector<UCHAR>& bytes) {
    const std::uint64_t start = world.NowUs();
    ULONG moved = 0;
    std::vector<UCHAR> data = bytes;
    EXPECT_TRUE(world.WinUsb_WritePipe(usb, 0x02, data.data(), static_cast<ULONG>(data.size()), &moved, nullptr));
    return world.NowUs() - start;
  }
  std::uint64_t In(ULONG length) {
    const std::uint64_t start = world.NowUs();
    std::vector<UCHAR> data(length);
    ULONG moved = 0;
    EXPECT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, data.data(), length, &moved, nullptr));
    EXPECT_EQ(moved, length);
    return world.NowUs() - start;
  }
  static std::vector<UCHAR> Command(UCHAR code, unsigned offset) {
    std::vector<UCHAR> packet(10, 0);
    packet[0] = code;
    packet[5] = static_cast<UCHAR>(offset >> 8);
    packet[6] = static_cast<UCHAR>(offset & 0xFF);
    packet[8] = code == 0x25 ? 0xFF : 0x40;
    return packet;
  }

  UsbTiming timing;
  World world;
  std::uint64_t startUs = 0;
  std::shared_ptr<VirtualBootloader> boot = std::make_shared<VirtualBootloader>();
  HANDLE file = nullptr;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
};

TEST(UsbTimingRules, BulkTransferTakesItsPackets) {
  UsbTiming t;
  struct Case {
    std::uint64_t bytes, us;
  };
  for (const Case& c :
       {Case{0, 125 + 53}, Case{1, 125 + 53}, Case{64, 125 + 53}, Case{65, 125 + 2 * 53}, Case{1024, 125 + 16 * 53}})
    EXPECT_EQ(BulkTransferUs(t, c.bytes), c.us) << c.bytes << " bytes";
  t.bulkPacketBytes = 8;
  t.bulkHostLatencyUs = 1000;
  EXPECT_EQ(BulkTransferUs(t, 64), 1000u + 8 * 53);
}

// A block write: the command and the 64 data bytes take one packet each, and
// the status comes once the block is programmed. A read-back's data and
// status take their packets only. Sub-millisecond parts carry over.
TEST_F(BulkTiming, ABlockWriteTakesItsPacketsAndTheProgramTime) {
  const std::uint64_t packet = timing.bulkHostLatencyUs + timing.bulkPacketUs;  // 178 us
  EXPECT_EQ(Out(Command(0x28, 0x40)), packet);
  EXPECT_EQ(Out(std::vector<UCHAR>(64, 0x5A)), packet);
  EXPECT_EQ(In(1), timing.programBlockUs + timing.bulkPacketUs);
  EXPECT_EQ(Out(Command(0x2A, 0x40)), packet);
  EXPECT_EQ(In(64), packet);
  EXPECT_EQ(In(1), packet);
  EXPECT_EQ(world.NowUs() - startUs, 5 * packet + timing.programBlockUs + timing.bulkPacketUs);
  EXPECT_EQ(world.Now(), world.NowUs() / 1000);
}

// A status read issued late finds the block programmed already and costs only
// its own transfer.
TEST_F(BulkTiming, AStatusReadAfterTheWorkTakesOnlyItsTransfer) {
  Out(Command(0x28, 0));
  Out(std::vector<UCHAR>(64, 0));
  world.Advance(5);
  EXPECT_EQ(In(1), timing.bulkHostLatencyUs + timing.bulkPacketUs);
}

// The erase's status comes after the erase time; the parameters are the
// world's, changed per test.
TEST_F(BulkTiming, AnEraseTakesItsTime) {
  EXPECT_EQ(Out(Command(0x25, 0)), 178u);
  EXPECT_EQ(In(1), timing.eraseUs + timing.bulkPacketUs);
  EXPECT_EQ(world.Now() - startUs / 1000, (178 + 160000 + 53) / 1000);

  UsbTiming slow = timing;
  slow.eraseUs = 400000;
  world.SetUsbTiming(slow);
  Out(Command(0x25, 0));
  EXPECT_EQ(In(1), 400000u + 53);
}

// A status that would come after the pipe's transfer time-out fails the read
// with ERROR_SEM_TIMEOUT at the time-out, and stays for the next read.
TEST_F(BulkTiming, AnEraseLongerThanThePipeTimeOutTimesOut) {
  ULONG timeoutMs = 100;
  ASSERT_TRUE(world.WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof timeoutMs, &timeoutMs));
  Out(Command(0x25, 0));
  const std::uint64_t start = world.NowUs();
  UCHAR status = 0xFF;
  ULONG moved = 0;
  EXPECT_FALSE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &moved, nullptr));
  EXPECT_EQ(world.GetLastError(), DWORD{ERROR_SEM_TIMEOUT});
  EXPECT_EQ(world.Now() - start / 1000, 100u) << "from the start of the read's millisecond";
  world.Advance(100);
  EXPECT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &moved, nullptr));
  EXPECT_EQ(status, 0);
}

// The least time of a whole upgrade, against a hand computation.
TEST(UsbTimingRules, UpgradeFloorMatchesAHandComputation) {
  const UsbTiming defaults;
  const UpgradeFloor floor = ComputeUpgradeFloor(defaults);
  // 448 exchanges of two frames each (OUT in one, the answer in the next IN
  // poll).
  EXPECT_EQ(floor.hidUs, 448u * 2000);
  // Every transfer of up to 64 bytes: 125 + 53 = 178 us. Erase: command, then
  // the status 160 ms + 53 us later. Per block, writing: command, data and the
  // status 1920 + 53 us later; reading: three transfers. Then three commands.
  EXPECT_EQ(floor.bulkUs, (178u + 160053) + 256u * ((178 + 178 + 1973) + 3 * 178) + 3 * 178);
  EXPECT_EQ(floor.bulkUs, 893693u);
  EXPECT_EQ(floor.bulkTransfers, 2u + 256 * 6 + 3);
  // Bootloader: 100 + 10 + 10 + 2 + 6 requests * 3 frames = 140 ms; the
  // mouse with 8 requests 146 ms.
  EXPECT_EQ(BootloaderEnumerationMs(defaults), 140u);
  EXPECT_EQ(MouseEnumerationMs(defaults), 146u);
  EXPECT_EQ(floor.TotalUs(), 896000u + 893693 + 286000);

  // IN polled every other frame: the first exchange waits for frame 2, the
  // rest are back in phase and take two frames.
  UsbTiming everyOther;
  everyOther.hidInIntervalFrames = 2;
  EXPECT_EQ(ComputeUpgradeFloor(everyOther).hidUs, 3000u + 447 * 2000);
  // A slower flash moves only the bulk part.
  UsbTiming slowFlash;
  slowFlash.programBlockUs = 4000;
  EXPECT_EQ(ComputeUpgradeFloor(slowFlash).bulkUs, floor.bulkUs + 256u * (4000 - 1920));
}

// Real-time mode (for a person watching a simulated run): a Sleep takes its
// real time, and a wait ends when another thread signals, not at its
// deadline. Kept short: this is the one place real time is the point.
TEST(RealTimeWorld, SleepAndWaitsTakeRealTime) {
  World world;
  world.SetRealTime(true);
  const auto t0 = std::chrono::steady_clock::now();
  world.Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));

  HANDLE event = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  world.Schedule(20, [] {});  // timed work inside the wait's window is paced too
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    world.SetEvent(event);
  });
  const auto t1 = std::chrono::steady_clock::now();
  const std::uint64_t v1 = world.Now();
  EXPECT_EQ(world.WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  const auto took = std::chrono::steady_clock::now() - t1;
  signaller.join();
  EXPECT_GE(took, std::chrono::milliseconds(35));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
  EXPECT_LT(world.Now() - v1, 2000u) << "the clock did not run ahead to the deadline";
  world.CloseHandle(event);
  EXPECT_EQ(world.LeakReport(), "");
}

// The clock keeps up with the real one while waits end early: a program that
// waits for each reply of a device with a time-out (signalled after some real
// time each) has the whole time-out for every wait, however many went before,
// and the ticks it counts are real milliseconds. (A clock left behind by each
// early end gave a later wait a deadline already past in real time: it ended
// at once, with the reply on its way.)
TEST(RealTimeWorld, WaitsEndedEarlyLeaveTheClockWithTheRealOne) {
  World world;
  world.SetRealTime(true);
  HANDLE reply = world.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const DWORD ticks = world.GetTickCount();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) {
    std::thread device([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      world.SetEvent(reply);
    });
    EXPECT_EQ(world.WaitForSingleObject(reply, 60), WAIT_OBJECT_0) << "exchange " << i;
    device.join();
  }
  const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(world.GetTickCount() - ticks + 5, static_cast<DWORD>(real.count()));

  // No reply: the wait lasts its time-out.
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(world.WaitForSingleObject(reply, 60), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(55));
  world.CloseHandle(reply);
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::sim
