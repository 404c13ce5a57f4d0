// An OS boundary that forwards every call to another one and logs the traffic
// of the devices: each HID report written to or read from a device interface
// (ReadFile/WriteFile on a handle opened by a device path, overlapped reads
// when they complete) and each bulk transfer through WinUSB, in hex, with the
// time since the log began in the inner boundary's clock. It works the same
// over the simulated world and the real platform (--verbose).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/forwarding_os_api.h"

namespace kv27::console {
using namespace w32;

class LoggingOsApi : public ForwardingOsApi {
 public:
  // `log` takes one line at a time, from any thread the calls come from.
  LoggingOsApi(OsApi& inner, std::function<void(const std::u16string& line)> log);

  // The calls that carry device traffic; every other call is forwarded as it is.
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override;
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED* overlapped) override;
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED* overlapped) override;

 private:
  void Log(const char* what, HANDLE handle, const void* data, DWORD size);

  std::function<void(const std::u16string& line)> log_;
  DWORD start_;
  std::mutex mutex_;
  std::set<HANDLE> devices_;  // handles opened by a device path
  struct Pending {
    HANDLE handle;
    const void* buffer;
  };
  std::map<OVERLAPPED*, Pending> reads_;  // overlapped reads not yet reported
};

}  // namespace kv27::console
