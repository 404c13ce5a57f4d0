// The well-known interface class GUIDs against the platform's own definitions.
// Windows builds only; this is the one test that sees <windows.h>.
#include "platform/win32_types.h"

#include <gtest/gtest.h>

#include <cstring>

// <initguid.h> makes the headers after it define the GUIDs they declare.
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <hidclass.h>
#include <usbiodef.h>
// clang-format on

namespace {

bool SameGuid(const w32::GUID& ours, const ::GUID& platform) {
  static_assert(sizeof(ours) == sizeof(platform));
  return std::memcmp(&ours, &platform, sizeof(ours)) == 0;
}

TEST(PlatformGuids, InterfaceClassesMatchThePlatform) {
  EXPECT_TRUE(SameGuid(w32::GUID_DEVINTERFACE_HID, ::GUID_DEVINTERFACE_HID));
  EXPECT_TRUE(SameGuid(w32::GUID_DEVINTERFACE_USB_DEVICE, ::GUID_DEVINTERFACE_USB_DEVICE));
}

}  // namespace
