// A capture read back: its frames (USBPcap header and data) and the program's
// own records (custom blocks "KV27 <kind>"), in file order, numbered as
// Wireshark numbers them. The replay and the tests read captures through it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/usbpcap.h"
#include "platform/os_api.h"

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
  // A deque: it grows without copying what it holds, and a reader that takes
  // records from its front gives their memory back as it goes.
  std::deque<CaptureRecord> records;

  std::vector<const CaptureFrame*> Frames() const;
  std::vector<const CaptureNote*> Notes(const std::string& kind = {}) const;
};

// nullopt with the reason in `error` when the file is not a pcapng capture of
// USBPcap frames or a frame is malformed.
std::optional<CaptureLog> ParseCapture(const std::uint8_t* data, std::size_t size, std::string* error);

// ERROR_FILE_TOO_LARGE: a capture over the limit.
inline constexpr w32::DWORD kErrorFileTooLarge = 223;

// Captures larger than this are refused (a whole upgrade makes about 330 KiB).
inline constexpr std::uint64_t kCaptureFileLimit = 256ull << 20;

// Reads a capture file through the OS boundary as a stream, a piece at a time:
// what is held is the capture's records, never the file's bytes as well.
// nullopt when the file cannot be opened or read (`osError`: the Win32 error;
// a file over `limit` bytes is kErrorFileTooLarge) or is not a capture
// (`osError` 0); `error` says which in words.
std::optional<CaptureLog> ReadCaptureFile(w32::OsApi& os, const std::u16string& path, std::uint64_t limit,
                                          std::string* error, w32::DWORD* osError);
// The same, each record handed to `take` as it is read and nothing kept:
// false (with `error` and `osError` as above) when the file cannot be read or
// is not a capture, possibly after some records were handed over.
bool ForEachCaptureRecord(w32::OsApi& os, const std::u16string& path, std::uint64_t limit,
                          const std::function<void(CaptureRecord& record)>& take, std::string* error,
                          w32::DWORD* osError, std::string* application);

}  // namespace kv27::capture
