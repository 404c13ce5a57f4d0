// The USBPcap frame header (link type 249), the format of the captures
// Windows users take of their USB traffic, as Wireshark decodes it.
//
// Little-endian, byte-packed, 27 bytes (28 for control transfers):
//   headerLen u16, irpId u64, status u32 (USBD_STATUS), function u16
//   (URB_FUNCTION_*), info u8 (bit 0: the completion, PDO to FDO), bus u16,
//   device u16 (the device address), endpoint u8 (bit 7: IN), transfer u8
//   (0 isochronous, 1 interrupt, 2 control, 3 bulk), dataLength u32
//   (the bytes that follow the header), and for control transfers a stage
//   byte (0 setup, 1 data, 2 status, 3 complete).
// A transfer shows as two frames with the same irpId: its submission (OUT
// data rides on it) and its completion (IN data rides on it). A control
// transfer's setup frame carries the 8 setup bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace kv27::capture {

inline constexpr std::uint16_t kUsbPcapHeaderSize = 27;
inline constexpr std::uint16_t kUsbPcapControlHeaderSize = 28;

inline constexpr std::uint8_t kTransferInterrupt = 1;
inline constexpr std::uint8_t kTransferControl = 2;
inline constexpr std::uint8_t kTransferBulk = 3;

inline constexpr std::uint8_t kStageSetup = 0;
inline constexpr std::uint8_t kStageComplete = 3;

inline constexpr std::uint8_t kInfoCompletion = 0x01;

inline constexpr std::uint16_t kUrbControlTransfer = 0x0008;
inline constexpr std::uint16_t kUrbBulkOrInterruptTransfer = 0x0009;
inline constexpr std::uint16_t kUrbGetDescriptorFromDevice = 0x000B;
inline constexpr std::uint16_t kUrbGetDescriptorFromInterface = 0x0028;

// USBD_STATUS values (usb.h).
inline constexpr std::uint32_t kUsbdSuccess = 0x00000000;
inline constexpr std::uint32_t kUsbdStallPid = 0xC0000004;
inline constexpr std::uint32_t kUsbdDevNotResponding = 0xC0000005;
inline constexpr std::uint32_t kUsbdInvalidParameter = 0x80000300;
inline constexpr std::uint32_t kUsbdTimeout = 0xC0006000;
inline constexpr std::uint32_t kUsbdDeviceGone = 0xC0007000;
inline constexpr std::uint32_t kUsbdCanceled = 0xC0010000;

struct UsbPcapHeader {
  std::uint64_t irpId = 0;
  std::uint32_t status = kUsbdSuccess;
  std::uint16_t function = kUrbBulkOrInterruptTransfer;
  std::uint8_t info = 0;
  std::uint16_t bus = 1;
  std::uint16_t device = 0;
  std::uint8_t endpoint = 0;
  std::uint8_t transfer = kTransferBulk;
  std::uint32_t dataLength = 0;
  std::optional<std::uint8_t> stage;  // control transfers only

  bool completion() const { return (info & kInfoCompletion) != 0; }
  bool in() const { return (endpoint & 0x80) != 0; }
};

// Appends the header (27 or 28 bytes, after `stage`).
void AppendUsbPcapHeader(std::vector<std::uint8_t>& out, const UsbPcapHeader& header);
namespace usbpcap_detail {

// The header's fields from its length to the data's length (27 bytes),
// little-endian, one store per field where the host is little-endian itself;
// the byte after them.
[[gnu::always_inline]] inline std::uint8_t* PutFields(std::uint8_t* p, std::uint16_t headerLength, std::uint64_t irpId,
                                                      std::uint32_t status, std::uint16_t function, std::uint8_t info,
                                                      std::uint16_t bus, std::uint16_t device, std::uint8_t endpoint,
                                                      std::uint8_t transfer, std::uint32_t dataLength) {
  auto put16 = [&p](std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, &v, 2);
      p += 2;
    } else {
      *p++ = static_cast<std::uint8_t>(v);
      *p++ = static_cast<std::uint8_t>(v >> 8);
    }
  };
  auto put32 = [&p](std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, &v, 4);
      p += 4;
    } else {
      for (int i = 0; i < 4; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
    }
  };
  put16(headerLength);
  put32(static_cast<std::uint32_t>(irpId));
  put32(static_cast<std::uint32_t>(irpId >> 32));
  put32(status);
  put16(function);
  *p++ = info;
  put16(bus);
  put16(device);
  *p++ = endpoint;
  *p++ = transfer;
  put32(dataLength);
  return p;
}

}  // namespace usbpcap_detail

// Writes `h` at `p`, which has room for kUsbPcapControlHeaderSize bytes, with
// `dataLength` for the header's own; its size. In place: a capture writes two
// per transfer.
inline std::size_t PutUsbPcapHeader(std::uint8_t* p, const UsbPcapHeader& h, std::uint32_t dataLength) {
  const std::uint16_t size = h.stage ? kUsbPcapControlHeaderSize : kUsbPcapHeaderSize;
  p = usbpcap_detail::PutFields(p, size, h.irpId, h.status, h.function, h.info, h.bus, h.device, h.endpoint, h.transfer,
                                dataLength);
  if (h.stage) *p = *h.stage;
  return size;
}
// The header of a bulk or interrupt transfer's frame (27 bytes).
[[gnu::always_inline]] inline void PutUsbPcapTransferHeader(std::uint8_t* p, std::uint64_t irpId, std::uint32_t status,
                                                            std::uint8_t info, std::uint16_t bus, std::uint16_t device,
                                                            std::uint8_t endpoint, std::uint8_t transfer,
                                                            std::uint32_t dataLength) {
  usbpcap_detail::PutFields(p, kUsbPcapHeaderSize, irpId, status, kUrbBulkOrInterruptTransfer, info, bus, device,
                            endpoint, transfer, dataLength);
}

// Parses the header at the start of a frame; `headerSize` gets its length.
// nullopt when the frame is too short or its header length is not 27/28.
std::optional<UsbPcapHeader> ParseUsbPcapHeader(const std::uint8_t* data, std::size_t size, std::size_t* headerSize);

// The USBD status a transfer that failed with a Win32 error shows in a capture
// taken under Windows, and back. Errors without a USB counterpart map to
// USBD_STATUS_INVALID_PARAMETER one way and ERROR_GEN_FAILURE the other; the
// frame's comment keeps the Win32 code itself.
std::uint32_t UsbdStatusOf(w32::DWORD error);
w32::DWORD Win32ErrorOf(std::uint32_t status);
// "ERROR_SEM_TIMEOUT" and the like; empty for codes this system does not name.
const char* Win32ErrorName(w32::DWORD error);

// "B4 02 00 04 ..." (upper case, blank-separated).
std::string Hex(const std::uint8_t* data, std::size_t size);
inline std::string Hex(const std::vector<std::uint8_t>& bytes) { return Hex(bytes.data(), bytes.size()); }

}  // namespace kv27::capture
