// A simulated world with the virtual mouse plugged into port 2 of a root hub,
// an owner window that forwards WM_DEVICECHANGE to the mouse link, and the
// link started on the mouse's command collection.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/kv27_usb_comm.h"
#include "sim/usb_tree.h"
#include "sim/virtual_mouse.h"
#include "sim/world.h"

namespace kv27::test {

using Bytes = std::vector<std::uint8_t>;

class MouseTest : public ::testing::Test {
 protected:
  sim::World world;
  sim::UsbTree tree{world};
  sim::UsbController hc = tree.AddController(0, 4);
  std::shared_ptr<sim::VirtualMouse> mouse =
      sim::VirtualMouse::Create(world, hc.Root().Port(2), sim::VirtualMouse::FactoryFlash());
  std::unique_ptr<CKV27USBComm> link;
  HWND owner = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && link) link->OnDeviceChange(wParam, lParam);
    return 0;
  });

  void SetUp() override {
    mouse->Plug();
    world.Advance(world.HidArrivalDelay());  // its HID collections up
    link = std::make_unique<CKV27USBComm>(world);
    ASSERT_EQ(link->Start(mouse->CommandPath().c_str(), owner), 0);
  }

  void TearDown() override {
    link.reset();
    mouse->Unplug();  // the port lets go of the device
    world.DestroyHeadlessWindow(owner);
    EXPECT_EQ(world.LeakReport(), "");
  }

  Bytes ReadBlock(BYTE index, int* result) {
    Bytes block(256, 0xEE);
    *result = link->ReadUserData(index, block.data());
    return block;
  }
  // Waits (real time, bounded) until the reader thread has handed on what the
  // mouse sent and reads again.
  void SettleReader() {
    auto collection = mouse->Collection(sim::kMouseCommandCollection);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (collection->PendingReads() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::vector<Bytes> Sent() { return mouse->Collection(sim::kMouseCommandCollection)->OutputReports(); }
  // Messages of a registered name the owner got (after pumping its queue).
  std::vector<sim::WindowMessage> Got(const char16_t* name) {
    world.PumpMessages(owner);
    std::vector<sim::WindowMessage> picked;
    const UINT id = world.RegisteredMessage(name);
    for (const auto& m : world.Received(owner))
      if (id != 0 && m.message == id) picked.push_back(m);
    return picked;
  }
};

}  // namespace kv27::test
