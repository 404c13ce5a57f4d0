// No real USB through a world in this build: Windows reaches the hardware
// through its real OsApi, and a Linux build without libusb and libudev has
// none.
#include "tools/console/real_usb.h"

namespace kv27::console {

std::unique_ptr<RealUsb> OpenRealUsb(std::u16string& why) {
  why = u"this build has no USB access";
  return nullptr;
}

}  // namespace kv27::console
