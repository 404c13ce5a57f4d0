// Internals of the simulated world, shared by the files that implement it
// (world.cpp and world_*.cpp). Nothing outside sim/world*.cpp includes this.
//
// Every member of World::Impl is guarded by World::mutex_.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {

namespace detail {

// Marks an OVERLAPPED whose transfer is still running; completed transfers keep
// 0 (success) or kErrorTag | Win32 error in Internal.
inline constexpr ULONG_PTR kStatusPending = 0x103;
inline constexpr ULONG_PTR kErrorTag = 0xE0000000u;

inline thread_local DWORD t_lastError = 0;

inline char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

inline std::u16string FoldCase(const std::u16string& s) {
  std::u16string r(s);
  for (auto& c : r) c = Fold(c);
  return r;
}

inline bool ContainsFolded(const std::u16string& haystack, const std::u16string& needle) {
  if (needle.empty()) return true;
  return FoldCase(haystack).find(FoldCase(needle)) != std::u16string::npos;
}

inline bool IsDevicePath(const std::u16string& p) {
  return p.size() >= 4 && p[0] == u'\\' && p[1] == u'\\' && (p[2] == u'.' || p[2] == u'?') && p[3] == u'\\';
}

inline std::u16string FromW(LPCWSTR s) {
  if (!s) return {};
  return std::u16string(s);
}

}  // namespace detail
using namespace detail;

// ------------------------------------------------------------------ plain files

struct PlainFileState {
  std::vector<std::uint8_t> data;
  size_t position = 0;
  bool dirty = false;
  bool inMemory = false;
  std::u16string key;              // memory store key
  std::filesystem::path hostPath;  // host disk path
};

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
  HANDLE OpenPlainFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  void ClosePlainFile(FileObject& file);
};

}  // namespace kv27::sim
