// The virtual hub tree as a driver client sees it: raw I/O controls.
#include "sim/usb_tree.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {
namespace {

template <typename T>
T At(const std::vector<BYTE>& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

class UsbTreeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE h : open_) world_.CloseHandle(h);
    EXPECT_EQ(world_.LeakReport(), "");
  }

  HANDLE Open(const std::u16string& path) {
    HANDLE h = world_.CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
    return h;
  }

  // One I/O control with `in` as input and an output of `outSize` bytes
  // (the input copied in first, as the callers here share one buffer).
  struct Result {
    BOOL ok;
    DWORD error;
    DWORD returned;
    std::vector<BYTE> out;
  };
  Result Ioctl(HANDLE h, DWORD code, std::vector<BYTE> in, DWORD outSize) {
    Result r{};
    r.out.assign(outSize, 0);
    if (!in.empty()) std::memcpy(r.out.data(), in.data(), std::min<std::size_t>(in.size(), outSize));
    r.ok = world_.DeviceIoControl(h, code, in.empty() ? nullptr : r.out.data(), static_cast<DWORD>(in.size()),
                                  r.out.data(), outSize, &r.returned, nullptr);
    r.error = r.ok ? 0 : world_.GetLastError();
    return r;
  }
  static std::vector<BYTE> Index(ULONG port) {
    std::vector<BYTE> in(sizeof port);
    std::memcpy(in.data(), &port, sizeof port);
    return in;
  }

  World world_;
  UsbTree tree_{world_};
  std::vector<HANDLE> open_;
};

TEST_F(UsbTreeTest, ConnectionRecordsHaveThePackedLayout) {
  UsbController hc = tree_.AddController(0, 3);
  auto device = std::make_shared<UsbFunction>(0x1234, 0x5678);
  device->lowSpeed = true;
  device->configurationValue = 2;
  device->openPipes.push_back(USB_PIPE_INFO{USB_ENDPOINT_DESCRIPTOR{7, 5, 0x02, 2, 64, 0}, 0});
  hc.Root().Port(1).Plug(device);
  hc.Root().Port(2).PlugHub(4);
  HANDLE hub = Open(hc.Root().Path());
  ASSERT_NE(hub, INVALID_HANDLE_VALUE);

  Result r = Ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Index(1), kConnectionRecordSize);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, 35u + 2 * 11u);
  EXPECT_EQ(At<ULONG>(r.out, 0), 1u);        // ConnectionIndex
  EXPECT_EQ(r.out[4], 18);                   // bLength of the device descriptor
  EXPECT_EQ(At<USHORT>(r.out, 12), 0x1234);  // idVendor
  EXPECT_EQ(At<USHORT>(r.out, 14), 0x5678);  // idProduct
  EXPECT_EQ(r.out[22], 2);                   // CurrentConfigurationValue
  EXPECT_EQ(r.out[23], 1);                   // LowSpeed
  EXPECT_EQ(r.out[24], 0);                   // DeviceIsHub
  EXPECT_EQ(At<USHORT>(r.out, 25), hc.Root().Port(1).Address());
  EXPECT_NE(hc.Root().Port(1).Address(), 0);
  EXPECT_EQ(At<ULONG>(r.out, 27), 2u);  // NumberOfOpenPipes
  EXPECT_EQ(At<ULONG>(r.out, 31), ULONG{DeviceConnected});
  EXPECT_EQ(r.out[35 + 11 + 2], 0x02);  // second pipe's endpoint address

  r = Ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Index(2), kConnectionRecordSize);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out[24], 1);  // a hub
  EXPECT_EQ(At<ULONG>(r.out, 31), ULONG{DeviceConnected});

  r = Ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Index(3), kConnectionRecordSize);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(At<ULONG>(r.out, 31), ULONG{NoDeviceConnected});
  EXPECT_EQ(At<USHORT>(r.out, 12), 0);

  for (ULONG bad : {0u, 4u}) {
    r = Ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Index(bad), kConnectionRecordSize);
    EXPECT_FALSE(r.ok) << bad;
    EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
  }
}

TEST_F(UsbTreeTest, NodeInformationAndNames) {
  UsbController hc = tree_.AddController(3, 7);
  UsbHub hub = hc.Root().Port(5).PlugHub(2);
  HANDLE controller = Open(u"\\\\.\\hcd3");  // paths match without regard to case
  ASSERT_NE(controller, INVALID_HANDLE_VALUE);

  // Root hub name: a 6-byte probe tells the length, the full call the name.
  Result probe = Ioctl(controller, IOCTL_USB_GET_ROOT_HUB_NAME, {}, 6);
  ASSERT_TRUE(probe.ok);
  const std::u16string rootName = hc.Root().Name();
  const ULONG actual = At<ULONG>(probe.out, 0);
  EXPECT_EQ(actual, 4 + 2 * (rootName.size() + 1));
  Result full = Ioctl(controller, IOCTL_USB_GET_ROOT_HUB_NAME, {}, actual);
  ASSERT_TRUE(full.ok);
  EXPECT_EQ(full.returned, actual);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(full.out.data() + 4)), rootName);
  EXPECT_EQ(rootName.rfind(u"USB#ROOT_HUB", 0), 0u);

  HANDLE root = Open(u"\\\\.\\" + rootName);
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  Result info = Ioctl(root, IOCTL_USB_GET_NODE_INFORMATION, std::vector<BYTE>(76), 76);
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.returned, 76u);
  EXPECT_EQ(info.out[6], 7);  // bNumberOfPorts

  // External hub name on port 5; an ordinary port names nothing.
  Result nameProbe = Ioctl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(5), 10);
  ASSERT_TRUE(nameProbe.ok);
  const ULONG nameLength = At<ULONG>(nameProbe.out, 4);
  EXPECT_EQ(nameLength, 8 + 2 * (hub.Name().size() + 1));
  Result name = Ioctl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(5), nameLength);
  ASSERT_TRUE(name.ok);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.out.data() + 8)), hub.Name());
  Result none = Ioctl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, Index(1), 10);
  ASSERT_TRUE(none.ok);
  EXPECT_EQ(At<ULONG>(none.out, 4), 10u);

  HANDLE external = Open(hub.Path());
  ASSERT_NE(external, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Ioctl(external, IOCTL_USB_GET_NODE_INFORMATION, std::vector<BYTE>(76), 76).out[6], 2);
}

// A device that answers one request by leaving the bus, the way a device
// restarts on an order it receives.
class RestartingDevice : public UsbFunction {
 public:
  RestartingDevice(World& world, UsbPort port) : UsbFunction(0x1234, 0x5678), world_(world), port_(port) {}
  ControlReply OnGetDescriptor(ULONG index, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) override {
    seen = setup;
    seenIndex = index;
    data[0] = 4;
    data[1] = 3;
    data[2] = 'x';
    data[3] = 0;
    UsbPort port = port_;
    world_.ScheduleLocked(0, [port]() mutable { port.Unplug(); });
    return ControlReply{ERROR_SUCCESS, 4};
  }
  USB_SETUP_PACKET seen{};
  ULONG seenIndex = 0;

 private:
  World& world_;
  UsbPort port_;
};

TEST_F(UsbTreeTest, DescriptorRequestsReachTheDeviceUnchanged) {
  UsbHub hub = tree_.AddController(0, 2).Root().Port(2).PlugHub(4);
  UsbPort port = hub.Port(3);
  auto device = std::make_shared<RestartingDevice>(world_, port);
  port.Plug(device);
  HANDLE h = Open(hub.Path());

  std::vector<BYTE> in(kDescriptorRequestSize, 0);
  USB_DESCRIPTOR_REQUEST request{3, USB_SETUP_PACKET{0x80, 0x06, 0x03C3, 0x5D1A, 255}};
  std::memcpy(in.data(), &request, sizeof request);
  Result r = Ioctl(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, in, kDescriptorRequestSize);

  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, 12u + 4u);
  EXPECT_EQ(std::memcmp(r.out.data(), &request, sizeof request), 0) << "the header comes back as it went";
  EXPECT_EQ(r.out[12], 4);
  EXPECT_EQ(device->seenIndex, 3u);
  EXPECT_EQ(std::memcmp(&device->seen, &request.SetupPacket, sizeof request.SetupPacket), 0);

  // The device has left: its port is empty and further requests fail.
  EXPECT_EQ(port.Device(), nullptr);
  r = Ioctl(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, in, kDescriptorRequestSize);
  EXPECT_FALSE(r.ok);
}

// A port that carries a hub passes the request to the hub, which answers it
// as any device would: its own descriptors, a stall for what it lacks.
TEST_F(UsbTreeTest, DescriptorRequestsToAHubPortReachTheHub) {
  UsbHub root = tree_.AddController(0, 2).Root();
  root.Port(1).PlugHub(2);
  HANDLE h = Open(root.Path());
  auto request = [&](USHORT value, USHORT language) {
    std::vector<BYTE> in(kDescriptorRequestSize, 0);
    USB_DESCRIPTOR_REQUEST header{1, USB_SETUP_PACKET{0x80, 0x06, value, language, 255}};
    std::memcpy(in.data(), &header, sizeof header);
    return Ioctl(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, in, kDescriptorRequestSize);
  };

  Result r = request(0x0100, 0);  // device descriptor
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.returned, 12u + 18u);
  EXPECT_EQ(r.out[12 + 1], 1);
  EXPECT_EQ(r.out[12 + 4], 9) << "bDeviceClass: hub";
  EXPECT_EQ(At<USHORT>(r.out, 12 + 8), 0x05E3);

  r = request(0x0300, 0);  // language list
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.returned, 12u + 4u);
  EXPECT_EQ(At<USHORT>(r.out, 12 + 2), 0x0409);

  r = request(0x0302, 0x0409);  // product string
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.out[13], 3);
  EXPECT_EQ(r.returned, 12u + r.out[12]);

  // The bootloader-entry string is no hub's: the hub stalls it.
  r = request(0x03C3, 0x5D1A);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_GEN_FAILURE));

  // An empty port still fails as before.
  std::vector<BYTE> in(kDescriptorRequestSize, 0);
  USB_DESCRIPTOR_REQUEST empty{2, USB_SETUP_PACKET{0x80, 0x06, 0x0100, 0, 255}};
  std::memcpy(in.data(), &empty, sizeof empty);
  r = Ioctl(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, in, kDescriptorRequestSize);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

// The hub names the driver key of the device node on each port: the node the
// tree made for what is plugged there, under the hub's own node. A device that
// comes back on its port keeps its key; another device there has its own; an
// empty port, or one whose device has not finished enumerating, names none. A
// buffer too small gets the length the whole reply needs.
TEST_F(UsbTreeTest, HubsNameTheDriverKeyOfTheDeviceOnEachPort) {
  UsbController hc = tree_.AddController(0, 4);
  UsbHub external = hc.Root().Port(2).PlugHub(2);
  UsbPort port = hc.Root().Port(1);
  port.Plug(0x1234, 0x5678);
  external.Port(1).Plug(0x1234, 0x5678);  // the same kind of device, elsewhere
  HANDLE root = Open(hc.Root().Path());
  HANDLE hub = Open(external.Path());
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  ASSERT_NE(hub, INVALID_HANDLE_VALUE);

  auto keyOn = [&](HANDLE h, ULONG index, DWORD* error = nullptr) -> std::u16string {
    Result probe = Ioctl(h, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Index(index), 10);
    if (error) *error = probe.error;
    if (!probe.ok) return {};
    const ULONG actual = At<ULONG>(probe.out, 4);
    EXPECT_EQ(At<ULONG>(probe.out, 0), index);
    Result full = Ioctl(h, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Index(index), actual);
    EXPECT_TRUE(full.ok);
    EXPECT_EQ(full.returned, actual);
    return std::u16string(reinterpret_cast<const char16_t*>(full.out.data() + 8));
  };
  // The node the configuration manager gives for the port's device.
  auto nodeKey = [&](const std::u16string& instanceId) {
    auto lock = world_.Lock();
    return world_.DriverKeyLocked(instanceId);
  };

  const std::u16string first = keyOn(root, 1);
  EXPECT_EQ(first.rfind(u"{36fc9e60-c465-11cf-8056-444553540000}\\", 0), 0u) << ToUtf8(first);
  EXPECT_EQ(first, nodeKey(port.DeviceInstanceId()));
  EXPECT_EQ(port.DeviceInstanceId(), UsbDeviceInstanceId(0x1234, 0x5678, hc.Root().Name(), 1));
  const std::u16string elsewhere = keyOn(hub, 1);
  EXPECT_FALSE(elsewhere.empty());
  EXPECT_NE(elsewhere, first);
  EXPECT_FALSE(keyOn(root, 2).empty());  // the external hub has a node of its own

  DWORD error = 0;
  EXPECT_EQ(keyOn(root, 3, &error), u"");
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(keyOn(root, 5, &error), u"");
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);

  port.Unplug();
  EXPECT_EQ(keyOn(root, 1, &error), u"");
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
  port.Plug(0x1234, 0x5678);
  EXPECT_EQ(keyOn(root, 1), first);
  port.SetStatus(DeviceEnumerating);
  EXPECT_EQ(keyOn(root, 1, &error), u"");
  port.Plug(0x1234, 0x9999);
  const std::u16string other = keyOn(root, 1);
  EXPECT_FALSE(other.empty());
  EXPECT_NE(other, first);

  // Unplugging the external hub takes its device's node off the tree.
  const std::u16string behind = external.Port(1).DeviceInstanceId();
  EXPECT_TRUE(world_.IsDevNodePresent(behind));
  hc.Root().Port(2).Unplug();
  EXPECT_FALSE(world_.IsDevNodePresent(behind));
}

TEST_F(UsbTreeTest, UnpluggingAHubTakesItsWholeSubtreeOffTheBus) {
  UsbController hc = tree_.AddController(0, 1);
  UsbHub outer = hc.Root().Port(1).PlugHub(2);
  UsbHub inner = outer.Port(2).PlugHub(2);
  ASSERT_TRUE(world_.IsAttached(inner.Path()));
  HANDLE h = Open(inner.Path());

  hc.Root().Port(1).Unplug();

  EXPECT_FALSE(world_.IsAttached(outer.Path()));
  EXPECT_FALSE(world_.IsAttached(inner.Path()));
  EXPECT_FALSE(Ioctl(h, IOCTL_USB_GET_NODE_INFORMATION, std::vector<BYTE>(76), 76).ok);
  EXPECT_EQ(Open(outer.Path()), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(world_.IsAttached(hc.Root().Path()));
}

TEST(UsbTree, DestroyingTheTreeTakesEveryPathOffTheBus) {
  World world;
  std::u16string paths[3];
  {
    UsbTree tree(world);
    UsbController hc = tree.AddController(12, 1);
    paths[0] = hc.Path();
    paths[1] = hc.Root().Path();
    paths[2] = hc.Root().Port(1).PlugHub(1).Path();
    for (const auto& p : paths) EXPECT_TRUE(world.IsAttached(p));
  }
  for (const auto& p : paths) EXPECT_FALSE(world.IsAttached(p));
}

// Every device on a hub port shows an interface of GUID_DEVINTERFACE_USB_DEVICE,
// which the hub driver registers for each USB device it enumerates: a window
// registered for the class hears of its arrival and removal, also when the
// hub it hangs on goes.
TEST(UsbTreeInterfaces, DevicesOnPortsShowAUsbDeviceInterface) {
  World world;
  UsbTree tree(world);
  UsbController hc = tree.AddController(0);
  HWND window = world.CreateHeadlessWindow();
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
  HDEVNOTIFY notify = world.RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(notify, nullptr);

  // The names the window was told of, with the event.
  auto heard = [&] {
    world.PumpMessages(window);
    std::vector<std::pair<WPARAM, std::u16string>> out;
    for (const auto& m : world.Received(window)) {
      if (m.message != WM_DEVICECHANGE || m.payload.size() < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) continue;
      std::u16string name;
      for (std::size_t i = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name); i + 1 < m.payload.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(m.payload[i] | (m.payload[i + 1] << 8));
        if (c == 0) break;
        name.push_back(c);
      }
      out.emplace_back(m.wParam, name);
    }
    world.ClearReceived(window);
    return out;
  };

  hc.Root().Port(3).Plug(0x1234, 0x5678);
  auto arrived = heard();
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(arrived[0].first, DBT_DEVICEARRIVAL);
  const std::u16string path = arrived[0].second;
  EXPECT_NE(path.find(u"usb#vid_1234&pid_5678#"), std::u16string::npos);
  EXPECT_TRUE(world.IsAttached(path));

  hc.Root().Port(3).Unplug();
  auto removed = heard();
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0], std::make_pair(DBT_DEVICEREMOVECOMPLETE, path));
  EXPECT_FALSE(world.IsAttached(path));

  // A device behind an external hub leaves with the hub.
  UsbHub hub = hc.Root().Port(1).PlugHub(4);
  hub.Port(2).Plug(0x1111, 0x2222);
  auto behindHub = heard();
  ASSERT_FALSE(behindHub.empty());
  const std::u16string inner = behindHub.back().second;
  EXPECT_NE(inner.find(u"vid_1111&pid_2222"), std::u16string::npos);
  hc.Root().Port(1).Unplug();
  heard();
  EXPECT_FALSE(world.IsAttached(inner));

  world.UnregisterDeviceNotification(notify);
  world.DestroyHeadlessWindow(window);
}

}  // namespace
}  // namespace kv27::sim
