// The mouse command link against the virtual mouse: the flash-read exchanges,
// their failures, and the dispatcher of input reports.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/protocol/mouse_fixture.h"

namespace kv27::test {
namespace {

TEST_F(MouseTest, ReadsABlockWithOneRequestPerFourBytes) {
  int result = 0;
  const Bytes block = ReadBlock(3, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(block, mouse->UserPage(3));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 64u);
  // Block 3 at offset 0x10.
  EXPECT_EQ(sent[4], (Bytes{0xB4, 0x02, 0x10, 0x04, 0x03, 0x00, 0x00, 0x00}));
  for (std::size_t k = 0; k < sent.size(); ++k)
    EXPECT_EQ(sent[k], (Bytes{0xB4, 0x02, static_cast<std::uint8_t>(4 * k), 0x04, 0x03, 0, 0, 0})) << k;
}

// The seven pages, with unasked mode-information reports arriving right after
// every reply (the moment a requester is about to copy its reply), every third
// reply, or never: every byte must still be the mouse's.
TEST_F(MouseTest, SevenPagesComeThroughUnaskedModeReports) {
  for (unsigned every : {0u, 3u, 1u}) {
    SCOPED_TRACE(every);
    mouse->ModeInfoAfterAnswers(every);
    for (BYTE page = 0; page < 7; ++page) {
      int result = 0;
      const Bytes block = ReadBlock(page, &result);
      ASSERT_EQ(result, 1) << int{page};
      ASSERT_EQ(block, mouse->UserPage(page)) << int{page};
    }
  }
  EXPECT_EQ(Sent().size(), 3u * 448u);
  // The mode values and the announcement still follow the unasked reports.
  EXPECT_EQ(link->GetModeValues(), DecodeModeValues(Bytes{0xB4, 0x20, 0x00, 0x00, 0x91, 0x23, 0x05, 0x01}.data()));
  EXPECT_FALSE(Got(kModeDpiChangeMessage).empty());
}

TEST_F(MouseTest, RefusesWithoutSending) {
  BYTE buffer[256];
  EXPECT_EQ(link->ReadUserData(7, buffer), 0);  // beyond the user data
  link->Close();
  EXPECT_EQ(link->ReadUserData(0, buffer), 0);  // not open
  EXPECT_TRUE(Sent().empty());
}

// Each fault of one exchange (page 2, offset 0x20) ends the read there: result
// 0 and no request after the ninth; the link is fit for the next read.
TEST_F(MouseTest, AFailedExchangeEndsTheRead) {
  struct Case {
    const char* name;
    void (*inject)(sim::VirtualMouse&);
  };
  const Case cases[] = {
      {"no reply", [](sim::VirtualMouse& m) { m.DropReply(2, 0x20); }},
      {"other offset echoed", [](sim::VirtualMouse& m) { m.EchoOffset(2, 0x20, 0x24); }},
      {"reply after the wait", [](sim::VirtualMouse& m) { m.DelayReply(2, 0x20, 5000); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link.reset();
    mouse->Unplug();
    mouse = sim::VirtualMouse::Create(world, hc.Root().Port(2), sim::VirtualMouse::FactoryFlash());
    mouse->Plug();
    world.Advance(world.HidArrivalDelay());
    link = std::make_unique<CKV27USBComm>(world);
    ASSERT_EQ(link->Start(mouse->CommandPath().c_str(), owner), 0);
    c.inject(*mouse);
    int result = 1;
    ReadBlock(2, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Sent().size(), 9u);
    world.Advance(5000);  // a late reply comes by now and is ignored
    SettleReader();
    const Bytes block = ReadBlock(4, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(block, mouse->UserPage(4));
  }
}

TEST_F(MouseTest, AWriteThatNeverCompletesFailsAfterItsTimeOut) {
  mouse->HangWrites();
  const std::uint64_t start = world.Now();
  int result = 1;
  ReadBlock(0, &result);
  EXPECT_EQ(result, 0);
  EXPECT_GE(world.Now() - start, 1000u);
  EXPECT_EQ(mouse->RequestCount(), 0u);
  EXPECT_EQ(mouse->Collection(sim::kMouseCommandCollection)->PendingWrites(), 0u);  // cancelled
}

// The mouse leaves after answering offset 0x20: the next write fails, the
// owner hears of it at once, and a read asked for from its handler is refused.
TEST_F(MouseTest, AMouseLeavingInMidPageStopsTheRead) {
  mouse->UnplugAfterRead(2, 0x20);
  int nested = -1;
  HWND reentrant = world.CreateHeadlessWindow([&](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message != WM_DEVICECHANGE) return 0;
    BYTE buffer[256];
    if (nested < 0) nested = link->ReadUserData(0, buffer);
    link->OnDeviceChange(wParam, lParam);
    return 0;
  });
  link->Close();
  ASSERT_EQ(link->Start(mouse->CommandPath().c_str(), reentrant), 0);
  int result = 1;
  ReadBlock(2, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(nested, 0);
  EXPECT_EQ(Sent().size(), 9u);
  EXPECT_EQ(link->device, nullptr);  // stopped by the owner's handler
  link->Close();
  world.DestroyHeadlessWindow(reentrant);
}

// The event is shared by every link that makes it: a signal from elsewhere,
// or one left from an earlier exchange, must not end the wait for a reply
// that is still on its way.
TEST_F(MouseTest, EachExchangeWaitsForItsOwnReply) {
  HANDLE shared = world.CreateEventW(nullptr, FALSE, FALSE, kReplyEventName);
  ASSERT_NE(shared, nullptr);
  world.SetEvent(shared);
  mouse->DelayReply(1, 0x00, 300);
  mouse->DelayReply(1, 0x40, 900);
  int result = 0;
  const Bytes block = ReadBlock(1, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(block, mouse->UserPage(1));
  world.CloseHandle(shared);
}

// Every reply code the dispatcher awaits, asked of the mouse: accepted, with
// what each keeps; an awaited mode-information reply is not announced.
TEST_F(MouseTest, AwaitedRepliesAreAccepted) {
  struct Case {
    Bytes request;
    bool accepted;
  };
  const Case cases[] = {
      {{0x01, 0x08, 3, 5, 0xA1, 0xA2, 0xA3}, true},  // write three bytes of page 5
      {{0x03, 0, 0, 6, 0, 0, 0}, true},              // erase page 6
      {{0x07, 1, 2, 3, 4, 5, 6}, true},
      {{0x20, 0, 0, 0, 0, 0, 0}, true},
      {{0x21, 0, 0, 0, 0, 0, 0}, true},
      {{0x22, 0, 0, 0, 0, 0, 0}, true},
      {{0x30, 9, 9, 9, 9, 9, 9}, true},
      {{0x31, 8, 8, 8, 8, 8, 8}, true},
      {{0x24, 0, 0, 0, 0, 0, 0}, false},  // key status is never awaited
      {{0x55, 0, 0, 0, 0, 0, 0}, false},  // unknown to both sides
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.request[0]});
    BYTE answer[7] = {};
    EXPECT_EQ(link->Exchange(c.request.data(), c.request[0], answer), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(answer[0], c.request[0]);
    }
  }
  EXPECT_EQ(link->GetDpiInfo(), (std::array<BYTE, 5>{0x04, 0x08, 0x10, 0x20, 0x40}));
  EXPECT_EQ(link->GetReportRateInfo(), (std::array<BYTE, 5>{0x01, 0x02, 0x04, 0x08, 0x00}));
  EXPECT_EQ(link->GetModeValues(), DecodeModeValues(Bytes{0xB4, 0x20, 0x00, 0x00, 0x91, 0x23, 0x05, 0x01}.data()));
  EXPECT_TRUE(Got(kModeDpiChangeMessage).empty());
  const Bytes page5 = mouse->UserPage(5);
  EXPECT_EQ(Bytes(page5.begin() + 8, page5.begin() + 11), (Bytes{0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(mouse->UserPage(6), Bytes(256, 0xFF));
}

TEST_F(MouseTest, DispatcherDropsWhatItDoesNotKnow) {
  const Bytes before{0xB4, 0x20, 0x01, 0x02, 0xB7, 0x5A, 0x11, 0x22};
  link->OnInputReport(before.data(), 8);
  world.PumpMessages(owner);
  world.ClearReceived(owner);
  const MouseModeValues mode = link->GetModeValues();
  const auto reply = link->GetReply();
  const std::vector<Bytes> ignored = {
      {0xB4, 0x20, 0, 0, 0, 0, 0},           // 7 bytes
      {0xB4, 0x20, 0, 0, 0, 0, 0, 0, 0},     // 9 bytes
      {0xB5, 0x24, 0x34, 0x12, 0, 0, 0, 0},  // another report id
      {0xB4, 0x55, 9, 9, 9, 9, 9, 9},        // unknown code
      {0xB4, 0x21, 9, 9, 9, 9, 9, 9},        // DPI information nobody waits for
      {0xB4, 0x22, 9, 9, 9, 9, 9, 9},        // report rate nobody waits for
      {0xB4, 0x02, 9, 9, 9, 9, 9, 9},        // flash read nobody waits for
  };
  for (const Bytes& r : ignored) EXPECT_TRUE(link->OnInputReport(r.data(), static_cast<DWORD>(r.size())));
  EXPECT_EQ(link->GetModeValues(), mode);
  EXPECT_EQ(link->GetReply(), reply);
  EXPECT_EQ(link->GetDpiInfo(), (std::array<BYTE, 5>{}));
  EXPECT_EQ(link->GetReportRateInfo(), (std::array<BYTE, 5>{}));
  EXPECT_EQ(link->GetKeyStatus(), 0);
  world.PumpMessages(owner);
  EXPECT_TRUE(world.Received(owner).empty());
}

TEST_F(MouseTest, UnaskedModeInformationIsDecodedAndAnnouncedToAnOwner) {
  const Bytes report{0xB4, 0x20, 0x01, 0x02, 0xB7, 0x5A, 0x11, 0x22};
  link->OnInputReport(report.data(), 8);
  const MouseModeValues expected{3, 0xA, 5, 4, 0x11, 0x22, 3};
  EXPECT_EQ(link->GetModeValues(), expected);
  EXPECT_EQ(link->GetReply(), (std::array<BYTE, 7>{0x20, 0x01, 0x02, 0xB7, 0x5A, 0x11, 0x22}));
  const auto got = Got(kModeDpiChangeMessage);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].wParam, 0u);
  EXPECT_EQ(got[0].lParam, 0);
  EXPECT_FALSE(got[0].sent);

  // Without an owner: decoded, announced nowhere.
  CKV27USBComm bare(world);
  const Bytes other{0xB4, 0x20, 0, 0, 0x01, 0x10, 0x7F, 0x80};
  bare.OnInputReport(other.data(), 8);
  EXPECT_EQ(bare.GetModeValues(), (MouseModeValues{1, 0, 1, 0, 0x7F, 0x80, 0}));
  EXPECT_EQ(Got(kModeDpiChangeMessage).size(), 1u);
}

TEST_F(MouseTest, KeyStatusFromTheMouseReachesTheOwner) {
  mouse->SendKeyStatus(0x1234);
  std::vector<sim::WindowMessage> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((got = Got(kKeyStatusMessage)).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].wParam, 0x1234u);
  EXPECT_EQ(got[0].lParam, 0);
  EXPECT_EQ(link->GetKeyStatus(), 0x1234);
}

TEST_F(MouseTest, LinksShareTheNamedReplyEvent) {
  CKV27USBComm second(world);
  ASSERT_NE(second.replyEvent, nullptr);
  world.SetEvent(second.replyEvent);
  EXPECT_EQ(world.WaitForSingleObject(link->replyEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(world.WaitForSingleObject(link->replyEvent, 0), WAIT_TIMEOUT);  // auto-reset
}

}  // namespace
}  // namespace kv27::test
