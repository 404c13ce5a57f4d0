// The default names the upgraders give settings backups of the rig's mice:
// the stamp, the sequence number, then where the mouse sits on the rig's bus.
// The place comes from where the rig plugged the mouse (its hub's path and
// the port number), never from a lookup of the program's, so that a program
// that names a backup after the wrong port fails the tests.
#pragma once

#include <string>

#include "app/user_data_backup.h"
#include "sim/mouse_rig.h"
#include "sim/world.h"

namespace kv27::test {

// The rig's mouse is on port 2 of its hub; a second mouse on the port its
// options name.
inline constexpr int kRigMousePort = 2;

// The place of a mouse the rig plugs into port `port` of its hub.
inline std::u16string RigPlace(int port = kRigMousePort) {
  static const std::u16string hub = [] {
    sim::World world;
    sim::MouseRig rig(world, {});
    return rig.hub().Path();
  }();
  return BackupPlace(hub, static_cast<ULONG>(port));
}

// The place of the rig's mouse (its hub and port), as the backup names carry it.
inline std::u16string RigMousePlace() { return RigPlace(kRigMousePort); }

// "FOLDER\backup-STAMP-nSEQUENCE-PLACE[-N].kv27ud" for a mouse on `port`.
inline std::u16string RigBackupPathAt(const std::u16string& folder, const std::u16string& stamp, int port,
                                      unsigned sequence = 1, int number = 1) {
  std::string tail = "-n";  // appended in steps: GCC 12 warns falsely (-Wrestrict) on "-" + string&&
  std::string digits = std::to_string(sequence);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  tail += digits;
  tail += '-';
  std::string n;
  if (number > 1) {
    n = '-';
    n += std::to_string(number);
  }
  return folder + u"\\backup-" + stamp + std::u16string(tail.begin(), tail.end()) + RigPlace(port) +
         std::u16string(n.begin(), n.end()) + u".kv27ud";
}

// The same for the rig's own mouse.
inline std::u16string RigBackupPath(const std::u16string& folder, const std::u16string& stamp, unsigned sequence = 1,
                                    int number = 1) {
  return RigBackupPathAt(folder, stamp, kRigMousePort, sequence, number);
}

}  // namespace kv27::test
