// Plain windows of the running platform for the OS contract suite: the OsApi
// has no call that makes a bare window (the system only makes dialogs), so
// the suite's real side gets them here, as the world's side gets them from
// World::CreateHeadlessWindow.
#pragma once

#include <functional>
#include <string>

#include "platform/win32_types.h"

namespace kv27::contract {

using WindowProc = std::function<w32::LRESULT(w32::HWND, w32::UINT, w32::WPARAM, w32::LPARAM)>;

// A message-only window owned by the calling thread; messages it does not
// handle itself (proc returns through DefWindowProc when it gives -1) go to
// the default procedure.
w32::HWND CreateRealWindow(WindowProc proc);
void DestroyRealWindow(w32::HWND window);

// Runs `body` on a thread of a desktop of its own (made for the call, closed
// after it), so that its top-level windows come from a desktop process
// started now, with the prefix's current display settings.
void RunOnOwnDesktop(const std::function<void()>& body);

// True when the platform is Wine (its ntdll exports wine_get_version): the
// cases that meet a known Wine deviation from Windows check Windows' side
// everywhere else.
bool RunningOnWine();

}  // namespace kv27::contract
