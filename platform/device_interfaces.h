// Walking the present interfaces of a device interface class through SetupAPI,
// as every search of this system does: the HID library, the mouse search, the
// bootloader search and the device-node lookup of the USB monitor.
#pragma once

#include <functional>
#include <string>

#include "platform/os_api.h"

namespace w32 {

// One listed interface: its device path and its device node.
struct ListedInterface {
  std::u16string path;
  DEVINST node = 0;
};

// Calls `visit` for each present interface of `interfaceClass`, in the order
// SetupAPI lists them, until `visit` returns true; the list is destroyed
// before this returns. False when the list could not be had.
//
// What the platform may do wrong is bounded here, once:
//   - an enumeration that fails with anything but ERROR_NO_MORE_ITEMS skips
//     that index (the last error is read only after a failure: a success may
//     leave an old one behind); 64 failures in a row end the walk, or a broken
//     list would be walked for four billion indices;
//   - a detail size that cannot hold the size field and a terminator, or is
//     absurd (over 4096 bytes; 0xFFFFFFFF would wrap a size + 1 to 0), skips
//     the interface: nothing is fetched into a buffer too small for it;
//   - the path is read within its record and ends at its terminator, or at
//     the record's end when the driver left the terminator out.
bool ForEachDeviceInterface(OsApi& os, const GUID& interfaceClass,
                            const std::function<bool(const ListedInterface&)>& visit);

}  // namespace w32
