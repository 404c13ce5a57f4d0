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

void World::Impl::AddMemoryDirectory(const std::u16string& key) {
  for (std::u16string dir = key; !dir.empty(); dir = MemoryParent(dir)) memoryDirs.insert(dir);
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
  } else {
    st->hostPath = HostPath(path);
    std::error_code ec;
    if (std::filesystem::is_directory(st->hostPath, ec)) {
      t_lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    existed = std::filesystem::exists(st->hostPath, ec);
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

DWORD PlainFileDevice::OnRead(IoRequest& request, DWORD* transferred, CallEffects&) {
  auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
  return impl_->ReadPlainFile(*st, request.buffer, request.length, transferred);
}

DWORD PlainFileDevice::OnWrite(IoRequest& request, DWORD* transferred, CallEffects&) {
  auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
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

// ------------------------------------------------------------------ files

void World::AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::u16string key = MemoryKey(path);
  impl_->AddMemoryDirectory(MemoryParent(key));
  impl_->memoryFiles[key] = std::move(bytes);
}

void World::AddDirectory(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->AddMemoryDirectory(MemoryKey(path));
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

}  // namespace kv27::sim
