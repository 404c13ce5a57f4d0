#include "ui/wnd.h"

namespace kv27 {

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

}  // namespace kv27
