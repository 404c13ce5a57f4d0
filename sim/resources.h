// Placeholder for the program's resource reader (dialog templates, bitmaps,
// icons), replaced by the real reader when it lands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace kv27::sim {
using namespace w32;

struct DialogItem {
  WORD id = 0;
  std::u16string className;
  std::u16string text;
  WORD textOrdinal = 0;
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD helpId = 0;
};

struct DialogTemplate {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::u16string caption, fontName, className, menu;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  std::vector<DialogItem> items;
};

class ResourceSet {
 public:
  static std::optional<ResourceSet> Parse(const std::uint8_t*, std::size_t) { return std::nullopt; }
  const std::vector<std::uint8_t>* Find(WORD, WORD) const { return nullptr; }
  std::optional<DialogTemplate> Dialog(WORD) const { return std::nullopt; }
};

}  // namespace kv27::sim
