// The USB topology monitor against a virtual hub tree.
#include "usbmon/usb_device_monitor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/usb_tree.h"
#include "sim/world.h"

namespace kv27 {
namespace {

using sim::NameReply;
using sim::UsbController;
using sim::UsbHub;
using sim::UsbTree;

constexpr USHORT kVid = 0x1234;
constexpr USHORT kPid = 0x5678;

ULONG PortOf(const USBDeviceEntry& entry) {
  ULONG port;
  std::memcpy(&port, entry.connection, sizeof port);
  return port;
}

USHORT Word(const BYTE* record, std::size_t offset) {
  USHORT value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

// One "USB_DEVICE_CHANGE" as the owner window saw it, read during the call.
struct Note {
  WPARAM kind = 0;
  int index = -1;  // table entry lParam pointed at
  std::u16string hubPath;
  ULONG port = 0;
  USHORT productId = 0;
  bool occupied = false;  // the entry still held its record during the call
};

// A world that counts the I/O controls it is sent, by code.
class CountingWorld : public sim::World {
 public:
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override {
    ++controls_[code];
    return World::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
  }
  std::uint64_t Controls(DWORD code) { return controls_[code]; }

 private:
  std::map<DWORD, std::uint64_t> controls_;
};

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() {
    window_ = world_.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      if (message != world_.RegisteredMessage(kUsbDeviceChangeMessage)) return 0;
      auto* entry = reinterpret_cast<USBDeviceEntry*>(lParam);
      Note note;
      note.kind = wParam;
      auto first = reinterpret_cast<std::uintptr_t>(&monitor_.Entry(0));
      auto at = reinterpret_cast<std::uintptr_t>(entry);
      if (at >= first && at < first + CUSBDeviceMonitor::kMaxEntries * sizeof(USBDeviceEntry))
        note.index = static_cast<int>((at - first) / sizeof(USBDeviceEntry));
      note.hubPath = entry->hubPath;
      note.occupied = entry->connection != nullptr;
      if (entry->connection != nullptr) {
        note.port = PortOf(*entry);
        note.productId = Word(entry->connection, 14);
      }
      notes_.push_back(note);
      return 0;
    });
    monitor_.ownerWindow = window_;
    monitor_.EnableNotification(true);
  }

  ~MonitorTest() override { world_.DestroyHeadlessWindow(window_); }

  void TearDown() override { EXPECT_EQ(world_.LeakReport(), ""); }

  // Refresh and return what it announced.
  std::vector<Note> Refresh() {
    notes_.clear();
    monitor_.Refresh();
    return notes_;
  }

  int FindIndex(USHORT vid, USHORT pid) {
    for (int i = 0; i < CUSBDeviceMonitor::kMaxEntries; ++i) {
      const USBDeviceEntry& e = monitor_.Entry(i);
      if (e.connection && Word(e.connection, 12) == vid && Word(e.connection, 14) == pid) return i;
    }
    return -1;
  }

  CountingWorld world_;
  UsbTree tree_{world_};
  CUSBDeviceMonitor monitor_{world_};
  HWND window_ = nullptr;
  std::vector<Note> notes_;
};

// ---------------------------------------------------------------- the walk

TEST_F(MonitorTest, WalkRecordsDevicesWithTheirHubPathAndNeverTheHubs) {
  UsbController hc = tree_.AddController(0, 4);
  UsbHub hub = hc.Root().Port(1).PlugHub(4);
  UsbHub inner = hub.Port(4).PlugHub(2);
  hub.Port(2).Plug(kVid, 0x0001);
  inner.Port(1).Plug(kVid, 0x0002);
  hc.Root().Port(3).Plug(kVid, 0x0003);

  std::vector<Note> notes = Refresh();

  // Depth first, ports in ascending order; each device in the next free entry.
  ASSERT_EQ(notes.size(), 3u);
  struct Expected {
    std::u16string hubPath;
    ULONG port;
    USHORT pid;
  } expected[] = {{hub.Path(), 2, 0x0001}, {inner.Path(), 1, 0x0002}, {hc.Root().Path(), 3, 0x0003}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(notes[i].kind, kUsbDeviceAdded);
    EXPECT_EQ(notes[i].index, i);
    const USBDeviceEntry& e = monitor_.Entry(i);
    EXPECT_EQ(e.hubPath, expected[i].hubPath);
    EXPECT_EQ(PortOf(e), expected[i].port);
    EXPECT_EQ(Word(e.connection, 14), expected[i].pid);
    EXPECT_EQ(e.connection[24], 0);  // DeviceIsHub
  }
  EXPECT_EQ(monitor_.OccupiedCount(), 3);
  EXPECT_EQ(FindIndex(0x05E3, 0x0608), -1) << "a hub was recorded";
  EXPECT_EQ(hub.Path().substr(0, 4), u"\\\\.\\");

  // Nothing changed: nothing announced, nothing moved.
  EXPECT_TRUE(Refresh().empty());
  EXPECT_EQ(monitor_.OccupiedCount(), 3);
}

TEST_F(MonitorTest, AnnouncementIsOffUntilEnabledAndNeedsAnOwnerWindow) {
  tree_.AddController(0, 2).Root().Port(1).Plug(kVid, kPid);
  CUSBDeviceMonitor quiet(world_);
  EXPECT_EQ(quiet.notifyEnabled, 0);
  EXPECT_EQ(quiet.ownerWindow, nullptr);
  quiet.ownerWindow = window_;
  quiet.Refresh();
  EXPECT_EQ(quiet.OccupiedCount(), 1);

  CUSBDeviceMonitor ownerless(world_);
  ownerless.EnableNotification(true);
  ownerless.Refresh();
  EXPECT_EQ(ownerless.OccupiedCount(), 1);
  // Nothing but the system's own DBT_DEVNODES_CHANGED, which every top-level
  // window gets.
  for (const auto& m : world_.Received(window_))
    EXPECT_TRUE(m.message == WM_DEVICECHANGE && m.wParam == DBT_DEVNODES_CHANGED) << m.message;
  EXPECT_TRUE(notes_.empty());
}

TEST_F(MonitorTest, ControllersPastNineAreNeverWalkedAndGapsDoNotStopTheWalk) {
  for (int n : {0, 2, 9, 10, 12}) tree_.AddController(n, 1).Root().Port(1).Plug(kVid, static_cast<USHORT>(0x100 + n));

  Refresh();

  EXPECT_EQ(monitor_.OccupiedCount(), 3);
  for (int n : {0, 2, 9}) EXPECT_NE(FindIndex(kVid, static_cast<USHORT>(0x100 + n)), -1) << n;
  USBDeviceEntry found;
  EXPECT_EQ(monitor_.FindDevice(kVid, 0x10A, found), 0);
  EXPECT_EQ(monitor_.FindDevice(kVid, 0x10C, found), 0);
  EXPECT_TRUE(found.hubPath.empty());
  EXPECT_EQ(found.connection, nullptr);
}

TEST_F(MonitorTest, HubsWithoutPortsContributeNothing) {
  tree_.AddController(0, 0);
  tree_.AddController(1, 1).Root().Port(1).PlugHub(0);
  EXPECT_TRUE(Refresh().empty());
  EXPECT_EQ(monitor_.OccupiedCount(), 0);
  // One connection query per port: controller 1's root port, which carries
  // the hub; none on the two hubs without ports.
  EXPECT_EQ(world_.Controls(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION), 1u);
}

// A port that reports anything but DeviceConnected is empty to both passes.
TEST_F(MonitorTest, PortNotConnectedCountsAsEmpty) {
  for (USB_CONNECTION_STATUS status :
       {DeviceEnumerating, DeviceFailedEnumeration, DeviceGeneralFailure, DeviceReset, NoDeviceConnected}) {
    SCOPED_TRACE(status);
    sim::World world;
    UsbTree tree(world);
    CUSBDeviceMonitor monitor(world);
    sim::UsbPort port = tree.AddController(0, 2).Root().Port(1);
    port.Plug(kVid, kPid);
    port.SetStatus(status);
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), 0);  // walk: not recorded

    port.SetStatus(DeviceConnected);
    monitor.Refresh();
    ASSERT_EQ(monitor.OccupiedCount(), 1);
    port.SetStatus(status);
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), 0);  // removal pass: gone
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// A cycle of hub names (a driver that names an ancestor on a hub port) must
// not recurse without end.
TEST_F(MonitorTest, HubNamesLeadingBackIntoTheirOwnSubtreeEndTheWalk) {
  UsbController hc = tree_.AddController(0, 2);
  sim::UsbPort loop = hc.Root().Port(1);
  loop.PlugHub(1);
  loop.SetHubNameReply(NameReply{static_cast<ULONG>(8 + 2 * (hc.Root().Name().size() + 1)), hc.Root().Name(), true});
  hc.Root().Port(2).Plug(kVid, kPid);

  std::vector<Note> notes = Refresh();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(monitor_.OccupiedCount(), 1);
}

// ---------------------------------------------------------------- change detection

TEST_F(MonitorTest, RemovalsComeBeforeArrivalsWithinOneRefresh) {
  sim::UsbHub root = tree_.AddController(0, 4).Root();
  root.Port(1).Plug(kVid, 0x0001);
  root.Port(2).Plug(kVid, 0x0002);
  Refresh();

  // Port 1's device leaves and one arrives on port 4, between two refreshes.
  root.Port(1).Unplug();
  root.Port(4).Plug(kVid, 0x0004);
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[0].index, 0);
  EXPECT_TRUE(notes[0].occupied) << "the record must still be there while the owner hears of it";
  EXPECT_EQ(notes[0].productId, 0x0001);
  EXPECT_EQ(notes[1].kind, kUsbDeviceAdded);
  EXPECT_EQ(notes[1].index, 0) << "the newcomer takes the entry just freed";
  EXPECT_EQ(notes[1].productId, 0x0004);

  // A device moved to another port: removed from its entry, then recorded anew.
  root.Port(2).Unplug();
  root.Port(3).Plug(kVid, 0x0002);
  notes = Refresh();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[1].kind, kUsbDeviceAdded);
  EXPECT_EQ(notes[1].index, 1);
  EXPECT_EQ(notes[1].port, 3u);
}

TEST_F(MonitorTest, DeviceUnpluggedBetweenRefreshesFreesItsEntry) {
  sim::UsbPort port = tree_.AddController(0, 2).Root().Port(2);
  port.Plug(kVid, kPid);
  Refresh();
  USBDeviceEntry found;
  ASSERT_EQ(monitor_.FindDevice(kVid, kPid, found), 1);

  port.Unplug();
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[0].hubPath, port.HubPath());
  EXPECT_TRUE(monitor_.Entry(0).hubPath.empty());
  EXPECT_EQ(monitor_.Entry(0).connection, nullptr);
  EXPECT_EQ(monitor_.FindDevice(kVid, kPid, found), 0);
}

// Another device on the same port, with no refresh in between: one change.
TEST_F(MonitorTest, NewDeviceOnTheSamePortIsOneChangeInPlace) {
  sim::UsbPort port = tree_.AddController(0, 2).Root().Port(1);
  port.Plug(kVid, kPid);
  Refresh();
  USBDeviceEntry found;
  ASSERT_EQ(monitor_.FindDevice(kVid, kPid, found), 1);
  const BYTE* record = found.connection;

  port.Plug(0xAAAA, 0xBBBB);
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceChanged);
  EXPECT_EQ(notes[0].index, 0);
  EXPECT_EQ(notes[0].productId, 0xBBBB) << "the new record is copied in before the announcement";
  // Updated in place: a pointer handed out earlier now shows the new device.
  EXPECT_EQ(monitor_.Entry(0).connection, record);
  EXPECT_EQ(Word(record, 12), 0xAAAA);
  USBDeviceEntry fresh;
  EXPECT_EQ(monitor_.FindDevice(kVid, kPid, fresh), 0);
  EXPECT_EQ(monitor_.FindDevice(0xAAAA, 0xBBBB, fresh), 1);
}

// The device on a port gives way to a hub with that device behind it, with no
// refresh in between. The port's old entry must go: requests sent through it
// would reach the hub, not the device.
TEST_F(MonitorTest, PortThatNowCarriesAHubLosesItsEntry) {
  UsbController hc = tree_.AddController(0, 2);
  sim::UsbPort port = hc.Root().Port(1);
  port.Plug(kVid, kPid);
  Refresh();

  UsbHub hub = port.PlugHub(4);
  std::shared_ptr<sim::UsbDeviceStub> mouse = hub.Port(3).Plug(kVid, kPid);
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[0].hubPath, hc.Root().Path());
  EXPECT_EQ(notes[1].kind, kUsbDeviceAdded);
  EXPECT_EQ(notes[1].hubPath, hub.Path());
  EXPECT_EQ(monitor_.OccupiedCount(), 1);

  USBDeviceEntry found;
  ASSERT_EQ(monitor_.FindDevice(kVid, kPid, found), 1);
  EXPECT_EQ(found.hubPath, hub.Path());
  EXPECT_EQ(PortOf(found), 3u);
  mouse->SetString(0xC3, 0x5D1A, u"ISP");
  EXPECT_EQ(monitor_.GetDeviceString(&found), u"ISP");
  EXPECT_EQ(mouse->Requests().size(), 1u);
}

TEST_F(MonitorTest, ReenumerationWithANewAddressIsAChange) {
  sim::UsbPort port = tree_.AddController(0, 2).Root().Port(1);
  port.Plug(kVid, kPid);
  Refresh();
  USHORT before = Word(monitor_.Entry(0).connection, 25);  // DeviceAddress
  EXPECT_EQ(before, port.Address());

  port.Reenumerate();
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceChanged);
  EXPECT_NE(Word(monitor_.Entry(0).connection, 25), before);
  EXPECT_EQ(Word(monitor_.Entry(0).connection, 25), port.Address());
}

TEST_F(MonitorTest, OpenPipesArePartOfTheComparedRecord) {
  sim::UsbPort port = tree_.AddController(0, 1).Root().Port(1);
  auto device = std::make_shared<sim::UsbFunction>(kVid, kPid);
  port.Plug(device);
  Refresh();
  device->openPipes.push_back(USB_PIPE_INFO{USB_ENDPOINT_DESCRIPTOR{7, 5, 0x02, 2, 64, 0}, 0});
  port.Reenumerate();
  std::vector<Note> notes = Refresh();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceChanged);
}

TEST_F(MonitorTest, UnpluggedHubTakesEveryEntryBehindItOneByOne) {
  UsbController hc = tree_.AddController(0, 2);
  UsbHub hub = hc.Root().Port(1).PlugHub(3);
  for (int p = 1; p <= 3; ++p) hub.Port(p).Plug(kVid, static_cast<USHORT>(p));
  hc.Root().Port(2).Plug(kVid, 0x0010);
  Refresh();
  ASSERT_EQ(monitor_.OccupiedCount(), 4);

  hc.Root().Port(1).Unplug();
  std::vector<Note> notes = Refresh();

  ASSERT_EQ(notes.size(), 3u);
  for (const Note& n : notes) {
    EXPECT_EQ(n.kind, kUsbDeviceRemoved);
    EXPECT_EQ(n.hubPath, hub.Path());
  }
  EXPECT_EQ(monitor_.OccupiedCount(), 1);
  EXPECT_NE(FindIndex(kVid, 0x0010), -1);
}

// Failures on the way narrow what is recorded; none leaves a handle open.
TEST_F(MonitorTest, FailuresSkipWhatTheyCover) {
  struct Case {
    const char* what;
    sim::Fault fault;
    int recorded;  // of the 4 devices below
  } cases[] = {
      {"controller does not open", {"CreateFileW", ERROR_ACCESS_DENIED, 1, 0, u"HCD0"}, 0},
      {"root hub name query fails", {"DeviceIoControl", ERROR_GEN_FAILURE, 1, 0, u"HCD0"}, 0},
      {"external hub does not open", {"CreateFileW", ERROR_FILE_NOT_FOUND, 1, 0, u"PID_0608"}, 2},
      {"external hub I/O controls fail", {"DeviceIoControl", ERROR_GEN_FAILURE, 1, 0, u"PID_0608"}, 2},
      {"every hub I/O control fails", {"DeviceIoControl", ERROR_GEN_FAILURE, 1, 0, u"#{f18a0e88"}, 0},
      {"name conversion fails", {"WideCharToMultiByte", ERROR_GEN_FAILURE, 1, 0, u""}, 0},
      {"conversion back fails", {"MultiByteToWideChar", ERROR_GEN_FAILURE, 1, 0, u""}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::World world;
    UsbTree tree(world);
    CUSBDeviceMonitor monitor(world);
    UsbController hc = tree.AddController(0, 3);
    UsbHub hub = hc.Root().Port(2).PlugHub(2);
    hc.Root().Port(1).Plug(kVid, 1);
    hub.Port(1).Plug(kVid, 2);
    hub.Port(2).Plug(kVid, 3);
    hc.Root().Port(3).Plug(kVid, 4);
    world.InjectFault(c.fault);
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), c.recorded);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(MonitorTest, RemovalPassTakesADeviceWhoseHubCannotBeQueried) {
  UsbController hc = tree_.AddController(0, 2);
  hc.Root().Port(1).Plug(kVid, 1);
  hc.Root().Port(2).Plug(kVid, 2);
  Refresh();

  // The first connection query of the next refresh (entry 0's) fails; the
  // walk then finds the device again.
  world_.InjectFault({"DeviceIoControl", ERROR_GEN_FAILURE, 1, 1, hc.Root().Name()});
  std::vector<Note> notes = Refresh();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[0].productId, 1);
  EXPECT_EQ(notes[1].kind, kUsbDeviceAdded);
  EXPECT_EQ(notes[1].index, 0);

  // A hub that no longer opens loses all its entries.
  hc.Root().SetOpenError(ERROR_ACCESS_DENIED);
  notes = Refresh();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[1].kind, kUsbDeviceRemoved);
  EXPECT_EQ(monitor_.OccupiedCount(), 0);
}

// ---------------------------------------------------------------- table limits and lookup

TEST_F(MonitorTest, FullTableIgnoresNewDevicesUntilAnEntryIsFreed) {
  UsbController hc = tree_.AddController(0, 2);
  UsbHub big = hc.Root().Port(1).PlugHub(255);
  UsbHub small = hc.Root().Port(2).PlugHub(2);
  for (int p = 1; p <= 255; ++p) big.Port(p).Plug(kVid, static_cast<USHORT>(p));
  small.Port(1).Plug(kVid, 0x1000);
  Refresh();
  ASSERT_EQ(monitor_.OccupiedCount(), 256);

  small.Port(2).Plug(kVid, 0x2000);
  EXPECT_TRUE(Refresh().empty()) << "a device that finds no room is not announced";
  EXPECT_EQ(FindIndex(kVid, 0x2000), -1);

  // A known device still changes in place while the table is full.
  big.Port(7).Reenumerate();
  std::vector<Note> notes = Refresh();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceChanged);

  big.Port(10).Unplug();
  notes = Refresh();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, kUsbDeviceRemoved);
  EXPECT_EQ(notes[1].kind, kUsbDeviceAdded);
  EXPECT_EQ(notes[1].index, notes[0].index);
  EXPECT_EQ(notes[1].productId, 0x2000);
}

TEST_F(MonitorTest, FindDeviceReturnsTheLowerEntryOfTwoWithTheSameIds) {
  sim::UsbHub root = tree_.AddController(0, 3).Root();
  root.Port(1).Plug(kVid, kPid);
  root.Port(3).Plug(kVid, kPid);
  Refresh();

  USBDeviceEntry found;
  ASSERT_EQ(monitor_.FindDevice(kVid, kPid, found), 1);
  EXPECT_EQ(found.connection, monitor_.Entry(0).connection) << "the record is shared, not copied";
  EXPECT_EQ(PortOf(found), 1u);

  root.Port(1).Unplug();
  Refresh();
  USBDeviceEntry next;
  ASSERT_EQ(monitor_.FindDevice(kVid, kPid, next), 1);
  EXPECT_EQ(PortOf(next), 3u);

  USBDeviceEntry untouched{u"keep", nullptr};
  EXPECT_EQ(monitor_.FindDevice(kVid, 0x9999, untouched), 0);
  EXPECT_EQ(untouched.hubPath, u"keep");
}

TEST_F(MonitorTest, RecordDeviceRefusesAnEmptyPathOrRecord) {
  BYTE record[kConnectionRecordSize] = {};
  EXPECT_EQ(monitor_.RecordDevice(u"", record), 0);
  EXPECT_EQ(monitor_.RecordDevice(u"\\\\.\\hub", nullptr), 0);
  EXPECT_EQ(monitor_.RecordDevice(u"\\\\.\\hub", record), 1);
  EXPECT_EQ(monitor_.RecordDevice(u"\\\\.\\hub", record), 0);
  // Paths compare exactly: another case is another hub.
  EXPECT_EQ(monitor_.RecordDevice(u"\\\\.\\HUB", record), 1);
  EXPECT_EQ(monitor_.OccupiedCount(), 2);
}

// The table belongs to its monitor: one destroyed, with its owner still set,
// announces nothing, and a new monitor on the same bus starts from an empty
// table and announces every device as an arrival.
TEST_F(MonitorTest, EachMonitorKeepsItsOwnTable) {
  UsbHub root = tree_.AddController(0, 2).Root();
  root.Port(1).Plug(kVid, 0x0001);
  root.Port(2).Plug(kVid, 0x0002);
  {
    CUSBDeviceMonitor first(world_);
    first.ownerWindow = window_;
    first.EnableNotification(true);
    first.Refresh();
    ASSERT_EQ(notes_.size(), 2u);
  }
  EXPECT_EQ(notes_.size(), 2u) << "destruction announced something";

  EXPECT_EQ(monitor_.OccupiedCount(), 0);
  std::vector<Note> notes = Refresh();
  ASSERT_EQ(notes.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(notes[i].kind, kUsbDeviceAdded);
    EXPECT_EQ(notes[i].index, i);
  }
}

// ---------------------------------------------------------------- the string request

class DeviceStringTest : public MonitorTest {
 protected:
  // A device on port 2 of an external hub, found through the table.
  void SetUp() override {
    UsbController hc = tree_.AddController(0, 2);
    hub_ = hc.Root().Port(1).PlugHub(3);
    device_ = hub_->Port(2).Plug(kVid, kPid);
    monitor_.Refresh();
    ASSERT_EQ(monitor_.FindDevice(kVid, kPid, entry_), 1);
  }

  std::optional<UsbHub> hub_;
  std::shared_ptr<sim::UsbDeviceStub> device_;
  USBDeviceEntry entry_;
};

TEST_F(DeviceStringTest, SendsTheFixedRequestToTheDeviceThroughItsHub) {
  device_->SetString(0xC3, 0x5D1A, u"ISP");
  EXPECT_EQ(monitor_.GetDeviceString(&entry_), u"ISP");

  std::vector<sim::UsbDeviceStub::Request> requests = device_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  const sim::UsbDeviceStub::Request& r = requests[0];
  EXPECT_EQ(r.connectionIndex, 2u);
  EXPECT_EQ(r.setup.bmRequest, 0);
  EXPECT_EQ(r.setup.bRequest, 0);
  EXPECT_EQ(r.setup.wValue, 0x03C3);
  EXPECT_EQ(r.setup.wIndex, 0x5D1A);
  EXPECT_EQ(r.setup.wLength, 255);
  EXPECT_EQ(r.room, 255u);

  // A device that stalls, as a mouse does when it restarts: empty text.
  device_->SetStall();
  EXPECT_EQ(monitor_.GetDeviceString(&entry_), u"");
  EXPECT_EQ(device_->Requests().size(), 2u);
}

TEST_F(DeviceStringTest, FreeOrMissingEntryDoesNoIo) {
  std::uint64_t opens = world_.CallCount("CreateFileW");
  std::uint64_t controls = world_.CallCount("DeviceIoControl");
  USBDeviceEntry blank;
  USBDeviceEntry pathOnly{entry_.hubPath, nullptr};
  BYTE record[kConnectionRecordSize] = {};
  USBDeviceEntry recordOnly{u"", record};
  const USBDeviceEntry* entries[] = {nullptr, &blank, &pathOnly, &recordOnly};
  for (const USBDeviceEntry* e : entries) EXPECT_EQ(monitor_.GetDeviceString(e), u"");
  EXPECT_EQ(world_.CallCount("CreateFileW"), opens);
  EXPECT_EQ(world_.CallCount("DeviceIoControl"), controls);
  EXPECT_TRUE(device_->Requests().empty());
}

TEST_F(DeviceStringTest, HubFailuresGiveAnEmptyString) {
  world_.InjectFault({"DeviceIoControl", ERROR_GEN_FAILURE, 1, 1, hub_->Name()});
  EXPECT_EQ(monitor_.GetDeviceString(&entry_), u"");
  hub_->SetOpenError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(monitor_.GetDeviceString(&entry_), u"");
  EXPECT_TRUE(device_->Requests().empty());
}

// The reply is taken only when it is a string descriptor whose bLength is
// even and matches the byte count; the text never runs past bLength.
TEST_F(DeviceStringTest, ValidatesTheReply) {
  auto text = [](std::initializer_list<int> head, std::size_t fill = 0) {
    std::vector<BYTE> bytes(head.size() + fill, 0x41);  // non-zero filler: no terminator to stop at
    std::size_t i = 0;
    for (int b : head) bytes[i++] = static_cast<BYTE>(b);
    return bytes;
  };
  struct Case {
    const char* what;
    std::vector<BYTE> bytes;
    std::optional<DWORD> reported;  // data bytes the hub reports (default: all)
    std::u16string expected;
  } cases[] = {
      {"well formed", text({6, 3, 'O', 0, 'K', 0}), {}, u"OK"},
      {"empty string", text({2, 3}), {}, u""},
      {"stops at a NUL unit", text({8, 3, 'A', 0, 0, 0, 'B', 0}), {}, u"A"},
      {"no further than bLength", text({6, 3, 'A', 0, 'B', 0, 'C', 0}), 6u, u"AB"},
      {"odd bLength", text({5, 3, 'O', 0, 'K'}), {}, u""},
      {"bLength above the count", text({8, 3, 'O', 0, 'K', 0}), {}, u""},
      {"bLength below the count", text({4, 3, 'O', 0, 'K', 0}), {}, u""},
      {"wrong descriptor type", text({6, 1, 'O', 0, 'K', 0}), {}, u""},
      {"nothing after the header", {}, 0u, u""},
      {"one byte", text({2}), 1u, u""},
      {"count past the buffer", text({254, 3}, 252), 300u, u""},
      {"bLength 0 on a full buffer", text({0, 3}, 253), 0u, u""},
      {"bLength 1", text({1, 3}, 253), 1u, u""},
      {"longest", text({254, 3}, 252), {}, std::u16string(126, u'\x4141')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    device_->SetRawReply(c.bytes, c.reported);
    EXPECT_EQ(monitor_.GetDeviceString(&entry_), c.expected);
  }
}

// ---------------------------------------------------------------- hostile name replies

// Replies a driver should never give: lengths too small for their own
// header, larger than any name, or names without a terminator. None may be
// read past the buffer; a name that cannot be trusted is no name.
TEST_F(MonitorTest, HostileRootHubNameReplies) {
  const std::u16string name = u"USB#ROOT_HUB20#4&1a2b3c4d&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
  const auto exact = static_cast<ULONG>(4 + 2 * (name.size() + 1));
  struct Case {
    const char* what;
    NameReply reply;
    bool walked;
  } cases[] = {
      {"as the driver gives it", {exact, name, true}, true},
      {"claims more than it writes", {exact + 100, name, true}, true},
      {"length 0", {0, name, true}, false},
      {"length 4: no room for a name", {4, name, true}, false},
      {"length 5", {5, name, true}, false},
      {"length 6: an empty name", {6, u"", true}, false},
      {"no terminator", {exact - 2, name, false}, false},
      {"odd length, no terminator", {exact - 1, name, false}, false},
      {"terminator cut off by the length", {exact - 2, name, true}, false},
      {"enormous length", {0xFFFFFFF0u, name, true}, false},
      {"just past the limit", {4097, name, true}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::World world;
    UsbTree tree(world);
    CUSBDeviceMonitor monitor(world);
    UsbController hc = tree.AddController(0, 1, name);
    hc.Root().Port(1).Plug(kVid, kPid);
    hc.SetRootHubNameReply(c.reply);
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), c.walked ? 1 : 0);

    // The free function on its own: the name, or nothing.
    HANDLE controller =
        world.CreateFileW(hc.Path().c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(controller, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetRootHubName(world, controller), c.walked ? name : u"");
    world.CloseHandle(controller);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST_F(MonitorTest, HostileExternalHubNameReplies) {
  struct Case {
    const char* what;
    bool forced;                  // replace the hub's reply
    std::optional<ULONG> length;  // ActualLength; default: exact for the name, plus delta
    int delta;
    bool terminated;
    bool walked;
  } cases[] = {
      {"as the driver gives it", false, {}, 0, true, true},
      {"claims more than it writes", true, {}, 40, true, true},
      {"no terminator", true, {}, -2, false, false},
      {"terminator cut off by the length", true, {}, -2, true, false},
      {"length 10: no name", true, 10u, 0, true, false},
      {"length 9", true, 9u, 0, true, false},
      {"length 0", true, 0u, 0, true, false},
      {"enormous length", true, 0xFFFFFFFFu, 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::World world;
    UsbTree tree(world);
    CUSBDeviceMonitor monitor(world);
    UsbController hc = tree.AddController(0, 1);
    UsbHub hub = hc.Root().Port(1).PlugHub(1);
    hub.Port(1).Plug(kVid, kPid);
    if (c.forced) {
      auto exact = static_cast<ULONG>(8 + 2 * (hub.Name().size() + 1));
      hc.Root().Port(1).SetHubNameReply(NameReply{
          c.length ? *c.length : static_cast<ULONG>(static_cast<int>(exact) + c.delta), hub.Name(), c.terminated});
    }
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), c.walked ? 1 : 0);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// Drivers differ on whether the byte count of a name reply takes in the
// terminator; ActualLength and the name itself are the same either way, and
// the walk must reach every hub in both cases.
TEST_F(MonitorTest, NameRepliesAreReadWhetherOrNotTheCountTakesInTheTerminator) {
  for (bool counted : {true, false}) {
    SCOPED_TRACE(counted ? "terminator counted" : "terminator not counted");
    sim::World world;
    UsbTree tree(world);
    tree.SetNameCountsTerminator(counted);
    CUSBDeviceMonitor monitor(world);
    UsbController hc = tree.AddController(0, 2);
    hc.Root().Port(1).Plug(kVid, 0x0001);
    UsbHub hub = hc.Root().Port(2).PlugHub(2);
    hub.Port(2).Plug(kVid, 0x0002);
    monitor.Refresh();
    EXPECT_EQ(monitor.OccupiedCount(), 2);
    USBDeviceEntry behind;
    ASSERT_EQ(monitor.FindDevice(kVid, 0x0002, behind), 1);
    EXPECT_EQ(behind.hubPath, hub.Path());

    HANDLE controller =
        world.CreateFileW(hc.Path().c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(controller, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetRootHubName(world, controller), hc.Root().Name());
    world.CloseHandle(controller);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST(WideToAnsi, ConvertsThroughTheAnsiCodePage) {
  sim::World world;
  EXPECT_EQ(WideToAnsi(world, u"USB#ROOT_HUB"), std::optional<std::string>("USB#ROOT_HUB"));
  EXPECT_EQ(WideToAnsi(world, u"hub\u00e9"), std::optional<std::string>("hub?"));
  EXPECT_EQ(WideToAnsi(world, u""), std::optional<std::string>(""));
  EXPECT_EQ(WideToAnsi(world, nullptr), std::nullopt);
  world.InjectFault({"WideCharToMultiByte", ERROR_GEN_FAILURE, 2, 1, u""});  // the conversion, after the size
  EXPECT_EQ(WideToAnsi(world, u"hub"), std::nullopt);
}

// A hub whose name the ANSI code page cannot carry is out of reach: the walk
// opens the converted path, which names no hub.
TEST_F(MonitorTest, HubNamesPassThroughTheAnsiCodePage) {
  UsbController hc = tree_.AddController(0, 2, u"USB#ROOT_HUB20#\u00e9#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  hc.Root().Port(1).Plug(kVid, kPid);
  Refresh();
  EXPECT_EQ(monitor_.OccupiedCount(), 0);
}

}  // namespace
}  // namespace kv27
