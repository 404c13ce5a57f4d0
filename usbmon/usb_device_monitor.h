// USB topology monitor: a table of the devices on the ports of every hub that
// can be reached from the first ten host controllers.
//
// The table is filled by a walk over the host controllers ("\\.\HCD0" to
// "\\.\HCD9"), their root hubs and every external hub below them, using the hub
// driver's I/O controls. Each device port is kept as one entry: the hub's device
// path and the port's 365-byte connection record exactly as the hub driver
// reported it. Hubs are walked but never recorded.
//
// The owner looks a device up by vendor and product id (FindDevice), or by one
// of its device interfaces (FindDeviceOfInterface), and can send it one fixed
// string-descriptor request through its hub (GetDeviceString).
//
// Every call runs on the owner's thread; the monitor takes no locks. Handles are
// opened and closed within each call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/os_api.h"

namespace kv27 {
using namespace w32;

// One device table entry. The hub path is "\\.\" followed by the hub's
// symbolic name; an empty path marks a free entry. `connection` points to the
// port's 365-byte connection record (USB_NODE_CONNECTION_INFORMATION followed
// by its pipe list). In the monitor's own table the monitor owns the record;
// an entry copied out by FindDevice shares the pointer and owns nothing.
struct USBDeviceEntry {
  std::u16string hubPath;
  BYTE* connection = nullptr;
};

// The registered window message of the device-change announcement.
inline constexpr const WCHAR* kUsbDeviceChangeMessage = u"USB_DEVICE_CHANGE";

// wParam values of the announcement; lParam is the affected USBDeviceEntry*,
// valid only during the call.
enum UsbDeviceChange : WPARAM {
  kUsbDeviceAdded = 0,    // just stored in a free entry
  kUsbDeviceChanged = 1,  // same hub and port, the new record is already copied in
  kUsbDeviceRemoved = 2,  // sent before the record is freed and the path cleared
};

class CUSBDeviceMonitor {
 public:
  static constexpr int kMaxEntries = 256;
  static constexpr int kHostControllers = 10;
  // Hubs below a root hub that the walk follows. Real USB topologies stop at
  // five tiers of external hubs; the cap only matters for a hub driver whose
  // names lead back into their own subtree.
  static constexpr int kMaxHubNesting = 16;

  explicit CUSBDeviceMonitor(OsApi& os);
  virtual ~CUSBDeviceMonitor();
  CUSBDeviceMonitor(const CUSBDeviceMonitor&) = delete;
  CUSBDeviceMonitor& operator=(const CUSBDeviceMonitor&) = delete;

  // Brings the table up to date: a removal pass over the occupied entries,
  // then the walk over controllers and hubs.
  void Refresh();

  // Copies the first occupied entry (in table order) whose device has these
  // ids into `result` (path copied, record pointer shared) and returns 1;
  // returns 0 and leaves `result` alone when none matches. The shared pointer
  // stays valid until a later Refresh frees that entry.
  int FindDevice(USHORT vendorId, USHORT productId, USBDeviceEntry& result) const;

  // Copies the occupied entry (as FindDevice does) of the port that carries
  // the device `interfacePath`, a present interface of class `interfaceClass`,
  // belongs to, and returns 1: the port whose hub names, as the driver key of
  // the device on it, the interface's device node or a node above it
  // (usbmon/device_nodes.h). Returns 0 and leaves `result` alone when that
  // cannot be told: the interface's device cannot be read, or no port of the
  // table carries it. Asks the hub of each occupied entry until one matches.
  int FindDeviceOfInterface(const GUID& interfaceClass, LPCWSTR interfacePath, USBDeviceEntry& result);
  // Whether the device on the entry's port now is the one the interface
  // `interfacePath` of class `interfaceClass` belongs to (false for a free
  // entry, or when either side cannot be read).
  bool PortCarriesInterface(const USBDeviceEntry& entry, const GUID& interfaceClass, LPCWSTR interfacePath);

  // Sends the device on the entry's port the fixed string-descriptor request
  // (index 0xC3, language 0x5D1A) through its hub and returns the text of the
  // reply; empty on any failure and, without any I/O, for a null or free entry.
  std::u16string GetDeviceString(const USBDeviceEntry* entry);

  // Turns the "USB_DEVICE_CHANGE" announcement on or off (off from
  // construction). It is sent only while this is on and ownerWindow is set.
  void EnableNotification(bool enabled) { notifyEnabled = enabled ? 1 : 0; }

  // Read access to the table, for diagnostics and tests.
  const USBDeviceEntry& Entry(int index) const { return entries_[static_cast<std::size_t>(index)]; }
  int OccupiedCount() const;

  // The steps of the walk.
  void EnumerateHostControllers();
  void EnumerateHub(const std::u16string& hubPath);
  void EnumerateHubPorts(const std::u16string& hubPath, HANDLE hub, int portCount);
  // The change detector: 1 when the table changed, 0 otherwise.
  int RecordDevice(const std::u16string& hubPath, const BYTE* record);

  // Second condition of the announcement; 0 from construction.
  std::int32_t notifyEnabled = 0;
  // The window that receives the announcement; written by the owner.
  HWND ownerWindow = nullptr;

 private:
  using Record = std::array<BYTE, kConnectionRecordSize>;

  HANDLE OpenNode(const std::u16string& path);
  // The driver key of the device on the entry's port; empty on failure.
  std::u16string PortDriverKey(const USBDeviceEntry& entry);
  void Notify(WPARAM change, USBDeviceEntry* entry);
  void FreeEntry(int index);

  OsApi& os_;
  std::array<USBDeviceEntry, kMaxEntries> entries_{};
  // Owners of the records the entries point to; records_[i].get() is
  // entries_[i].connection.
  std::array<std::unique_ptr<Record>, kMaxEntries> records_{};
  int hubDepth_ = 0;
};

// Name of the root hub of an open host controller ("USB#ROOT_HUB..."), passed
// through the ANSI code page and back; empty on failure.
std::u16string GetRootHubName(OsApi& os, HANDLE controller);

// Name of the external hub on `port` of an open hub, passed through the ANSI
// code page and back; empty on failure.
std::u16string GetExternalHubName(OsApi& os, HANDLE hub, ULONG port);

// NUL-terminated UTF-16 text in the ANSI code page; nullopt on failure.
std::optional<std::string> WideToAnsi(OsApi& os, LPCWSTR text);

}  // namespace kv27
