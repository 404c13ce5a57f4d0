// The simulated world: WinUSB interface handles and pipe transfers.
#include "sim/world_impl.h"

namespace kv27::sim {

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
  // The interface handle lives on the file handle it was made from: once that
  // is closed, the interface handle is no longer valid for I/O.
  if (!e || e->winusb->file->closed) {
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

BOOL World::WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                                 PVOID value) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto file = WinUsbFile<Impl, Impl::Entry>(*impl_, "WinUsb_SetPipePolicy", handle);
  if (!file) return FALSE;
  // Only the transfer time-out is modelled; it takes a ULONG.
  if (policyType != PIPE_TRANSFER_TIMEOUT || valueLength != sizeof(ULONG) || value == nullptr) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  // The pipe must be one of the interface's (alternate setting 0).
  bool known = false;
  for (UCHAR i = 0; !known; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (file->device->OnWinUsbQueryPipe(0, i, &pipe) != ERROR_SUCCESS) break;
    known = pipe.PipeId == pipeId;
    if (i == 0xFF) break;
  }
  if (!known) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  ULONG ms = 0;
  std::memcpy(&ms, value, sizeof(ms));
  impl_->Find(handle, Impl::Kind::WinUsb)->winusb->transferTimeoutMs[pipeId] = ms;
  file->device->OnWinUsbPipeTimeoutSet(pipeId, ms);
  t_lastError = 0;
  return TRUE;
}

// Synchronous bulk/interrupt transfer on a pipe; the device's latency moves the
// caller's clock. As WinUSB does with PIPE_TRANSFER_TIMEOUT set, a transfer
// the device would take longer to answer is cancelled once the time-out has
// passed and fails with ERROR_SEM_TIMEOUT, nothing moved. Without a time-out
// (the default for bulk pipes) a transfer the device never answers would never
// return: the world returns ERROR_SEM_TIMEOUT so that the test goes on, and
// LeakReport names the hang.
BOOL World::PipeTransfer(bool write, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                         PULONG transferred, OVERLAPPED* overlapped) {
  std::unique_lock<std::mutex> lk(mutex_);
  const char* call = write ? "WinUsb_WritePipe" : "WinUsb_ReadPipe";
  auto file = WinUsbFile<Impl, Impl::Entry>(*impl_, call, handle);
  if (!file) return FALSE;
  if (overlapped) {
    t_lastError = ERROR_NOT_SUPPORTED;
    return FALSE;
  }
  ULONG timeoutMs = 0;
  {
    auto& timeouts = impl_->Find(handle, Impl::Kind::WinUsb)->winusb->transferTimeoutMs;
    if (auto it = timeouts.find(pipeId); it != timeouts.end()) timeoutMs = it->second;
  }
  ULONG n = 0;
  CallEffects fx;
  DWORD err = write ? file->device->OnWinUsbWritePipe(pipeId, buffer, length, &n, fx)
                    : file->device->OnWinUsbReadPipe(pipeId, buffer, length, &n, fx);
  const bool overTime = fx.delayMs > timeoutMs || (fx.delayMs == timeoutMs && fx.delayUs != 0);
  if (timeoutMs != 0 && overTime) {
    file->device->OnWinUsbPipeTimeout(pipeId, timeoutMs);
    fx.delayMs = timeoutMs;
    fx.delayUs = 0;
    n = 0;
    err = ERROR_SEM_TIMEOUT;
  } else if (fx.delayMs == kNeverMs) {
    impl_->defects.push_back(std::string("synchronous ") + call + " that would never return: " + ToUtf8(file->path));
    file->device->OnWinUsbPipeTimeout(pipeId, 0);
    fx.delayMs = 0;
    fx.delayUs = 0;
    n = 0;
    err = ERROR_SEM_TIMEOUT;
  }
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

}  // namespace kv27::sim
