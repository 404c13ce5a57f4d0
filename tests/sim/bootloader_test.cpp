// The virtual bootloader as a WinUSB client sees it: raw pipe transfers.
#include "sim/bootloader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {
namespace {

using w32::WINUSB_INTERFACE_HANDLE;

constexpr UCHAR kOut = 0x02;
constexpr UCHAR kIn = 0x81;

class BootloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boot->Plug(world);
    file = world.CreateFileW(kDefaultBootloaderPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(world.WinUsb_Initialize(file, &usb));
  }
  void TearDown() override {
    world.WinUsb_Free(usb);
    world.CloseHandle(file);
    EXPECT_EQ(world.LeakReport(), "");
  }

  bool Command(UCHAR code, unsigned offset, UCHAR length) {
    std::array<UCHAR, 10> packet{};
    packet[0] = code;
    packet[5] = static_cast<UCHAR>(offset >> 8);
    packet[6] = static_cast<UCHAR>(offset & 0xFF);
    packet[8] = length;
    ULONG moved = 0;
    return world.WinUsb_WritePipe(usb, kOut, packet.data(), 10, &moved, nullptr) && moved == 10;
  }
  bool Status() {
    UCHAR status = 0xFF;
    ULONG moved = 0;
    return world.WinUsb_ReadPipe(usb, kIn, &status, 1, &moved, nullptr) && moved == 1 && status == 0;
  }
  bool WriteBlock(unsigned offset, const UCHAR* data) {
    std::array<UCHAR, kBootloaderBlockSize> block{};
    std::copy(data, data + kBootloaderBlockSize, block.begin());
    ULONG moved = 0;
    return Command(0x28, offset, 0x40) &&
           world.WinUsb_WritePipe(usb, kOut, block.data(), kBootloaderBlockSize, &moved, nullptr) &&
           moved == kBootloaderBlockSize && Status();
  }

  World world;
  std::shared_ptr<VirtualBootloader> boot = std::make_shared<VirtualBootloader>();
  HANDLE file = nullptr;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
};

// The flash behaves like NOR flash: programming only clears bits, so data
// written over old contents without an erase comes out as old AND new; after
// an erase it comes out as written.
TEST_F(BootloaderTest, ProgrammingClearsBitsAndOnlyAnEraseSetsThem) {
  BootloaderFlash old{};
  for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<std::uint8_t>(0x5A ^ i);
  boot->SetFlash(old);
  std::array<UCHAR, kBootloaderBlockSize> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xC3 + i);

  ASSERT_TRUE(WriteBlock(0x40, data.data()));
  BootloaderFlash flash = boot->Flash();
  for (std::size_t i = 0; i < kBootloaderBlockSize; ++i)
    ASSERT_EQ(flash[0x40 + i], old[0x40 + i] & data[i]) << "byte " << i;
  EXPECT_EQ(flash[0], old[0]) << "other blocks untouched";

  ASSERT_TRUE(Command(0x25, 0, 0xFF));
  ASSERT_TRUE(Status());
  flash = boot->Flash();
  for (std::uint8_t byte : flash) ASSERT_EQ(byte, 0xFF);

  ASSERT_TRUE(WriteBlock(0x40, data.data()));
  flash = boot->Flash();
  for (std::size_t i = 0; i < kBootloaderBlockSize; ++i) ASSERT_EQ(flash[0x40 + i], data[i]) << "byte " << i;

  // What a read of the block sends back is what the flash holds.
  ASSERT_TRUE(Command(0x2A, 0x40, 0x40));
  std::array<UCHAR, kBootloaderBlockSize> back{};
  ULONG moved = 0;
  ASSERT_TRUE(world.WinUsb_ReadPipe(usb, kIn, back.data(), kBootloaderBlockSize, &moved, nullptr));
  EXPECT_EQ(moved, kBootloaderBlockSize);
  EXPECT_TRUE(Status());
  EXPECT_EQ(back, data);
}

}  // namespace
}  // namespace kv27::sim
