// Which hub port carries the device an interface belongs to: two N4 mice, one
// behind an external hub, each found on its own port by any of its
// interfaces, and the bootloader each one restarts into found on the same port.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "protocol/kv8b05_comm.h"
#include "sim/usb_tree.h"
#include "sim/virtual_mouse.h"
#include "sim/world.h"
#include "usbmon/device_nodes.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {
namespace {

ULONG PortOf(const USBDeviceEntry& entry) {
  ULONG port;
  std::memcpy(&port, entry.connection, sizeof port);
  return port;
}

std::u16string Upper(std::u16string text) {
  for (auto& c : text)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return text;
}

class DeviceOfInterface : public ::testing::Test {
 protected:
  DeviceOfInterface() {
    near_->Plug();
    far_->Plug();
  }
  ~DeviceOfInterface() override {
    near_->Unplug();
    far_->Unplug();
  }

  sim::World world_;
  sim::UsbTree tree_{world_};
  sim::UsbController hc_ = tree_.AddController(0, 3);
  sim::UsbHub hub_ = hc_.Root().Port(2).PlugHub(4);
  std::shared_ptr<sim::VirtualMouse> near_ =
      sim::VirtualMouse::Create(world_, hc_.Root().Port(1), sim::VirtualMouse::FactoryFlash());
  std::shared_ptr<sim::VirtualMouse> far_ =
      sim::VirtualMouse::Create(world_, hub_.Port(3), sim::VirtualMouse::FactoryFlash(1));
  CUSBDeviceMonitor monitor_{world_};
};

TEST_F(DeviceOfInterface, EachMouseIsFoundOnItsOwnPortByAnyOfItsInterfaces) {
  monitor_.Refresh();
  EXPECT_NE(near_->CommandPath(), far_->CommandPath());
  EXPECT_NE(near_->BootloaderPath(), far_->BootloaderPath());

  struct Case {
    const char* what;
    GUID cls;
    std::u16string path;
    std::u16string hubPath;
    ULONG port;
  };
  const Case cases[] = {
      {"near, command collection", GUID_DEVINTERFACE_HID, near_->CommandPath(), hc_.Root().Path(), 1},
      {"near, standard mouse collection", GUID_DEVINTERFACE_HID, near_->CollectionPath(0), hc_.Root().Path(), 1},
      // Device paths compare as Windows compares them.
      {"near, command collection in capitals", GUID_DEVINTERFACE_HID, Upper(near_->CommandPath()), hc_.Root().Path(),
       1},
      {"far, command collection", GUID_DEVINTERFACE_HID, far_->CommandPath(), hub_.Path(), 3},
      {"far, consumer collection", GUID_DEVINTERFACE_HID, far_->CollectionPath(3), hub_.Path(), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    USBDeviceEntry entry;
    ASSERT_EQ(monitor_.FindDeviceOfInterface(c.cls, c.path.c_str(), entry), 1);
    EXPECT_EQ(entry.hubPath, c.hubPath);
    EXPECT_EQ(PortOf(entry), c.port);
    EXPECT_TRUE(monitor_.PortCarriesInterface(entry, c.cls, c.path.c_str()));
  }

  USBDeviceEntry nearPort, farPort;
  ASSERT_EQ(monitor_.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, near_->CommandPath().c_str(), nearPort), 1);
  ASSERT_EQ(monitor_.FindDeviceOfInterface(GUID_DEVINTERFACE_HID, far_->CommandPath().c_str(), farPort), 1);
  EXPECT_FALSE(monitor_.PortCarriesInterface(nearPort, GUID_DEVINTERFACE_HID, far_->CommandPath().c_str()));
  EXPECT_FALSE(monitor_.PortCarriesInterface(farPort, GUID_DEVINTERFACE_HID, near_->CommandPath().c_str()));

  // The far mouse restarts into its bootloader: its port now carries the
  // bootloader's interface, and no longer the mouse's collections; the near
  // port carries neither.
  monitor_.GetDeviceString(&farPort);
  world_.Advance(5'000);
  ASSERT_EQ(far_->CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
  monitor_.Refresh();
  USBDeviceEntry bootPort;
  ASSERT_EQ(monitor_.FindDeviceOfInterface(IspInterfaceGuid, far_->BootloaderPath().c_str(), bootPort), 1);
  EXPECT_EQ(bootPort.hubPath, hub_.Path());
  EXPECT_EQ(PortOf(bootPort), 3u);
  EXPECT_TRUE(monitor_.PortCarriesInterface(farPort, IspInterfaceGuid, far_->BootloaderPath().c_str()));
  EXPECT_FALSE(monitor_.PortCarriesInterface(nearPort, IspInterfaceGuid, far_->BootloaderPath().c_str()));
  EXPECT_FALSE(monitor_.PortCarriesInterface(farPort, GUID_DEVINTERFACE_HID, far_->CommandPath().c_str()));
  EXPECT_EQ(near_->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_EQ(world_.LeakReport(), "");
}

// What cannot be told is not guessed: 0, the caller's entry untouched.
TEST_F(DeviceOfInterface, NothingIsFoundWhereThePortCannotBeTold) {
  struct Case {
    const char* what;
    bool refreshed;
    GUID cls;
    std::function<void()> fault;
  };
  const std::u16string command = near_->CommandPath();
  const Case cases[] = {
      {"the table was never filled", false, GUID_DEVINTERFACE_HID, {}},
      {"the interface is of another class", true, IspInterfaceGuid, {}},
      {"the mouse has left", true, GUID_DEVINTERFACE_HID, [&] { near_->Unplug(); }},
      {"the hub cannot be opened", true, GUID_DEVINTERFACE_HID,
       [&] {
         world_.InjectFault({"CreateFileW", ERROR_ACCESS_DENIED, 1, 0, u"ROOT_HUB"});
       }},
      {"no parent can be read", true, GUID_DEVINTERFACE_HID,
       [&] {
         world_.InjectFault({"CM_Get_Parent", CR_FAILURE, 1, 0, u""});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    near_->Plug();
    CUSBDeviceMonitor monitor(world_);
    if (c.refreshed) monitor.Refresh();
    if (c.fault) c.fault();
    USBDeviceEntry entry;
    entry.hubPath = u"untouched";
    EXPECT_EQ(monitor.FindDeviceOfInterface(c.cls, command.c_str(), entry), 0);
    EXPECT_EQ(entry.hubPath, u"untouched");
    EXPECT_EQ(entry.connection, nullptr);
    world_.ClearFaults();
  }
  EXPECT_EQ(world_.LeakReport(), "");
}

TEST(DriverKeys, CompareWithoutRegardToCase) {
  EXPECT_TRUE(
      SameDriverKey(u"{36FC9E60-C465-11CF-8056-444553540000}\\0012", u"{36fc9e60-c465-11cf-8056-444553540000}\\0012"));
  EXPECT_FALSE(
      SameDriverKey(u"{36fc9e60-c465-11cf-8056-444553540000}\\0012", u"{36fc9e60-c465-11cf-8056-444553540000}\\0013"));
  EXPECT_FALSE(
      SameDriverKey(u"{36fc9e60-c465-11cf-8056-444553540000}\\001", u"{36fc9e60-c465-11cf-8056-444553540000}\\0012"));
  EXPECT_TRUE(SameDevicePath(u"\\\\?\\HID#VID_4E5B", u"\\\\?\\hid#vid_4e5b"));
  EXPECT_FALSE(SameDevicePath(u"\\\\?\\hid#vid_4e5b", u"\\\\?\\hid#vid_4e5b#x"));
  EXPECT_FALSE(SameDevicePath(nullptr, u""));
}

}  // namespace
}  // namespace kv27
