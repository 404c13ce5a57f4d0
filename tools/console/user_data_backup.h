// The backup of a mouse's user data, written before the mouse is sent to its
// bootloader so that its settings survive a flash that fails half-way.
//
// File layout (little-endian), 16 bytes of header then the data:
//   0  4  magic "KVUD"
//   4  2  format version (1)
//   6  2  header size (16)
//   8  4  data length (1798: the seven settings pages and the 6-byte copy)
//  12  4  CRC-32 (IEEE 802.3, as zlib) of the data
//  16     the data, exactly as the upgrade merges it into the image at 0x3800
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_api.h"

namespace kv27::console {

inline constexpr char kBackupExtension[] = ".kv27ud";
inline constexpr std::size_t kBackupHeaderSize = 16;
inline constexpr std::uint16_t kBackupVersion = 1;

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

// The file's bytes for `userData` (kUserDataSize bytes).
std::vector<std::uint8_t> EncodeBackup(const std::uint8_t* userData);

enum class BackupError { None, WrongSize, NotABackup, UnknownVersion, WrongLength, WrongChecksum };
// Checks a file's bytes and gives its data; only a file that passes every check
// yields data.
BackupError DecodeBackup(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& userData);
const char16_t* BackupErrorText(BackupError error);

// Whole-file I/O through the OS boundary. Writing creates the file
// (`replace`: or overwrites it) and reports success only once every byte is
// written, flushed to the disk (FlushFileBuffers) and the handle closed; `error` gets the OS error otherwise. Reading
// refuses files over `limit` bytes.
bool WriteWholeFile(w32::OsApi& os, const std::u16string& path, const std::vector<std::uint8_t>& bytes, bool replace,
                    w32::DWORD& error);
bool ReadWholeFile(w32::OsApi& os, const std::u16string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                   w32::DWORD& error);

// Most names tried for one new backup before giving up.
inline constexpr int kBackupNameAttempts = 1000;

// Writes `bytes` to a new file in `folder` under the default name
// "backup-STAMP.kv27ud", or "backup-STAMP-N.kv27ud" (N = 2, 3, ...) while the
// name before is taken: an existing file is never overwritten, so runs that
// share a stamp each get their own file. `path` gets the name written; `error`
// the OS error of the first failure that is not a taken name.
bool WriteNewBackupFile(w32::OsApi& os, const std::u16string& folder, const std::u16string& stamp,
                        const std::vector<std::uint8_t>& bytes, std::u16string& path, w32::DWORD& error);

}  // namespace kv27::console
