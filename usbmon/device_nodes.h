// Which device a device interface belongs to, and which device a hub port
// carries, told by the one name both sides know: the device's driver key
// (its software key under its setup class, "{36fc9e60-...}\0012"), which the
// configuration manager gives for a device node (CM_DRP_DRIVER) and the hub
// driver for the device on a port (IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME).
//
// A HID collection's node hangs below the node of its USB interface, which
// hangs below the USB device on the port; so the device a port carries is the
// interface's own node or one of its ancestors.
#pragma once

#include <string>
#include <vector>

#include "platform/device_path.h"
#include "platform/os_api.h"

namespace kv27 {
using namespace w32;

// The driver keys of the device node that `interfacePath` (a present interface
// of class `interfaceClass`) belongs to and of each node above it, nearest
// first; nodes without one are passed over. Empty when the interface is not
// listed or its node cannot be read.
std::vector<std::u16string> InterfaceDriverKeys(OsApi& os, const GUID& interfaceClass, LPCWSTR interfacePath);

// The driver key of the device on `port` of an open hub; empty on failure
// (nothing enumerated on the port, or the hub driver refuses).
std::u16string GetDriverKeyName(OsApi& os, HANDLE hub, ULONG port);

// Driver keys are registry key names: equal without regard to case.
bool SameDriverKey(const std::u16string& a, const std::u16string& b);

}  // namespace kv27
