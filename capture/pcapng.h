// pcapng, the capture file format Wireshark reads: the blocks this system
// writes and reads back.
//
// A file is one section: a Section Header Block, one Interface Description
// Block (link type and time resolution), then Enhanced Packet Blocks (one
// captured frame each, optionally with a comment) and Custom Blocks (records
// of the capturing program's own; Wireshark lists them as frames too). Every
// block is padded to 4 bytes and carries its total length at both ends.
// Numbers are little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv27::capture {

inline constexpr std::uint32_t kBlockSectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t kBlockInterfaceDescription = 0x00000001;
inline constexpr std::uint32_t kBlockInterfaceStatistics = 0x00000005;
inline constexpr std::uint32_t kBlockEnhancedPacket = 0x00000006;
inline constexpr std::uint32_t kBlockCustom = 0x00000BAD;  // may be copied by rewriters
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

// The USBPcap link type: every frame starts with a USBPcap header.
inline constexpr std::uint16_t kLinkTypeUsbPcap = 249;

// Private Enterprise Number of the custom blocks: the one IANA keeps for
// examples and documentation (RFC 5612); the blocks' text starts with
// kCustomMagic so that they are told apart from anybody else's.
inline constexpr std::uint32_t kCustomBlockPen = 32473;
inline constexpr char kCustomMagic[] = "KV27 ";

// Appends blocks to a byte buffer.
class PcapngWriter {
 public:
  explicit PcapngWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  // A section of unknown length, with the writing application's name.
  void SectionHeader(const std::string& application);
  // An interface; `tsResolution` is if_tsresol: a power of ten (6: microseconds).
  void InterfaceDescription(std::uint16_t linkType, std::uint32_t snapLength, std::uint8_t tsResolution);
  // One frame on interface `interfaceId` at `timestamp` (in the interface's
  // resolution), with an optional comment (UTF-8).
  void EnhancedPacket(std::uint32_t interfaceId, std::uint64_t timestamp, const std::uint8_t* data, std::size_t size,
                      const std::string& comment = {});
  void CustomBlock(std::uint32_t pen, const std::uint8_t* data, std::size_t size);

 private:
  std::size_t Begin(std::uint32_t type);
  void End(std::size_t start);
  void Option(std::uint16_t code, const void* value, std::size_t size);
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void Bytes(const void* data, std::size_t size);
  void Pad();

  std::vector<std::uint8_t>& out_;
};

// An Enhanced Packet Block written in place, for writers that keep their own
// buffer (the capture writes one per frame), the same bytes as
// PcapngWriter::EnhancedPacket: its size for `size` bytes of frame and a
// comment of `commentSize` bytes (0: none; longer than 65535: cut); its fixed
// part at `at`, which returns where the frame goes (its padding is set);
// after the frame, the rest.
namespace pcapng_detail {

constexpr std::size_t Padded(std::size_t size) { return (size + 3) & ~static_cast<std::size_t>(3); }

// Little-endian; one store where the host is little-endian itself.
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
  }
}

}  // namespace pcapng_detail

// The fixed part (28 bytes), the frame padded to 4 bytes, the comment option
// and opt_endofopt when there is a comment, the total length again.
inline std::size_t EnhancedPacketSize(std::size_t size, std::size_t commentSize) {
  using pcapng_detail::Padded;
  commentSize = commentSize < 0xFFFF ? commentSize : 0xFFFF;
  return 28 + Padded(size) + (commentSize != 0 ? 4 + Padded(commentSize) + 4 : 0) + 4;
}

[[gnu::always_inline]] inline std::uint8_t* PutEnhancedPacketStart(std::uint8_t* p, std::uint32_t interfaceId,
                                                                   std::uint64_t timestamp, std::size_t size,
                                                                   std::size_t blockSize) {
  using pcapng_detail::Padded;
  using pcapng_detail::Put32;
  Put32(p, kBlockEnhancedPacket);
  Put32(p + 4, static_cast<std::uint32_t>(blockSize));
  Put32(p + 8, interfaceId);
  Put32(p + 12, static_cast<std::uint32_t>(timestamp >> 32));
  Put32(p + 16, static_cast<std::uint32_t>(timestamp));
  Put32(p + 20, static_cast<std::uint32_t>(size));
  Put32(p + 24, static_cast<std::uint32_t>(size));
  // The padding: the frame's last word zeroed before the frame covers it.
  if (Padded(size) != size) Put32(p + 28 + Padded(size) - 4, 0);
  return p + 28;
}

inline void PutEnhancedPacketEnd(std::uint8_t* at, std::size_t size, const char* comment, std::size_t commentSize,
                                 std::size_t blockSize) {
  using pcapng_detail::Padded;
  using pcapng_detail::Put32;
  commentSize = commentSize < 0xFFFF ? commentSize : 0xFFFF;
  std::uint8_t* p = at + 28 + Padded(size);
  if (commentSize != 0) {
    Put32(p, 1u | static_cast<std::uint32_t>(commentSize) << 16);  // opt_comment and its length
    if (Padded(commentSize) != commentSize) Put32(p + 4 + Padded(commentSize) - 4, 0);
    std::memcpy(p + 4, comment, commentSize);
    p += 4 + Padded(commentSize);
    Put32(p, 0);  // opt_endofopt: code and length 0
    p += 4;
  }
  Put32(p, static_cast<std::uint32_t>(blockSize));
}

// One frame or custom block of a file, in file order. `number` counts both
// from 1, as Wireshark numbers its frames.
struct PcapngRecord {
  enum class Kind { Packet, Custom };
  Kind kind = Kind::Packet;
  std::uint32_t number = 0;
  std::uint32_t interfaceId = 0;
  std::uint64_t timestamp = 0;  // packets: in the interface's resolution
  std::uint32_t pen = 0;        // custom blocks
  std::vector<std::uint8_t> data;
  std::string comment;  // packets: the first opt_comment
};

struct PcapngFile {
  std::string application;  // shb_userappl
  std::uint16_t linkType = 0;
  std::uint8_t tsResolution = 6;
  std::vector<PcapngRecord> records;
};

// Reads a file of one little-endian section with one interface block by
// block, as a stream: only the block being read is held. Other block types
// (statistics, name resolution, ...) are skipped. Any malformed block ends
// the stream with the reason in error().
class PcapngReader {
 public:
  // Fills up to `size` bytes at `to`: the number of bytes read, 0 at the end
  // of the file; false when the file cannot be read (the reader then stops
  // with the source's own reason, set through Fail).
  using Source = std::function<bool(std::uint8_t* to, std::size_t size, std::size_t* read)>;
  explicit PcapngReader(Source source) : source_(std::move(source)) {}

  // The next frame or custom block into `record`; false at the end of the
  // file (error() empty) or at the first fault (error() says what).
  bool Next(PcapngRecord& record);
  const std::string& error() const { return error_; }
  void Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }

  // Known once the section header and the interface have been read (both
  // come before the first record).
  const std::string& application() const { return application_; }
  std::uint16_t linkType() const { return linkType_; }
  std::uint8_t tsResolution() const { return tsResolution_; }

 private:
  // Exactly `size` bytes into block_ at `at`, read in pieces so that a block
  // that claims more than the file holds costs no more than the file.
  bool Fill(std::size_t at, std::size_t size, std::size_t* have);

  Source source_;
  std::vector<std::uint8_t> block_;
  std::size_t offset_ = 0;  // of the next block in the file
  std::uint32_t number_ = 0;
  bool haveSection_ = false;
  bool haveInterface_ = false;
  bool done_ = false;
  std::string error_;
  std::string application_;
  std::uint16_t linkType_ = 0;
  std::uint8_t tsResolution_ = 6;
};

// Reads a whole file held in memory. nullopt with a reason in `error` for
// anything malformed.
std::optional<PcapngFile> ReadPcapng(const std::uint8_t* data, std::size_t size, std::string* error);

// A source over bytes in memory.
PcapngReader::Source MemorySource(const std::uint8_t* data, std::size_t size);

}  // namespace kv27::capture
