#include "platform/device_interfaces.h"

#include <cstring>
#include <vector>

namespace w32 {
namespace {

constexpr DWORD kMaxFailedEnumerations = 64;
constexpr DWORD kMaxDetailSize = 4096;

// The path and node of interface `data`, or false when the platform cannot
// give them.
bool Describe(OsApi& os, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, ListedInterface& listed) {
  DWORD required = 0;
  os.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
  if (required < kDeviceInterfaceDetailFixedSize + sizeof(WCHAR) || required > kMaxDetailSize) return false;
  // Zeroed, with room for a terminator the driver left out.
  std::vector<BYTE> record(static_cast<std::size_t>(required) + sizeof(WCHAR), 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record.data());
  detail->cbSize = kDeviceInterfaceDetailFixedSize;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!os.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &device)) return false;

  // The path starts after the size field; units are copied out, as the
  // record's bytes need not be aligned for them.
  const std::size_t units = (record.size() - sizeof(DWORD)) / sizeof(WCHAR);
  listed.path.clear();
  for (std::size_t i = 0; i < units; ++i) {
    WCHAR unit;
    std::memcpy(&unit, record.data() + sizeof(DWORD) + i * sizeof(WCHAR), sizeof unit);
    if (unit == 0) break;
    listed.path.push_back(unit);
  }
  listed.node = device.DevInst;
  return true;
}

}  // namespace

bool ForEachDeviceInterface(OsApi& os, const GUID& interfaceClass,
                            const std::function<bool(const ListedInterface&)>& visit) {
  HDEVINFO set = os.SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) return false;
  DWORD failedInARow = 0;
  ListedInterface listed;
  for (DWORD index = 0; failedInARow < kMaxFailedEnumerations; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!os.SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) {
      if (os.GetLastError() == ERROR_NO_MORE_ITEMS) break;
      ++failedInARow;
      continue;
    }
    failedInARow = 0;
    if (Describe(os, set, data, listed) && visit(listed)) break;
  }
  os.SetupDiDestroyDeviceInfoList(set);
  return true;
}

}  // namespace w32
