// The simulated world: the virtual clock, events, waits and threads.
#include "sim/world_impl.h"

#include <chrono>
#include <cstdio>

namespace kv27::sim {

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
  impl_->Notify();
}

void World::SetCancelLatency(std::uint32_t ms) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->cancelLatencyMs = ms;
}

std::uint64_t World::NowUs() { return publishedUs_.load(std::memory_order_acquire); }

void World::SetRealTime(bool enabled) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->realTime = enabled;
  impl_->virtualAnchor = now_;
  impl_->realAnchor = std::chrono::steady_clock::now();
  impl_->Notify();
}

void World::SetUsbTiming(std::optional<UsbTiming> timing) {
  std::lock_guard<std::mutex> lk(mutex_);
  usbTiming_ = timing;
}

std::optional<UsbTiming> World::GetUsbTiming() {
  std::lock_guard<std::mutex> lk(mutex_);
  return usbTiming_;
}

void World::SetRealWaitCap(std::uint32_t ms) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->realWaitCapMs = ms;
  impl_->realWaitCapSet = true;
}

// ------------------------------------------------------------------ OsApi: kernel objects, threads, time

// Named events live in the session's namespace: a name another program of
// the session (or this one) made opens that event, with ERROR_ALREADY_EXISTS,
// and its own reset mode and state stay ("If lpName matches the name of an
// existing named event object ... the bManualReset and bInitialState
// parameters are ignored", CreateEventW). Names are compared case-sensitively,
// and "Local\\" names the session namespace explicitly ("Kernel Object
// Namespaces").
HANDLE World::CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  std::lock_guard<std::mutex> lk(mutex_);
  std::u16string n = FromW(name);
  if (auto f = impl_->Fault("CreateEventW", n)) {
    t_lastError = *f;
    return nullptr;
  }
  constexpr std::u16string_view kLocal = u"Local\\";
  const std::u16string key = n.starts_with(kLocal) ? n.substr(kLocal.size()) : n;
  Impl::Entry e{Impl::Kind::Event};
  std::lock_guard<std::mutex> names(session_->state_->mutex);
  auto& events = session_->state_->events;
  if (!key.empty()) {
    auto it = events.find(key);
    if (it != events.end()) {
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
  if (!key.empty()) events[key] = e.event;
  HANDLE h = impl_->Add(std::move(e));
  t_lastError = 0;
  return h;
}

BOOL World::SetEvent(HANDLE event) {
  std::vector<std::shared_ptr<Impl::SessionMember>> others;
  {
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
    impl_->Notify();
    if (!e->event->name.empty()) {
      std::lock_guard<std::mutex> names(session_->state_->mutex);
      for (const auto& weak : session_->state_->members)
        if (auto m = weak.lock(); m && m != impl_->member) others.push_back(std::move(m));
    }
  }
  // A named event may be waited on in the other worlds of the session: they
  // look again, each under its own lock.
  for (const auto& m : others) {
    std::lock_guard<std::mutex> lk(m->mutex);
    if (m->world) m->world->WakeFromSession();
  }
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
  std::vector<Impl::Entry> entries{*found};  // keeps the object alive if the handle is closed meanwhile
  Impl::WaitSet set{&entries, false};
  if (ms == INFINITE) return impl_->WaitInfinite(lk, set);
  return impl_->WaitFinite(lk, set, ms);
}

// WaitForMultipleObjects: 1 to MAXIMUM_WAIT_OBJECTS (64) handles, else
// ERROR_INVALID_PARAMETER; a handle that is no waitable object fails the call
// with ERROR_INVALID_HANDLE. The array "may not contain multiple copies of the
// same handle": Windows' kernel refuses an object given twice to a wait for
// all (STATUS_INVALID_PARAMETER_MIX, ERROR_INVALID_PARAMETER) and lets a wait
// for any name it twice.
DWORD World::WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD ms) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("WaitForMultipleObjects");
  if (count == 0 || count > 64 || !objects) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  std::vector<Impl::Entry> entries;
  for (DWORD i = 0; i < count; ++i) {
    auto* found = impl_->FindAny(objects[i]);
    if (!found || (found->kind != Impl::Kind::Event && found->kind != Impl::Kind::Thread)) {
      t_lastError = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
    entries.push_back(*found);
  }
  if (waitAll)
    for (std::size_t i = 0; i < entries.size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        if ((entries[i].event && entries[i].event == entries[j].event) ||
            (entries[i].thread && entries[i].thread == entries[j].thread)) {
          t_lastError = ERROR_INVALID_PARAMETER;
          return WAIT_FAILED;
        }
  Impl::WaitSet set{&entries, waitAll != FALSE};
  if (ms == INFINITE) return impl_->WaitInfinite(lk, set);
  return impl_->WaitFinite(lk, set, ms);
}

// The clock as a discrete-event simulation: it moves only when every thread
// that takes part in the world is idle in a world wait and has seen every
// change so far, and then only to the earliest time something happens (a
// scheduled action, or the end of some thread's wait, Sleep or device charge).
// A thread that is busy, even one the host machine has descheduled, holds the
// clock where it is, as on a real PC, where time passes for every thread
// alike: a wait cannot expire "behind the back" of a thread that would have
// signalled it in time. A participant busy outside the world for longer than
// the real-time cap (a test thread blocked on something else) is taken as
// blocked, so that the world cannot hang on it.
bool World::Impl::AllIdle() {
  const auto real = std::chrono::steady_clock::now();
  for (auto& [id, p] : participants) {
    if (p.idle) {
      if (p.seen != epoch) return false;
      continue;
    }
    if (real - p.busySince < std::chrono::milliseconds(realWaitCapMs)) return false;
    if (!p.reportedBusy && !realWaitCapSet) {
      p.reportedBusy = true;
      std::fprintf(stderr,
                   "simulated clock: a thread stayed busy for %u ms of real time; the clock goes on without it\n",
                   static_cast<unsigned>(realWaitCapMs));
    }
  }
  return true;
}

std::optional<std::uint64_t> World::Impl::NextWake() const {
  std::optional<std::uint64_t> best = NextActionTime();
  for (auto& [id, p] : participants)
    if (p.idle && p.wake && (!best || *p.wake < *best)) best = p.wake;
  return best;
}

// One step of an idle wait: the calling thread is idle until `wake` (virtual
// time; none: until another thread or a scheduled action brings something).
// Returns when the world changed (the caller looks again at what it waits
// for), after `most` of real time, or once this thread has moved the clock
// because the whole world was idle.
void World::Impl::IdleStep(std::unique_lock<std::mutex>& lk, std::optional<std::uint64_t> wake,
                           std::chrono::milliseconds most) {
  const auto me = std::this_thread::get_id();
  auto [it, transient] = participants.try_emplace(me);
  Participant& p = it->second;
  p.idle = true;
  p.wake = wake;
  p.seen = epoch;
  const auto start = std::chrono::steady_clock::now();
  const auto until =
      most == std::chrono::milliseconds::max() ? std::chrono::steady_clock::time_point::max() : start + most;
  for (;;) {
    if (AllIdle()) {
      if (auto next = NextWake()) {
        p.idle = false;
        AdvanceTo(lk, std::max(*next, self->now_));
        break;
      }
    }
    // Short slices: a busy thread may pass the real-time cap without a change
    // anybody is told of.
    cv.wait_until(lk, std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(10)));
    if (p.seen != epoch || std::chrono::steady_clock::now() >= until) break;
  }
  if (transient) {
    participants.erase(me);
    return;
  }
  p.idle = false;
  p.wake.reset();
  p.busySince = std::chrono::steady_clock::now();
  p.reportedBusy = false;
}

// Sleep and the time a device charges the caller: idle until `time`, and until
// what falls due by then has happened (another thread that moved the clock
// there may still be running those actions).
void World::Impl::IdleTo(std::unique_lock<std::mutex>& lk, std::uint64_t time) {
  if (realTime) {
    AdvanceTo(lk, time);
    return;
  }
  RunDue(lk);
  while (self->now_ < time || OthersRunActions()) IdleStep(lk, time);
}

// A wait ends at its own deadline in virtual time, whichever thread moves the
// clock there, and a signal that comes after the deadline does not satisfy it
// (WaitForSingleObject: the time-out interval elapses, "even if the object's
// state is nonsignaled"; a later SetEvent wakes only waits still in progress).
DWORD World::Impl::WaitFinite(std::unique_lock<std::mutex>& lk, WaitSet& set, DWORD ms) {
  DWORD index = 0;
  if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
  if (ms == 0) return WAIT_TIMEOUT;
  CatchUp(lk);  // the time-out counts from now
  if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
  Waiter waiter{&set, self->now_ + ms};
  waiters.push_back(&waiter);
  struct Unregister {
    Impl* impl;
    Waiter* waiter;
    ~Unregister() {
      impl->waiters.remove(waiter);
      paceWatch = nullptr;
    }
  } unregister{this, &waiter};

  if (!realTime) {
    for (;;) {
      if (waiter.outcome == WaitOutcome::Acquired) return WAIT_OBJECT_0 + waiter.index;
      if (waiter.outcome == WaitOutcome::TimedOut) return WAIT_TIMEOUT;
      if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
      if (self->now_ >= waiter.deadline) return WAIT_TIMEOUT;
      IdleStep(lk, waiter.deadline);
    }
  }

  // Real-time mode: the wait lasts its real time.
  paceWatch = &set;
  const auto realDeadline = RealTimeOf(waiter.deadline);
  for (;;) {
    if (waiter.outcome == WaitOutcome::Acquired) return WAIT_OBJECT_0 + waiter.index;
    if (waiter.outcome == WaitOutcome::TimedOut) return WAIT_TIMEOUT;
    if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
    // Timed device work inside the window happens first.
    if (auto next = NextActionTime(); next && *next <= waiter.deadline) {
      AdvanceTo(lk, std::max(*next, self->now_));
      continue;
    }
    if (self->now_ >= waiter.deadline) return WAIT_TIMEOUT;
    if (cv.wait_until(lk, realDeadline) == std::cv_status::timeout && waiter.outcome == WaitOutcome::Waiting) {
      if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
      AdvanceTo(lk, std::max(waiter.deadline, self->now_));
      return waiter.outcome == WaitOutcome::Acquired ? WAIT_OBJECT_0 + waiter.index : WAIT_TIMEOUT;
    }
  }
}

// Without a time-out: a thread ends by itself; an event may be signalled by
// another thread, or by timed device work, for which the clock moves on to the
// next scheduled action once the world is idle.
DWORD World::Impl::WaitInfinite(std::unique_lock<std::mutex>& lk, WaitSet& set) {
  DWORD index = 0;
  if (!realTime) {
    while (!TryAcquire(set, &index)) IdleStep(lk, std::nullopt);
    return WAIT_OBJECT_0 + index;
  }
  paceWatch = &set;
  struct Unwatch {
    ~Unwatch() { paceWatch = nullptr; }
  } unwatch;
  bool anEvent = false;
  for (const Entry& e : *set.entries) anEvent = anEvent || e.kind == Kind::Event;
  for (;;) {
    if (TryAcquire(set, &index)) return WAIT_OBJECT_0 + index;
    if (anEvent) {
      if (auto next = NextActionTime()) {
        AdvanceTo(lk, std::max(*next, self->now_));
        continue;
      }
    }
    cv.wait(lk);
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
        impl->Notify();
        return;
      }
    }
    DWORD code = start(parameter);
    std::lock_guard<std::mutex> lk(*m);
    impl->participants.erase(std::this_thread::get_id());
    // A transfer this thread left pending writes its result into an OVERLAPPED
    // (usually on the thread's stack) that no longer exists when it completes.
    for (auto& [id, p] : impl->pending)
      if (p.thread == std::this_thread::get_id())
        impl->defects.push_back("transfer left pending by an ended thread: " + ToUtf8(p.path));
    t->exitCode = code;
    t->finished = true;
    impl->Notify();
  });
  impl_->threads.push_back(t);
  // From now on the new thread is running: the clock waits for it.
  if (t->suspendCount == 0) impl_->Participate(t->thread.get_id());
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
  if (previous == 1 && !e->thread->finished) impl_->Participate(e->thread->thread.get_id());
  impl_->Notify();
  return previous;
}

// GetExitCodeThread: "If the specified thread has not terminated ..., the
// termination status returned is STILL_ACTIVE"; once it has, the value its
// thread function returned.
BOOL World::GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->Count("GetExitCodeThread");
  auto* e = impl_->Find(thread, Impl::Kind::Thread);
  if (!e) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!exitCode) {
    t_lastError = ERROR_NOACCESS;
    return FALSE;
  }
  *exitCode = e->thread->finished ? e->thread->exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD World::GetTickCount() {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("GetTickCount");
  impl_->CatchUp(lk);
  impl_->RunDue(lk);
  return static_cast<DWORD>(now_);
}

void World::Sleep(DWORD milliseconds) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("Sleep");
  impl_->CatchUp(lk);
  impl_->IdleTo(lk, now_ + milliseconds);
  lk.unlock();
  std::this_thread::yield();
}

}  // namespace kv27::sim
