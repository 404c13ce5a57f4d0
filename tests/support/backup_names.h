// The default name the upgraders give a settings backup of the rig's mouse:
// the stamp, then where the mouse sits on the rig's bus.
#pragma once

#include <cstring>
#include <string>

#include "app/mouse_search.h"
#include "app/user_data_backup.h"
#include "sim/mouse_rig.h"
#include "sim/world.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27::test {

// The place of the rig's mouse (its hub and port), as the backup names carry it.
inline std::u16string RigMousePlace() {
  static const std::u16string place = [] {
    sim::World world;
    std::u16string found;
    {
      sim::MouseRig rig(world, {});
      CUSBDeviceMonitor monitor(world);
      monitor.Refresh();
      USBDeviceEntry entry;
      if (monitor.FindDevice(kMouseVendorId, kMouseProductId, entry) && entry.connection != nullptr) {
        ULONG port = 0;
        std::memcpy(&port, entry.connection, sizeof port);
        found = BackupPlace(entry.hubPath, port);
      }
    }
    return found;
  }();
  return place;
}

// "FOLDER\backup-STAMP-PLACE[-N].kv27ud" for the rig's mouse.
inline std::u16string RigBackupPath(const std::u16string& folder, const std::u16string& stamp, int number = 1) {
  std::string n;  // appended in steps: GCC 12 warns falsely (-Wrestrict) on "-" + string&&
  if (number > 1) {
    n = '-';
    n += std::to_string(number);
  }
  return folder + u"\\backup-" + stamp + u"-" + RigMousePlace() + std::u16string(n.begin(), n.end()) + u".kv27ud";
}

}  // namespace kv27::test
