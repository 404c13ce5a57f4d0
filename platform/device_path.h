// Comparing device interface paths.
#pragma once

#include "platform/win32_types.h"

namespace kv27 {

// Whether two device paths name the same device interface, compared as Windows
// compares them: whatever the case of the letters.
//
// A device interface path names a symbolic link in the object manager's
// namespace ("\\?\" is the Win32 alias of its "\GLOBAL??" directory), and the
// Win32 subsystem looks such names up without regard to case: Microsoft's
// description of the security setting "System objects: Require case
// insensitivity for non-Windows subsystems" states that the Win32 subsystem is
// not case sensitive, for directory objects, symbolic links and I/O objects
// alike. IoRegisterDeviceInterface gives callers the link name as an opaque
// string, and nothing documented makes the path SetupAPI lists and the
// dbcc_name a notification carries agree in case; so the two are compared
// whole, with letters folded. A path is built of bus and instance ids and the
// class GUID, all ASCII; other units are compared as they stand.
inline bool SameDevicePath(const w32::WCHAR* a, const w32::WCHAR* b) {
  if (a == nullptr || b == nullptr) return false;
  auto fold = [](w32::WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<w32::WCHAR>(c - u'a' + u'A') : c; };
  for (;; ++a, ++b) {
    if (fold(*a) != fold(*b)) return false;
    if (*a == 0) return true;
  }
}

}  // namespace kv27
