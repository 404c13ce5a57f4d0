// Image files of any length and content through the image file checks, and the
// image operations on whatever header and payload the bytes make.
//
// Besides "no crash", each run checks what must hold for every input: the file
// is closed on every path, a success carries exactly one plain payload whose
// CRC is the header's, and the encoder and decoder are inverse to each other.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "sim/world.h"

using namespace kv27;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_image_file: %s\n", what);
    std::abort();
  }
}

sim::World& TheWorld() {
  static sim::World* world = [] {
    auto* w = new sim::World();
    w->SetHostFiles(false);
    return w;
  }();
  return *world;
}

constexpr char16_t kPath[] = u"C:\\firmware\\image.bimg";

void CheckFile(const std::uint8_t* data, std::size_t size) {
  sim::World& world = TheWorld();
  world.AddFile(kPath, std::vector<std::uint8_t>(data, data + size));
  const ImageFileResult result = LoadImageFile(world, kPath);
  Require(world.OpenHandles().empty(), "a handle is left open after LoadImageFile");
  Require(result.Message() != nullptr, "no message for the result");
  if (result.ok()) {
    Require(size >= kImageHeaderSize + kImagePayloadSize, "success on a file shorter than header and payload");
    Require(result.payload.size() == kImagePayloadSize, "success without a full payload");
    Require(std::equal(result.header.begin(), result.header.end(), data), "header differs from the file's");
    Require(ImageCrc16(result.payload.data(), result.payload.size()) == kUpgradeDataCrc,
            "payload CRC differs from the accepted one");
  } else {
    Require(result.payload.empty(), "a failure carries a payload");
  }
}

void CheckOperations(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kImageHeaderSize> header{};
  std::memcpy(header.data(), data, std::min(size, header.size()));
  std::vector<std::uint8_t> payload(kImagePayloadSize, 0);
  if (size > kImageHeaderSize)
    std::memcpy(payload.data(), data + kImageHeaderSize, std::min(size - kImageHeaderSize, payload.size()));

  const bool headerOk = ImageHeaderCheck(header.data()) == 0;
  std::uint16_t key = 0;
  const bool typeListed = ImageDeriveKey(header.data(), &key);
  if (headerOk) Require(typeListed, "a header that passes the check has no key");

  // The decoder: every operation fails on a header the check refuses.
  const ImageDecoderContext before = imageDecoder;
  const int init = ImageDecodeInit(header.data());
  Require((init == 0) == headerOk, "decode init disagrees with the header check");
  if (init != 0) Require(std::memcmp(&before, &imageDecoder, sizeof before) == 0, "failed init changed the context");
  std::vector<std::uint8_t> plain = payload;
  const int block = ImageDecodeBlock(header.data(), plain.data());
  Require((block == 0) == headerOk, "decode block disagrees with the header check");
  const int verify = ImageDecodeVerify(header.data());
  if (verify == 0) {
    Require(headerOk, "verify passed on a refused header");
    Require(ImageCrc16(plain.data(), plain.size()) == ImageReadU32(header.data(), kImageOffDataCrc),
            "verify passed on a payload whose CRC differs");
  }
  (void)ImageNameMatches(TheWorld(), header.data());

  // The encoder on the same bytes taken as plain payload, then decoded back.
  ImageFields fields;
  fields.type = header[kImageOffType];
  std::memcpy(fields.name.data(), header.data() + kImageOffName, kImageNameSize);
  fields.payloadLength = ImageReadU32(header.data(), kImageOffLength);
  fields.reserved8 = ImageReadU32(header.data(), kImageOffReserved8);
  std::memcpy(fields.reserved21.data(), header.data() + kImageOffReserved21, fields.reserved21.size());
  std::array<std::uint8_t, kImageHeaderSize> built{};
  std::vector<std::uint8_t> scrambled(kImagePayloadSize);
  const int encoded = ImageEncode(fields, payload.data(), built.data(), scrambled.data());
  Require((encoded == 0) == (FindImageType(fields.type) != nullptr), "encode disagrees with the type table");
  if (encoded == 0) {
    Require(ImageHeaderCheck(built.data()) == 0, "an encoded header fails the check");
    Require(ImageDecodeInit(built.data()) == 0, "decode init refuses an encoded header");
    Require(ImageDecodeBlock(built.data(), scrambled.data()) == 0, "decode block refuses an encoded header");
    Require(scrambled == payload, "decoding an encoded payload does not give it back");
    Require(ImageDecodeVerify(built.data()) == 0, "an encoded image fails verification");
  }

  // Forcing the data CRC reaches the target and touches only the last two bytes.
  const std::uint16_t target = static_cast<std::uint16_t>(key ^ ImageReadU32(header.data(), kImageOffDataCrc));
  std::vector<std::uint8_t> forced = payload;
  ImageForceDataCrc(forced.data(), target);
  Require(ImageCrc16(forced.data(), forced.size()) == target, "forced CRC missed its target");
  Require(std::equal(forced.begin(), forced.begin() + kImageForcedCrcOffset, payload.begin()),
          "forcing the CRC changed bytes before the last two");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckFile(data, size);
  CheckOperations(data, size);
  return 0;
}
