// The names in a backup folder, as the dialog's recovery reads them: a folder
// holds files and folders of any names (some of them sound backups, some
// damaged), and FindNewestBackup picks the newest sound backup of one mouse.
//
// Input: entries separated by '\n'; the first byte of each is its kind (bit 0:
// a folder, bit 1: a backup whose checksum is wrong, else a sound backup of
// settings that name the entry), the rest its name (bytes as Latin-1; path
// separators, wildcards and NUL dropped). At most 32 entries.
//
// The folder is served by a small boundary of the target's own that lists
// every entry whatever the pattern (a superset of what Windows lists, short
// names included), so that the names meet the parser's own checks.
//
// Checks: every handle is closed; a backup found is one of the folder's sound
// files, named "backup-...-PLACE[-N].kv27ud" for the mouse's place, and its
// settings are that file's; when the folder holds a sound backup under a name
// the programs write ("backup-STAMP-PLACE.kv27ud"), one is found.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "platform/forwarding_os_api.h"
#include "sim/world.h"

using namespace kv27;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_backup_names: %s\n", what);
    std::abort();
  }
}

constexpr char16_t kFolder[] = u"C:\\Users\\u\\AppData\\Local\\KV27M";
constexpr char16_t kPlace[] = u"at-1C2D3E4F-2";

struct Entry {
  std::u16string name;
  bool folder = false;
  bool damaged = false;
  std::uint8_t fill = 0;  // the settings' bytes of a backup
};

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }
std::u16string Upper(std::u16string s) {
  for (auto& c : s) c = Upper(c);
  return s;
}

// A name as the programs write it: "backup-" digits and dashes, "-PLACE.kv27ud".
bool Canonical(const std::u16string& name) {
  const std::u16string prefix = u"backup-", suffix = std::u16string(u"-") + kPlace + u".kv27ud";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  for (std::size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
    const char16_t c = name[i];
    if (!(c >= u'0' && c <= u'9') && c != u'-') return false;
  }
  return name[prefix.size()] != u'-';
}

// One folder of entries; everything else goes to a world that is never used.
class FolderOsApi : public w32::ForwardingOsApi {
 public:
  FolderOsApi(w32::OsApi& inner, const std::vector<Entry>& entries) : ForwardingOsApi(inner), entries_(entries) {}

  w32::DWORD GetLastError() override { return error_; }
  void SetLastError(w32::DWORD error) override { error_ = error; }

  w32::HANDLE FindFirstFileW(w32::LPCWSTR, w32::WIN32_FIND_DATAW* data) override {
    if (entries_.empty()) {
      error_ = w32::ERROR_FILE_NOT_FOUND;
      return w32::INVALID_HANDLE_VALUE;
    }
    ++open;
    next_ = 0;
    FindNextFileW(kSearch, data);
    return kSearch;
  }
  w32::BOOL FindNextFileW(w32::HANDLE search, w32::WIN32_FIND_DATAW* data) override {
    Require(search == kSearch, "FindNextFileW on another handle");
    if (next_ >= entries_.size()) {
      error_ = w32::ERROR_NO_MORE_FILES;
      return FALSE;
    }
    const Entry& e = entries_[next_++];
    *data = w32::WIN32_FIND_DATAW{};
    data->dwFileAttributes = e.folder ? w32::FILE_ATTRIBUTE_DIRECTORY : w32::FILE_ATTRIBUTE_NORMAL;
    std::copy(e.name.begin(), e.name.end(), data->cFileName);
    return TRUE;
  }
  w32::BOOL FindClose(w32::HANDLE search) override {
    Require(search == kSearch, "FindClose on another handle");
    --open;
    return TRUE;
  }
  w32::HANDLE CreateFileW(w32::LPCWSTR path, w32::DWORD access, w32::DWORD, w32::SECURITY_ATTRIBUTES*,
                          w32::DWORD disposition, w32::DWORD, w32::HANDLE) override {
    Require(access == w32::GENERIC_READ && disposition == w32::OPEN_EXISTING, "a backup opened for more than reading");
    const std::u16string wanted = Upper(std::u16string(path));
    for (const auto& e : entries_) {
      if (Upper(std::u16string(kFolder) + u"\\" + e.name) != wanted) continue;
      if (e.folder) break;
      file_ = &File(e);
      at_ = 0;
      ++open;
      return kFile;
    }
    error_ = w32::ERROR_FILE_NOT_FOUND;
    return w32::INVALID_HANDLE_VALUE;
  }
  w32::BOOL ReadFile(w32::HANDLE file, w32::LPVOID buffer, w32::DWORD toRead, w32::LPDWORD read,
                     w32::OVERLAPPED*) override {
    Require(file == kFile, "ReadFile on another handle");
    const std::size_t n = std::min<std::size_t>(toRead, file_->size() - at_);
    std::copy(file_->begin() + static_cast<std::ptrdiff_t>(at_), file_->begin() + static_cast<std::ptrdiff_t>(at_ + n),
              static_cast<std::uint8_t*>(buffer));
    at_ += n;
    *read = static_cast<w32::DWORD>(n);
    return TRUE;
  }
  w32::BOOL CloseHandle(w32::HANDLE handle) override {
    Require(handle == kFile, "CloseHandle on another handle");
    --open;
    return TRUE;
  }

  // The file of an entry (made once per kind: the checksums are not what is
  // under test).
  static const std::vector<std::uint8_t>& File(const Entry& e) {
    static std::vector<std::uint8_t> files[2][33];
    std::vector<std::uint8_t>& file = files[e.damaged ? 1 : 0][e.fill];
    if (file.empty()) {
      const std::vector<std::uint8_t> settings(kUserDataSize, e.fill);
      file = EncodeBackup(settings.data());
      if (e.damaged) file[kBackupHeaderSize + 7] ^= 0x5A;
    }
    return file;
  }

  int open = 0;

 private:
  static inline const w32::HANDLE kSearch = reinterpret_cast<w32::HANDLE>(0x5EA);
  static inline const w32::HANDLE kFile = reinterpret_cast<w32::HANDLE>(0xF11E);
  const std::vector<Entry>& entries_;
  std::size_t next_ = 0;
  const std::vector<std::uint8_t>* file_ = nullptr;
  std::size_t at_ = 0;
  w32::DWORD error_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<Entry> entries;
  for (std::size_t at = 0; at < size && entries.size() < 32;) {
    std::size_t end = at;
    while (end < size && data[end] != '\n') ++end;
    if (end > at) {
      Entry e;
      e.folder = (data[at] & 1) != 0;
      e.damaged = (data[at] & 2) != 0;
      e.fill = static_cast<std::uint8_t>(entries.size() + 1);
      for (std::size_t i = at + 1; i < end && e.name.size() < 200; ++i) {
        const char16_t c = data[i];
        if (c == 0 || c == u'\\' || c == u'/' || c == u'*' || c == u'?' || c == u':' || c == u'\r') continue;
        e.name.push_back(c);
      }
      bool taken = e.name.empty() || e.name == u"." || e.name == u"..";
      for (const auto& other : entries) taken = taken || Upper(other.name) == Upper(e.name);
      if (!taken) entries.push_back(e);
    }
    at = end + 1;
  }

  static sim::World* world = new sim::World();
  FolderOsApi folder(*world, entries);
  std::vector<std::uint8_t> userData;
  std::u16string path;
  const bool found = FindNewestBackup(folder, kFolder, kPlace, userData, path);
  Require(folder.open == 0, "a handle is left open");

  bool canonical = false;
  for (const auto& e : entries) canonical = canonical || (!e.folder && !e.damaged && Canonical(e.name));
  if (!found) {
    Require(userData.empty(), "no backup found, but settings handed over");
    Require(!canonical, "a sound backup under a name the programs write was passed over");
    return 0;
  }
  const Entry* chosen = nullptr;
  for (const auto& e : entries)
    if (path == std::u16string(kFolder) + u"\\" + e.name) chosen = &e;
  Require(chosen != nullptr, "the backup found is not a file of the folder");
  Require(!chosen->folder && !chosen->damaged, "a folder or a damaged backup was taken");
  const std::u16string name = Upper(chosen->name);
  Require(name.rfind(u"BACKUP-", 0) == 0 && name.size() > 14 && name.substr(name.size() - 7) == u".KV27UD",
          "a file taken that is not named as a backup");
  Require(name.find(Upper(std::u16string(u"-") + kPlace)) != std::u16string::npos,
          "a backup of another place was taken");
  Require(userData == std::vector<std::uint8_t>(kUserDataSize, chosen->fill), "the settings are not the file's");
  return 0;
}
