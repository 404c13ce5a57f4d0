// A simulated PC ready for a whole upgrade: a host controller whose root hub
// carries a four-port hub, with a keyboard on its port 1 and the virtual N4
// mouse on its port 2 (plugged, normal mode), and the program's directory
// holding a firmware image under its default name.
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

class MouseRig {
 public:
  // Builds the bus on `world` and plugs the mouse; the program path becomes
  // kRigProgramPath and the image file at kRigImagePath holds `image` (none
  // when empty).
  MouseRig(World& world, std::vector<std::uint8_t> image);
  // Unplugs the mouse (the port holds it) and takes the bus down.
  ~MouseRig();
  MouseRig(const MouseRig&) = delete;
  MouseRig& operator=(const MouseRig&) = delete;

  World& world() { return world_; }
  UsbTree& tree() { return tree_; }
  UsbHub& hub() { return hub_; }
  VirtualMouse& mouse() { return *mouse_; }
  std::shared_ptr<VirtualMouse> mouseShared() { return mouse_; }
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
  std::vector<std::uint8_t> image_;
};

}  // namespace kv27::sim
