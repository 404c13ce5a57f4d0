// The search for the mouse's command interface among the present HID
// interfaces: the first, in enumeration order, whose capability record shows
// usage page 0xFFB4, usage 1, 8-byte input and output reports, vendor id
// 0x4E5B and product id 0x002A. The mouse exposes other collections with the
// same ids (its standard mouse collection among them), so the ids alone would
// pick the wrong one.
#pragma once

#include "hid/hid_comm.h"

namespace kv27 {

inline constexpr USHORT kMouseVendorId = 0x4E5B;
inline constexpr USHORT kMouseProductId = 0x002A;
inline constexpr USAGE kMouseUsagePage = 0xFFB4;
inline constexpr USAGE kMouseUsage = 1;
inline constexpr USHORT kMouseReportBytes = 8;

// Whether a capability record is the command interface's, by the criteria
// above.
bool IsMouseCommandInterface(const HIDDeviceCaps& caps);

// True with the interface's path in `path` (kHidMaxPath units); false when no
// interface matches or the list cannot be made. Interfaces that cannot be
// queried are passed over. The capability queries run on a temporary mouse
// link that is never started (it opens the shared reply event once more).
bool FindMouseInterface(OsApi& os, WCHAR* path);

}  // namespace kv27
