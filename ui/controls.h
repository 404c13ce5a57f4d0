// The controls, GDI objects and common dialogs the framework offers.
//
// Controls are window objects bound to a dialog's control (DDX_Control); their
// operations are the control's messages.
#pragma once

#include <string>

#include "ui/wnd.h"

namespace kv27 {

class CStatic : public CWnd {
 public:
  // STM_SETIMAGE: shows `bitmap` (a bitmap static); returns the previous one.
  HBITMAP SetBitmap(HBITMAP bitmap);
  HBITMAP GetBitmap() const;
};

class CEdit : public CWnd {};

class CButton : public CWnd {};

class CProgressCtrl : public CWnd {
 public:
  // PBM_SETPOS; returns the previous position.
  int SetPos(int position);
  int GetPos() const;
  void SetRange(short lower, short upper);
  void GetRange(int& lower, int& upper) const;
};

// A bitmap resource, freed with the object.
class CBitmap {
 public:
  explicit CBitmap(OsApi& os) : m_os(&os) {}
  ~CBitmap();
  CBitmap(const CBitmap&) = delete;
  CBitmap& operator=(const CBitmap&) = delete;
  // Loads bitmap resource `id` of the program; FALSE when it has none or one
  // is already loaded.
  BOOL LoadBitmap(UINT id);
  BOOL DeleteObject();
  HBITMAP GetSafeHandle() const { return m_hObject; }
  operator HBITMAP() const { return m_hObject; }

 private:
  OsApi* m_os;
  HBITMAP m_hObject = nullptr;
};

// The paint cycle of one WM_PAINT (BeginPaint in the constructor, EndPaint in
// the destructor).
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* window);
  ~CPaintDC();
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;
  BOOL DrawIcon(int x, int y, HICON icon);
  HDC GetSafeHdc() const { return m_hDC; }
  PAINTSTRUCT m_ps{};

 private:
  CWnd* m_window;
  HDC m_hDC = nullptr;
};

// The file-open dialog. The filter is given as "Text|pattern|...|", the way
// the framework writes it; flags are passed as they stand.
class CFileDialog {
 public:
  CFileDialog(OsApi& os, BOOL openFileDialog, LPCWSTR defaultExtension = nullptr, LPCWSTR fileName = nullptr,
              DWORD flags = 0, LPCWSTR filter = nullptr, CWnd* parent = nullptr);
  // IDOK with the chosen path, IDCANCEL when the user cancelled or the dialog
  // failed (CommDlgExtendedError tells which).
  INT_PTR DoModal();
  std::u16string GetPathName() const;
  OPENFILENAMEW m_ofn{};

 private:
  OsApi* m_os;
  std::u16string m_filter;  // '|' turned into NULs
  std::u16string m_defaultExtension;
  WCHAR m_file[260] = {};
};

}  // namespace kv27
