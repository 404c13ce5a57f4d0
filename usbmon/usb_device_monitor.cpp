#include "usbmon/usb_device_monitor.h"

#include <cstring>
#include <new>

#include "usbmon/device_nodes.h"

namespace kv27 {
using namespace w32;

namespace {

// Offsets within the packed connection record.
constexpr std::size_t kConnectionIndexOffset = 0;
constexpr std::size_t kVendorIdOffset = 12;
constexpr std::size_t kProductIdOffset = 14;
constexpr std::size_t kDeviceIsHubOffset = 24;
constexpr std::size_t kConnectionStatusOffset = 31;
// Offset of bNumberOfPorts within USB_NODE_INFORMATION.
constexpr std::size_t kNumberOfPortsOffset = 6;
// Offsets of the names in the name replies.
constexpr std::size_t kRootHubNameOffset = 4;     // USB_ROOT_HUB_NAME.RootHubName
constexpr std::size_t kNodeNameOffset = 8;        // USB_NODE_CONNECTION_NAME.NodeName
constexpr std::size_t kNodeNameLengthOffset = 4;  // USB_NODE_CONNECTION_NAME.ActualLength

// Largest name reply we accept from a driver. Hub symbolic names are far
// shorter; this only stops a hostile ActualLength from sizing our allocation.
constexpr ULONG kMaxNameReply = 4096;

// The bootloader-entry request: string descriptor 0xC3 in language 0x5D1A.
constexpr USHORT kRequestValue = 0x03C3;
constexpr USHORT kRequestLanguage = 0x5D1A;
constexpr USHORT kRequestLength = 255;
constexpr std::size_t kDescriptorDataOffset = sizeof(USB_DESCRIPTOR_REQUEST);  // 12
constexpr BYTE kStringDescriptorType = 3;

const std::u16string kDevicePrefix = u"\\\\.\\";

template <typename T>
T ReadAt(const BYTE* bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

template <typename T>
void WriteAt(BYTE* bytes, std::size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof value);
}

std::unique_ptr<BYTE[]> AllocateZeroed(std::size_t size) {
  return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[size]());
}

// The NUL-terminated UTF-16 text in bytes [offset, end). nullopt when no
// terminator lies within that range.
std::optional<std::u16string> TerminatedText(const BYTE* bytes, std::size_t offset, std::size_t end) {
  std::u16string text;
  for (std::size_t at = offset; at + sizeof(WCHAR) <= end; at += sizeof(WCHAR)) {
    WCHAR unit = ReadAt<WCHAR>(bytes, at);
    if (unit == 0) return text;
    text.push_back(unit);
  }
  return std::nullopt;
}

// End of the name within a name reply: the structure's size as the reply
// states it in ActualLength, and never past our buffer. The byte count the
// call returns is not used: drivers differ on whether it counts the
// terminator. The buffer is zero-filled, so bytes the driver did not write
// read as a terminator.
std::size_t ReplyEnd(ULONG statedLength, std::size_t bufferSize) {
  return statedLength < bufferSize ? statedLength : bufferSize;
}

// Hub names go through the ANSI code page and back, as the walk builds its
// paths from the ANSI form: a character the code page lacks is replaced there.
std::u16string ThroughAnsi(OsApi& os, const std::u16string& name) {
  std::optional<std::string> ansi = WideToAnsi(os, name.c_str());
  if (!ansi) return {};
  int units = os.MultiByteToWideChar(CP_THREAD_ACP, 0, ansi->c_str(), -1, nullptr, 0);
  if (units <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  int done = os.MultiByteToWideChar(CP_THREAD_ACP, 0, ansi->c_str(), -1, wide.data(), units);
  if (done <= 0) return {};
  wide.resize(static_cast<std::size_t>(done < units ? done : units));
  std::size_t nul = wide.find(u'\0');
  if (nul != std::u16string::npos) wide.resize(nul);
  return wide;
}

std::u16string ControllerPath(int number) {
  std::u16string path = kDevicePrefix + u"HCD";
  for (char c : std::to_string(number)) path.push_back(static_cast<WCHAR>(c));
  return path;
}

}  // namespace

// ---------------------------------------------------------------- free functions

std::optional<std::string> WideToAnsi(OsApi& os, LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  int size = os.WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string ansi(static_cast<std::size_t>(size), '\0');
  int done = os.WideCharToMultiByte(CP_ACP, 0, text, -1, ansi.data(), size, nullptr, nullptr);
  if (done <= 0) return std::nullopt;
  ansi.resize(static_cast<std::size_t>(done < size ? done : size));
  std::size_t nul = ansi.find('\0');
  if (nul != std::string::npos) ansi.resize(nul);
  return ansi;
}

std::u16string GetRootHubName(OsApi& os, HANDLE controller) {
  // Probe: ActualLength and one unit. The buffer is ours and zeroed, so a
  // driver that writes less leaves ActualLength at 0.
  BYTE probe[sizeof(USB_ROOT_HUB_NAME)] = {};
  DWORD returned = 0;
  if (!os.DeviceIoControl(controller, IOCTL_USB_GET_ROOT_HUB_NAME, nullptr, 0, probe, sizeof probe, &returned, nullptr))
    return {};
  ULONG actualLength = ReadAt<ULONG>(probe, 0);
  // The reply must hold at least the length and a terminator; anything
  // larger than any real name is refused rather than allocated.
  if (actualLength < sizeof(USB_ROOT_HUB_NAME) || actualLength > kMaxNameReply) return {};

  std::unique_ptr<BYTE[]> reply = AllocateZeroed(actualLength);
  if (!reply) return {};
  returned = 0;
  if (!os.DeviceIoControl(controller, IOCTL_USB_GET_ROOT_HUB_NAME, nullptr, 0, reply.get(), actualLength, &returned,
                          nullptr))
    return {};
  std::optional<std::u16string> name =
      TerminatedText(reply.get(), kRootHubNameOffset, ReplyEnd(ReadAt<ULONG>(reply.get(), 0), actualLength));
  reply.reset();
  if (!name || name->empty()) return {};
  return ThroughAnsi(os, *name);
}

std::u16string GetExternalHubName(OsApi& os, HANDLE hub, ULONG port) {
  BYTE probe[sizeof(USB_NODE_CONNECTION_NAME)] = {};
  WriteAt<ULONG>(probe, 0, port);
  DWORD returned = 0;
  if (!os.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, probe, sizeof probe, probe, sizeof probe, &returned,
                          nullptr))
    return {};
  ULONG actualLength = ReadAt<ULONG>(probe, kNodeNameLengthOffset);
  if (actualLength <= sizeof(USB_NODE_CONNECTION_NAME) || actualLength > kMaxNameReply) return {};

  std::unique_ptr<BYTE[]> reply = AllocateZeroed(actualLength);
  if (!reply) return {};
  WriteAt<ULONG>(reply.get(), 0, port);
  returned = 0;
  if (!os.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, reply.get(), actualLength, reply.get(), actualLength,
                          &returned, nullptr))
    return {};
  std::optional<std::u16string> name = TerminatedText(
      reply.get(), kNodeNameOffset, ReplyEnd(ReadAt<ULONG>(reply.get(), kNodeNameLengthOffset), actualLength));
  reply.reset();
  if (!name || name->empty()) return {};
  return ThroughAnsi(os, *name);
}

// ---------------------------------------------------------------- CUSBDeviceMonitor

CUSBDeviceMonitor::CUSBDeviceMonitor(OsApi& os) : os_(os) {}

// The records are released by their owners; no announcement is sent.
CUSBDeviceMonitor::~CUSBDeviceMonitor() = default;

int CUSBDeviceMonitor::OccupiedCount() const {
  int count = 0;
  for (const USBDeviceEntry& entry : entries_)
    if (!entry.hubPath.empty() && entry.connection != nullptr) ++count;
  return count;
}

HANDLE CUSBDeviceMonitor::OpenNode(const std::u16string& path) {
  HANDLE handle = os_.CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return handle == nullptr ? INVALID_HANDLE_VALUE : handle;
}

void CUSBDeviceMonitor::Notify(WPARAM change, USBDeviceEntry* entry) {
  if (ownerWindow == nullptr || notifyEnabled == 0) return;
  UINT message = os_.RegisterWindowMessageW(kUsbDeviceChangeMessage);
  if (message == 0) return;
  os_.SendMessageW(ownerWindow, message, change, reinterpret_cast<LPARAM>(entry));
}

void CUSBDeviceMonitor::FreeEntry(int index) {
  auto i = static_cast<std::size_t>(index);
  records_[i].reset();
  entries_[i].connection = nullptr;
  entries_[i].hubPath.clear();
}

void CUSBDeviceMonitor::Refresh() {
  std::unique_ptr<Record> scratch(new (std::nothrow) Record);
  if (scratch) {
    // Removal pass: an entry stays while its hub still reports a connected
    // device (not a hub) on its port, whatever device that now is; the walk
    // sorts that out.
    for (int i = 0; i < kMaxEntries; ++i) {
      USBDeviceEntry& entry = entries_[static_cast<std::size_t>(i)];
      if (entry.hubPath.empty() || entry.connection == nullptr) continue;
      bool gone = true;
      HANDLE hub = OpenNode(entry.hubPath);
      if (hub != INVALID_HANDLE_VALUE) {
        scratch->fill(0);
        WriteAt<ULONG>(scratch->data(), kConnectionIndexOffset,
                       ReadAt<ULONG>(entry.connection, kConnectionIndexOffset));
        DWORD returned = 0;
        BOOL ok =
            os_.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, scratch->data(), kConnectionRecordSize,
                                scratch->data(), kConnectionRecordSize, &returned, nullptr);
        // A port that now carries a hub has lost the device recorded on it:
        // the walk never records hubs, so the entry would otherwise keep
        // pointing requests at the hub.
        gone = !ok || ReadAt<ULONG>(scratch->data(), kConnectionStatusOffset) != DeviceConnected ||
               scratch->data()[kDeviceIsHubOffset] != 0;
        os_.CloseHandle(hub);
      }
      if (gone) {
        Notify(kUsbDeviceRemoved, &entry);
        FreeEntry(i);
      }
    }
  }
  scratch.reset();
  EnumerateHostControllers();
}

void CUSBDeviceMonitor::EnumerateHostControllers() {
  for (int n = 0; n < kHostControllers; ++n) {
    HANDLE controller = OpenNode(ControllerPath(n));
    if (controller == INVALID_HANDLE_VALUE) continue;  // a gap does not end the loop
    std::u16string rootHub = GetRootHubName(os_, controller);
    if (!rootHub.empty()) EnumerateHub(kDevicePrefix + rootHub);
    os_.CloseHandle(controller);
  }
}

void CUSBDeviceMonitor::EnumerateHub(const std::u16string& hubPath) {
  if (hubDepth_ > kMaxHubNesting) return;
  HANDLE hub = OpenNode(hubPath);
  if (hub == INVALID_HANDLE_VALUE) return;
  BYTE info[sizeof(USB_NODE_INFORMATION)] = {};
  DWORD returned = 0;
  if (os_.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, info, sizeof info, info, sizeof info, &returned,
                          nullptr)) {
    ++hubDepth_;
    EnumerateHubPorts(hubPath, hub, info[kNumberOfPortsOffset]);
    --hubDepth_;
  }
  os_.CloseHandle(hub);
}

void CUSBDeviceMonitor::EnumerateHubPorts(const std::u16string& hubPath, HANDLE hub, int portCount) {
  std::unique_ptr<Record> record(new (std::nothrow) Record);
  if (!record) return;
  for (int port = 1; port <= portCount; ++port) {
    record->fill(0);
    WriteAt<ULONG>(record->data(), kConnectionIndexOffset, static_cast<ULONG>(port));
    // A failed query leaves the status at 0: no device.
    DWORD returned = 0;
    os_.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, record->data(), kConnectionRecordSize,
                        record->data(), kConnectionRecordSize, &returned, nullptr);
    if (ReadAt<ULONG>(record->data(), kConnectionStatusOffset) != DeviceConnected) continue;
    if ((*record)[kDeviceIsHubOffset] != 0) {
      // Depth first: the whole subtree before the next port. The hub itself
      // is never recorded.
      std::u16string name = GetExternalHubName(os_, hub, static_cast<ULONG>(port));
      if (!name.empty()) EnumerateHub(kDevicePrefix + name);
    } else {
      RecordDevice(hubPath, record->data());
    }
  }
}

int CUSBDeviceMonitor::RecordDevice(const std::u16string& hubPath, const BYTE* record) {
  if (hubPath.empty() || record == nullptr) return 0;
  int freeIndex = -1;
  for (int i = 0; i < kMaxEntries; ++i) {
    USBDeviceEntry& entry = entries_[static_cast<std::size_t>(i)];
    if (entry.hubPath.empty()) {
      if (freeIndex < 0) freeIndex = i;
      continue;
    }
    if (entry.connection == nullptr) continue;
    if (entry.hubPath != hubPath) continue;
    if (std::memcmp(entry.connection, record, kConnectionRecordSize) == 0) return 0;  // unchanged
    if (std::memcmp(entry.connection, record, sizeof(ULONG)) == 0) {
      // Same hub and port, something about the device differs.
      std::memcpy(entry.connection, record, kConnectionRecordSize);
      Notify(kUsbDeviceChanged, &entry);
      return 1;
    }
  }
  if (freeIndex < 0) return 0;  // table full
  auto i = static_cast<std::size_t>(freeIndex);
  records_[i].reset(new (std::nothrow) Record);
  if (!records_[i]) return 0;
  std::memcpy(records_[i]->data(), record, kConnectionRecordSize);
  entries_[i].hubPath = hubPath;
  entries_[i].connection = records_[i]->data();
  Notify(kUsbDeviceAdded, &entries_[i]);
  return 1;
}

int CUSBDeviceMonitor::FindDevice(USHORT vendorId, USHORT productId, USBDeviceEntry& result) const {
  for (const USBDeviceEntry& entry : entries_) {
    if (entry.hubPath.empty() || entry.connection == nullptr) continue;
    if (ReadAt<USHORT>(entry.connection, kVendorIdOffset) != vendorId) continue;
    if (ReadAt<USHORT>(entry.connection, kProductIdOffset) != productId) continue;
    result.hubPath = entry.hubPath;
    result.connection = entry.connection;
    return 1;
  }
  return 0;
}

std::u16string CUSBDeviceMonitor::PortDriverKey(const USBDeviceEntry& entry) {
  if (entry.hubPath.empty() || entry.connection == nullptr) return {};
  HANDLE hub = OpenNode(entry.hubPath);
  if (hub == INVALID_HANDLE_VALUE) return {};
  std::u16string key = GetDriverKeyName(os_, hub, ReadAt<ULONG>(entry.connection, kConnectionIndexOffset));
  os_.CloseHandle(hub);
  return key;
}

int CUSBDeviceMonitor::FindDeviceOfInterface(const GUID& interfaceClass, LPCWSTR interfacePath,
                                             USBDeviceEntry& result) {
  const std::vector<std::u16string> keys = InterfaceDriverKeys(os_, interfaceClass, interfacePath);
  if (keys.empty()) return 0;
  for (const USBDeviceEntry& entry : entries_) {
    if (entry.hubPath.empty() || entry.connection == nullptr) continue;
    const std::u16string onPort = PortDriverKey(entry);
    if (onPort.empty()) continue;
    for (const std::u16string& key : keys) {
      if (!SameDriverKey(key, onPort)) continue;
      result.hubPath = entry.hubPath;
      result.connection = entry.connection;
      return 1;
    }
  }
  return 0;
}

bool CUSBDeviceMonitor::PortCarriesInterface(const USBDeviceEntry& entry, const GUID& interfaceClass,
                                             LPCWSTR interfacePath) {
  const std::u16string onPort = PortDriverKey(entry);
  if (onPort.empty()) return false;
  for (const std::u16string& key : InterfaceDriverKeys(os_, interfaceClass, interfacePath))
    if (SameDriverKey(key, onPort)) return true;
  return false;
}

std::u16string CUSBDeviceMonitor::GetDeviceString(const USBDeviceEntry* entry) {
  if (entry == nullptr || entry->hubPath.empty() || entry->connection == nullptr) return {};
  HANDLE hub = OpenNode(entry->hubPath);
  if (hub == INVALID_HANDLE_VALUE) return {};

  std::array<BYTE, kDescriptorRequestSize> request{};
  USB_DESCRIPTOR_REQUEST header{};
  header.ConnectionIndex = ReadAt<ULONG>(entry->connection, kConnectionIndexOffset);
  header.SetupPacket.wValue = kRequestValue;
  header.SetupPacket.wIndex = kRequestLanguage;
  header.SetupPacket.wLength = kRequestLength;
  std::memcpy(request.data(), &header, sizeof header);

  DWORD returned = 0;
  BOOL ok = os_.DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request.data(),
                                kDescriptorRequestSize, request.data(), kDescriptorRequestSize, &returned, nullptr);
  os_.CloseHandle(hub);

  // The byte count covers the 12-byte request header and the descriptor;
  // bLength must match it exactly, which also keeps it within our buffer.
  if (!ok || returned < 2) return {};
  const BYTE* data = request.data() + kDescriptorDataOffset;
  const BYTE length = data[0];
  if (data[1] != kStringDescriptorType) return {};
  if (returned < kDescriptorDataOffset || length != returned - kDescriptorDataOffset) return {};
  if (length % 2 != 0) return {};
  // A string descriptor is at least its 2-byte header.
  if (length < 2) return {};

  std::u16string text;
  for (std::size_t at = 2; at + 1 < length; at += 2) {
    auto unit = static_cast<WCHAR>(data[at] | (data[at + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

}  // namespace kv27
