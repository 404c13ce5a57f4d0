// The simulated world: headless windows, registered messages and device notifications.
#include "sim/world_impl.h"

namespace kv27::sim {

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

}  // namespace kv27::sim
