#include "capture/capture_log.h"

#include <cstdlib>
#include <cstring>
#include <functional>

#include "capture/pcapng.h"

namespace kv27::capture {

namespace {

// The number after `word` in a comment ("error 121 ...", "moved 9 of 10").
std::optional<std::uint32_t> NumberAfter(const std::string& text, const std::string& word) {
  const auto at = text.find(word);
  if (at == std::string::npos) return std::nullopt;
  const char* start = text.c_str() + at + word.size();
  char* end = nullptr;
  const unsigned long value = std::strtoul(start, &end, 10);
  if (end == start) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

w32::DWORD CaptureFrame::Error() const {
  if (header.status == kUsbdSuccess) return w32::ERROR_SUCCESS;
  if (auto code = NumberAfter(comment, "error "); code && *code != 0) return *code;
  return Win32ErrorOf(header.status);
}

std::optional<std::uint32_t> CaptureFrame::Moved() const { return NumberAfter(comment, "moved "); }

bool CaptureFrame::Rebuilt() const { return comment.rfind("rebuilt", 0) == 0; }

std::uint64_t CaptureNote::TimeUs() const { return std::strtoull(Field("time").c_str(), nullptr, 10); }

std::vector<const CaptureFrame*> CaptureLog::Frames() const {
  std::vector<const CaptureFrame*> out;
  for (const auto& r : records)
    if (!r.note) out.push_back(&r.frame);
  return out;
}

std::vector<const CaptureNote*> CaptureLog::Notes(const std::string& kind) const {
  std::vector<const CaptureNote*> out;
  for (const auto& r : records)
    if (r.note && (kind.empty() || r.record.kind == kind)) out.push_back(&r.record);
  return out;
}

namespace {

// The records of a pcapng stream as the capture's records. False with the
// reason in `error` when a frame is malformed or the file is no capture of
// USBPcap frames.
bool ParseStream(PcapngReader& reader, const std::function<void(CaptureRecord& record)>& take, std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  std::uint64_t perUs = 1, usPer = 1;  // timestamp units per microsecond, or microseconds per unit
  bool first = true;
  PcapngRecord r;
  while (reader.Next(r)) {
    if (first) {
      // The section and interface come before the first record.
      if (reader.linkType() != kLinkTypeUsbPcap)
        return fail("link type " + std::to_string(reader.linkType()) + ", not USBPcap (249)");
      if (reader.tsResolution() > 9) return fail("a time resolution this reader does not take");
      for (int i = 6; i < reader.tsResolution(); ++i) perUs *= 10;
      for (int i = reader.tsResolution(); i < 6; ++i) usPer *= 10;
      first = false;
    }
    CaptureRecord record;
    if (r.kind == PcapngRecord::Kind::Custom) {
      const std::string magic = kCustomMagic;
      std::string text(r.data.begin(), r.data.end());
      while (!text.empty() && text.back() == '\0') text.pop_back();
      if (r.pen != kCustomBlockPen || text.rfind(magic, 0) != 0) continue;  // somebody else's
      record.note = true;
      record.record.number = r.number;
      std::size_t at = text.find('\n');
      record.record.kind = text.substr(magic.size(), at == std::string::npos ? std::string::npos : at - magic.size());
      while (at != std::string::npos && at + 1 < text.size()) {
        const std::size_t next = text.find('\n', at + 1);
        const std::string line = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (const auto eq = line.find('='); eq != std::string::npos)
          record.record.fields[line.substr(0, eq)] = line.substr(eq + 1);
        at = next;
      }
    } else {
      std::size_t headerSize = 0;
      auto header = ParseUsbPcapHeader(r.data.data(), r.data.size(), &headerSize);
      if (!header) return fail("frame " + std::to_string(r.number) + " has no USBPcap header");
      if (header->dataLength != r.data.size() - headerSize)
        return fail("frame " + std::to_string(r.number) + " holds another length than its header says");
      record.frame.number = r.number;
      record.frame.timeUs = r.timestamp / perUs * usPer;
      record.frame.header = *header;
      record.frame.data.assign(r.data.begin() + static_cast<std::ptrdiff_t>(headerSize), r.data.end());
      record.frame.comment = std::move(r.comment);
    }
    take(record);
  }
  if (!reader.error().empty()) return fail(reader.error());
  if (first && reader.linkType() != kLinkTypeUsbPcap)
    return fail("link type " + std::to_string(reader.linkType()) + ", not USBPcap (249)");
  return true;
}

}  // namespace

std::optional<CaptureLog> ParseCapture(const std::uint8_t* data, std::size_t size, std::string* error) {
  PcapngReader reader(MemorySource(data, size));
  CaptureLog log;
  if (!ParseStream(
          reader, [&log](CaptureRecord& record) { log.records.push_back(std::move(record)); }, error))
    return std::nullopt;
  log.application = reader.application();
  return log;
}

std::optional<CaptureLog> ReadCaptureFile(w32::OsApi& os, const std::u16string& path, std::uint64_t limit,
                                          std::string* error, w32::DWORD* osError) {
  CaptureLog log;
  if (!ForEachCaptureRecord(
          os, path, limit, [&log](CaptureRecord& record) { log.records.push_back(std::move(record)); }, error, osError,
          &log.application))
    return std::nullopt;
  return log;
}

bool ForEachCaptureRecord(w32::OsApi& os, const std::u16string& path, std::uint64_t limit,
                          const std::function<void(CaptureRecord& record)>& take, std::string* error,
                          w32::DWORD* osError, std::string* application) {
  using namespace w32;
  *osError = 0;
  HANDLE file = os.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *osError = os.GetLastError();
    if (error != nullptr) *error = "the file cannot be opened";
    return false;
  }
  std::uint64_t total = 0;
  PcapngReader reader([&](std::uint8_t* to, std::size_t size, std::size_t* read) {
    *read = 0;
    DWORD got = 0;
    if (!os.ReadFile(file, to, static_cast<DWORD>(size), &got, nullptr)) {
      *osError = os.GetLastError();
      return false;
    }
    total += got;
    if (total > limit) {
      *osError = kErrorFileTooLarge;
      return false;
    }
    *read = got;
    return true;
  });
  std::string why;
  const bool ok = ParseStream(reader, take, &why);
  os.CloseHandle(file);
  if (*osError != 0) {
    if (error != nullptr)
      *error = *osError != kErrorFileTooLarge ? "the file cannot be read"
               : limit >= (1u << 20)          ? "the file is larger than " + std::to_string(limit >> 20) + " MiB"
                                              : "the file is larger than " + std::to_string(limit >> 10) + " KiB";
    return false;
  }
  if (!ok) {
    if (error != nullptr) *error = why;
    return false;
  }
  if (application != nullptr) *application = reader.application();
  return true;
}

}  // namespace kv27::capture
