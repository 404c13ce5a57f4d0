// Modal dialogs built from a dialog template, and the binding of their controls.
//
// A CDialog names its template by resource id. DoModal builds the dialog
// (DialogBoxParamW, or the template of one language found with
// FindResourceExW and built with DialogBoxIndirectParamW), runs the modal
// loop and returns EndDialog's result. The
// dialog's messages arrive at WindowProc (override it to see them before the
// message map). WM_INITDIALOG calls OnInitDialog, whose base binds the controls
// through DoDataExchange. IDOK and IDCANCEL end the dialog by default.
//
// Default processing of a dialog's message is the dialog manager's: the
// framework's dialog procedure reports the message as not handled, and the
// dialog manager's own handling runs after the handler has returned.
#pragma once

#include <string>
#include <vector>

#include "ui/wnd.h"

namespace kv27 {

class CDialog;

// The direction and target of one data exchange.
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
  bool m_failed = false;    // a control was missing
  int m_failedId = 0;
};

// Binds the dialog's control `id` to `control` (once; later exchanges keep it).
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// The control's text to / from `value`.
void DDX_Text(CDataExchange* pDX, int id, std::u16string& value);

class CDialog : public CWnd {
 public:
  CDialog(OsApi& os, UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Runs the dialog modally: EndDialog's result, or -1 when it cannot be made.
  virtual INT_PTR DoModal();
  // WM_INITDIALOG. The base exchanges data into the controls (binding them);
  // TRUE lets the dialog manager set the focus.
  virtual BOOL OnInitDialog();
  // Override to bind controls and exchange values (DDX_*).
  virtual void DoDataExchange(CDataExchange* pDX);
  // Runs DoDataExchange; FALSE when a control was missing.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  // Ends the modal run with `result` once the current message is handled.
  void EndDialog(int result);
  virtual void OnOK();
  virtual void OnCancel();

  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  UINT m_nIDHelp = 0;  // the template id
  // The language of the template DoModal builds the dialog from; the neutral
  // language (0) leaves the choice to the system (DialogBoxParamW).
  LANGID m_templateLanguage = 0;
  // Controls bound by DDX_Control; let go when the dialog's window is destroyed.
  std::vector<CWnd*> m_boundControls;

 protected:
  CWnd* m_pParentWnd = nullptr;

 private:
  friend INT_PTR KV_WINAPI DialogProcedure(HWND, UINT, WPARAM, LPARAM);
  bool m_defaultRequested = false;
  DECLARE_MESSAGE_MAP()
};

// The dialog procedure of every CDialog (routes to the object's WindowProc).
INT_PTR KV_WINAPI DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kv27
