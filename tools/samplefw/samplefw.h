// The plain payload of the bundled sample image: a deterministic 16 KiB
// stand-in for real firmware, made here and nowhere else.
#pragma once

#include <cstdint>
#include <vector>

namespace kv27 {

// Layout:
//   0x0000..       a text tag naming the payload, NUL-terminated
//   ..0x37FF       pseudo-random bytes (xorshift32, fixed seed)
//   0x3800..0x3F05 0xEE, where the upgrade puts the mouse's user data
//   0x3F06..0x3FFA pseudo-random bytes, continuing the same sequence
//   0x3FFB..0x3FFF 0xFF, the tail that is never programmed (packing with
//                  --force-crc rewrites its last two bytes)
constexpr std::uint8_t kSampleUserDataFill = 0xEE;
constexpr std::uint32_t kSampleUserDataBegin = 0x3800;
constexpr std::uint32_t kSampleUserDataEnd = 0x3F06;  // exclusive

std::vector<std::uint8_t> MakeSampleFirmware();

}  // namespace kv27
