// The dialog program as shipped (Windows builds): a 32-bit GUI-subsystem file
// that needs no MinGW runtime DLLs, carrying its manifest, icon and version
// record. Reads the built KV27MFirmwareUpdate.exe beside this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::wstring ProgramPath() {
  wchar_t self[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"KV27MFirmwareUpdate.exe";
}

std::string ResourceText(HMODULE module, WORD type, WORD id) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
  if (!found) return {};
  HGLOBAL loaded = LoadResource(module, found);
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  return bytes ? std::string(bytes, SizeofResource(module, found)) : std::string();
}

TEST(ProgramFileTest, IsAStatic32BitGuiProgram) {
  std::ifstream in(ProgramPath(), std::ios::binary);
  ASSERT_TRUE(in) << "the program was not built beside the test";
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 0x200u);
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(std::uint8_t(file[at]) | std::uint8_t(file[at + 1]) << 8);
  };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  std::size_t pe = u32(0x3C);
  ASSERT_EQ(std::string(&file[pe], 4), std::string("PE\0\0", 4));
  EXPECT_EQ(u16(pe + 4), 0x14Cu);  // IMAGE_FILE_MACHINE_I386
  std::size_t optional = pe + 24;
  EXPECT_EQ(u16(optional), 0x10Bu);                                      // PE32
  EXPECT_EQ(u16(optional + 68), unsigned(IMAGE_SUBSYSTEM_WINDOWS_GUI));  // no console window
  const std::string bytes(file.begin(), file.end());
  for (const char* dll : {"libstdc++-6.dll", "libgcc_s_dw2-1.dll", "libwinpthread-1.dll"})
    EXPECT_EQ(bytes.find(dll), std::string::npos) << dll;
}

TEST(ProgramFileTest, CarriesItsManifestIconAndVersion) {
  HMODULE module = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  const std::string manifest = ResourceText(module, 24, 1);  // RT_MANIFEST, the process's own
  ASSERT_FALSE(manifest.empty());
  // Without asInvoker, Windows would run a program named "...Update" elevated.
  EXPECT_NE(manifest.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("<dpiAware"), std::string::npos);
  EXPECT_NE(manifest.find("supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\""), std::string::npos);
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(128), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)), nullptr);    // RT_VERSION
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(5)), nullptr);   // the dialog
  FreeLibrary(module);
}

}  // namespace
