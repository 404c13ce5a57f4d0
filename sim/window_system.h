// What tests see of the simulated window system: the records the world keeps
// of dialogs, controls, message boxes and file dialogs, and the scripted user.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace kv27::sim {
using namespace w32;

class World;

// A snapshot of one window (a dialog or one of its controls).
struct ControlState {
  HWND window = nullptr;
  int id = 0;
  std::u16string className;  // "Button", "Edit", "Static", "msctls_progress32", "#32770" (dialogs)
  std::u16string text;
  DWORD style = 0, exStyle = 0;
  bool enabled = true;
  bool visible = true;
  HANDLE image = nullptr;  // a static's bitmap (STM_SETIMAGE)
  WORD imageResource = 0;  // the bitmap resource that image was loaded from (0: none or unknown)
  int position = 0;        // progress bars
  int rangeLow = 0, rangeHigh = 100;
  WORD bigIcon = 0, smallIcon = 0;  // icon resources set with WM_SETICON (dialogs)
  std::vector<UINT_PTR> timers;     // running timers
};

// One message box as shown.
struct MessageBoxRecord {
  HWND owner = nullptr;
  std::u16string caption, text;
  UINT type = 0;
  std::uint64_t shownAt = 0;  // virtual time
  int answer = 0;
  bool ownerDisabled = false;  // the owner was disabled while it was up
};

// One file-open dialog as shown.
struct FileDialogRecord {
  HWND owner = nullptr;
  std::u16string filter;  // NULs shown as '|'
  std::u16string initialFile, defaultExtension;
  DWORD flags = 0;
  std::uint64_t shownAt = 0;
  bool chosen = false;
  std::u16string path;
};

// A SendMessageW to another thread's window that was never taken.
struct Deadlock {
  HWND window = nullptr;
  UINT message = 0;
  std::uint64_t at = 0;  // virtual time of the send
};

// A device notification the system gave up on: the window's thread did not
// take it within the notification time-out (World::SetNotificationTimeout).
struct DroppedNotification {
  HWND window = nullptr;
  WPARAM event = 0;             // DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED
  std::u16string path;          // the interface's name, empty for DBT_DEVNODES_CHANGED
  std::uint64_t sentAt = 0;     // virtual time the system sent it
  std::uint64_t droppedAt = 0;  // virtual time the system gave up
};

// An icon drawn with DrawIcon.
struct IconDrawn {
  HWND window = nullptr;
  int x = 0, y = 0;
  WORD iconResource = 0;
};

// The user at the screen. Actions run on the thread that shows the dialog,
// inside its modal loop (or a message box's or file dialog's loop), once the
// virtual clock reaches their time; a loop with nothing else to do moves the
// clock on to the next one.
class UserScript {
 public:
  explicit UserScript(World& world) : world_(world) {}
  // Clicks the button `id` of the topmost modal dialog at virtual time `atMs`.
  // A click on a disabled button, or on a dialog disabled by a message box or
  // file dialog, does nothing (the log says so).
  void ClickAt(std::uint64_t atMs, int id);
  // Clicks the dialog's close box.
  void CloseAt(std::uint64_t atMs);
  // Minimises or restores the topmost dialog (it is repainted).
  void MinimizeAt(std::uint64_t atMs, bool minimized = true);
  // Any action, on the dialog's thread.
  void DoAt(std::uint64_t atMs, std::function<void()> action);
  // The answer to the next message box, given `afterMs` of virtual time after
  // it appears (its loop runs meanwhile).
  void AnswerMessageBox(int button, std::uint64_t afterMs = 1000);
  // Without scripted answers a message box is answered with its default button
  // after a second (on), or it is reported as a stall (off).
  void SetAutoAnswer(bool on);
  // The answer to the next file-open dialog.
  void ChooseFile(const std::u16string& path, std::uint64_t afterMs = 1000);
  void CancelFileDialog(std::uint64_t afterMs = 1000);
  // What the user did, one line per action ("click 1003", "click 1003 ignored: ...").
  std::vector<std::string> Log();

 private:
  World& world_;
};

}  // namespace kv27::sim
