// The window objects of the dialog framework.
//
// A CWnd is a C++ object that carries the handle of one window. The framework's
// classes (dialogs, controls) grow from it; code that needs "a window" takes a
// CWnd* and asks it for its handle. A CWnd never creates or destroys the window
// behind it by itself: Attach binds an existing handle, Detach lets it go.
//
// Messages reach a window object through WindowProc, which a class may override
// to see every message first. Its default walks the class's message map (a
// table of handlers per class, chained to the base class's table through the
// virtual GetMessageMap) and falls back to DefWindowProc, the default
// processing. Handlers call Default() to have the default processing of the
// message they handle.
//
// Everything reaches the window system through the OS boundary (w32::OsApi)
// that the object was given.
#pragma once

#include <string>

#include "platform/os_api.h"

namespace kv27 {
using namespace w32;

class CWnd;
class CCmdTarget;

// The framework's Help command (F1 and the Help button).
constexpr UINT ID_HELP = 0xE146;

// One message-map entry: the message (WM_COMMAND entries also match the
// notification code and the control id) and a thunk that unpacks the message's
// arguments for the member handler and packs its result.
struct MsgMapEntry {
  UINT message = 0;
  UINT code = 0;
  UINT id = 0;
  LRESULT (*handler)(CCmdTarget* target, WPARAM wParam, LPARAM lParam) = nullptr;
};
struct MsgMap {
  const MsgMap* (*base)() = nullptr;     // null at the root
  const MsgMapEntry* entries = nullptr;  // ended by an entry with a null handler
};

// Something that handles messages and commands through a message map.
class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;
  // The message map of the object's class.
  virtual const MsgMap* GetMessageMap() const { return GetThisMessageMap(); }
  // Runs the map's handler for WM_COMMAND with `id` and notification `code`;
  // false when no class in the chain handles it.
  virtual bool OnCmdMsg(UINT id, UINT code, LRESULT* result);

 protected:
  static const MsgMap* GetThisMessageMap();
  // The handler for `message` (and, for WM_COMMAND, code and id), or null.
  const MsgMapEntry* FindEntry(UINT message, UINT code, UINT id) const;
};

// Declares the message map of a class (in its body).
#define DECLARE_MESSAGE_MAP()                           \
 protected:                                             \
  static const ::kv27::MsgMap* GetThisMessageMap();     \
                                                        \
 public:                                                \
  const ::kv27::MsgMap* GetMessageMap() const override; \
                                                        \
 protected:

// Defines it (in a source file): BEGIN_MESSAGE_MAP(CMine, CBase) entries
// END_MESSAGE_MAP().
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                          \
  const ::kv27::MsgMap* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const ::kv27::MsgMap* theClass::GetThisMessageMap() {                                 \
    using ThisClass = theClass;                                                         \
    using TheBaseClass = baseClass;                                                     \
    static const ::kv27::MsgMapEntry entries[] = {
#define END_MESSAGE_MAP()                                                        \
  { 0, 0, 0, nullptr }                                                           \
  }                                                                              \
  ;                                                                              \
  static const ::kv27::MsgMap map = {&TheBaseClass::GetThisMessageMap, entries}; \
  return &map;                                                                   \
  }

// Entries. Each names a member of ThisClass with the signature shown.
#define KV_MSG_THUNK(body) \
  [](::kv27::CCmdTarget* t, ::w32::WPARAM wParam, ::w32::LPARAM lParam) -> ::w32::LRESULT { body }
#define KV_SELF static_cast<ThisClass*>(t)
// void OnPaint()
#define ON_WM_PAINT()                                                    \
  { ::w32::WM_PAINT, 0, 0, KV_MSG_THUNK(KV_SELF->OnPaint(); return 0;) } \
  ,
// void OnDestroy()
#define ON_WM_DESTROY()                                                      \
  { ::w32::WM_DESTROY, 0, 0, KV_MSG_THUNK(KV_SELF->OnDestroy(); return 0;) } \
  ,
// HICON OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                                                         \
  {                                                                                                                   \
    ::w32::WM_QUERYDRAGICON, 0, 0, KV_MSG_THUNK(return reinterpret_cast<::w32::LRESULT>(KV_SELF->OnQueryDragIcon());) \
  }                                                                                                                   \
  ,
// void OnTimer(UINT_PTR id)
#define ON_WM_TIMER()                                                                                        \
  { ::w32::WM_TIMER, 0, 0, KV_MSG_THUNK(KV_SELF->OnTimer(static_cast<::w32::UINT_PTR>(wParam)); return 0;) } \
  ,
// void handler(): a command (menu, accelerator or button) with this id.
#define ON_COMMAND(id, memberFxn)                                                                            \
  { ::w32::WM_COMMAND, 0, static_cast<::w32::UINT>(id), KV_MSG_THUNK((KV_SELF->*(memberFxn))(); return 0;) } \
  ,
// void handler(): button `id` clicked.
#define ON_BN_CLICKED(id, memberFxn)                                    \
  {                                                                     \
    ::w32::WM_COMMAND, ::w32::BN_CLICKED, static_cast<::w32::UINT>(id), \
        KV_MSG_THUNK((KV_SELF->*(memberFxn))(); return 0;)              \
  }                                                                     \
  ,
// LRESULT handler(WPARAM, LPARAM): any message, registered ones included.
#define ON_MESSAGE(message, memberFxn)                                                                       \
  { static_cast<::w32::UINT>(message), 0, 0, KV_MSG_THUNK(return (KV_SELF->*(memberFxn))(wParam, lParam);) } \
  ,

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  explicit CWnd(HWND window) : m_hWnd(window) {}
  CWnd(OsApi& os, HWND window = nullptr) : m_hWnd(window), m_os(&os) {}
  ~CWnd() override = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // The window handle, or null when no window is attached. For a pointer that
  // may be null, use SafeHwnd.
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }

  // Binds an existing window; false when one is already attached or `window`
  // is null.
  bool Attach(HWND window);
  // Unbinds the window and returns its handle (null when none was attached).
  HWND Detach();

  // The OS boundary the object talks through (null until given one).
  OsApi* Os() const { return m_os; }
  void SetOs(OsApi& os) { m_os = &os; }

  // ---------------------------------------------------------------- message routing
  // Every message for the window comes here first. The default hands it to
  // OnWndMsg and, when no handler takes it, to DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Runs the message-map handler; false when there is none.
  virtual bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // WM_COMMAND: the window's own map, then the application's.
  virtual bool OnCommand(WPARAM wParam, LPARAM lParam, LRESULT* result);
  // The default processing of a message.
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The default processing of the message being handled.
  LRESULT Default();

  // ---------------------------------------------------------------- window calls
  HWND GetDlgItem(int id) const;
  BOOL SetWindowText(const std::u16string& text);
  std::u16string GetWindowText() const;
  int GetWindowTextLength() const;
  BOOL EnableWindow(BOOL enable = TRUE);
  BOOL IsWindowEnabled() const;
  BOOL IsIconic() const;
  BOOL GetClientRect(RECT* rect) const;
  // WM_SETICON; returns the previous icon.
  HICON SetIcon(HICON icon, BOOL bigIcon);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse);
  BOOL KillTimer(UINT_PTR id);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  // A message box owned by this window; a null caption gives the application's
  // name (see CWinApp).
  int MessageBox(const std::u16string& text, LPCWSTR caption = nullptr, UINT type = MB_OK) const;

  HWND m_hWnd = nullptr;

  const MsgMap* GetMessageMap() const override { return GetThisMessageMap(); }

 protected:
  static const MsgMap* GetThisMessageMap();

  // The message being dispatched, for Default().
  struct CurrentMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
  };
  CurrentMessage m_current;
  OsApi* m_os = nullptr;
};

// The handle of `window`, or null for a null object: what the framework's
// GetSafeHwnd gives when called on a null pointer.
inline HWND SafeHwnd(const CWnd* window) { return window != nullptr ? window->GetSafeHwnd() : nullptr; }

// Paints the calling thread's windows that wait for it, and does nothing else:
// no input, no timer, no posted or sent message is taken (PeekMessageW with
// the WM_PAINT range and PM_QS_PAINT only). For long work on a window's thread,
// so that what it shows stays drawn and current. Returns the WM_PAINTs
// dispatched (at most `limit`, as a window that never validates would
// otherwise keep the loop going).
int PaintPendingWindows(OsApi& os, int limit = 64);

}  // namespace kv27
