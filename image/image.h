// The .bimg firmware image: a 32-byte header followed by a 16384-byte payload
// scrambled with a key stream that is itself a CRC-16 register fed the plain
// bytes.
//
// Header layout (multi-byte fields little-endian):
//   0  u32  magic 0x42497631 (bytes "1vIB")
//   4  u32  header CRC: CRC-16 of the 32 header bytes with this field zeroed;
//           upper half zero
//   8  u32  reserved
//  12  u32  payload length (the upgrade accepts only 0x4000)
//  16  u32  data CRC: CRC-16 of the plain payload; upper half zero
//  20  u8   image type (see kImageTypes)
//  21  u8[3] reserved (covered by the header CRC)
//  24  u8[8] image name, ASCII, NUL-terminated when shorter than 8; all eight
//           bytes enter the key
//  32  u8[16384] scrambled payload
//
// The four decoder operations share one context (imageDecoder) and are meant
// for one thread, one image at a time. Each returns 0 for success and -1 for
// failure, allocates nothing and takes the 32-byte header as read from the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv27 {

constexpr std::size_t kImageHeaderSize = 32;
constexpr std::size_t kImagePayloadSize = 0x4000;
constexpr std::uint32_t kImageMagic = 0x42497631;

// Header field offsets.
constexpr std::size_t kImageOffMagic = 0;
constexpr std::size_t kImageOffHeaderCrc = 4;
constexpr std::size_t kImageOffReserved8 = 8;
constexpr std::size_t kImageOffLength = 12;
constexpr std::size_t kImageOffDataCrc = 16;
constexpr std::size_t kImageOffType = 20;
constexpr std::size_t kImageOffReserved21 = 21;
constexpr std::size_t kImageOffName = 24;
constexpr std::size_t kImageNameSize = 8;

// ---------------------------------------------------------------- CRC-16
// Polynomial 0x1021, MSB first, no reflection, no final XOR; started at 0xFFFF
// this is CRC-16/CCITT-FALSE.
std::uint16_t ImageCrcTableEntry(std::uint8_t index);
// Feeds one byte into a CRC register.
inline std::uint16_t ImageCrcStep(std::uint16_t crc, std::uint8_t byte);
// CRC of `length` bytes, continuing from `crc`.
std::uint16_t ImageCrc16(const void* data, std::size_t length, std::uint16_t crc = 0xFFFF);

// ---------------------------------------------------------------- image types
struct ImageTypeEntry {
  std::uint8_t type;     // 0 closes the table
  const char* model;     // part of the key
  std::uint32_t length;  // bytes of `model` that enter the key
};
// Held in the order 3, 1, 2, then the terminator.
extern const ImageTypeEntry kImageTypes[4];
// The entry for `type`, or null (type 0 never matches).
const ImageTypeEntry* FindImageType(std::uint8_t type);

// ---------------------------------------------------------------- the decoder
struct ImageDecoderContext {
  std::uint16_t key;      // running key stream register
  std::uint16_t dataCrc;  // running CRC-16 of the plain bytes so far
};
// The one context the decoder operations share.
extern ImageDecoderContext imageDecoder;

// Magic, header CRC (full u32 against the 16-bit CRC) and a listed type.
int ImageHeaderCheck(const std::uint8_t* header);
// Header check; then key = CRC of model string and the 8 name bytes, and
// dataCrc = 0xFFFF. On failure the context is left as it was.
int ImageDecodeInit(const std::uint8_t* header);
// Header check; then descrambles exactly kImagePayloadSize bytes of `buffer`
// in place, advancing key and dataCrc. A second call continues the stream.
int ImageDecodeBlock(const std::uint8_t* header, std::uint8_t* buffer);
// Header check; then succeeds only if the full u32 data CRC field equals
// the zero-extended dataCrc.
int ImageDecodeVerify(const std::uint8_t* header);

// ---------------------------------------------------------------- header fields
std::uint32_t ImageReadU32(const std::uint8_t* header, std::size_t offset);
void ImageWriteU32(std::uint8_t* header, std::size_t offset, std::uint32_t value);
// CRC-16 of the header with its CRC field taken as zero.
std::uint16_t ImageHeaderCrc(const std::uint8_t* header);
// Key derivation for a header whose type is listed; false otherwise.
bool ImageDeriveKey(const std::uint8_t* header, std::uint16_t* key);

// ---------------------------------------------------------------- the encoder
// Fields of a new image.
struct ImageFields {
  std::uint8_t type = 1;
  std::array<std::uint8_t, kImageNameSize> name{};  // all 8 bytes are used as given
  std::uint32_t payloadLength = kImagePayloadSize;
  std::uint32_t reserved8 = 0;
  std::array<std::uint8_t, 3> reserved21{};
};

// Builds an image from kImagePayloadSize plain bytes: data CRC over the plain
// payload, the scrambled payload into `payload`, and the header into `header`
// with its CRC computed last. Independent of imageDecoder. -1 when the type is
// not listed (there is no key for it).
int ImageEncode(const ImageFields& fields, const std::uint8_t* plain, std::uint8_t* header, std::uint8_t* payload);
// Recomputes the header CRC field after a header has been edited.
void ImageSealHeader(std::uint8_t* header);

// Makes the CRC-16 of the kImagePayloadSize plain bytes equal `target` by
// rewriting the last two bytes (0x3FFE, 0x3FFF), which lie in the range that is
// never programmed to flash.
void ImageForceDataCrc(std::uint8_t* plain, std::uint16_t target);
constexpr std::size_t kImageForcedCrcOffset = kImagePayloadSize - 2;

// ---------------------------------------------------------------- inline
namespace image_detail {
extern const std::array<std::uint16_t, 256> kCrcTable;
}
inline std::uint16_t ImageCrcStep(std::uint16_t crc, std::uint8_t byte) {
  return static_cast<std::uint16_t>((crc << 8) ^ image_detail::kCrcTable[((crc >> 8) ^ byte) & 0xFF]);
}

}  // namespace kv27
