// Dialog templates read from bytes: both layouts (DLGTEMPLATE and DLGTEMPLATEEX),
// ordinals and strings, creation data, and refusal of anything cut or overlong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/compiled_resources.h"
#include "sim/resources.h"

namespace kv27 {
namespace {

using sim::DialogTemplate;
using sim::ParseDialogTemplate;
using Bytes = std::vector<std::uint8_t>;

// Writes template fields little-endian.
struct Writer {
  Bytes b;
  Writer& W(std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  Writer& D(std::uint32_t v) { return W(v & 0xFFFF).W(v >> 16); }
  Writer& S(const std::u16string& s) {
    for (char16_t c : s) W(c);
    return W(0);
  }
  Writer& Ord(std::uint16_t v) { return W(0xFFFF).W(v); }
  Writer& Align() {
    while (b.size() % 4) b.push_back(0);
    return *this;
  }
};

// A plain DLGTEMPLATE with DS_SETFONT, a menu ordinal, and two items: a button
// by atom with a text, and a custom class with an ordinal text and creation data.
Bytes PlainTemplate() {
  Writer w;
  w.D(0x80C80040).D(0x00000100).W(2).W(1).W(2).W(100).W(50);  // style, exStyle, count, x, y, cx, cy
  w.Ord(7).W(0).S(u"Plain");                                  // menu 7, default class, caption
  w.W(8).S(u"Tahoma");                                        // point size and face (no weight/italic/charset)
  w.Align().D(0x50010000).D(0).W(5).W(6).W(40).W(12).W(1);    // style, exStyle, x, y, cx, cy, WORD id
  w.Ord(0x80).S(u"OK").W(0);
  w.Align().D(0x5000000E).D(0x4).W(7).W(8).W(9).W(10).W(0xFFFF);
  w.S(u"MyClass").Ord(129).W(3);
  w.b.insert(w.b.end(), {0xAA, 0xBB, 0xCC});
  return w.b;
}

TEST(DialogTemplate, ReadsThePlainLayout) {
  const Bytes b = PlainTemplate();
  const std::optional<DialogTemplate> t = ParseDialogTemplate(b.data(), b.size());
  ASSERT_TRUE(t.has_value());
  EXPECT_FALSE(t->extended);
  EXPECT_EQ(t->style, 0x80C80040u);
  EXPECT_EQ(t->exStyle, 0x100u);
  EXPECT_EQ(t->x, 1);
  EXPECT_EQ(t->cy, 50);
  EXPECT_EQ(t->menuOrdinal, 7);
  EXPECT_EQ(t->className, u"");
  EXPECT_EQ(t->caption, u"Plain");
  EXPECT_EQ(t->pointSize, 8);
  EXPECT_EQ(t->fontName, u"Tahoma");
  ASSERT_EQ(t->items.size(), 2u);
  EXPECT_EQ(t->items[0].className, u"Button");
  EXPECT_EQ(t->items[0].classOrdinal, 0x80);
  EXPECT_EQ(t->items[0].text, u"OK");
  EXPECT_EQ(t->items[0].id, 1);
  EXPECT_EQ(t->items[0].style, 0x50010000u);
  EXPECT_EQ(t->items[1].className, u"MyClass");
  EXPECT_EQ(t->items[1].textOrdinal, 129);
  EXPECT_EQ(t->items[1].text, u"");
  EXPECT_EQ(t->items[1].id, 0xFFFF);
  EXPECT_EQ(t->items[1].exStyle, 4u);
  EXPECT_EQ(t->items[1].x, 7);
  EXPECT_EQ(t->items[1].cy, 10);
  EXPECT_EQ(t->items[1].creationData, (Bytes{0xAA, 0xBB, 0xCC}));
}

TEST(DialogTemplate, ReadsPredefinedClassAtomsAndNoFontWithoutSetFont) {
  const std::pair<std::uint16_t, std::u16string> atoms[] = {
      {0x80, u"Button"},    {0x81, u"Edit"},     {0x82, u"Static"}, {0x83, u"ListBox"},
      {0x84, u"ScrollBar"}, {0x85, u"ComboBox"}, {0x86, u""},  // not a predefined class: the atom alone
  };
  for (const auto& [atom, name] : atoms) {
    Writer w;
    // DLGTEMPLATEEX without DS_SETFONT: no font fields follow the caption.
    w.W(1).W(0xFFFF).D(0).D(0).D(0x80C80000).W(1).W(0).W(0).W(10).W(10).W(0).W(0).S(u"");
    w.Align().D(0).D(0).D(0x50000000).W(0).W(0).W(5).W(5).D(0xFFFFFFFF).Ord(atom).S(u"").W(0);
    const auto t = ParseDialogTemplate(w.b.data(), w.b.size());
    ASSERT_TRUE(t.has_value()) << atom;
    EXPECT_EQ(t->fontName, u"");
    ASSERT_EQ(t->items.size(), 1u);
    EXPECT_EQ(t->items[0].className, name) << atom;
    EXPECT_EQ(t->items[0].classOrdinal, atom);
    EXPECT_EQ(t->items[0].id, 0xFFFF);  // IDC_STATIC (-1) as a DWORD
  }
}

TEST(DialogTemplate, EveryCutOfATemplateIsRefused) {
  // The last field of a template is the last item's creation data (or its
  // count), so no shorter prefix is a whole template.
  const auto [data, size] = res::CompiledResources();
  const auto set = sim::ResourceSet::Parse(data, size);
  ASSERT_TRUE(set.has_value());
  const Bytes* main = set->Find(sim::kRtDialog, 102);
  ASSERT_NE(main, nullptr);
  for (const Bytes& whole : {*main, PlainTemplate()}) {
    ASSERT_TRUE(ParseDialogTemplate(whole.data(), whole.size()).has_value());
    for (std::size_t n = 0; n < whole.size(); ++n) {
      EXPECT_FALSE(ParseDialogTemplate(whole.data(), n).has_value()) << n << " of " << whole.size();
    }
  }
}

TEST(DialogTemplate, RefusesCountsAndStringsThatRunPastTheEnd) {
  struct Case {
    const char* what;
    std::size_t at;  // WORD offset in PlainTemplate() to overwrite
    std::uint16_t value;
  };
  // Offsets into PlainTemplate(): 8 item count, 22 font size... (byte offsets).
  const Case cases[] = {
      {"item count beyond the data", 8, 3},
      {"item count of all ones", 8, 0xFFFF},
      {"creation data longer than the rest", PlainTemplate().size() - 5, 4},
  };
  for (const Case& c : cases) {
    Bytes b = PlainTemplate();
    b[c.at] = static_cast<std::uint8_t>(c.value);
    b[c.at + 1] = static_cast<std::uint8_t>(c.value >> 8);
    EXPECT_FALSE(ParseDialogTemplate(b.data(), b.size()).has_value()) << c.what;
  }
  // Strings without their terminator: the caption and font name of a template
  // that ends in the middle of them, filled with non-zero units.
  Writer w;
  w.D(0x80C80040).D(0).W(0).W(0).W(0).W(10).W(10).W(0).W(0);
  for (int i = 0; i < 40; ++i) w.W('x');
  EXPECT_FALSE(ParseDialogTemplate(w.b.data(), w.b.size()).has_value());
  EXPECT_FALSE(ParseDialogTemplate(nullptr, 0).has_value());
}

}  // namespace
}  // namespace kv27
