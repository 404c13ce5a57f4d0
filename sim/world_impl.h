// Internals of the simulated world, shared by the files that implement it
// (world.cpp and world_*.cpp). Nothing outside sim/world*.cpp includes this.
//
// Every member of World::Impl is guarded by World::mutex_.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
  std::size_t position = 0;
  bool inMemory = false;
  std::u16string key;              // memory store key (MemoryKey)
  std::u16string shareKey;         // the file, for sharing checks (MemoryKey of the path as opened)
  std::filesystem::path hostPath;  // host disk path
  int fd = -1;                     // the host file, open while the handle is
};

// The memory overlay's key of a path: folded case, backslashes, no trailing
// separator; and the key of its directory (empty for a root).
std::u16string MemoryKey(const std::u16string& path);
std::u16string MemoryParent(const std::u16string& key);

// Serves ordinary file paths from the memory overlay or the host disk
// (world_files.cpp).
class PlainFileDevice : public Device {
 public:
  explicit PlainFileDevice(World::Impl* impl) : impl_(impl) {}
  DWORD OnRead(IoRequest& request, DWORD* transferred, CallEffects&) override;
  DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects&) override;
  void OnClose(FileObject& file) override;

 private:
  World::Impl* impl_;
};

// ------------------------------------------------------------------ world internals

// ------------------------------------------------------------------ world internals

struct World::Impl {
  World* self;
  explicit Impl(World* w) : self(w) {}

  enum class Kind { File, Event, Thread, DevInfo, Preparsed, WinUsb, DevNotify, Window, Bitmap, Icon, Find };

  struct EventObj {
    bool manual = false;
    // Atomic: a named event may be shared with the other worlds of the
    // session, each of which touches it under its own lock.
    std::atomic<bool> signalled{false};
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
    std::map<UCHAR, ULONG> transferTimeoutMs;  // PIPE_TRANSFER_TIMEOUT by pipe id; 0 or absent: none
  };
  // A directory search (FindFirstFileW): the entries found, and the next one.
  struct FindObj {
    std::vector<WIN32_FIND_DATAW> entries;
    std::size_t next = 0;
    std::u16string pattern;
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
  struct Timer {
    UINT elapse = 0;
    std::uint64_t due = 0;
  };
  struct WindowObj {
    WindowProc proc;  // headless windows
    std::thread::id owner;
    std::vector<WindowMessage> log;
    // Dialogs and controls.
    HWND handle = nullptr;
    HWND parent = nullptr;
    std::vector<HWND> children;
    std::u16string className, text;
    DWORD style = 0, exStyle = 0;
    int id = 0;
    DLGPROC dlgProc = nullptr;
    LONG_PTR msgResult = 0;  // DWLP_MSGRESULT
    bool ended = false;
    INT_PTR endResult = 0;
    HANDLE image = nullptr;       // STM_SETIMAGE
    HANDLE ownedImage = nullptr;  // the bitmap the template named; freed with the control
    HICON bigIcon = nullptr, smallIcon = nullptr;
    int position = 0, rangeLow = 0, rangeHigh = 100;
    std::map<UINT_PTR, Timer> timers;
    // What it shows changed (text, picture, position) and it has not been
    // painted since: a WM_PAINT waits for it.
    bool needsPaint = false;
  };
  // A SendMessageW from another thread, waiting for the window's thread.
  struct SentMsg {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
    bool abandoned = false;
    // A device notification the system sends: its own copy of the broadcast
    // structure (lParam points into it, valid only during the call), and the
    // virtual time it was sent.
    bool fromSystem = false;
    std::vector<std::uint8_t> payload;
    std::uint64_t sentAt = 0;
  };
  struct Posted {
    HWND window = nullptr;
    Queued q;
  };
  enum class ModalKind { Dialog, MessageBox, FileDialog };
  struct ModalFrame {
    ModalKind kind;
    HWND window;
  };
  // Each thread's message queue: messages other threads sent and wait on,
  // posted messages (one queue for all the thread's windows, in order), and
  // the modal loops it is running, innermost last.
  struct ThreadQueue {
    std::deque<std::shared_ptr<SentMsg>> sent;
    std::deque<Posted> posted;
    std::vector<ModalFrame> modal;
    std::map<UINT_PTR, Timer> timers;  // the thread's timers (SetTimer without a window)
  };
  enum class UserKind { Click, Close, Minimize, Restore, Do };
  struct UserAction {
    std::uint64_t at = 0;
    std::uint64_t seq = 0;
    UserKind kind = UserKind::Do;
    int id = 0;
    std::function<void()> fn;
  };
  struct BoxAnswer {
    int button = 0;
    std::uint64_t afterMs = 0;
  };
  struct FileAnswer {
    bool choose = false;
    std::u16string path;
    std::uint64_t afterMs = 0;
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
    std::shared_ptr<FindObj> find;
    WORD resource = 0;  // bitmaps and icons: the resource id
  };

  struct PathEntry {
    std::u16string path;  // as attached
    std::shared_ptr<Device> device;
    std::optional<GUID> interfaceClass;
    bool present = false;
  };

  // A node of the configuration manager's device tree; DEVINST n is
  // devNodes[n - 1], the root is 1. Nodes are never dropped: a removed
  // device's node stays, not present, with its driver key.
  struct DevNode {
    std::u16string instanceId;
    DEVINST parent = 0;  // 0 for the root
    GUID setupClass{};
    std::u16string driverKey;  // empty: none (the root)
    bool present = true;
  };

  struct Pending {
    std::uint64_t fileId;
    OVERLAPPED* overlapped;
    std::shared_ptr<Device> device;
    std::thread::id thread;   // the thread that started the transfer
    bool cancelling = false;  // CancelIo asked; the abort lands after the cancel latency
    std::u16string path;
  };

  // A finite wait in progress. Its outcome is settled when the clock passes its
  // deadline, whichever thread moves the clock.
  enum class WaitOutcome { Waiting, Acquired, TimedOut };
  // What one wait waits for: one object, or several (any one of them, or all
  // at once).
  struct WaitSet {
    std::vector<Entry>* entries;
    bool all = false;
  };
  struct Waiter {
    WaitSet* set;
    std::uint64_t deadline;
    WaitOutcome outcome = WaitOutcome::Waiting;
    DWORD index = 0;  // the object that satisfied a wait for any one
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
  std::vector<DevNode> devNodes;
  std::map<std::string, unsigned> driverKeysByClass;  // keys given out so far, by setup class
  // Reaches this world from the other worlds of its session; cleared when
  // the world goes.
  struct SessionMember {
    std::mutex mutex;
    World* world = nullptr;
  };
  std::shared_ptr<SessionMember> member = std::make_shared<SessionMember>();
  std::map<std::uint64_t, Pending> pending;
  std::list<std::shared_ptr<ThreadObj>> threads;
  std::vector<FaultState> faults;
  std::map<std::string, std::uint64_t> calls;
  std::map<std::u16string, UINT> messages;  // folded name -> id
  UINT nextMessage = 0xC000;
  UINT_PTR nextThreadTimer = 1;
  std::vector<Action> actions;
  std::uint64_t actionSeq = 0;
  std::map<std::u16string, std::vector<std::uint8_t>> memoryFiles;  // MemoryKey
  // The file index GetFileInformationByHandle gives a memory file, by its
  // MemoryKey: given at the first call, kept for the world's life.
  std::map<std::u16string, std::uint64_t> memoryFileIndex;
  // Directories of the memory overlay (MemoryKey): the folders of its files
  // and their parents, and the ones added or created.
  std::set<std::u16string> memoryDirs;
  // The names of the overlay's files and directories as they were given
  // (MemoryKey -> path), for directory listings.
  std::map<std::u16string, std::u16string> memoryNames;
  // The environment (folded name -> name, value) and the local time: the
  // date and time at localTimeAnchor of the clock, in milliseconds since
  // 1970-01-01 00:00 local.
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> environment;
  std::int64_t localTimeMs = 0;
  std::uint64_t localTimeAnchor = 0;
  bool hostFiles = true;
  std::u16string modulePath = u"C:\\Program Files\\KV27M\\KV27MFirmwareUpdate.exe";
  std::uint32_t realWaitCapMs = 60'000;
  bool realWaitCapSet = false;  // a test that polls from outside the world chose it
  World::ForeignWindowSink foreignWindows;
  World::SentMessageHook sentHook;
  std::vector<std::uint8_t> peekedPayload;  // of the last message PeekMessageW removed
  std::uint32_t cancelLatencyMs = 1;
  bool realTime = false;  // SetRealTime: virtualAnchor ms of virtual time stood at realAnchor
  std::uint64_t virtualAnchor = 0;
  std::chrono::steady_clock::time_point realAnchor;
  std::list<Waiter*> waiters;
  // The threads the clock waits for (see IdleStep): the world's creator and
  // the threads it runs, for as long as they live, and any other thread while
  // it is idle in a world wait.
  struct Participant {
    bool permanent = false;
    bool idle = false;
    std::optional<std::uint64_t> wake;  // idle until then; none: until something happens
    std::uint64_t seen = 0;             // the epoch it last looked at the world in
    std::chrono::steady_clock::time_point busySince = std::chrono::steady_clock::now();
    bool reportedBusy = false;
  };
  std::map<std::thread::id, Participant> participants;
  // Counts the changes that may end a wait (a signal, a message, a transfer's
  // end, a move of the clock): a thread idle since an older epoch has not seen
  // them yet and may still go on at the current time.
  std::uint64_t epoch = 0;
  // Faults of the code under test that a real PC would show as a hang or as a
  // write into freed memory; LeakReport lists them.
  std::vector<std::string> defects;
  std::condition_variable cv;
  std::shared_ptr<PlainFileDevice> plainFiles;
  // Window system.
  std::map<std::thread::id, ThreadQueue> threadQueues;
  std::vector<UserAction> userActions;
  std::uint64_t userSeq = 0;
  std::deque<BoxAnswer> boxAnswers;
  std::deque<FileAnswer> fileAnswers;
  bool autoAnswer = true;
  std::vector<std::string> userLog;
  std::vector<MessageBoxRecord> messageBoxes;
  std::vector<FileDialogRecord> fileDialogs;
  std::vector<Deadlock> deadlocks;
  std::vector<DroppedNotification> droppedNotifications;
  std::uint32_t notificationTimeoutMs = 5000;
  // By window: the virtual time the system was done with its last
  // notification to it (taken or given up on); the next one waits for that.
  std::map<HWND, std::uint64_t> systemSendDone;
  std::vector<std::uint8_t> spentPayload;  // the last notification's structure, overwritten
  std::vector<std::string> stalls;
  std::vector<IconDrawn> iconsDrawn;
  std::uint32_t hangTimeoutMs = 2000;
  std::uint64_t modalTimeLimitMs = 2ull * 3600 * 1000;
  DWORD commonControls = 0;  // ICC_* classes registered
  std::map<WORD, DialogTemplate> dialogTemplates;
  std::set<WORD> bitmapResources, iconResources;
  std::optional<ResourceSet> resources;
  // Every set SetResources was given, the last one in force: a resource's
  // handle and data (FindResourceExW, LoadResource) stay valid for the
  // world's life, as a loaded module's do.
  std::deque<ResourceSet> resourceSets;
  LANGID uiLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
  std::map<WORD, HICON> icons;  // shared icon handles by resource
  DWORD commDlgError = 0;

  // Window system (world_windows.cpp, world_dialogs.cpp). `lk` holds the
  // world's lock; it is released while a window procedure runs.
  std::shared_ptr<WindowObj> WindowOf(const void* h) {
    auto* e = Find(h, Kind::Window);
    return e ? e->window : nullptr;
  }
  ThreadQueue& QueueOf(std::thread::id thread) { return threadQueues[thread]; }
  LRESULT Deliver(std::unique_lock<std::mutex>& lk, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Deliver for a message sent with SendMessageW, then the sent-message hook.
  LRESULT DeliverSent(std::unique_lock<std::mutex>& lk, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Takes a message another thread (or the system) sent to this thread, off
  // its queue: delivers it, or drops a device notification the system gave up
  // on meanwhile; then releases its sender.
  void TakeSent(std::unique_lock<std::mutex>& lk, const std::shared_ptr<SentMsg>& s);
  // Sends a device notification (payload: the broadcast structure, empty for
  // none) to `window` as the system does.
  void SendNotification(HWND window, WPARAM event, std::vector<std::uint8_t> payload);
  // DBT_DEVNODES_CHANGED to every top-level window (world locked).
  void BroadcastDevNodesChanged();
  LRESULT DefaultProc(std::unique_lock<std::mutex>& lk, HWND window, WindowObj& w, UINT message, WPARAM wParam,
                      LPARAM lParam);
  bool DispatchOne(std::unique_lock<std::mutex>& lk, HWND filter, bool withInput);
  std::optional<std::uint64_t> NextEventTime(bool withInput);
  // Runs a modal loop on the calling thread until `done` or, with `until`, the
  // virtual time; false when it stalled.
  bool ModalLoop(std::unique_lock<std::mutex>& lk, ModalFrame frame, const std::function<bool()>& done,
                 std::optional<std::uint64_t> until, const std::string& what);
  void RunUserAction(std::unique_lock<std::mutex>& lk, UserAction action);
  void DestroyWindowTree(std::unique_lock<std::mutex>& lk, HWND window);
  void Stall(const std::string& text);
  std::optional<DialogTemplate> FindDialogTemplate(WORD id);
  // Builds the dialog of `tpl` and runs it modally (DialogBoxParamW and
  // DialogBoxIndirectParamW once they have their template).
  INT_PTR RunDialog(std::unique_lock<std::mutex>& lk, DialogTemplate tpl, HWND parent, DLGPROC proc, LPARAM initParam);
  bool HasResource(WORD type, WORD id);
  WORD ResourceOf(const void* gdiObject);

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

  // ---------------------------------------------------------------- device nodes (world_devnodes.cpp)
  DEVINST RootNode();
  // The node of an instance id, 0 when there is none.
  DEVINST FindNode(const std::u16string& instanceId);
  DevNode* Node(DEVINST node) { return node >= 1 && node <= devNodes.size() ? &devNodes[node - 1] : nullptr; }
  // The node an interface path belongs to, made root-enumerated if the world
  // was never told of it.
  DEVINST InterfaceNode(const std::u16string& path);
  DEVINST NewNode(const std::u16string& instanceId, DEVINST parent, const GUID& setupClass);

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
      Notify();
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
    Notify();
  }

  void FailPendingOf(std::uint64_t fileId, DWORD error) {
    std::vector<std::uint64_t> ids;
    for (auto& [id, p] : pending)
      if (p.fileId == fileId) ids.push_back(id);
    for (auto id : ids) FinishPending(id, error, 0, true);
  }

  // Device-interface arrival and removal reach the windows registered for the
  // interface's class (RegisterDeviceNotificationW), sent as the system sends
  // them: see SendNotification (world_windows.cpp).
  void Announce(const PathEntry& p, WPARAM event) {
    if (!p.interfaceClass) return;
    for (auto& [h, e] : handles) {
      if (e.kind != Kind::DevNotify) continue;
      if (!e.notify->allClasses && !(e.notify->classGuid == *p.interfaceClass)) continue;
      size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (p.path.size() + 1) * sizeof(WCHAR);
      std::vector<std::uint8_t> payload(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
      DEV_BROADCAST_DEVICEINTERFACE_W hdr{};
      hdr.dbcc_size = static_cast<DWORD>(size);
      hdr.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      hdr.dbcc_classguid = *p.interfaceClass;
      std::memcpy(payload.data(), &hdr, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
      std::memcpy(payload.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), p.path.c_str(),
                  (p.path.size() + 1) * sizeof(WCHAR));
      SendNotification(e.notify->window, event, std::move(payload));
    }
    Notify();
  }

  // ---------------------------------------------------------------- clock
  void Notify() {
    ++epoch;
    cv.notify_all();
  }
  void Participate(std::thread::id thread) {
    auto& p = participants[thread];
    p.permanent = true;
    p.busySince = std::chrono::steady_clock::now();
  }
  bool AllIdle();
  std::optional<std::uint64_t> NextWake() const;
  void IdleStep(std::unique_lock<std::mutex>& lk, std::optional<std::uint64_t> wake,
                std::chrono::milliseconds most = std::chrono::milliseconds::max());
  void IdleTo(std::unique_lock<std::mutex>& lk, std::uint64_t time);

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
      ++runningActions;
      ++t_runningActions;
      lk.unlock();
      fn();
      lk.lock();
      --t_runningActions;
      --runningActions;
      Notify();
    }
  }
  // Actions running now, with the lock released, on any thread and on this
  // one: what falls due at an instant has happened, for everybody else, only
  // once they are over.
  int runningActions = 0;
  static inline thread_local int t_runningActions = 0;
  bool OthersRunActions() const { return runningActions > t_runningActions; }

  // Settles every finite wait whose deadline lies before `time`: a wait whose
  // object is signalled by then is satisfied, any other has timed out. Runs
  // before the clock moves to `time`, so that what happens at `time` or later
  // can no longer satisfy those waits.
  void SettleWaitersBefore(std::uint64_t time) {
    bool settled = false;
    for (Waiter* w : waiters) {
      if (w->outcome != WaitOutcome::Waiting || w->deadline >= time) continue;
      w->outcome = TryAcquire(*w->set, &w->index) ? WaitOutcome::Acquired : WaitOutcome::TimedOut;
      settled = true;
    }
    if (settled) Notify();
  }

  void MoveClock(std::uint64_t time) {
    if (time <= self->now_) return;
    SettleWaitersBefore(time);
    self->now_ = time;
    self->subUs_ = 0;
    self->PublishClockLocked();
    Notify();
  }

  // Real-time mode: holds the clock back (the lock released, so other threads
  // go on) until the real clock has caught up with `time`. A wait that paces
  // the clock for its own ends (paceWatch) stops early when its object is
  // signalled: false then, and the clock stays where it is.
  static inline thread_local WaitSet* paceWatch = nullptr;
  bool PaceTo(std::unique_lock<std::mutex>& lk, std::uint64_t time) {
    if (!realTime) return true;
    const auto deadline = realAnchor + std::chrono::milliseconds(time - std::min(time, virtualAnchor));
    while (self->now_ < time && std::chrono::steady_clock::now() < deadline) {
      if (paceWatch && Signalled(*paceWatch)) return false;
      cv.wait_until(lk, deadline);
    }
    return true;
  }
  static bool Signalled(const Entry& e) {
    if (e.kind == Kind::Event) return e.event->signalled;
    if (e.kind == Kind::Thread) return e.thread->finished;
    return false;
  }
  static bool Signalled(const WaitSet& set) {
    for (const Entry& e : *set.entries) {
      if (Signalled(e) && !set.all) return true;
      if (!Signalled(e) && set.all) return false;
    }
    return set.all;
  }
  // Real-time mode: the clock catches up with the real one, running what
  // falls due on the way. A wait that ends early (its object signalled) or a
  // call that moves no time leaves the clock where it was while real time
  // goes on; a later time-out counted from there would end early by all that
  // was left behind, and GetTickCount would lag the wall clock. (Windows
  // counts both in real milliseconds: GetTickCount, "the number of
  // milliseconds that have elapsed since the system was started";
  // WaitForSingleObject, "the time-out interval, in milliseconds".)
  void CatchUp(std::unique_lock<std::mutex>& lk) {
    if (!realTime) return;
    const auto real =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realAnchor);
    const std::uint64_t time = virtualAnchor + static_cast<std::uint64_t>(std::max<std::int64_t>(0, real.count()));
    if (time > self->now_) AdvanceTo(lk, time);
  }
  // Real time at which the virtual clock reaches `time` in real-time mode.
  std::chrono::steady_clock::time_point RealTimeOf(std::uint64_t time) const {
    return realAnchor + std::chrono::milliseconds(time - std::min(time, virtualAnchor));
  }

  // Moves the clock to `target`, running the actions that fall due on the way.
  // False when pacing in real-time mode stopped early (see PaceTo).
  bool AdvanceTo(std::unique_lock<std::mutex>& lk, std::uint64_t target) {
    for (;;) {
      auto next = NextActionTime();
      if (next && *next <= target) {
        if (!PaceTo(lk, *next)) return false;
        MoveClock(*next);
        RunDue(lk);
        SettleWaitersBefore(self->now_ + 1);
        continue;
      }
      break;
    }
    if (!PaceTo(lk, target)) return false;
    MoveClock(target);
    RunDue(lk);
    SettleWaitersBefore(self->now_ + 1);
    return true;
  }

  // The caller's clock moves on by what the device charged, microseconds
  // carried over within the millisecond.
  void Finish(std::unique_lock<std::mutex>& lk, const CallEffects& fx) {
    if (fx.delayMs == 0 && fx.delayUs == 0) {
      RunDue(lk);
      return;
    }
    CatchUp(lk);
    const std::uint64_t totalUs = std::uint64_t{self->subUs_} + std::uint64_t{fx.delayMs} * 1000 + fx.delayUs;
    const std::uint64_t target = self->now_ + totalUs / 1000;
    IdleTo(lk, target);
    if (self->now_ == target) {
      self->subUs_ = static_cast<std::uint32_t>(totalUs % 1000);
      self->PublishClockLocked();
    }
  }

  bool TryAcquire(Entry& e) {
    if (e.kind == Kind::Event) {
      if (e.event->manual) return e.event->signalled.load();
      bool expected = true;
      return e.event->signalled.compare_exchange_strong(expected, false);
    }
    if (e.kind == Kind::Thread) return e.thread->finished;
    return false;
  }
  // WaitForMultipleObjects: for any one, the first signalled object in array
  // order is acquired ("the return value indicates the array index of the
  // object with the smallest index value of all the signaled objects"); for
  // all, nothing is acquired until every object is signalled, then all are.
  bool TryAcquire(WaitSet& set, DWORD* index) {
    std::vector<Entry>& entries = *set.entries;
    if (set.all) {
      for (const Entry& e : entries)
        if (!Signalled(e)) return false;
      for (Entry& e : entries) TryAcquire(e);
      *index = 0;
      return true;
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (TryAcquire(entries[i])) {
        *index = static_cast<DWORD>(i);
        return true;
      }
    return false;
  }

  // ---------------------------------------------------------------- waits (world_clock.cpp)
  // WAIT_OBJECT_0 + the index that satisfied the wait, or WAIT_TIMEOUT.
  DWORD WaitFinite(std::unique_lock<std::mutex>& lk, WaitSet& set, DWORD ms);
  DWORD WaitInfinite(std::unique_lock<std::mutex>& lk, WaitSet& set);

  // ---------------------------------------------------------------- plain files
  HANDLE OpenPlainFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  void ClosePlainFile(FileObject& file);
  DWORD ReadPlainFile(PlainFileState& st, void* buffer, DWORD length, DWORD* transferred);
  DWORD WritePlainFile(PlainFileState& st, const void* buffer, DWORD length, DWORD* transferred);
  // Adds a directory of the overlay and its parents (`path` as given, for its
  // listing; may be empty).
  void AddMemoryDirectory(const std::u16string& key, const std::u16string& path = {});
  // A new world's environment, local time and in-memory folders.
  void InitFilesAndEnvironment(std::uint64_t now);
  bool IsMemoryDirectory(const std::u16string& key) const;

  // ---------------------------------------------------------------- HID class driver (world_hid.cpp)
  // ERROR_ACCESS_DENIED when a program asks for data access to a top-level
  // collection the system holds for its own exclusive use.
  DWORD CheckHidSystemCollection(const PathEntry& path, FileObject& file);
};

// The named objects of a session and the worlds in it. Lock order: a world's
// lock, then this one; never two worlds' locks at once.
struct Session::State {
  std::mutex mutex;
  std::map<std::u16string, std::weak_ptr<World::Impl::EventObj>> events;
  std::vector<std::weak_ptr<World::Impl::SessionMember>> members;
};

}  // namespace kv27::sim
