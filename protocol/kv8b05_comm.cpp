#include "protocol/kv8b05_comm.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/device_interfaces.h"

namespace kv27 {
using namespace w32;

namespace {

constexpr DWORD kGenericReadWrite = 0xC0000000u;  // GENERIC_READ | GENERIC_WRITE
constexpr DWORD kShareReadWrite = 0x3;            // FILE_SHARE_READ | FILE_SHARE_WRITE
constexpr DWORD kOpenExisting = 3;                // OPEN_EXISTING
constexpr DWORD kNormalOverlapped = 0x40000080u;  // FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED
constexpr UCHAR kPipeDirectionIn = 0x80;
constexpr UCHAR kBlockLengthField = 0x40;
constexpr UCHAR kEraseLengthField = 0xFF;

// A failing platform call that left no error code behind must still not look
// like success.
DWORD FailureCode(OsApi& os) {
  DWORD code = os.GetLastError();
  return code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
}

}  // namespace

BOOL FindIspDevice(OsApi& os, std::u16string& path, const IspAccept& accept) {
  BOOL found = FALSE;
  ForEachDeviceInterface(os, IspInterfaceGuid, [&](const ListedInterface& candidate) {
    if (accept && !accept(candidate.path)) return false;
    path = candidate.path;
    found = TRUE;
    return true;
  });
  return found;
}

CKV8B05Comm::CKV8B05Comm(OsApi& os) : os_(os) {}

CKV8B05Comm::~CKV8B05Comm() {
  if (deviceHandle != nullptr) ReleaseHandles();
}

DWORD CKV8B05Comm::Open(LPCWSTR path) {
  if (deviceHandle != nullptr) {
    lastError = ERROR_ALREADY_INITIALIZED;
    return lastError;
  }
  if (path == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return lastError;
  }
  // devicePath holds at most kIspMaxPath - 1 units and the terminator; a longer
  // path is refused before anything is opened.
  DWORD units = 0;
  while (units < kIspMaxPath && path[units] != 0) ++units;
  if (units >= kIspMaxPath) {
    lastError = kIspErrorPathTooLong;
    return lastError;
  }

  // Work on a copy: `path` may be our own devicePath (a reopen after Close),
  // which is cleared below.
  WCHAR own[kIspMaxPath] = {};
  std::copy(path, path + units, own);

  HANDLE file =
      os_.CreateFileW(own, kGenericReadWrite, kShareReadWrite, nullptr, kOpenExisting, kNormalOverlapped, nullptr);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) {
    lastError = FailureCode(os_);
    return lastError;
  }
  deviceHandle = file;
  std::fill(std::begin(devicePath), std::end(devicePath), WCHAR{0});
  std::copy(own, own + units, devicePath);

  winUsbHandle = nullptr;
  bool initialized = os_.WinUsb_Initialize(deviceHandle, &winUsbHandle) != FALSE;
  USB_INTERFACE_DESCRIPTOR descriptor{};
  bool described = initialized && os_.WinUsb_QueryInterfaceSettings(winUsbHandle, 0, &descriptor) != FALSE;
  if (!described) {
    DWORD code = FailureCode(os_);
    if (initialized) os_.WinUsb_Free(winUsbHandle);
    winUsbHandle = nullptr;
    os_.CloseHandle(deviceHandle);
    deviceHandle = nullptr;
    lastError = code;
    return lastError;
  }

  // Pipe ids come from this interface only, never from a previous device.
  bulkInPipe = 0;
  bulkOutPipe = 0;
  for (UCHAR i = 0; i < descriptor.bNumEndpoints; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (!os_.WinUsb_QueryPipe(winUsbHandle, 0, i, &pipe)) continue;
    if (pipe.PipeType != UsbdPipeTypeBulk) continue;
    if (pipe.PipeId & kPipeDirectionIn)
      bulkInPipe = pipe.PipeId;
    else
      bulkOutPipe = pipe.PipeId;
  }
  // Bulk pipes wait for ever by default. A pipe that refuses the policy still
  // works, only without the time-out, so a refusal does not fail the open.
  ULONG timeoutMs = kIspPipeTimeoutMs;
  for (UCHAR pipe : {bulkInPipe, bulkOutPipe})
    if (pipe != 0) os_.WinUsb_SetPipePolicy(winUsbHandle, pipe, PIPE_TRANSFER_TIMEOUT, sizeof(timeoutMs), &timeoutMs);
  lastError = ERROR_SUCCESS;
  return lastError;
}

DWORD CKV8B05Comm::Close() {
  if (deviceHandle == nullptr) {
    lastError = ERROR_CANTOPEN;
    return lastError;
  }
  ReleaseHandles();
  lastError = ERROR_SUCCESS;
  return lastError;
}

void CKV8B05Comm::ReleaseHandles() {
  // The interface is released before the file it was made on.
  if (winUsbHandle != nullptr) os_.WinUsb_Free(winUsbHandle);
  winUsbHandle = nullptr;
  os_.CloseHandle(deviceHandle);
  deviceHandle = nullptr;
}

bool CKV8B05Comm::Guard() {
  if (deviceHandle != nullptr) return true;
  lastError = ERROR_INVALID_HANDLE;
  return false;
}

bool CKV8B05Comm::WriteExact(PUCHAR data, ULONG length) {
  if (bulkOutPipe == 0) return false;  // the interface has no bulk OUT pipe
  ULONG transferred = 0;
  if (!os_.WinUsb_WritePipe(winUsbHandle, bulkOutPipe, data, length, &transferred, nullptr)) return false;
  return transferred == length;
}

bool CKV8B05Comm::ReadExact(PUCHAR data, ULONG length) {
  if (bulkInPipe == 0) return false;  // the interface has no bulk IN pipe
  ULONG transferred = 0;
  if (!os_.WinUsb_ReadPipe(winUsbHandle, bulkInPipe, data, length, &transferred, nullptr)) return false;
  return transferred == length;
}

bool CKV8B05Comm::SendCommand(UCHAR code, DWORD offset, UCHAR blockLength) {
  std::fill(std::begin(command), std::end(command), UCHAR{0});
  command[0] = code;
  command[5] = static_cast<UCHAR>((offset >> 8) & 0xFF);
  command[6] = static_cast<UCHAR>(offset & 0xFF);
  command[8] = blockLength;
  return WriteExact(command, kIspPacketSize);
}

bool CKV8B05Comm::ReadStatus() {
  UCHAR status = 0xFF;
  return ReadExact(&status, 1) && status == 0;
}

BOOL CKV8B05Comm::EraseFlash() {
  if (!Guard()) return FALSE;
  return SendCommand(kIspCmdErase, 0, kEraseLengthField) && ReadStatus();
}

BOOL CKV8B05Comm::WriteFlash(const BYTE* data, DWORD length, DWORD& written) {
  if (!Guard()) return FALSE;
  // Past 64 KiB the offset field would wrap and overwrite the first blocks.
  if ((data == nullptr && length != 0) || length > kIspMaxTransferLength) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  written = 0;
  for (DWORD offset = 0; offset < length; offset += kIspBlockSize) {
    if (!SendCommand(kIspCmdWrite, offset, kBlockLengthField)) return FALSE;
    UCHAR block[kIspBlockSize];
    const DWORD count = std::min(kIspBlockSize, length - offset);
    std::fill(std::begin(block), std::end(block), UCHAR{0xFF});
    std::memcpy(block, data + offset, count);
    if (offset == kIspLastBlock)
      std::fill(block + (kIspReservedOffset - kIspLastBlock), block + kIspBlockSize, UCHAR{0xFF});
    if (!WriteExact(block, kIspBlockSize)) return FALSE;
    if (!ReadStatus()) return FALSE;
    written += count;
  }
  return TRUE;
}

BOOL CKV8B05Comm::ReadFlash(BYTE* buffer, DWORD length, DWORD& read) {
  if (!Guard()) return FALSE;
  if ((buffer == nullptr && length != 0) || length > kIspMaxTransferLength) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  read = 0;
  for (DWORD offset = 0; offset < length; offset += kIspBlockSize) {
    if (!SendCommand(kIspCmdRead, offset, kBlockLengthField)) return FALSE;
    UCHAR block[kIspBlockSize];
    if (!ReadExact(block, kIspBlockSize)) return FALSE;
    if (!ReadStatus()) return FALSE;
    const DWORD count = std::min(kIspBlockSize, length - offset);
    std::memcpy(buffer + offset, block, count);
    read += count;
  }
  return TRUE;
}

BOOL CKV8B05Comm::VerifyFlash() {
  if (!Guard()) return FALSE;
  return SendCommand(kIspCmdVerify, 0, kBlockLengthField);
}

BOOL CKV8B05Comm::SetReadProtection() {
  if (!Guard()) return FALSE;
  return SendCommand(kIspCmdReadProtect, 0, kBlockLengthField);
}

BOOL CKV8B05Comm::ExitIsp() {
  if (!Guard()) return FALSE;
  return SendCommand(kIspCmdExitIsp, 0, kBlockLengthField);
}

}  // namespace kv27
