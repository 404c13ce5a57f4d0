#include "tools/samplefw/samplefw.h"

#include <cstring>

#include "image/image.h"

namespace kv27 {

std::vector<std::uint8_t> MakeSampleFirmware() {
  std::vector<std::uint8_t> plain(kImagePayloadSize, 0xFF);
  std::uint32_t state = 0x4B563237;  // "KV27"
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
  };
  static const char kTag[] = "KV27-N4 sample firmware, generated test data";
  std::size_t i = 0;
  for (; i < sizeof kTag; ++i) plain[i] = static_cast<std::uint8_t>(kTag[i]);
  for (; i < kSampleUserDataBegin; ++i) plain[i] = next();
  for (; i < kSampleUserDataEnd; ++i) plain[i] = kSampleUserDataFill;
  for (; i < 0x3FFB; ++i) plain[i] = next();
  return plain;
}

}  // namespace kv27
