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

#include <cstddef>
#include <cstdint>
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

// Reads a whole file of one little-endian section with one interface. Other
// block types (statistics, name resolution, ...) are skipped. nullopt with a
// reason in `error` for anything malformed.
std::optional<PcapngFile> ReadPcapng(const std::uint8_t* data, std::size_t size, std::string* error);

}  // namespace kv27::capture
