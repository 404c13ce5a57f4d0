#include "tools/console/logging_os_api.h"

#include <cstdio>
#include <string>

namespace kv27::console {

namespace {

bool IsDevicePath(LPCWSTR path) {
  // "\\?\..." and "\\.\..." name device interfaces; plain files never do.
  return path != nullptr && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.');
}

}  // namespace

LoggingOsApi::LoggingOsApi(OsApi& inner, std::function<void(const std::u16string& line)> log)
    : ForwardingOsApi(inner), log_(std::move(log)), start_(inner.GetTickCount()) {}

void LoggingOsApi::Log(const char* what, HANDLE handle, const void* data, DWORD size) {
  const DWORD error = inner().GetLastError();  // the log must not disturb the caller's last error
  const DWORD ms = static_cast<DWORD>(inner().GetTickCount() - start_);
  char head[96];
  std::snprintf(head, sizeof head, "[%6lu.%03lu] %-9s %5lu bytes:", static_cast<unsigned long>(ms / 1000),
                static_cast<unsigned long>(ms % 1000), what, static_cast<unsigned long>(size));
  std::string text = head;
  const auto* bytes = static_cast<const BYTE*>(data);
  static const char kHex[] = "0123456789ABCDEF";
  for (DWORD i = 0; i < size && bytes != nullptr; ++i) {
    if (i > 0 && i % 32 == 0) text += "\n                                ";
    text += ' ';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  log_(std::u16string(text.begin(), text.end()));
  inner().SetLastError(error);
}

HANDLE LoggingOsApi::CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE handle = inner().CreateFileW(path, access, share, security, disposition, flags, templateFile);
  if (handle != INVALID_HANDLE_VALUE && IsDevicePath(path)) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.insert(handle);
  }
  return handle;
}

BOOL LoggingOsApi::CloseHandle(HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.erase(handle);
    for (auto it = reads_.begin(); it != reads_.end();) it = it->second.handle == handle ? reads_.erase(it) : ++it;
  }
  return inner().CloseHandle(handle);
}

BOOL LoggingOsApi::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) {
  bool device;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    device = devices_.count(file) != 0;
    // Registered before the call: the transfer may complete on another thread
    // before this one returns.
    if (device && overlapped != nullptr) reads_[overlapped] = Pending{file, buffer};
  }
  const BOOL ok = inner().ReadFile(file, buffer, toRead, read, overlapped);
  if (!device) return ok;
  if (ok && read != nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (overlapped != nullptr) reads_.erase(overlapped);
    }
    Log("HID in", file, buffer, *read);
  } else if (!ok && (overlapped == nullptr || inner().GetLastError() != ERROR_IO_PENDING)) {
    const DWORD error = inner().GetLastError();
    std::lock_guard<std::mutex> lock(mutex_);
    if (overlapped != nullptr) reads_.erase(overlapped);
    inner().SetLastError(error);
  }
  return ok;
}

BOOL LoggingOsApi::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) {
  bool device;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    device = devices_.count(file) != 0;
  }
  if (device) Log("HID out", file, buffer, toWrite);
  return inner().WriteFile(file, buffer, toWrite, written, overlapped);
}

BOOL LoggingOsApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) {
  const BOOL ok = inner().GetOverlappedResult(file, overlapped, transferred, wait);
  const DWORD error = inner().GetLastError();
  if (!ok && error == ERROR_IO_INCOMPLETE) return ok;  // still running
  Pending pending{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = reads_.find(overlapped);
    if (it == reads_.end() || it->second.handle != file) return ok;
    pending = it->second;
    reads_.erase(it);
  }
  if (ok && transferred != nullptr) Log("HID in", file, pending.buffer, *transferred);
  inner().SetLastError(error);
  return ok;
}

BOOL LoggingOsApi::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                    PULONG transferred, OVERLAPPED* overlapped) {
  Log("bulk out", nullptr, buffer, length);
  return inner().WinUsb_WritePipe(handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL LoggingOsApi::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                   PULONG transferred, OVERLAPPED* overlapped) {
  const BOOL ok = inner().WinUsb_ReadPipe(handle, pipeId, buffer, length, transferred, overlapped);
  if (ok && overlapped == nullptr && transferred != nullptr) Log("bulk in", nullptr, buffer, *transferred);
  return ok;
}

}  // namespace kv27::console
