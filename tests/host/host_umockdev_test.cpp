// The host bus at the kernel interface: the N4 mouse as sysfs, udev and a
// hidraw node show it, modelled with umockdev. The hidraw node is a pty whose
// master end this test holds; behind it the virtual mouse of the simulated
// world answers the command reports, so that the device model is the one the
// rest of the suite uses.
//
// Runs under umockdev-wrapper (the preload library redirects /sys, /dev and
// the uevent socket to the test bed).
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/mouse_search.h"
#include "hid/hid_comm.h"
#include "host/host_bus.h"
#include "protocol/kv27_usb_comm.h"
#include "sim/mouse_rig.h"
#include "sim/virtual_mouse.h"
#include "tools/kv27m-update/update_tool.h"
#include "usbmon/usb_device_monitor.h"

// After the system's headers: GLib has TRUE and FALSE macros of its own.
#include <umockdev.h>

namespace kv27::test {
namespace {

using namespace std::chrono_literals;

constexpr char kHidrawPath[] = "/sys/devices/usb1/1-2/1-2:1.1/0003:4E5B:002A.0001/hidraw/hidraw0";
constexpr char kMouseUsbPath[] = "/sys/devices/usb1/1-2";

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

// The records of a root hub with the mouse on its port 2: the USB device, its
// HID interface 1, the HID device with its id and report descriptor, and the
// hidraw node (with the `device` link the kernel makes).
std::string MouseRecords() {
  return std::string(
             "P: /devices/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=1\n"
             "A: idVendor=1d6b\nA: idProduct=0002\nA: bDeviceClass=09\nA: maxchild=4\n\n"
             "P: /devices/usb1/1-2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/003\n"
             "N: bus/usb/001/003=12010002000000405B4E2A0005010102000109021200010100A032090401000003000000\nA: "
             "dev=189:2\nA: busnum=1\nA: devnum=3\nA: idVendor=4e5b\nA: idProduct=002a\n"
             "A: bcdDevice=0105\nA: bDeviceClass=00\n\n"
             "P: /devices/usb1/1-2/1-2:1.1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=01\n\n"
             "P: /devices/usb1/1-2/1-2:1.1/0003:4E5B:002A.0001\nE: SUBSYSTEM=hid\n"
             "E: HID_ID=0003:00004E5B:0000002A\nH: report_descriptor=") +
         Hex(sim::kMouseReportDescriptor, sizeof sim::kMouseReportDescriptor) +
         "\n\n"
         "P: /devices/usb1/1-2/1-2:1.1/0003:4E5B:002A.0001/hidraw/hidraw0\nE: SUBSYSTEM=hidraw\n"
         "E: DEVNAME=/dev/hidraw0\nN: hidraw0\nA: dev=244:0\nL: device=../../../0003:4E5B:002A.0001\n\n";
}

// The virtual mouse behind the pty master: each output report the program
// writes to the node goes to the virtual mouse's command collection, and each
// input report it sends back is written to the node for the program to read.
class MouseModel {
 public:
  explicit MouseModel(int master) : master_(master) {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] { Run(ready); });
    started.wait();
  }
  ~MouseModel() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::uint8_t> UserData() const { return userData_; }

  // A control transfer on the mouse's default pipe, as the virtual mouse
  // answers a request through its hub (the setup packet first, then room for
  // the data stage). The requests are kept.
  sim::ControlReply Control(const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) {
    auto lock = world_->Lock();
    setups_.push_back(setup);
    return mouse_->OnGetDescriptor(2, setup, data, room);
  }
  std::vector<USB_SETUP_PACKET> Setups() {
    auto lock = world_->Lock();
    return setups_;
  }

 private:
  void Run(std::promise<void>& ready) {
    sim::World world;
    sim::MouseRig rig(world, {});
    world_ = &world;
    mouse_ = &rig.mouse();
    const sim::BootloaderFlash flash = rig.mouse().Flash();
    const auto first = flash.begin() + sim::kMouseUserDataOffset;
    userData_.assign(first, first + sim::kMouseUserDataPages * sim::kMouseUserDataPageSize);
    HANDLE device =
        world.CreateFileW(rig.mouse().CommandPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    OVERLAPPED readOv{};
    readOv.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED writeOv{};
    writeOv.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE reply[8];
    DWORD n = 0;
    bool reading = false;
    ready.set_value();
    while (!stop_) {
      if (!reading) {
        reading = world.ReadFile(device, reply, sizeof reply, &n, &readOv) || world.GetLastError() == ERROR_IO_PENDING;
      }
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, 20) <= 0) continue;
      BYTE request[8];
      if (::read(master_, request, sizeof request) != static_cast<ssize_t>(sizeof request)) continue;
      if (!world.WriteFile(device, request, sizeof request, &n, &writeOv) && world.GetLastError() == ERROR_IO_PENDING)
        world.GetOverlappedResult(device, &writeOv, &n, TRUE);
      // The mouse answers within its own time; none is an answer too.
      if (reading && world.WaitForSingleObject(readOv.hEvent, 200) == WAIT_OBJECT_0 &&
          world.GetOverlappedResult(device, &readOv, &n, FALSE)) {
        (void)!::write(master_, reply, n);
        reading = false;
      }
    }
    world.CancelIo(device);
    world.CloseHandle(device);
    world.CloseHandle(readOv.hEvent);
    world.CloseHandle(writeOv.hEvent);
  }

  int master_;
  std::atomic<bool> stop_{false};
  std::vector<std::uint8_t> userData_;
  sim::World* world_ = nullptr;
  sim::VirtualMouse* mouse_ = nullptr;
  std::vector<USB_SETUP_PACKET> setups_;
  std::thread thread_;
};

// usbfs at the kernel interface: the I/O controls libusb makes on the mouse's
// node, answered from the model. A control URB carries the setup packet in
// its first 8 bytes and the data stage after it; it is reaped (without
// waiting) once answered.
class UsbfsModel {
 public:
  UsbfsModel(UMockdevTestbed* testbed, const char* node, unsigned devnum, MouseModel& mouse)
      : devnum_(devnum), mouse_(mouse) {
    handler_ = static_cast<UMockdevIoctlBase*>(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsModel::OnIoctl), this);
    GError* error = nullptr;
    attached_ = umockdev_testbed_attach_ioctl(testbed, node, handler_, &error);
  }
  ~UsbfsModel() { g_object_unref(handler_); }
  bool attached() const { return attached_; }

 private:
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbfsModel*>(self)->Handle(client);
  }
  gboolean Handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    if (request == USBDEVFS_CONNECTINFO) {
      UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), &error);
      auto* info = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
      info->devnum = devnum_;
      info->slow = 0;
      umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_SUBMITURB) {
      UMockdevIoctlData* u = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
      auto* urb = reinterpret_cast<usbdevfs_urb*>(u->data);
      if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
      }
      UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(u, offsetof(usbdevfs_urb, buffer),
                                                              static_cast<gsize>(urb->buffer_length), &error);
      USB_SETUP_PACKET setup{};
      std::memcpy(&setup, buffer->data, sizeof setup);
      const sim::ControlReply reply =
          mouse_.Control(setup, buffer->data + 8, static_cast<DWORD>(urb->buffer_length - 8));
      urb->status = reply.error == ERROR_SUCCESS ? 0 : -EPIPE;  // a stall
      urb->actual_length = reply.error == ERROR_SUCCESS ? static_cast<int>(reply.length) : 0;
      done_ = static_cast<UMockdevIoctlData*>(g_object_ref(u));
      umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      if (done_ == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
      }
      UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
      umockdev_ioctl_data_set_ptr(where, 0, done_);
      g_object_unref(done_);
      done_ = nullptr;
      umockdev_ioctl_client_complete(client, 0, 0);
    } else {
      umockdev_ioctl_client_complete(client, -1, ENOTTY);  // what a node without it says
    }
    return TRUE;
  }

  unsigned devnum_;
  MouseModel& mouse_;
  UMockdevIoctlBase* handler_ = nullptr;
  UMockdevIoctlData* done_ = nullptr;
  bool attached_ = false;
};

class HostBusAtTheKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && std::strstr(preload, "umockdev") != nullptr) << "run under umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, MouseRecords().c_str(), &error))
        << (error ? error->message : "");
    master_ = umockdev_testbed_get_dev_fd(testbed_, "/dev/hidraw0");
    ASSERT_GE(master_, 0);
    // The test bed answers the preload library's calls on emulated nodes from
    // the default main context: it runs on a thread of its own.
    glib_ = std::thread([this] {
      while (!stop_) g_main_context_iteration(nullptr, TRUE);
    });
  }
  void TearDown() override {
    if (glib_.joinable()) {
      stop_ = true;
      g_main_context_wakeup(nullptr);
      glib_.join();
    }
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }

  // Waits (real time, bounded) for `done`.
  template <typename F>
  static bool Eventually(F done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return done();
  }

  UMockdevTestbed* testbed_ = nullptr;
  int master_ = -1;
  std::atomic<bool> stop_{false};
  std::thread glib_;
};

// sysfs and udev give the mouse's four collections with the capabilities its
// report descriptor declares, the command collection is the one the search
// picks, and the monitor finds the port the mouse is on.
TEST_F(HostBusAtTheKernel, TheMouseIsFoundWithItsCollectionsAndItsPort) {
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
  MouseModel model(master_);
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  WCHAR path[kHidMaxPath] = {};
  ASSERT_TRUE(FindMouseInterface(bus.world(), path));
  CKV27USBComm link(bus.world());
  ASSERT_EQ(link.Start(path), 0);
  std::vector<std::uint8_t> settings(sim::kMouseUserDataPages * sim::kMouseUserDataPageSize);
  for (BYTE page = 0; page < sim::kMouseUserDataPages; ++page)
    ASSERT_EQ(link.ReadUserData(page, settings.data() + page * sim::kMouseUserDataPageSize), 1) << int(page);
  EXPECT_EQ(settings, model.UserData());
  link.Close();
}

// The mouse leaves while a read waits: the node goes from sysfs, a uevent
// comes (umockdev sends none for a removal, so a change of the device above
// stands for it), the interface leaves the boundary and the read fails as the
// class driver fails it.
TEST_F(HostBusAtTheKernel, AMouseUnpluggedMidReadFailsTheRead) {
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

  umockdev_testbed_remove_device(testbed_, kHidrawPath);  // leaf first
  umockdev_testbed_uevent(testbed_, kMouseUsbPath, "change");
  EXPECT_TRUE(Eventually([&] { return !os.IsAttached(path); }));
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
  MouseModel model(master_);
  UsbfsModel usbfs(testbed_, "/dev/bus/usb/001/003", 3, model);
  ASSERT_TRUE(usbfs.attached());
  host::HostBus bus(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId);
  ASSERT_TRUE(bus.ok()) << bus.why();
  WCHAR path[kHidMaxPath] = {};
  ASSERT_TRUE(FindMouseInterface(bus.world(), path));
  CUSBDeviceMonitor monitor(bus.world());
  monitor.Refresh();
  USBDeviceEntry entry;
  ASSERT_EQ(monitor.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, path, entry), 1);
  EXPECT_EQ(monitor.GetDeviceString(&entry), u"ISP");
  const std::vector<USB_SETUP_PACKET> setups = model.Setups();
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].bmRequest, 0x80);
  EXPECT_EQ(setups[0].bRequest, 6);  // GET_DESCRIPTOR
  EXPECT_EQ(setups[0].wValue, 0x0300 | sim::kMouseBootStringIndex);
  EXPECT_EQ(setups[0].wIndex, sim::kMouseBootLanguage);
}

// Runs the real kv27m-update with `args` as a user who may not open the
// hidraw node; its exit status and its standard error.
std::pair<int, std::string> RunUnprivileged(const std::vector<std::string>& args, const std::string& node) {
  int out[2];
  if (::pipe(out) != 0) return {-1, "pipe"};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 2);
    ::dup2(out[1], 1);
    if (::geteuid() == 0) {
      // root opens anything: the run is made as nobody.
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KV_UPDATE_PROGRAM));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(KV_UPDATE_PROGRAM, argv.data());
    ::_exit(121);
  }
  ::close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// A node the user may not open: --list says so, and an upgrade stops with the
// node named, the rule file and how to install it, and its own exit status.
TEST_F(HostBusAtTheKernel, ANodeWithoutPermissionIsNamedWithTheRuleFile) {
  char pts[256] = {};
  gchar* rootDir = umockdev_testbed_get_root_dir(testbed_);  // the caller's to free
  const std::string root = rootDir;
  g_free(rootDir);
  ASSERT_GT(::readlink((root + "/dev/hidraw0").c_str(), pts, sizeof pts - 1), 0);
  if (::geteuid() == 0) {
    // nobody must reach the test bed (its records and the preload library's
    // sockets) and the program; the node itself stays root's.
    const std::string open = "chmod -R a+rwX '" + root + "'";
    ASSERT_EQ(std::system(open.c_str()), 0);
    if (::access(KV_UPDATE_PROGRAM, X_OK) != 0) GTEST_SKIP();
  } else {
    ASSERT_EQ(::chmod(pts, 0), 0);
  }
  const auto [listStatus, listText] = RunUnprivileged({"--list"}, pts);
  if (listStatus == 120 || listStatus == 121) GTEST_SKIP() << "cannot run as another user here";
  EXPECT_EQ(listStatus, 0) << listText;
  EXPECT_NE(listText.find("/dev/hidraw0"), std::string::npos) << listText;
  EXPECT_NE(listText.find("cannot be opened"), std::string::npos) << listText;

  const auto [status, text] = RunUnprivileged({"--backup", "/dev/null", "/nonexistent.bimg"}, pts);
  EXPECT_EQ(status, kUpdateNoPermission) << text;
  EXPECT_NE(text.find("no permission to open /dev/hidraw0"), std::string::npos) << text;
  EXPECT_NE(text.find("70-kv27m.rules"), std::string::npos) << text;
  EXPECT_NE(text.find("udevadm control --reload"), std::string::npos) << text;
  EXPECT_NE(text.find("nothing was sent to the mouse"), std::string::npos) << text;
  EXPECT_EQ(text.find("image:"), std::string::npos) << "refused before the run: " << text;
}

}  // namespace
}  // namespace kv27::test
