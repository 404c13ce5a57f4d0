#include "app/mouse_search.h"

#include <cstring>

#include "platform/device_interfaces.h"
#include "protocol/kv27_usb_comm.h"

namespace kv27 {

bool IsMouseCommandInterface(const HIDDeviceCaps& caps) {
  return caps.caps.UsagePage == kMouseUsagePage && caps.caps.Usage == kMouseUsage &&
         caps.caps.InputReportByteLength == kMouseReportBytes &&
         caps.caps.OutputReportByteLength == kMouseReportBytes && caps.attributes.VendorID == kMouseVendorId &&
         caps.attributes.ProductID == kMouseProductId;
}

bool FindMouseInterface(OsApi& os, WCHAR* path) {
  GUID hidClass{};
  os.HidD_GetHidGuid(&hidClass);
  CKV27USBComm probe(os);
  bool found = false;
  ForEachDeviceInterface(os, hidClass, [&](const ListedInterface& listed) {
    if (listed.path.size() >= kHidMaxPath) return false;
    HIDDeviceCaps caps{};
    if (!probe.QueryDeviceCaps(listed.path.c_str(), &caps) || !IsMouseCommandInterface(caps)) return false;
    std::memcpy(path, listed.path.c_str(), (listed.path.size() + 1) * sizeof(WCHAR));
    found = true;
    return true;
  });
  return found;
}

}  // namespace kv27
