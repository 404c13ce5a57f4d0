// Windows builds: the resource object the program links (kv_res_rc) carries the
// same resources as the compiled .res the other tests read, and the system loads
// the bitmaps and the icon from it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/res/res_entries.h"

namespace kv27 {
namespace {

TEST(LinkedResources, MatchTheCompiledResourcesByteForByte) {
  const std::vector<testing::ResEntry> entries = testing::CompiledResEntries();
  ASSERT_FALSE(entries.empty());
  for (const testing::ResEntry& e : entries) {
    ASSERT_TRUE(e.numeric) << "all our resources have numeric types and ids";
    SCOPED_TRACE("type " + std::to_string(e.type) + " id " + std::to_string(e.id));
    HRSRC found = FindResourceExW(nullptr, MAKEINTRESOURCEW(e.type), MAKEINTRESOURCEW(e.id), e.language);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(SizeofResource(nullptr, found), e.data.size());
    HGLOBAL loaded = LoadResource(nullptr, found);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(std::memcmp(LockResource(loaded), e.data.data(), e.data.size()), 0);
  }
}

TEST(LinkedResources, SystemLoadsTheIndicatorBitmapsAndTheIcon) {
  const HINSTANCE self = GetModuleHandleW(nullptr);
  for (WORD id : {129, 130}) {
    HBITMAP bmp = static_cast<HBITMAP>(LoadImageW(self, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(bmp, nullptr) << id;
    BITMAP info{};
    ASSERT_EQ(GetObjectW(bmp, sizeof info, &info), static_cast<int>(sizeof info));
    EXPECT_EQ(info.bmWidth, 15);
    EXPECT_EQ(info.bmHeight, 16);
    DeleteObject(bmp);
  }
  for (int px : {16, 32}) {
    HICON icon = static_cast<HICON>(LoadImageW(self, MAKEINTRESOURCEW(128), IMAGE_ICON, px, px, 0));
    ASSERT_NE(icon, nullptr) << px;
    DestroyIcon(icon);
  }
}

}  // namespace
}  // namespace kv27
