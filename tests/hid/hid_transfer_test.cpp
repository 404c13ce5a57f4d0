// Overlapped report transfers with time-outs, and report building.
#include <cstring>

#include "tests/hid/hid_test_support.h"

namespace kv27::test {
namespace {

using WriteMode = sim::HidCollection::WriteMode;

class HidTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Waits that nothing can end expire after 1 ms of real time.
    world.SetRealWaitCap(1);
    world.SetCancelLatency(20);
    path = AttachAt(world, mouse, kVid, kPid, 1);
    ASSERT_EQ(hid.Open(path.c_str()), 0);
  }
  void TearDown() override {
    hid.Close();
    EXPECT_EQ(world.LeakReport(), "");
  }

  // Cancellation as Windows does it: CancelIo only asks, and the transfer
  // ends a little later (the world's cancel latency, set here well above the
  // default).
  sim::World world;
  std::shared_ptr<sim::HidCollection> mouse = MakeCollection();
  std::u16string path;
  CHIDComm hid{world};
  const BYTE report[8] = {0xB4, 0x02, 0x10, 0x04, 0x03, 0, 0, 0};
};

TEST_F(HidTransferTest, ImmediateCompletion) {
  // With the caller's OVERLAPPED: done at once, its event signalled.
  HANDLE event = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD n = 99;
  EXPECT_EQ(hid.Write(report, 8, &n, &ov, 1000), 0);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(world.WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  world.CloseHandle(event);

  // Without: the internal event and counter; the text form sends the bytes
  // without the terminator.
  EXPECT_EQ(hid.Write("\xB4\x01"
                      "abcdef",
                      nullptr, nullptr, 1000),
            0);
  const auto out = mouse->OutputReports();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], Bytes(report, report + 8));
  EXPECT_EQ(out[1], (Bytes{0xB4, 0x01, 'a', 'b', 'c', 'd', 'e', 'f'}));

  // A queued input report is read at once.
  mouse->SendInputReport({0xB4, 0x20, 1, 2, 3, 4, 5, 6});
  BYTE in[8] = {};
  EXPECT_EQ(hid.Read(in, 8, &n, nullptr, 1000), 0);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Bytes(in, in + 8), (Bytes{0xB4, 0x20, 1, 2, 3, 4, 5, 6}));
}

TEST_F(HidTransferTest, CallersOverlappedIsLeftPending) {
  mouse->SetWriteMode(WriteMode::kNever);
  HANDLE event = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD n = 99;
  EXPECT_EQ(hid.Write(report, 8, &n, &ov, 1000), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(mouse->PendingWrites(), 1u);
  // The caller owns the transfer.
  world.CancelIo(hid.device);
  EXPECT_FALSE(world.GetOverlappedResult(hid.device, &ov, &n, TRUE));
  EXPECT_EQ(world.GetLastError(), ERROR_OPERATION_ABORTED);

  BYTE in[8] = {};
  OVERLAPPED readOv{};
  readOv.hEvent = event;
  EXPECT_EQ(hid.Read(in, 8, &n, &readOv, 1000), 0);
  EXPECT_EQ(mouse->PendingReads(), 1u);
  mouse->SendInputReport({0xB4, 0x24, 0x34, 0x12, 0, 0, 0, 0});
  EXPECT_EQ(world.WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(world.GetOverlappedResult(hid.device, &readOv, &n, FALSE));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(in[2], 0x34);
  world.CloseHandle(event);
}

TEST_F(HidTransferTest, TimeOutCancelsAndTheTransferIsOverOnReturn) {
  // A write that never completes.
  mouse->SetWriteMode(WriteMode::kNever);
  const auto start = world.Now();
  DWORD n = 99;
  EXPECT_EQ(hid.Write(report, 8, &n, nullptr, 1000), 1460);
  EXPECT_EQ(hid.lastError, 1460);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(mouse->PendingWrites(), 0u);
  EXPECT_GE(world.Now() - start, 1000u);
  EXPECT_NE(hid.device, nullptr);  // still open

  // A write that would complete after the time-out never goes out.
  mouse->SetWriteMode(WriteMode::kDelayed, 1500);
  EXPECT_EQ(hid.Write(report, 8, &n, nullptr, 1000), 1460);
  world.Advance(2000);
  EXPECT_TRUE(mouse->OutputReports().empty());

  // A read with nothing to read: the buffer is not written after the call,
  // and the report that comes later waits for the next read.
  BYTE in[8];
  std::memset(in, 0xEE, sizeof(in));
  EXPECT_EQ(hid.Read(in, 8, &n, nullptr, 1000), 1460);
  EXPECT_EQ(mouse->PendingReads(), 0u);
  mouse->SendInputReport({0xB4, 0x02, 0, 0, 1, 2, 3, 4});
  EXPECT_EQ(Bytes(in, in + 8), Bytes(8, 0xEE));
  EXPECT_EQ(hid.Read(in, 8, &n, nullptr, 1000), 0);
  EXPECT_EQ(in[7], 4);
}

TEST_F(HidTransferTest, CompletionWithinTheTimeOutInVirtualTime) {
  mouse->SetWriteMode(WriteMode::kDelayed, 50);
  const auto start = world.Now();
  DWORD n = 0;
  EXPECT_EQ(hid.Write(report, 8, &n, nullptr, 1000), 0);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(world.Now() - start, 50u);
  EXPECT_EQ(mouse->OutputReports().size(), 1u);
}

TEST_F(HidTransferTest, FailedWaitCancelsBeforeReturning) {
  mouse->SetWriteMode(WriteMode::kNever);
  world.InjectFault({"WaitForSingleObject", ERROR_INVALID_HANDLE, 1});
  EXPECT_EQ(hid.Write(report, 8, nullptr, nullptr, 1000), 6);
  EXPECT_EQ(mouse->PendingWrites(), 0u);
}

TEST_F(HidTransferTest, DeviceThatLeavesFailsPendingAndLaterTransfers) {
  // The read is pending when the device leaves (10 ms into its wait).
  world.Schedule(10, [&] { world.Detach(path); });
  BYTE in[8] = {};
  DWORD n = 0;
  EXPECT_EQ(hid.Read(in, 8, &n, nullptr, 1000), 1167);
  EXPECT_EQ(hid.Write(report, 8, &n, nullptr, 1000), 1167);
  EXPECT_EQ(hid.Read(in, 8, &n, nullptr, 1000), 1167);
  EXPECT_EQ(hid.lastError, 1167);

  // Closed: 6, with the count cleared.
  hid.Close();
  n = 5;
  EXPECT_EQ(hid.Write(report, 8, &n, nullptr, 1000), 6);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(hid.Read(in, 8, nullptr, nullptr, 1000), 6);
}

TEST(HidReportBuilding, LengthLimits) {
  sim::World world;
  CHIDComm hid(world);
  BYTE payload[300];
  for (int i = 0; i < 300; ++i) payload[i] = static_cast<BYTE>(i);

  enum Kind { kWithId, kPlain, kRaw };
  struct Case {
    Kind kind;
    DWORD length;
    std::int32_t code;
    DWORD reportLength;
  };
  const Case cases[] = {
      {kWithId, 0, 0, 1},      {kWithId, 7, 0, 8},    {kWithId, 254, 0, 255},
      {kWithId, 255, 1382, 0}, {kPlain, 254, 0, 255}, {kPlain, 255, 1382, 0},
      {kRaw, 0, 0, 0},         {kRaw, 255, 0, 255},   {kRaw, 256, 1382, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " length " << c.length);
    HIDReport r;
    std::memset(&r, 0xAA, sizeof(r));
    HIDReport before = r;
    std::int32_t code = 0;
    switch (c.kind) {
      case kWithId:
        code = hid.BuildReportWithId(payload, c.length, &r, 0xB4);
        break;
      case kPlain:
        code = hid.BuildReport(payload, c.length, &r);
        break;
      case kRaw:
        code = hid.BuildRawReport(payload, c.length, &r);
        break;
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(hid.lastError, c.code);
    if (c.code != 0) {
      EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0) << "report touched";
      continue;
    }
    EXPECT_EQ(r.length, c.reportLength);
    const BYTE* body = r.data;
    if (c.kind != kRaw) {
      EXPECT_EQ(r.data[0], c.kind == kWithId ? 0xB4 : 0x00);
      ++body;
    }
    EXPECT_EQ(std::memcmp(body, payload, c.length), 0);
  }

  // Text forms: the string without its terminator.
  HIDReport r{};
  EXPECT_EQ(hid.BuildReportWithId("\x02\x10\x04", &r, 0xB4), 0);
  EXPECT_EQ(r.length, 4u);
  EXPECT_EQ(Bytes(r.data, r.data + 4), (Bytes{0xB4, 0x02, 0x10, 0x04}));
  EXPECT_EQ(hid.BuildReport("ab", &r), 0);
  EXPECT_EQ(Bytes(r.data, r.data + r.length), (Bytes{0, 'a', 'b'}));
  EXPECT_EQ(hid.BuildRawReport("ab", &r), 0);
  EXPECT_EQ(Bytes(r.data, r.data + r.length), (Bytes{'a', 'b'}));
  const std::string tooLong(255, 'x');
  EXPECT_EQ(hid.BuildReportWithId(tooLong.c_str(), &r, 1), 1382);
  EXPECT_EQ(hid.BuildRawReport(std::string(256, 'x').c_str(), &r), 1382);
}

}  // namespace
}  // namespace kv27::test
