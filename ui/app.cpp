#include "ui/app.h"

#include <atomic>
#include <cstdint>

namespace kv27 {

namespace {
std::atomic<CWinApp*> g_app{nullptr};
}  // namespace

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCWSTR appName) {
  if (appName != nullptr) m_pszAppName = appName;
  CWinApp* expected = nullptr;
  g_app.compare_exchange_strong(expected, this);  // the first one is the application
}

CWinApp::~CWinApp() {
  CWinApp* self = this;
  g_app.compare_exchange_strong(self, nullptr);
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

void CWinApp::SetRegistryKey(LPCWSTR key) { m_pszRegistryKey = key != nullptr ? key : u""; }

HICON CWinApp::LoadIcon(UINT id) {
  return m_os->LoadIconW(m_os->GetModuleHandleW(nullptr), MAKEINTRESOURCEW(static_cast<WORD>(id)));
}

void CWinApp::OnHelp() {}

CWinApp* GetApp() { return g_app.load(); }

std::u16string BaseNameWithoutExtension(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"\\/");
  std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(u'.');
  if (dot != std::u16string::npos && dot > 0) name.resize(dot);
  return name;
}

int AppMain(OsApi& os) {
  CWinApp* app = GetApp();
  if (app == nullptr) return -1;
  app->m_os = &os;
  if (app->m_pszAppName.empty()) {
    WCHAR path[260] = {};
    const DWORD n = os.GetModuleFileNameW(nullptr, path, 260);
    app->m_pszAppName = BaseNameWithoutExtension(std::u16string(path, n < 260 ? n : 259));
  }
  if (!app->InitInstance()) return app->ExitInstance();
  // A program whose InitInstance returns true would run its message loop here;
  // dialog programs never do.
  return app->ExitInstance();
}

std::u16string LoadResourceString(OsApi& os, UINT id, LANGID language) {
  const HMODULE module = os.GetModuleHandleW(nullptr);
  const HRSRC block = os.FindResourceExW(module, MAKEINTRESOURCEW(kRtStringOrdinal),
                                         MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), language);
  if (block == nullptr) return {};
  const HGLOBAL loaded = os.LoadResource(module, block);
  const DWORD size = os.SizeofResource(module, block);
  const auto* bytes = static_cast<const std::uint8_t*>(loaded ? os.LockResource(loaded) : nullptr);
  if (bytes == nullptr) return {};
  // The units are little-endian WORDs; every length is checked against the block.
  std::size_t pos = 0;
  auto unit = [&](char16_t& out) {
    if (size - pos < 2) return false;
    out = static_cast<char16_t>(bytes[pos] | bytes[pos + 1] << 8);
    pos += 2;
    return true;
  };
  for (UINT index = 0; index < 16; ++index) {
    char16_t length = 0;
    if (!unit(length)) return {};
    std::u16string text;
    for (char16_t k = 0; k < length; ++k) {
      char16_t c = 0;
      if (!unit(c)) return {};
      text.push_back(c);
    }
    if (index == id % 16) return text;
  }
  return {};
}

}  // namespace kv27
