// A started HID link: the device opened twice, a reader thread that hands each
// complete input report to OnInputReport, a lock around transfers on the main
// handle, and an owner window that is told when the device goes and is
// registered for HID interface arrival and removal (CHIDCommWnd). CHIDCommMFC
// takes the owner as a framework window object.
//
// States: idle (nothing open, no owner); watching (owner registered, device
// absent); open without reader (no input reports); running (reader thread on).
// Start moves into open/running, or into watching when the device cannot be
// opened and an owner was given; Stop leaves the owner registered so that
// OnDeviceChange can start the link again when the device comes back; Close
// and the destructor go back to idle.
//
// Threads: the caller's thread (the owner window's, in this system) runs Start,
// Stop, Close, Write, Read and OnDeviceChange. The reader thread uses only
// `reader`, `running`, the input report length and OnInputReport, and never
// takes ioLock, so Stop may be called while a Write holds the lock (from the
// owner's handler of the disconnect message) without deadlock. OnInputReport
// must not wait for the caller's thread: that thread may be waiting in Stop
// for the reader thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "hid/hid_comm.h"
#include "platform/device_path.h"
#include "ui/wnd.h"

namespace kv27 {
using namespace w32;

// How long one read on the reader thread waits for a report, and how long the
// thread pauses after a read that failed at once (a device that has gone fails
// every read at once until the link is stopped).
inline constexpr DWORD kHidReaderTimeoutMs = 1000;

// Whether a transfer's code says that the device itself is gone rather than
// that one transfer failed: ERROR_DEVICE_NOT_CONNECTED (the HID class driver's
// answer on a handle whose device was unplugged, at once or for a transfer
// that was pending), ERROR_DEVICE_REMOVED and ERROR_DEV_NOT_EXIST. A handle
// in that state stays dead, even once the device is back under the same path.
bool IsDeviceGoneError(std::int32_t code);
// Whether a WM_DEVICECHANGE's (wParam, lParam) announces the removal of the
// device interface at `path` (DBT_DEVICEREMOVECOMPLETE with a
// DEV_BROADCAST_DEVICEINTERFACE_W naming it). The name is read no further
// than the structure's dbcc_size.
bool IsRemovalOf(WPARAM wParam, LPARAM lParam, const WCHAR* path);

class CHIDCommWnd : public CStdHIDComm {
 public:
  explicit CHIDCommWnd(OsApi& os);
  // Close() when a reader thread or a registration is still there, then the
  // reader and the main device are closed with their objects.
  ~CHIDCommWnd() override;

  // Stops the reader thread, cancels the registration, forgets the owner and
  // closes both handles. 0, or 1011 when the main device was not open.
  std::int32_t Close() override;

  using CStdHIDComm::Write;
  // The transfers of CHIDComm, serialised by ioLock. A Write that finds the
  // device gone (IsDeviceGoneError: 1167 and its like) marks the handle dead
  // and sends WM_DEVICECHANGE (0, 0) to the owner window, still holding the
  // lock; the owner's forwarding of it to OnDeviceChange then closes the
  // handle and searches afresh. The Write keeps its code in lastError even
  // when the handler stopped or restarted the link meanwhile; Read sends
  // nothing.
  std::int32_t Write(const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                     DWORD timeoutMs) override;
  std::int32_t Read(void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped, DWORD timeoutMs) override;

  // Open the device (by path, by ids and ordinal, or by the stored ids), open
  // the reader handle and start the reader thread when the device has input
  // reports; the forms with an owner record it and register it for HID
  // interface notifications. Returns the code of the last open step (0 when
  // every open succeeded): a negative code ends the call at once; a positive
  // one does not stop the owner from being recorded and registered. A reader
  // handle that cannot be opened leaves the link open without a reader thread
  // and returns its code. A reader thread that cannot be created closes both
  // handles and returns the platform's error, with no owner recorded. On a
  // started link the main open gives 1247: the owner is replaced, the first
  // registration and the reader thread stay.
  virtual std::int32_t Start(LPCWSTR path, HWND owner);
  virtual std::int32_t Start(USHORT vendor, USHORT product, HWND owner, USHORT ordinal);
  virtual std::int32_t Start(LPCWSTR path);
  virtual std::int32_t Start(USHORT vendor, USHORT product, USHORT ordinal);
  virtual std::int32_t Start();
  // Stops the reader thread and closes both handles; the owner and its
  // registration stay. 0, or 1011 when the main device was not open.
  virtual std::int32_t Stop();
  // Called on the reader thread, without ioLock, for every input report of
  // exactly the input report length. The buffer is reused for the next
  // report once this returns. The result is ignored. A class that overrides
  // it stops the link (Close) at the start of its own destructor, so that the
  // reader thread is gone before the override's object is.
  virtual bool OnInputReport(const BYTE* report, DWORD length);
  // The owner forwards every WM_DEVICECHANGE here. First, an open link whose
  // handle is dead (the removal of its own interface, by devicePath, or a
  // Write that found the device gone) stops, whether or not the device is
  // back by now. Then it searches by the stored ids: found and closed with an
  // owner → Start(); not found and open → Stop(). Always TRUE.
  virtual BOOL OnDeviceChange(WPARAM wParam, LPARAM lParam);
  // The reader thread's body; returns its exit code.
  virtual DWORD ReadLoop();

  HWND GetNotifyWindow() const { return notifyWnd.load(std::memory_order_acquire); }
  // Registers notifyWnd for HID interface arrival and removal. False with
  // lastError = 183 when a registration exists, or with the platform's error.
  bool RegisterNotification();

  HANDLE readThread = nullptr;
  std::atomic<std::int32_t> running{0};
  // Read by the reader thread's handler, replaced by a later Start.
  std::atomic<HWND> notifyWnd{nullptr};
  HDEVNOTIFY devNotify = nullptr;
  // Set by a Write that found the device gone, until the main device closes.
  std::atomic<bool> deviceGone{false};
  std::recursive_mutex ioLock;
  CHIDComm reader;

 protected:
  static DWORD KV_WINAPI ReadThreadEntry(LPVOID parameter);

 private:
  // Steps 2 to 6 of every Start form, after the main open gave `r`.
  std::int32_t StartReading(std::int32_t r, bool withOwner, HWND owner);
  // Ends the reader thread: clears `running`, wakes a read in progress, waits
  // for the thread and closes its handle.
  void JoinReader();
  // After a read that failed at once: waits up to kHidReaderTimeoutMs, or
  // until JoinReader wakes the thread.
  void PauseAfterFailedRead();
};

class CHIDCommMFC : public CHIDCommWnd {
 public:
  explicit CHIDCommMFC(OsApi& os);

  using CHIDCommWnd::Start;
  // The owner forms of CHIDCommWnd with the window object's handle (null for
  // no object).
  virtual std::int32_t Start(LPCWSTR path, CWnd* owner);
  virtual std::int32_t Start(USHORT vendor, USHORT product, CWnd* owner, USHORT ordinal);
};

}  // namespace kv27
