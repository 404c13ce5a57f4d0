// The image format: CRC-16, header check, type table, key derivation,
// descrambler and encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"

namespace kv27 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Bit-at-a-time CRC-16 (poly 0x1021, MSB first), independent of the table.
std::uint16_t BitwiseCrc(std::uint16_t crc, const std::uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

Bytes Pattern(std::uint32_t seed) {
  Bytes plain(kImagePayloadSize);
  std::uint32_t x = seed;
  for (auto& b : plain) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return plain;
}

ImageFields Fields(std::uint8_t type, const char* name) {
  ImageFields fields;
  fields.type = type;
  std::memcpy(fields.name.data(), name, std::min<std::size_t>(std::strlen(name), kImageNameSize));
  return fields;
}

struct Image {
  std::uint8_t header[kImageHeaderSize];
  Bytes payload = Bytes(kImagePayloadSize);
};

Image Encode(const ImageFields& fields, const Bytes& plain) {
  Image image;
  EXPECT_EQ(ImageEncode(fields, plain.data(), image.header, image.payload.data()), 0);
  return image;
}

// Decodes a copy of the payload with the shared decoder; returns the plain bytes.
Bytes Decode(const Image& image, int* verify) {
  Bytes data = image.payload;
  EXPECT_EQ(ImageDecodeInit(image.header), 0);
  EXPECT_EQ(ImageDecodeBlock(image.header, data.data()), 0);
  *verify = ImageDecodeVerify(image.header);
  return data;
}

TEST(ImageCrc, PublishedCheckValueAndTable) {
  const char* text = "123456789";
  EXPECT_EQ(ImageCrc16(text, 9), 0x29B1);
  EXPECT_EQ(ImageCrc16(text, 0), 0xFFFF);
  for (int i = 0; i < 256; ++i) {
    std::uint8_t byte = static_cast<std::uint8_t>(i);
    // Register zero: one table step is exactly the bitwise CRC of the byte.
    EXPECT_EQ(ImageCrcTableEntry(byte), BitwiseCrc(0, &byte, 1)) << i;
  }
  Bytes plain = Pattern(7);
  EXPECT_EQ(ImageCrc16(plain.data(), plain.size()), BitwiseCrc(0xFFFF, plain.data(), plain.size()));
}

TEST(ImageTypes, TableOrderAndLookup) {
  EXPECT_EQ(kImageTypes[0].type, 3);
  EXPECT_EQ(kImageTypes[1].type, 1);
  EXPECT_EQ(kImageTypes[2].type, 2);
  EXPECT_EQ(kImageTypes[3].type, 0);
  EXPECT_STREQ(FindImageType(1)->model, "KV27");
  EXPECT_STREQ(FindImageType(2)->model, "KV309");
  EXPECT_EQ(FindImageType(2)->length, 5u);
  EXPECT_STREQ(FindImageType(3)->model, "KV14");
  EXPECT_EQ(FindImageType(0), nullptr);
  EXPECT_EQ(FindImageType(4), nullptr);
}

TEST(ImageHeaderCheck, TableOfHeaders) {
  const Image good = Encode(Fields(1, "KV27-N4"), Pattern(1));
  struct Case {
    const char* what;
    void (*edit)(std::uint8_t* header);
    bool reseal;
    int expected;
  };
  const Case cases[] = {
      {"as encoded", [](std::uint8_t*) {}, false, 0},
      {"type 2", [](std::uint8_t* h) { h[kImageOffType] = 2; }, true, 0},
      {"type 3", [](std::uint8_t* h) { h[kImageOffType] = 3; }, true, 0},
      {"reserved fields are free",
       [](std::uint8_t* h) {
         h[8] = 0x5A;
         h[22] = 0xA5;
       },
       true, 0},
      {"bad magic", [](std::uint8_t* h) { h[3] = 0x43; }, true, -1},
      {"magic byte order reversed", [](std::uint8_t* h) { ImageWriteU32(h, kImageOffMagic, 0x31764942); }, true, -1},
      {"header CRC upper half set", [](std::uint8_t* h) { h[kImageOffHeaderCrc + 2] = 0x01; }, false, -1},
      {"header CRC top byte set", [](std::uint8_t* h) { h[kImageOffHeaderCrc + 3] = 0x80; }, false, -1},
      {"header CRC off by one", [](std::uint8_t* h) { h[kImageOffHeaderCrc] ^= 0x01; }, false, -1},
      {"reserved byte changed after sealing", [](std::uint8_t* h) { h[21] ^= 0xFF; }, false, -1},
      {"type 0", [](std::uint8_t* h) { h[kImageOffType] = 0; }, true, -1},
      {"type 4", [](std::uint8_t* h) { h[kImageOffType] = 4; }, true, -1},
      {"type 255", [](std::uint8_t* h) { h[kImageOffType] = 255; }, true, -1},
  };
  for (const Case& c : cases) {
    std::uint8_t header[kImageHeaderSize];
    std::memcpy(header, good.header, kImageHeaderSize);
    c.edit(header);
    if (c.reseal) ImageSealHeader(header);
    EXPECT_EQ(ImageHeaderCheck(header), c.expected) << c.what;
  }
  EXPECT_EQ(ImageHeaderCheck(nullptr), -1);
}

TEST(ImageDecoder, UnlistedTypeFailsEveryOperationAndChangesNothing) {
  Image image = Encode(Fields(1, "KV27-N4"), Pattern(2));
  for (std::uint8_t type : {0, 4}) {
    std::uint8_t header[kImageHeaderSize];
    std::memcpy(header, image.header, kImageHeaderSize);
    header[kImageOffType] = type;
    ImageSealHeader(header);
    imageDecoder = {0x1234, 0x5678};
    Bytes data = image.payload;
    EXPECT_EQ(ImageHeaderCheck(header), -1);
    EXPECT_EQ(ImageDecodeInit(header), -1);
    EXPECT_EQ(ImageDecodeBlock(header, data.data()), -1);
    EXPECT_EQ(ImageDecodeVerify(header), -1);
    EXPECT_EQ(imageDecoder.key, 0x1234) << int(type);
    EXPECT_EQ(imageDecoder.dataCrc, 0x5678) << int(type);
    EXPECT_EQ(data, image.payload) << "buffer touched for type " << int(type);
  }
}

TEST(ImageDecoder, KeyIsCrcOfModelAndAllEightNameBytes) {
  for (std::uint8_t type : {1, 2, 3}) {
    Image image = Encode(Fields(type, "KV27-N4"), Pattern(3));
    std::string seed = FindImageType(type)->model;
    seed.append("KV27-N4\0", 8);
    ASSERT_EQ(ImageDecodeInit(image.header), 0);
    EXPECT_EQ(imageDecoder.key, BitwiseCrc(0xFFFF, reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()))
        << int(type);
    EXPECT_EQ(imageDecoder.dataCrc, 0xFFFF);
  }
}

TEST(ImageDecoder, NameBytesAfterTheNulChangeTheKeystream) {
  const Bytes zeros(kImagePayloadSize, 0);
  ImageFields a = Fields(1, "KV27-N4");
  ImageFields b = a;
  b.name[7] = 'x';  // after the NUL that ends "KV27-N4"
  ImageFields c = Fields(1, "AB");
  ImageFields d = c;
  d.name[5] = 0x01;
  EXPECT_NE(Encode(a, zeros).payload, Encode(b, zeros).payload);
  EXPECT_NE(Encode(c, zeros).payload, Encode(d, zeros).payload);
  // And each still decodes with its own header.
  int verify = -1;
  EXPECT_EQ(Decode(Encode(b, zeros), &verify), zeros);
  EXPECT_EQ(verify, 0);
}

TEST(ImageDecoder, ZeroPayloadScramblesToTheKeystream) {
  const Bytes zeros(kImagePayloadSize, 0);
  Image image = Encode(Fields(1, "KV27-N4"), zeros);

  // Key stream computed independently: key starts as the CRC of the model and
  // name, then is fed the plain bytes (all zero here).
  const char seed[] = "KV27KV27-N4";  // with its NUL: 4 + 8 bytes
  std::uint16_t key = BitwiseCrc(0xFFFF, reinterpret_cast<const std::uint8_t*>(seed), 12);
  Bytes stream(kImagePayloadSize);
  const std::uint8_t zero = 0;
  for (auto& k : stream) {
    k = static_cast<std::uint8_t>(key & 0xFF);
    key = BitwiseCrc(key, &zero, 1);
  }
  EXPECT_EQ(image.payload, stream);
  EXPECT_EQ(ImageReadU32(image.header, kImageOffDataCrc), ImageCrc16(zeros.data(), zeros.size()));

  int verify = -1;
  EXPECT_EQ(Decode(image, &verify), zeros);
  EXPECT_EQ(verify, 0);
  EXPECT_EQ(imageDecoder.dataCrc, ImageCrc16(zeros.data(), zeros.size()));

  // A header that carries another data CRC descrambles the same way but fails
  // the verify.
  ImageWriteU32(image.header, kImageOffDataCrc, 0x6A68);
  ImageSealHeader(image.header);
  EXPECT_EQ(Decode(image, &verify), zeros);
  EXPECT_EQ(verify, -1);
}

TEST(ImageDecoder, MatchesABitwiseReferenceScrambler) {
  const Bytes plain = Pattern(4);
  Image image = Encode(Fields(2, "FW-2"), plain);
  const char seed[] = "KV309FW-2\0\0\0\0";  // model (5) + name field (8)
  std::uint16_t key = BitwiseCrc(0xFFFF, reinterpret_cast<const std::uint8_t*>(seed), 13);
  for (std::size_t i = 0; i < kImagePayloadSize; ++i) {
    ASSERT_EQ(image.payload[i], plain[i] ^ (key & 0xFF)) << i;
    key = BitwiseCrc(key, &plain[i], 1);
  }
}

TEST(ImageDecoder, SecondBlockContinuesTheKeystream) {
  const Bytes plain = Pattern(5);
  Image image = Encode(Fields(1, "KV27-N4"), plain);
  Bytes first = image.payload;
  ASSERT_EQ(ImageDecodeInit(image.header), 0);
  ASSERT_EQ(ImageDecodeBlock(image.header, first.data()), 0);
  EXPECT_EQ(first, plain);
  const ImageDecoderContext after = imageDecoder;

  Bytes second = image.payload;
  ASSERT_EQ(ImageDecodeBlock(image.header, second.data()), 0);
  EXPECT_NE(second, plain);
  EXPECT_NE(imageDecoder.key, after.key);
  EXPECT_EQ(ImageDecodeVerify(image.header), -1);

  // A new init starts over.
  Bytes again = image.payload;
  ASSERT_EQ(ImageDecodeInit(image.header), 0);
  ASSERT_EQ(ImageDecodeBlock(image.header, again.data()), 0);
  EXPECT_EQ(again, plain);
  EXPECT_EQ(ImageDecodeVerify(image.header), 0);
}

TEST(ImageDecoder, DataCrc6A68VerifiesOnlyWithAZeroUpperHalf) {
  Bytes plain = Pattern(6);
  ImageForceDataCrc(plain.data(), 0x6A68);
  ASSERT_EQ(ImageCrc16(plain.data(), plain.size()), 0x6A68);
  Image image = Encode(Fields(1, "KV27-N4"), plain);
  ASSERT_EQ(ImageReadU32(image.header, kImageOffDataCrc), 0x6A68u);
  int verify = -1;
  EXPECT_EQ(Decode(image, &verify), plain);
  EXPECT_EQ(verify, 0);

  for (std::uint32_t upper : {0x00010000u, 0x80000000u, 0xFFFF0000u}) {
    ImageWriteU32(image.header, kImageOffDataCrc, upper | 0x6A68);
    ImageSealHeader(image.header);
    ASSERT_EQ(ImageHeaderCheck(image.header), 0);
    EXPECT_EQ(Decode(image, &verify), plain);
    EXPECT_EQ(verify, -1) << std::hex << upper;
  }
}

TEST(ImageEncoder, RoundTripsOverTheThreeTypes) {
  for (std::uint8_t type : {1, 2, 3}) {
    for (const char* name : {"KV27-N4", "", "12345678"}) {
      const Bytes plain = Pattern(type * 100u + static_cast<std::uint32_t>(std::strlen(name)));
      Image image = Encode(Fields(type, name), plain);
      EXPECT_EQ(ImageHeaderCheck(image.header), 0);
      EXPECT_EQ(ImageReadU32(image.header, kImageOffLength), kImagePayloadSize);
      EXPECT_EQ(image.header[kImageOffType], type);
      EXPECT_EQ(std::memcmp(image.header + kImageOffName, Fields(type, name).name.data(), 8), 0);
      EXPECT_NE(image.payload, plain);
      int verify = -1;
      EXPECT_EQ(Decode(image, &verify), plain) << int(type) << " " << name;
      EXPECT_EQ(verify, 0);
    }
  }
  std::uint8_t header[kImageHeaderSize];
  Bytes out(kImagePayloadSize);
  EXPECT_EQ(ImageEncode(Fields(0, "x"), Pattern(1).data(), header, out.data()), -1);
  EXPECT_EQ(ImageEncode(Fields(4, "x"), Pattern(1).data(), header, out.data()), -1);
}

TEST(ImageEncoder, ForcedCrcTouchesOnlyTheLastTwoBytes) {
  for (std::uint16_t target : {0x0000, 0x6A68, 0xFFFF, 0x1234, 0x8001}) {
    const Bytes original = Pattern(target);
    Bytes plain = original;
    ImageForceDataCrc(plain.data(), target);
    EXPECT_EQ(ImageCrc16(plain.data(), plain.size()), target);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + kImageForcedCrcOffset, original.begin()));
  }
}

}  // namespace
}  // namespace kv27
