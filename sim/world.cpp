// The simulated world: construction, the device table, faults and accounting, last errors.
#include "sim/world_impl.h"

namespace kv27::sim {

// ------------------------------------------------------------------ construction

Session::Session() : state_(std::make_unique<State>()) {}
Session::~Session() = default;

World::World() : World(std::make_shared<Session>()) {}

World::World(std::shared_ptr<Session> session)
    : session_(session ? std::move(session) : std::make_shared<Session>()),
      impl_(std::make_unique<Impl>(this)),
      user_(std::make_unique<UserScript>(*this)) {
  impl_->member->world = this;
  {
    std::lock_guard<std::mutex> lk(session_->state_->mutex);
    auto& members = session_->state_->members;
    std::erase_if(members, [](const auto& m) { return m.expired(); });
    members.push_back(impl_->member);
  }
  impl_->plainFiles = std::make_shared<PlainFileDevice>(impl_.get());
  impl_->plainFiles->world_ = this;
  now_ = 1'000'000;  // a machine that has been up for a while
  PublishClockLocked();
  impl_->InitFilesAndEnvironment(now_);
  // The thread that builds the world drives it (a test, a program's main
  // thread): the clock waits for it while it is busy.
  impl_->Participate(std::this_thread::get_id());
}

World::~World() {
  {
    // No other world of the session reaches this one any more.
    std::lock_guard<std::mutex> lk(impl_->member->mutex);
    impl_->member->world = nullptr;
  }
  std::list<std::shared_ptr<Impl::ThreadObj>> threads;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& t : impl_->threads) t->cancelled = true;
    threads = impl_->threads;
    impl_->Notify();
  }
  for (auto& t : threads)
    if (t->thread.joinable()) t->thread.join();
}

std::unique_lock<std::mutex> World::Lock() { return std::unique_lock<std::mutex>(mutex_); }

void World::WakeFromSession() {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Notify();
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

void World::SetHidArrivalDelay(std::uint32_t ms) {
  std::lock_guard<std::mutex> lk(mutex_);
  hidArrivalDelayMs_ = ms;
}

std::uint32_t World::HidArrivalDelay() {
  std::lock_guard<std::mutex> lk(mutex_);
  return hidArrivalDelayMs_;
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
  static const char* kNames[] = {"file",      "event",  "thread", "devinfo", "preparsed", "winusb",
                                 "devnotify", "window", "bitmap", "icon",    "find"};
  std::vector<HandleInfo> out;
  for (auto& [h, e] : impl_->handles) {
    // Windows go with their thread; icons from resources are shared and never freed.
    if ((e.kind == Impl::Kind::Window || e.kind == Impl::Kind::Icon) && !includeWindows) continue;
    HandleInfo info;
    info.handle = reinterpret_cast<HANDLE>(h);
    info.kind = kNames[static_cast<int>(e.kind)];
    if (e.file) info.name = e.file->path;
    if (e.event) info.name = e.event->name;
    if (e.winusb && e.winusb->file) info.name = e.winusb->file->path;
    if (e.find) info.name = e.find->pattern;
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
  std::lock_guard<std::mutex> lk(mutex_);
  for (const auto& d : impl_->defects) s << d << "\n";
  return s.str();
}

std::size_t World::PendingTransfers(HANDLE file) {
  std::lock_guard<std::mutex> lk(mutex_);
  std::uint64_t id = 0;
  if (file != nullptr) {
    auto* e = impl_->Find(file, Impl::Kind::File);
    if (!e) return 0;
    id = e->file->id;
  }
  std::size_t n = 0;
  for (auto& [key, p] : impl_->pending)
    if (file == nullptr || p.fileId == id) ++n;
  return n;
}

// ------------------------------------------------------------------ OsApi: errors

DWORD World::GetLastError() { return t_lastError; }
void World::SetLastError(DWORD error) { t_lastError = error; }

}  // namespace kv27::sim
