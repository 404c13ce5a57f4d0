// What the world lets a program open, as Windows does: the HID collections the
// system holds for its own use, and the share modes of ordinary files.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/hid_device.h"
#include "sim/world.h"

namespace kv27::sim {
namespace {

std::string Name(DWORD access) {
  std::string s;
  if (access & GENERIC_READ) s += "R";
  if (access & GENERIC_WRITE) s += "W";
  return s.empty() ? "0" : s;
}

// The mouse and keyboard collections (and pens and touch screens) open for
// attributes only; every other collection opens with whatever access it is
// asked for. A handle without access reads the attributes and the capabilities
// but cannot move a report.
TEST(WorldAccess, CollectionsTheSystemHoldsOpenOnlyWithoutAccess) {
  struct Case {
    const char* what;
    USAGE page, usage;
    bool held;
  };
  const Case cases[] = {
      {"pointer", 0x01, 0x01, true},
      {"mouse", 0x01, 0x02, true},
      {"keyboard", 0x01, 0x06, true},
      {"keypad", 0x01, 0x07, true},
      {"integrated pen", 0x0D, 0x02, true},
      {"touch screen", 0x0D, 0x04, true},
      {"game pad (shared)", 0x01, 0x05, false},
      {"consumer controls (shared)", 0x0C, 0x01, false},
      {"vendor collection", 0xFFB4, 0x01, false},
  };
  World world;
  HidDevice device(0x1234, 0x5678, 1);
  for (const Case& c : cases)
    device.Add(std::make_shared<HidCollection>(0x1234, 0x5678, 0x0100, MakeHidDescription(c.page, c.usage, 8, 8)));
  device.Attach(world);

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::u16string path = device.Path(i);
    for (DWORD access : {DWORD{0}, GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE}) {
      SCOPED_TRACE(std::string(c.what) + " opened with " + Name(access));
      HANDLE h = world.CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
      if (c.held && access != 0) {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(world.GetLastError(), ERROR_ACCESS_DENIED);
        continue;
      }
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      HIDD_ATTRIBUTES attributes{};
      EXPECT_TRUE(world.HidD_GetAttributes(h, &attributes));
      EXPECT_EQ(attributes.ProductID, 0x5678);
      PHIDP_PREPARSED_DATA data = nullptr;
      ASSERT_TRUE(world.HidD_GetPreparsedData(h, &data));
      HIDP_CAPS caps{};
      EXPECT_EQ(world.HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
      EXPECT_EQ(caps.UsagePage, c.page);
      EXPECT_TRUE(world.HidD_FreePreparsedData(data));
      if (access == 0) {
        std::uint8_t report[8] = {};
        OVERLAPPED ov{};
        EXPECT_FALSE(world.ReadFile(h, report, 8, nullptr, &ov));
        EXPECT_EQ(world.GetLastError(), ERROR_ACCESS_DENIED);
      }
      EXPECT_TRUE(world.CloseHandle(h));
    }
  }
  // A refused open reached no collection and left nothing open.
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (!cases[i].held) continue;
    for (const auto& open : device.Collection(i)->Opens()) EXPECT_EQ(open.access, 0u) << cases[i].what;
  }
  EXPECT_EQ(world.LeakReport(), "");
}

// A second open of a file is refused with ERROR_SHARING_VIOLATION when the
// handles already open do not share what it asks for, or when it does not
// share what they hold; handles without data access take no part. Once the
// first handle is closed the second open goes through. A refused CREATE_ALWAYS
// leaves the file as it was.
TEST(WorldAccess, SecondOpenOfAFileFollowsTheShareModes) {
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  struct Case {
    const char* what;
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    DWORD secondDisposition;
    bool refused;
  };
  const Case cases[] = {
      {"read held without sharing, read", R, 0, R, SR | SW, OPEN_EXISTING, true},
      {"read held sharing read, read sharing read", R, SR, R, SR, OPEN_EXISTING, false},
      {"read held sharing read, write", R, SR, W, SR | SW, OPEN_EXISTING, true},
      {"read held sharing all, write not sharing read", R, SR | SW, W, SW, OPEN_EXISTING, true},
      {"read held sharing all, write sharing all", R, SR | SW, W, SR | SW, OPEN_EXISTING, false},
      {"write held sharing read, read not sharing write", W, SR, R, SR, OPEN_EXISTING, true},
      {"write held sharing read, read sharing all", W, SR, R, SR | SW, OPEN_EXISTING, false},
      {"write held without sharing, rewrite", W, 0, W, 0, CREATE_ALWAYS, true},
      {"read held sharing read, rewrite", R, SR, W, SR, CREATE_ALWAYS, true},
      {"no access held without sharing, read and write", 0, 0, R | W, 0, OPEN_EXISTING, false},
      {"read held without sharing, no access", R, 0, 0, 0, OPEN_EXISTING, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World world;
    world.SetHostFiles(false);
    world.AddFile(u"C:\\fw\\image.bimg", {1, 2, 3});
    HANDLE first =
        world.CreateFileW(u"C:\\fw\\image.bimg", c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    // The same file, its name spelt in other cases.
    HANDLE second = world.CreateFileW(u"c:\\FW\\Image.BIMG", c.secondAccess, c.secondShare, nullptr,
                                      c.secondDisposition, 0, nullptr);
    if (c.refused) {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(world.GetLastError(), ERROR_SHARING_VIOLATION);
      EXPECT_EQ(world.FileBytes(u"C:\\fw\\image.bimg"), (std::vector<std::uint8_t>{1, 2, 3}));
      EXPECT_TRUE(world.CloseHandle(first));
      second = world.CreateFileW(u"c:\\FW\\Image.BIMG", c.secondAccess, c.secondShare, nullptr, c.secondDisposition, 0,
                                 nullptr);
      EXPECT_NE(second, INVALID_HANDLE_VALUE) << "once the first handle is closed";
    } else {
      EXPECT_NE(second, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(world.CloseHandle(first));
    }
    if (second != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(world.CloseHandle(second));
    }
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// Other files are not concerned, and a missing file is reported as missing,
// not as a sharing violation.
TEST(WorldAccess, ShareModesConcernOnlyTheSameFile) {
  World world;
  world.SetHostFiles(false);
  world.AddFile(u"C:\\fw\\a.bimg", {1});
  world.AddFile(u"C:\\fw\\b.bimg", {2});
  HANDLE a = world.CreateFileW(u"C:\\fw\\a.bimg", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  HANDLE b = world.CreateFileW(u"C:\\fw\\b.bimg", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.CreateFileW(u"C:\\fw\\a.bimg.bak", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(world.CloseHandle(a));
  EXPECT_TRUE(world.CloseHandle(b));
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::sim
