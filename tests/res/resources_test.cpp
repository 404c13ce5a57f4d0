// The program's compiled resources: the main dialog as designed, the icon and
// indicator bitmaps well-formed, the version record, the committed art equal to
// what the generator draws, and a .res reader that refuses damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "res/compiled_resources.h"
#include "res/resource.h"
#include "res/ui_text.h"
#include "sim/resources.h"
#include "tools/mkart/art.h"

namespace kv27 {
namespace {

using sim::DialogItem;
using sim::DialogTemplate;
using sim::ResourceSet;
using Bytes = std::vector<std::uint8_t>;
using w32::DWORD;
using w32::WORD;

// Win32 style values, written out here so that a wrong value in the resource
// script's own definitions shows.
constexpr DWORD kPopup = 0x80000000, kChild = 0x40000000, kVisible = 0x10000000, kDisabled = 0x08000000,
                kCaption = 0x00C00000, kBorder = 0x00800000, kSysMenu = 0x00080000, kGroup = 0x00020000,
                kTabStop = 0x00010000;
constexpr DWORD kDsModalFrame = 0x80, kDsSetFont = 0x40, kDsFixedSys = 0x08;
constexpr DWORD kExAppWindow = 0x00040000;
constexpr DWORD kSsRight = 0x2, kSsBitmap = 0xE, kEsAutoHScroll = 0x80, kEsReadOnly = 0x800;

Bytes Compiled() {
  const auto [data, size] = res::CompiledResources();
  return Bytes(data, data + size);
}

const ResourceSet& Resources() {
  static const std::optional<ResourceSet> set = [] {
    const Bytes b = Compiled();
    return ResourceSet::Parse(b.data(), b.size());
  }();
  static const ResourceSet none;
  EXPECT_TRUE(set.has_value()) << "the compiled resources do not parse";
  return set ? *set : none;
}

std::uint32_t U32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t U16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }

Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | (c >> 6 & 0x3F)),
          out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The template's texts in one language, in control order (the edit, the
// progress bar and the bitmap have none).
struct TemplateTexts {
  WORD language;
  const char* caption;
  const char* texts[10];
};
// Simplified Chinese exactly as the program has always shown it, and English
// fitted to the same controls.
const TemplateTexts kTemplateTexts[] = {
    {0x0804,
     "N4工程师鼠标固件升级软件 v1.0",
     {"固件升级镜像：", "", "选择镜像文件", "", "固件升级",
      "操作说明：\n1. 保证电脑只连接一个USB 设备；\n2. 在固件升级过程中不要插拔USB 设备；", "USB设备：", "", "0%",
      "固件升级进度："}},
    {0x0409,
     "N4 Engineer Mouse Firmware Upgrade v1.0",
     {"Image file:", "", "Choose image", "", "Upgrade",
      "Instructions:\n1. Make sure only one USB device is connected to the computer.\n2. Do not plug or unplug USB "
      "devices during the firmware upgrade.",
      "USB device:", "", "0%", "Progress:"}},
};

TEST(CompiledResources, MainDialogIsLaidOutAsDesigned) {
  // Exactly the two languages, and the same layout in each.
  EXPECT_EQ(Resources().Languages(sim::kRtDialog), (std::vector<WORD>{0x0409, 0x0804}));
  for (const TemplateTexts& language : kTemplateTexts) {
    SCOPED_TRACE("language " + std::to_string(language.language));
    const std::optional<DialogTemplate> dlg = Resources().Dialog(102, language.language);
    ASSERT_TRUE(dlg.has_value());
    EXPECT_TRUE(dlg->extended);
    EXPECT_EQ(Utf8(dlg->caption), language.caption);
    EXPECT_EQ(dlg->cx, 319);
    EXPECT_EQ(dlg->cy, 120);
    EXPECT_EQ(Utf8(dlg->fontName), "MS Shell Dlg");
    EXPECT_EQ(dlg->pointSize, 9);
    EXPECT_EQ(dlg->style, kPopup | kVisible | kCaption | kSysMenu | kDsModalFrame | kDsSetFont | kDsFixedSys);
    EXPECT_EQ(dlg->exStyle, kExAppWindow);
    EXPECT_EQ(dlg->menu, u"");
    EXPECT_EQ(dlg->menuOrdinal, 0);
    EXPECT_EQ(dlg->className, u"");

    struct Control {
      WORD id;
      const char* cls;
      const char* text;
      WORD image;
      DWORD style;  // beyond child and visible
      short x, y, cx, cy;
    };
    const Control expected[] = {
        {0xFFFF, "static", "固件升级镜像：", 0, kGroup, 20, 70, 50, 8},
        {1000, "edit", "", 0, kBorder | kTabStop | kEsReadOnly | kEsAutoHScroll, 75, 67, 150, 14},
        {1001, "button", "选择镜像文件", 0, kTabStop, 235, 67, 60, 14},
        {1002, "msctls_progress32", "", 0, kBorder, 75, 87, 130, 14},
        {1003, "button", "固件升级", 0, kTabStop | kDisabled, 235, 87, 60, 14},
        {0xFFFF, "static", "操作说明：\n1. 保证电脑只连接一个USB 设备；\n2. 在固件升级过程中不要插拔USB 设备；", 0,
         kGroup, 20, 15, 275, 32},
        {0xFFFF, "static", "USB设备：", 0, kGroup, 20, 50, 50, 8},
        {1007, "static", "", 129, kSsBitmap, 75, 49, 10, 10},
        {1004, "static", "0%", 0, kGroup | kSsRight, 205, 89, 20, 8},
        {0xFFFF, "static", "固件升级进度：", 0, kGroup, 20, 90, 50, 8},
    };
    ASSERT_EQ(dlg->items.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
      const Control& want = expected[i];
      const DialogItem& got = dlg->items[i];
      SCOPED_TRACE("control " + std::to_string(i) + " (" + want.text + ")");
      EXPECT_EQ(got.id, want.id);
      // Window class names are case-insensitive; resource compilers may store them upper-cased.
      EXPECT_EQ(Lower(Utf8(got.className)), want.cls);
      EXPECT_EQ(Utf8(got.text), language.texts[i]);
      if (language.language == 0x0804) {
        EXPECT_EQ(Utf8(got.text), want.text);
      }
      EXPECT_EQ(got.textOrdinal, want.image);
      EXPECT_EQ(got.style, kChild | kVisible | want.style);
      EXPECT_EQ(got.exStyle, 0u);
      EXPECT_EQ(got.x, want.x);
      EXPECT_EQ(got.y, want.y);
      EXPECT_EQ(got.cx, want.cx);
      EXPECT_EQ(got.cy, want.cy);
      EXPECT_TRUE(got.creationData.empty());
    }
  }
}

// BITMAPINFOHEADER at the start of `b`; returns the bytes the header and the
// pixel rows take (rows padded to 4 bytes), 0 if the header is not a plain one.
std::size_t CheckInfoHeader(const Bytes& b, int width, int height, int bits) {
  if (b.size() < 40) return 0;
  EXPECT_EQ(U32(b, 0), 40u);
  EXPECT_EQ(static_cast<int>(U32(b, 4)), width);
  EXPECT_EQ(static_cast<int>(U32(b, 8)), height);
  EXPECT_EQ(U16(b, 12), 1);  // planes
  EXPECT_EQ(U16(b, 14), bits);
  EXPECT_EQ(U32(b, 16), 0u);  // BI_RGB
  EXPECT_EQ(U32(b, 32), 0u);  // no colour table
  return 40 + static_cast<std::size_t>((width * bits + 31) / 32 * 4) * static_cast<std::size_t>(height);
}

// Every string of the table in both languages, nothing more, and each the text
// the console programs carry for it: a string missing in one language would
// leave the dialog without its message there.
TEST(CompiledResources, StringTablesHoldEveryTextInBothLanguages) {
  const std::vector<unsigned> ids = UiTextIds();
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(Resources().Languages(sim::kRtString), (std::vector<WORD>{0x0409, 0x0804}));
  for (const auto& [language, langId] :
       {std::pair{UiLanguage::Chinese, WORD{0x0804}}, std::pair{UiLanguage::English, WORD{0x0409}}}) {
    std::vector<unsigned> present;
    for (const sim::ResourceEntry& e : Resources().entries()) {
      if (e.typeOrdinal != sim::kRtString || e.language != langId) continue;
      for (unsigned i = 0; i < 16; ++i) {
        const unsigned id = (e.nameOrdinal - 1u) * 16 + i;
        if (Resources().String(static_cast<WORD>(id), langId)) present.push_back(id);
      }
    }
    EXPECT_EQ(present, ids) << "language " << langId;
    for (unsigned id : ids) {
      SCOPED_TRACE("string " + std::to_string(id) + " in " + std::to_string(langId));
      const std::optional<std::u16string> text = Resources().String(static_cast<WORD>(id), langId);
      ASSERT_TRUE(text.has_value());
      EXPECT_EQ(*text, UiText(language, id));
    }
  }
  // The two languages differ wherever the text is language at all.
  for (unsigned id : ids) {
    if (id == IDS_IMAGE_FILTER || id == IDS_COUNTDOWN) continue;
    EXPECT_NE(std::u16string(UiText(UiLanguage::Chinese, id)), UiText(UiLanguage::English, id)) << id;
  }
  // The caption in the table is the template's.
  for (const TemplateTexts& t : kTemplateTexts) {
    const UiLanguage language = t.language == 0x0804 ? UiLanguage::Chinese : UiLanguage::English;
    EXPECT_EQ(Utf8(UiText(language, IDS_CAPTION)), t.caption);
  }
}

// The English texts must fit the controls the Chinese ones were laid out for.
// A dialog unit is a quarter of the dialog font's average character width, so
// a line of n average characters needs about 4n units; push buttons keep a
// margin of about 3 units on each side.
TEST(CompiledResources, EnglishTemplateTextsFitTheirControls) {
  const std::optional<DialogTemplate> dlg = Resources().Dialog(102, 0x0409);
  ASSERT_TRUE(dlg.has_value());
  for (const DialogItem& item : dlg->items) {
    std::size_t longest = 0, lines = 0, start = 0;
    const std::u16string& text = item.text;
    if (text.empty()) continue;
    while (start <= text.size()) {
      std::size_t end = text.find(u'\n', start);
      if (end == std::u16string::npos) end = text.size();
      longest = std::max(longest, end - start);
      ++lines;
      start = end + 1;
    }
    const bool button = Lower(Utf8(item.className)) == "button";
    SCOPED_TRACE(Utf8(text));
    EXPECT_LE(longest * 4 + (button ? 6 : 0), static_cast<std::size_t>(item.cx));
    EXPECT_LE(lines * 8, static_cast<std::size_t>(item.cy));
  }
}

TEST(CompiledResources, IndicatorBitmapsAreSmall24BitImages) {
  for (WORD id : {129, 130}) {
    SCOPED_TRACE(id);
    const Bytes* bmp = Resources().Find(sim::kRtBitmap, id);
    ASSERT_NE(bmp, nullptr);
    // 10 x 10 dialog units at 96 dpi with the dialog's font.
    EXPECT_EQ(bmp->size(), CheckInfoHeader(*bmp, 15, 16, 24));
  }
  EXPECT_NE(*Resources().Find(sim::kRtBitmap, 129), *Resources().Find(sim::kRtBitmap, 130));
}

TEST(CompiledResources, IconGroupPointsAtPresentIconImages) {
  const Bytes* group = Resources().Find(sim::kRtGroupIcon, 128);
  ASSERT_NE(group, nullptr);
  // GRPICONDIR: reserved, type 1, count; then 14-byte GRPICONDIRENTRYs ending in the RT_ICON id.
  ASSERT_GE(group->size(), 6u);
  EXPECT_EQ(U16(*group, 0), 0);
  EXPECT_EQ(U16(*group, 2), 1);
  const std::size_t count = U16(*group, 4);
  ASSERT_EQ(group->size(), 6 + 14 * count);
  std::vector<int> sizes;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e = 6 + 14 * i;
    const int w = (*group)[e], h = (*group)[e + 1];
    SCOPED_TRACE(w);
    sizes.push_back(w);
    EXPECT_EQ(h, w);
    EXPECT_EQ(U16(*group, e + 4), 1);   // planes
    EXPECT_EQ(U16(*group, e + 6), 32);  // bits per pixel
    const Bytes* image = Resources().Find(sim::kRtIcon, U16(*group, e + 12));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), U32(*group, e + 8));
    // A 32-bit image of double height (colour rows, then the 1-bit AND mask).
    const std::size_t mask = static_cast<std::size_t>((w + 31) / 32 * 4 * h);
    EXPECT_EQ(image->size(), CheckInfoHeader(*image, w, 2 * h, 32) - static_cast<std::size_t>(w * h * 4) + mask);
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 32}));
}

TEST(CompiledResources, VersionRecordNamesTheProgram) {
  const Bytes* ver = Resources().Find(sim::kRtVersion, 1);
  ASSERT_NE(ver, nullptr);
  auto has = [&](const std::u16string& s) {
    Bytes needle;
    for (char16_t c : s) needle.insert(needle.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
    return std::search(ver->begin(), ver->end(), needle.begin(), needle.end()) != ver->end();
  };
  EXPECT_TRUE(has(u"KV27M Firmware Update"));
  EXPECT_TRUE(has(u"KV27MFirmwareUpdate.exe"));
  // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key, DWORD-aligned: signature, structure
  // version, then the file version 1.0.0.0.
  ASSERT_GE(ver->size(), 40u + 52u);
  const std::size_t fixed = 40;  // 6-byte header + 32-byte key, padded to 40
  EXPECT_EQ(U32(*ver, fixed), 0xFEEF04BDu);
  EXPECT_EQ(U32(*ver, fixed + 8), 0x00010000u);
  EXPECT_EQ(U32(*ver, fixed + 12), 0u);
}

TEST(CompiledResources, CarryTheCommittedArtWhichTheGeneratorReproduces) {
  const std::filesystem::path res = std::filesystem::path(KV_SOURCE_DIR) / "res";
  for (const art::ArtFile& f : art::AllArtFiles()) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(ReadFile(res / f.name), f.bytes) << "regenerate with scripts/make-art.sh";
  }
  // The resource compiler keeps a bitmap file without its 14-byte file header.
  const Bytes absent = ReadFile(res / "mouse_absent.bmp"), present = ReadFile(res / "mouse_present.bmp");
  ASSERT_GT(absent.size(), 14u);
  ASSERT_GT(present.size(), 14u);
  EXPECT_EQ(*Resources().Find(sim::kRtBitmap, 129), Bytes(absent.begin() + 14, absent.end()));
  EXPECT_EQ(*Resources().Find(sim::kRtBitmap, 130), Bytes(present.begin() + 14, present.end()));
}

// ------------------------------------------------------------------ damaged .res files

TEST(ResFileReader, EveryCutOfTheFileIsRefusedOrReadsLessOfIt) {
  const Bytes full = Compiled();
  ASSERT_EQ(full.size() % 4, 0u);
  const std::size_t all = Resources().entries().size();
  std::size_t accepted = 0;
  for (std::size_t n = 0; n < full.size(); ++n) {
    const auto set = ResourceSet::Parse(full.data(), n);
    if (!set) continue;
    ++accepted;  // only a cut between two whole records reads, and it reads fewer of them
    EXPECT_LT(set->entries().size(), all) << n;
    EXPECT_EQ(n % 4, 0u) << n;
  }
  // One cut per record boundary after the leading empty record.
  EXPECT_EQ(accepted, all);
}

// Offset of the header of record `index` (0 is the leading empty record).
std::size_t RecordOffset(const Bytes& b, std::size_t index) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < index; ++i) at += (U32(b, at + 4) + U32(b, at) + 3) / 4 * 4;
  return at;
}

TEST(ResFileReader, RefusesCorruptedRecords) {
  const Bytes good = Compiled();
  const std::size_t second = RecordOffset(good, 1);
  auto put32 = [](Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
  };
  const Case cases[] = {
      {"data size past the end", [&](Bytes& b) { put32(b, second, 0x7FFFFFF0); }},
      {"data size of all ones", [&](Bytes& b) { put32(b, second, 0xFFFFFFFF); }},
      {"header size larger than its fields", [&](Bytes& b) { put32(b, second + 4, U32(b, second + 4) + 4); }},
      {"header size smaller than its fields", [&](Bytes& b) { put32(b, second + 4, 8); }},
      {"header size of all ones", [&](Bytes& b) { put32(b, second + 4, 0xFFFFFFFF); }},
      {"no leading empty record", [&](Bytes& b) { b.erase(b.begin(), b.begin() + 32); }},
      {"a 16-bit file's first byte", [&](Bytes& b) { b[0] = 0xFF; }},
      {"unterminated type name",
       [&](Bytes& b) {
         b.resize(second + 8);
         for (int i = 0; i < 64; ++i) b.push_back('A');
       }},
      {"the same resource twice",
       [&](Bytes& b) {
         const std::size_t end = RecordOffset(b, 2);
         b.insert(b.end(), b.begin() + static_cast<std::ptrdiff_t>(second),
                  b.begin() + static_cast<std::ptrdiff_t>(end));
       }},
      {"stray bytes after the last record",
       [&](Bytes& b) {
         b.insert(b.end(), {0, 0, 0, 0});
       }},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    EXPECT_FALSE(ResourceSet::Parse(b.data(), b.size()).has_value()) << c.what;
  }
  EXPECT_FALSE(ResourceSet::Parse(nullptr, 0).has_value());
}

// Random damage must never make the reader step outside its input (the
// sanitizer builds catch any stray read); what it accepts stays within it.
TEST(ResFileReader, SurvivesRandomDamage) {
  const Bytes good = Compiled();
  std::mt19937 rng(27);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    const auto set = ResourceSet::Parse(b.data(), b.size());
    if (!set) continue;
    std::size_t total = 0;
    for (const auto& e : set->entries()) {
      total += e.data.size();
      if (e.typeOrdinal == sim::kRtDialog) (void)sim::ParseDialogTemplate(e.data.data(), e.data.size());
    }
    EXPECT_LE(total, b.size());
  }
  // The dialog template alone, damaged in place.
  const Bytes* dialog = Resources().Find(sim::kRtDialog, 102);
  ASSERT_NE(dialog, nullptr);
  for (int round = 0; round < 3000; ++round) {
    Bytes d = *dialog;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) d[rng() % d.size()] = static_cast<std::uint8_t>(rng());
    const auto t = sim::ParseDialogTemplate(d.data(), d.size());
    if (t) {
      EXPECT_LE(t->items.size(), d.size() / 24);
    }
  }
}

}  // namespace
}  // namespace kv27
