#include "app/user_data_backup.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "app/upgrade_sequence.h"
#include "hid/hid_comm.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {
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

namespace {

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool EndsWithFolded(const std::u16string& text, const std::u16string& end) {
  if (text.size() < end.size()) return false;
  for (std::size_t i = 0; i < end.size(); ++i) {
    char16_t a = text[text.size() - end.size() + i], b = end[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
    if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
    if (a != b) return false;
  }
  return true;
}

std::u16string Upper(std::u16string text) {
  for (auto& c : text)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return text;
}

char16_t SeparatorOf(const std::u16string& folder) {
  return folder.find(u'\\') != std::u16string::npos || folder.find(u'/') == std::u16string::npos ? u'\\' : u'/';
}

}  // namespace

namespace {

// One default name in a backup folder, taken apart.
struct BackupName {
  std::u16string name;         // as listed
  std::u16string stamp;        // upper case
  unsigned long sequence = 0;  // 0: a name written before sequence numbers
  unsigned long number = 1;    // K
};

// "-N<digits>" at the end of `body` (upper case): the sequence number, with
// the body cut before it. 0 when there is none.
unsigned long CutSequence(std::u16string& body) {
  const std::size_t at = body.rfind(u"-N");
  if (at == std::u16string::npos || at + 2 >= body.size() || body.size() - at - 2 > 9) return 0;
  unsigned long value = 0;
  for (std::size_t i = at + 2; i < body.size(); ++i) {
    if (body[i] < u'0' || body[i] > u'9') return 0;
    value = value * 10 + static_cast<unsigned long>(body[i] - u'0');
  }
  if (value == 0) return 0;
  body.resize(at);
  return value;
}

// Lists "backup-*.kv27ud" in `folder`: false with the OS error when the
// folder cannot be listed (a folder with no backup is an empty list).
// `marker` ("-" and a place, upper case), when not empty, keeps only that
// place's backups, with their stamps and numbers; without it every name is
// listed, for its sequence number only.
bool ListBackups(OsApi& os, const std::u16string& folder, const std::u16string& marker, std::vector<BackupName>& found,
                 DWORD& error) {
  found.clear();
  error = 0;
  const std::u16string prefix = u"backup-";
  const std::u16string extension = Ascii(kBackupExtension);
  WIN32_FIND_DATAW data{};
  HANDLE search = os.FindFirstFileW((folder + SeparatorOf(folder) + prefix + u"*" + extension).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    error = os.GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) error = 0;
    return error == 0;
  }
  do {
    std::u16string name(data.cFileName, std::find(data.cFileName, data.cFileName + 260, u'\0'));
    // The pattern also matches short names; the name itself is checked again.
    if (name.size() <= prefix.size() + extension.size() || Upper(name.substr(0, prefix.size())) != Upper(prefix) ||
        !EndsWithFolded(name, extension))
      continue;
    std::u16string body = Upper(name.substr(prefix.size(), name.size() - prefix.size() - extension.size()));
    BackupName entry;
    entry.name = name;
    if (!marker.empty()) {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::size_t at = body.find(marker);
      if (at == std::u16string::npos || at == 0) continue;
      const std::u16string rest = body.substr(at + marker.size());
      if (!rest.empty()) {
        if (rest.size() < 2 || rest.size() > 6 || rest[0] != u'-') continue;
        entry.number = 0;
        bool digits = true;
        for (std::size_t i = 1; i < rest.size(); ++i) {
          if (rest[i] < u'0' || rest[i] > u'9') digits = false;
          entry.number = entry.number * 10 + static_cast<unsigned long>(rest[i] - u'0');
        }
        if (!digits) continue;
      }
      body.resize(at);
      entry.sequence = CutSequence(body);
      entry.stamp = body;
    } else {
      // Any place: the sequence number is the "-N<digits>" before "-AT-" or
      // before the end (a name without a place), counted whatever the rest.
      const std::size_t at = body.find(u"-AT-");
      std::u16string head = at == std::u16string::npos ? body : body.substr(0, at);
      entry.sequence = CutSequence(head);
      if (entry.sequence == 0 && at == std::u16string::npos) {
        // "STAMP-nSEQ-K" of a name without a place.
        const std::size_t dash = head.rfind(u'-');
        if (dash != std::u16string::npos) {
          head.resize(dash);
          entry.sequence = CutSequence(head);
        }
      }
    }
    found.push_back(std::move(entry));
  } while (os.FindNextFileW(search, &data));
  os.FindClose(search);
  return true;
}

}  // namespace

bool WriteNewBackupFile(OsApi& os, const std::u16string& folder, const std::u16string& stamp,
                        const std::u16string& place, const std::vector<std::uint8_t>& bytes, std::u16string& path,
                        DWORD& error) {
  std::vector<BackupName> existing;
  if (!ListBackups(os, folder, u"", existing, error)) return false;
  unsigned long sequence = 0;
  for (const BackupName& b : existing) sequence = std::max(sequence, b.sequence);
  // Nine digits at most are read back; a name that claims the last one does
  // not push the numbers past what is read.
  sequence = std::min(sequence, 999'999'998ul);
  char seq[32];
  std::snprintf(seq, sizeof seq, "-n%06lu", sequence + 1);
  std::u16string base = folder + SeparatorOf(folder) + u"backup-" + stamp;
  base += Ascii(seq);
  if (!place.empty()) {
    base += u'-';
    base += place;
  }
  for (int n = 1; n <= kBackupNameAttempts; ++n) {
    // Appended in steps: GCC 12 warns falsely (-Wrestrict) on "literal" + string&&.
    std::u16string name = base;
    if (n > 1) {
      name += u'-';
      name += Ascii(std::to_string(n));
    }
    name += Ascii(kBackupExtension);
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

bool FindNewestBackup(OsApi& os, const std::u16string& folder, const std::u16string& place,
                      std::vector<std::uint8_t>& userData, std::u16string& path, std::vector<std::u16string>* damaged) {
  userData.clear();
  if (damaged != nullptr) damaged->clear();
  if (folder.empty() || place.empty()) return false;
  std::vector<BackupName> found;
  DWORD error = 0;
  if (!ListBackups(os, folder, u"-" + Upper(place), found, error)) return false;

  // Newest first: a sequence number before none, then the higher sequence,
  // the later stamp, the higher K.
  std::sort(found.begin(), found.end(), [](const BackupName& a, const BackupName& b) {
    if (a.sequence != b.sequence) return a.sequence > b.sequence;
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.number > b.number;
  });
  for (const BackupName& c : found) {
    const std::u16string file = folder + SeparatorOf(folder) + c.name;
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(os, file, kBackupHeaderSize + kUserDataSize, bytes, error) ||
        DecodeBackup(bytes, userData) != BackupError::None) {
      if (damaged != nullptr) damaged->push_back(file);
      continue;
    }
    path = file;
    return true;
  }
  userData.clear();
  return false;
}

std::u16string UserBackupFolder(OsApi& os, bool simulated) {
  WCHAR base[kHidMaxPath] = {};
  const DWORD length = os.GetEnvironmentVariableW(u"LOCALAPPDATA", base, kHidMaxPath);
  if (length == 0 || length >= kHidMaxPath) return {};
  const std::u16string folder = std::u16string(base, length) + u"\\KV27M";
  if (!os.CreateDirectoryW(folder.c_str(), nullptr) && os.GetLastError() != ERROR_ALREADY_EXISTS) return {};
  return simulated ? SimulatedBackupFolder(os, folder) : folder;
}

std::u16string SimulatedBackupFolder(OsApi& os, const std::u16string& folder) {
  if (folder.empty()) return {};
  const std::u16string simulated = folder + SeparatorOf(folder) + u"simulated";
  if (!os.CreateDirectoryW(simulated.c_str(), nullptr) && os.GetLastError() != ERROR_ALREADY_EXISTS) return {};
  return simulated;
}

std::u16string BackupTimeStamp(OsApi& os) {
  SYSTEMTIME t{};
  os.GetLocalTime(&t);
  char text[64];
  std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u-%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds);
  return Ascii(text);
}

std::u16string BackupPlace(const std::u16string& hubPath, ULONG port) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : Upper(hubPath)) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  char text[32];
  std::snprintf(text, sizeof text, "at-%08X-%u", static_cast<unsigned>(Crc32(bytes.data(), bytes.size())),
                static_cast<unsigned>(port));
  return Ascii(text);
}

std::u16string PortPlace(const USBDeviceEntry& port) {
  if (port.hubPath.empty() || port.connection == nullptr) return {};
  ULONG number = 0;  // ConnectionIndex, the record's first field
  std::memcpy(&number, port.connection, sizeof number);
  return BackupPlace(port.hubPath, number);
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

}  // namespace kv27
