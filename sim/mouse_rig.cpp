#include "sim/mouse_rig.h"

#include <utility>

namespace kv27::sim {

MouseRig::MouseRig(World& world, std::vector<std::uint8_t> image, RigOptions options)
    : world_(world),
      tree_(world),
      controller_(tree_.AddController(options.controller, 2)),
      hub_(controller_.Root().Port(1).PlugHub(4)),
      factory_(VirtualMouse::FactoryFlash()),
      image_(std::move(image)) {
  keyboard_ = hub_.Port(1).Plug(0x046D, 0xC31C);
  mouse_ = VirtualMouse::Create(world_, hub_.Port(2), factory_);
  if (options.otherMousePort != 0)
    other_ = VirtualMouse::Create(world_, hub_.Port(options.otherMousePort), VirtualMouse::FactoryFlash(1));
  if (other_ && options.otherMouseFirst) other_->Plug();
  mouse_->Plug();
  if (other_ && !options.otherMouseFirst) other_->Plug();
  world_.SetModulePath(kRigProgramPath);
  if (!image_.empty()) world_.AddFile(kRigImagePath, image_);
}

MouseRig::~MouseRig() {
  if (other_) other_->Unplug();
  mouse_->Unplug();
}

}  // namespace kv27::sim
