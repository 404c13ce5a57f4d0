// The traffic capture: an OS boundary that forwards every call and writes the
// device traffic it sees as a pcapng file of USBPcap frames (link type 249),
// the format Windows users capture USB with and Wireshark decodes.
//
// What it records, each transfer as a submission frame and a completion frame
// sharing one IRP id:
//   - every HID report written or read on a HID interface (ReadFile/WriteFile
//     on a handle opened by its path; overlapped transfers complete when the
//     program learns of it: GetOverlappedResult, or the handle's close);
//   - the descriptor requests sent through a hub port
//     (IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) as control transfers to
//     the device on that port;
//   - every WinUSB pipe transfer (WinUsb_WritePipe/WinUsb_ReadPipe);
//   - failures with their USBD status and a comment naming the Win32 error,
//     and short transfers with a comment giving the count moved;
//   - each device's GET_DESCRIPTOR answers (device, configuration, HID report
//     descriptors) before its first transfer, rebuilt from what the program
//     read of it: the hub's connection record, the HID attributes and
//     capabilities, WinUSB's interface and pipe queries; a comment marks them
//     as rebuilt, not seen on the bus;
//   - a device's arrival (or its presence when the run started) and its
//     removal, as custom blocks: a device counts as arrived when the run first
//     lists or opens it, and as removed when a transfer fails with
//     ERROR_DEVICE_NOT_CONNECTED or a complete listing of its class no longer
//     shows it;
//   - records of the program's own (Note): what ran, how it ended.
// Only devices with traffic get frames and arrival records; the other
// interfaces the program looks at stay out of the file.
//
// Addresses: a device's USB address is the one its hub's connection record
// gave when the program read it; a device the program never saw on a hub
// (the bootloader, found through SetupAPI only) gets a stand-in address from
// 100 up, and its arrival record says so. The endpoints of a HID interface
// are not visible through the HID API: they are taken from the port's pipe
// list (the last interrupt IN and OUT pipes), else 0x81 and 0x01.
//
// Time: frames carry the capture clock (microseconds; the simulated world's,
// or the host's steady clock), offset to a wall-clock start.
//
// Threads: every call may come from any thread; the state is under one lock,
// never held while the inner boundary runs a forwarded call or the file is
// written. The last error a call leaves is the inner boundary's, whatever the
// capture did meanwhile.
//
// Writing: blocks are encoded as they come and written in large pieces (see
// CaptureOptions), the program's own records and failed transfers at once: a
// run that dies leaves a file holding what it did until its last device event
// or failure, and all of its traffic but the last second's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "capture/usb_descriptors.h"
#include "capture/usbpcap.h"
#include "platform/forwarding_os_api.h"

namespace kv27::capture {

using namespace w32;

// Where the file's bytes go.
class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  // False when the bytes could not be stored.
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  virtual bool Close() { return true; }
};

// Keeps the file in memory (tests, the benchmark).
class MemoryCaptureSink : public CaptureSink {
 public:
  bool Write(const std::uint8_t* data, std::size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

// Writes the file through an OS boundary (the one the capture wraps, so that
// the file write is not itself captured).
class FileCaptureSink : public CaptureSink {
 public:
  FileCaptureSink(OsApi& os, std::u16string path) : os_(os), path_(std::move(path)) {}
  ~FileCaptureSink() override { Close(); }
  // Creates the file: 0, or the Win32 error. An existing file is refused
  // (ERROR_FILE_EXISTS) unless `replace`, which empties it.
  DWORD Open(bool replace = false);
  bool Write(const std::uint8_t* data, std::size_t size) override;
  bool Close() override;
  const std::u16string& path() const { return path_; }

 private:
  OsApi& os_;
  std::u16string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

struct CaptureOptions {
  // shb_userappl of the file: the program's name.
  std::string application = "kv27m";
  // The capture clock in microseconds; default: the inner boundary's
  // GetTickCount in milliseconds.
  std::function<std::uint64_t()> clockUs;
  // Microseconds since 1970 (UTC) at which the clock reads its first value.
  std::uint64_t startUs = 0;
  // Report ids of HID collections (usage page, usage) the program knows by
  // its protocol, for collections whose capabilities name none.
  std::map<std::pair<USAGE, USAGE>, std::uint8_t> reportIds;
  // The file is written in pieces of `flushBytes`, or once the oldest block
  // not yet written is `flushUs` of capture time older than a new one; the
  // program's own records and failed transfers at once, the rest at Finish.
  std::size_t flushBytes = 64 * 1024;
  std::uint64_t flushUs = 1000 * 1000;
};

class CaptureOsApi : public ForwardingOsApi {
 public:
  CaptureOsApi(OsApi& inner, CaptureSink& sink, CaptureOptions options = {});
  ~CaptureOsApi() override;

  // A record of the program's own: a custom block "KV27 <kind>" followed by
  // one "key=value" line per field (UTF-8), and the capture time.
  void Note(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields);
  // Writes out what is buffered and closes the sink. False when any write
  // failed. Later calls are forwarded but no longer captured.
  bool Finish();
  // Frames and custom blocks so far.
  std::uint32_t Records();

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override;
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override;
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override;
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override;
  NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                      HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                     HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) override;
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) override;
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                     USB_INTERFACE_DESCRIPTOR* descriptor) override;
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                        WINUSB_PIPE_INFORMATION* pipe) override;
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED* overlapped) override;
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED* overlapped) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// UTF-8 of UTF-16 text (lone surrogates become U+FFFD).
std::string Utf8(const std::u16string& text);

// The text of a GUID as SetupAPI writes it: {6E0B2F48-95D1-4C37-B2A6-1F9D83E45C70}.
std::string GuidText(const GUID& guid);
bool ParseGuid(const std::string& text, GUID* guid);

}  // namespace kv27::capture
