// Windows builds: the program's string table as the program reads it, through
// the real resource calls (FindResourceExW, LoadResource, LockResource,
// SizeofResource) on the linked resource object: every text in both
// languages, equal to the built-in table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/os_api.h"
#include "res/ui_text.h"
#include "ui/app.h"

namespace kv27 {
namespace {

TEST(LinkedStrings, EveryTextInBothLanguagesThroughTheRealResourceCalls) {
  std::unique_ptr<w32::OsApi> os = w32::MakeRealOsApi();
  ASSERT_NE(os, nullptr);
  EXPECT_NE(os->GetUserDefaultUILanguage(), 0);
  for (const UiLanguage language : {UiLanguage::Chinese, UiLanguage::English}) {
    for (unsigned id : UiTextIds()) {
      SCOPED_TRACE("string " + std::to_string(id) + " in " + std::to_string(LangIdOf(language)));
      EXPECT_EQ(LoadResourceString(*os, id, LangIdOf(language)), UiText(language, id));
    }
  }
}

}  // namespace
}  // namespace kv27
