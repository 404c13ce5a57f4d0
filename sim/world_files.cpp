// The simulated world: ordinary files, from the memory overlay or the host disk.
#include "sim/world_impl.h"

#include <fstream>

namespace kv27::sim {

HANDLE World::Impl::OpenPlainFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
                                  DWORD flags) {
  auto st = std::make_shared<PlainFileState>();
  auto key = FoldCase(path);
  bool exists = false;
  if (auto it = memoryFiles.find(key); it != memoryFiles.end()) {
    exists = true;
    st->inMemory = true;
    st->key = key;
    st->data = it->second;
  } else if (hostFiles) {
    std::u16string p = path;
#if !defined(_WIN32)
    std::replace(p.begin(), p.end(), u'\\', u'/');
#endif
    st->hostPath = std::filesystem::path(p);
    std::error_code ec;
    if (std::filesystem::is_directory(st->hostPath, ec)) {
      t_lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    if (std::filesystem::exists(st->hostPath, ec)) {
      exists = true;
      if (disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS) {
        std::ifstream in(st->hostPath, std::ios::binary);
        if (!in) {
          t_lastError = ERROR_ACCESS_DENIED;
          return INVALID_HANDLE_VALUE;
        }
        st->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
  } else {
    st->inMemory = true;
    st->key = key;
  }
  switch (disposition) {
    case OPEN_EXISTING:
      if (!exists) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
      }
      break;
    case CREATE_NEW:
      if (exists) {
        t_lastError = 80;  // ERROR_FILE_EXISTS
        return INVALID_HANDLE_VALUE;
      }
      st->dirty = true;
      break;
    case CREATE_ALWAYS:
      st->data.clear();
      st->dirty = true;
      break;
    case OPEN_ALWAYS:
      if (!exists) st->dirty = true;
      break;
    default:
      t_lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
  }
  if (DWORD sharing = CheckSharing(path, access, share); sharing != ERROR_SUCCESS) {
    t_lastError = sharing;
    return INVALID_HANDLE_VALUE;
  }
  if (!st->inMemory && st->hostPath.empty()) st->inMemory = true;
  if (st->inMemory && st->key.empty()) st->key = key;
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
  t_lastError = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
  return Add(std::move(e));
}
void World::Impl::ClosePlainFile(FileObject& file) {
  auto* st = static_cast<PlainFileState*>(file.deviceState.get());
  if (!st->dirty) return;
  if (st->inMemory) {
    memoryFiles[st->key] = st->data;
  } else {
    std::ofstream out(st->hostPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(st->data.data()), static_cast<std::streamsize>(st->data.size()));
  }
}

void PlainFileDevice::OnClose(FileObject& file) { impl_->ClosePlainFile(file); }

// Share modes, as the file system checks them at every open: "If this
// parameter is zero and CreateFile succeeds, the file ... cannot be shared and
// cannot be opened again until the handle to the file ... is closed", and an
// open whose access or share mode conflicts with a handle already open fails
// with ERROR_SHARING_VIOLATION (CreateFileW, dwShareMode, and "Creating and
// Opening Files" on learn.microsoft.com). Only data access counts: a handle
// opened with no read, write or delete access takes no part, and an open with
// none is never refused (as Wine's server, check_sharing, does after Windows).
// The check comes after the disposition's own (a missing file is not found, an
// existing one is not created anew) and before anything is truncated.
DWORD World::Impl::CheckSharing(const std::u16string& path, DWORD access, DWORD share) {
  constexpr DWORD kGenericExecute = 0x20000000u, kGenericAll = 0x10000000u;
  constexpr DWORD kReadData = 0x0001, kWriteData = 0x0002, kAppendData = 0x0004, kExecute = 0x0020;
  constexpr DWORD kDelete = 0x00010000u, kShareDelete = 0x4;
  auto rights = [&](DWORD a) {
    DWORD r = 0;
    if (a & (GENERIC_READ | kGenericExecute | kGenericAll | kReadData | kExecute)) r |= FILE_SHARE_READ;
    if (a & (GENERIC_WRITE | kGenericAll | kWriteData | kAppendData)) r |= FILE_SHARE_WRITE;
    if (a & (kGenericAll | kDelete)) r |= kShareDelete;
    return r;
  };
  auto same = [](std::u16string p) {
    for (auto& c : p)
      if (c == u'/') c = u'\\';
    return FoldCase(p);
  };
  const std::u16string key = same(path);
  DWORD existingShare = FILE_SHARE_READ | FILE_SHARE_WRITE | kShareDelete;
  DWORD existingRights = 0;
  for (auto& [h, e] : handles) {
    if (e.kind != Kind::File || !e.file || e.file->device != plainFiles || same(e.file->path) != key) continue;
    const DWORD held = rights(e.file->access);
    if (held != 0) existingShare &= e.file->share;
    existingRights |= held;
  }
  const DWORD wanted = rights(access);
  if ((wanted & ~existingShare) != 0) return ERROR_SHARING_VIOLATION;
  if (wanted == 0) return ERROR_SUCCESS;
  if ((existingRights & ~share) != 0) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

// ------------------------------------------------------------------ files

void World::AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->memoryFiles[FoldCase(path)] = std::move(bytes);
}

std::optional<std::vector<std::uint8_t>> World::FileBytes(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = impl_->memoryFiles.find(FoldCase(path));
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
