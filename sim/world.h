// The simulated USB world: an OsApi served by virtual devices.
//
// A World holds everything a process would get from the operating system:
//   - a virtual clock (GetTickCount, Sleep, wait timeouts) with scheduled actions,
//     so minutes of waiting run in milliseconds;
//   - a handle table that knows each handle's kind and reports leaks;
//   - a path table: device interface paths (registered under a class GUID, in a
//     stable enumeration order) and plain device paths ("\\.\HCD0", hubs);
//   - hotplug, with WM_DEVICECHANGE delivered to registered windows;
//   - headless windows with message queues and a log of what they received;
//   - fault injection by call name, path and call number;
//   - ordinary file paths, served from an in-memory overlay or the host disk.
// Worlds share nothing; several can exist side by side.
//
// Locking: one mutex per world. Virtual device callbacks (the Device methods) run
// with it held and must not call the OsApi operations; they use the *Locked
// helpers. Device methods that tests call directly take the lock with Lock().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_api.h"
#include "sim/resources.h"
#include "sim/usb_timing.h"
#include "sim/window_system.h"

namespace kv27::sim {

using namespace w32;

class World;

// What a handle from CreateFileW refers to on a virtual device.
struct FileObject {
  std::u16string path;
  DWORD access = 0;
  DWORD share = 0;
  DWORD flags = 0;
  bool gone = false;    // the device left while the handle was open
  bool closed = false;  // CloseHandle has run on the handle
  std::shared_ptr<class Device> device;
  std::uint64_t id = 0;               // unique per world
  std::shared_ptr<void> deviceState;  // free for the device's own per-handle data
  bool Overlapped() const { return (flags & FILE_FLAG_OVERLAPPED) != 0; }
};

// One ReadFile/WriteFile handed to a device.
struct IoRequest {
  std::uint64_t id = 0;        // for CompleteIoLocked
  FileObject* file = nullptr;  // valid during the device call only
  bool write = false;
  void* buffer = nullptr;  // the caller's buffer (stays the caller's until completion)
  DWORD length = 0;
  OVERLAPPED* overlapped = nullptr;
};

// CallEffects::delayMs of an answer that never comes.
inline constexpr DWORD kNeverMs = 0xFFFFFFFFu;

// The per-user local application data folder of a new world (LOCALAPPDATA).
inline constexpr char16_t kWorldLocalAppData[] = u"C:\\Users\\User\\AppData\\Local";

// Extra outcome of a device callback.
struct CallEffects {
  DWORD delayMs = 0;  // virtual time the operation takes (the caller's clock moves on); kNeverMs: never
  DWORD delayUs = 0;  // and microseconds on top (the bus model's sub-frame times)
};

// HID description of one collection, what HidD_GetPreparsedData snapshots.
struct HidDescription {
  HIDP_CAPS caps{};
  NTSTATUS capsStatus = HIDP_STATUS_SUCCESS;    // what HidP_GetCaps returns
  std::vector<HIDP_BUTTON_CAPS> buttonCaps[3];  // by HIDP_REPORT_TYPE
  std::vector<HIDP_VALUE_CAPS> valueCaps[3];
};

// A virtual device behind one or more paths. Every callback runs with the world
// locked. Return codes are Win32 errors (ERROR_SUCCESS for success); the world
// turns them into results and last errors. The defaults refuse the operation.
class Device : public std::enable_shared_from_this<Device> {
 public:
  virtual ~Device() = default;

  // CreateFileW reached this device. Refuse with an error, or accept.
  virtual DWORD OnOpen(FileObject& file) { return ERROR_SUCCESS; }
  virtual void OnClose(FileObject& file) {}

  // ReadFile/WriteFile. Return ERROR_SUCCESS with *transferred to complete now,
  // ERROR_IO_PENDING (overlapped handles only) to keep the request and complete it
  // later with World::CompleteIoLocked, or an error.
  virtual DWORD OnRead(IoRequest& request, DWORD* transferred, CallEffects& fx) { return ERROR_INVALID_FUNCTION; }
  virtual DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects& fx) { return ERROR_INVALID_FUNCTION; }
  // A pending request was cancelled (CancelIo, CloseHandle) or failed because the
  // device left; forget it.
  virtual void OnCancel(std::uint64_t requestId) {}

  virtual DWORD OnIoctl(FileObject& file, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                        DWORD* returned, CallEffects& fx) {
    return ERROR_INVALID_FUNCTION;
  }

  // HID class driver.
  virtual DWORD OnHidGetAttributes(FileObject& file, HIDD_ATTRIBUTES* attributes) { return ERROR_INVALID_FUNCTION; }
  virtual DWORD OnHidGetDescription(FileObject& file, HidDescription* description) { return ERROR_INVALID_FUNCTION; }

  // WinUSB. OnWinUsbInitialize runs on WinUsb_Initialize; the pipe calls come from
  // an interface handle made on a file of this device.
  virtual DWORD OnWinUsbInitialize(FileObject& file) { return ERROR_INVALID_FUNCTION; }
  virtual DWORD OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* descriptor) {
    return ERROR_INVALID_FUNCTION;
  }
  virtual DWORD OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) {
    return ERROR_INVALID_FUNCTION;
  }
  virtual DWORD OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred, CallEffects& fx) {
    return ERROR_INVALID_FUNCTION;
  }
  virtual DWORD OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred, CallEffects& fx) {
    return ERROR_INVALID_FUNCTION;
  }
  // The pipe transfer just handed to the device took longer than the pipe's
  // transfer time-out and was cancelled after `elapsedMs`: nothing moved, and
  // what a read would have delivered stays with the device.
  virtual void OnWinUsbPipeTimeout(UCHAR pipeId, DWORD elapsedMs) {}
  // WinUsb_SetPipePolicy set the pipe's transfer time-out (0: none). A device
  // whose transfers take real time (a real bus) keeps it to bound them.
  virtual void OnWinUsbPipeTimeoutSet(UCHAR pipeId, ULONG timeoutMs) {}

  // The world this device is attached to (null before the first attach).
  World* world() const { return world_; }

 private:
  friend class World;
  World* world_ = nullptr;
};

// A fault: the call named `call` fails with `error`, starting at its `nth`
// matching call (1 = the next one) for `times` calls (0 = from then on).
// pathContains narrows it to calls whose path (CreateFileW) or handle's path
// (other file and device calls) contains the text; empty matches all.
struct Fault {
  std::string call;
  DWORD error = ERROR_GEN_FAILURE;
  unsigned nth = 1;
  unsigned times = 1;
  std::u16string pathContains;
};

// One message as a headless window received it.
struct WindowMessage {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  bool sent = false;                  // SendMessageW (true) or queued (false)
  bool fromOwnerThread = false;       // sent from the window's own thread
  bool fromSystem = false;            // a device notification the system sent
  std::vector<std::uint8_t> payload;  // copy of a DEV_BROADCAST_* lParam, if any
};

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// One open handle, for leak reports.
struct HandleInfo {
  HANDLE handle = nullptr;
  std::string kind;  // "file", "event", "thread", "devinfo", "preparsed", "winusb", "devnotify", "window"
  std::u16string name;
};

// One logon session's namespace of named kernel objects (events). Windows
// gives "each session ... a separate namespace" for them, which every process
// started in the session uses by default, "Local\\" naming it explicitly
// ("Kernel Object Namespaces" on learn.microsoft.com): two programs in one
// session that create "reply_event" get the same event.
//
// A world built alone has a session of its own. Worlds built on one session
// are programs side by side in it: an event one of them names is the event
// the others open by that name, a SetEvent in one ends a wait in another.
// Each world keeps its own devices, windows and clock, so a wait in one world
// is not held back by the busy threads of another: run each world's program
// on threads of its own (the thread that builds a world drives its clock).
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  struct State;  // sim/world_impl.h

 private:
  friend class World;
  std::unique_ptr<State> state_;
};

class World : public OsApi {
 public:
  World();
  // A program in `session`, beside the other worlds built on it.
  explicit World(std::shared_ptr<Session> session);
  ~World() override;
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // ------------------------------------------------------------ clock
  // Current virtual time (64-bit; GetTickCount returns its low 32 bits).
  std::uint64_t Now();
  void SetNow(std::uint64_t ms);  // only forwards; for testing wrap-around
  // Moves the clock on, running the actions that fall due, in time order.
  void Advance(std::uint64_t ms);
  // Runs `action` (without the world locked) once the clock reaches now + delayMs.
  // delayMs 0: at the end of the current OsApi call, or at the next one.
  void Schedule(std::uint64_t delayMs, std::function<void()> action);
  // The clock moves only when every thread taking part in the world is idle in
  // a world wait (the world's creator and the threads it runs, for as long as
  // they live; any other thread while it waits), and then to the earliest time
  // something happens. A participant busy outside the world for longer than
  // this real time (default 60 s: a safety net, reported on stderr) is taken as
  // blocked elsewhere.
  void SetRealWaitCap(std::uint32_t ms);
  // Virtual time between CancelIo and the completion of the transfers it
  // cancels (default 1 ms): like a driver, the world completes a cancelled
  // transfer after CancelIo has returned, not inside it.
  void SetCancelLatency(std::uint32_t ms);
  // Microseconds: the clock in milliseconds and the part of the current one
  // that device calls have charged (the USB timing model's bulk transfers).
  // Any move of the clock to a later millisecond starts it at 0 again.
  // NowUs takes no lock: the clock is published whenever it moves, so that
  // observers that stamp every call (the traffic capture) do not serialise on
  // the world.
  std::uint64_t NowUs();
  std::uint64_t NowUsLocked() const { return now_ * 1000 + subUs_; }
  // Real-time mode: the virtual clock moves no faster than the real one (1:1),
  // so Sleep, waits and the devices' timed work take the time they stand for.
  // For a person watching a simulated run; tests leave it off.
  void SetRealTime(bool enabled);

  // ------------------------------------------------------------ USB timing model
  // Switches the bus model on (or off with nullopt) for this world; devices
  // attached to it read it on every transfer. See sim/usb_timing.h.
  void SetUsbTiming(std::optional<UsbTiming> timing);
  std::optional<UsbTiming> GetUsbTiming();
  // For devices (world locked): null while the model is off.
  const UsbTiming* UsbTimingLocked() const { return usbTiming_ ? &*usbTiming_ : nullptr; }

  // ------------------------------------------------------------ devices
  // A path served by `device`. With a class GUID the path is a device interface
  // of that class: listed by SetupAPI in attach order (a path that comes back
  // keeps its place) and announced to registered windows.
  void Attach(const std::u16string& path, std::shared_ptr<Device> device,
              std::optional<GUID> interfaceClass = std::nullopt);
  // The path leaves: opens fail with ERROR_FILE_NOT_FOUND, open handles fail
  // with ERROR_DEVICE_NOT_CONNECTED, pending transfers on them complete with it.
  void Detach(const std::u16string& path);
  bool IsAttached(const std::u16string& path);
  // How long after a USB device's own interface the HID class driver brings
  // up the device's HID collections (virtual ms; default
  // kDefaultHidArrivalDelayMs). Devices read it when they are plugged.
  static constexpr std::uint32_t kDefaultHidArrivalDelayMs = 100;
  void SetHidArrivalDelay(std::uint32_t ms);
  std::uint32_t HidArrivalDelay();
  std::uint32_t HidArrivalDelayLocked() const { return hidArrivalDelayMs_; }
  std::shared_ptr<Device> DeviceAt(const std::u16string& path);

  // ------------------------------------------------------------ device nodes
  // The configuration manager's device tree (CM_Get_Parent, CM_DRP_DRIVER, and
  // the device SetupDiGetDeviceInterfaceDetailW names for an interface). A
  // node is added under its parent (empty: the root of the tree,
  // "HTREE\ROOT\0") with its setup class and gets a driver key,
  // "{class}\NNNN", that it keeps for the world's life, as the registry keeps a
  // device's software key: a device that comes back under the same instance id
  // finds its node and key again. RemoveDevNode takes the node and everything
  // below it off the tree (no longer present). Every device interface belongs
  // to the node its path names (InstanceIdOfInterface); an interface whose
  // node was never added hangs on a root-enumerated node of its own.
  void AddDevNode(const std::u16string& instanceId, const std::u16string& parentInstanceId, const GUID& setupClass);
  void RemoveDevNode(const std::u16string& instanceId);
  bool IsDevNodePresent(const std::u16string& instanceId);
  // The driver key of a present node; empty when there is none (world
  // locked: for devices, say a hub that reports what is on its ports).
  std::u16string DriverKeyLocked(const std::u16string& instanceId);

  // ------------------------------------------------------------ files
  // In-memory file; shadows the host disk at that path. Its directory and the
  // directories above it exist in memory from then on.
  void AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes);
  // An in-memory directory (and its parents): files created in it stay in
  // memory.
  void AddDirectory(const std::u16string& path);
  std::optional<std::vector<std::uint8_t>> FileBytes(const std::u16string& path);
  // Plain paths outside the memory overlay go to the host disk (default on).
  // Off, every path is in memory, and a file can only be created in an
  // in-memory directory.
  void SetHostFiles(bool enabled);
  void SetModulePath(const std::u16string& path);
  // The environment GetEnvironmentVariableW reads (nullopt: not set). A new
  // world has LOCALAPPDATA = kWorldLocalAppData, an in-memory directory.
  void SetEnvironmentVariable(const std::u16string& name, std::optional<std::u16string> value);
  // The local time GetLocalTime gives now (it moves on with the clock). A new
  // world starts at 2026-12-10 12:00:00.000.
  void SetLocalTime(const SYSTEMTIME& time);

  // ------------------------------------------------------------ windows
  // A window owned by the calling thread, served by `proc`.
  HWND CreateHeadlessWindow(WindowProc proc = nullptr);
  void DestroyHeadlessWindow(HWND window);
  // What PeekMessage with a window filter does, on the calling thread: takes
  // the messages other threads sent to the thread's windows, then dispatches
  // the window's queued messages; returns how many messages ran. Only the
  // window's own thread retrieves its messages (0 from any other).
  int PumpMessages(HWND window);
  std::vector<WindowMessage> Received(HWND window);
  void ClearReceived(HWND window);
  // Message id of a registered name, 0 if never registered.
  UINT RegisteredMessage(const std::u16string& name);
  // Windows that live outside the world (a program that shows its real windows
  // over simulated devices): once a sink is set, RegisterDeviceNotificationW
  // accepts a window the world does not know when `isWindow` says it exists,
  // and the arrivals and removals meant for it go to `deliver` (event,
  // DEV_BROADCAST_DEVICEINTERFACE_W bytes) instead of a headless queue.
  // `deliver` runs with the world locked: it must only hand the notification
  // on, never call back into the world or wait.
  struct ForeignWindowSink {
    std::function<bool(HWND)> isWindow;
    std::function<void(HWND, WPARAM event, std::vector<std::uint8_t> payload)> deliver;
  };
  void SetForeignWindowSink(ForeignWindowSink sink);
  // Watches the messages sent with SendMessageW as a WH_CALLWNDPROCRET hook
  // does: after the window procedure has handled one, on the thread that ran
  // it, with the world unlocked (the hook may call the world); it sees the
  // procedure's result and cannot change anything. Posted messages and the
  // world's own deliveries (timers, input) pass unseen. Null removes it.
  using SentMessageHook = std::function<void(HWND, UINT, WPARAM, LPARAM, LRESULT)>;
  void SetSentMessageHook(SentMessageHook hook);

  // ------------------------------------------------------------ dialogs, controls and the user
  // The program's resources: dialog templates, bitmaps and icons by id.
  void SetResources(const ResourceSet& resources);
  // The user's UI language (GetUserDefaultUILanguage), which also picks the
  // language of a resource looked up without one (DialogBoxParamW). A
  // simulated PC is a Simplified Chinese one unless a test says otherwise.
  void SetUserDefaultUILanguage(LANGID language);
  // Single resources for tests (they take precedence over SetResources).
  void AddDialogTemplate(WORD id, DialogTemplate dialog);
  void AddBitmapResource(WORD id);
  void AddIconResource(WORD id);
  // The scripted user.
  UserScript& User();
  std::vector<MessageBoxRecord> MessageBoxes();
  std::vector<FileDialogRecord> FileDialogs();
  // The topmost modal dialog of any thread (null when none runs).
  HWND ActiveDialog();
  // State of a dialog's control, or of a window when id is 0; nullopt when
  // there is no such window.
  std::optional<ControlState> Control(HWND dialog, int id = 0);
  std::vector<IconDrawn> IconsDrawn();
  // Cross-thread sends that were never taken (the sender gave up after the
  // hang timeout; its SendMessageW returned 0 with ERROR_TIMEOUT).
  std::vector<Deadlock> Deadlocks();
  // Device notifications the system sent and gave up on, oldest first.
  std::vector<DroppedNotification> DroppedNotifications();
  // Modal loops that could never go on (nothing queued, no timer, no scripted
  // action, no scheduled event for the hang timeout), and unanswered boxes.
  // The loop was ended (a dialog with -1); each is also printed to stderr.
  std::vector<std::string> Stalls();
  // Real time a blocked SendMessageW or an idle modal loop waits before it is
  // reported (default 2000 ms); virtual time a modal loop may run on its own
  // timers alone (default two hours).
  void SetHangTimeout(std::uint32_t realMs);
  void SetModalTimeLimit(std::uint64_t virtualMs);
  // Virtual time the system waits for a window's thread to take a device
  // notification before it gives up on it (default 5000 ms; see
  // Impl::Announce).
  void SetNotificationTimeout(std::uint32_t virtualMs);

  // ------------------------------------------------------------ faults and accounting
  void InjectFault(Fault fault);
  void ClearFaults();
  // How often an OsApi operation was called.
  std::uint64_t CallCount(const std::string& call);
  std::vector<HandleInfo> OpenHandles(bool includeWindows = false);
  // Empty when every handle but the windows is closed and the code under test
  // did nothing that a real PC would punish (a transfer left pending by a
  // thread that ended, a synchronous transfer that would never return);
  // otherwise a readable list.
  std::string LeakReport();
  // Transfers still pending on a handle (all handles when null).
  std::size_t PendingTransfers(HANDLE file = nullptr);

  // ------------------------------------------------------------ for devices (world locked)
  std::unique_lock<std::mutex> Lock();
  // Completes a pending request: error ERROR_SUCCESS or a Win32 error, data
  // already in the request's buffer. False if the request no longer exists.
  bool CompleteIoLocked(std::uint64_t requestId, DWORD error, DWORD transferred);
  // Schedule from inside a device callback.
  void ScheduleLocked(std::uint64_t delayMs, std::function<void()> action);
  std::uint64_t NowLocked() const { return now_; }

  // ------------------------------------------------------------ OsApi
  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override;
  BOOL FlushFileBuffers(HANDLE file) override;
  BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) override;
  HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
                          DWORD defaultTimeout, SECURITY_ATTRIBUTES* security) override;
  BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) override;
  HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) override;
  BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) override;
  BOOL FindClose(HANDLE search) override;
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) override;
  void GetLocalTime(SYSTEMTIME* time) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override;
  BOOL CancelIo(HANDLE file) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override;
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override;
  HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCWSTR name) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) override;
  HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override;
  DWORD ResumeThread(HANDLE thread) override;
  BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) override;
  DWORD GetTickCount() override;
  void Sleep(DWORD milliseconds) override;
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  void HidD_GetHidGuid(GUID* guid) override;
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override;
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override;
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override;
  NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                      HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                     HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) override;
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) override;
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                     USB_INTERFACE_DESCRIPTOR* descriptor) override;
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                        WINUSB_PIPE_INFORMATION* pipe) override;
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                            PVOID value) override;
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED* overlapped) override;
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED* overlapped) override;
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                              ULONG* length, ULONG flags) override;
  HMODULE GetModuleHandleW(LPCWSTR name) override;
  INT_PTR DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) override;
  INT_PTR DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc,
                                  LPARAM initParam) override;
  BOOL EndDialog(HWND dialog, INT_PTR result) override;
  HWND GetDlgItem(HWND dialog, int id) override;
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override;
  int GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) override;
  int GetWindowTextLengthW(HWND window) override;
  BOOL EnableWindow(HWND window, BOOL enable) override;
  BOOL IsWindowEnabled(HWND window) override;
  LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) override;
  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) override;
  BOOL KillTimer(HWND window, UINT_PTR id) override;
  int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) override;
  BOOL IsIconic(HWND window) override;
  BOOL GetClientRect(HWND window, RECT* rect) override;
  int GetSystemMetrics(int index) override;
  HDC BeginPaint(HWND window, PAINTSTRUCT* paint) override;
  BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) override;
  BOOL DrawIcon(HDC dc, int x, int y, HICON icon) override;
  HICON LoadIconW(HMODULE instance, LPCWSTR name) override;
  HBITMAP LoadBitmapW(HMODULE instance, LPCWSTR name) override;
  BOOL DeleteObject(HGDIOBJ object) override;
  HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) override;
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) override;
  DWORD SizeofResource(HMODULE module, HRSRC resource) override;
  LPVOID LockResource(HGLOBAL data) override;
  LANGID GetUserDefaultUILanguage() override;
  BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) override;
  BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) override;
  DWORD CommDlgExtendedError() override;
  UINT RegisterWindowMessageW(LPCWSTR name) override;
  BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override;
  LRESULT DispatchMessageW(const MSG* msg) override;
  HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override;
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override;
  int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                          LPCSTR defaultChar, BOOL* usedDefault) override;
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize) override;

 public:
  struct Impl;  // internals: sim/world_impl.h, shared by sim/world*.cpp only

 private:
  BOOL PipeTransfer(bool write, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                    PULONG transferred, OVERLAPPED* overlapped);
  // Wakes this world's waiters after a SetEvent in another world of its
  // session (no lock of the caller's held).
  void WakeFromSession();
  std::shared_ptr<Session> session_;
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<UserScript> user_;
  std::mutex mutex_;
  friend class UserScript;
  std::uint64_t now_ = 0;
  std::uint32_t subUs_ = 0;                    // below now_'s millisecond
  std::atomic<std::uint64_t> publishedUs_{0};  // NowUsLocked(), set under the lock wherever the clock moves
  void PublishClockLocked() { publishedUs_.store(NowUsLocked(), std::memory_order_release); }
  std::optional<UsbTiming> usbTiming_;
  std::uint32_t hidArrivalDelayMs_ = kDefaultHidArrivalDelayMs;
  friend struct Impl;
};

// The device instance id a device interface path names, as Windows builds
// interface paths from instance ids: "\\?\" (or "\\.\"), the id with '#' for
// '\', then "#{interface class}" (and a reference string after a further '\').
// "\\?\hid#vid_4e5b&pid_002a&mi_01&col03#7&1c2d3e4f&0&0002#{4d1e55b2-...}" names
// "hid\vid_4e5b&pid_002a&mi_01&col03\7&1c2d3e4f&0&0002". Instance ids compare
// without regard to case.
std::u16string InstanceIdOfInterface(const std::u16string& path);
// The setup classes the simulated devices install under.
inline constexpr GUID kUsbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
inline constexpr GUID kUsbDeviceSetupClass = {
    0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
inline constexpr GUID kHidSetupClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
inline constexpr GUID kSystemSetupClass = {
    0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// UTF-16 <-> UTF-8 helpers for tests and front-ends.
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

}  // namespace kv27::sim
