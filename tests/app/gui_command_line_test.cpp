// The dialog program's command line: splitting as the C runtime does, and the
// options with their mistakes.
#include "app/gui_command_line.h"

#include <gtest/gtest.h>

namespace kv27 {
namespace {

TEST(GuiCommandLineTest, SplitsLikeTheRuntime) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  } cases[] = {
      {u"", {}},
      {u"  a\t b  ", {u"a", u"b"}},
      {u"--simulate-log \"C:\\My Logs\\run 1.txt\"", {u"--simulate-log", u"C:\\My Logs\\run 1.txt"}},
      {u"\"C:\\dir\\\\\" x", {u"C:\\dir\\", u"x"}},  // 2n backslashes before a quote give n
      {u"a\\\\\\\"b", {u"a\\\"b"}},                  // 2n+1 give n and a literal quote
      {u"a\\b\\\\c", {u"a\\b\\\\c"}},                // backslashes elsewhere stay
      {u"\"say \"\"hi\"\"\"", {u"say \"hi\""}},
      {u"\"\"", {u""}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args);
}

TEST(GuiCommandLineTest, Options) {
  auto plain = ParseGuiCommandLine(u"");
  EXPECT_EQ(plain.simulate, nullptr);
  EXPECT_FALSE(plain.help);
  EXPECT_TRUE(plain.error.empty());

  auto ok = ParseGuiCommandLine(u"--simulate");
  ASSERT_NE(ok.simulate, nullptr);
  EXPECT_STREQ(ok.simulate->name, "ok");

  auto erase = ParseGuiCommandLine(u"--simulate=erase-fails --simulate-log \"C:\\t\\log 1.txt\"");
  ASSERT_NE(erase.simulate, nullptr);
  EXPECT_STREQ(erase.simulate->name, "erase-fails");
  EXPECT_EQ(erase.logPath, u"C:\\t\\log 1.txt");
  EXPECT_TRUE(erase.error.empty());
  EXPECT_EQ(ParseGuiCommandLine(u"--simulate --simulate-log=x.txt").logPath, u"x.txt");
  EXPECT_TRUE(ParseGuiCommandLine(u"--help").help);
  // --capture, on the real devices or simulated ones.
  EXPECT_EQ(ParseGuiCommandLine(u"--capture \"C:\\t\\run 1.pcapng\"").capturePath, u"C:\\t\\run 1.pcapng");
  auto captured = ParseGuiCommandLine(u"--simulate=erase-fails --capture=x.pcapng fw.bimg");
  EXPECT_EQ(captured.capturePath, u"x.pcapng");
  EXPECT_EQ(captured.imagePath, u"fw.bimg");
  EXPECT_TRUE(captured.error.empty());
  EXPECT_FALSE(captured.captureOverwrite);  // an existing capture file is refused
  EXPECT_TRUE(ParseGuiCommandLine(u"--capture x.pcapng --capture-overwrite").captureOverwrite);

  EXPECT_FALSE(plain.language.has_value());  // the user's UI language decides
  EXPECT_EQ(ParseGuiCommandLine(u"--lang=en").language, UiLanguage::English);
  EXPECT_EQ(ParseGuiCommandLine(u"--simulate --lang=zh a.bimg").language, UiLanguage::Chinese);
  EXPECT_EQ(ParseGuiCommandLine(u"--simulate --lang=zh a.bimg").imagePath, u"a.bimg");

  for (const char16_t* wrong :
       {u"--simulate=nothing", u"--simulate --simulate-log", u"--simulate --simulate-log=", u"--simulate-log x.txt",
        u"--capture", u"--capture=", u"--simulate --capture", u"--capture-overwrite", u"--fast", u"-x image.bimg",
        u"/x", u"a.bimg b.bimg", u"\"C:\\fw\\a.bimg\" --simulate b.bimg", u"\"\"", u"--lang=fr", u"--lang=",
        u"--lang zh"}) {
    SCOPED_TRACE(std::string(wrong, wrong + std::char_traits<char16_t>::length(wrong)));
    EXPECT_FALSE(ParseGuiCommandLine(wrong).error.empty());
  }
}

// One bare argument is the image: a file dropped on the program or opened
// with it (a full path, quoted when it holds blanks), beside the options in
// any order.
TEST(GuiCommandLineTest, OneBareArgumentIsTheImage) {
  struct Case {
    std::u16string line;
    std::u16string image;
    const char* scenario;  // null: the real devices
  } cases[] = {
      {u"\"C:\\Users\\me\\Downloads\\N4 v2.bimg\"", u"C:\\Users\\me\\Downloads\\N4 v2.bimg", nullptr},
      {u"image.bimg", u"image.bimg", nullptr},
      {u"--simulate=write-fails D:\\fw.bimg", u"D:\\fw.bimg", "write-fails"},
      {u"D:\\fw.bimg --simulate", u"D:\\fw.bimg", "ok"},
      {u"--simulate", u"", "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line.begin(), c.line.end()));
    const GuiCommandLine parsed = ParseGuiCommandLine(c.line);
    EXPECT_TRUE(parsed.error.empty());
    EXPECT_EQ(parsed.imagePath, c.image);
    if (c.scenario == nullptr) {
      EXPECT_EQ(parsed.simulate, nullptr);
    } else {
      ASSERT_NE(parsed.simulate, nullptr);
      EXPECT_STREQ(parsed.simulate->name, c.scenario);
    }
  }
}

TEST(GuiCommandLineTest, UsageListsEveryScenario) {
  const std::u16string usage = GuiUsage();
  for (const auto& s : Scenarios()) {
    std::string name = s.name;
    EXPECT_NE(usage.find(u"  " + std::u16string(name.begin(), name.end()) + u" "), std::u16string::npos) << name;
  }
}

}  // namespace
}  // namespace kv27
