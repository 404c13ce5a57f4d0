// Real USB on a Linux host: the host bus with the mouse's and the
// bootloader's ids.
#include "host/host_bus.h"
#include "sim/virtual_mouse.h"
#include "tools/console/real_usb.h"

namespace kv27::console {
namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class HostUsb : public RealUsb {
 public:
  HostUsb() : bus_(sim::kMouseVendorId, sim::kMouseProductId, sim::kMouseBootVendorId, sim::kMouseBootProductId) {}
  bool ok() const { return bus_.ok(); }
  std::string why() const { return bus_.why(); }
  sim::World& World() override { return bus_.world(); }
  std::vector<std::u16string> List() override {
    std::vector<std::u16string> lines;
    for (const auto& d : bus_.List()) {
      std::string kind = d.kind, place = d.place, node = d.node;
      kind.resize(std::max<std::size_t>(kind.size(), 19), ' ');
      place.resize(std::max<std::size_t>(place.size(), 9), ' ');
      node.resize(std::max<std::size_t>(node.size(), 22), ' ');
      lines.push_back(Wide(kind + place + node + (d.canOpen ? "can be opened" : "cannot be opened: " + d.problem)));
    }
    return lines;
  }
  std::vector<std::u16string> PermissionAdvice() override {
    std::vector<std::u16string> lines;
    for (const auto& line : host::PermissionAdvice(bus_.PermissionProblems())) lines.push_back(Wide(line));
    return lines;
  }
  std::vector<std::u16string> AdviceBeforeRun(bool mouse) override {
    std::vector<std::string> nodes;
    for (const auto& d : bus_.List())
      if (d.denied && (d.kind != "bootloader") == mouse) nodes.push_back(d.node);
    std::vector<std::u16string> lines;
    for (const auto& line : host::PermissionAdvice(nodes)) lines.push_back(Wide(line));
    return lines;
  }

 private:
  host::HostBus bus_;
};

}  // namespace

std::unique_ptr<RealUsb> OpenRealUsb(std::u16string& why) {
  auto usb = std::make_unique<HostUsb>();
  if (!usb->ok()) {
    why = Wide(usb->why());
    return nullptr;
  }
  return usb;
}

}  // namespace kv27::console
