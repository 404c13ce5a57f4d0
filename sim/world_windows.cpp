// The simulated world: windows, message queues, message delivery and modal
// loops, registered messages and device notifications.
//
// Messages follow the Win32 rules:
//   - Each thread has one queue. PostMessageW appends to the queue of the
//     window's thread; only that thread retrieves them. Device notifications
//     are sent by the system (see SendNotification).
//   - SendMessageW to a window of the calling thread calls its procedure at
//     once. To a window of another thread it waits until that thread takes
//     the message, which happens only while it retrieves messages (a modal
//     loop, a message box, PumpMessages) or itself waits in SendMessageW;
//     "the sending thread is blocked until the receiving thread processes the
//     message" (SendMessage on learn.microsoft.com). A send that is never taken
//     is a deadlock in the program: after the hang timeout the world records
//     it and the send returns 0 with ERROR_TIMEOUT instead of hanging the test.
//   - Retrieval order: sent messages, then posted ones in order, then input
//     (the scripted user), then WM_TIMER, which GetMessage and PeekMessage
//     produce "only when no other higher-priority messages are in the thread's
//     message queue" (WM_TIMER on learn.microsoft.com).
#include <chrono>
#include <cstdio>

#include "sim/world_impl.h"

namespace kv27::sim {

namespace {
// Messages whose result a dialog procedure returns itself, not through
// DWLP_MSGRESULT (the DialogProc contract).
bool ReturnsResultDirectly(UINT message) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case 0x0039:  // WM_COMPAREITEM
    case 0x002E:  // WM_VKEYTOITEM
    case 0x002F:  // WM_CHARTOITEM
    case 0x0132:  // WM_CTLCOLORMSGBOX .. WM_CTLCOLORSTATIC
    case 0x0133:
    case 0x0134:
    case 0x0135:
    case 0x0136:
    case 0x0137:
    case 0x0138:
      return true;
    default:
      return false;
  }
}
}  // namespace

// ------------------------------------------------------------------ delivery

LRESULT World::Impl::Deliver(std::unique_lock<std::mutex>& lk, HWND window, UINT message, WPARAM wParam,
                             LPARAM lParam) {
  auto w = WindowOf(window);
  if (!w) return 0;
  if (w->dlgProc) {
    // The dialog manager clears DWLP_MSGRESULT before it calls the dialog
    // procedure, and does its default processing when that returns FALSE.
    w->msgResult = 0;
    DLGPROC proc = w->dlgProc;
    lk.unlock();
    const INT_PTR handled = proc(window, message, wParam, lParam);
    lk.lock();
    if (handled) return ReturnsResultDirectly(message) ? handled : w->msgResult;
    return DefaultProc(lk, window, *w, message, wParam, lParam);
  }
  if (w->proc) {
    WindowProc proc = w->proc;
    lk.unlock();
    const LRESULT r = proc(window, message, wParam, lParam);
    lk.lock();
    return r;
  }
  return DefaultProc(lk, window, *w, message, wParam, lParam);
}

// A WH_CALLWNDPROCRET hook: "the system calls this function after the
// SendMessage function is called. The hook procedure can examine the message;
// it cannot modify it" (CallWndRetProc on learn.microsoft.com). It runs on the
// thread whose window procedure handled the message, once that returned, and
// sees no posted message.
LRESULT World::Impl::DeliverSent(std::unique_lock<std::mutex>& lk, HWND window, UINT message, WPARAM wParam,
                                 LPARAM lParam) {
  const LRESULT result = Deliver(lk, window, message, wParam, lParam);
  if (sentHook) {
    World::SentMessageHook hook = sentHook;
    lk.unlock();
    hook(window, message, wParam, lParam, result);
    lk.lock();
  }
  return result;
}

// Device notifications are sent, not posted: "the system uses the
// WM_DEVICECHANGE message" to "broadcast" each device event (DBT_DEVICEARRIVAL,
// DBT_DEVNODES_CHANGED on learn.microsoft.com), and a broadcast is sent to one
// window at a time, each with the time-out its sender gives
// (BroadcastSystemMessage, SendMessageTimeout). So:
//   - the notification waits in the receiving thread's queue of sent
//     messages, ahead of its posted ones, and is handled only when that thread
//     retrieves messages; a thread busy elsewhere (a long run, a wait on an
//     object) does not see it;
//   - lParam points to the system's broadcast structure, valid only during
//     the call: a receiver must copy what it keeps (here the bytes are
//     overwritten once the call returns);
//   - the system gives up on a window that has not taken a notification
//     within the time-out: SMTO_ABORTIFHUNG gives up on a thread that "appears
//     to not respond", which it does once it "has not called PeekMessage
//     within the internal timeout period of 5 seconds" (IsHungAppWindow). The
//     notification is then lost for that window (DroppedNotifications), and
//     the next one to it is sent only once the system is done with this one.
// The device that came or went never waits: the system's own thread does.
void World::Impl::SendNotification(HWND window, WPARAM event, std::vector<std::uint8_t> payload) {
  auto w = WindowOf(window);
  if (!w) {
    if (foreignWindows.deliver) foreignWindows.deliver(window, event, std::move(payload));
    return;
  }
  WindowMessage m;
  m.message = WM_DEVICECHANGE;
  m.wParam = event;
  m.sent = true;
  m.fromSystem = true;
  m.payload = payload;
  w->log.push_back(std::move(m));
  auto s = std::make_shared<SentMsg>();
  s->window = window;
  s->message = WM_DEVICECHANGE;
  s->wParam = event;
  s->payload = std::move(payload);
  s->lParam = s->payload.empty() ? 0 : reinterpret_cast<LPARAM>(s->payload.data());
  s->fromSystem = true;
  s->sentAt = self->now_;
  QueueOf(w->owner).sent.push_back(std::move(s));
  Notify();
}

// DBT_DEVNODES_CHANGED goes to every top-level window, registered or not
// ("The system broadcasts the DBT_DEVNODES_CHANGED device event when a device
// has been added to or removed from the system", with lParam zero). One still
// waiting for a window stands for the changes that follow it.
void World::Impl::BroadcastDevNodesChanged() {
  std::vector<HWND> windows;
  for (auto& [h, e] : handles)
    if (e.kind == Kind::Window && e.window && !(e.window->style & WS_CHILD)) windows.push_back(e.window->handle);
  for (HWND window : windows) {
    auto w = WindowOf(window);
    if (!w) continue;
    const auto& queued = QueueOf(w->owner).sent;
    const bool waiting = std::any_of(queued.begin(), queued.end(), [&](const std::shared_ptr<SentMsg>& s) {
      return s->fromSystem && s->window == window && s->wParam == DBT_DEVNODES_CHANGED && !s->done;
    });
    if (!waiting) SendNotification(window, DBT_DEVNODES_CHANGED, {});
  }
  // Windows outside the world that registered for notifications.
  if (foreignWindows.deliver) {
    std::set<HWND> foreign;
    for (auto& [h, e] : handles)
      if (e.kind == Kind::DevNotify && !WindowOf(e.notify->window)) foreign.insert(e.notify->window);
    for (HWND window : foreign) foreignWindows.deliver(window, DBT_DEVNODES_CHANGED, {});
  }
}

void World::Impl::TakeSent(std::unique_lock<std::mutex>& lk, const std::shared_ptr<SentMsg>& s) {
  if (s->abandoned) return;
  if (s->fromSystem) {
    const auto it = systemSendDone.find(s->window);
    const std::uint64_t start = std::max(s->sentAt, it == systemSendDone.end() ? 0 : it->second);
    if (self->now_ > start + notificationTimeoutMs) {
      DroppedNotification d;
      d.window = s->window;
      d.event = s->wParam;
      constexpr std::size_t kName = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
      for (std::size_t at = kName; at + 1 < s->payload.size(); at += 2) {
        const char16_t c = static_cast<char16_t>(s->payload[at] | (s->payload[at + 1] << 8));
        if (c == 0) break;
        d.path.push_back(c);
      }
      d.sentAt = s->sentAt;
      d.droppedAt = start + notificationTimeoutMs;
      systemSendDone[s->window] = d.droppedAt;
      droppedNotifications.push_back(std::move(d));
      s->done = true;
      Notify();
      return;
    }
  }
  s->result = DeliverSent(lk, s->window, s->message, s->wParam, s->lParam);
  if (s->fromSystem) {
    systemSendDone[s->window] = self->now_;
    // The broadcast structure is the system's: gone once the call returned.
    // It is kept, overwritten, until the next notification is taken, so that
    // a receiver that holds on to it reads garbage rather than freed memory.
    std::fill(s->payload.begin(), s->payload.end(), std::uint8_t{0xDD});
    spentPayload = std::move(s->payload);
  }
  s->done = true;
  Notify();
}

// The predefined controls' procedures and the default processing of dialogs.
LRESULT World::Impl::DefaultProc(std::unique_lock<std::mutex>&, HWND window, WindowObj& w, UINT message, WPARAM wParam,
                                 LPARAM lParam) {
  const bool isStatic = w.className == u"Static";
  const bool isProgress = w.className == u"msctls_progress32";
  switch (message) {
    case WM_SETTEXT:
      w.text = FromW(reinterpret_cast<LPCWSTR>(lParam));
      w.needsPaint = true;
      return TRUE;
    case WM_PAINT:
      // The default painting validates the window.
      w.needsPaint = false;
      return 0;
    case WM_GETTEXT: {
      auto* out = reinterpret_cast<WCHAR*>(lParam);
      if (!out || wParam == 0) return 0;
      const size_t n = std::min<size_t>(w.text.size(), wParam - 1);
      std::copy_n(w.text.data(), n, out);
      out[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w.text.size());
    case WM_SETICON: {
      HICON& slot = wParam == ICON_BIG ? w.bigIcon : w.smallIcon;
      HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_CLOSE:
      // The dialog manager turns the close box into IDCANCEL (posted).
      if (w.dlgProc) {
        HWND cancel = nullptr;
        for (HWND c : w.children)
          if (auto cw = WindowOf(c); cw && cw->id == IDCANCEL) cancel = c;
        QueueOf(w.owner).posted.push_back(
            Posted{window, Queued{WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel), {}}});
        Notify();
      }
      return 0;
    case STM_SETIMAGE:
      // A static shows a bitmap only with the SS_BITMAP style.
      if (!isStatic || wParam != IMAGE_BITMAP || (w.style & SS_TYPEMASK) != SS_BITMAP) return 0;
      {
        HANDLE previous = w.image;
        w.image = reinterpret_cast<HANDLE>(lParam);
        w.needsPaint = true;
        return reinterpret_cast<LRESULT>(previous);
      }
    case STM_GETIMAGE:
      return isStatic && wParam == IMAGE_BITMAP ? reinterpret_cast<LRESULT>(w.image) : 0;
    case PBM_SETPOS: {
      if (!isProgress) return 0;
      const int previous = w.position;
      w.position = std::clamp(static_cast<int>(wParam), w.rangeLow, w.rangeHigh);
      w.needsPaint = true;
      return previous;
    }
    case PBM_GETPOS:
      return isProgress ? w.position : 0;
    case PBM_SETRANGE: {
      if (!isProgress) return 0;
      const LRESULT previous = MAKELPARAM(static_cast<WORD>(w.rangeLow), static_cast<WORD>(w.rangeHigh));
      w.rangeLow = static_cast<short>(LOWORD(static_cast<ULONG_PTR>(lParam)));
      w.rangeHigh = static_cast<short>(HIWORD(static_cast<ULONG_PTR>(lParam)));
      w.position = std::clamp(w.position, w.rangeLow, w.rangeHigh);
      return previous;
    }
    case PBM_GETRANGE:
      return isProgress ? (wParam ? w.rangeLow : w.rangeHigh) : 0;
    default:
      return 0;
  }
}

// One message for the calling thread, in the order of the file comment; false
// when there is none. `filter` limits posted messages and timers to a window.
bool World::Impl::DispatchOne(std::unique_lock<std::mutex>& lk, HWND filter, bool withInput) {
  const auto me = std::this_thread::get_id();
  {
    ThreadQueue& q = QueueOf(me);
    if (!q.sent.empty()) {
      auto s = q.sent.front();
      q.sent.pop_front();
      TakeSent(lk, s);
      return true;
    }
  }
  {
    ThreadQueue& q = QueueOf(me);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
      if (filter && it->window != filter) continue;
      Posted p = std::move(*it);
      q.posted.erase(it);
      const LPARAM l = p.q.payload.empty() ? p.q.lParam : reinterpret_cast<LPARAM>(p.q.payload.data());
      Deliver(lk, p.window, p.q.message, p.q.wParam, l);
      return true;
    }
  }
  if (withInput) {
    auto it = std::min_element(userActions.begin(), userActions.end(), [](const UserAction& a, const UserAction& b) {
      return a.at != b.at ? a.at < b.at : a.seq < b.seq;
    });
    if (it != userActions.end() && it->at <= self->now_) {
      UserAction a = std::move(*it);
      userActions.erase(it);
      RunUserAction(lk, std::move(a));
      return true;
    }
  }
  for (auto& [h, e] : handles) {
    if (e.kind != Kind::Window || e.window->owner != me || e.window->timers.empty()) continue;
    HWND window = reinterpret_cast<HWND>(h);
    if (filter && window != filter) continue;
    for (auto& [id, t] : e.window->timers) {
      if (t.due > self->now_) continue;
      t.due = self->now_ + t.elapse;
      const UINT_PTR timerId = id;
      Deliver(lk, window, WM_TIMER, timerId, 0);
      return true;
    }
  }
  // A thread timer's WM_TIMER has no window: dispatched, it reaches no
  // procedure (the world keeps no timer procedures).
  if (!filter)
    for (auto& [id, t] : QueueOf(me).timers)
      if (t.due <= self->now_) {
        t.due = self->now_ + t.elapse;
        return true;
      }
  return false;
}

// The next virtual time at which something happens for the calling thread's
// loop: a scheduled world action, a timer of its windows, a scripted action.
std::optional<std::uint64_t> World::Impl::NextEventTime(bool withInput) {
  std::optional<std::uint64_t> best = NextActionTime();
  auto consider = [&](std::uint64_t t) {
    if (!best || t < *best) best = t;
  };
  const auto me = std::this_thread::get_id();
  for (auto& [h, e] : handles)
    if (e.kind == Kind::Window && e.window->owner == me)
      for (auto& [id, t] : e.window->timers) consider(t.due);
  for (auto& [id, t] : QueueOf(me).timers) consider(t.due);
  if (withInput)
    for (auto& a : userActions) consider(a.at);
  return best;
}

void World::Impl::Stall(const std::string& text) {
  stalls.push_back(text);
  std::fprintf(stderr, "simulated window system: %s\n", text.c_str());
}

bool World::Impl::ModalLoop(std::unique_lock<std::mutex>& lk, ModalFrame frame, const std::function<bool()>& done,
                            std::optional<std::uint64_t> until, const std::string& what) {
  const auto me = std::this_thread::get_id();
  QueueOf(me).modal.push_back(frame);
  const std::uint64_t start = self->now_;
  bool ok = true;
  auto idleSince = std::chrono::steady_clock::now();
  while (!done()) {
    if (until && self->now_ >= *until) break;
    if (DispatchOne(lk, nullptr, true)) {
      idleSince = std::chrono::steady_clock::now();
      continue;
    }
    auto next = NextEventTime(true);
    if (until && (!next || *until < *next)) next = until;
    if (next) {
      if (self->now_ - start > modalTimeLimitMs) {
        Stall(what + ": still running after " + std::to_string(modalTimeLimitMs) + " ms of virtual time");
        ok = false;
        break;
      }
      // Nothing to do before then: the clock moves on to it once the world
      // is idle.
      if (realTime || *next <= self->now_)
        AdvanceTo(lk, std::max(*next, self->now_));
      else
        IdleStep(lk, *next);
      idleSince = std::chrono::steady_clock::now();
      continue;
    }
    // Nothing scheduled: only another thread can bring work (a post, a send,
    // a device completing). Wait for it in real time, in short slices so that
    // a clock moved by another thread's wait is seen.
    if (realTime)
      cv.wait_for(lk, std::chrono::milliseconds(10));
    else
      IdleStep(lk, std::nullopt, std::chrono::milliseconds(10));
    if (std::chrono::steady_clock::now() - idleSince > std::chrono::milliseconds(hangTimeoutMs)) {
      Stall(what + ": nothing can happen any more (no message, timer, scripted action or scheduled event)");
      ok = false;
      break;
    }
  }
  auto& modal = QueueOf(me).modal;
  if (!modal.empty()) modal.pop_back();
  return ok;
}

// ------------------------------------------------------------------ headless windows

HWND World::CreateHeadlessWindow(WindowProc proc) {
  std::lock_guard<std::mutex> lk(mutex_);
  Impl::Entry e{Impl::Kind::Window};
  e.window = std::make_shared<Impl::WindowObj>();
  e.window->proc = std::move(proc);
  e.window->owner = std::this_thread::get_id();
  HWND h = static_cast<HWND>(impl_->Add(std::move(e)));
  impl_->WindowOf(h)->handle = h;
  return h;
}

void World::DestroyHeadlessWindow(HWND window) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (impl_->Find(window, Impl::Kind::Window)) impl_->DestroyWindowTree(lk, window);
}

int World::PumpMessages(HWND window) {
  std::unique_lock<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  if (!w || w->owner != std::this_thread::get_id()) return 0;
  int count = 0;
  while (impl_->DispatchOne(lk, window, false)) ++count;
  return count;
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

std::vector<Deadlock> World::Deadlocks() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->deadlocks;
}

std::vector<DroppedNotification> World::DroppedNotifications() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->droppedNotifications;
}

void World::SetNotificationTimeout(std::uint32_t virtualMs) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->notificationTimeoutMs = virtualMs;
}

std::vector<std::string> World::Stalls() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->stalls;
}

void World::SetHangTimeout(std::uint32_t realMs) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->hangTimeoutMs = realMs;
}

void World::SetModalTimeLimit(std::uint64_t virtualMs) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->modalTimeLimitMs = virtualMs;
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
  impl_->QueueOf(e->window->owner).posted.push_back(Impl::Posted{window, Impl::Queued{message, wParam, lParam, {}}});
  impl_->Notify();
  return TRUE;
}

// PeekMessage: sent messages are handled first, unless the PM_QS_* kinds
// leave them out; then posted messages (and due timers, as posted) in the
// range; WM_PAINT only after those, and it is not removed: it comes back until
// the window is painted. Follows the documented order: sent, posted, input,
// system, WM_PAINT, WM_TIMER.
BOOL World::PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("PeekMessageW");
  const auto me = std::this_thread::get_id();
  if (window) {
    auto w = impl_->WindowOf(window);
    if (!w || w->owner != me) {
      t_lastError = ERROR_INVALID_WINDOW_HANDLE;
      return FALSE;
    }
  }
  const UINT kinds = remove & 0xFFFF0000u;
  const bool all = kinds == 0;
  auto inRange = [&](UINT m) { return (filterMin == 0 && filterMax == 0) || (m >= filterMin && m <= filterMax); };
  auto forWindow = [&](HWND h) {
    for (HWND c = h; c; c = impl_->WindowOf(c) ? impl_->WindowOf(c)->parent : nullptr)
      if (c == window) return true;
    return window == nullptr;
  };
  if (all || (kinds & PM_QS_SENDMESSAGE) == PM_QS_SENDMESSAGE) {
    for (;;) {
      Impl::ThreadQueue& q = impl_->QueueOf(me);
      if (q.sent.empty()) break;
      auto s = q.sent.front();
      q.sent.pop_front();
      impl_->TakeSent(lk, s);
    }
  }
  auto fill = [&](HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (msg) *msg = MSG{h, m, wp, lp, static_cast<DWORD>(now_), POINT{0, 0}};
  };
  if (all || (kinds & PM_QS_POSTMESSAGE) == PM_QS_POSTMESSAGE) {
    Impl::ThreadQueue& q = impl_->QueueOf(me);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
      if (!forWindow(it->window) || !inRange(it->q.message)) continue;
      // A posted payload lives in the queue; once removed it is the caller's
      // to use at once (DispatchMessageW right after).
      fill(it->window, it->q.message, it->q.wParam, it->q.lParam);
      if (remove & PM_REMOVE) {
        if (!it->q.payload.empty()) {
          impl_->peekedPayload = std::move(it->q.payload);
          if (msg) msg->lParam = reinterpret_cast<LPARAM>(impl_->peekedPayload.data());
        }
        q.posted.erase(it);
      }
      return TRUE;
    }
  }
  if ((all || (kinds & PM_QS_PAINT) == PM_QS_PAINT) && inRange(WM_PAINT)) {
    for (auto& [h, e] : impl_->handles) {
      if (e.kind != Impl::Kind::Window || e.window->owner != me || !e.window->needsPaint) continue;
      HWND hw = reinterpret_cast<HWND>(h);
      if (!forWindow(hw)) continue;
      fill(hw, WM_PAINT, 0, 0);
      return TRUE;
    }
  }
  if ((all || (kinds & PM_QS_POSTMESSAGE) == PM_QS_POSTMESSAGE) && inRange(WM_TIMER)) {
    for (auto& [h, e] : impl_->handles) {
      if (e.kind != Impl::Kind::Window || e.window->owner != me) continue;
      HWND hw = reinterpret_cast<HWND>(h);
      if (!forWindow(hw)) continue;
      for (auto& [id, t] : e.window->timers) {
        if (t.due > now_) continue;
        if (remove & PM_REMOVE) t.due = now_ + t.elapse;
        fill(hw, WM_TIMER, id, 0);
        return TRUE;
      }
    }
    if (!window)
      for (auto& [id, t] : impl_->QueueOf(me).timers) {
        if (t.due > now_) continue;
        if (remove & PM_REMOVE) t.due = now_ + t.elapse;
        fill(nullptr, WM_TIMER, id, 0);
        return TRUE;
      }
  }
  return FALSE;
}

LRESULT World::DispatchMessageW(const MSG* msg) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("DispatchMessageW");
  if (!msg || !impl_->WindowOf(msg->hwnd)) return 0;
  const LRESULT r = impl_->Deliver(lk, msg->hwnd, msg->message, msg->wParam, msg->lParam);
  // Painted, by BeginPaint or by the default processing.
  if (msg->message == WM_PAINT)
    if (auto w = impl_->WindowOf(msg->hwnd)) w->needsPaint = false;
  return r;
}

LRESULT World::SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->Count("SendMessageW");
  auto* e = impl_->Find(window, Impl::Kind::Window);
  if (!e) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  const auto me = std::this_thread::get_id();
  const auto owner = e->window->owner;
  WindowMessage m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.sent = true;
  m.fromOwnerThread = me == owner;
  e->window->log.push_back(m);
  if (me == owner) return impl_->DeliverSent(lk, window, message, wParam, lParam);

  // Another thread's window: queue it for that thread and wait, taking the
  // messages sent to this thread meanwhile (as Windows does).
  auto s = std::make_shared<Impl::SentMsg>();
  s->window = window;
  s->message = message;
  s->wParam = wParam;
  s->lParam = lParam;
  impl_->QueueOf(owner).sent.push_back(s);
  impl_->Notify();
  const std::uint64_t sentAt = now_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(impl_->hangTimeoutMs);
  while (!s->done) {
    auto& mine = impl_->QueueOf(me).sent;
    if (!mine.empty()) {
      auto in = mine.front();
      mine.pop_front();
      impl_->TakeSent(lk, in);
      continue;
    }
    // Blocked on the window's thread: idle, as far as the clock goes.
    if (!impl_->realTime)
      impl_->IdleStep(
          lk, std::nullopt,
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()) +
              std::chrono::milliseconds(1));
    else
      impl_->cv.wait_until(lk, deadline);
    if (std::chrono::steady_clock::now() >= deadline && !s->done) {
      s->abandoned = true;
      impl_->deadlocks.push_back(Deadlock{window, message, sentAt});
      std::fprintf(stderr,
                   "simulated window system: SendMessageW(0x%x) to another thread's window was never taken "
                   "(deadlock)\n",
                   message);
      t_lastError = ERROR_TIMEOUT;
      return 0;
    }
  }
  return s->result;
}

void World::SetSentMessageHook(SentMessageHook hook) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->sentHook = std::move(hook);
}

void World::SetForeignWindowSink(ForeignWindowSink sink) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->foreignWindows = std::move(sink);
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
  if (!impl_->Find(recipient, Impl::Kind::Window) &&
      !(impl_->foreignWindows.isWindow && impl_->foreignWindows.isWindow(static_cast<HWND>(recipient)))) {
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

}  // namespace kv27::sim
