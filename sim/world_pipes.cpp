// The simulated world: named pipes, the one kernel object besides devices
// whose overlapped transfers stay pending until another party acts, so that
// the overlapped I/O contract (ERROR_IO_PENDING, GetOverlappedResult, CancelIo)
// can be exercised without a device.
//
// One instance per name, byte mode: a read takes what the other end has
// written, up to its length, at once when something is there, else it stays
// pending (overlapped handles) until the other end writes; a write is taken
// whole into the other end's inbound bytes (the buffer is not bounded). Once
// an end is closed, the other end's pending and later reads fail with
// ERROR_BROKEN_PIPE and its writes with ERROR_NO_DATA ("The pipe is being
// closed"), as Windows reports a pipe whose other end has gone.
#include <algorithm>
#include <deque>

#include "sim/world_impl.h"

namespace kv27::sim {

namespace {

class NamedPipe : public Device {
 public:
  static constexpr int kServer = 0, kClient = 1;

  struct Read {
    std::uint64_t id = 0;
    std::uint8_t* buffer = nullptr;
    DWORD length = 0;
  };
  struct End {
    std::deque<std::uint8_t> inbound;
    std::deque<Read> reads;  // pending, in issue order
    bool open = false;
    bool everOpen = false;
  };

  explicit NamedPipe(World& world) : owner_(world) { ends_[kServer].open = ends_[kServer].everOpen = true; }

  bool ServerOpen() const { return ends_[kServer].open; }

  // A client end: one per instance (CreateFileW, "ERROR_PIPE_BUSY" while
  // every instance is in use); none once the server end is gone.
  DWORD OnOpen(FileObject& file) override {
    if (!ends_[kServer].open) return ERROR_FILE_NOT_FOUND;
    if (ends_[kClient].everOpen) return ERROR_PIPE_BUSY;
    ends_[kClient].open = ends_[kClient].everOpen = true;
    file.deviceState = std::make_shared<int>(kClient);
    return ERROR_SUCCESS;
  }

  DWORD OnRead(IoRequest& request, DWORD* transferred, CallEffects&) override {
    const int me = EndOf(*request.file);
    End& end = ends_[me];
    if (!end.inbound.empty()) {
      *transferred = Take(end, static_cast<std::uint8_t*>(request.buffer), request.length);
      return ERROR_SUCCESS;
    }
    if (!ends_[kClient].everOpen) return ERROR_PIPE_LISTENING;  // no client yet
    if (!ends_[1 - me].open) return ERROR_BROKEN_PIPE;
    // Synchronous reads that would block are not modelled: nothing in the
    // system reads a pipe without OVERLAPPED.
    if (!request.overlapped) return ERROR_INVALID_FUNCTION;
    end.reads.push_back(Read{request.id, static_cast<std::uint8_t*>(request.buffer), request.length});
    return ERROR_IO_PENDING;
  }

  DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects&) override {
    const int me = EndOf(*request.file);
    if (!ends_[kClient].everOpen) return ERROR_PIPE_LISTENING;
    End& other = ends_[1 - me];
    if (!other.open) return ERROR_NO_DATA;
    const auto* bytes = static_cast<const std::uint8_t*>(request.buffer);
    other.inbound.insert(other.inbound.end(), bytes, bytes + request.length);
    *transferred = request.length;
    // The other end's pending reads take the bytes, oldest first.
    while (!other.reads.empty() && !other.inbound.empty()) {
      Read read = other.reads.front();
      other.reads.pop_front();
      const DWORD n = Take(other, read.buffer, read.length);
      owner_.CompleteIoLocked(read.id, ERROR_SUCCESS, n);
    }
    return ERROR_SUCCESS;
  }

  void OnCancel(std::uint64_t requestId) override {
    for (End& end : ends_)
      for (auto it = end.reads.begin(); it != end.reads.end(); ++it)
        if (it->id == requestId) {
          end.reads.erase(it);
          return;
        }
  }

  void OnClose(FileObject& file) override {
    const int me = EndOf(file);
    ends_[me].open = false;
    End& other = ends_[1 - me];
    while (!other.reads.empty()) {
      const Read read = other.reads.front();
      other.reads.pop_front();
      owner_.CompleteIoLocked(read.id, ERROR_BROKEN_PIPE, 0);
    }
  }

 private:
  static int EndOf(const FileObject& file) {
    return file.deviceState ? *static_cast<const int*>(file.deviceState.get()) : kServer;
  }
  static DWORD Take(End& end, std::uint8_t* buffer, DWORD length) {
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(length, end.inbound.size()));
    std::copy_n(end.inbound.begin(), n, buffer);
    end.inbound.erase(end.inbound.begin(), end.inbound.begin() + n);
    return n;
  }

  World& owner_;
  End ends_[2];
};

}  // namespace

// CreateNamedPipeW: "\\.\pipe\" names only (ERROR_INVALID_NAME otherwise); a
// name whose instance is taken gives ERROR_PIPE_BUSY ("all instances of the
// pipe are busy"). The server end's access follows the open mode.
HANDLE World::CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD, DWORD, DWORD,
                               SECURITY_ATTRIBUTES*) {
  std::lock_guard<std::mutex> lk(mutex_);
  const std::u16string path = FromW(name);
  if (auto f = impl_->Fault("CreateNamedPipeW", path)) {
    t_lastError = *f;
    return INVALID_HANDLE_VALUE;
  }
  static const std::u16string kPrefix = u"\\\\.\\pipe\\";
  if (path.size() <= kPrefix.size() || FoldCase(path.substr(0, kPrefix.size())) != FoldCase(kPrefix)) {
    t_lastError = ERROR_INVALID_NAME;
    return INVALID_HANDLE_VALUE;
  }
  const DWORD access = openMode & PIPE_ACCESS_DUPLEX;
  if (access == 0 || maxInstances == 0 || (pipeMode & ~PIPE_WAIT) != (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  Impl::PathEntry* entry = impl_->FindPath(path);
  if (entry && entry->present) {
    auto* pipe = dynamic_cast<NamedPipe*>(entry->device.get());
    if (!pipe || pipe->ServerOpen()) {
      t_lastError = ERROR_PIPE_BUSY;
      return INVALID_HANDLE_VALUE;
    }
  }
  auto pipe = std::make_shared<NamedPipe>(*this);
  static_cast<Device*>(pipe.get())->world_ = this;
  if (!entry) {
    impl_->paths.push_back(Impl::PathEntry{path, nullptr, std::nullopt, false});
    entry = &impl_->paths.back();
  }
  entry->device = pipe;
  entry->present = true;

  auto file = std::make_shared<FileObject>();
  file->path = path;
  file->access =
      ((access & PIPE_ACCESS_INBOUND) ? GENERIC_READ : 0) | ((access & PIPE_ACCESS_OUTBOUND) ? GENERIC_WRITE : 0);
  file->share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  file->flags = openMode & FILE_FLAG_OVERLAPPED;
  file->device = pipe;
  file->id = impl_->nextId++;
  file->deviceState = std::make_shared<int>(NamedPipe::kServer);
  Impl::Entry e{Impl::Kind::File};
  e.file = file;
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

}  // namespace kv27::sim
