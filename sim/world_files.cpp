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
