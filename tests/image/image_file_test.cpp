// The image file checks made when an image is chosen and at every upgrade:
// one broken file per check, each giving its own message, and no handle left
// open on any path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "sim/world.h"

// Allocation failure on demand: while armed, a request for exactly one image
// payload fails as operator new does when memory runs out.
namespace {
bool g_failPayloadAllocation = false;
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
  if (g_failPayloadAllocation && size == kv27::kImagePayloadSize) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kv27 {
namespace {

using Bytes = std::vector<std::uint8_t>;
const char16_t kPath[] = u"C:\\firmware\\KV27M_FW_UPGRADE.bimg";

Bytes Plain(std::uint16_t crc) {
  Bytes plain(kImagePayloadSize);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  ImageForceDataCrc(plain.data(), crc);
  return plain;
}

// A file as the upgrade wants it: type 1, "KV27-N4", plain CRC 0x6A68.
Bytes ImageFile(std::uint8_t type = 1, const char* name = "KV27-N4", std::uint16_t plainCrc = 0x6A68) {
  ImageFields fields;
  fields.type = type;
  std::memcpy(fields.name.data(), name, std::strlen(name));
  Bytes file(kImageHeaderSize + kImagePayloadSize);
  const Bytes plain = Plain(plainCrc);
  EXPECT_EQ(ImageEncode(fields, plain.data(), file.data(), file.data() + kImageHeaderSize), 0);
  return file;
}

// Edits a header field and recomputes the header CRC.
Bytes WithField(Bytes file, std::size_t offset, std::uint32_t value) {
  ImageWriteU32(file.data(), offset, value);
  ImageSealHeader(file.data());
  return file;
}

struct LoadRun {
  ImageFileResult result;
  std::string leaks;
  std::uint64_t reads;
};

LoadRun Load(const Bytes* file, const std::vector<sim::Fault>& faults = {}) {
  sim::World world;
  world.SetHostFiles(false);
  world.AddDirectory(u"C:\\firmware");
  if (file) world.AddFile(kPath, *file);
  for (const auto& fault : faults) world.InjectFault(fault);
  LoadRun run;
  run.result = LoadImageFile(world, kPath);
  run.leaks = world.LeakReport();
  run.reads = world.CallCount("ReadFile");
  return run;
}

TEST(ImageFile, ValidImageGivesThePlainPayload) {
  Bytes file = ImageFile();
  Bytes longer = file;
  longer.insert(longer.end(), 100, 0xAB);  // trailing bytes are never read
  for (const Bytes* f : {&file, &longer}) {
    LoadRun run = Load(f);
    EXPECT_TRUE(run.result.ok());
    EXPECT_EQ(run.result.error, ImageFileError::None);
    EXPECT_EQ(run.result.payload, Plain(0x6A68));
    EXPECT_EQ(run.result.Message(), std::u16string());
    EXPECT_EQ(run.reads, 2u);
    EXPECT_EQ(run.leaks, "");
  }
}

TEST(ImageFile, EachBrokenFileGetsItsOwnMessage) {
  const Bytes good = ImageFile();
  Bytes nameEighthByte = good;
  nameEighthByte[kImageOffName + 7] = 'X';  // "KV27-N4X", no NUL in the field
  ImageSealHeader(nameEighthByte.data());
  Bytes nameLower = good;
  std::memcpy(nameLower.data() + kImageOffName, "kv27-n4", 7);
  ImageSealHeader(nameLower.data());
  Bytes nameShort = good;
  nameShort[kImageOffName + 6] = 0;  // "KV27-N"
  ImageSealHeader(nameShort.data());
  Bytes badMagic = WithField(good, kImageOffMagic, 0x42497632);
  Bytes badHeaderCrc = good;
  badHeaderCrc[kImageOffHeaderCrc + 2] = 1;  // low half still right
  Bytes type0 = good;
  type0[kImageOffType] = 0;
  ImageSealHeader(type0.data());

  struct Case {
    const char* what;
    Bytes file;
    ImageFileError error;
    const char16_t* message;
    std::vector<sim::Fault> faults = {};
  };
  const std::vector<Case> cases = {
      {"header shorter than 32 bytes", Bytes(good.begin(), good.begin() + 31), ImageFileError::HeaderReadFailed,
       u"读镜像头失败！"},
      {"empty file", Bytes(), ImageFileError::HeaderReadFailed, u"读镜像头失败！"},
      {"header read fails",
       good,
       ImageFileError::HeaderReadFailed,
       u"读镜像头失败！",
       {sim::Fault{"ReadFile", w32::ERROR_GEN_FAILURE, 1, 1, u"firmware"}}},
      {"bad magic", badMagic, ImageFileError::InvalidImage, u"无效的镜像文件！"},
      {"header CRC upper half set", badHeaderCrc, ImageFileError::InvalidImage, u"无效的镜像文件！"},
      {"type 0", type0, ImageFileError::InvalidImage, u"无效的镜像文件！"},
      {"type 2", ImageFile(2), ImageFileError::NotKv27Image, u"不是KV27镜像文件！"},
      {"type 3", ImageFile(3), ImageFileError::NotKv27Image, u"不是KV27镜像文件！"},
      {"name with a non-NUL eighth byte", nameEighthByte, ImageFileError::WrongName, u"镜像名称错误！"},
      {"name in lower case", nameLower, ImageFileError::WrongName, u"镜像名称错误！"},
      {"name one character short", nameShort, ImageFileError::WrongName, u"镜像名称错误！"},
      {"name conversion fails",
       good,
       ImageFileError::WrongName,
       u"镜像名称错误！",
       {sim::Fault{"MultiByteToWideChar", w32::ERROR_INVALID_PARAMETER, 1, 0, u""}}},
      {"data CRC field with upper bits", WithField(good, kImageOffDataCrc, 0x00016A68), ImageFileError::WrongChecksum,
       u"镜像CHECKSUM错误！"},
      {"data CRC field of another payload", ImageFile(1, "KV27-N4", 0x1234), ImageFileError::WrongChecksum,
       u"镜像CHECKSUM错误！"},
      {"length field 0x4001", WithField(good, kImageOffLength, 0x4001), ImageFileError::WrongLength,
       u"镜像文件的长度错误！"},
      {"length field 0x10004000", WithField(good, kImageOffLength, 0x10004000), ImageFileError::WrongLength,
       u"镜像文件的长度错误！"},
      {"payload one byte short", Bytes(good.begin(), good.end() - 1), ImageFileError::PayloadReadFailed,
       u"读镜像文件失败！"},
      {"header only", Bytes(good.begin(), good.begin() + 32), ImageFileError::PayloadReadFailed, u"读镜像文件失败！"},
      {"payload read fails",
       good,
       ImageFileError::PayloadReadFailed,
       u"读镜像文件失败！",
       {sim::Fault{"ReadFile", w32::ERROR_GEN_FAILURE, 2, 1, u"firmware"}}},
      {"payload does not match the data CRC", WithField(ImageFile(1, "KV27-N4", 0x6A69), kImageOffDataCrc, 0x6A68),
       ImageFileError::VerifyFailed, u"镜像解码验证失败！"},
      // Several faults at once: the first check in order decides.
      {"type 2 and a wrong name", ImageFile(2, "N4"), ImageFileError::NotKv27Image, u"不是KV27镜像文件！"},
      {"wrong name, CRC field and length", WithField(ImageFile(1, "N4", 0x1234), kImageOffLength, 0),
       ImageFileError::WrongName, u"镜像名称错误！"},
      {"wrong CRC field and length", WithField(ImageFile(1, "KV27-N4", 0x1234), kImageOffLength, 0),
       ImageFileError::WrongChecksum, u"镜像CHECKSUM错误！"},
      {"wrong length and a short payload",
       [&] {
         Bytes f = WithField(good, kImageOffLength, 0x2000);
         f.resize(40);
         return f;
       }(),
       ImageFileError::WrongLength, u"镜像文件的长度错误！"},
  };
  for (const Case& c : cases) {
    LoadRun run = Load(&c.file, c.faults);
    EXPECT_EQ(run.result.error, c.error) << c.what;
    EXPECT_EQ(std::u16string(run.result.Message()), c.message) << c.what;
    EXPECT_TRUE(run.result.payload.empty()) << c.what;
    EXPECT_EQ(run.leaks, "") << c.what;
  }
}

TEST(ImageFile, OpenAndAllocationFailures) {
  LoadRun missing = Load(nullptr);
  EXPECT_EQ(missing.result.error, ImageFileError::OpenFailed);
  EXPECT_EQ(std::u16string(missing.result.Message()), u"打开镜像文件失败！");
  EXPECT_EQ(missing.result.osError, w32::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.leaks, "");

  const Bytes good = ImageFile();
  LoadRun denied = Load(&good, {sim::Fault{"CreateFileW", w32::ERROR_SHARING_VIOLATION, 1, 1, u"firmware"}});
  EXPECT_EQ(denied.result.error, ImageFileError::OpenFailed);
  EXPECT_EQ(denied.result.osError, w32::ERROR_SHARING_VIOLATION);

  g_failPayloadAllocation = true;
  LoadRun noMemory = Load(&good);
  g_failPayloadAllocation = false;
  EXPECT_EQ(noMemory.result.error, ImageFileError::OutOfMemory);
  EXPECT_EQ(std::u16string(noMemory.result.Message()), u"申请内存失败！");
  EXPECT_EQ(noMemory.reads, 0u);
  EXPECT_EQ(noMemory.leaks, "");
}

TEST(ImageFile, ChecksBeforeTheDecoderLeaveItsContextAlone) {
  // A data CRC field of 0x6A68 with upper bits set is refused before the
  // decoder starts; the context keeps the last decode's state.
  const Bytes file = WithField(ImageFile(), kImageOffDataCrc, 0xFFFF6A68);
  imageDecoder = {0x1111, 0x2222};
  LoadRun run = Load(&file);
  EXPECT_EQ(run.result.error, ImageFileError::WrongChecksum);
  EXPECT_EQ(imageDecoder.key, 0x1111);
  EXPECT_EQ(imageDecoder.dataCrc, 0x2222);
  EXPECT_EQ(run.reads, 1u);
}

TEST(ImageFile, EveryFailureHasADistinctMessage) {
  std::vector<std::u16string> seen;
  for (int e = static_cast<int>(ImageFileError::OutOfMemory); e <= static_cast<int>(ImageFileError::VerifyFailed);
       ++e) {
    std::u16string text = ImageFileErrorText(static_cast<ImageFileError>(e));
    EXPECT_FALSE(text.empty()) << e;
    for (const auto& other : seen) EXPECT_NE(text, other) << e;
    seen.push_back(text);
  }
  EXPECT_EQ(std::u16string(ImageFileErrorText(ImageFileError::DecodeInitFailed)), u"镜像解码初始化失败！");
}

}  // namespace
}  // namespace kv27
