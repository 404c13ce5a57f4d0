// The dialog program as shipped (Windows builds): a GUI-subsystem file of the
// build's architecture (PE32 for x86, the product; PE32+ for x86-64) that needs
// no MinGW runtime DLLs, carrying its manifest, icon and version
// record. Reads the built KV27MFirmwareUpdate.exe beside this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
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

TEST(ProgramFileTest, IsAStaticGuiProgramOfItsArchitecture) {
  std::ifstream in(std::filesystem::path(ProgramPath()), std::ios::binary);
  ASSERT_TRUE(in) << "the program was not built beside the test";
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 0x200u);
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(std::uint8_t(file[at]) | std::uint8_t(file[at + 1]) << 8);
  };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  std::size_t pe = u32(0x3C);
  ASSERT_EQ(std::string(&file[pe], 4), std::string("PE\0\0", 4));
  constexpr bool k64 = sizeof(void*) == 8;
  EXPECT_EQ(u16(pe + 4), k64 ? 0x8664u : 0x14Cu);  // IMAGE_FILE_MACHINE_AMD64 / _I386
  std::size_t optional = pe + 24;
  ASSERT_EQ(u16(optional), k64 ? 0x20Bu : 0x10Bu);                       // PE32+ / PE32
  EXPECT_EQ(u16(optional + 68), unsigned(IMAGE_SUBSYSTEM_WINDOWS_GUI));  // no console window
  // The data directories follow the optional header's fixed part, which PE32+
  // makes 16 bytes longer (64-bit image base and stack and heap sizes).
  const std::size_t importDirectory = optional + (k64 ? 120 : 104);
  // The DLLs it imports: system ones only, no MinGW runtime to ship beside it.
  std::size_t sections = optional + u16(pe + 20);
  auto fileOffset = [&](std::size_t rva) -> std::size_t {
    for (unsigned i = 0; i < u16(pe + 6); ++i) {
      std::size_t h = sections + i * 40;
      std::size_t va = u32(h + 12), size = u32(h + 8), raw = u32(h + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return 0;
  };
  std::vector<std::string> imports;
  for (std::size_t d = fileOffset(u32(importDirectory)); d && u32(d + 12) != 0; d += 20) {
    std::string name(&file[fileOffset(u32(d + 12))]);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    imports.push_back(name);
  }
  EXPECT_FALSE(imports.empty());
  for (const auto& dll : imports) {
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos) << dll;
  }
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
