// The simulated world: the configuration manager's device tree.
#include <cstdio>
#include <stdexcept>

#include "sim/world_impl.h"

namespace kv27::sim {

namespace {

constexpr char16_t kRootInstance[] = u"HTREE\\ROOT\\0";

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace

std::u16string InstanceIdOfInterface(const std::u16string& path) {
  if (!IsDevicePath(path)) return {};
  std::u16string name = path.substr(4);
  // A reference string follows the class after one more '\'.
  const std::size_t reference = name.find(u'\\');
  if (reference != std::u16string::npos) name.resize(reference);
  const std::size_t classStart = name.rfind(u"#{");
  if (classStart != std::u16string::npos) name.resize(classStart);
  for (auto& c : name)
    if (c == u'#') c = u'\\';
  return name;
}

// ------------------------------------------------------------------ the tree (world locked)

DEVINST World::Impl::NewNode(const std::u16string& instanceId, DEVINST parent, const GUID& setupClass) {
  DevNode node;
  node.instanceId = instanceId;
  node.parent = parent;
  node.setupClass = setupClass;
  // The software key under the class, numbered in the order devices of the
  // class were installed: "{36fc9e60-c465-11cf-8056-444553540000}\0012".
  const std::string cls = GuidText(setupClass);
  char number[8];
  std::snprintf(number, sizeof number, "%04u", driverKeysByClass[cls]++ % 10000);
  const std::string key = cls + "\\" + number;
  node.driverKey.assign(key.begin(), key.end());
  devNodes.push_back(std::move(node));
  return static_cast<DEVINST>(devNodes.size());
}

DEVINST World::Impl::RootNode() {
  if (devNodes.empty()) {
    DevNode root;
    root.instanceId = kRootInstance;
    devNodes.push_back(std::move(root));  // the root has no driver and no parent
  }
  return 1;
}

DEVINST World::Impl::FindNode(const std::u16string& instanceId) {
  RootNode();
  const std::u16string folded = FoldCase(instanceId);
  for (std::size_t i = 0; i < devNodes.size(); ++i)
    if (FoldCase(devNodes[i].instanceId) == folded) return static_cast<DEVINST>(i + 1);
  return 0;
}

DEVINST World::Impl::InterfaceNode(const std::u16string& path) {
  std::u16string instance = InstanceIdOfInterface(path);
  if (instance.empty()) instance = path;
  if (DEVINST node = FindNode(instance)) return node;
  // A device nobody placed on a bus: the PnP manager's root enumerates it.
  return NewNode(instance, RootNode(), kSystemSetupClass);
}

void World::AddDevNode(const std::u16string& instanceId, const std::u16string& parentInstanceId,
                       const GUID& setupClass) {
  std::lock_guard<std::mutex> lk(mutex_);
  const DEVINST parent = parentInstanceId.empty() ? impl_->RootNode() : impl_->FindNode(parentInstanceId);
  if (parent == 0) throw std::logic_error("AddDevNode: the parent node was never added");
  if (DEVINST existing = impl_->FindNode(instanceId)) {
    Impl::DevNode& node = *impl_->Node(existing);
    node.parent = parent;
    node.setupClass = setupClass;
    node.present = true;
    return;
  }
  impl_->NewNode(instanceId, parent, setupClass);
}

void World::RemoveDevNode(const std::u16string& instanceId) {
  std::lock_guard<std::mutex> lk(mutex_);
  const DEVINST gone = impl_->FindNode(instanceId);
  if (gone <= 1) return;  // unknown, or the root
  // The node and every node below it.
  std::set<DEVINST> removed{gone};
  for (bool grew = true; grew;) {
    grew = false;
    for (DEVINST n = 1; n <= impl_->devNodes.size(); ++n)
      if (!removed.count(n) && removed.count(impl_->Node(n)->parent)) grew = removed.insert(n).second;
  }
  for (DEVINST n : removed) impl_->Node(n)->present = false;
}

bool World::IsDevNodePresent(const std::u16string& instanceId) {
  std::lock_guard<std::mutex> lk(mutex_);
  const Impl::DevNode* node = impl_->Node(impl_->FindNode(instanceId));
  return node != nullptr && node->present;
}

std::u16string World::DriverKeyLocked(const std::u16string& instanceId) {
  const Impl::DevNode* node = impl_->Node(impl_->FindNode(instanceId));
  return node != nullptr && node->present ? node->driverKey : std::u16string();
}

// ------------------------------------------------------------------ OsApi: configuration manager

// Argument checks in the order cfgmgr32 makes them (CM_Get_Parent_Ex): the
// output pointer, a null node, the flags, then the node itself; a node that
// is no longer present is not part of the tree.
CONFIGRET World::CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->RootNode();
  const Impl::DevNode* n = impl_->Node(node);
  if (auto f = impl_->Fault("CM_Get_Parent", n ? n->instanceId : std::u16string())) return *f;
  if (parent == nullptr) return CR_INVALID_POINTER;
  if (node == 0) return CR_INVALID_DEVINST;
  if (flags != 0) return CR_INVALID_FLAG;
  if (n == nullptr) return CR_INVALID_DEVINST;
  if (!n->present) return CR_NO_SUCH_DEVINST;
  if (n->parent == 0) return CR_NO_SUCH_DEVNODE;  // the root
  *parent = n->parent;
  return CR_SUCCESS;
}

// As documented: a null buffer asks for the size (with *length 0), a buffer
// too small gets CR_BUFFER_SMALL, and *length takes the property's size in
// both cases. Only the driver key is kept; every other property reads as one
// the device's registry key does not hold.
CONFIGRET World::CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                                   ULONG* length, ULONG flags) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->RootNode();
  const Impl::DevNode* n = impl_->Node(node);
  if (auto f = impl_->Fault("CM_Get_DevNode_Registry_PropertyW", n ? n->instanceId : std::u16string())) return *f;
  if (node == 0) return CR_INVALID_DEVNODE;
  if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
  if (length == nullptr || (buffer == nullptr && *length != 0)) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (n == nullptr) return CR_INVALID_DEVNODE;
  if (!n->present) return CR_NO_SUCH_DEVINST;
  if (property != CM_DRP_DRIVER || n->driverKey.empty()) return CR_NO_SUCH_VALUE;
  const auto size = static_cast<ULONG>((n->driverKey.size() + 1) * sizeof(WCHAR));
  if (buffer == nullptr || *length < size) {
    *length = size;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, n->driverKey.c_str(), size);
  *length = size;
  if (regDataType != nullptr) *regDataType = REG_SZ;
  return CR_SUCCESS;
}

}  // namespace kv27::sim
