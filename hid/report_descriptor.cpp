#include "hid/report_descriptor.h"

#include <algorithm>
#include <map>

namespace kv27 {
namespace {

// The global items that matter for lengths, and what Push saves.
struct Globals {
  std::uint32_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

// Bits per report id and report type (0 input, 1 output, 2 feature) of one
// top-level collection.
struct Accumulator {
  HidTopCollection info;
  std::map<std::uint32_t, std::uint64_t> bits[3];
};

// Largest report a USHORT length can count: the data bytes and the id byte.
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;

ParsedReportDescriptor Refuse(const std::string& why, std::size_t offset) {
  ParsedReportDescriptor r;
  r.error = why + " at byte " + std::to_string(offset);
  return r;
}

}  // namespace

ParsedReportDescriptor ParseReportDescriptor(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return Refuse("empty descriptor", 0);
  if (size > kMaxReportDescriptorSize) return Refuse("descriptor longer than 4096 bytes", kMaxReportDescriptorSize);

  Globals globals;
  std::vector<Globals> stack;
  std::size_t depth = 0;
  // The usage the next Collection takes: the first Usage since the last main
  // item (a 4-byte Usage carries its own page).
  bool haveUsage = false;
  std::uint32_t firstUsage = 0;
  bool firstUsageExtended = false;
  std::vector<Accumulator> tops;
  bool withIds = false, withoutIds = false;

  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t at = pos;
    const std::uint8_t prefix = data[pos++];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data
      if (size - pos < 2) return Refuse("truncated long item", at);
      const std::size_t length = data[pos];
      pos += 2;
      if (size - pos < length) return Refuse("truncated long item", at);
      pos += length;
      continue;
    }
    static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
    const std::size_t length = kSizes[prefix & 3];
    if (size - pos < length) return Refuse("truncated item", at);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) value |= static_cast<std::uint32_t>(data[pos + i]) << (8 * i);
    pos += length;
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;

    if (type == 0) {  // main
      switch (tag) {
        case 0x8:    // Input
        case 0x9:    // Output
        case 0xB: {  // Feature
          if (depth == 0) return Refuse("report item outside any collection", at);
          const int kind = tag == 0x8 ? 0 : tag == 0x9 ? 1 : 2;
          if (globals.reportId != 0)
            withIds = true;
          else
            withoutIds = true;
          if (withIds && withoutIds) return Refuse("report without an id in a descriptor with report ids", at);
          std::uint64_t& bits = tops.back().bits[kind][globals.reportId];
          bits += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
          if (bits > kMaxReportBits) return Refuse("report longer than 65534 bytes", at);
          break;
        }
        case 0xA: {  // Collection
          if (depth == kMaxCollectionDepth) return Refuse("collections nested too deep", at);
          if (depth == 0) {
            if (tops.size() == kMaxTopCollections) return Refuse("too many top-level collections", at);
            Accumulator top;
            const std::uint32_t usage = haveUsage ? firstUsage : 0;
            top.info.usagePage =
                static_cast<std::uint16_t>(firstUsageExtended ? usage >> 16 : globals.usagePage & 0xFFFF);
            top.info.usage = static_cast<std::uint16_t>(usage & 0xFFFF);
            tops.push_back(std::move(top));
          }
          ++depth;
          break;
        }
        case 0xC:  // End Collection
          if (depth == 0) return Refuse("End Collection without a collection", at);
          --depth;
          break;
        default:
          return Refuse("unknown main item", at);
      }
      haveUsage = false;  // local items last until the next main item
      continue;
    }
    if (type == 1) {  // global
      switch (tag) {
        case 0x0:
          globals.usagePage = value;
          break;
        case 0x7:
          globals.reportSize = value;
          break;
        case 0x8:
          if (value == 0 || value > 0xFF) return Refuse("report id out of 1..255", at);
          globals.reportId = value;
          break;
        case 0x9:
          globals.reportCount = value;
          break;
        case 0xA:  // Push
          if (stack.size() == kMaxGlobalStack) return Refuse("Push nested too deep", at);
          stack.push_back(globals);
          break;
        case 0xB:  // Pop
          if (stack.empty()) return Refuse("Pop without Push", at);
          globals = stack.back();
          stack.pop_back();
          break;
        case 0x1:
        case 0x2:
        case 0x3:
        case 0x4:
        case 0x5:
        case 0x6:
          break;  // logical and physical extents, units: no bearing on lengths
        default:
          return Refuse("unknown global item", at);
      }
      continue;
    }
    if (type == 2) {  // local
      if (tag == 0x0 && !haveUsage) {
        haveUsage = true;
        firstUsage = value;
        firstUsageExtended = length == 4;
      }
      continue;  // usage ranges, designators, strings, delimiters
    }
    return Refuse("reserved item type", at);
  }
  if (depth != 0) return Refuse("collection not ended", size);
  if (tops.empty()) return Refuse("no top-level collection", size);

  ParsedReportDescriptor result;
  std::map<std::uint32_t, std::size_t> owner;  // report id -> top-level collection
  for (std::size_t c = 0; c < tops.size(); ++c) {
    Accumulator& top = tops[c];
    std::uint16_t* lengths[3] = {&top.info.inputLength, &top.info.outputLength, &top.info.featureLength};
    for (int kind = 0; kind < 3; ++kind) {
      std::uint64_t longest = 0;
      bool any = false;
      for (const auto& [id, bits] : top.bits[kind]) {
        any = true;
        longest = std::max(longest, bits);
        if (withIds) {
          const auto [it, fresh] = owner.emplace(id, c);
          if (!fresh && it->second != c)
            return Refuse("report id " + std::to_string(id) + " in two top-level collections", size);
          if (std::find(top.info.reportIds.begin(), top.info.reportIds.end(), id) == top.info.reportIds.end())
            top.info.reportIds.push_back(static_cast<std::uint8_t>(id));
        }
      }
      // A report type without any data bits (only zero-sized items) still has
      // its id byte, as the class driver counts it.
      if (any) *lengths[kind] = static_cast<std::uint16_t>((longest + 7) / 8 + 1);
    }
    std::sort(top.info.reportIds.begin(), top.info.reportIds.end());
    result.collections.push_back(top.info);
  }
  result.ok = true;
  result.usesReportIds = withIds;
  return result;
}

int CollectionOfReport(const ParsedReportDescriptor& descriptor, std::uint8_t reportId) {
  if (!descriptor.ok || descriptor.collections.empty()) return -1;
  if (!descriptor.usesReportIds) return 0;
  for (std::size_t c = 0; c < descriptor.collections.size(); ++c) {
    const auto& ids = descriptor.collections[c].reportIds;
    if (std::binary_search(ids.begin(), ids.end(), reportId)) return static_cast<int>(c);
  }
  return -1;
}

}  // namespace kv27
