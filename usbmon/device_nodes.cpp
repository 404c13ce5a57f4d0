#include "usbmon/device_nodes.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/device_interfaces.h"

namespace kv27 {
using namespace w32;

namespace {

// Largest property taken; an absurd size would otherwise size the allocation.
constexpr ULONG kMaxPropertySize = 4096;
// Device trees are a handful of levels deep; a parent chain longer than this
// leads back into itself.
constexpr int kMaxTreeDepth = 64;
// Largest driver key reply taken from a hub.
constexpr ULONG kMaxDriverKeyReply = 4096;

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// The device node of the interface `path` among the present interfaces of its
// class.
bool InterfaceNode(OsApi& os, const GUID& interfaceClass, LPCWSTR path, DEVINST& node) {
  bool found = false;
  ForEachDeviceInterface(os, interfaceClass, [&](const ListedInterface& candidate) {
    if (!SameDevicePath(candidate.path.c_str(), path)) return false;
    node = candidate.node;
    found = true;
    return true;
  });
  return found;
}

// The driver key of a node; false when it has none or it cannot be read.
bool NodeDriverKey(OsApi& os, DEVINST node, std::u16string& key) {
  WCHAR small[128] = {};
  ULONG type = 0;
  ULONG length = sizeof small;
  CONFIGRET result = os.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, &type, small, &length, 0);
  const WCHAR* text = small;
  ULONG size = length;
  std::unique_ptr<WCHAR[]> large;
  if (result == CR_BUFFER_SMALL && length > sizeof small && length <= kMaxPropertySize) {
    large.reset(new (std::nothrow) WCHAR[length / sizeof(WCHAR) + 1]());
    if (!large) return false;
    size = length;
    result = os.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, &type, large.get(), &size, 0);
    text = large.get();
  }
  if (result != CR_SUCCESS || type != REG_SZ) return false;
  // The string ends at its terminator, or at the size the call reported.
  key.clear();
  for (ULONG i = 0; i < size / sizeof(WCHAR) && text[i] != 0; ++i) key.push_back(text[i]);
  return !key.empty();
}

}  // namespace

bool SameDriverKey(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::vector<std::u16string> InterfaceDriverKeys(OsApi& os, const GUID& interfaceClass, LPCWSTR interfacePath) {
  std::vector<std::u16string> keys;
  if (interfacePath == nullptr || interfacePath[0] == 0) return keys;
  DEVINST node = 0;
  if (!InterfaceNode(os, interfaceClass, interfacePath, node)) return keys;
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    std::u16string key;
    if (NodeDriverKey(os, node, key)) keys.push_back(std::move(key));
    DEVINST parent = 0;
    if (os.CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;  // the root, or the tree cannot be read
    node = parent;
  }
  return keys;
}

std::u16string GetDriverKeyName(OsApi& os, HANDLE hub, ULONG port) {
  // Probe: ConnectionIndex, ActualLength and one unit; the reply names the
  // size the whole structure needs.
  BYTE probe[sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME)] = {};
  std::memcpy(probe, &port, sizeof port);
  DWORD returned = 0;
  if (!os.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, sizeof probe, probe, sizeof probe,
                          &returned, nullptr))
    return {};
  ULONG actualLength = 0;
  std::memcpy(&actualLength, probe + offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength), sizeof actualLength);
  if (actualLength <= sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) || actualLength > kMaxDriverKeyReply) return {};

  std::unique_ptr<BYTE[]> reply(new (std::nothrow) BYTE[actualLength]());
  if (!reply) return {};
  std::memcpy(reply.get(), &port, sizeof port);
  returned = 0;
  if (!os.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, reply.get(), actualLength, reply.get(),
                          actualLength, &returned, nullptr))
    return {};
  // The name ends at its terminator, never past the buffer (zero-filled, so
  // bytes the driver did not write read as one).
  std::u16string key;
  for (std::size_t at = offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName); at + sizeof(WCHAR) <= actualLength;
       at += sizeof(WCHAR)) {
    WCHAR unit;
    std::memcpy(&unit, reply.get() + at, sizeof unit);
    if (unit == 0) break;
    key.push_back(unit);
  }
  return key;
}

}  // namespace kv27
