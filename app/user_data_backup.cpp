#include "app/user_data_backup.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "app/upgrade_sequence.h"
#include "hid/hid_comm.h"
#include "protocol/kv27_usb_comm.h"
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

bool WriteNewBackupFile(OsApi& os, const std::u16string& folder, const std::u16string& stamp,
                        const std::u16string& place, const std::vector<std::uint8_t>& bytes, std::u16string& path,
                        DWORD& error) {
  const std::u16string base = folder + SeparatorOf(folder) + u"backup-" + stamp + (place.empty() ? u"" : u"-" + place);
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
                      std::vector<std::uint8_t>& userData, std::u16string& path) {
  userData.clear();
  if (folder.empty() || place.empty()) return false;
  struct Candidate {
    std::u16string stamp;
    unsigned long number;
    std::u16string name;
  };
  std::vector<Candidate> found;
  const std::u16string prefix = u"backup-";
  const std::u16string extension = Ascii(kBackupExtension);
  std::u16string marker = u"-";
  marker += Upper(place);
  WIN32_FIND_DATAW data{};
  HANDLE search = os.FindFirstFileW((folder + SeparatorOf(folder) + prefix + u"*" + extension).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::u16string name(data.cFileName, std::find(data.cFileName, data.cFileName + 260, u'\0'));
    // The pattern also matches short names; the name itself is checked again.
    if (name.size() <= prefix.size() + extension.size() || Upper(name.substr(0, prefix.size())) != Upper(prefix) ||
        !EndsWithFolded(name, extension))
      continue;
    const std::u16string body = Upper(name.substr(prefix.size(), name.size() - prefix.size() - extension.size()));
    const std::size_t at = body.find(marker);
    if (at == std::u16string::npos || at == 0) continue;
    const std::u16string rest = body.substr(at + marker.size());
    unsigned long number = 1;
    if (!rest.empty()) {
      if (rest.size() < 2 || rest.size() > 6 || rest[0] != u'-') continue;
      number = 0;
      bool digits = true;
      for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < u'0' || rest[i] > u'9') digits = false;
        number = number * 10 + static_cast<unsigned long>(rest[i] - u'0');
      }
      if (!digits) continue;
    }
    found.push_back({body.substr(0, at), number, name});
  } while (os.FindNextFileW(search, &data));
  os.FindClose(search);

  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.number > b.number;
  });
  for (const Candidate& c : found) {
    const std::u16string file = folder + SeparatorOf(folder) + c.name;
    std::vector<std::uint8_t> bytes;
    DWORD error = 0;
    if (!ReadWholeFile(os, file, kBackupHeaderSize + kUserDataSize, bytes, error)) continue;
    if (DecodeBackup(bytes, userData) != BackupError::None) continue;
    path = file;
    return true;
  }
  userData.clear();
  return false;
}

std::u16string UserBackupFolder(OsApi& os) {
  WCHAR base[kHidMaxPath] = {};
  const DWORD length = os.GetEnvironmentVariableW(u"LOCALAPPDATA", base, kHidMaxPath);
  if (length == 0 || length >= kHidMaxPath) return {};
  const std::u16string folder = std::u16string(base, length) + u"\\KV27M";
  if (!os.CreateDirectoryW(folder.c_str(), nullptr) && os.GetLastError() != ERROR_ALREADY_EXISTS) return {};
  return folder;
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

namespace {

std::u16string PlaceOf(const CUSBDeviceMonitor& monitor, USHORT vendorId, USHORT productId) {
  USBDeviceEntry entry;
  if (!monitor.FindDevice(vendorId, productId, entry) || entry.hubPath.empty() || entry.connection == nullptr)
    return {};
  ULONG port = 0;  // ConnectionIndex, the record's first field
  std::memcpy(&port, entry.connection, sizeof port);
  return BackupPlace(entry.hubPath, port);
}

// The four hex digits after `key` ("VID_" or "PID_", any case) in a device
// path; -1 without them.
long HexAfter(const std::u16string& path, const std::u16string& key) {
  const std::size_t at = Upper(path).find(key);
  if (at == std::u16string::npos || at + key.size() + 4 > path.size()) return -1;
  long value = 0;
  for (std::size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
    const char16_t c = path[i];
    int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                         : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

std::u16string MousePlace(CKV27USBComm& mouseLink, const CUSBDeviceMonitor& monitor) {
  HIDDeviceCaps caps{};
  if (!mouseLink.GetDeviceCaps(&caps)) return {};
  return PlaceOf(monitor, caps.attributes.VendorID, caps.attributes.ProductID);
}

std::u16string BootloaderPlace(const std::u16string& ispPath, const CUSBDeviceMonitor& monitor) {
  const long vendorId = HexAfter(ispPath, u"VID_");
  const long productId = HexAfter(ispPath, u"PID_");
  if (vendorId < 0 || productId < 0) return {};
  return PlaceOf(monitor, static_cast<USHORT>(vendorId), static_cast<USHORT>(productId));
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
