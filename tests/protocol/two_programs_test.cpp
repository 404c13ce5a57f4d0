// Two programs side by side in one session, each reading the settings of its
// own mouse at the same time. Their links create the same named event
// "reply_event", so a signal one link's dispatcher sets may wake the other
// link's requester; each link must still wait for, and take, its own replies.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/kv27_usb_comm.h"
#include "sim/usb_tree.h"
#include "sim/virtual_mouse.h"
#include "sim/world.h"

namespace kv27 {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ProgramResult {
  std::vector<Bytes> expected;  // the mouse's own pages
  std::vector<Bytes> read;
  bool ok = true;
  bool sharedEvent = false;  // its link opened the event the other had made, or the other way round
  std::uint64_t elapsedMs = 0;
  std::string leaks;
};

// One program on a PC of its own in `session`: its mouse, its link, the seven
// pages read once `start` lets both programs go. Runs on the calling thread,
// which builds the world and so drives its clock.
ProgramResult RunProgram(const std::shared_ptr<sim::Session>& session, std::uint8_t flavour, std::barrier<>& start) {
  ProgramResult r;
  sim::World world(session);
  sim::UsbTree tree(world);
  sim::UsbController hc = tree.AddController(0, 4);
  sim::BootloaderFlash flash = sim::VirtualMouse::FactoryFlash();
  for (std::size_t i = sim::kMouseUserDataOffset; i < flash.size(); ++i) flash[i] ^= flavour;
  auto mouse = sim::VirtualMouse::Create(world, hc.Root().Port(2), flash);
  mouse->Plug();
  world.Advance(world.HidArrivalDelay());  // its HID collections up
  for (std::size_t page = 0; page < sim::kMouseUserDataPages; ++page) r.expected.push_back(mouse->UserPage(page));
  {
    CKV27USBComm link(world);
    r.sharedEvent = world.GetLastError() == ERROR_ALREADY_EXISTS;
    r.ok = link.Start(mouse->CommandPath().c_str()) == 0;
    start.arrive_and_wait();
    const std::uint64_t t0 = world.Now();
    for (BYTE page = 0; page < sim::kMouseUserDataPages; ++page) {
      Bytes block(256, 0xEE);
      r.ok = link.ReadUserData(page, block.data()) == 1 && r.ok;
      r.read.push_back(block);
    }
    r.elapsedMs = world.Now() - t0;
    // Both links stay until both programs are done reading.
    start.arrive_and_wait();
  }
  mouse->Unplug();
  r.leaks = world.LeakReport();
  return r;
}

// Both programs read their own mouse's settings, and neither link's exchanges
// waited out a time-out: with mice that answer at once, no virtual time
// passes unless a wait for a reply that had come ran to its end.
TEST(TwoPrograms, EachLinkWaitsForItsOwnReplies) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto session = std::make_shared<sim::Session>();
    std::barrier<> start(2);
    ProgramResult first, second;
    std::thread a([&] { first = RunProgram(session, 0x00, start); });
    std::thread b([&] { second = RunProgram(session, 0x5A, start); });
    a.join();
    b.join();
    EXPECT_NE(first.sharedEvent, second.sharedEvent) << "one link made the event, the other opened it";
    for (const ProgramResult* r : {&first, &second}) {
      EXPECT_TRUE(r->ok);
      EXPECT_EQ(r->read, r->expected);
      EXPECT_LT(r->elapsedMs, kMouseReplyTimeoutMs);
      EXPECT_EQ(r->leaks, "");
    }
    EXPECT_NE(first.expected, second.expected);
  }
}

}  // namespace
}  // namespace kv27
