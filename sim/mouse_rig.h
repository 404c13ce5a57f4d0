// A simulated PC ready for a whole upgrade: a host controller whose root hub
// carries a four-port hub, with a keyboard on its port 1 and the virtual N4
// mouse on its port 2 (plugged, normal mode), and the program's directory
// holding a firmware image under its default name. Options put the bus on
// another controller or a second mouse on the hub.
//
// The dialog, the console upgrader and the tests build the same rig, so that
// what a person watches in a simulated run is what the tests check.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb_tree.h"
#include "sim/virtual_mouse.h"
#include "sim/world.h"

namespace kv27::sim {

inline constexpr char16_t kRigProgramDir[] = u"C:\\Program Files\\KV27M";
inline constexpr char16_t kRigProgramPath[] = u"C:\\Program Files\\KV27M\\KV27MFirmwareUpdate.exe";
inline constexpr char16_t kRigImagePath[] = u"C:\\Program Files\\KV27M\\KV27M_FW_UPGRADE.bimg";

// What a rig has besides the one mouse.
struct RigOptions {
  // The number of the host controller the bus hangs on (0: "\\.\HCD0").
  int controller = 0;
  // A second N4 mouse on this port of the hub (0: none), with settings of its
  // own (VirtualMouse::FactoryFlash(1)).
  int otherMousePort = 0;
  // The second mouse was plugged in before the first: its HID interfaces are
  // listed first.
  bool otherMouseFirst = false;
};

class MouseRig {
 public:
  // Builds the bus on `world` and plugs the mouse; the program path becomes
  // kRigProgramPath and the image file at kRigImagePath holds `image` (none
  // when empty).
  MouseRig(World& world, std::vector<std::uint8_t> image, RigOptions options = {});
  // Unplugs the mice (the ports hold them) and takes the bus down.
  ~MouseRig();
  MouseRig(const MouseRig&) = delete;
  MouseRig& operator=(const MouseRig&) = delete;

  World& world() { return world_; }
  UsbTree& tree() { return tree_; }
  UsbHub& hub() { return hub_; }
  VirtualMouse& mouse() { return *mouse_; }
  std::shared_ptr<VirtualMouse> mouseShared() { return mouse_; }
  // The second mouse, or null.
  VirtualMouse* otherMouse() { return other_.get(); }
  std::shared_ptr<UsbDeviceStub> keyboard() { return keyboard_; }

  // The flash the mouse holds when the rig is built: VirtualMouse::FactoryFlash.
  const BootloaderFlash& factoryFlash() const { return factory_; }
  // The image file's bytes as the rig put them (empty: no file).
  const std::vector<std::uint8_t>& image() const { return image_; }

 private:
  World& world_;
  UsbTree tree_;
  UsbController controller_;
  UsbHub hub_;
  std::shared_ptr<UsbDeviceStub> keyboard_;
  BootloaderFlash factory_;
  std::shared_ptr<VirtualMouse> mouse_;
  std::shared_ptr<VirtualMouse> other_;
  std::vector<std::uint8_t> image_;
};

}  // namespace kv27::sim
