#include "image/image_file.h"

#include <cstring>
#include <new>

#include "res/resource.h"

namespace kv27 {
using namespace w32;

const WCHAR* ImageFileErrorText(ImageFileError error) {
  switch (error) {
    case ImageFileError::None:
      return u"";
    case ImageFileError::OutOfMemory:
      return u"申请内存失败！";
    case ImageFileError::OpenFailed:
      return u"打开镜像文件失败！";
    case ImageFileError::HeaderReadFailed:
      return u"读镜像头失败！";
    case ImageFileError::InvalidImage:
      return u"无效的镜像文件！";
    case ImageFileError::NotKv27Image:
      return u"不是KV27镜像文件！";
    case ImageFileError::WrongName:
      return u"镜像名称错误！";
    case ImageFileError::WrongChecksum:
      return u"镜像CHECKSUM错误！";
    case ImageFileError::WrongLength:
      return u"镜像文件的长度错误！";
    case ImageFileError::DecodeInitFailed:
      return u"镜像解码初始化失败！";
    case ImageFileError::PayloadReadFailed:
      return u"读镜像文件失败！";
    case ImageFileError::VerifyFailed:
      return u"镜像解码验证失败！";
  }
  return u"";
}

unsigned ImageFileErrorTextId(ImageFileError error) {
  // The image checks' rows follow one another in the table, from the memory
  // failure to the decode check.
  static_assert(IDS_DECODE_VERIFY_FAILED - IDS_OUT_OF_MEMORY ==
                    static_cast<int>(ImageFileError::VerifyFailed) - static_cast<int>(ImageFileError::OutOfMemory),
                "the string table follows the image checks");
  if (error == ImageFileError::None) return 0;
  return IDS_OUT_OF_MEMORY + static_cast<unsigned>(error) - static_cast<unsigned>(ImageFileError::OutOfMemory);
}

bool ImageNameMatches(OsApi& os, const std::uint8_t* header) {
  char name[kImageNameSize + 1];
  std::memcpy(name, header + kImageOffName, kImageNameSize);
  name[kImageNameSize] = '\0';
  // No ANSI code page turns one byte into more than one UTF-16 unit, so eight
  // bytes and the terminator always fit.
  WCHAR wide[kImageNameSize + 1] = {};
  if (os.MultiByteToWideChar(CP_THREAD_ACP, 0, name, -1, wide, static_cast<int>(kImageNameSize + 1)) == 0) {
    return false;
  }
  const WCHAR* expected = kUpgradeImageName;
  for (std::size_t i = 0;; ++i) {
    if (wide[i] != expected[i]) return false;
    if (expected[i] == 0) return true;
  }
}

namespace {

// Closes the file on every way out.
class FileCloser {
 public:
  FileCloser(OsApi& os, HANDLE file) : os_(os), file_(file) {}
  ~FileCloser() { os_.CloseHandle(file_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  OsApi& os_;
  HANDLE file_;
};

}  // namespace

ImageFileResult LoadImageFile(OsApi& os, const WCHAR* path) {
  ImageFileResult result;

  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(kImagePayloadSize);
  } catch (const std::bad_alloc&) {
    result.error = ImageFileError::OutOfMemory;
    return result;
  }

  HANDLE file = os.CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) {
    result.error = ImageFileError::OpenFailed;
    result.osError = os.GetLastError();
    return result;
  }
  FileCloser closer(os, file);

  std::uint8_t* header = result.header.data();
  DWORD read = 0;
  if (!os.ReadFile(file, header, kImageHeaderSize, &read, nullptr)) {
    result.error = ImageFileError::HeaderReadFailed;
    result.osError = os.GetLastError();
    return result;
  }
  if (read < kImageHeaderSize) {
    result.error = ImageFileError::HeaderReadFailed;
    return result;
  }
  if (ImageHeaderCheck(header) != 0) {
    result.error = ImageFileError::InvalidImage;
    return result;
  }
  if (header[kImageOffType] != kUpgradeImageType) {
    result.error = ImageFileError::NotKv27Image;
    return result;
  }
  if (!ImageNameMatches(os, header)) {
    result.error = ImageFileError::WrongName;
    return result;
  }
  if (ImageReadU32(header, kImageOffDataCrc) != kUpgradeDataCrc) {
    result.error = ImageFileError::WrongChecksum;
    return result;
  }
  if (ImageReadU32(header, kImageOffLength) != kUpgradePayloadLength) {
    result.error = ImageFileError::WrongLength;
    return result;
  }
  if (ImageDecodeInit(header) != 0) {
    result.error = ImageFileError::DecodeInitFailed;
    return result;
  }
  read = 0;
  if (!os.ReadFile(file, buffer.data(), kImagePayloadSize, &read, nullptr)) {
    result.error = ImageFileError::PayloadReadFailed;
    result.osError = os.GetLastError();
    return result;
  }
  if (read < kImagePayloadSize) {
    result.error = ImageFileError::PayloadReadFailed;
    return result;
  }
  ImageDecodeBlock(header, buffer.data());
  if (ImageDecodeVerify(header) != 0) {
    result.error = ImageFileError::VerifyFailed;
    return result;
  }
  result.error = ImageFileError::None;
  result.payload = std::move(buffer);
  return result;
}

}  // namespace kv27
