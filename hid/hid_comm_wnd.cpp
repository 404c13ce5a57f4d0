#include "hid/hid_comm_wnd.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kv27 {
using namespace w32;

// ---------------------------------------------------------------- dead handles

bool IsDeviceGoneError(std::int32_t code) {
  return code == static_cast<std::int32_t>(ERROR_DEVICE_NOT_CONNECTED) ||
         code == static_cast<std::int32_t>(ERROR_DEVICE_REMOVED) ||
         code == static_cast<std::int32_t>(ERROR_DEV_NOT_EXIST);
}

bool IsRemovalOf(WPARAM wParam, LPARAM lParam, const WCHAR* path) {
  if (wParam != DBT_DEVICEREMOVECOMPLETE || lParam == 0 || path == nullptr || path[0] == 0) return false;
  // Every WM_DEVICECHANGE payload starts with a DEV_BROADCAST_HDR; only a
  // device interface's carries a name. dbcc_size counts the fixed members and
  // the name as it stands, its terminator included (DEV_BROADCAST_DEVICEINTERFACE).
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
  const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
  const std::size_t fixed = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (iface->dbcc_size < fixed + sizeof(WCHAR)) return false;
  // A name longer than any path the link keeps cannot be its own.
  const std::size_t room = std::min<std::size_t>((iface->dbcc_size - fixed) / sizeof(WCHAR), kHidMaxPath + 1);
  // Copied out with a terminator of its own, so that a name without one is
  // never read past the size it was given.
  std::vector<WCHAR> name(room + 1, 0);
  std::memcpy(name.data(), iface->dbcc_name, room * sizeof(WCHAR));
  return SameDevicePath(name.data(), path);
}

// ---------------------------------------------------------------- construction

CHIDCommWnd::CHIDCommWnd(OsApi& os) : CStdHIDComm(os), reader(os) {}

CHIDCommWnd::~CHIDCommWnd() {
  if (readThread != nullptr || devNotify != nullptr) CHIDCommWnd::Close();
  // `reader` closes itself as a member, then ~CHIDComm closes the main device.
}

// ---------------------------------------------------------------- transfers

std::int32_t CHIDCommWnd::Write(const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                                DWORD timeoutMs) {
  std::lock_guard<std::recursive_mutex> hold(ioLock);
  const std::int32_t r = CHIDComm::Write(buffer, length, transferred, overlapped, timeoutMs);
  if (IsDeviceGoneError(r)) {
    // The handle is dead for good, even if the device is back by now; the
    // owner hears of the loss before the write returns, and its handler may
    // stop this object and start it afresh (neither takes the lock).
    deviceGone.store(true, std::memory_order_release);
    os().SendMessageW(GetNotifyWindow(), WM_DEVICECHANGE, 0, 0);
    // The handler may have stopped the link, which leaves its own code.
    SetResult(r);
  }
  return r;
}

std::int32_t CHIDCommWnd::Read(void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                               DWORD timeoutMs) {
  std::lock_guard<std::recursive_mutex> hold(ioLock);
  return CHIDComm::Read(buffer, length, transferred, overlapped, timeoutMs);
}

// ---------------------------------------------------------------- start and stop

std::int32_t CHIDCommWnd::Start(LPCWSTR path, HWND owner) {
  const std::int32_t r = CStdHIDComm::Open(path);
  if (r < 0) return r;
  return StartReading(r, true, owner);
}

std::int32_t CHIDCommWnd::Start(USHORT vendor, USHORT product, HWND owner, USHORT ordinal) {
  const std::int32_t r = OpenByIds(vendor, product, ordinal);
  if (r < 0) return r;
  return StartReading(r, true, owner);
}

std::int32_t CHIDCommWnd::Start(LPCWSTR path) {
  const std::int32_t r = CStdHIDComm::Open(path);
  if (r < 0) return r;
  return StartReading(r, false, nullptr);
}

std::int32_t CHIDCommWnd::Start(USHORT vendor, USHORT product, USHORT ordinal) {
  const std::int32_t r = OpenByIds(vendor, product, ordinal);
  if (r < 0) return r;
  return StartReading(r, false, nullptr);
}

std::int32_t CHIDCommWnd::Start() {
  const std::int32_t r = OpenByIds();
  if (r < 0) return r;
  return StartReading(r, false, nullptr);
}

std::int32_t CHIDCommWnd::StartReading(std::int32_t r, bool withOwner, HWND owner) {
  // While a reader thread runs, `reader` is the thread's: a later Start leaves
  // it alone (it is open on the same device anyway).
  if (device != nullptr && readThread == nullptr && GetInputReportLength() != 0) {
    WCHAR path[kHidMaxPath];
    GetDevicePath(path);
    r = reader.Open(path);
    if (r < 0) return r;
  }

  bool created = false;
  // Without the reader handle every read would fail at once, so no thread is
  // started for it: the link stays open without a reader and Start returns
  // the reader's code.
  if (device != nullptr && readThread == nullptr && GetInputReportLength() != 0 && reader.device != nullptr) {
    running.store(1, std::memory_order_release);
    DWORD threadId = 0;
    HANDLE thread = os().CreateThread(nullptr, 0, &CHIDCommWnd::ReadThreadEntry, this, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
      r = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
      running.store(0, std::memory_order_release);
      reader.Close();
      CHIDComm::Close();
      return SetResult(r);
    }
    readThread = thread;
    created = true;
  }

  if (withOwner) {
    notifyWnd.store(owner, std::memory_order_release);
    RegisterNotification();
  }

  // Resumed last, so that the handler never runs before the owner is in place.
  if (created) os().ResumeThread(readThread);
  return SetResult(r);
}

void CHIDCommWnd::JoinReader() {
  running.store(0, std::memory_order_seq_cst);
  if (readThread == nullptr) return;
  // A read in progress on the reader thread waits on the reader's event: set
  // it, so that the thread cancels the read and sees the cleared flag now
  // rather than at the end of its time-out.
  if (reader.ioEvent != nullptr) os().SetEvent(reader.ioEvent);
  os().WaitForSingleObject(readThread, INFINITE);
  os().CloseHandle(readThread);
  readThread = nullptr;
}

std::int32_t CHIDCommWnd::Stop() {
  JoinReader();
  reader.Close();
  const std::int32_t r = CHIDComm::Close();
  deviceGone.store(false, std::memory_order_release);
  return r;
}

std::int32_t CHIDCommWnd::Close() {
  JoinReader();
  if (devNotify != nullptr) {
    os().UnregisterDeviceNotification(devNotify);
    devNotify = nullptr;
  }
  notifyWnd.store(nullptr, std::memory_order_release);
  reader.Close();
  const std::int32_t r = CHIDComm::Close();
  deviceGone.store(false, std::memory_order_release);
  return r;
}

bool CHIDCommWnd::RegisterNotification() {
  if (devNotify != nullptr) {
    SetResult(ERROR_ALREADY_EXISTS);
    return false;
  }
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  os().HidD_GetHidGuid(&filter.dbcc_classguid);
  filter.dbcc_name[0] = 0;
  devNotify = os().RegisterDeviceNotificationW(GetNotifyWindow(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (devNotify == nullptr) {
    SetResult(LastErrorOr(ERROR_GEN_FAILURE));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- events

bool CHIDCommWnd::OnInputReport(const BYTE* report, DWORD length) { return true; }

BOOL CHIDCommWnd::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
  // A handle on an interface that has left stays dead when the interface
  // comes back under the same path. When its removal, or the write that found
  // it gone, is handled only once the device is back, the search below finds
  // the device and would keep the dead handle: close it first, so that the
  // search starts the link afresh.
  if (device != nullptr && (deviceGone.load(std::memory_order_acquire) || IsRemovalOf(wParam, lParam, devicePath)))
    Stop();
  WCHAR path[kHidMaxPath] = {};
  if (FindDevicePath(path) == 0) {
    if (device == nullptr && GetNotifyWindow() != nullptr) Start();
  } else if (device != nullptr) {
    Stop();
  }
  return TRUE;
}

// ---------------------------------------------------------------- reader thread

DWORD KV_WINAPI CHIDCommWnd::ReadThreadEntry(LPVOID parameter) {
  return static_cast<CHIDCommWnd*>(parameter)->ReadLoop();
}

void CHIDCommWnd::PauseAfterFailedRead() {
  // Reset before looking at the flag: JoinReader clears the flag before it
  // sets the event, so either the flag is seen cleared here or the wait below
  // ends at once.
  os().ResetEvent(reader.ioEvent);
  if (running.load(std::memory_order_seq_cst) != 0) os().WaitForSingleObject(reader.ioEvent, kHidReaderTimeoutMs);
}

DWORD CHIDCommWnd::ReadLoop() {
  const DWORD length = GetInputReportLength();
  std::vector<BYTE> buffer(length);
  while (running.load(std::memory_order_acquire) != 0) {
    std::fill(buffer.begin(), buffer.end(), BYTE{0});
    DWORD count = 0;
    const std::int32_t r = reader.Read(buffer.data(), length, &count, nullptr, kHidReaderTimeoutMs);
    if (r == 0 && count == length) {
      OnInputReport(buffer.data(), count);
    } else if (r != 0 && r != static_cast<std::int32_t>(ERROR_TIMEOUT)) {
      PauseAfterFailedRead();
    }
  }
  return 0;
}

// ---------------------------------------------------------------- CHIDCommMFC

CHIDCommMFC::CHIDCommMFC(OsApi& os) : CHIDCommWnd(os) {}

std::int32_t CHIDCommMFC::Start(LPCWSTR path, CWnd* owner) { return CHIDCommWnd::Start(path, SafeHwnd(owner)); }

std::int32_t CHIDCommMFC::Start(USHORT vendor, USHORT product, CWnd* owner, USHORT ordinal) {
  return CHIDCommWnd::Start(vendor, product, SafeHwnd(owner), ordinal);
}

}  // namespace kv27
