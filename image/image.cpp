#include "image/image.h"

#include <cstring>

namespace kv27 {

namespace image_detail {
namespace {
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[i] = crc;
  }
  return table;
}
}  // namespace

// Declared extern in the header, so this constant has external linkage.
constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[0] == 0x0000 && kCrcTable[1] == 0x1021 && kCrcTable[255] == 0x1EF0);
}  // namespace image_detail

std::uint16_t ImageCrcTableEntry(std::uint8_t index) { return image_detail::kCrcTable[index]; }

std::uint16_t ImageCrc16(const void* data, std::size_t length, std::uint16_t crc) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) crc = ImageCrcStep(crc, bytes[i]);
  return crc;
}

const ImageTypeEntry kImageTypes[4] = {
    {3, "KV14", 4},
    {1, "KV27", 4},
    {2, "KV309", 5},
    {0, nullptr, 0},
};

const ImageTypeEntry* FindImageType(std::uint8_t type) {
  for (const ImageTypeEntry* entry = kImageTypes; entry->type != 0; ++entry) {
    if (entry->type == type) return entry;
  }
  return nullptr;
}

ImageDecoderContext imageDecoder = {0xFFFF, 0xFFFF};

std::uint32_t ImageReadU32(const std::uint8_t* header, std::size_t offset) {
  return static_cast<std::uint32_t>(header[offset]) | static_cast<std::uint32_t>(header[offset + 1]) << 8 |
         static_cast<std::uint32_t>(header[offset + 2]) << 16 | static_cast<std::uint32_t>(header[offset + 3]) << 24;
}

void ImageWriteU32(std::uint8_t* header, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) header[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t ImageHeaderCrc(const std::uint8_t* header) {
  std::uint8_t copy[kImageHeaderSize];
  std::memcpy(copy, header, kImageHeaderSize);
  ImageWriteU32(copy, kImageOffHeaderCrc, 0);
  return ImageCrc16(copy, kImageHeaderSize);
}

bool ImageDeriveKey(const std::uint8_t* header, std::uint16_t* key) {
  const ImageTypeEntry* entry = FindImageType(header[kImageOffType]);
  if (entry == nullptr) return false;
  std::uint16_t crc = ImageCrc16(entry->model, entry->length);
  *key = ImageCrc16(header + kImageOffName, kImageNameSize, crc);
  return true;
}

int ImageHeaderCheck(const std::uint8_t* header) {
  if (header == nullptr) return -1;
  if (ImageReadU32(header, kImageOffMagic) != kImageMagic) return -1;
  // The whole u32 is compared, so a non-zero upper half fails.
  if (ImageReadU32(header, kImageOffHeaderCrc) != ImageHeaderCrc(header)) return -1;
  if (FindImageType(header[kImageOffType]) == nullptr) return -1;
  return 0;
}

int ImageDecodeInit(const std::uint8_t* header) {
  int result = ImageHeaderCheck(header);
  if (result != 0) return result;
  imageDecoder.dataCrc = 0xFFFF;
  imageDecoder.key = 0xFFFF;
  ImageDeriveKey(header, &imageDecoder.key);
  return 0;
}

int ImageDecodeBlock(const std::uint8_t* header, std::uint8_t* buffer) {
  if (ImageHeaderCheck(header) != 0 || buffer == nullptr) return -1;
  std::uint16_t key = imageDecoder.key;
  std::uint16_t dataCrc = imageDecoder.dataCrc;
  for (std::size_t i = 0; i < kImagePayloadSize; ++i) {
    const std::uint8_t plain = static_cast<std::uint8_t>(buffer[i] ^ (key & 0xFF));
    buffer[i] = plain;
    key = ImageCrcStep(key, plain);
    dataCrc = ImageCrcStep(dataCrc, plain);
  }
  imageDecoder.key = key;
  imageDecoder.dataCrc = dataCrc;
  return 0;
}

int ImageDecodeVerify(const std::uint8_t* header) {
  if (ImageHeaderCheck(header) != 0) return -1;
  return ImageReadU32(header, kImageOffDataCrc) == imageDecoder.dataCrc ? 0 : -1;
}

void ImageSealHeader(std::uint8_t* header) { ImageWriteU32(header, kImageOffHeaderCrc, ImageHeaderCrc(header)); }

int ImageEncode(const ImageFields& fields, const std::uint8_t* plain, std::uint8_t* header, std::uint8_t* payload) {
  if (FindImageType(fields.type) == nullptr) return -1;
  std::memset(header, 0, kImageHeaderSize);
  ImageWriteU32(header, kImageOffMagic, kImageMagic);
  ImageWriteU32(header, kImageOffReserved8, fields.reserved8);
  ImageWriteU32(header, kImageOffLength, fields.payloadLength);
  ImageWriteU32(header, kImageOffDataCrc, ImageCrc16(plain, kImagePayloadSize));
  header[kImageOffType] = fields.type;
  std::memcpy(header + kImageOffReserved21, fields.reserved21.data(), fields.reserved21.size());
  std::memcpy(header + kImageOffName, fields.name.data(), kImageNameSize);

  std::uint16_t key = 0xFFFF;
  ImageDeriveKey(header, &key);
  for (std::size_t i = 0; i < kImagePayloadSize; ++i) {
    payload[i] = static_cast<std::uint8_t>(plain[i] ^ (key & 0xFF));
    key = ImageCrcStep(key, plain[i]);
  }
  ImageSealHeader(header);
  return 0;
}

void ImageForceDataCrc(std::uint8_t* plain, std::uint16_t target) {
  // Feeding two bytes a, b into a register R gives the same result as feeding
  // 0, 0 into R ^ (a << 8 | b), and feeding 0, 0 is sixteen steps of the bitwise
  // CRC shift. Each step can be undone (the polynomial's x^0 term shows in the
  // low bit whether it was applied), so run sixteen steps back from the target
  // to the register the two bytes must produce.
  const std::uint16_t before = ImageCrc16(plain, kImageForcedCrcOffset);
  std::uint16_t reg = target;
  for (int bit = 0; bit < 16; ++bit) {
    reg = static_cast<std::uint16_t>((reg & 1) ? ((reg ^ 0x1021) >> 1) | 0x8000 : reg >> 1);
  }
  const std::uint16_t word = static_cast<std::uint16_t>(reg ^ before);
  plain[kImageForcedCrcOffset] = static_cast<std::uint8_t>(word >> 8);
  plain[kImageForcedCrcOffset + 1] = static_cast<std::uint8_t>(word & 0xFF);
}

}  // namespace kv27
