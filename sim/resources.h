// Reader of compiled Win32 resources: the .res file format (what windres -O res
// and rc.exe write) and dialog templates (DLGTEMPLATEEX and DLGTEMPLATE).
//
// Lets every build, Linux included, check the resources the Windows program
// carries, and gives the simulated world the dialog layout to build windows from.
// Input is untrusted: every length, offset and string is bounded by the input,
// and anything that does not fit is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace kv27::sim {

using namespace w32;

// Resource types by ordinal (RT_*).
inline constexpr WORD kRtBitmap = 2;
inline constexpr WORD kRtIcon = 3;
inline constexpr WORD kRtDialog = 5;
inline constexpr WORD kRtString = 6;
inline constexpr WORD kRtGroupIcon = 14;
inline constexpr WORD kRtVersion = 16;

struct DialogItem {
  WORD id = 0;  // the low word of the template's id (IDC_STATIC, -1, reads 0xFFFF)
  // "Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox" for the
  // predefined atoms 0x80..0x85, else the class name as stored (resource
  // compilers may store it upper-cased; window class names are case-insensitive).
  std::u16string className;
  std::u16string text;
  WORD textOrdinal = 0;  // nonzero when the text is a resource ordinal (a bitmap static's image id)
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD helpId = 0;
  WORD classOrdinal = 0;                   // the atom when the class is given by ordinal
  std::vector<std::uint8_t> creationData;  // the control's creation data, usually empty
};

struct DialogTemplate {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::u16string caption, fontName, className, menu;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  std::vector<DialogItem> items;
  bool extended = false;  // DLGTEMPLATEEX
  DWORD helpId = 0;       // DLGTEMPLATEEX only
  WORD menuOrdinal = 0;   // nonzero when the menu is a resource ordinal
  WORD classOrdinal = 0;  // nonzero when the window class is an atom
};

// One resource of a .res file. Types and names are either ordinals or strings
// (stored as the compiler wrote them, usually upper-case).
struct ResourceEntry {
  WORD typeOrdinal = 0;  // 0 when the type is a string
  std::u16string typeName;
  WORD nameOrdinal = 0;  // 0 when the name is a string
  std::u16string name;
  WORD language = 0;
  WORD memoryFlags = 0;
  DWORD dataVersion = 0, version = 0, characteristics = 0;
  std::vector<std::uint8_t> data;
};

class ResourceSet {
 public:
  // A compiled .res file; nullopt when it is malformed (every length and offset bounded by the input).
  static std::optional<ResourceSet> Parse(const std::uint8_t* data, std::size_t size);
  // Raw bytes of resource (type, id), numeric type and id (RT_DIALOG 5, RT_BITMAP 2, RT_ICON 3, RT_GROUP_ICON 14,
  // RT_VERSION 16); null if absent. With several languages, the first in the file.
  const std::vector<std::uint8_t>* Find(WORD type, WORD id) const;
  // The same in exactly one language; null if absent.
  const ResourceEntry* Find(WORD type, WORD id, WORD language) const;
  std::optional<DialogTemplate> Dialog(WORD id) const;
  std::optional<DialogTemplate> Dialog(WORD id, WORD language) const;
  // String `id` of the string table in `language` (RT_STRING blocks of sixteen
  // counted strings, block id / 16 + 1); nullopt when absent (a zero-length
  // string is absent too, as LoadString sees it).
  std::optional<std::u16string> String(WORD id, WORD language) const;
  // The languages the set holds resources of `type` in, in file order.
  std::vector<WORD> Languages(WORD type) const;

  const std::vector<ResourceEntry>& entries() const { return entries_; }

 private:
  std::vector<ResourceEntry> entries_;
};

std::optional<DialogTemplate> ParseDialogTemplate(const std::uint8_t* data, std::size_t size);

}  // namespace kv27::sim
