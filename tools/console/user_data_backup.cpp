#include "tools/console/user_data_backup.h"

#include <array>
#include <cstring>

#include "app/upgrade_sequence.h"

namespace kv27::console {
using namespace w32;

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'V', 'U', 'D'};
constexpr DWORD kErrorFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE

void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> EncodeBackup(const std::uint8_t* userData) {
  std::vector<std::uint8_t> file(kBackupHeaderSize + kUserDataSize);
  std::memcpy(file.data(), kMagic, 4);
  PutU16(file.data() + 4, kBackupVersion);
  PutU16(file.data() + 6, static_cast<std::uint16_t>(kBackupHeaderSize));
  PutU32(file.data() + 8, static_cast<std::uint32_t>(kUserDataSize));
  PutU32(file.data() + 12, Crc32(userData, kUserDataSize));
  std::memcpy(file.data() + kBackupHeaderSize, userData, kUserDataSize);
  return file;
}

BackupError DecodeBackup(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& userData) {
  userData.clear();
  if (file.size() < kBackupHeaderSize) return BackupError::WrongSize;
  if (std::memcmp(file.data(), kMagic, 4) != 0) return BackupError::NotABackup;
  if (GetU16(file.data() + 4) != kBackupVersion || GetU16(file.data() + 6) != kBackupHeaderSize)
    return BackupError::UnknownVersion;
  if (GetU32(file.data() + 8) != kUserDataSize) return BackupError::WrongLength;
  if (file.size() != kBackupHeaderSize + kUserDataSize) return BackupError::WrongSize;
  const std::uint8_t* data = file.data() + kBackupHeaderSize;
  if (Crc32(data, kUserDataSize) != GetU32(file.data() + 12)) return BackupError::WrongChecksum;
  userData.assign(data, data + kUserDataSize);
  return BackupError::None;
}

const char16_t* BackupErrorText(BackupError error) {
  switch (error) {
    case BackupError::None:
      return u"the backup is sound";
    case BackupError::WrongSize:
      return u"the file does not have the size of a settings backup";
    case BackupError::NotABackup:
      return u"the file is not a settings backup";
    case BackupError::UnknownVersion:
      return u"the backup is of an unknown format version";
    case BackupError::WrongLength:
      return u"the backup's length field does not match the settings size";
    case BackupError::WrongChecksum:
      return u"the backup's checksum does not match its data (the file is damaged)";
  }
  return u"";
}

bool WriteWholeFile(OsApi& os, const std::u16string& path, const std::vector<std::uint8_t>& bytes, bool replace,
                    DWORD& error) {
  HANDLE file = os.CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = os.GetLastError();
    return false;
  }
  DWORD written = 0;
  BOOL ok = os.WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  error = ok ? 0 : os.GetLastError();
  if (ok && written != bytes.size()) error = ERROR_WRITE_FAULT;
  // On the disk before the caller goes on: the backup is there for a power
  // cut during the flash that follows, and the system's cache would not
  // survive it.
  if (error == 0 && !os.FlushFileBuffers(file)) error = os.GetLastError();
  if (!os.CloseHandle(file) && error == 0) error = os.GetLastError();
  return error == 0;
}

bool WriteNewBackupFile(OsApi& os, const std::u16string& folder, const std::u16string& stamp,
                        const std::vector<std::uint8_t>& bytes, std::u16string& path, DWORD& error) {
  const char16_t separator = folder.find(u'\\') != std::u16string::npos ? u'\\' : u'/';
  const std::u16string base = folder + separator + u"backup-" + stamp;
  const std::string extension = kBackupExtension;
  for (int n = 1; n <= kBackupNameAttempts; ++n) {
    std::u16string name = base;
    if (n > 1) {
      const std::string count = "-" + std::to_string(n);
      name += std::u16string(count.begin(), count.end());
    }
    name += std::u16string(extension.begin(), extension.end());
    if (WriteWholeFile(os, name, bytes, false, error)) {
      path = name;
      return true;
    }
    // Only a name already taken moves on to the next one (CREATE_NEW fails with
    // ERROR_FILE_EXISTS; ERROR_ALREADY_EXISTS is taken alike).
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool ReadWholeFile(OsApi& os, const std::u16string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                   DWORD& error) {
  bytes.clear();
  HANDLE file = os.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = os.GetLastError();
    return false;
  }
  error = 0;
  std::uint8_t chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!os.ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
      error = os.GetLastError();
      break;
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (bytes.size() > limit) {
      error = kErrorFileTooLarge;
      break;
    }
  }
  os.CloseHandle(file);
  if (error != 0) bytes.clear();
  return error == 0;
}

}  // namespace kv27::console
