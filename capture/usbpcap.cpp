#include "capture/usbpcap.h"

namespace kv27::capture {

using namespace w32;

namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct StatusPair {
  DWORD error;
  std::uint32_t status;
};
// How the USB stack reports what WinUSB and the HID class driver turn into
// these Win32 errors: a device that left (DEVICE_GONE), a transfer cancelled
// by CancelIo, a close or a pipe time-out (WinUSB cancels the request when its
// PIPE_TRANSFER_TIMEOUT passes; CANCELED), a stalled request (STALL_PID), a
// device that does not answer (DEV_NOT_RESPONDING, TIMEOUT).
constexpr StatusPair kStatusPairs[] = {
    {ERROR_DEVICE_NOT_CONNECTED, kUsbdDeviceGone},
    {ERROR_OPERATION_ABORTED, kUsbdCanceled},
    {ERROR_SEM_TIMEOUT, kUsbdTimeout},
    {ERROR_GEN_FAILURE, kUsbdStallPid},
    {ERROR_TIMEOUT, kUsbdDevNotResponding},
};

}  // namespace

void AppendUsbPcapHeader(std::vector<std::uint8_t>& out, const UsbPcapHeader& h) {
  std::uint8_t header[kUsbPcapControlHeaderSize];
  const std::size_t size = PutUsbPcapHeader(header, h, h.dataLength);
  out.insert(out.end(), header, header + size);
}

std::optional<UsbPcapHeader> ParseUsbPcapHeader(const std::uint8_t* p, std::size_t size, std::size_t* headerSize) {
  if (size < kUsbPcapHeaderSize) return std::nullopt;
  const std::uint16_t length = Get16(p);
  if (length != kUsbPcapHeaderSize && length != kUsbPcapControlHeaderSize) return std::nullopt;
  if (size < length) return std::nullopt;
  UsbPcapHeader h;
  h.irpId = static_cast<std::uint64_t>(Get32(p + 2)) | static_cast<std::uint64_t>(Get32(p + 6)) << 32;
  h.status = Get32(p + 10);
  h.function = Get16(p + 14);
  h.info = p[16];
  h.bus = Get16(p + 17);
  h.device = Get16(p + 19);
  h.endpoint = p[21];
  h.transfer = p[22];
  h.dataLength = Get32(p + 23);
  if (length == kUsbPcapControlHeaderSize) h.stage = p[27];
  if (headerSize != nullptr) *headerSize = length;
  return h;
}

std::uint32_t UsbdStatusOf(DWORD error) {
  if (error == ERROR_SUCCESS) return kUsbdSuccess;
  for (const auto& pair : kStatusPairs)
    if (pair.error == error) return pair.status;
  return kUsbdInvalidParameter;
}

DWORD Win32ErrorOf(std::uint32_t status) {
  if (status == kUsbdSuccess) return ERROR_SUCCESS;
  for (const auto& pair : kStatusPairs)
    if (pair.status == status) return pair.error;
  return ERROR_GEN_FAILURE;
}

const char* Win32ErrorName(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return "ERROR_SUCCESS";
    case ERROR_INVALID_FUNCTION:
      return "ERROR_INVALID_FUNCTION";
    case ERROR_FILE_NOT_FOUND:
      return "ERROR_FILE_NOT_FOUND";
    case ERROR_ACCESS_DENIED:
      return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE:
      return "ERROR_INVALID_HANDLE";
    case ERROR_GEN_FAILURE:
      return "ERROR_GEN_FAILURE";
    case ERROR_NOT_SUPPORTED:
      return "ERROR_NOT_SUPPORTED";
    case ERROR_INVALID_PARAMETER:
      return "ERROR_INVALID_PARAMETER";
    case ERROR_SEM_TIMEOUT:
      return "ERROR_SEM_TIMEOUT";
    case ERROR_INSUFFICIENT_BUFFER:
      return "ERROR_INSUFFICIENT_BUFFER";
    case ERROR_OPERATION_ABORTED:
      return "ERROR_OPERATION_ABORTED";
    case ERROR_DEVICE_NOT_CONNECTED:
      return "ERROR_DEVICE_NOT_CONNECTED";
    case ERROR_TIMEOUT:
      return "ERROR_TIMEOUT";
    case ERROR_INVALID_USER_BUFFER:
      return "ERROR_INVALID_USER_BUFFER";
    default:
      return "";
  }
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

}  // namespace kv27::capture
