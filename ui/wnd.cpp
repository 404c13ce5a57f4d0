#include "ui/wnd.h"

#include <vector>

#include "ui/app.h"

namespace kv27 {

// ---------------------------------------------------------------- message maps

namespace {
const MsgMapEntry kNoEntries[] = {{0, 0, 0, nullptr}};
const MsgMap kRootMap = {nullptr, kNoEntries};
}  // namespace

const MsgMap* CCmdTarget::GetThisMessageMap() { return &kRootMap; }

const MsgMapEntry* CCmdTarget::FindEntry(UINT message, UINT code, UINT id) const {
  for (const MsgMap* map = GetMessageMap(); map != nullptr; map = map->base ? map->base() : nullptr) {
    for (const MsgMapEntry* e = map->entries; e->handler != nullptr; ++e) {
      if (e->message != message) continue;
      if (message == WM_COMMAND && (e->code != code || e->id != id)) continue;
      return e;
    }
  }
  return nullptr;
}

bool CCmdTarget::OnCmdMsg(UINT id, UINT code, LRESULT* result) {
  const MsgMapEntry* e = FindEntry(WM_COMMAND, code, id);
  if (e == nullptr) return false;
  LRESULT r = e->handler(this, MAKEWPARAM(static_cast<WORD>(id), static_cast<WORD>(code)), 0);
  if (result) *result = r;
  return true;
}

const MsgMap* CWnd::GetThisMessageMap() { return CCmdTarget::GetThisMessageMap(); }

// ---------------------------------------------------------------- attach

bool CWnd::Attach(HWND window) {
  if (window == nullptr || m_hWnd != nullptr) return false;
  m_hWnd = window;
  return true;
}

HWND CWnd::Detach() {
  HWND window = m_hWnd;
  m_hWnd = nullptr;
  return window;
}

// ---------------------------------------------------------------- routing

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // A handler may pump messages (a message box does), so the message being
  // handled is saved around the dispatch.
  const CurrentMessage saved = m_current;
  m_current = {message, wParam, lParam};
  LRESULT result = 0;
  if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
  m_current = saved;
  return result;
}

bool CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message == WM_COMMAND) return OnCommand(wParam, lParam, result);
  const MsgMapEntry* e = FindEntry(message, 0, 0);
  if (e == nullptr) return false;
  *result = e->handler(this, wParam, lParam);
  return true;
}

bool CWnd::OnCommand(WPARAM wParam, LPARAM, LRESULT* result) {
  const UINT id = LOWORD(wParam);
  const UINT code = HIWORD(wParam);
  if (OnCmdMsg(id, code, result)) return true;
  // Commands nobody in the window handles go to the application object.
  if (CWinApp* app = GetApp()) return app->OnCmdMsg(id, code, result);
  return false;
}

LRESULT CWnd::DefWindowProc(UINT, WPARAM, LPARAM) { return 0; }

LRESULT CWnd::Default() { return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam); }

// ---------------------------------------------------------------- window calls

HWND CWnd::GetDlgItem(int id) const { return m_os->GetDlgItem(m_hWnd, id); }

BOOL CWnd::SetWindowText(const std::u16string& text) { return m_os->SetWindowTextW(m_hWnd, text.c_str()); }

std::u16string CWnd::GetWindowText() const {
  const int length = m_os->GetWindowTextLengthW(m_hWnd);
  if (length <= 0) return {};
  std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1, 0);
  const int copied = m_os->GetWindowTextW(m_hWnd, buffer.data(), length + 1);
  return std::u16string(buffer.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

int CWnd::GetWindowTextLength() const { return m_os->GetWindowTextLengthW(m_hWnd); }
BOOL CWnd::EnableWindow(BOOL enable) { return m_os->EnableWindow(m_hWnd, enable); }
BOOL CWnd::IsWindowEnabled() const { return m_os->IsWindowEnabled(m_hWnd); }
BOOL CWnd::IsIconic() const { return m_os->IsIconic(m_hWnd); }
BOOL CWnd::GetClientRect(RECT* rect) const { return m_os->GetClientRect(m_hWnd, rect); }

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) {
  return reinterpret_cast<HICON>(
      m_os->SendMessageW(m_hWnd, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse) { return m_os->SetTimer(m_hWnd, id, elapse, nullptr); }
BOOL CWnd::KillTimer(UINT_PTR id) { return m_os->KillTimer(m_hWnd, id); }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return m_os->SendMessageW(m_hWnd, message, wParam, lParam);
}
BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return m_os->PostMessageW(m_hWnd, message, wParam, lParam);
}

int CWnd::MessageBox(const std::u16string& text, LPCWSTR caption, UINT type) const {
  CWinApp* app = GetApp();
  if (caption == nullptr && app != nullptr) caption = app->m_pszAppName.c_str();
  return m_os->MessageBoxW(m_hWnd, text.c_str(), caption, type);
}

int PaintPendingWindows(OsApi& os, int limit) {
  int painted = 0;
  MSG msg{};
  while (painted < limit && os.PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT)) {
    os.DispatchMessageW(&msg);
    ++painted;
  }
  return painted;
}

}  // namespace kv27
