// The simulated world: ordinary files, from the memory overlay or the host disk.
//
// A file behaves as a Windows file does:
//   - CreateFileW creates (or truncates) it at once: CREATE_NEW fails with
//     ERROR_FILE_EXISTS on an existing file, CREATE_ALWAYS and OPEN_ALWAYS
//     succeed with ERROR_ALREADY_EXISTS on one; a path whose directory does
//     not exist fails with ERROR_PATH_NOT_FOUND, a missing file in an
//     existing directory with ERROR_FILE_NOT_FOUND (CreateFileW, "Return
//     value"; Wine's kernel32 file tests);
//   - WriteFile puts the bytes into the file before it reports them written,
//     so that every other handle and every other program sees them, and it
//     fails with the error the disk gave (ERROR_DISK_FULL on a full disk);
//   - ReadFile reads what the file holds at the time of the read;
//   - FlushFileBuffers needs a handle with GENERIC_WRITE (ERROR_ACCESS_DENIED
//     otherwise) and hands the disk's error back.
// Host files stay open on the host for the life of their handle; the memory
// overlay keeps one content per path, shared by its handles.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "sim/world_impl.h"

#if defined(_WIN32)
#include <io.h>
// The host's own call, for the identity of a host file (the world does not
// see <windows.h>); its record has BY_HANDLE_FILE_INFORMATION's layout.
extern "C" __declspec(dllimport) int __stdcall GetFileInformationByHandle(void* file, void* information);
#else
#include <unistd.h>
#endif

namespace kv27::sim {

namespace {

// Low-level host I/O on a descriptor, the same on both host systems.
int HostOpen(const std::filesystem::path& path, int flags) {
#if defined(_WIN32)
  return ::_wopen(path.c_str(), flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
  return ::open(path.c_str(), flags | O_CLOEXEC, 0666);
#endif
}
bool HostSeek(int fd, std::uint64_t position) {
#if defined(_WIN32)
  return ::_lseeki64(fd, static_cast<__int64>(position), SEEK_SET) >= 0;
#else
  return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) >= 0;
#endif
}
long HostRead(int fd, void* buffer, DWORD length) {
#if defined(_WIN32)
  return ::_read(fd, buffer, length);
#else
  return static_cast<long>(::read(fd, buffer, length));
#endif
}
long HostWrite(int fd, const void* buffer, DWORD length) {
#if defined(_WIN32)
  return ::_write(fd, buffer, length);
#else
  return static_cast<long>(::write(fd, buffer, length));
#endif
}
bool HostSync(int fd) {
#if defined(_WIN32)
  return ::_commit(fd) == 0;
#else
  return ::fsync(fd) == 0;
#endif
}
void HostClose(int fd) {
#if defined(_WIN32)
  ::_close(fd);
#else
  ::close(fd);
#endif
}

// The Windows error for a host error (errno), as the Win32 layer maps the
// file system's status codes.
DWORD WindowsError(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case ENOSPC:
#if defined(EDQUOT)
    case EDQUOT:
#endif
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EIO:
      return ERROR_GEN_FAILURE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Host path of a Windows-style path: on other hosts the separators turn.
std::filesystem::path HostPath(const std::u16string& path) {
  std::u16string p = path;
#if !defined(_WIN32)
  std::replace(p.begin(), p.end(), u'\\', u'/');
#endif
  return std::filesystem::path(p);
}

}  // namespace

// ------------------------------------------------------------------ memory keys

std::u16string MemoryKey(const std::u16string& path) {
  std::u16string key = FoldCase(path);
  std::replace(key.begin(), key.end(), u'/', u'\\');
  while (key.size() > 1 && key.back() == u'\\') key.pop_back();
  return key;
}

std::u16string MemoryParent(const std::u16string& key) {
  const std::size_t cut = key.find_last_of(u'\\');
  return cut == std::u16string::npos ? std::u16string() : key.substr(0, cut);
}

void World::Impl::AddMemoryDirectory(const std::u16string& key, const std::u16string& path) {
  std::u16string name = path;
  std::replace(name.begin(), name.end(), u'/', u'\\');
  while (name.size() > 1 && name.back() == u'\\') name.pop_back();
  for (std::u16string dir = key; !dir.empty(); dir = MemoryParent(dir)) {
    memoryDirs.insert(dir);
    if (name.size() == dir.size()) memoryNames.emplace(dir, name);
    const std::size_t cut = name.find_last_of(u'\\');
    name.resize(cut == std::u16string::npos ? 0 : cut);
  }
}

bool World::Impl::IsMemoryDirectory(const std::u16string& key) const { return memoryDirs.count(key) != 0; }

// ------------------------------------------------------------------ opening and closing

HANDLE World::Impl::OpenPlainFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
                                  DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  auto st = std::make_shared<PlainFileState>();
  const std::u16string key = MemoryKey(path);
  // Sharing, checked against every handle open on the file before the open
  // changes anything (CreateFileW, dwShareMode: "You cannot request a sharing
  // mode that conflicts with the access mode that is specified in an existing
  // request that has an open handle", ERROR_SHARING_VIOLATION; the table in
  // "Creating and Opening Files"). An open without read or write access
  // (attributes only) neither checks nor restricts sharing.
  auto sharingViolation = [&] {
    if (!(access & (GENERIC_READ | GENERIC_WRITE))) return false;
    for (auto& [h, e] : handles) {
      if (e.kind != Kind::File || !e.file || e.file->device != plainFiles) continue;
      const auto* other = static_cast<const PlainFileState*>(e.file->deviceState.get());
      if (!other || other->shareKey != key) continue;
      const DWORD a = e.file->access, s = e.file->share;
      if (!(a & (GENERIC_READ | GENERIC_WRITE))) continue;
      if (((access & GENERIC_READ) && !(s & FILE_SHARE_READ)) ||
          ((access & GENERIC_WRITE) && !(s & FILE_SHARE_WRITE)) || ((a & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
          ((a & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)))
        return true;
    }
    return false;
  };
  st->shareKey = key;
  const bool inMemory =
      memoryFiles.count(key) != 0 || IsMemoryDirectory(MemoryParent(key)) || IsMemoryDirectory(key) || !hostFiles;
  bool existed = false;
  if (inMemory) {
    st->inMemory = true;
    st->key = key;
    if (IsMemoryDirectory(key)) {
      t_lastError = ERROR_ACCESS_DENIED;  // a directory, opened without FILE_FLAG_BACKUP_SEMANTICS
      return INVALID_HANDLE_VALUE;
    }
    auto it = memoryFiles.find(key);
    existed = it != memoryFiles.end();
    if (!existed && !IsMemoryDirectory(MemoryParent(key))) {
      t_lastError = ERROR_PATH_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if (existed && sharingViolation()) {
      t_lastError = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
    switch (disposition) {
      case OPEN_EXISTING:
      case TRUNCATE_EXISTING:
        if (!existed) {
          t_lastError = ERROR_FILE_NOT_FOUND;
          return INVALID_HANDLE_VALUE;
        }
        if (disposition == TRUNCATE_EXISTING) it->second.clear();
        break;
      case CREATE_NEW:
        if (existed) {
          t_lastError = ERROR_FILE_EXISTS;
          return INVALID_HANDLE_VALUE;
        }
        memoryFiles[key];
        break;
      case CREATE_ALWAYS:
        memoryFiles[key].clear();
        break;
      case OPEN_ALWAYS:
        memoryFiles[key];
        break;
    }
    memoryNames.emplace(key, path);
  } else {
    st->hostPath = HostPath(path);
    std::error_code ec;
    if (std::filesystem::is_directory(st->hostPath, ec)) {
      t_lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    existed = std::filesystem::exists(st->hostPath, ec);
    if (existed && sharingViolation()) {
      t_lastError = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
    int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
      case CREATE_NEW:
        mode |= O_CREAT | O_EXCL;
        break;
      case CREATE_ALWAYS:
        mode |= O_CREAT | O_TRUNC;
        break;
      case OPEN_ALWAYS:
        mode |= O_CREAT;
        break;
      case TRUNCATE_EXISTING:
        mode |= O_TRUNC;
        break;
      default:
        break;
    }
    st->fd = HostOpen(st->hostPath, mode);
    if (st->fd < 0) {
      const int error = errno;
      DWORD code = WindowsError(error);
      if (error == ENOENT) {
        // A missing directory on the way is a missing path, not a missing file.
        const auto parent = st->hostPath.parent_path();
        if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) code = ERROR_PATH_NOT_FOUND;
      }
      t_lastError = code;
      return INVALID_HANDLE_VALUE;
    }
  }
  auto file = std::make_shared<FileObject>();
  file->path = path;
  file->access = access;
  file->share = share;
  file->flags = flags;
  file->device = plainFiles;
  file->id = nextId++;
  file->deviceState = st;
  Entry e{Kind::File};
  e.file = file;
  t_lastError = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
  return Add(std::move(e));
}

void World::Impl::ClosePlainFile(FileObject& file) {
  auto* st = static_cast<PlainFileState*>(file.deviceState.get());
  if (st->fd >= 0) HostClose(st->fd);
  st->fd = -1;
}

// ------------------------------------------------------------------ transfers

DWORD World::Impl::ReadPlainFile(PlainFileState& st, void* buffer, DWORD length, DWORD* transferred) {
  *transferred = 0;
  if (st.inMemory) {
    const auto it = memoryFiles.find(st.key);
    const std::size_t size = it == memoryFiles.end() ? 0 : it->second.size();
    std::size_t n = 0;
    if (st.position < size) n = std::min<std::size_t>(length, size - st.position);
    if (n) std::memcpy(buffer, it->second.data() + st.position, n);
    st.position += n;
    *transferred = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
  }
  if (!HostSeek(st.fd, st.position)) return WindowsError(errno);
  DWORD done = 0;
  while (done < length) {
    const long n = HostRead(st.fd, static_cast<std::uint8_t*>(buffer) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WindowsError(errno);
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  st.position += done;
  *transferred = done;
  return ERROR_SUCCESS;
}

DWORD World::Impl::WritePlainFile(PlainFileState& st, const void* buffer, DWORD length, DWORD* transferred) {
  *transferred = 0;
  if (st.inMemory) {
    std::vector<std::uint8_t>& data = memoryFiles[st.key];
    if (data.size() < st.position + length) data.resize(st.position + length);
    if (length) std::memcpy(data.data() + st.position, buffer, length);
    st.position += length;
    *transferred = length;
    return ERROR_SUCCESS;
  }
  if (!HostSeek(st.fd, st.position)) return WindowsError(errno);
  DWORD done = 0;
  while (done < length) {
    const long n = HostWrite(st.fd, static_cast<const std::uint8_t*>(buffer) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // What was written stays in the file; the call fails as Windows fails a
      // write the disk cannot take.
      st.position += done;
      return n < 0 ? WindowsError(errno) : ERROR_DISK_FULL;
    }
    done += static_cast<DWORD>(n);
  }
  st.position += done;
  *transferred = done;
  return ERROR_SUCCESS;
}

// A transfer on a handle opened with FILE_FLAG_OVERLAPPED starts at the
// OVERLAPPED's Offset/OffsetHigh, not at a file pointer (ReadFile, WriteFile:
// "the read operation starts at the offset that is specified in the
// OVERLAPPED structure"), and a read that starts at or past the end fails
// with ERROR_HANDLE_EOF instead of reading 0 bytes (ReadFile, "Synchronization
// and File Position": for an asynchronous read "beyond the end of a file,
// ReadFile returns FALSE and GetLastError returns ERROR_HANDLE_EOF").
namespace {
void StartAtOffset(PlainFileState& st, const IoRequest& request) {
  if (!request.overlapped) return;
  st.position = static_cast<std::size_t>((static_cast<std::uint64_t>(request.overlapped->u.s.OffsetHigh) << 32) |
                                         request.overlapped->u.s.Offset);
}
}  // namespace

DWORD PlainFileDevice::OnRead(IoRequest& request, DWORD* transferred, CallEffects&) {
  auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
  StartAtOffset(*st, request);
  const DWORD error = impl_->ReadPlainFile(*st, request.buffer, request.length, transferred);
  if (error == ERROR_SUCCESS && request.overlapped && request.length != 0 && *transferred == 0) return ERROR_HANDLE_EOF;
  return error;
}

DWORD PlainFileDevice::OnWrite(IoRequest& request, DWORD* transferred, CallEffects&) {
  auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
  StartAtOffset(*st, request);
  return impl_->WritePlainFile(*st, request.buffer, request.length, transferred);
}

void PlainFileDevice::OnClose(FileObject& file) { impl_->ClosePlainFile(file); }

// ------------------------------------------------------------------ OsApi: FlushFileBuffers

BOOL World::FlushFileBuffers(HANDLE handle) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("FlushFileBuffers", impl_->HandlePath(handle))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(handle, Impl::Kind::File);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!(e->file->access & GENERIC_WRITE)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (e->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  if (e->file->device == impl_->plainFiles) {
    auto* st = static_cast<PlainFileState*>(e->file->deviceState.get());
    if (st->fd >= 0 && !HostSync(st->fd)) {
      t_lastError = WindowsError(errno);
      return FALSE;
    }
  }
  t_lastError = 0;
  return TRUE;
}

// ------------------------------------------------------------------ OsApi: GetFileInformationByHandle

// As Windows gives it for a file (GetFileInformationByHandle): a memory file
// is on a volume of its own (serial "KV27") with an index per path; a host
// file carries the host's identity (its device and inode on POSIX, the
// volume serial and file index Windows gives). Every handle of one file gives
// the same identity, two files never do.
BOOL World::GetFileInformationByHandle(HANDLE handle, BY_HANDLE_FILE_INFORMATION* information) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("GetFileInformationByHandle", impl_->HandlePath(handle))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(handle, Impl::Kind::File);
  if (!e || e->file->device != impl_->plainFiles || information == nullptr) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  info.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  info.nNumberOfLinks = 1;
  const auto* st = static_cast<const PlainFileState*>(e->file->deviceState.get());
  if (st->inMemory) {
    auto found = impl_->memoryFileIndex.find(st->key);
    if (found == impl_->memoryFileIndex.end())
      found = impl_->memoryFileIndex.emplace(st->key, impl_->memoryFileIndex.size() + 1).first;
    const auto bytes = impl_->memoryFiles.find(st->key);
    const std::uint64_t size = bytes == impl_->memoryFiles.end() ? 0 : bytes->second.size();
    info.dwVolumeSerialNumber = 0x4B563237;  // "KV27"
    info.nFileIndexHigh = static_cast<DWORD>(found->second >> 32);
    info.nFileIndexLow = static_cast<DWORD>(found->second);
    info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(size);
  } else {
#if defined(_WIN32)
    if (!::GetFileInformationByHandle(reinterpret_cast<void*>(_get_osfhandle(st->fd)), &info)) {
      t_lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
#else
    struct stat status {};
    if (::fstat(st->fd, &status) != 0) {
      t_lastError = WindowsError(errno);
      return FALSE;
    }
    const auto device = static_cast<std::uint64_t>(status.st_dev);
    const auto inode = static_cast<std::uint64_t>(status.st_ino);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    info.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info.nFileIndexLow = static_cast<DWORD>(inode);
    info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(size);
    info.nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
#endif
  }
  *information = info;
  t_lastError = 0;
  return TRUE;
}

// ------------------------------------------------------------------ files

void World::AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::u16string key = MemoryKey(path);
  const std::size_t cut = path.find_last_of(u"\\/");
  impl_->AddMemoryDirectory(MemoryParent(key), cut == std::u16string::npos ? std::u16string() : path.substr(0, cut));
  impl_->memoryFiles[key] = std::move(bytes);
  impl_->memoryNames[key] = path;
}

void World::AddDirectory(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->AddMemoryDirectory(MemoryKey(path), path);
}

std::optional<std::vector<std::uint8_t>> World::FileBytes(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = impl_->memoryFiles.find(MemoryKey(path));
  if (it == impl_->memoryFiles.end()) return std::nullopt;
  return it->second;
}

void World::SetHostFiles(bool enabled) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->hostFiles = enabled;
}

void World::SetModulePath(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->modulePath = path;
}

// ------------------------------------------------------------------ directories

namespace {

// The last part of a path, after its last separator.
std::u16string LastPart(const std::u16string& path) {
  const std::size_t cut = path.find_last_of(u"\\/");
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

// FindFirstFileW's wildcards: * any run of characters, ? one character, case
// folded. (Windows also matches the 8.3 short names and reads "*.*" as "*";
// the system never relies on either.)
bool WildcardMatch(const std::u16string& pattern, const std::u16string& name) {
  std::size_t p = 0, n = 0, star = std::u16string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

WIN32_FIND_DATAW FindEntry(const std::u16string& name, bool directory, std::uint64_t size) {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t n = std::min<std::size_t>(name.size(), 259);
  std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n), data.cFileName);
  return data;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

}  // namespace

void World::Impl::InitFilesAndEnvironment(std::uint64_t now) {
  AddMemoryDirectory(MemoryKey(kWorldLocalAppData), kWorldLocalAppData);
  environment[FoldCase(u"LOCALAPPDATA")] = {u"LOCALAPPDATA", kWorldLocalAppData};
  localTimeMs = (DaysFromCivil(2026, 12, 10) * 86400 + 12 * 3600) * 1000;
  localTimeAnchor = now;
}

// CreateDirectoryW: one level at a time; a name already taken (directory or
// file) fails with ERROR_ALREADY_EXISTS and a missing parent with
// ERROR_PATH_NOT_FOUND (CreateDirectoryW, "Return value").
BOOL World::CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES*) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::u16string p = FromW(path);
  if (auto f = impl_->Fault("CreateDirectoryW", p)) {
    t_lastError = *f;
    return FALSE;
  }
  if (p.empty()) {
    t_lastError = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  const std::u16string key = MemoryKey(p);
  const std::u16string parent = MemoryParent(key);
  const bool inMemory = impl_->IsMemoryDirectory(key) || impl_->memoryFiles.count(key) != 0 ||
                        impl_->IsMemoryDirectory(parent) || !impl_->hostFiles;
  if (inMemory) {
    if (impl_->IsMemoryDirectory(key) || impl_->memoryFiles.count(key) != 0) {
      t_lastError = ERROR_ALREADY_EXISTS;
      return FALSE;
    }
    if (!impl_->IsMemoryDirectory(parent)) {
      t_lastError = ERROR_PATH_NOT_FOUND;
      return FALSE;
    }
    impl_->memoryDirs.insert(key);
    std::u16string name = p;
    std::replace(name.begin(), name.end(), u'/', u'\\');
    while (name.size() > 1 && name.back() == u'\\') name.pop_back();
    impl_->memoryNames.emplace(key, name);
    t_lastError = 0;
    return TRUE;
  }
  const std::filesystem::path host = HostPath(p);
  std::error_code ec;
  if (std::filesystem::exists(host, ec)) {
    t_lastError = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  const auto parentPath = host.parent_path();
  if (!parentPath.empty() && !std::filesystem::is_directory(parentPath, ec)) {
    t_lastError = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  if (!std::filesystem::create_directory(host, ec)) {
#if defined(_WIN32)
    t_lastError = ec ? static_cast<DWORD>(ec.value()) : ERROR_ALREADY_EXISTS;  // already a Windows code
#else
    t_lastError = ec ? WindowsError(ec.value()) : ERROR_ALREADY_EXISTS;
#endif
    return FALSE;
  }
  t_lastError = 0;
  return TRUE;
}

// FindFirstFileW over the overlay or the host: the entries are taken when the
// search starts. Nothing matching in an existing directory is
// ERROR_FILE_NOT_FOUND, a missing directory ERROR_PATH_NOT_FOUND; the last
// entry is followed by ERROR_NO_MORE_FILES (FindFirstFileW, FindNextFileW).
HANDLE World::FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::u16string p = FromW(pattern);
  if (auto f = impl_->Fault("FindFirstFileW", p)) {
    t_lastError = *f;
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string wanted = LastPart(p);
  const std::u16string dir = p.substr(0, p.size() - wanted.size());
  if (wanted.empty() || data == nullptr) {
    t_lastError = wanted.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<Impl::FindObj>();
  find->pattern = p;
  const std::u16string dirKey = MemoryKey(dir);
  const bool root = MemoryParent(dirKey).empty();
  auto offer = [&](const std::u16string& name, bool directory, std::uint64_t size) {
    if (WildcardMatch(wanted, name)) find->entries.push_back(FindEntry(name, directory, size));
  };
  if (impl_->IsMemoryDirectory(dirKey) || !impl_->hostFiles) {
    if (!impl_->IsMemoryDirectory(dirKey)) {
      t_lastError = ERROR_PATH_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if (!root) {
      offer(u".", true, 0);
      offer(u"..", true, 0);
    }
    auto nameOf = [&](const std::u16string& key) {
      auto it = impl_->memoryNames.find(key);
      return LastPart(it != impl_->memoryNames.end() ? it->second : key);
    };
    for (const auto& d : impl_->memoryDirs)
      if (MemoryParent(d) == dirKey) offer(nameOf(d), true, 0);
    for (const auto& [key, bytes] : impl_->memoryFiles)
      if (MemoryParent(key) == dirKey) offer(nameOf(key), false, bytes.size());
  } else {
    const std::filesystem::path host = HostPath(dir.empty() ? u"." : dir);
    std::error_code ec;
    if (!std::filesystem::is_directory(host, ec)) {
      t_lastError = ERROR_PATH_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if (host.has_relative_path()) {
      offer(u".", true, 0);
      offer(u"..", true, 0);
    }
    for (const auto& entry : std::filesystem::directory_iterator(host, ec)) {
      std::error_code e2;
      const bool directory = entry.is_directory(e2);
      offer(entry.path().filename().u16string(), directory, directory ? 0 : entry.file_size(e2));
    }
  }
  if (find->entries.empty()) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  *data = find->entries[find->next++];
  Impl::Entry e{Impl::Kind::Find};
  e.find = std::move(find);
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

BOOL World::FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("FindNextFileW");
  auto* e = impl_->Find(search, Impl::Kind::Find);
  if (!e || data == nullptr) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (e->find->next >= e->find->entries.size()) {
    t_lastError = ERROR_NO_MORE_FILES;
    return FALSE;
  }
  *data = e->find->entries[e->find->next++];
  t_lastError = 0;
  return TRUE;
}

BOOL World::FindClose(HANDLE search) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("FindClose");
  if (!impl_->Find(search, Impl::Kind::Find)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(search));
  return TRUE;
}

// ------------------------------------------------------------------ environment and local time

DWORD World::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("GetEnvironmentVariableW");
  auto it = impl_->environment.find(FoldCase(FromW(name)));
  if (it == impl_->environment.end()) {
    t_lastError = ERROR_ENVVAR_NOT_FOUND;
    return 0;
  }
  const std::u16string& value = it->second.second;
  if (buffer == nullptr || size <= value.size()) return static_cast<DWORD>(value.size() + 1);
  std::copy(value.begin(), value.end(), buffer);
  buffer[value.size()] = 0;
  return static_cast<DWORD>(value.size());
}

void World::GetLocalTime(SYSTEMTIME* time) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("GetLocalTime");
  if (time == nullptr) return;
  const std::int64_t ms =
      impl_->localTimeMs + static_cast<std::int64_t>(now_) - static_cast<std::int64_t>(impl_->localTimeAnchor);
  std::int64_t days = ms / 86'400'000;
  std::int64_t rest = ms % 86'400'000;
  if (rest < 0) {
    rest += 86'400'000;
    --days;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  time->wYear = static_cast<WORD>(y);
  time->wMonth = static_cast<WORD>(m);
  time->wDay = static_cast<WORD>(d);
  time->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  time->wHour = static_cast<WORD>(rest / 3'600'000);
  time->wMinute = static_cast<WORD>(rest / 60'000 % 60);
  time->wSecond = static_cast<WORD>(rest / 1000 % 60);
  time->wMilliseconds = static_cast<WORD>(rest % 1000);
}

void World::SetEnvironmentVariable(const std::u16string& name, std::optional<std::u16string> value) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (value)
    impl_->environment[FoldCase(name)] = {name, *value};
  else
    impl_->environment.erase(FoldCase(name));
}

void World::SetLocalTime(const SYSTEMTIME& time) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->localTimeMs = (DaysFromCivil(time.wYear, time.wMonth, time.wDay) * 86400 + time.wHour * 3600 +
                        time.wMinute * 60 + time.wSecond) *
                           1000 +
                       time.wMilliseconds;
  impl_->localTimeAnchor = now_;
}

}  // namespace kv27::sim
