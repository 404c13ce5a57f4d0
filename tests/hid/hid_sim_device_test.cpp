// The virtual HID device the library tests run against: paths, collections
// and the per-handle input buffers.
#include "tests/hid/hid_test_support.h"

namespace kv27::test {
namespace {

TEST(HidSimDevice, CollectionsAreInterfacesWithWindowsPaths) {
  sim::World world;
  sim::HidDevice mouse(kVid, kPid, 1, u"7&2a1b3c4d&0&0001");
  mouse.Add(MakeCollection(kVid, kPid, sim::MakeHidDescription(0x01, 0x02, 5, 0)));
  mouse.Add(MakeCollection());
  EXPECT_EQ(mouse.Path(1),
            u"\\\\?\\hid#vid_4e5b&pid_002a&mi_01&col02#7&2a1b3c4d&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(sim::HidInterfacePath(0x1234, 0xABCD, -1, 0, u"6&1&0&0000"),
            u"\\\\?\\hid#vid_1234&pid_abcd#6&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  mouse.Attach(world);

  // Both collections are found, in order, and each has its own capabilities.
  CStdHIDComm hid(world);
  WCHAR path[kHidMaxPath];
  ASSERT_EQ(hid.FindDevicePath(kVid, kPid, 1, path), 0);
  EXPECT_EQ(PathOf(path), mouse.Path(1));
  HIDDeviceCaps caps{};
  ASSERT_TRUE(hid.QueryDeviceCaps(mouse.Path(0).c_str(), &caps));
  EXPECT_EQ(caps.caps.UsagePage, 0x01);
  ASSERT_TRUE(hid.QueryDeviceCaps(mouse.Path(1).c_str(), &caps));
  EXPECT_EQ(caps.caps.UsagePage, 0xFFB4);

  mouse.Detach(world);
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 0, path), 2);
}

TEST(HidSimDevice, EveryReadHandleBuffersItsOwnReports) {
  sim::World world;
  auto mouse = MakeCollection();
  const std::u16string path = AttachAt(world, mouse, kVid, kPid, 1);
  mouse->SetInputBufferLimit(2);
  CHIDComm first(world);
  CHIDComm second(world);
  ASSERT_EQ(first.Open(path.c_str()), 0);
  ASSERT_EQ(second.Open(path.c_str()), 0);

  for (BYTE i = 1; i <= 3; ++i) mouse->SendInputReport({0xB4, i, 0, 0, 0, 0, 0, 0});
  // Each handle got every report; the oldest fell out of the full buffer.
  for (CHIDComm* hid : {&first, &second}) {
    BYTE in[8] = {};
    ASSERT_EQ(hid->Read(in, 8, nullptr, nullptr, 0), 0);
    EXPECT_EQ(in[1], 2);
    ASSERT_EQ(hid->Read(in, 8, nullptr, nullptr, 0), 0);
    EXPECT_EQ(in[1], 3);
  }
  // A buffer shorter than the input report is refused; so is a write of
  // another length than the output report.
  BYTE small[4];
  EXPECT_EQ(first.Read(small, 4, nullptr, nullptr, 0), static_cast<std::int32_t>(ERROR_INVALID_USER_BUFFER));
  EXPECT_EQ(first.Write(small, 4, nullptr, nullptr, 0), static_cast<std::int32_t>(ERROR_INVALID_USER_BUFFER));
  first.Close();
  second.Close();
  EXPECT_EQ(world.LeakReport(), "");
}

// The traffic log shows both directions in the order the program saw them:
// an output report when it reached the device, an input report when a read
// took it, whether the report waited in the handle's buffer or completed a
// read that was pending; a report no read took is not there.
TEST(HidSimDevice, TrafficShowsWhatTheProgramTookInOrder) {
  sim::World world;
  auto mouse = MakeCollection();
  const std::u16string path = AttachAt(world, mouse, kVid, kPid, 1);
  CHIDComm hid(world);
  ASSERT_EQ(hid.Open(path.c_str()), 0);
  auto report = [](BYTE tag) { return std::vector<std::uint8_t>{0xB4, tag, 0, 0, 0, 0, 0, 0}; };
  BYTE in[8] = {};

  auto out1 = report(0x10);
  ASSERT_EQ(hid.Write(out1.data(), 8, nullptr, nullptr, 0), 0);
  mouse->SendInputReport(report(0x21));  // buffered
  mouse->SendInputReport(report(0x22));
  ASSERT_EQ(hid.Read(in, 8, nullptr, nullptr, 0), 0);
  auto out2 = report(0x11);
  ASSERT_EQ(hid.Write(out2.data(), 8, nullptr, nullptr, 0), 0);
  ASSERT_EQ(hid.Read(in, 8, nullptr, nullptr, 0), 0);
  // A read left pending, completed by a report that comes later.
  world.Schedule(10, [&] { mouse->SendInputReport(report(0x23)); });
  ASSERT_EQ(hid.Read(in, 8, nullptr, nullptr, 1000), 0);
  EXPECT_EQ(in[1], 0x23);
  mouse->SendInputReport(report(0x24));  // never read

  const std::vector<std::pair<bool, BYTE>> want = {
      {false, 0x10}, {true, 0x21}, {false, 0x11}, {true, 0x22}, {true, 0x23}};
  std::vector<std::pair<bool, BYTE>> got;
  for (const auto& t : mouse->TrafficLog()) got.emplace_back(t.input, t.report.at(1));
  EXPECT_EQ(got, want);
  hid.Close();
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::test
