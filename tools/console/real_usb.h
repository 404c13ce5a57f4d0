// Real USB hardware for the console programs, where the platform reaches it
// through a world of real devices (on Linux: hidraw, usbfs and udev behind
// the world's boundary). Windows programs use the real OsApi instead.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/world.h"

namespace kv27::console {

class RealUsb {
 public:
  virtual ~RealUsb() = default;
  // The boundary the run goes through: real devices, real time.
  virtual sim::World& World() = 0;
  // The mouse's and the bootloader's devices present now, one line each:
  // what it is, bus and port path, node, whether it can be opened.
  virtual std::vector<std::u16string> List() = 0;
  // When a device node was refused for lack of permission: which node, which
  // rule file to install and how; empty otherwise.
  virtual std::vector<std::u16string> PermissionAdvice() = 0;
  // The same for the nodes present now that this user may not open, before
  // anything is sent: only the mouse's (`mouse`) or only the bootloader's.
  virtual std::vector<std::u16string> AdviceBeforeRun(bool mouse) = 0;
};

// Null where this build has no real USB access (the reason in `why`).
std::unique_ptr<RealUsb> OpenRealUsb(std::u16string& why);

}  // namespace kv27::console
