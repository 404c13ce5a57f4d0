// The program's resources compiled to the .res format (res/KV27MFirmwareUpdate.rc
// through windres at build time), linked in as bytes so that every build can
// inspect exactly what the Windows program carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kv27::res {

std::pair<const std::uint8_t*, std::size_t> CompiledResources();

}  // namespace kv27::res
