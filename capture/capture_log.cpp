#include "capture/capture_log.h"

#include <cstdlib>
#include <cstring>

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

std::optional<CaptureLog> ParseCapture(const std::uint8_t* data, std::size_t size, std::string* error) {
  auto fail = [error](const std::string& why) -> std::optional<CaptureLog> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  std::string why;
  auto file = ReadPcapng(data, size, &why);
  if (!file) return fail(why);
  if (file->linkType != kLinkTypeUsbPcap)
    return fail("link type " + std::to_string(file->linkType) + ", not USBPcap (249)");
  if (file->tsResolution > 9) return fail("a time resolution this reader does not take");
  std::uint64_t perUs = 1, usPer = 1;  // timestamp units per microsecond, or microseconds per unit
  for (int i = 6; i < file->tsResolution; ++i) perUs *= 10;
  for (int i = file->tsResolution; i < 6; ++i) usPer *= 10;

  CaptureLog log;
  log.application = file->application;
  for (auto& r : file->records) {
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
    log.records.push_back(std::move(record));
  }
  return log;
}

}  // namespace kv27::capture
