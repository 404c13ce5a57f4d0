#include "app/mouse_search.h"

#include <cstring>
#include <vector>

#include "protocol/kv27_usb_comm.h"

namespace kv27 {
namespace {

// A list whose enumeration keeps failing with anything but "no more items" is
// broken; without a bound the index would run through four billion values on
// the dialog's thread, at every device change.
constexpr DWORD kMaxFailedEnumerations = 64;
// Largest detail record taken; an absurd size would wrap the buffer size.
constexpr DWORD kMaxDetailSize = 4096;

}  // namespace

bool IsMouseCommandInterface(const HIDDeviceCaps& caps) {
  return caps.caps.UsagePage == kMouseUsagePage && caps.caps.Usage == kMouseUsage &&
         caps.caps.InputReportByteLength == kMouseReportBytes &&
         caps.caps.OutputReportByteLength == kMouseReportBytes && caps.attributes.VendorID == kMouseVendorId &&
         caps.attributes.ProductID == kMouseProductId;
}

bool FindMouseInterface(OsApi& os, WCHAR* path) {
  GUID hidClass{};
  os.HidD_GetHidGuid(&hidClass);
  HDEVINFO set = os.SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;

  CKV27USBComm probe(os);
  bool found = false;
  DWORD failedInARow = 0;
  for (DWORD index = 0; !found && failedInARow < kMaxFailedEnumerations; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    const BOOL listed = os.SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data);
    if (!listed) {
      // The end of the list; any other failure skips the index. The last error
      // is read only after a failure: a success may leave an old one behind.
      if (os.GetLastError() == ERROR_NO_MORE_ITEMS) break;
      ++failedInARow;
      continue;
    }
    failedInARow = 0;

    DWORD required = 0;
    os.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < kDeviceInterfaceDetailFixedSize + sizeof(WCHAR) || required > kMaxDetailSize) continue;
    std::vector<BYTE> buffer(required + sizeof(WCHAR), 0);  // room for a terminator the driver left out
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = kDeviceInterfaceDetailFixedSize;
    if (!os.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) continue;

    const WCHAR* candidate = detail->DevicePath;
    std::size_t length = 0;
    while (candidate[length] != 0) ++length;
    if (length >= kHidMaxPath) continue;

    HIDDeviceCaps caps{};
    if (!probe.QueryDeviceCaps(candidate, &caps) || !IsMouseCommandInterface(caps)) continue;
    std::memcpy(path, candidate, (length + 1) * sizeof(WCHAR));
    found = true;
  }
  os.SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace kv27
