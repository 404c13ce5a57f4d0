#include "tools/console/output_files.h"

namespace kv27::console {
using namespace w32;

namespace {

// The file's identity while a handle without access is open on it: volume
// serial number and file index. False when it cannot be opened or told.
bool Identity(OsApi& os, const std::u16string& path, DWORD& error, std::uint64_t& volume, std::uint64_t& index) {
  HANDLE file = os.CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = os.GetLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = os.GetFileInformationByHandle(file, &info);
  error = ok ? 0 : os.GetLastError();
  os.CloseHandle(file);
  if (!ok) return false;
  volume = info.dwVolumeSerialNumber;
  index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

bool Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The names compared as the file system would without asking it: separators
// alike; case alike on Windows.
std::u16string Folded(std::u16string path) {
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
#if defined(_WIN32)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
#endif
  }
  return path;
}

}  // namespace

bool FileExists(OsApi& os, const std::u16string& path) {
  // Asked of the folder, not of the file: an open could be refused, or count
  // against the open that creates the file.
  WIN32_FIND_DATAW data{};
  HANDLE search = os.FindFirstFileW(path.c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    os.FindClose(search);
    return true;
  }
  return !Missing(os.GetLastError());
}

bool SameFile(OsApi& os, const std::u16string& a, const std::u16string& b) {
  if (a.empty() || b.empty()) return false;
  DWORD errorA = 0, errorB = 0;
  std::uint64_t volumeA = 0, indexA = 0, volumeB = 0, indexB = 0;
  const bool toldA = Identity(os, a, errorA, volumeA, indexA);
  const bool toldB = Identity(os, b, errorB, volumeB, indexB);
  if (toldA && toldB) return volumeA == volumeB && indexA == indexB;
  if (Missing(errorA) || Missing(errorB)) return false;
  return Folded(a) == Folded(b);
}

std::u16string OutputFileProblem(OsApi& os, const std::u16string& output, bool replace,
                                 const std::vector<RunInput>& inputs, const std::u16string& option) {
  // Without `replace` the file is created only where none is (CREATE_NEW),
  // so the inputs are looked at only to say why an existing file is refused.
  // With it, they are always: an input that could not be seen as existing
  // must not be replaced either.
  const bool exists = FileExists(os, output);
  if (!exists && !replace) return {};
  for (const RunInput& input : inputs) {
    if (SameFile(os, output, input.path)) {
      std::u16string text = output + u" is " + input.what;
      if (input.path != output) text += u" (" + input.path + u")";
      return text + u", which this run reads; it is never written: choose another name";
    }
  }
  if (!exists || replace) return {};
  return output + u" exists already; choose a new name, or add " + option + u" to replace it";
}

}  // namespace kv27::console
