#include "capture/pcapng.h"

#include <algorithm>
#include <cstring>

namespace kv27::capture {

namespace {

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfTsResol = 9;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Walks the options in [p, end): calls `take(code, value, length)` for each
// until opt_endofopt or the end. False when an option runs past the end.
template <typename Take>
bool Options(const std::uint8_t* p, const std::uint8_t* end, Take take) {
  while (end - p >= 4) {
    const std::uint16_t code = Get16(p);
    const std::uint16_t length = Get16(p + 2);
    p += 4;
    if (code == kOptEnd) return true;
    const std::size_t padded = (static_cast<std::size_t>(length) + 3) & ~std::size_t{3};
    if (static_cast<std::size_t>(end - p) < padded) return false;
    take(code, p, length);
    p += padded;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- writer

// Little-endian, appended in one step (a capture writes several per frame).
void PcapngWriter::U16(std::uint16_t v) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  out_.insert(out_.end(), b, b + 2);
}

void PcapngWriter::U32(std::uint32_t v) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                             static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  out_.insert(out_.end(), b, b + 4);
}

void PcapngWriter::Bytes(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (size != 0) out_.insert(out_.end(), p, p + size);
}

void PcapngWriter::Pad() {
  while (out_.size() % 4 != 0) out_.push_back(0);
}

std::size_t PcapngWriter::Begin(std::uint32_t type) {
  // Blocks start on a 4-byte boundary of the file; the buffer is always
  // flushed whole, so its own offsets keep that alignment.
  const std::size_t start = out_.size();
  U32(type);
  U32(0);  // total length, set by End
  return start;
}

void PcapngWriter::End(std::size_t start) {
  Pad();
  const std::uint32_t total = static_cast<std::uint32_t>(out_.size() - start + 4);
  U32(total);
  for (int i = 0; i < 4; ++i) out_[start + 4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
}

void PcapngWriter::Option(std::uint16_t code, const void* value, std::size_t size) {
  U16(code);
  U16(static_cast<std::uint16_t>(size));
  Bytes(value, size);
  Pad();
}

void PcapngWriter::SectionHeader(const std::string& application) {
  const std::size_t start = Begin(kBlockSectionHeader);
  U32(kByteOrderMagic);
  U16(1);  // major version
  U16(0);  // minor version
  U32(0xFFFFFFFF);
  U32(0xFFFFFFFF);  // section length: not known
  if (!application.empty()) {
    Option(kShbUserAppl, application.data(), std::min<std::size_t>(application.size(), 0xFFFF));
    Option(kOptEnd, nullptr, 0);
  }
  End(start);
}

void PcapngWriter::InterfaceDescription(std::uint16_t linkType, std::uint32_t snapLength, std::uint8_t tsResolution) {
  const std::size_t start = Begin(kBlockInterfaceDescription);
  U16(linkType);
  U16(0);
  U32(snapLength);
  Option(kIfTsResol, &tsResolution, 1);
  Option(kOptEnd, nullptr, 0);
  End(start);
}

void PcapngWriter::EnhancedPacket(std::uint32_t interfaceId, std::uint64_t timestamp, const std::uint8_t* data,
                                  std::size_t size, const std::string& comment) {
  const std::size_t start = out_.size();
  const std::size_t blockSize = EnhancedPacketSize(size, comment.size());
  out_.resize(start + blockSize);
  std::uint8_t* at = out_.data() + start;
  std::uint8_t* frame = PutEnhancedPacketStart(at, interfaceId, timestamp, size, blockSize);
  if (size != 0) std::memcpy(frame, data, size);
  PutEnhancedPacketEnd(at, size, comment.data(), comment.size(), blockSize);
}

void PcapngWriter::CustomBlock(std::uint32_t pen, const std::uint8_t* data, std::size_t size) {
  const std::size_t start = Begin(kBlockCustom);
  U32(pen);
  Bytes(data, size);
  End(start);
}

// ---------------------------------------------------------------- reader

std::optional<PcapngFile> ReadPcapng(const std::uint8_t* data, std::size_t size, std::string* error) {
  auto fail = [error](const std::string& why) -> std::optional<PcapngFile> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  PcapngFile file;
  bool haveSection = false;
  bool haveInterface = false;
  std::uint32_t number = 0;
  std::size_t offset = 0;
  while (offset < size) {
    if (size - offset < 12) return fail("a block is cut short at byte " + std::to_string(offset));
    const std::uint8_t* block = data + offset;
    const std::uint32_t type = Get32(block);
    const std::uint32_t total = Get32(block + 4);
    if (total < 12 || total % 4 != 0) return fail("a block at byte " + std::to_string(offset) + " has a bad length");
    if (total > size - offset) return fail("the block at byte " + std::to_string(offset) + " is cut short");
    if (Get32(block + total - 4) != total)
      return fail("the block at byte " + std::to_string(offset) + " ends with another length");
    const std::uint8_t* body = block + 8;
    const std::uint8_t* end = block + total - 4;
    const std::size_t bodySize = static_cast<std::size_t>(end - body);

    if (type == kBlockSectionHeader) {
      if (haveSection) return fail("a second section starts at byte " + std::to_string(offset));
      if (bodySize < 16) return fail("the section header is too short");
      if (Get32(body) != kByteOrderMagic) return fail("not a little-endian pcapng section");
      if (Get16(body + 4) != 1) return fail("pcapng major version " + std::to_string(Get16(body + 4)));
      if (!Options(body + 16, end, [&](std::uint16_t code, const std::uint8_t* v, std::uint16_t n) {
            if (code == kShbUserAppl) file.application.assign(reinterpret_cast<const char*>(v), n);
          }))
        return fail("the section header's options are malformed");
      haveSection = true;
    } else if (!haveSection) {
      return fail("the file does not start with a section header (not a pcapng file)");
    } else if (type == kBlockInterfaceDescription) {
      if (haveInterface) return fail("more than one interface");
      if (bodySize < 8) return fail("the interface description is too short");
      file.linkType = Get16(body);
      if (!Options(body + 8, end, [&](std::uint16_t code, const std::uint8_t* v, std::uint16_t n) {
            if (code == kIfTsResol && n == 1) file.tsResolution = v[0];
          }))
        return fail("the interface description's options are malformed");
      haveInterface = true;
    } else if (type == kBlockEnhancedPacket) {
      if (!haveInterface) return fail("a packet before the interface description");
      if (bodySize < 20) return fail("packet block " + std::to_string(number + 1) + " is too short");
      PcapngRecord record;
      record.number = ++number;
      record.interfaceId = Get32(body);
      if (record.interfaceId != 0) return fail("frame " + std::to_string(number) + " names an unknown interface");
      record.timestamp = static_cast<std::uint64_t>(Get32(body + 4)) << 32 | Get32(body + 8);
      const std::uint32_t captured = Get32(body + 12);
      const std::size_t padded = (static_cast<std::size_t>(captured) + 3) & ~std::size_t{3};
      if (captured > bodySize - 20 || padded > bodySize - 20)
        return fail("frame " + std::to_string(number) + " claims more bytes than its block holds");
      record.data.assign(body + 20, body + 20 + captured);
      bool haveComment = false;
      if (!Options(body + 20 + padded, end, [&](std::uint16_t code, const std::uint8_t* v, std::uint16_t n) {
            if (code == kOptComment && !haveComment) {
              record.comment.assign(reinterpret_cast<const char*>(v), n);
              haveComment = true;
            }
          }))
        return fail("frame " + std::to_string(number) + "'s options are malformed");
      file.records.push_back(std::move(record));
    } else if (type == kBlockCustom || type == (kBlockCustom | 0x40000000u)) {
      if (bodySize < 4) return fail("custom block " + std::to_string(number + 1) + " is too short");
      PcapngRecord record;
      record.kind = PcapngRecord::Kind::Custom;
      record.number = ++number;
      record.pen = Get32(body);
      record.data.assign(body + 4, end);
      file.records.push_back(std::move(record));
    }
    offset += total;
  }
  if (!haveSection) return fail("the file is empty");
  if (!haveInterface) return fail("the file describes no interface");
  return file;
}

}  // namespace kv27::capture
