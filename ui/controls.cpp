#include "ui/controls.h"

namespace kv27 {

HBITMAP CStatic::SetBitmap(HBITMAP bitmap) {
  return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
}
HBITMAP CStatic::GetBitmap() const { return reinterpret_cast<HBITMAP>(SendMessage(STM_GETIMAGE, IMAGE_BITMAP, 0)); }

int CProgressCtrl::SetPos(int position) {
  return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0));
}
int CProgressCtrl::GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
void CProgressCtrl::SetRange(short lower, short upper) {
  SendMessage(PBM_SETRANGE, 0, MAKELPARAM(static_cast<WORD>(lower), static_cast<WORD>(upper)));
}
void CProgressCtrl::GetRange(int& lower, int& upper) const {
  lower = static_cast<int>(SendMessage(PBM_GETRANGE, TRUE, 0));
  upper = static_cast<int>(SendMessage(PBM_GETRANGE, FALSE, 0));
}

CBitmap::~CBitmap() { DeleteObject(); }

BOOL CBitmap::LoadBitmap(UINT id) {
  if (m_hObject != nullptr) return FALSE;
  m_hObject = m_os->LoadBitmapW(m_os->GetModuleHandleW(nullptr), MAKEINTRESOURCEW(static_cast<WORD>(id)));
  return m_hObject != nullptr ? TRUE : FALSE;
}

BOOL CBitmap::DeleteObject() {
  if (m_hObject == nullptr) return FALSE;
  const BOOL ok = m_os->DeleteObject(m_hObject);
  m_hObject = nullptr;
  return ok;
}

CPaintDC::CPaintDC(CWnd* window) : m_window(window) { m_hDC = window->Os()->BeginPaint(window->GetSafeHwnd(), &m_ps); }
CPaintDC::~CPaintDC() { m_window->Os()->EndPaint(m_window->GetSafeHwnd(), &m_ps); }
BOOL CPaintDC::DrawIcon(int x, int y, HICON icon) { return m_window->Os()->DrawIcon(m_hDC, x, y, icon); }

CFileDialog::CFileDialog(OsApi& os, BOOL, LPCWSTR defaultExtension, LPCWSTR fileName, DWORD flags, LPCWSTR filter,
                         CWnd* parent)
    : m_os(&os) {
  if (filter != nullptr) {
    m_filter = filter;
    for (auto& c : m_filter)
      if (c == u'|') c = u'\0';
  }
  if (defaultExtension != nullptr) m_defaultExtension = defaultExtension;
  if (fileName != nullptr) {
    std::u16string name(fileName);
    name.copy(m_file, std::min<size_t>(name.size(), 259));
  }
  m_ofn.lStructSize = sizeof(OPENFILENAMEW);
  m_ofn.hwndOwner = SafeHwnd(parent);
  m_ofn.lpstrFilter = m_filter.empty() ? nullptr : m_filter.c_str();
  m_ofn.nFilterIndex = m_filter.empty() ? 0 : 1;
  m_ofn.lpstrFile = m_file;
  m_ofn.nMaxFile = 260;
  m_ofn.lpstrDefExt = m_defaultExtension.empty() ? nullptr : m_defaultExtension.c_str();
  m_ofn.Flags = flags;
}

INT_PTR CFileDialog::DoModal() { return m_os->GetOpenFileNameW(&m_ofn) ? IDOK : IDCANCEL; }

std::u16string CFileDialog::GetPathName() const { return std::u16string(m_file); }

}  // namespace kv27
