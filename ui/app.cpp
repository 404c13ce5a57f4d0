#include "ui/app.h"

#include <atomic>

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

}  // namespace kv27
