// The window object of the dialog framework: a C++ object that carries the
// handle of one window. The framework's classes (dialogs, controls) grow from
// it; code that needs "a window" takes a CWnd* and asks it for its handle.
//
// A CWnd never creates or destroys the window behind it by itself: Attach
// binds an existing handle, Detach lets it go.
#pragma once

#include "platform/win32_types.h"

namespace kv27 {
using namespace w32;

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND window) : m_hWnd(window) {}
  virtual ~CWnd() = default;
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

  HWND m_hWnd = nullptr;
};

// The handle of `window`, or null for a null object: what the framework's
// GetSafeHwnd gives when called on a null pointer.
inline HWND SafeHwnd(const CWnd* window) { return window != nullptr ? window->GetSafeHwnd() : nullptr; }

}  // namespace kv27
