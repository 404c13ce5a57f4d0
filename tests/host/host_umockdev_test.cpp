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

#include <cstring>
#include <string>
#include <vector>

#include "app/mouse_search.h"
#include "hid/hid_comm.h"
#include "host/host_bus.h"
#include "protocol/kv27_usb_comm.h"
#include "sim/mouse_rig.h"
#include "sim/virtual_mouse.h"
#include "tests/host/kernel_model.h"
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

// sysfs and udev give the mouse's four collections with the capabilities its
// report descriptor declares, the command collection is the one the search
// picks, and the monitor finds the port the mouse is on.
TEST_F(HostBusAtTheKernel, TheMouseIsFoundWithItsCollectionsAndItsPort) {
  KernelTestbed bed;
  KernelModel model(bed);
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  sim::World& os = bus.world();
  CStdHIDComm hid(os);
  WCHAR path[kHidMaxPath] = {};
  const struct {
    USAGE page, usage;
    USHORT in, out;
  } expected[] = {{0x01, 0x02, 5, 0}, {0xFFB4, 0x02, 65, 65}, {0xFFB4, 0x01, 8, 8}, {0x0C, 0x01, 3, 0}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(hid.FindDevicePath(sim::kMouseVendorId, sim::kMouseProductId, static_cast<DWORD>(i), path), 0);
    HIDDeviceCaps caps{};
    ASSERT_TRUE(hid.QueryDeviceCaps(path, &caps));
    EXPECT_EQ(caps.attributes.VersionNumber, 0x0105);
    EXPECT_EQ(caps.caps.UsagePage, expected[i].page);
    EXPECT_EQ(caps.caps.Usage, expected[i].usage);
    EXPECT_EQ(caps.caps.InputReportByteLength, expected[i].in);
    EXPECT_EQ(caps.caps.OutputReportByteLength, expected[i].out);
  }
  ASSERT_TRUE(FindMouseInterface(os, path));
  EXPECT_NE(std::u16string(path).find(u"&col03"), std::u16string::npos);

  // The port the bootloader request would go to: root hub port 2, found
  // through the device nodes as on Windows.
  CUSBDeviceMonitor monitor(os);
  monitor.Refresh();
  USBDeviceEntry entry;
  ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, path, entry), 1);
  ULONG port = 0;
  std::memcpy(&port, entry.connection, sizeof port);
  EXPECT_EQ(port, 2u);
  USBDeviceEntry byIds;
  ASSERT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, byIds), 1);
  EXPECT_EQ(byIds.hubPath, entry.hubPath);
}

// The settings come over hidraw: requests written with the report id first,
// replies read by the reader thread and handed to the link, all 1792 bytes
// as the virtual mouse holds them.
TEST_F(HostBusAtTheKernel, TheSettingsAreReadThroughHidraw) {
  KernelTestbed bed;
  KernelModel model(bed);
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
    if (list.status == 120 || list.status == 121) GTEST_SKIP() << "cannot run as another user here";
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
