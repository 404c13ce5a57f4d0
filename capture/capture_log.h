// A capture read back: its frames (USBPcap header and data) and the program's
// own records (custom blocks "KV27 <kind>"), in file order, numbered as
// Wireshark numbers them. The replay and the tests read captures through it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/usbpcap.h"

namespace kv27::capture {

struct CaptureFrame {
  std::uint32_t number = 0;
  std::uint64_t timeUs = 0;  // microseconds since 1970
  UsbPcapHeader header;
  std::vector<std::uint8_t> data;  // after the header
  std::string comment;

  // The Win32 error of a failed completion: the one its comment names, else
  // the one its USBD status stands for.
  w32::DWORD Error() const;
  // The bytes an OUT transfer moved when its comment says it was short.
  std::optional<std::uint32_t> Moved() const;
  // A descriptor answer the capture rebuilt rather than saw.
  bool Rebuilt() const;
};

struct CaptureNote {
  std::uint32_t number = 0;
  std::string kind;  // "run", "present", "arrival", "removal", "end", ...
  std::map<std::string, std::string> fields;
  std::string Field(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
  }
  std::uint64_t TimeUs() const;
};

struct CaptureRecord {
  bool note = false;
  CaptureFrame frame;
  CaptureNote record;
};

struct CaptureLog {
  std::string application;
  std::vector<CaptureRecord> records;

  std::vector<const CaptureFrame*> Frames() const;
  std::vector<const CaptureNote*> Notes(const std::string& kind = {}) const;
};

// nullopt with the reason in `error` when the file is not a pcapng capture of
// USBPcap frames or a frame is malformed.
std::optional<CaptureLog> ParseCapture(const std::uint8_t* data, std::size_t size, std::string* error);

}  // namespace kv27::capture
