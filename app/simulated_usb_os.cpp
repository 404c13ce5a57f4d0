#include "app/simulated_usb_os.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

#include "res/resource.h"

namespace kv27 {
using namespace w32;

namespace {

// The last error of the calling thread, taken from whichever side ran its last
// call.
thread_local DWORD t_lastError = 0;

std::u16string Lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

std::u16string Str(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

// One line of the log: newlines inside a text are shown as "\n".
std::string OneLine(const std::u16string& text) {
  std::string s = Utf8(text), out;
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (c != '\r')
      out += c;
  }
  return out;
}

}  // namespace

std::string Utf8(const std::u16string& text) { return sim::ToUtf8(text); }

SimulatedUsbOsApi::SimulatedUsbOsApi(OsApi& windows, sim::World& world, Options options)
    : windows_(windows), world_(world), options_(std::move(options)) {
  worldStart_ = world_.Now();
  wallStart_ = windows_.GetTickCount();
  sim::World::ForeignWindowSink sink;
  // A window the world does not know is a real one when the window system
  // gives its client area.
  sink.isWindow = [this](HWND window) {
    RECT r{};
    return window != nullptr && windows_.GetClientRect(window, &r) != FALSE;
  };
  sink.deliver = [this](HWND window, WPARAM event, std::vector<std::uint8_t> payload) {
    std::lock_guard<std::mutex> lk(deliveryMutex_);
    deliveries_.push_back(Notification{window, event, std::move(payload)});
    deliveryCv_.notify_all();
  };
  world_.SetForeignWindowSink(std::move(sink));
  delivery_ = std::thread([this] { DeliveryLoop(); });
  if (options_.realTime) {
    // The program's thread spends its time in the screen's message loops,
    // outside the world: it must go on holding the world's clock there, so
    // that the devices' waits end with the wall clock (ClockLoop) and not all
    // at once.
    world_.SetRealWaitCap(std::numeric_limits<std::uint32_t>::max());
    clock_ = std::thread([this] { ClockLoop(); });
  }
}

SimulatedUsbOsApi::~SimulatedUsbOsApi() {
  world_.SetForeignWindowSink({});
  {
    std::lock_guard<std::mutex> lk(deliveryMutex_);
    stopping_ = true;
    deliveryCv_.notify_all();
  }
  delivery_.join();
  if (clock_.joinable()) clock_.join();
}

// Moves the world's clock up to the wall clock every 20 ms of real time; the
// actions that fall due (a device that comes back, a reply) run on this thread,
// as a driver's work runs on threads of its own.
void SimulatedUsbOsApi::ClockLoop() {
  std::unique_lock<std::mutex> lk(deliveryMutex_);
  while (!deliveryCv_.wait_for(lk, std::chrono::milliseconds(20), [this] { return stopping_; })) {
    lk.unlock();
    std::uint64_t virtualMs = world_.Now() - worldStart_;
    std::uint64_t wallMs = static_cast<DWORD>(windows_.GetTickCount() - wallStart_);
    if (wallMs > virtualMs) world_.Advance(wallMs - virtualMs);
    lk.lock();
  }
}

// The system sends WM_DEVICECHANGE to a registered window: the sender (here
// this thread, standing for the system's) waits until the window's thread has
// handled it, and the broadcast structure lives until then. Notifications
// reach the window one at a time, in the order the devices came and went.
void SimulatedUsbOsApi::DeliveryLoop() {
  for (;;) {
    Notification n;
    {
      std::unique_lock<std::mutex> lk(deliveryMutex_);
      deliveryCv_.wait(lk, [this] { return stopping_ || !deliveries_.empty(); });
      if (deliveries_.empty()) return;
      n = std::move(deliveries_.front());
      deliveries_.pop_front();
    }
    windows_.SendMessageW(n.window, WM_DEVICECHANGE, n.event, reinterpret_cast<LPARAM>(n.payload.data()));
  }
}

void SimulatedUsbOsApi::ServeFileFromWorld(const std::u16string& path) {
  std::lock_guard<std::mutex> lk(mutex_);
  worldFiles_.insert(Lower(path));
}

bool SimulatedUsbOsApi::IsDevicePath(const std::u16string& path) {
  return path.rfind(u"\\\\?\\", 0) == 0 || path.rfind(u"\\\\.\\", 0) == 0;
}

bool SimulatedUsbOsApi::ServedByWorld(const std::u16string& path) {
  if (IsDevicePath(path)) return true;
  std::lock_guard<std::mutex> lk(mutex_);
  return worldFiles_.count(Lower(path)) != 0;
}

bool SimulatedUsbOsApi::IsWindowsHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lk(mutex_);
  return windowsHandles_.count(handle) != 0;
}

bool SimulatedUsbOsApi::IsWorldWindow(HWND window) { return window && world_.Control(window, 0).has_value(); }

template <typename R>
R SimulatedUsbOsApi::FromWindows(R result) {
  t_lastError = windows_.GetLastError();
  return result;
}

template <typename R>
R SimulatedUsbOsApi::FromWorld(R result) {
  t_lastError = world_.GetLastError();
  return result;
}

// The world's clock may only run ahead of the wall clock by the time this call
// sleeps: what took two virtual seconds takes two real ones.
void SimulatedUsbOsApi::Pace() {
  if (!options_.realTime) return;
  DWORD saved = t_lastError;
  std::uint64_t virtualMs = world_.Now() - worldStart_;
  std::uint64_t wallMs = static_cast<DWORD>(windows_.GetTickCount() - wallStart_);
  if (virtualMs > wallMs) windows_.Sleep(static_cast<DWORD>(virtualMs - wallMs));
  t_lastError = saved;
}

void SimulatedUsbOsApi::Log(const std::string& line) {
  if (options_.log) options_.log(line);
}

bool SimulatedUsbOsApi::Changed(HWND window, const std::string& what, const std::string& shown) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto [it, added] = lastShown_.try_emplace({window, what}, shown);
  bool changed = added || it->second != shown;
  it->second = shown;
  return changed;
}

std::string SimulatedUsbOsApi::ControlName(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = controlIds_.find(window);
  if (it == controlIds_.end()) return "window";
  switch (it->second) {
    case IDC_IMAGE_PATH:
      return "path";
    case IDC_SELECT_IMAGE:
      return "select-button";
    case IDC_PROGRESS:
      return "progress";
    case IDC_UPGRADE:
      return "upgrade-button";
    case IDC_PERCENT:
      return "percent";
    case IDC_DEVICE_INDICATOR:
      return "indicator";
    default:
      return "control-" + std::to_string(it->second);
  }
}

// ------------------------------------------------------------------ errors

DWORD SimulatedUsbOsApi::GetLastError() { return t_lastError; }

void SimulatedUsbOsApi::SetLastError(DWORD error) {
  t_lastError = error;
  windows_.SetLastError(error);
  world_.SetLastError(error);
}

// ------------------------------------------------------------------ files and devices

HANDLE SimulatedUsbOsApi::CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                                      DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (ServedByWorld(Str(path)))
    return FromWorld(world_.CreateFileW(path, access, share, security, disposition, flags, templateFile));
  HANDLE h = windows_.CreateFileW(path, access, share, security, disposition, flags, templateFile);
  t_lastError = windows_.GetLastError();
  if (h != INVALID_HANDLE_VALUE) {
    std::lock_guard<std::mutex> lk(mutex_);
    windowsHandles_.insert(h);
  }
  return h;
}

BOOL SimulatedUsbOsApi::CloseHandle(HANDLE handle) {
  if (IsWindowsHandle(handle)) {
    {
      std::lock_guard<std::mutex> lk(mutex_);
      windowsHandles_.erase(handle);
    }
    return FromWindows(windows_.CloseHandle(handle));
  }
  return FromWorld(world_.CloseHandle(handle));
}

BOOL SimulatedUsbOsApi::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.ReadFile(file, buffer, toRead, read, overlapped));
  BOOL ok = FromWorld(world_.ReadFile(file, buffer, toRead, read, overlapped));
  Pace();
  return ok;
}

BOOL SimulatedUsbOsApi::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.WriteFile(file, buffer, toWrite, written, overlapped));
  BOOL ok = FromWorld(world_.WriteFile(file, buffer, toWrite, written, overlapped));
  Pace();
  return ok;
}

BOOL SimulatedUsbOsApi::FlushFileBuffers(HANDLE file) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.FlushFileBuffers(file));
  return FromWorld(world_.FlushFileBuffers(file));
}
BOOL SimulatedUsbOsApi::GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.GetFileInformationByHandle(file, information));
  return FromWorld(world_.GetFileInformationByHandle(file, information));
}

BOOL SimulatedUsbOsApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.GetOverlappedResult(file, overlapped, transferred, wait));
  BOOL ok = FromWorld(world_.GetOverlappedResult(file, overlapped, transferred, wait));
  Pace();
  return ok;
}

BOOL SimulatedUsbOsApi::CancelIo(HANDLE file) {
  if (IsWindowsHandle(file)) return FromWindows(windows_.CancelIo(file));
  return FromWorld(world_.CancelIo(file));
}

BOOL SimulatedUsbOsApi::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                        LPDWORD returned, OVERLAPPED* overlapped) {
  if (IsWindowsHandle(device))
    return FromWindows(windows_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped));
  BOOL ok = FromWorld(world_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped));
  Pace();
  return ok;
}

DWORD SimulatedUsbOsApi::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  return FromWindows(windows_.GetModuleFileNameW(module, buffer, size));
}

// Directories, the environment and the local time are the real PC's, as
// ordinary files are.
BOOL SimulatedUsbOsApi::CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) {
  return FromWindows(windows_.CreateDirectoryW(path, security));
}
HANDLE SimulatedUsbOsApi::FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  return FromWindows(windows_.FindFirstFileW(pattern, data));
}
BOOL SimulatedUsbOsApi::FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) {
  return FromWindows(windows_.FindNextFileW(search, data));
}
BOOL SimulatedUsbOsApi::FindClose(HANDLE search) { return FromWindows(windows_.FindClose(search)); }
DWORD SimulatedUsbOsApi::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  return FromWindows(windows_.GetEnvironmentVariableW(name, buffer, size));
}
void SimulatedUsbOsApi::GetLocalTime(SYSTEMTIME* time) { windows_.GetLocalTime(time); }

// ------------------------------------------------------------------ kernel objects, threads, time

HANDLE SimulatedUsbOsApi::CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                                       LPCWSTR name) {
  return FromWorld(world_.CreateEventW(security, manualReset, initialState, name));
}
BOOL SimulatedUsbOsApi::SetEvent(HANDLE event) { return FromWorld(world_.SetEvent(event)); }
BOOL SimulatedUsbOsApi::ResetEvent(HANDLE event) { return FromWorld(world_.ResetEvent(event)); }
DWORD SimulatedUsbOsApi::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  DWORD r = FromWorld(world_.WaitForSingleObject(object, milliseconds));
  Pace();
  return r;
}
HANDLE SimulatedUsbOsApi::CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                       LPVOID parameter, DWORD flags, LPDWORD threadId) {
  return FromWorld(world_.CreateThread(security, stackSize, start, parameter, flags, threadId));
}
DWORD SimulatedUsbOsApi::ResumeThread(HANDLE thread) { return FromWorld(world_.ResumeThread(thread)); }
// Pipes are kernel objects that the world's waits and transfers work with.
HANDLE SimulatedUsbOsApi::CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                           DWORD outSize, DWORD inSize, DWORD defaultTimeout,
                                           SECURITY_ATTRIBUTES* security) {
  return FromWorld(
      world_.CreateNamedPipeW(name, openMode, pipeMode, maxInstances, outSize, inSize, defaultTimeout, security));
}
DWORD SimulatedUsbOsApi::WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
  DWORD r = FromWorld(world_.WaitForMultipleObjects(count, objects, waitAll, milliseconds));
  Pace();
  return r;
}
BOOL SimulatedUsbOsApi::GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  return FromWorld(world_.GetExitCodeThread(thread, exitCode));
}
DWORD SimulatedUsbOsApi::GetTickCount() {
  Pace();
  return world_.GetTickCount();
}
void SimulatedUsbOsApi::Sleep(DWORD milliseconds) {
  world_.Sleep(milliseconds);
  Pace();
}

// ------------------------------------------------------------------ SetupAPI, HID, WinUSB: the world

HDEVINFO SimulatedUsbOsApi::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) {
  return FromWorld(world_.SetupDiGetClassDevsW(classGuid, enumerator, parent, flags));
}
BOOL SimulatedUsbOsApi::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid,
                                                    DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  return FromWorld(world_.SetupDiEnumDeviceInterfaces(set, devInfo, classGuid, index, data));
}
BOOL SimulatedUsbOsApi::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                         SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                                         DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) {
  return FromWorld(world_.SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, devInfo));
}
BOOL SimulatedUsbOsApi::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return FromWorld(world_.SetupDiDestroyDeviceInfoList(set));
}
CONFIGRET SimulatedUsbOsApi::CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) {
  return world_.CM_Get_Parent(parent, node, flags);
}
CONFIGRET SimulatedUsbOsApi::CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType,
                                                               PVOID buffer, ULONG* length, ULONG flags) {
  return world_.CM_Get_DevNode_Registry_PropertyW(node, property, regDataType, buffer, length, flags);
}
void SimulatedUsbOsApi::HidD_GetHidGuid(GUID* guid) { world_.HidD_GetHidGuid(guid); }
BOOLEAN SimulatedUsbOsApi::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  return FromWorld(world_.HidD_GetAttributes(device, attributes));
}
BOOLEAN SimulatedUsbOsApi::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  return FromWorld(world_.HidD_GetPreparsedData(device, data));
}
BOOLEAN SimulatedUsbOsApi::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  return FromWorld(world_.HidD_FreePreparsedData(data));
}
NTSTATUS SimulatedUsbOsApi::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  return FromWorld(world_.HidP_GetCaps(data, caps));
}
NTSTATUS SimulatedUsbOsApi::HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                       USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                                       PHIDP_PREPARSED_DATA data) {
  return FromWorld(world_.HidP_GetSpecificButtonCaps(type, usagePage, linkCollection, usage, caps, length, data));
}
NTSTATUS SimulatedUsbOsApi::HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                      USAGE usage, HIDP_VALUE_CAPS* caps, USHORT* length,
                                                      PHIDP_PREPARSED_DATA data) {
  return FromWorld(world_.HidP_GetSpecificValueCaps(type, usagePage, linkCollection, usage, caps, length, data));
}
BOOL SimulatedUsbOsApi::WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) {
  return FromWorld(world_.WinUsb_Initialize(device, handle));
}
BOOL SimulatedUsbOsApi::WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) { return FromWorld(world_.WinUsb_Free(handle)); }
BOOL SimulatedUsbOsApi::WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                                      USB_INTERFACE_DESCRIPTOR* descriptor) {
  return FromWorld(world_.WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor));
}
BOOL SimulatedUsbOsApi::WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                                         WINUSB_PIPE_INFORMATION* pipe) {
  return FromWorld(world_.WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, pipe));
}
BOOL SimulatedUsbOsApi::WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType,
                                             ULONG valueLength, PVOID value) {
  return FromWorld(world_.WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value));
}
BOOL SimulatedUsbOsApi::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                         PULONG transferred, OVERLAPPED* overlapped) {
  BOOL ok = FromWorld(world_.WinUsb_WritePipe(handle, pipeId, buffer, length, transferred, overlapped));
  Pace();
  return ok;
}
BOOL SimulatedUsbOsApi::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                        PULONG transferred, OVERLAPPED* overlapped) {
  BOOL ok = FromWorld(world_.WinUsb_ReadPipe(handle, pipeId, buffer, length, transferred, overlapped));
  Pace();
  return ok;
}

// ------------------------------------------------------------------ windows and notifications

UINT SimulatedUsbOsApi::RegisterWindowMessageW(LPCWSTR name) {
  return FromWindows(windows_.RegisterWindowMessageW(name));
}

BOOL SimulatedUsbOsApi::PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsWorldWindow(window)) return FromWorld(world_.PostMessageW(window, message, wParam, lParam));
  return FromWindows(windows_.PostMessageW(window, message, wParam, lParam));
}

LRESULT SimulatedUsbOsApi::SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsWorldWindow(window)) return FromWorld(world_.SendMessageW(window, message, wParam, lParam));
  if (message == PBM_SETPOS) {
    Log("progress " + std::to_string(static_cast<long long>(wParam)));
  } else if (message == STM_SETIMAGE && wParam == IMAGE_BITMAP) {
    WORD id = 0;
    {
      std::lock_guard<std::mutex> lk(mutex_);
      auto it = bitmapIds_.find(reinterpret_cast<HBITMAP>(lParam));
      if (it != bitmapIds_.end()) id = it->second;
    }
    std::string shown = id == IDB_MOUSE_PRESENT  ? "present"
                        : id == IDB_MOUSE_ABSENT ? "absent"
                                                 : "bitmap-" + std::to_string(id);
    if (Changed(window, "image", shown)) Log("indicator " + shown);
  }
  return FromWindows(windows_.SendMessageW(window, message, wParam, lParam));
}

// The program's message queues are the window system's.
BOOL SimulatedUsbOsApi::PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  return FromWindows(windows_.PeekMessageW(msg, window, filterMin, filterMax, remove));
}
LRESULT SimulatedUsbOsApi::DispatchMessageW(const MSG* msg) { return FromWindows(windows_.DispatchMessageW(msg)); }

HDEVNOTIFY SimulatedUsbOsApi::RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  return FromWorld(world_.RegisterDeviceNotificationW(recipient, filter, flags));
}
BOOL SimulatedUsbOsApi::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  return FromWorld(world_.UnregisterDeviceNotification(handle));
}

// ------------------------------------------------------------------ dialogs and controls: the window system

HMODULE SimulatedUsbOsApi::GetModuleHandleW(LPCWSTR name) { return FromWindows(windows_.GetModuleHandleW(name)); }

INT_PTR SimulatedUsbOsApi::DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc,
                                           LPARAM initParam) {
  Log("dialog open");
  INT_PTR r = FromWindows(windows_.DialogBoxParamW(instance, templateName, parent, proc, initParam));
  DWORD error = t_lastError;
  Log("dialog closed " + std::to_string(static_cast<long long>(r)));
  t_lastError = error;
  return r;
}
INT_PTR SimulatedUsbOsApi::DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent,
                                                   DLGPROC proc, LPARAM initParam) {
  Log("dialog open");
  INT_PTR r = FromWindows(windows_.DialogBoxIndirectParamW(instance, dialogTemplate, parent, proc, initParam));
  DWORD error = t_lastError;
  Log("dialog closed " + std::to_string(static_cast<long long>(r)));
  t_lastError = error;
  return r;
}
BOOL SimulatedUsbOsApi::EndDialog(HWND dialog, INT_PTR result) {
  return FromWindows(windows_.EndDialog(dialog, result));
}
HWND SimulatedUsbOsApi::GetDlgItem(HWND dialog, int id) {
  HWND h = windows_.GetDlgItem(dialog, id);
  t_lastError = windows_.GetLastError();
  if (h) {
    std::lock_guard<std::mutex> lk(mutex_);
    controlIds_[h] = id;
  }
  return h;
}
BOOL SimulatedUsbOsApi::SetWindowTextW(HWND window, LPCWSTR text) {
  std::string shown = OneLine(Str(text));
  if (Changed(window, "text", shown)) Log("text " + ControlName(window) + " " + shown);
  return FromWindows(windows_.SetWindowTextW(window, text));
}
int SimulatedUsbOsApi::GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) {
  return FromWindows(windows_.GetWindowTextW(window, buffer, maxCount));
}
int SimulatedUsbOsApi::GetWindowTextLengthW(HWND window) { return FromWindows(windows_.GetWindowTextLengthW(window)); }
BOOL SimulatedUsbOsApi::EnableWindow(HWND window, BOOL enable) {
  BOOL wasDisabled = FromWindows(windows_.EnableWindow(window, enable));
  // Logged when the state changes (the result tells the state before).
  if ((wasDisabled != FALSE) == (enable != FALSE)) Log("enable " + ControlName(window) + (enable ? " on" : " off"));
  return wasDisabled;
}
BOOL SimulatedUsbOsApi::IsWindowEnabled(HWND window) { return FromWindows(windows_.IsWindowEnabled(window)); }
LONG_PTR SimulatedUsbOsApi::SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  return FromWindows(windows_.SetWindowLongPtrW(window, index, value));
}
UINT_PTR SimulatedUsbOsApi::SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  return FromWindows(windows_.SetTimer(window, id, elapse, proc));
}
BOOL SimulatedUsbOsApi::KillTimer(HWND window, UINT_PTR id) { return FromWindows(windows_.KillTimer(window, id)); }
int SimulatedUsbOsApi::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  Log("messagebox " + OneLine(Str(caption)) + " | " + OneLine(Str(text)));
  int answer = FromWindows(windows_.MessageBoxW(owner, text, caption, type));
  DWORD error = t_lastError;
  Log("messagebox-answer " + std::to_string(answer));
  t_lastError = error;
  return answer;
}

// ------------------------------------------------------------------ painting, icons, bitmaps

BOOL SimulatedUsbOsApi::IsIconic(HWND window) { return FromWindows(windows_.IsIconic(window)); }
BOOL SimulatedUsbOsApi::GetClientRect(HWND window, RECT* rect) {
  return FromWindows(windows_.GetClientRect(window, rect));
}
int SimulatedUsbOsApi::GetSystemMetrics(int index) { return FromWindows(windows_.GetSystemMetrics(index)); }
HDC SimulatedUsbOsApi::BeginPaint(HWND window, PAINTSTRUCT* paint) {
  return FromWindows(windows_.BeginPaint(window, paint));
}
BOOL SimulatedUsbOsApi::EndPaint(HWND window, const PAINTSTRUCT* paint) {
  return FromWindows(windows_.EndPaint(window, paint));
}
BOOL SimulatedUsbOsApi::DrawIcon(HDC dc, int x, int y, HICON icon) {
  return FromWindows(windows_.DrawIcon(dc, x, y, icon));
}
HICON SimulatedUsbOsApi::LoadIconW(HMODULE instance, LPCWSTR name) {
  return FromWindows(windows_.LoadIconW(instance, name));
}
// The program's resources and the user's language are the window system's.
HRSRC SimulatedUsbOsApi::FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) {
  return FromWindows(windows_.FindResourceExW(module, type, name, language));
}
HGLOBAL SimulatedUsbOsApi::LoadResource(HMODULE module, HRSRC resource) {
  return FromWindows(windows_.LoadResource(module, resource));
}
DWORD SimulatedUsbOsApi::SizeofResource(HMODULE module, HRSRC resource) {
  return FromWindows(windows_.SizeofResource(module, resource));
}
LPVOID SimulatedUsbOsApi::LockResource(HGLOBAL data) { return FromWindows(windows_.LockResource(data)); }
LANGID SimulatedUsbOsApi::GetUserDefaultUILanguage() { return FromWindows(windows_.GetUserDefaultUILanguage()); }
HBITMAP SimulatedUsbOsApi::LoadBitmapW(HMODULE instance, LPCWSTR name) {
  HBITMAP b = windows_.LoadBitmapW(instance, name);
  t_lastError = windows_.GetLastError();
  if (b && IS_INTRESOURCE(name)) {
    std::lock_guard<std::mutex> lk(mutex_);
    bitmapIds_[b] = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  }
  return b;
}
BOOL SimulatedUsbOsApi::DeleteObject(HGDIOBJ object) { return FromWindows(windows_.DeleteObject(object)); }

// ------------------------------------------------------------------ common controls and dialogs, code pages

BOOL SimulatedUsbOsApi::InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  return FromWindows(windows_.InitCommonControlsEx(init));
}
BOOL SimulatedUsbOsApi::GetOpenFileNameW(OPENFILENAMEW* ofn) {
  BOOL ok = FromWindows(windows_.GetOpenFileNameW(ofn));
  if (ok) Log("file-dialog " + OneLine(Str(ofn->lpstrFile)));
  return ok;
}
DWORD SimulatedUsbOsApi::CommDlgExtendedError() { return windows_.CommDlgExtendedError(); }
int SimulatedUsbOsApi::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                                           LPCSTR defaultChar, BOOL* usedDefault) {
  return FromWindows(
      windows_.WideCharToMultiByte(codePage, flags, text, length, out, outSize, defaultChar, usedDefault));
}
int SimulatedUsbOsApi::MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                                           int outSize) {
  return FromWindows(windows_.MultiByteToWideChar(codePage, flags, text, length, out, outSize));
}

}  // namespace kv27
