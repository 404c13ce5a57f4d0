// The checks an image file goes through when it is chosen and again at the
// start of every upgrade, in their fixed order, each with the message the user
// sees when it fails.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image/image.h"
#include "platform/os_api.h"

namespace kv27 {

// The image type and name the upgrade accepts, and the header values it
// requires.
constexpr std::uint8_t kUpgradeImageType = 1;
constexpr char16_t kUpgradeImageName[] = u"KV27-N4";
constexpr std::uint32_t kUpgradeDataCrc = 0x6A68;
constexpr std::uint32_t kUpgradePayloadLength = 0x4000;

// The first check that failed, in check order.
enum class ImageFileError {
  None = 0,
  OutOfMemory,        // the payload buffer could not be allocated
  OpenFailed,         // CreateFileW failed
  HeaderReadFailed,   // ReadFile failed or gave fewer than 32 bytes
  InvalidImage,       // ImageHeaderCheck failed
  NotKv27Image,       // image type is not 1
  WrongName,          // name is not exactly "KV27-N4"
  WrongChecksum,      // data CRC field (full u32) is not 0x6A68
  WrongLength,        // payload length field is not 0x4000
  DecodeInitFailed,   // ImageDecodeInit failed
  PayloadReadFailed,  // ReadFile failed or gave fewer than 16384 bytes
  VerifyFailed,       // ImageDecodeVerify failed
};

// The message box text for a failure; an empty string for None.
const w32::WCHAR* ImageFileErrorText(ImageFileError error);
// The failure's message in the program's string table (res/resource.h), where
// it has its text in every language; 0 for None.
unsigned ImageFileErrorTextId(ImageFileError error);

struct ImageFileResult {
  ImageFileError error = ImageFileError::OpenFailed;
  // The OS error of a failed open or read (0 otherwise), for diagnostics only.
  w32::DWORD osError = 0;
  // The header as read; meaningful from the header check on.
  std::array<std::uint8_t, kImageHeaderSize> header{};
  // The plain payload, kImagePayloadSize bytes, on success; empty otherwise.
  std::vector<std::uint8_t> payload;

  bool ok() const { return error == ImageFileError::None; }
  const w32::WCHAR* Message() const { return ImageFileErrorText(error); }
};

// Runs the checks on the file at `path`, stopping at the first failure: open
// (read access, no sharing, existing file only), read the 32-byte header,
// header check, type 1, name "KV27-N4", data CRC field 0x6A68, length field
// 0x4000, decode init, read the 16384-byte payload (anything after it is never
// read), decode and verify. The file is closed on every path. Uses the shared
// decoder context (imageDecoder).
ImageFileResult LoadImageFile(w32::OsApi& os, const w32::WCHAR* path);

// The name check on its own: header bytes 24..31 as a NUL-terminated narrow
// string, converted with the thread's ANSI code page and compared unit by unit
// with "KV27-N4".
bool ImageNameMatches(w32::OsApi& os, const std::uint8_t* header);

}  // namespace kv27
