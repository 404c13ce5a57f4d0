// The host bus at the kernel interface: the N4 mouse as sysfs, udev, hidraw
// and usbfs show it, modelled with umockdev (tests/host/kernel_model.h). The
// hidraw node is a pty whose master end the model holds; behind it and behind
// the usbfs node the virtual mouse of the simulated world answers, so that the
// device model is the one the rest of the suite uses.
//
// Runs under umockdev-wrapper (the preload library redirects /sys, /dev and
// the uevent socket to the test bed).
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/mouse_search.h"
#include "hid/hid_comm.h"
#include "host/host_bus.h"
#include "protocol/kv27_usb_comm.h"
#include "sim/mouse_layouts.h"
#include "sim/mouse_rig.h"
#include "sim/virtual_mouse.h"
#include "tests/host/kernel_model.h"
#include "tests/host/udev_watch.h"
#include "tools/kv27m-update/update_tool.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27::test {
namespace {

// Real time a program run may take at most (it stops before the run).
constexpr int kRunSeconds = 60;

class HostBusAtTheKernel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(KernelTestbed::UnderWrapper()) << "run under umockdev-wrapper"; }
};

// What the class driver shows of each layout: every collection's name (the
// part of its path after the ids), its capabilities, and which one carries
// the commands. A composite device names its interfaces (&mi_NN), a device
// with one interface does not; &colNN only on an interface with more than one
// top-level collection.
struct ShownCollection {
  const char* name;
  USAGE page, usage;
  USHORT in, out;
};
struct LayoutExpectation {
  const char* layout;
  std::vector<ShownCollection> collections;
  const char* command;
};
const std::vector<LayoutExpectation>& LayoutExpectations() {
  static const std::vector<LayoutExpectation> expected = {
      {"vendor",
       {{"&col01", 0x01, 0x02, 5, 0},
        {"&col02", 0xFFB4, 0x02, 65, 65},
        {"&col03", 0xFFB4, 0x01, 8, 8},
        {"&col04", 0x0C, 0x01, 3, 0}},
       "&col03"},
      {"mouse-vendor",
       {{"&mi_00", 0x01, 0x02, 5, 0},
        {"&mi_01&col01", 0xFFB4, 0x02, 64, 64},
        {"&mi_01&col02", 0xFFB4, 0x01, 8, 8},
        {"&mi_01&col03", 0x0C, 0x01, 3, 0}},
       "&mi_01&col02"},
      {"mouse-vendor-keyboard",
       {{"&mi_00", 0x01, 0x02, 5, 0},
        {"&mi_01&col01", 0xFFB4, 0x02, 64, 64},
        {"&mi_01&col02", 0xFFB4, 0x01, 8, 8},
        {"&mi_01&col03", 0x0C, 0x01, 3, 0},
        {"&mi_02", 0x01, 0x06, 9, 2}},
       "&mi_01&col02"},
      {"vendor-mouse",
       {{"&mi_00&col01", 0xFFB4, 0x02, 64, 64},
        {"&mi_00&col02", 0xFFB4, 0x01, 8, 8},
        {"&mi_00&col03", 0x0C, 0x01, 3, 0},
        {"&mi_01", 0x01, 0x02, 5, 0}},
       "&mi_00&col02"},
  };
  return expected;
}

// The part of a mouse's HID interface path between its ids and the instance:
// "&mi_01&col02" of "\\?\hid#vid_4e5b&pid_002a&mi_01&col02#7&...".
std::string NameOf(const std::u16string& path) {
  const std::u16string ids = u"vid_4e5b&pid_002a";
  const std::size_t at = path.find(ids);
  if (at == std::u16string::npos) return "?";
  const std::size_t from = at + ids.size();
  return sim::ToUtf8(path.substr(from, path.find(u'#', from) - from));
}

// Every HID interface of the mouse, in the order the search lists them.
std::vector<std::u16string> MouseInterfaces(sim::World& os) {
  CStdHIDComm hid(os);
  std::vector<std::u16string> paths;
  WCHAR path[kHidMaxPath] = {};
  for (DWORD i = 0; hid.FindDevicePath(sim::kMouseVendorId, sim::kMouseProductId, i, path) == 0; ++i)
    paths.push_back(path);
  return paths;
}

// For each layout, sysfs and udev give every HID interface of the mouse, each
// through its own hidraw node, with the collections and capabilities its
// report descriptor declares and the names the class driver gives them; the
// command collection is the one the search picks, and the monitor finds the
// port the mouse is on from any of its collections.
TEST_F(HostBusAtTheKernel, EveryHidInterfaceOfEachLayoutIsFoundWithItsCollectionsAndItsPort) {
  ASSERT_EQ(LayoutExpectations().size(), sim::MouseLayouts().size());
  for (const LayoutExpectation& want : LayoutExpectations()) {
    SCOPED_TRACE(want.layout);
    KernelTestbed bed;
    KernelModelOptions options;
    options.layout = sim::FindMouseLayout(want.layout);
    ASSERT_NE(options.layout, nullptr);
    KernelModel model(bed, options);
    host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
    ASSERT_TRUE(bus.ok()) << bus.why();
    sim::World& os = bus.world();
    const std::vector<std::u16string> paths = MouseInterfaces(os);
    std::vector<std::string> names;
    for (const auto& path : paths) names.push_back(NameOf(path));
    std::vector<std::string> wanted;
    for (const auto& c : want.collections) wanted.push_back(c.name);
    std::sort(names.begin(), names.end());
    std::sort(wanted.begin(), wanted.end());
    ASSERT_EQ(names, wanted);

    CUSBDeviceMonitor monitor(os);
    monitor.Refresh();
    CStdHIDComm hid(os);
    for (const ShownCollection& c : want.collections) {
      SCOPED_TRACE(c.name);
      const auto path = std::find_if(paths.begin(), paths.end(), [&](const auto& p) { return NameOf(p) == c.name; });
      ASSERT_NE(path, paths.end());
      HIDDeviceCaps caps{};
      ASSERT_TRUE(hid.QueryDeviceCaps(path->c_str(), &caps));
      EXPECT_EQ(caps.attributes.VersionNumber, 0x0105);
      EXPECT_EQ(caps.caps.UsagePage, c.page);
      EXPECT_EQ(caps.caps.Usage, c.usage);
      EXPECT_EQ(caps.caps.InputReportByteLength, c.in);
      EXPECT_EQ(caps.caps.OutputReportByteLength, c.out);
      // The port the bootloader request would go to: root hub port 2, found
      // through the device nodes as on Windows.
      USBDeviceEntry entry;
      ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, path->c_str(), entry), 1);
      ULONG port = 0;
      std::memcpy(&port, entry.connection, sizeof port);
      EXPECT_EQ(port, 2u);
    }
    WCHAR path[kHidMaxPath] = {};
    ASSERT_TRUE(FindMouseInterface(os, path));
    EXPECT_EQ(NameOf(path), want.command);
    USBDeviceEntry byIds;
    EXPECT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, byIds), 1);
  }
}

// The HID driver lets one interface of the mouse go and takes it again (its
// hidraw node leaves and comes back under a new name, the USB device stays):
// only that interface's collections leave and come back, under the same
// names; the others stay, and the command collection keeps working through
// its own node all the while.
TEST_F(HostBusAtTheKernel, AnInterfaceThatLeavesTakesOnlyItsOwnCollections) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.layout = sim::FindMouseLayout("mouse-vendor-keyboard");
  KernelModel model(bed, options);
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  sim::World& os = bus.world();
  const std::vector<std::u16string> all = MouseInterfaces(os);
  ASSERT_EQ(all.size(), 5u);
  WCHAR command[kHidMaxPath] = {};
  ASSERT_TRUE(FindMouseInterface(os, command));
  CKV27USBComm link(os);
  ASSERT_EQ(link.Start(command), 0);
  std::vector<std::uint8_t> page(sim::kMouseUserDataPageSize);
  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& p : MouseInterfaces(os)) out.push_back(NameOf(p));
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::vector<std::string> before = names();
  const struct {
    int number;
    std::vector<std::string> gone;
  } rows[] = {{2, {"&mi_02"}}, {0, {"&mi_00"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.number);
    model.UnbindInterface(row.number);
    std::vector<std::string> left = before;
    for (const auto& g : row.gone) left.erase(std::find(left.begin(), left.end(), g));
    EXPECT_TRUE(KernelModel::Eventually([&] { return names() == left; })) << ::testing::PrintToString(names());
    EXPECT_TRUE(os.IsAttached(command));
    ASSERT_EQ(link.ReadUserData(1, page.data()), 1);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), model.settings().begin() + sim::kMouseUserDataPageSize));

    model.BindInterface(row.number);
    EXPECT_TRUE(KernelModel::Eventually([&] { return names() == before; })) << ::testing::PrintToString(names());
    ASSERT_EQ(link.ReadUserData(2, page.data()), 1);
  }
  // The vendor interface itself: its three collections go, the others stay.
  model.UnbindInterface(1);
  EXPECT_TRUE(KernelModel::Eventually([&] {
    return names() == std::vector<std::string>{"&mi_00", "&mi_02"};
  })) << ::testing::PrintToString(names());
  EXPECT_FALSE(os.IsAttached(command));
  link.Close();
  // The model's nodes: each interface's hidraw node, then the two that came
  // back and the vendor interface's none.
  const std::vector<std::string> nodes = {"/dev/bus/usb/001/003", "/dev/hidraw0", "/dev/hidraw1",
                                          "/dev/hidraw2",         "/dev/hidraw3", "/dev/hidraw4"};
  EXPECT_EQ(model.Nodes(), nodes);
}

// libudev is used from the bus's monitor thread (it follows uevents and looks
// at sysfs again on each) and from the caller's (the first look, --list, a
// look asked for): no libudev context is used by two threads.
TEST_F(HostBusAtTheKernel, EachLibudevContextIsUsedByOneThread) {
  KernelTestbed bed;
  KernelModelOptions options;
  options.layout = sim::FindMouseLayout("mouse-vendor");
  KernelModel model(bed, options);
  ResetUdevContextWatch();
  {
    host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
    ASSERT_TRUE(bus.ok()) << bus.why();
    const std::vector<std::u16string> paths = MouseInterfaces(bus.world());
    const auto found = std::find_if(paths.begin(), paths.end(), [](const auto& p) { return NameOf(p) == "&mi_00"; });
    ASSERT_NE(found, paths.end());
    const std::u16string boot = *found;  // the boot mouse's collection
    // uevents for the monitor thread while this one lists and looks.
    model.UnbindInterface(0);
    for (int i = 0; i < 10; ++i) {
      EXPECT_FALSE(bus.List().empty());
      bus.Rescan();
    }
    EXPECT_TRUE(KernelModel::Eventually([&] { return !bus.world().IsAttached(boot); }));
    model.BindInterface(0);
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(bus.List().empty());
    EXPECT_TRUE(KernelModel::Eventually([&] { return bus.world().IsAttached(boot); }));
  }
  std::set<std::thread::id> threads;
  std::size_t contexts = 0;
  for (const UdevContextUse& use : UdevContextsUsed()) {
    if (!use.created) continue;  // the test bed's own, made before
    ++contexts;
    threads.insert(use.threads.begin(), use.threads.end());
    EXPECT_EQ(use.threads.size(), 1u) << "a context used " << use.calls << " times by " << use.threads.size()
                                      << " threads";
  }
  EXPECT_GE(threads.size(), 2u) << "the calls of both threads were seen (" << contexts << " contexts)";
}

// The settings come over hidraw, whichever interface carries the commands:
// requests written with the report id first, replies read by the reader
// thread and handed to the link, all 1792 bytes as the virtual mouse holds
// them.
TEST_F(HostBusAtTheKernel, TheSettingsAreReadThroughHidrawInEveryLayout) {
  for (const sim::MouseLayout& layout : sim::MouseLayouts()) {
    SCOPED_TRACE(layout.name);
    KernelTestbed bed;
    KernelModelOptions options;
    options.layout = &layout;
    KernelModel model(bed, options);
    host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
    ASSERT_TRUE(bus.ok()) << bus.why();
    WCHAR path[kHidMaxPath] = {};
    ASSERT_TRUE(FindMouseInterface(bus.world(), path));
    CKV27USBComm link(bus.world());
    ASSERT_EQ(link.Start(path), 0);
    std::vector<std::uint8_t> settings(sim::kMouseUserDataPages * sim::kMouseUserDataPageSize);
    for (BYTE page = 0; page < sim::kMouseUserDataPages; ++page)
      ASSERT_EQ(link.ReadUserData(page, settings.data() + page * sim::kMouseUserDataPageSize), 1) << int(page);
    EXPECT_EQ(settings, model.settings());
    EXPECT_EQ(model.MouseRequests(), 448u) << "each request reached the mouse once, through the node";
    link.Close();
  }
}

// The mouse leaves while a read waits: its hidraw node hangs up, its records
// go from sysfs leaf first, a uevent comes (umockdev sends none for a
// removal, so a change of the root hub stands for it), the interface leaves
// the boundary and the read fails as the class driver fails it.
TEST_F(HostBusAtTheKernel, AMouseUnpluggedMidReadFailsTheRead) {
  KernelTestbed bed;
  KernelModel model(bed);
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  sim::World& os = bus.world();
  WCHAR path[kHidMaxPath] = {};
  ASSERT_TRUE(FindMouseInterface(os, path));
  HANDLE handle = os.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = os.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BYTE report[8];
  DWORD n = 0;
  ASSERT_FALSE(os.ReadFile(handle, report, sizeof report, &n, &ov));
  ASSERT_EQ(os.GetLastError(), ERROR_IO_PENDING);

  model.Pull();
  EXPECT_TRUE(KernelModel::Eventually([&] { return !os.IsAttached(path); }));
  EXPECT_FALSE(os.GetOverlappedResult(handle, &ov, &n, TRUE));
  EXPECT_EQ(os.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  os.CloseHandle(ov.hEvent);
  os.CloseHandle(handle);
}

// The request that restarts the mouse into its bootloader goes to the mouse
// itself, through usbfs: a standard GET_DESCRIPTOR control transfer with the
// string index and language id of the request through the hub, the setup
// packet first, reaped once answered; the mouse's answer comes back as the
// hub driver would give it.
TEST_F(HostBusAtTheKernel, TheBootloaderRequestIsAControlTransferToTheMouse) {
  KernelTestbed bed;
  KernelModel model(bed);
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  WCHAR path[kHidMaxPath] = {};
  ASSERT_TRUE(FindMouseInterface(bus.world(), path));
  CUSBDeviceMonitor monitor(bus.world());
  monitor.Refresh();
  USBDeviceEntry entry;
  ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, path, entry), 1);
  EXPECT_EQ(monitor.GetDeviceString(&entry), u"ISP");
  const std::vector<USB_SETUP_PACKET> setups = model.MouseControlSetups();
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].bmRequest, 0x80);
  EXPECT_EQ(setups[0].bRequest, 6);  // GET_DESCRIPTOR
  EXPECT_EQ(setups[0].wValue, 0x0300 | sim::kMouseBootStringIndex);
  EXPECT_EQ(setups[0].wIndex, sim::kMouseBootLanguage);
}

// The line of --list's output that names `node` (empty when none does).
std::string LineOf(const std::string& text, const std::string& node) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    if (line.find(node + ' ') != std::string::npos) return line;
    at = end + 1;
  }
  return {};
}

// A node of the mouse the user may not open, the hidraw node or the usbfs node
// the bootloader request goes through: --list says which, and an upgrade
// stops before the run with the node named, the rule file and how to install
// it, and its own exit status. Nothing reached the mouse: no request over
// hidraw (the settings were not read), none through its usbfs node, and the
// mouse is still in normal mode.
TEST_F(HostBusAtTheKernel, ANodeWithoutPermissionIsNamedWithTheRuleFile) {
  struct Row {
    const char* name;
    bool hidraw;           // the hidraw node is refused, or else the usbfs node
    const char* refused;   // the node named
    const char* openable;  // the mouse's other node, which --list shows as openable
  };
  const Row rows[] = {
      {"the hidraw node", true, "/dev/hidraw0", "/dev/bus/usb/001/003"},
      {"the usbfs node", false, "/dev/bus/usb/001/003", "/dev/hidraw0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KernelTestbed bed;
    KernelModelOptions options;
    options.denyMouseHidraw = row.hidraw;
    options.denyMouseUsbNode = !row.hidraw;
    KernelModel model(bed, options);
    if (::geteuid() == 0) {
      // Root opens anything: the runs are made as nobody, who must reach the
      // test bed and the program; the nodes keep the access the model gave.
      ASSERT_TRUE(model.ShareWithOtherUsers());
      if (::access(KV_UPDATE_PROGRAM, X_OK) != 0) GTEST_SKIP() << "the program is not nobody's to run";
    }
    const ChildRun list = RunChild(KV_UPDATE_PROGRAM, {"--list"}, kRunSeconds, {}, true);
    if (const std::string why = WhyNotRunAsNobody(list); !why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    EXPECT_NE(LineOf(list.out, row.refused).find("cannot be opened"), std::string::npos) << list.out;
    EXPECT_NE(LineOf(list.out, row.openable).find("can be opened"), std::string::npos) << list.out;
    EXPECT_EQ(LineOf(list.out, row.openable).find("cannot"), std::string::npos) << list.out;

    // A real image and a backup to write: only the check before the run
    // keeps the program from reading the settings and sending the request.
    const std::string backup = bed.root() + "/settings.kvb";
    const ChildRun run = RunChild(KV_UPDATE_PROGRAM, {"--backup", backup, model.imagePath()}, kRunSeconds, {}, true);
    const std::string text = run.out + run.err;
    EXPECT_EQ(run.status, kUpdateNoPermission) << text;
    EXPECT_NE(run.err.find(std::string("no permission to open ") + row.refused), std::string::npos) << text;
    EXPECT_EQ(run.err.find(std::string("no permission to open ") + row.openable), std::string::npos) << text;
    EXPECT_NE(run.err.find("70-kv27m.rules"), std::string::npos) << text;
    EXPECT_NE(run.err.find("udevadm control --reload"), std::string::npos) << text;
    EXPECT_NE(run.err.find("nothing was sent to the mouse"), std::string::npos) << text;
    EXPECT_EQ(text.find("image:"), std::string::npos) << "refused before the run: " << text;
    EXPECT_EQ(model.MouseRequests(), 0u);
    EXPECT_EQ(model.MouseControlRequests(), 0u);
    EXPECT_EQ(::access(backup.c_str(), F_OK), -1) << "no settings were read, so none were saved";
    EXPECT_EQ(model.Mode(), sim::VirtualMouse::Mode::kNormal);
  }
}

}  // namespace
}  // namespace kv27::test
