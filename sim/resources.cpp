#include "sim/resources.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace kv27::sim {
namespace {

constexpr DWORD kDsSetFont = 0x40;  // also part of DS_SHELLFONT

// Little-endian reader over untrusted bytes. Every read checks the bounds; a
// failed read leaves the reader failed and every later read fails too.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? size_ - pos_ : 0; }

  WORD Word() {
    if (!Need(2)) return 0;
    const WORD v = static_cast<WORD>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  DWORD Dword() {
    const DWORD lo = Word();
    return lo | static_cast<DWORD>(Word()) << 16;
  }
  BYTE Byte() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
  bool Bytes(std::size_t n, std::vector<std::uint8_t>& out) {
    if (!Need(n)) return false;
    out.assign(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return true;
  }
  // Moves to the next multiple of 4 from the start of the input.
  bool AlignDword() {
    const std::size_t pad = (4 - pos_ % 4) % 4;
    if (!Need(pad)) return false;
    pos_ += pad;
    return true;
  }
  // A NUL-terminated UTF-16 string; the terminator must lie within the input.
  bool String(std::u16string& out) {
    out.clear();
    for (;;) {
      const WORD c = Word();
      if (!ok_) return false;
      if (c == 0) return true;
      out.push_back(static_cast<char16_t>(c));
    }
  }
  // sz_Or_Ord: 0xFFFF then an ordinal, or a NUL-terminated string (a lone 0x0000
  // is the empty string: no menu, the default class, no text).
  bool StringOrOrdinal(std::u16string& text, WORD& ordinal, bool* isOrdinal = nullptr) {
    text.clear();
    ordinal = 0;
    if (isOrdinal) *isOrdinal = false;
    if (!Need(2)) return false;
    if ((data_[pos_] | data_[pos_ + 1] << 8) == 0xFFFF) {
      pos_ += 2;
      ordinal = Word();
      if (isOrdinal) *isOrdinal = ok_;
      return ok_;
    }
    return String(text);
  }
  void Fail() { ok_ = false; }

 private:
  bool Need(std::size_t n) {
    if (!ok_ || n > size_ - pos_) ok_ = false;
    return ok_;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

const char16_t* PredefinedClass(WORD atom) {
  // The predefined control classes of dialog templates, by atom.
  switch (atom) {
    case 0x80:
      return u"Button";
    case 0x81:
      return u"Edit";
    case 0x82:
      return u"Static";
    case 0x83:
      return u"ListBox";
    case 0x84:
      return u"ScrollBar";
    case 0x85:
      return u"ComboBox";
    default:
      return nullptr;
  }
}

bool ParseItem(Reader& r, bool extended, DialogItem& item) {
  if (!r.AlignDword()) return false;  // each item starts on a DWORD boundary
  if (extended) {
    item.helpId = r.Dword();
    item.exStyle = r.Dword();
    item.style = r.Dword();
  } else {
    item.style = r.Dword();
    item.exStyle = r.Dword();
  }
  item.x = static_cast<short>(r.Word());
  item.y = static_cast<short>(r.Word());
  item.cx = static_cast<short>(r.Word());
  item.cy = static_cast<short>(r.Word());
  // DLGITEMTEMPLATEEX holds a DWORD id, DLGITEMTEMPLATE a WORD; controls use the low word.
  item.id = extended ? static_cast<WORD>(r.Dword() & 0xFFFF) : r.Word();
  if (!r.StringOrOrdinal(item.className, item.classOrdinal)) return false;
  if (item.classOrdinal != 0) {
    const char16_t* name = PredefinedClass(item.classOrdinal);
    if (name) item.className = name;
  }
  if (!r.StringOrOrdinal(item.text, item.textOrdinal)) return false;
  // The creation data: a byte count, then that many bytes.
  const WORD extra = r.Word();
  return r.ok() && r.Bytes(extra, item.creationData);
}

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr && size != 0) return std::nullopt;
  Reader r(data, size);
  DialogTemplate t;
  WORD count = 0;
  // DLGTEMPLATEEX begins with dlgVer 1 and signature 0xFFFF. The dialog manager
  // tells the two forms apart by these two WORDs alone, and so does this reader.
  const WORD first = r.Word(), second = r.Word();
  if (!r.ok()) return std::nullopt;
  if (first == 1 && second == 0xFFFF) {
    t.extended = true;
    t.helpId = r.Dword();
    t.exStyle = r.Dword();
    t.style = r.Dword();
  } else {
    t.style = first | static_cast<DWORD>(second) << 16;
    t.exStyle = r.Dword();
  }
  count = r.Word();
  t.x = static_cast<short>(r.Word());
  t.y = static_cast<short>(r.Word());
  t.cx = static_cast<short>(r.Word());
  t.cy = static_cast<short>(r.Word());
  if (!r.StringOrOrdinal(t.menu, t.menuOrdinal)) return std::nullopt;
  if (!r.StringOrOrdinal(t.className, t.classOrdinal)) return std::nullopt;
  if (!r.String(t.caption)) return std::nullopt;
  if (t.style & kDsSetFont) {
    t.pointSize = r.Word();
    if (t.extended) {
      t.weight = r.Word();
      t.italic = r.Byte();
      t.charset = r.Byte();
    }
    if (!r.String(t.fontName)) return std::nullopt;
  }
  // Each item needs at least its fixed part; refuse an absurd count before reserving.
  const std::size_t minItem = t.extended ? 24 + 6 : 18 + 6;
  if (count > r.left() / minItem + 1) return std::nullopt;
  t.items.resize(count);
  for (DialogItem& item : t.items) {
    if (!ParseItem(r, t.extended, item)) return std::nullopt;
  }
  return t;
}

std::optional<ResourceSet> ResourceSet::Parse(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr && size != 0) return std::nullopt;
  Reader r(data, size);
  ResourceSet set;
  std::set<std::tuple<WORD, std::u16string, WORD, std::u16string, WORD>> seen;
  bool first = true;
  while (r.left() > 0) {
    // RESOURCEHEADER: DataSize, HeaderSize, TYPE, NAME, padding to a DWORD,
    // DataVersion, MemoryFlags, LanguageId, Version, Characteristics; then the
    // data, padded to a DWORD.
    const std::size_t start = r.pos();
    const DWORD dataSize = r.Dword();
    const DWORD headerSize = r.Dword();
    ResourceEntry e;
    bool typeIsOrdinal = false, nameIsOrdinal = false;
    if (!r.StringOrOrdinal(e.typeName, e.typeOrdinal, &typeIsOrdinal)) return std::nullopt;
    if (!r.StringOrOrdinal(e.name, e.nameOrdinal, &nameIsOrdinal)) return std::nullopt;
    if (!r.AlignDword()) return std::nullopt;
    e.dataVersion = r.Dword();
    e.memoryFlags = r.Word();
    e.language = r.Word();
    e.version = r.Dword();
    e.characteristics = r.Dword();
    if (!r.ok() || r.pos() - start != headerSize) return std::nullopt;
    if (!r.Bytes(dataSize, e.data) || !r.AlignDword()) return std::nullopt;

    const bool nullEntry = typeIsOrdinal && e.typeOrdinal == 0 && nameIsOrdinal && e.nameOrdinal == 0 && dataSize == 0;
    if (first) {
      // A 32-bit .res file opens with an empty entry, which tells it from the 16-bit format.
      if (!nullEntry || headerSize != 32) return std::nullopt;
      first = false;
      continue;
    }
    // A string type or name of no characters is not a valid identifier.
    if ((!typeIsOrdinal && e.typeName.empty()) || (!nameIsOrdinal && e.name.empty())) return std::nullopt;
    // The linker refuses two resources of the same type, name and language.
    if (!seen.emplace(e.typeOrdinal, e.typeName, e.nameOrdinal, e.name, e.language).second) return std::nullopt;
    set.entries_.push_back(std::move(e));
  }
  if (first) return std::nullopt;  // empty input
  return set;
}

const std::vector<std::uint8_t>* ResourceSet::Find(WORD type, WORD id) const {
  for (const ResourceEntry& e : entries_) {
    if (e.typeName.empty() && e.typeOrdinal == type && e.name.empty() && e.nameOrdinal == id) return &e.data;
  }
  return nullptr;
}

const ResourceEntry* ResourceSet::Find(WORD type, WORD id, WORD language) const {
  for (const ResourceEntry& e : entries_) {
    if (e.typeName.empty() && e.typeOrdinal == type && e.name.empty() && e.nameOrdinal == id && e.language == language)
      return &e;
  }
  return nullptr;
}

std::optional<DialogTemplate> ResourceSet::Dialog(WORD id, WORD language) const {
  const ResourceEntry* e = Find(kRtDialog, id, language);
  if (!e) return std::nullopt;
  return ParseDialogTemplate(e->data.data(), e->data.size());
}

std::optional<std::u16string> ResourceSet::String(WORD id, WORD language) const {
  const ResourceEntry* e = Find(kRtString, static_cast<WORD>(id / 16 + 1), language);
  if (!e) return std::nullopt;
  Reader r(e->data.data(), e->data.size());
  for (unsigned i = 0; i < 16; ++i) {
    const WORD length = r.Word();
    std::u16string text;
    for (WORD k = 0; k < length && r.ok(); ++k) text.push_back(static_cast<char16_t>(r.Word()));
    if (!r.ok()) return std::nullopt;
    if (i == id % 16) {
      if (text.empty()) return std::nullopt;
      return text;
    }
  }
  return std::nullopt;
}

std::vector<WORD> ResourceSet::Languages(WORD type) const {
  std::vector<WORD> out;
  for (const ResourceEntry& e : entries_) {
    if (e.typeName.empty() && e.typeOrdinal == type && std::find(out.begin(), out.end(), e.language) == out.end())
      out.push_back(e.language);
  }
  return out;
}

std::optional<DialogTemplate> ResourceSet::Dialog(WORD id) const {
  const std::vector<std::uint8_t>* bytes = Find(kRtDialog, id);
  if (!bytes) return std::nullopt;
  return ParseDialogTemplate(bytes->data(), bytes->size());
}

}  // namespace kv27::sim
