// Plain windows of the running platform (Windows builds only).
#include "tests/platform/contract_windows.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace kv27::contract {
namespace {

constexpr wchar_t kClassName[] = L"KvContractWindow";

::LRESULT CALLBACK Procedure(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  auto* proc = reinterpret_cast<WindowProc*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    proc = static_cast<WindowProc*>(reinterpret_cast<::CREATESTRUCTW*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<::LONG_PTR>(proc));
  }
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    delete proc;
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  if (proc && *proc && message != WM_NCCREATE && message != WM_CREATE) {
    const w32::LRESULT r = (*proc)(reinterpret_cast<w32::HWND>(window), message, wParam, lParam);
    if (r != -1) return r;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

w32::HWND CreateRealWindow(WindowProc proc) {
  static const ::ATOM atom = [] {
    ::WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = Procedure;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    return ::RegisterClassExW(&wc);
  }();
  if (!atom) return nullptr;
  auto* owned = new WindowProc(std::move(proc));
  // A message-only window: it has everything the messaging cases need and no
  // need of a screen (Wine without a display refuses other windows).
  ::HWND window =
      ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ::GetModuleHandleW(nullptr), owned);
  if (!window) delete owned;
  return reinterpret_cast<w32::HWND>(window);
}

void DestroyRealWindow(w32::HWND window) { ::DestroyWindow(reinterpret_cast<::HWND>(window)); }

bool RunningOnWine() {
  ::HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void RunOnOwnDesktop(const std::function<void()>& body) {
  static std::atomic<unsigned> serial{0};
  const std::wstring name =
      L"kv27-contract-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(serial++);
  ::HDESK desktop = ::CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  std::thread runner([&] {
    if (desktop) ::SetThreadDesktop(desktop);
    // Wine brings a new desktop's own window up in a process of its own, some
    // time after the first call that needs it; until then a top-level window
    // on it cannot be made (ERROR_INVALID_WINDOW_HANDLE). Wait for it, at most
    // 5 s, so that the case sees the platform and not that start-up.
    for (int attempt = 0; attempt < 100; ++attempt) {
      ::HWND probe = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       ::GetModuleHandleW(nullptr), nullptr);
      if (probe) {
        ::DestroyWindow(probe);
        break;
      }
      ::Sleep(50);
    }
    body();
  });
  runner.join();
  if (desktop) ::CloseDesktop(desktop);
}

}  // namespace kv27::contract
