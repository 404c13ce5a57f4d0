#include "sim/world.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <sstream>

namespace kv27::sim {

namespace {

// Marks an OVERLAPPED whose transfer is still running; completed transfers keep
// 0 (success) or kErrorTag | Win32 error in Internal.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kErrorTag = 0xE0000000u;

thread_local DWORD t_lastError = 0;

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string FoldCase(const std::u16string& s) {
  std::u16string r(s);
  for (auto& c : r) c = Fold(c);
  return r;
}

bool ContainsFolded(const std::u16string& haystack, const std::u16string& needle) {
  if (needle.empty()) return true;
  return FoldCase(haystack).find(FoldCase(needle)) != std::u16string::npos;
}

bool IsDevicePath(const std::u16string& p) {
  return p.size() >= 4 && p[0] == u'\\' && p[1] == u'\\' && (p[2] == u'.' || p[2] == u'?') && p[3] == u'\\';
}

std::u16string FromW(LPCWSTR s) {
  if (!s) return {};
  return std::u16string(s);
}

}  // namespace

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size()) {
      c = ((b & 0x1F) << 6) | (text[i + 1] & 0x3F);
      n = 2;
    } else if ((b & 0xF0) == 0xE0 && i + 2 < text.size()) {
      c = ((b & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
      n = 3;
    } else if ((b & 0xF8) == 0xF0 && i + 3 < text.size()) {
      c = ((b & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) | (text[i + 3] & 0x3F);
      n = 4;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// ------------------------------------------------------------------ plain files

namespace {

struct PlainFileState {
  std::vector<std::uint8_t> data;
  size_t position = 0;
  bool dirty = false;
  bool inMemory = false;
  std::u16string key;              // memory store key
  std::filesystem::path hostPath;  // host disk path
};

}  // namespace

// Serves ordinary file paths from the memory overlay or the host disk. Each
// handle reads from a snapshot taken at open and writes back at close.
class PlainFileDevice : public Device {
 public:
  explicit PlainFileDevice(World::Impl* impl) : impl_(impl) {}
  DWORD OnRead(IoRequest& request, DWORD* transferred, CallEffects&) override {
    auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
    size_t n = 0;
    if (st->position < st->data.size()) n = std::min<size_t>(request.length, st->data.size() - st->position);
    if (n) std::memcpy(request.buffer, st->data.data() + st->position, n);
    st->position += n;
    *transferred = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
  }
  DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects&) override {
    auto* st = static_cast<PlainFileState*>(request.file->deviceState.get());
    if (st->data.size() < st->position + request.length) st->data.resize(st->position + request.length);
    if (request.length) std::memcpy(st->data.data() + st->position, request.buffer, request.length);
    st->position += request.length;
    st->dirty = true;
    *transferred = request.length;
    return ERROR_SUCCESS;
  }
  void OnClose(FileObject& file) override;

 private:
  World::Impl* impl_;
};

// ------------------------------------------------------------------ world internals

struct World::Impl {
  World* self;
  explicit Impl(World* w) : self(w) {}

  enum class Kind { File, Event, Thread, DevInfo, Preparsed, WinUsb, DevNotify, Window };

  struct EventObj {
    bool manual = false;
    bool signalled = false;
    std::u16string name;
  };
  struct ThreadObj {
    std::thread thread;
    DWORD suspendCount = 0;
    bool cancelled = false;
    bool finished = false;
    DWORD exitCode = 0;
  };
  struct DevInfoObj {
    GUID classGuid{};
    std::vector<std::u16string> paths;
  };
  struct PreparsedObj {
    HidDescription description;
  };
  struct WinUsbObj {
    std::shared_ptr<FileObject> file;
  };
  struct NotifyObj {
    HWND window = nullptr;
    GUID classGuid{};
    bool allClasses = false;
  };
  struct Queued {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::vector<std::uint8_t> payload;
  };
  struct WindowObj {
    WindowProc proc;
    std::thread::id owner;
    std::deque<Queued> queue;
    std::vector<WindowMessage> log;
  };

  struct Entry {
    explicit Entry(Kind k) : kind(k) {}
    Kind kind;
    std::shared_ptr<FileObject> file;
    std::shared_ptr<EventObj> event;
    std::shared_ptr<ThreadObj> thread;
    std::shared_ptr<DevInfoObj> devinfo;
    std::shared_ptr<PreparsedObj> preparsed;
    std::shared_ptr<WinUsbObj> winusb;
    std::shared_ptr<NotifyObj> notify;
    std::shared_ptr<WindowObj> window;
  };

  struct PathEntry {
    std::u16string path;  // as attached
    std::shared_ptr<Device> device;
    std::optional<GUID> interfaceClass;
    bool present = false;
  };

  struct Pending {
    std::uint64_t fileId;
    OVERLAPPED* overlapped;
    std::shared_ptr<Device> device;
  };

  struct FaultState {
    Fault fault;
    unsigned seen = 0;
    unsigned fired = 0;
  };

  struct Action {
    std::uint64_t at;
    std::uint64_t seq;
    std::function<void()> fn;
  };

  std::map<std::uintptr_t, Entry> handles;
  std::uintptr_t nextHandle = 0x1000;
  std::uint64_t nextId = 1;
  std::vector<PathEntry> paths;  // attach order
  std::map<std::u16string, std::weak_ptr<EventObj>> namedEvents;
  std::map<std::uint64_t, Pending> pending;
  std::list<std::shared_ptr<ThreadObj>> threads;
  std::vector<FaultState> faults;
  std::map<std::string, std::uint64_t> calls;
  std::map<std::u16string, UINT> messages;  // folded name -> id
  UINT nextMessage = 0xC000;
  std::vector<Action> actions;
  std::uint64_t actionSeq = 0;
  std::map<std::u16string, std::vector<std::uint8_t>> memoryFiles;  // folded path
  bool hostFiles = true;
  std::u16string modulePath = u"C:\\Program Files\\KV27M\\KV27MFirmwareUpdate.exe";
  std::uint32_t realWaitCapMs = 100;
  std::condition_variable cv;
  std::shared_ptr<PlainFileDevice> plainFiles;

  // ---------------------------------------------------------------- helpers
  HANDLE Add(Entry e) {
    std::uintptr_t v = nextHandle;
    nextHandle += 4;
    handles.emplace(v, std::move(e));
    return reinterpret_cast<HANDLE>(v);
  }
  Entry* Find(const void* h, Kind kind) {
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == handles.end() || it->second.kind != kind) return nullptr;
    return &it->second;
  }
  Entry* FindAny(const void* h) {
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(h));
    return it == handles.end() ? nullptr : &it->second;
  }
  PathEntry* FindPath(const std::u16string& path) {
    auto folded = FoldCase(path);
    for (auto& p : paths)
      if (FoldCase(p.path) == folded) return &p;
    return nullptr;
  }
  std::u16string HandlePath(const void* h) {
    if (auto* e = FindAny(h)) {
      if (e->file) return e->file->path;
      if (e->winusb && e->winusb->file) return e->winusb->file->path;
    }
    return {};
  }

  void Count(const char* call) { ++calls[call]; }

  // The error an injected fault makes this call fail with, if any.
  std::optional<DWORD> Fault(const char* call, const std::u16string& path) {
    ++calls[call];
    for (auto& f : faults) {
      if (f.fault.call != call) continue;
      if (!ContainsFolded(path, f.fault.pathContains)) continue;
      ++f.seen;
      if (f.seen >= f.fault.nth && (f.fault.times == 0 || f.fired < f.fault.times)) {
        ++f.fired;
        return f.fault.error;
      }
    }
    return std::nullopt;
  }

  void Signal(HANDLE eventHandle) {
    if (!eventHandle) return;
    if (auto* e = Find(eventHandle, Kind::Event)) {
      e->event->signalled = true;
      cv.notify_all();
    }
  }
  void Unsignal(HANDLE eventHandle) {
    if (!eventHandle) return;
    if (auto* e = Find(eventHandle, Kind::Event)) e->event->signalled = false;
  }

  void FinishPending(std::uint64_t id, DWORD error, DWORD transferred, bool tellDevice) {
    auto it = pending.find(id);
    if (it == pending.end()) return;
    Pending p = it->second;
    pending.erase(it);
    p.overlapped->InternalHigh = transferred;
    p.overlapped->Internal = error == ERROR_SUCCESS ? 0 : (kErrorTag | error);
    Signal(p.overlapped->hEvent);
    if (tellDevice && p.device) p.device->OnCancel(id);
    cv.notify_all();
  }

  void FailPendingOf(std::uint64_t fileId, DWORD error) {
    std::vector<std::uint64_t> ids;
    for (auto& [id, p] : pending)
      if (p.fileId == fileId) ids.push_back(id);
    for (auto id : ids) FinishPending(id, error, 0, true);
  }

  // Windows delivers device-interface arrival and removal to registered windows
  // through their message queues.
  void Announce(const PathEntry& p, WPARAM event) {
    if (!p.interfaceClass) return;
    for (auto& [h, e] : handles) {
      if (e.kind != Kind::DevNotify) continue;
      if (!e.notify->allClasses && !(e.notify->classGuid == *p.interfaceClass)) continue;
      auto* w = Find(e.notify->window, Kind::Window);
      if (!w) continue;
      size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (p.path.size() + 1) * sizeof(WCHAR);
      std::vector<std::uint8_t> payload(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
      DEV_BROADCAST_DEVICEINTERFACE_W hdr{};
      hdr.dbcc_size = static_cast<DWORD>(size);
      hdr.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      hdr.dbcc_classguid = *p.interfaceClass;
      std::memcpy(payload.data(), &hdr, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
      std::memcpy(payload.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), p.path.c_str(),
                  (p.path.size() + 1) * sizeof(WCHAR));
      WindowMessage m;
      m.message = WM_DEVICECHANGE;
      m.wParam = event;
      m.payload = payload;
      w->window->log.push_back(m);
      w->window->queue.push_back(Queued{WM_DEVICECHANGE, event, 0, std::move(payload)});
    }
    cv.notify_all();
  }

  // ---------------------------------------------------------------- clock
  std::optional<std::uint64_t> NextActionTime() const {
    std::optional<std::uint64_t> best;
    for (auto& a : actions)
      if (!best || a.at < *best) best = a.at;
    return best;
  }

  // Runs every action due at the current time, in (time, order) order, with the
  // lock released while each runs.
  void RunDue(std::unique_lock<std::mutex>& lk) {
    for (;;) {
      auto it = std::min_element(actions.begin(), actions.end(), [](const Action& a, const Action& b) {
        return a.at != b.at ? a.at < b.at : a.seq < b.seq;
      });
      if (it == actions.end() || it->at > self->now_) return;
      auto fn = std::move(it->fn);
      actions.erase(it);
      lk.unlock();
      fn();
      lk.lock();
    }
  }

  // Moves the clock to `target`, running the actions that fall due on the way.
  void AdvanceTo(std::unique_lock<std::mutex>& lk, std::uint64_t target) {
    for (;;) {
      auto next = NextActionTime();
      if (next && *next <= target) {
        if (*next > self->now_) self->now_ = *next;
        RunDue(lk);
        continue;
      }
      break;
    }
    if (target > self->now_) self->now_ = target;
    RunDue(lk);
  }

  void Finish(std::unique_lock<std::mutex>& lk, const CallEffects& fx) {
    if (fx.delayMs)
      AdvanceTo(lk, self->now_ + fx.delayMs);
    else
      RunDue(lk);
  }

  bool TryAcquire(Entry& e) {
    if (e.kind == Kind::Event) {
      if (!e.event->signalled) return false;
      if (!e.event->manual) e.event->signalled = false;
      return true;
    }
    if (e.kind == Kind::Thread) return e.thread->finished;
    return false;
  }

  // ---------------------------------------------------------------- plain files
  HANDLE OpenPlainFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
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
  void ClosePlainFile(FileObject& file) {
    auto* st = static_cast<PlainFileState*>(file.deviceState.get());
    if (!st->dirty) return;
    if (st->inMemory) {
      memoryFiles[st->key] = st->data;
    } else {
      std::ofstream out(st->hostPath, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(st->data.data()), static_cast<std::streamsize>(st->data.size()));
    }
  }
};

void PlainFileDevice::OnClose(FileObject& file) { impl_->ClosePlainFile(file); }

// ------------------------------------------------------------------ construction

World::World() : impl_(std::make_unique<Impl>(this)) {
  impl_->plainFiles = std::make_shared<PlainFileDevice>(impl_.get());
  impl_->plainFiles->world_ = this;
  now_ = 1'000'000;  // a machine that has been up for a while
}

World::~World() {
  std::list<std::shared_ptr<Impl::ThreadObj>> threads;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& t : impl_->threads) t->cancelled = true;
    threads = impl_->threads;
    impl_->cv.notify_all();
  }
  for (auto& t : threads)
    if (t->thread.joinable()) t->thread.join();
}

std::unique_lock<std::mutex> World::Lock() { return std::unique_lock<std::mutex>(mutex_); }

// ------------------------------------------------------------------ clock

std::uint64_t World::Now() {
  std::lock_guard<std::mutex> lk(mutex_);
  return now_;
}

void World::SetNow(std::uint64_t ms) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->AdvanceTo(lk, ms);
}

void World::Advance(std::uint64_t ms) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->AdvanceTo(lk, now_ + ms);
}

void World::Schedule(std::uint64_t delayMs, std::function<void()> action) {
  std::lock_guard<std::mutex> lk(mutex_);
  ScheduleLocked(delayMs, std::move(action));
}

void World::ScheduleLocked(std::uint64_t delayMs, std::function<void()> action) {
  impl_->actions.push_back(Impl::Action{now_ + delayMs, impl_->actionSeq++, std::move(action)});
  impl_->cv.notify_all();
}

void World::SetRealWaitCap(std::uint32_t ms) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->realWaitCapMs = ms;
}

// ------------------------------------------------------------------ devices

void World::Attach(const std::u16string& path, std::shared_ptr<Device> device, std::optional<GUID> interfaceClass) {
  std::unique_lock<std::mutex> lk(mutex_);
  device->world_ = this;
  Impl::PathEntry* p = impl_->FindPath(path);
  if (!p) {
    impl_->paths.push_back(Impl::PathEntry{path, nullptr, interfaceClass, false});
    p = &impl_->paths.back();
  }
  p->device = std::move(device);
  p->interfaceClass = interfaceClass;
  p->present = true;
  impl_->Announce(*p, DBT_DEVICEARRIVAL);
}

void World::Detach(const std::u16string& path) {
  std::unique_lock<std::mutex> lk(mutex_);
  Impl::PathEntry* p = impl_->FindPath(path);
  if (!p || !p->present) return;
  p->present = false;
  auto folded = FoldCase(p->path);
  for (auto& [h, e] : impl_->handles) {
    std::shared_ptr<FileObject> f = e.file ? e.file : (e.winusb ? e.winusb->file : nullptr);
    if (!f || f->device != p->device || FoldCase(f->path) != folded || f->gone) continue;
    f->gone = true;
    impl_->FailPendingOf(f->id, ERROR_DEVICE_NOT_CONNECTED);
  }
  impl_->Announce(*p, DBT_DEVICEREMOVECOMPLETE);
  p->device.reset();
}

bool World::IsAttached(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* p = impl_->FindPath(path);
  return p && p->present;
}

std::shared_ptr<Device> World::DeviceAt(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* p = impl_->FindPath(path);
  return p && p->present ? p->device : nullptr;
}

bool World::CompleteIoLocked(std::uint64_t requestId, DWORD error, DWORD transferred) {
  if (!impl_->pending.count(requestId)) return false;
  impl_->FinishPending(requestId, error, transferred, false);
  return true;
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

// ------------------------------------------------------------------ windows

HWND World::CreateHeadlessWindow(WindowProc proc) {
  std::lock_guard<std::mutex> lk(mutex_);
  Impl::Entry e{Impl::Kind::Window};
  e.window = std::make_shared<Impl::WindowObj>();
  e.window->proc = std::move(proc);
  e.window->owner = std::this_thread::get_id();
  return static_cast<HWND>(impl_->Add(std::move(e)));
}

void World::DestroyHeadlessWindow(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (impl_->Find(window, Impl::Kind::Window)) impl_->handles.erase(reinterpret_cast<std::uintptr_t>(window));
}

int World::PumpMessages(HWND window) {
  int count = 0;
  for (;;) {
    std::unique_lock<std::mutex> lk(mutex_);
    auto* e = impl_->Find(window, Impl::Kind::Window);
    if (!e || e->window->queue.empty()) return count;
    auto w = e->window;
    Impl::Queued q = std::move(w->queue.front());
    w->queue.pop_front();
    lk.unlock();
    ++count;
    if (w->proc) {
      LPARAM l = q.payload.empty() ? q.lParam : reinterpret_cast<LPARAM>(q.payload.data());
      w->proc(window, q.message, q.wParam, l);
    }
  }
}

std::vector<WindowMessage> World::Received(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(window, Impl::Kind::Window);
  return e ? e->window->log : std::vector<WindowMessage>{};
}

void World::ClearReceived(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto* e = impl_->Find(window, Impl::Kind::Window)) e->window->log.clear();
}

UINT World::RegisteredMessage(const std::u16string& name) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = impl_->messages.find(FoldCase(name));
  return it == impl_->messages.end() ? 0 : it->second;
}

// ------------------------------------------------------------------ faults and accounting

void World::InjectFault(Fault fault) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->faults.push_back(Impl::FaultState{std::move(fault)});
}

void World::ClearFaults() {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->faults.clear();
}

std::uint64_t World::CallCount(const std::string& call) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = impl_->calls.find(call);
  return it == impl_->calls.end() ? 0 : it->second;
}

std::vector<HandleInfo> World::OpenHandles(bool includeWindows) {
  std::lock_guard<std::mutex> lk(mutex_);
  static const char* kNames[] = {"file", "event", "thread", "devinfo", "preparsed", "winusb", "devnotify", "window"};
  std::vector<HandleInfo> out;
  for (auto& [h, e] : impl_->handles) {
    if (e.kind == Impl::Kind::Window && !includeWindows) continue;
    HandleInfo info;
    info.handle = reinterpret_cast<HANDLE>(h);
    info.kind = kNames[static_cast<int>(e.kind)];
    if (e.file) info.name = e.file->path;
    if (e.event) info.name = e.event->name;
    if (e.winusb && e.winusb->file) info.name = e.winusb->file->path;
    out.push_back(info);
  }
  return out;
}

std::string World::LeakReport() {
  std::ostringstream s;
  for (auto& h : OpenHandles(false)) {
    s << h.kind << " 0x" << std::hex << reinterpret_cast<std::uintptr_t>(h.handle) << std::dec;
    if (!h.name.empty()) s << " " << ToUtf8(h.name);
    s << "\n";
  }
  return s.str();
}

// ------------------------------------------------------------------ OsApi: errors

DWORD World::GetLastError() { return t_lastError; }
void World::SetLastError(DWORD error) { t_lastError = error; }

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
  DWORD err = file->device->OnOpen(*file);
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
    impl.pending.emplace(req.id, World::Impl::Pending{file->id, ov, file->device});
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
  while (ov->Internal == kStatusPending) {
    if (!wait) {
      t_lastError = ERROR_IO_INCOMPLETE;
      return FALSE;
    }
    // Let timed device work happen, then wait for another thread to finish it.
    if (auto next = impl_->NextActionTime()) {
      impl_->AdvanceTo(lk, std::max(*next, now_));
      continue;
    }
    impl_->cv.wait(lk);
  }
  if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
  if (ov->Internal == 0) {
    t_lastError = 0;
    return TRUE;
  }
  t_lastError = static_cast<DWORD>(ov->Internal & ~kErrorTag);
  return FALSE;
}

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
  impl_->FailPendingOf(e->file->id, ERROR_OPERATION_ABORTED);
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

// ------------------------------------------------------------------ OsApi: kernel objects, threads, time

HANDLE World::CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  std::lock_guard<std::mutex> lk(mutex_);
  std::u16string n = FromW(name);
  if (auto f = impl_->Fault("CreateEventW", n)) {
    t_lastError = *f;
    return nullptr;
  }
  Impl::Entry e{Impl::Kind::Event};
  if (!n.empty()) {
    auto it = impl_->namedEvents.find(n);
    if (it != impl_->namedEvents.end()) {
      if (auto existing = it->second.lock()) {
        e.event = existing;
        HANDLE h = impl_->Add(std::move(e));
        t_lastError = ERROR_ALREADY_EXISTS;
        return h;
      }
    }
  }
  e.event = std::make_shared<Impl::EventObj>();
  e.event->manual = manualReset != FALSE;
  e.event->signalled = initialState != FALSE;
  e.event->name = n;
  if (!n.empty()) impl_->namedEvents[n] = e.event;
  HANDLE h = impl_->Add(std::move(e));
  t_lastError = 0;
  return h;
}

BOOL World::SetEvent(HANDLE event) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("SetEvent", {})) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(event, Impl::Kind::Event);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  e->event->signalled = true;
  impl_->cv.notify_all();
  return TRUE;
}

BOOL World::ResetEvent(HANDLE event) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("ResetEvent");
  auto* e = impl_->Find(event, Impl::Kind::Event);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  e->event->signalled = false;
  return TRUE;
}

DWORD World::WaitForSingleObject(HANDLE object, DWORD ms) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("WaitForSingleObject", {})) {
    t_lastError = *f;
    return WAIT_FAILED;
  }
  auto* found = impl_->FindAny(object);
  if (!found || (found->kind != Impl::Kind::Event && found->kind != Impl::Kind::Thread)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  Impl::Entry entry = *found;  // keeps the object alive if the handle is closed meanwhile
  const bool finite = ms != INFINITE;
  const std::uint64_t deadline = now_ + ms;
  const auto realDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(impl_->realWaitCapMs);
  for (;;) {
    if (impl_->TryAcquire(entry)) return WAIT_OBJECT_0;
    if (finite) {
      // Timed device work inside the window happens first, in virtual time.
      if (auto next = impl_->NextActionTime(); next && *next <= deadline) {
        impl_->AdvanceTo(lk, std::max(*next, now_));
        continue;
      }
      if (ms == 0 || now_ >= deadline) return WAIT_TIMEOUT;
      if (impl_->cv.wait_until(lk, realDeadline) == std::cv_status::timeout) {
        if (impl_->TryAcquire(entry)) return WAIT_OBJECT_0;
        impl_->AdvanceTo(lk, std::max<std::uint64_t>(deadline, now_));
        return WAIT_TIMEOUT;
      }
    } else {
      impl_->cv.wait(lk);
    }
  }
}

HANDLE World::CreateThread(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("CreateThread", {})) {
    t_lastError = *f;
    return nullptr;
  }
  if (!start) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  auto t = std::make_shared<Impl::ThreadObj>();
  t->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  Impl* impl = impl_.get();
  std::mutex* m = &mutex_;
  t->thread = std::thread([t = t.get(), impl, m, start, parameter] {
    {
      std::unique_lock<std::mutex> lk(*m);
      impl->cv.wait(lk, [&] { return t->suspendCount == 0 || t->cancelled; });
      if (t->suspendCount != 0) {
        t->finished = true;
        impl->cv.notify_all();
        return;
      }
    }
    DWORD code = start(parameter);
    std::lock_guard<std::mutex> lk(*m);
    t->exitCode = code;
    t->finished = true;
    impl->cv.notify_all();
  });
  impl_->threads.push_back(t);
  Impl::Entry e{Impl::Kind::Thread};
  e.thread = t;
  if (threadId) *threadId = static_cast<DWORD>(impl_->nextId++);
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

DWORD World::ResumeThread(HANDLE thread) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("ResumeThread");
  auto* e = impl_->Find(thread, Impl::Kind::Thread);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return 0xFFFFFFFFu;
  }
  DWORD previous = e->thread->suspendCount;
  if (previous > 0) --e->thread->suspendCount;
  impl_->cv.notify_all();
  return previous;
}

DWORD World::GetTickCount() {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("GetTickCount");
  impl_->RunDue(lk);
  return static_cast<DWORD>(now_);
}

void World::Sleep(DWORD milliseconds) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("Sleep");
  impl_->AdvanceTo(lk, now_ + milliseconds);
  lk.unlock();
  std::this_thread::yield();
}

// ------------------------------------------------------------------ OsApi: SetupAPI

HDEVINFO World::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR, HWND, DWORD flags) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("SetupDiGetClassDevsW", {})) {
    t_lastError = *f;
    return INVALID_HANDLE_VALUE;
  }
  if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<Impl::DevInfoObj>();
  set->classGuid = *classGuid;
  for (auto& p : impl_->paths)
    if (p.interfaceClass && *p.interfaceClass == *classGuid && (p.present || !(flags & DIGCF_PRESENT)))
      set->paths.push_back(p.path);
  Impl::Entry e{Impl::Kind::DevInfo};
  e.devinfo = set;
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

BOOL World::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID* classGuid, DWORD index,
                                        SP_DEVICE_INTERFACE_DATA* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(set, Impl::Kind::DevInfo);
  std::u16string path;
  if (e && index < e->devinfo->paths.size()) path = e->devinfo->paths[index];
  if (auto f = impl_->Fault("SetupDiEnumDeviceInterfaces", path)) {
    t_lastError = *f;
    return FALSE;
  }
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !classGuid) {
    t_lastError = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (!(*classGuid == e->devinfo->classGuid) || index >= e->devinfo->paths.size()) {
    t_lastError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  data->InterfaceClassGuid = e->devinfo->classGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  t_lastError = 0;
  return TRUE;
}

BOOL World::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                             SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                             DWORD* requiredSize, SP_DEVINFO_DATA*) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(set, Impl::Kind::DevInfo);
  std::u16string path;
  if (e && data && data->Reserved >= 1 && data->Reserved <= e->devinfo->paths.size())
    path = e->devinfo->paths[data->Reserved - 1];
  if (auto f = impl_->Fault("SetupDiGetDeviceInterfaceDetailW", path)) {
    t_lastError = *f;
    return FALSE;
  }
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (path.empty()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const DWORD required =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = required;
  if (!detail) {
    t_lastError = detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  if (detail->cbSize != kDeviceInterfaceDetailFixedSize) {
    t_lastError = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (detailSize < required) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  t_lastError = 0;
  return TRUE;
}

BOOL World::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("SetupDiDestroyDeviceInfoList");
  if (!impl_->Find(set, Impl::Kind::DevInfo)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(set));
  return TRUE;
}

// ------------------------------------------------------------------ OsApi: HID

void World::HidD_GetHidGuid(GUID* guid) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidD_GetHidGuid");
  if (guid) *guid = GUID_DEVINTERFACE_HID;
}

BOOLEAN World::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("HidD_GetAttributes", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e || !attributes) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (e->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  HIDD_ATTRIBUTES a{};
  DWORD err = e->file->device->OnHidGetAttributes(*e->file, &a);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return FALSE;
  }
  a.Size = sizeof(HIDD_ATTRIBUTES);
  *attributes = a;
  return TRUE;
}

BOOLEAN World::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("HidD_GetPreparsedData", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e || !data) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (e->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  auto obj = std::make_shared<Impl::PreparsedObj>();
  DWORD err = e->file->device->OnHidGetDescription(*e->file, &obj->description);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return FALSE;
  }
  Impl::Entry entry{Impl::Kind::Preparsed};
  entry.preparsed = obj;
  *data = static_cast<PHIDP_PREPARSED_DATA>(impl_->Add(std::move(entry)));
  return TRUE;
}

BOOLEAN World::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidD_FreePreparsedData");
  if (!impl_->Find(data, Impl::Kind::Preparsed)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(data));
  return TRUE;
}

NTSTATUS World::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (auto f = impl_->Fault("HidP_GetCaps", {})) {
    if (caps) *caps = HIDP_CAPS{};
    return static_cast<NTSTATUS>(*f) == HIDP_STATUS_SUCCESS ? HIDP_STATUS_INVALID_PREPARSED_DATA
                                                            : static_cast<NTSTATUS>(*f);
  }
  if (!e || !caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  const auto& d = e->preparsed->description;
  if (d.capsStatus != HIDP_STATUS_SUCCESS) {
    *caps = HIDP_CAPS{};
    return d.capsStatus;
  }
  *caps = d.caps;
  return HIDP_STATUS_SUCCESS;
}

namespace {
template <typename Caps>
NTSTATUS SelectCaps(const std::vector<Caps>& all, USAGE usagePage, USHORT link, USAGE usage, Caps* out,
                    USHORT* length) {
  std::vector<const Caps*> match;
  for (const auto& c : all) {
    if (usagePage && c.UsagePage != usagePage) continue;
    if (link && c.LinkCollection != link) continue;
    if (usage) {
      bool hit = c.IsRange ? (usage >= c.Range.UsageMin && usage <= c.Range.UsageMax) : c.NotRange.Usage == usage;
      if (!hit) continue;
    }
    match.push_back(&c);
  }
  USHORT room = *length;
  USHORT n = static_cast<USHORT>(std::min<size_t>(room, match.size()));
  for (USHORT i = 0; i < n; ++i) out[i] = *match[i];
  *length = n;
  if (match.empty()) return HIDP_STATUS_USAGE_NOT_FOUND;
  return match.size() > room ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}
}  // namespace

NTSTATUS World::HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                           HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidP_GetSpecificButtonCaps");
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (!e || !length || (!caps && *length)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (type < HidP_Input || type > HidP_Feature) return static_cast<NTSTATUS>(0xC0110002u);
  return SelectCaps(e->preparsed->description.buttonCaps[type], usagePage, linkCollection, usage, caps, length);
}

NTSTATUS World::HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                          HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("HidP_GetSpecificValueCaps");
  auto* e = impl_->Find(data, Impl::Kind::Preparsed);
  if (!e || !length || (!caps && *length)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (type < HidP_Input || type > HidP_Feature) return static_cast<NTSTATUS>(0xC0110002u);
  return SelectCaps(e->preparsed->description.valueCaps[type], usagePage, linkCollection, usage, caps, length);
}

// ------------------------------------------------------------------ OsApi: WinUSB

BOOL World::WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("WinUsb_Initialize", impl_->HandlePath(device))) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(device, Impl::Kind::File);
  if (!e || !handle) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto file = e->file;
  if (file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return FALSE;
  }
  if (!file->Overlapped()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  DWORD err = file->device->OnWinUsbInitialize(*file);
  if (err != ERROR_SUCCESS) {
    t_lastError = err;
    return FALSE;
  }
  Impl::Entry entry{Impl::Kind::WinUsb};
  entry.winusb = std::make_shared<Impl::WinUsbObj>();
  entry.winusb->file = file;
  *handle = impl_->Add(std::move(entry));
  t_lastError = 0;
  return TRUE;
}

BOOL World::WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("WinUsb_Free");
  if (!impl_->Find(handle, Impl::Kind::WinUsb)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
  return TRUE;
}

namespace {
// Common entry of the WinUSB calls: fault, handle and presence checks.
template <typename Impl, typename Entry>
std::shared_ptr<FileObject> WinUsbFile(Impl& impl, const char* call, WINUSB_INTERFACE_HANDLE handle) {
  if (auto f = impl.Fault(call, impl.HandlePath(handle))) {
    t_lastError = *f;
    return nullptr;
  }
  auto* e = impl.Find(handle, Impl::Kind::WinUsb);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (e->winusb->file->gone) {
    t_lastError = ERROR_DEVICE_NOT_CONNECTED;
    return nullptr;
  }
  return e->winusb->file;
}
}  // namespace

BOOL World::WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                          USB_INTERFACE_DESCRIPTOR* descriptor) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto file = WinUsbFile<Impl, Impl::Entry>(*impl_, "WinUsb_QueryInterfaceSettings", handle);
  if (!file) return FALSE;
  if (!descriptor) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  DWORD err = file->device->OnWinUsbQueryInterface(alternateSetting, descriptor);
  t_lastError = err;
  return err == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL World::WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                             WINUSB_PIPE_INFORMATION* pipe) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto file = WinUsbFile<Impl, Impl::Entry>(*impl_, "WinUsb_QueryPipe", handle);
  if (!file) return FALSE;
  if (!pipe) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  DWORD err = file->device->OnWinUsbQueryPipe(alternateSetting, pipeIndex, pipe);
  t_lastError = err;
  return err == ERROR_SUCCESS ? TRUE : FALSE;
}

// Synchronous bulk/interrupt transfer on a pipe; the device's latency moves the
// caller's clock.
BOOL World::PipeTransfer(bool write, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                         PULONG transferred, OVERLAPPED* overlapped) {
  std::unique_lock<std::mutex> lk(mutex_);
  auto file = WinUsbFile<Impl, Impl::Entry>(*impl_, write ? "WinUsb_WritePipe" : "WinUsb_ReadPipe", handle);
  if (!file) return FALSE;
  if (overlapped) {
    t_lastError = ERROR_NOT_SUPPORTED;
    return FALSE;
  }
  ULONG n = 0;
  CallEffects fx;
  DWORD err = write ? file->device->OnWinUsbWritePipe(pipeId, buffer, length, &n, fx)
                    : file->device->OnWinUsbReadPipe(pipeId, buffer, length, &n, fx);
  if (transferred) *transferred = n;
  impl_->Finish(lk, fx);
  t_lastError = err;
  return err == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL World::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                             PULONG transferred, OVERLAPPED* overlapped) {
  return PipeTransfer(true, handle, pipeId, buffer, length, transferred, overlapped);
}

BOOL World::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                            PULONG transferred, OVERLAPPED* overlapped) {
  return PipeTransfer(false, handle, pipeId, buffer, length, transferred, overlapped);
}

// ------------------------------------------------------------------ OsApi: windows and notifications

UINT World::RegisterWindowMessageW(LPCWSTR name) {
  std::lock_guard<std::mutex> lk(mutex_);
  std::u16string n = FromW(name);
  if (auto f = impl_->Fault("RegisterWindowMessageW", n)) {
    t_lastError = *f;
    return 0;
  }
  if (n.empty()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  auto key = FoldCase(n);
  auto it = impl_->messages.find(key);
  if (it != impl_->messages.end()) return it->second;
  UINT id = impl_->nextMessage++;
  impl_->messages.emplace(key, id);
  return id;
}

BOOL World::PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("PostMessageW", {})) {
    t_lastError = *f;
    return FALSE;
  }
  auto* e = impl_->Find(window, Impl::Kind::Window);
  if (!e) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  WindowMessage m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.fromOwnerThread = std::this_thread::get_id() == e->window->owner;
  e->window->log.push_back(m);
  e->window->queue.push_back(Impl::Queued{message, wParam, lParam, {}});
  impl_->cv.notify_all();
  return TRUE;
}

LRESULT World::SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowProc proc;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    impl_->Count("SendMessageW");
    auto* e = impl_->Find(window, Impl::Kind::Window);
    if (!e) {
      t_lastError = ERROR_INVALID_WINDOW_HANDLE;
      return 0;
    }
    WindowMessage m;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.sent = true;
    m.fromOwnerThread = std::this_thread::get_id() == e->window->owner;
    e->window->log.push_back(m);
    proc = e->window->proc;
  }
  return proc ? proc(window, message, wParam, lParam) : 0;
}

HDEVNOTIFY World::RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("RegisterDeviceNotificationW", {})) {
    t_lastError = *f;
    return nullptr;
  }
  if ((flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != DEVICE_NOTIFY_WINDOW_HANDLE) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (!impl_->Find(recipient, Impl::Kind::Window)) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  auto* hdr = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  if (!hdr || hdr->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      hdr->dbcc_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  Impl::Entry e{Impl::Kind::DevNotify};
  e.notify = std::make_shared<Impl::NotifyObj>();
  e.notify->window = static_cast<HWND>(recipient);
  e.notify->classGuid = hdr->dbcc_classguid;
  e.notify->allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  t_lastError = 0;
  return impl_->Add(std::move(e));
}

BOOL World::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("UnregisterDeviceNotification");
  if (!impl_->Find(handle, Impl::Kind::DevNotify)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
  return TRUE;
}

// ------------------------------------------------------------------ OsApi: code pages
//
// The ANSI code page of the simulated machine is a single-byte page whose upper
// half is unassigned: characters above 0x7F cannot be represented and become '?'.

int World::WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length, LPSTR out, int outSize,
                               LPCSTR defaultChar, BOOL* usedDefault) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("WideCharToMultiByte", {})) {
    t_lastError = *f;
    return 0;
  }
  if (!text || length < -1 || outSize < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::u16string in = length == -1 ? std::u16string(text) + u'\0' : std::u16string(text, static_cast<size_t>(length));
  std::string result;
  bool defaulted = false;
  if (codePage == CP_UTF8) {
    result = ToUtf8(in);
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP) {
    for (char16_t c : in) {
      if (c < 0x80) {
        result += static_cast<char>(c);
      } else {
        result += defaultChar ? *defaultChar : '?';
        defaulted = true;
      }
    }
  } else {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
  if (outSize == 0) return static_cast<int>(result.size());
  if (static_cast<int>(result.size()) > outSize) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(out, result.data(), result.size());
  return static_cast<int>(result.size());
}

int World::MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR out, int outSize) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("MultiByteToWideChar", {})) {
    t_lastError = *f;
    return 0;
  }
  if (!text || length < -1 || outSize < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string in = length == -1 ? std::string(text) + '\0' : std::string(text, static_cast<size_t>(length));
  std::u16string result;
  if (codePage == CP_UTF8) {
    result = FromUtf8(in);
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP) {
    for (char c : in) {
      unsigned char b = static_cast<unsigned char>(c);
      result += b < 0x80 ? static_cast<char16_t>(b) : u'?';
    }
  } else {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (outSize == 0) return static_cast<int>(result.size());
  if (static_cast<int>(result.size()) > outSize) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(result.begin(), result.end(), out);
  return static_cast<int>(result.size());
}

}  // namespace kv27::sim
