// The simulated world: CreateFileW, CloseHandle, overlapped transfers, cancellation, I/O controls.
#include "sim/world_impl.h"

namespace kv27::sim {

// ------------------------------------------------------------------ OsApi: files and devices

HANDLE World::CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES*, DWORD disposition, DWORD flags,
                          HANDLE) {
  std::unique_lock<std::mutex> lk(mutex_);
  std::u16string p = FromW(path);
  if (auto f = impl_->Fault("CreateFileW", p)) {
    t_lastError = *f;
    return INVALID_HANDLE_VALUE;
  }
  if (p.empty()) {
    t_lastError = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  Impl::PathEntry* entry = impl_->FindPath(p);
  if (!entry || !entry->present) {
    if (IsDevicePath(p)) {
      t_lastError = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    HANDLE h = impl_->OpenPlainFile(p, access, share, disposition, flags);
    lk.unlock();
    return h;
  }
  if (disposition != OPEN_EXISTING) {
    t_lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->path = entry->path;
  file->access = access;
  file->share = share;
  file->flags = flags;
  file->device = entry->device;
  file->id = impl_->nextId++;
  DWORD err = impl_->CheckHidSystemCollection(*entry, *file);
  if (err == ERROR_SUCCESS) err = file->device->OnOpen(*file);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return INVALID_HANDLE_VALUE;
  }
  Impl::Entry e{Impl::Kind::File};
  e.file = file;
  HANDLE h = impl_->Add(std::move(e));
  impl_->RunDue(lk);
  t_lastError = 0;
  return h;
}

BOOL World::CloseHandle(HANDLE handle) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("CloseHandle", impl_->HandlePath(handle))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->FindAny(handle);
  if (!e || e->kind == Impl::Kind::Window || e->kind == Impl::Kind::DevInfo || e->kind == Impl::Kind::Preparsed ||
      e->kind == Impl::Kind::WinUsb || e->kind == Impl::Kind::DevNotify) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  Impl::Entry entry = std::move(*e);
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
  if (entry.kind == Impl::Kind::File) {
    entry.file->closed = true;
    impl_->FailPendingOf(entry.file->id, ERROR_OPERATION_ABORTED);
    if (entry.file->device) entry.file->device->OnClose(*entry.file);
  }
  impl_->RunDue(lk);
  return TRUE;
}

namespace {
enum class Dir { Read, Write };
}

static BOOL Transfer(World& w, World::Impl& impl, std::mutex& mutex, Dir dir, HANDLE h, void* buffer, DWORD length,
                     LPDWORD done, OVERLAPPED* ov) {
  std::unique_lock<std::mutex> lk(mutex);
  const char* name = dir == Dir::Read ? "ReadFile" : "WriteFile";
  auto path = impl.HandlePath(h);
  if (auto f = impl.Fault(name, path)) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl.Find(h, World::Impl::Kind::File);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto file = e->file;
  DWORD need = dir == Dir::Read ? GENERIC_READ : GENERIC_WRITE;
  if (!(file->access & need)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  if (file->Overlapped() && !ov) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (done) *done = 0;
  IoRequest req;
  req.id = impl.nextId++;
  req.file = file.get();
  req.write = dir == Dir::Write;
  req.buffer = buffer;
  req.length = length;
  req.overlapped = file->Overlapped() ? ov : nullptr;
  if (req.overlapped) {
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    impl.Unsignal(ov->hEvent);
  }
  DWORD n = 0;
  CallEffects fx;
  DWORD err = dir == Dir::Read ? file->device->OnRead(req, &n, fx) : file->device->OnWrite(req, &n, fx);
  BOOL result = FALSE;
  if (err == ERROR_SUCCESS) {
    if (req.overlapped) {
      ov->Internal = 0;
      ov->InternalHigh = n;
      impl.Signal(ov->hEvent);
    }
    if (done) *done = n;
    t_lastError = 0;
    result = TRUE;
  } else if (err == ERROR_IO_PENDING && req.overlapped) {
    World::Impl::Pending p{file->id, ov, file->device};
    p.thread = std::this_thread::get_id();
    p.path = file->path;
    impl.pending.emplace(req.id, std::move(p));
    t_lastError = ERROR_IO_PENDING;
  } else {
    if (err == ERROR_IO_PENDING) err = ERROR_GEN_FAILURE;
    if (req.overlapped) {
      ov->Internal = kErrorTag | err;
      ov->InternalHigh = 0;
    }
    t_lastError = err;
  }
  DWORD keep = t_lastError;
  impl.Finish(lk, fx);
  t_lastError = keep;
  (void)w;
  return result;
}

BOOL World::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) {
  return Transfer(*this, *impl_, mutex_, Dir::Read, file, buffer, toRead, read, overlapped);
}

BOOL World::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) {
  return Transfer(*this, *impl_, mutex_, Dir::Write, file, const_cast<void*>(buffer), toWrite, written, overlapped);
}

// GetOverlappedResult as Windows does it: with bWait, a transfer still pending
// is waited for by waiting on the OVERLAPPED's hEvent (on the file itself only
// when hEvent is null), once. The status is then read again, and a status that
// is still pending counts as done: whoever sets that event early gets TRUE
// back with the transfer still running.
BOOL World::GetOverlappedResult(HANDLE file, OVERLAPPED* ov, LPDWORD transferred, BOOL wait) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("GetOverlappedResult", impl_->HandlePath(file))) {
    t_lastError = *f;
    return FALSE;
  }
  if (!impl_->Find(file, Impl::Kind::File) || !ov) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (ov->Internal == kStatusPending) {
    if (!wait) {
      t_lastError = ERROR_IO_INCOMPLETE;
      return FALSE;
    }
    if (ov->hEvent != nullptr) {
      auto* found = impl_->Find(ov->hEvent, Impl::Kind::Event);
      if (!found) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
      }
      std::vector<Impl::Entry> event{*found};
      Impl::WaitSet set{&event, false};
      impl_->WaitInfinite(lk, set);
    } else {
      // The file handle is signalled when a transfer on it completes.
      while (ov->Internal == kStatusPending) {
        if (impl_->realTime) {
          if (auto next = impl_->NextActionTime()) {
            impl_->AdvanceTo(lk, std::max(*next, now_));
            continue;
          }
          impl_->cv.wait(lk);
        } else {
          impl_->IdleStep(lk, std::nullopt);
        }
      }
    }
  }
  if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
  if (ov->Internal == 0 || ov->Internal == kStatusPending) {
    t_lastError = 0;
    return TRUE;
  }
  t_lastError = static_cast<DWORD>(ov->Internal & ~kErrorTag);
  return FALSE;
}

// CancelIo cancels only the transfers that the calling thread started on the
// handle, and only asks for it: each cancelled transfer completes with
// ERROR_OPERATION_ABORTED later (after the cancel latency), unless the device
// completes it first. The caller learns the end through GetOverlappedResult.
BOOL World::CancelIo(HANDLE file) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("CancelIo", impl_->HandlePath(file))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(file, Impl::Kind::File);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const auto me = std::this_thread::get_id();
  std::vector<std::uint64_t> mine;
  for (auto& [id, p] : impl_->pending)
    if (p.fileId == e->file->id && p.thread == me && !p.cancelling) mine.push_back(id);
  for (auto id : mine) {
    if (impl_->cancelLatencyMs == 0) {
      impl_->FinishPending(id, ERROR_OPERATION_ABORTED, 0, true);
      continue;
    }
    impl_->pending.at(id).cancelling = true;
    Impl* impl = impl_.get();
    std::mutex* m = &mutex_;
    ScheduleLocked(impl_->cancelLatencyMs, [impl, m, id] {
      std::lock_guard<std::mutex> hold(*m);
      impl->FinishPending(id, ERROR_OPERATION_ABORTED, 0, true);
    });
  }
  t_lastError = 0;
  return TRUE;
}

BOOL World::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, OVERLAPPED* overlapped) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("DeviceIoControl", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto file = e->file;
  if (file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  if (overlapped) {
    t_lastError = ERROR_NOT_SUPPORTED;
    return FALSE;
  }
  DWORD n = 0;
  CallEffects fx;
  DWORD err = file->device->OnIoctl(*file, code, in, inSize, out, outSize, &n, fx);
  if (returned) *returned = n;
  impl_->Finish(lk, fx);
  t_lastError = err;
  return err == ERROR_SUCCESS ? TRUE : FALSE;
}

DWORD World::GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("GetModuleFileNameW");
  const auto& p = impl_->modulePath;
  if (!buffer || size == 0) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  if (p.size() + 1 > size) {
    std::copy_n(p.begin(), size - 1, buffer);
    buffer[size - 1] = 0;
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  std::copy(p.begin(), p.end(), buffer);
  buffer[p.size()] = 0;
  t_lastError = 0;
  return static_cast<DWORD>(p.size());
}

}  // namespace kv27::sim
