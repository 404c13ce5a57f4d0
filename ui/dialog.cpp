#include "ui/dialog.h"

#include <map>

namespace kv27 {

namespace {
// Window objects of the thread's dialogs (windows belong to their thread).
thread_local std::map<HWND, CDialog*> t_dialogs;
// The dialog DoModal is creating: it takes the first message of a new window
// (WM_SETFONT comes before WM_INITDIALOG).
thread_local CDialog* t_creating = nullptr;

// Messages whose result the dialog procedure returns itself instead of
// through DWLP_MSGRESULT (the DialogProc contract).
bool ReturnsResultDirectly(UINT message) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORSTATIC:
    case 0x0039:  // WM_COMPAREITEM
    case 0x002E:  // WM_VKEYTOITEM
    case 0x002F:  // WM_CHARTOITEM
    case 0x0132:  // WM_CTLCOLORMSGBOX .. WM_CTLCOLORDLG
    case 0x0133:
    case 0x0134:
    case 0x0135:
    case 0x0136:
    case 0x0137:
      return true;
    default:
      return false;
  }
}
}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(OsApi& os, UINT templateId, CWnd* parent) : CWnd(os), m_nIDHelp(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  if (m_hWnd != nullptr) t_dialogs.erase(m_hWnd);
}

INT_PTR CDialog::DoModal() {
  CDialog* const previous = t_creating;
  t_creating = this;
  const HMODULE module = m_os->GetModuleHandleW(nullptr);
  const LPCWSTR name = MAKEINTRESOURCEW(static_cast<WORD>(m_nIDHelp));
  // A template of the chosen language when the program has one; otherwise
  // the one the system picks.
  LPCDLGTEMPLATEW own = nullptr;
  if (m_templateLanguage != 0) {
    if (HRSRC found = m_os->FindResourceExW(module, MAKEINTRESOURCEW(kRtDialogOrdinal), name, m_templateLanguage)) {
      if (HGLOBAL loaded = m_os->LoadResource(module, found))
        own = static_cast<LPCDLGTEMPLATEW>(m_os->LockResource(loaded));
    }
  }
  const INT_PTR result = own ? m_os->DialogBoxIndirectParamW(module, own, SafeHwnd(m_pParentWnd), &DialogProcedure,
                                                             reinterpret_cast<LPARAM>(this))
                             : m_os->DialogBoxParamW(module, name, SafeHwnd(m_pParentWnd), &DialogProcedure,
                                                     reinterpret_cast<LPARAM>(this));
  t_creating = previous;
  // The window is gone by now (WM_NCDESTROY detached it); a failed creation
  // never attached one.
  if (m_hWnd != nullptr) {
    t_dialogs.erase(m_hWnd);
    m_hWnd = nullptr;
  }
  for (CWnd* control : m_boundControls) control->Detach();
  m_boundControls.clear();
  return result;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return dx.m_failed ? FALSE : TRUE;
}

void CDialog::EndDialog(int result) { m_os->EndDialog(m_hWnd, result); }
void CDialog::OnOK() {
  if (UpdateData(TRUE)) EndDialog(IDOK);
}
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
  // The dialog manager does it once the dialog procedure returns FALSE.
  m_defaultRequested = true;
  return 0;
}

bool CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message == WM_INITDIALOG) {
    *result = OnInitDialog();
    return true;
  }
  return CWnd::OnWndMsg(message, wParam, lParam, result);
}

INT_PTR KV_WINAPI DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* dialog = nullptr;
  if (auto it = t_dialogs.find(window); it != t_dialogs.end()) {
    dialog = it->second;
  } else if (t_creating != nullptr) {
    dialog = t_creating;
    t_creating = nullptr;
    dialog->m_hWnd = window;
    t_dialogs[window] = dialog;
  } else {
    return FALSE;
  }
  const bool outerDefault = dialog->m_defaultRequested;
  dialog->m_defaultRequested = false;
  const LRESULT result = dialog->WindowProc(message, wParam, lParam);
  const bool useDefault = dialog->m_defaultRequested;
  dialog->m_defaultRequested = outerDefault;
  if (message == WM_NCDESTROY) {
    t_dialogs.erase(window);
    dialog->m_hWnd = nullptr;
    for (CWnd* control : dialog->m_boundControls) control->Detach();
    dialog->m_boundControls.clear();
  }
  if (useDefault) return FALSE;
  if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
  dialog->Os()->SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

// ---------------------------------------------------------------- data exchange

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd != nullptr) return;
  HWND item = pDX->m_pDlgWnd->GetDlgItem(id);
  if (item == nullptr) {
    pDX->m_failed = true;
    pDX->m_failedId = id;
    return;
  }
  control.SetOs(*pDX->m_pDlgWnd->Os());
  control.Attach(item);
  pDX->m_pDlgWnd->m_boundControls.push_back(&control);
}

void DDX_Text(CDataExchange* pDX, int id, std::u16string& value) {
  HWND item = pDX->m_pDlgWnd->GetDlgItem(id);
  if (item == nullptr) {
    pDX->m_failed = true;
    pDX->m_failedId = id;
    return;
  }
  CWnd control(*pDX->m_pDlgWnd->Os(), item);
  if (pDX->m_bSaveAndValidate)
    value = control.GetWindowText();
  else
    control.SetWindowText(value);
  control.Detach();
}

}  // namespace kv27
