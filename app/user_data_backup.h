// The backup of a mouse's user data, written before the mouse is sent to its
// bootloader so that its settings survive a flash that fails half-way. The
// dialog and the console upgrader write the same files, in the same per-user
// folder, and the dialog takes the newest one of a mouse that waits in its
// bootloader.
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

namespace kv27 {

struct USBDeviceEntry;

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

// Default backup names: "backup-STAMP-nSEQ[-PLACE][-K].kv27ud".
//   STAMP  the local time (BackupTimeStamp), for the person who reads the name;
//   SEQ    one more than the highest SEQ of any backup in the folder when the
//          file is written (six digits or more): the order of the backups. It
//          never goes backwards, whatever the clock, the time zone or daylight
//          saving do to STAMP;
//   PLACE  when known, where the mouse was on the bus (BackupPlace): how a
//          backup is told to belong to a mouse;
//   K      (2, 3, ...) keeps apart names that would otherwise be the same (two
//          programs writing at once).
// Names written before SEQ existed ("backup-STAMP[-PLACE][-K].kv27ud") are
// still read; they rank below every name with a SEQ, and among themselves by
// STAMP, then K.
//
// Writes `bytes` to a new file in `folder` under such a name, taking the next
// K while a name is taken: an existing file is never overwritten. `path` gets
// the name written; `error` the OS error of the first failure that is not a
// taken name. A folder that cannot be listed fails too (SEQ could not be
// told, and a backup ranked below older ones would be worse than none).
bool WriteNewBackupFile(w32::OsApi& os, const std::u16string& folder, const std::u16string& stamp,
                        const std::u16string& place, const std::vector<std::uint8_t>& bytes, std::u16string& path,
                        w32::DWORD& error);

// The newest sound backup in `folder` whose name carries `place`, newest in
// the order above. True with its data (kUserDataSize bytes) and path.
// Backups of the place that are newer than the one taken (all of them, when
// none is taken) but cannot be read or fail DecodeBackup are passed over;
// `damaged` (optional) gets their paths, newest first, so that the caller can
// say so.
bool FindNewestBackup(w32::OsApi& os, const std::u16string& folder, const std::u16string& place,
                      std::vector<std::uint8_t>& userData, std::u16string& path,
                      std::vector<std::u16string>* damaged = nullptr);

// The per-user backup folder, %LOCALAPPDATA%\KV27M, made when missing; empty
// when there is none and it cannot be made. Simulated runs keep their
// backups in its subfolder "simulated" (SimulatedBackupFolder), apart from
// the real mice's: the recovery never reads them.
std::u16string UserBackupFolder(w32::OsApi& os, bool simulated = false);
// `folder`\simulated, made when missing; empty when it cannot be made.
std::u16string SimulatedBackupFolder(w32::OsApi& os, const std::u16string& folder);
// The local time as YYYYMMDD-HHMMSS-mmm, for backup names.
std::u16string BackupTimeStamp(w32::OsApi& os);

// Where a device is on the bus, for backup names: "at-HHHHHHHH-P", from the
// hub's device path (CRC-32 of its upper-case text, in hex) and the port
// number. A mouse keeps its place when it restarts into its bootloader, and
// again when it is unplugged and plugged into the same port.
std::u16string BackupPlace(const std::u16string& hubPath, w32::ULONG port);
// The place of a port the run has located (USBDeviceEntry with its
// connection record); empty for a free entry.
std::u16string PortPlace(const USBDeviceEntry& port);

}  // namespace kv27
