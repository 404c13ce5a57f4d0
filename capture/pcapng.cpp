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

namespace {

// The first four bytes of a classic (libpcap) file, in either byte order,
// with microsecond or nanosecond times.
bool ClassicPcapMagic(std::uint32_t magic) {
  return magic == 0xA1B2C3D4u || magic == 0xD4C3B2A1u || magic == 0xA1B23C4Du || magic == 0x4D3CB2A1u;
}

constexpr std::size_t kReadPiece = 64 * 1024;

}  // namespace

bool PcapngReader::Fill(std::size_t at, std::size_t size, std::size_t* have) {
  *have = 0;
  while (*have < size) {
    const std::size_t piece = std::min(size - *have, kReadPiece);
    if (block_.size() < at + *have + piece) block_.resize(at + *have + piece);
    std::size_t got = 0;
    if (!source_(block_.data() + at + *have, piece, &got)) {
      Fail("the file cannot be read");
      return false;
    }
    if (got == 0) return false;
    *have += got;
  }
  return true;
}

bool PcapngReader::Next(PcapngRecord& record) {
  auto fail = [this](const std::string& why) {
    Fail(why);
    done_ = true;
    return false;
  };
  while (!done_ && error_.empty()) {
    // A large block's buffer is not kept for the small ones after it.
    if (block_.capacity() > 4 * kReadPiece) std::vector<std::uint8_t>().swap(block_);
    const std::string at = std::to_string(offset_);
    // The type and length first: the file may end cleanly between blocks.
    std::size_t have = 0;
    if (!Fill(0, 8, &have)) {
      if (!error_.empty()) return fail(error_);
      if (have == 0 && offset_ == 0) return fail("the file is empty");
      if (have != 0) return fail("a block is cut short at byte " + at);
      done_ = true;
      break;
    }
    const std::uint32_t type = Get32(block_.data());
    const std::uint32_t total = Get32(block_.data() + 4);
    if (offset_ == 0 && ClassicPcapMagic(type))
      return fail(
          "this is a classic pcap file, not pcapng; convert it with Wireshark's editcap "
          "(editcap -F pcapng IN.pcap OUT.pcapng) or save it as pcapng in Wireshark");
    if (offset_ == 0 && type != kBlockSectionHeader)
      return fail("the file does not start with a section header (not a pcapng file)");
    if (total < 12 || total % 4 != 0) return fail("a block at byte " + at + " has a bad length");
    if (!Fill(8, total - 8, &have)) {
      if (!error_.empty()) return fail(error_);
      return fail("the block at byte " + at + " is cut short");
    }
    const std::uint8_t* block = block_.data();
    if (Get32(block + total - 4) != total) return fail("the block at byte " + at + " ends with another length");
    const std::uint8_t* body = block + 8;
    const std::uint8_t* end = block + total - 4;
    const std::size_t bodySize = static_cast<std::size_t>(end - body);
    offset_ += total;

    if (type == kBlockSectionHeader) {
      if (haveSection_) return fail("a second section starts at byte " + at);
      if (bodySize < 16) return fail("the section header is too short");
      if (Get32(body) == 0x4D3C2B1Au)
        return fail("a big-endian pcapng section; this reader takes little-endian ones only");
      if (Get32(body) != kByteOrderMagic) return fail("not a little-endian pcapng section");
      if (Get16(body + 4) != 1) return fail("pcapng major version " + std::to_string(Get16(body + 4)));
      if (!Options(body + 16, end, [&](std::uint16_t code, const std::uint8_t* v, std::uint16_t n) {
            if (code == kShbUserAppl) application_.assign(reinterpret_cast<const char*>(v), n);
          }))
        return fail("the section header's options are malformed");
      haveSection_ = true;
    } else if (type == kBlockInterfaceDescription) {
      if (haveInterface_) return fail("more than one interface");
      if (bodySize < 8) return fail("the interface description is too short");
      linkType_ = Get16(body);
      if (!Options(body + 8, end, [&](std::uint16_t code, const std::uint8_t* v, std::uint16_t n) {
            if (code == kIfTsResol && n == 1) tsResolution_ = v[0];
          }))
        return fail("the interface description's options are malformed");
      haveInterface_ = true;
    } else if (type == kBlockEnhancedPacket) {
      if (!haveInterface_) return fail("a packet before the interface description");
      if (bodySize < 20) return fail("packet block " + std::to_string(number_ + 1) + " is too short");
      const std::uint32_t number = ++number_;
      record = PcapngRecord{};
      record.number = number;
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
      return true;
    } else if (type == kBlockCustom || type == (kBlockCustom | 0x40000000u)) {
      if (bodySize < 4) return fail("custom block " + std::to_string(number_ + 1) + " is too short");
      record = PcapngRecord{};
      record.kind = PcapngRecord::Kind::Custom;
      record.number = ++number_;
      record.pen = Get32(body);
      record.data.assign(body + 4, end);
      return true;
    }
  }
  if (!error_.empty()) return false;
  if (!haveInterface_) return fail("the file describes no interface");
  return false;
}

PcapngReader::Source MemorySource(const std::uint8_t* data, std::size_t size) {
  return [data, size, offset = std::size_t{0}](std::uint8_t* to, std::size_t n, std::size_t* read) mutable {
    const std::size_t k = std::min(n, size - offset);
    if (k != 0) std::memcpy(to, data + offset, k);
    offset += k;
    *read = k;
    return true;
  };
}

std::optional<PcapngFile> ReadPcapng(const std::uint8_t* data, std::size_t size, std::string* error) {
  PcapngReader reader(MemorySource(data, size));
  PcapngFile file;
  PcapngRecord record;
  while (reader.Next(record)) file.records.push_back(std::move(record));
  if (!reader.error().empty()) {
    if (error != nullptr) *error = reader.error();
    return std::nullopt;
  }
  file.application = reader.application();
  file.linkType = reader.linkType();
  file.tsResolution = reader.tsResolution();
  return file;
}

}  // namespace kv27::capture
