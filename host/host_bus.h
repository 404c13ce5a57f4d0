// Real USB devices on a Linux host, served through the world's boundary.
//
// The system talks to the OS through w32::OsApi. On Linux the boundary for
// real hardware is a sim::World running in real time (its events, waits,
// threads, overlapped I/O, window queues and files are already the Win32
// contracts) with real devices attached where the virtual ones would be:
//
//   - the USB topology from sysfs (every bus a host controller "\\.\HCD<n-1>",
//     every hub with its port count, every device on its port with its ids);
//     a descriptor request through a hub port becomes a standard
//     GET_DESCRIPTOR control transfer to the device itself, through libusb;
//   - each top-level collection of a hidraw node of the mouse as a HID
//     interface of its own (attributes from the parent's HID_ID and the USB
//     device's bcdDevice, capabilities from the report descriptor), reports
//     read and written on /dev/hidrawN with the report id first;
//   - the bootloader as a WinUSB interface served by libusb: interface 0
//     claimed, bulk OUT 0x01 / IN 0x81, the pipe time-out WinUsb_SetPipePolicy
//     set;
//   - arrival and removal from a libudev monitor: each uevent makes the bus
//     look at sysfs again (and so does half a second without one, for a
//     system without udevd), and what changed is plugged or unplugged, which
//     the world turns into WM_DEVICECHANGE for registered windows.
//
// Device nodes a user may not open are remembered until opened after all
// (PermissionProblems), so that the programs can say which node and which
// rule file to install.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/world.h"

namespace kv27::host {
using namespace w32;

// The rule file that gives the logged-in user the mouse's and the
// bootloader's nodes, as shipped in the tree and installed.
inline constexpr char kRuleFileName[] = "70-kv27m.rules";
inline constexpr char kRuleFileInstalled[] = "/etc/udev/rules.d/70-kv27m.rules";

// One device of interest, for --list.
struct HostDeviceInfo {
  std::string kind;   // "mouse" or "bootloader"
  std::string place;  // bus and port path, "1-2.3"
  std::string node;   // /dev/hidrawN or /dev/bus/usb/BBB/DDD
  bool canOpen = false;
  bool denied = false;  // refused for lack of permission
  std::string problem;  // why it cannot be opened (empty when it can)
};

class HostBus {
 public:
  // Looks at sysfs, attaches what it finds and starts following uevents.
  // `vendorId`/`productId` name the mouse, `bootVendorId`/`bootProductId` its
  // bootloader.
  HostBus(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t bootVendorId, std::uint16_t bootProductId);
  ~HostBus();
  HostBus(const HostBus&) = delete;
  HostBus& operator=(const HostBus&) = delete;

  // The boundary the system runs on.
  sim::World& world();
  // False when libusb or libudev could not start (why()).
  bool ok() const;
  std::string why() const;

  // The mouse's and the bootloader's devices present now.
  std::vector<HostDeviceInfo> List();
  // Device nodes whose last open was refused for lack of permission, each
  // once (a node opened since is not among them).
  std::vector<std::string> PermissionProblems();

  // Looks at sysfs again now (the monitor thread does so on every uevent and
  // every half second without one). Any thread.
  void Rescan();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The advice for a refused node: which node, which rule file, how to install it.
std::vector<std::string> PermissionAdvice(const std::vector<std::string>& nodes);

}  // namespace kv27::host
