// The application object: one global instance per program.
//
// The program defines a class derived from CWinApp and one global instance of
// it. AppMain (the process's entry, given the OS boundary the process runs on)
// names the application after the program file's base name when it was built
// without a name, then runs InitInstance. A dialog program does its work there
// (it runs its main dialog modally) and returns false: the process then ends
// without a message loop of its own.
#pragma once

#include <string>

#include "ui/wnd.h"

namespace kv27 {

class CWinApp : public CCmdTarget {
 public:
  // Registers the object as the application; `appName` null: the program
  // file's base name, taken by AppMain.
  explicit CWinApp(LPCWSTR appName = nullptr);
  ~CWinApp() override;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // The framework's own initialisation; true. Overrides call it and return
  // false when the program has done its work.
  virtual BOOL InitInstance();
  // Runs after InitInstance returned false; the process's exit code.
  virtual int ExitInstance();

  // Selects the per-user settings key of the program. The framework stores
  // the name only; nothing is read or written there.
  void SetRegistryKey(LPCWSTR key);
  // Icon resource of the program, null when it has none.
  HICON LoadIcon(UINT id);
  // The framework's help command: the program ships no help file, so there is
  // nothing to open.
  void OnHelp();

  OsApi& Os() const { return *m_os; }

  std::u16string m_pszAppName;
  std::u16string m_pszRegistryKey;
  CWnd* m_pMainWnd = nullptr;

 private:
  friend int AppMain(OsApi& os);
  OsApi* m_os = nullptr;
  DECLARE_MESSAGE_MAP()
};

// The application object, or null when none exists.
CWinApp* GetApp();

// The process's start: binds the application to `os`, names it and runs it.
// Returns the exit code (-1 without an application object).
int AppMain(OsApi& os);

// The base name of a path without its extension ("C:\x\Tool.exe" -> "Tool").
std::u16string BaseNameWithoutExtension(const std::u16string& path);

// String `id` of the program's string table in exactly `language`, read through
// the resource calls (FindResourceExW, LoadResource, LockResource,
// SizeofResource): strings are kept sixteen to a block (RT_STRING, block
// id / 16 + 1), each a length in UTF-16 units and the units. Empty when the
// program has no such string in that language.
std::u16string LoadResourceString(OsApi& os, UINT id, LANGID language);

}  // namespace kv27
