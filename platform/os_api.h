// The operating-system boundary.
//
// Every call the system makes to the operating system goes through an OsApi.
// The operations carry the Win32 names, argument order, results and last-error
// codes, so system code reads like code written straight against Win32. Two
// implementations exist:
//   - the real one (Windows builds, platform/win32_real.cpp), which forwards each
//     call to the platform;
//   - the simulated one (sim::World), with virtual devices, a virtual clock,
//     headless windows and fault injection.
// A process picks one at start-up (see MakeRealOsApi); tests build their own
// world and hand it to the objects under test.
//
// Threads: unless a contract says otherwise, every operation may be called from
// any thread. GetLastError is per thread, as on Windows.
#pragma once

#include <memory>

#include "platform/win32_types.h"

namespace w32 {

class OsApi {
 public:
  virtual ~OsApi() = default;

  // ------------------------------------------------------------ errors
  // Last error of the calling thread, set by the failing operations below.
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;

  // ------------------------------------------------------------ files and devices
  // Opens a file or a device interface path. Returns a handle, or
  // INVALID_HANDLE_VALUE with the last error set (ERROR_FILE_NOT_FOUND for a path
  // nobody serves, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ...).
  // FILE_FLAG_OVERLAPPED makes ReadFile/WriteFile on the handle asynchronous.
  virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                             DWORD flags, HANDLE templateFile) = 0;
  // Closes any handle this API returned (file, event, thread, ...). FALSE with
  // ERROR_INVALID_HANDLE for a handle that is not open. Pending I/O on a file
  // handle is cancelled.
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // Synchronous handle: TRUE when done, *transferred set. Overlapped handle: TRUE
  // when done at once (the OVERLAPPED's event is signalled), or FALSE with
  // ERROR_IO_PENDING; the OVERLAPPED's event is then signalled on completion and
  // GetOverlappedResult gives the outcome. Needs GENERIC_READ / GENERIC_WRITE
  // (ERROR_ACCESS_DENIED otherwise). A device that has left fails with
  // ERROR_DEVICE_NOT_CONNECTED.
  virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) = 0;
  virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) = 0;
  // Writes what the system still holds of the file to the disk. Needs a handle
  // with GENERIC_WRITE (ERROR_ACCESS_DENIED otherwise); FALSE with the disk's
  // error.
  virtual BOOL FlushFileBuffers(HANDLE file) = 0;
  // The attributes, size and identity of an open file (a handle opened with
  // any access, none included): dwVolumeSerialNumber with nFileIndexHigh and
  // nFileIndexLow are the same for every handle of one file and differ
  // between files. FALSE with ERROR_INVALID_HANDLE for a handle that is not a
  // file's.
  virtual BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) = 0;
  // The server end of a named pipe "\\.\pipe\name" (ERROR_INVALID_NAME for
  // another path), one instance; a client opens the other end with
  // CreateFileW(OPEN_EXISTING), ERROR_PIPE_BUSY while the instance has one.
  // openMode: PIPE_ACCESS_* with FILE_FLAG_OVERLAPPED; pipeMode: byte mode
  // (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT). A read waits for what the
  // other end writes and takes what is there, up to its length; once the other
  // end is closed it fails with ERROR_BROKEN_PIPE, a write with ERROR_NO_DATA.
  // INVALID_HANDLE_VALUE on failure.
  virtual HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize,
                                  DWORD inSize, DWORD defaultTimeout, SECURITY_ATTRIBUTES* security) = 0;
  // Outcome of an overlapped transfer. wait = FALSE on a transfer still running:
  // FALSE with ERROR_IO_INCOMPLETE. Otherwise TRUE with *transferred, or FALSE
  // with the transfer's error (ERROR_OPERATION_ABORTED after CancelIo).
  // wait = TRUE waits once for the OVERLAPPED's event, not for the transfer:
  // if something else sets that event, the call returns TRUE with the
  // transfer still running.
  virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) = 0;
  // Asks for the cancellation of the transfers the calling thread started on
  // the handle (not other threads'). Each completes later, with
  // ERROR_OPERATION_ABORTED unless the device completed it first, and signals
  // its event; GetOverlappedResult tells when.
  virtual BOOL CancelIo(HANDLE file) = 0;
  // Synchronous device I/O control (overlapped must be null for the I/O
  // controls this system uses). FALSE with the driver's error.
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                               LPDWORD returned, OVERLAPPED* overlapped) = 0;
  // Full path of the running program (module null). Returns the length copied
  // without terminator; size when truncated.
  virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) = 0;
  // Makes one directory. FALSE with ERROR_ALREADY_EXISTS when the name is
  // taken (by a directory or a file), ERROR_PATH_NOT_FOUND when the directory
  // above it does not exist.
  virtual BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) = 0;
  // The entries of one directory whose names match the last part of
  // `pattern` (* and ? wildcards, case-insensitive), "." and ".." included
  // where they match. FindFirstFileW gives the first entry and a search
  // handle, or INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (nothing
  // matches) or ERROR_PATH_NOT_FOUND (no such directory); FindNextFileW FALSE
  // with ERROR_NO_MORE_FILES after the last. The order is the file system's.
  // The search handle is closed with FindClose, not CloseHandle.
  virtual HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindClose(HANDLE search) = 0;

  // ------------------------------------------------------------ environment, local time
  // The value of an environment variable: its length without terminator when
  // it fits `size`, else the size needed with the terminator (nothing
  // copied); 0 with ERROR_ENVVAR_NOT_FOUND when it is not set.
  virtual DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) = 0;
  // The local date and time, to the millisecond.
  virtual void GetLocalTime(SYSTEMTIME* time) = 0;

  // ------------------------------------------------------------ kernel objects, threads, time
  // Event; a name makes it shared: a second create of the same name returns a
  // new handle to the existing object and sets ERROR_ALREADY_EXISTS. Null on
  // failure.
  virtual HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCWSTR name) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  // Waits for an event or a thread. WAIT_OBJECT_0 when signalled (an auto-reset
  // event is reset by the wait), WAIT_TIMEOUT, or WAIT_FAILED with the last error.
  // The timeout is in the clock of this API (see GetTickCount); once it has
  // passed, a later signal no longer ends the wait.
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  // Waits for one of `count` (1..64) events or threads, or for all of them at
  // once (waitAll). Any one: WAIT_OBJECT_0 + the smallest index of the
  // signalled objects, which alone is acquired. All: WAIT_OBJECT_0 once every
  // object is signalled, all acquired together (none before). WAIT_TIMEOUT, or
  // WAIT_FAILED with ERROR_INVALID_PARAMETER (bad count, the same object twice
  // in a wait for all) or ERROR_INVALID_HANDLE.
  virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) = 0;
  // Thread; CREATE_SUSPENDED holds it until ResumeThread. Null on failure.
  // The handle is signalled when the thread ends.
  virtual HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                              LPVOID parameter, DWORD flags, LPDWORD threadId) = 0;
  // Previous suspend count, or 0xFFFFFFFF on failure.
  virtual DWORD ResumeThread(HANDLE thread) = 0;
  // The thread's exit code (its start routine's result) once it has ended,
  // STILL_ACTIVE while it runs. FALSE with ERROR_INVALID_HANDLE for a handle
  // that is not a thread.
  virtual BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) = 0;
  // Milliseconds since start, 32 bits, wrapping. Differences are taken unsigned.
  virtual DWORD GetTickCount() = 0;
  virtual void Sleep(DWORD milliseconds) = 0;

  // ------------------------------------------------------------ SetupAPI
  // Set of present device interfaces of a class. flags must include
  // DIGCF_DEVICEINTERFACE. INVALID_HANDLE_VALUE on failure.
  virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) = 0;
  // Interface number `index` of the set. FALSE with ERROR_NO_MORE_ITEMS past the
  // end. data->cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA).
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                           SP_DEVICE_INTERFACE_DATA* data) = 0;
  // Device path of an interface. Without a buffer: FALSE, ERROR_INSUFFICIENT_BUFFER
  // and *requiredSize. With one: detail->cbSize must be the fixed part's size.
  // devInfo (optional; its cbSize must be sizeof(SP_DEVINFO_DATA), else
  // ERROR_INVALID_USER_BUFFER) receives the device the interface belongs to:
  // its setup class and its device node (DevInst).
  virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                                DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // ------------------------------------------------------------ configuration manager
  // The device tree. Flags must be 0 (CR_INVALID_FLAG); a node that is no
  // longer present gives CR_NO_SUCH_DEVINST, an unknown one CR_INVALID_DEVINST.
  // The node a device hangs on: CR_NO_SUCH_DEVNODE for the root of the tree.
  virtual CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) = 0;
  // A registry property of a node (CM_DRP_*; CR_INVALID_PROPERTY outside
  // CM_DRP_MIN..CM_DRP_MAX). *length: bytes of room on entry (0 when buffer is
  // null), the property's size on return. CR_BUFFER_SMALL (with the size) when
  // buffer is null or too small; CR_NO_SUCH_VALUE when the node has no such
  // property. *regDataType (optional) takes its REG_* type.
  virtual CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                                      ULONG* length, ULONG flags) = 0;

  // ------------------------------------------------------------ HID class driver
  virtual void HidD_GetHidGuid(GUID* guid) = 0;
  // Work on any handle of a HID interface, access 0 included. FALSE on failure.
  virtual BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) = 0;
  virtual BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) = 0;
  virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) = 0;
  // HIDP_STATUS_SUCCESS, or an HIDP error status.
  virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) = 0;
  // Capability entries of one report type matching usage page, link collection
  // and usage (0 matches all). *length: room on entry, entries filled on return;
  // HIDP_STATUS_BUFFER_TOO_SMALL when more would have matched.
  virtual NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                              USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                              PHIDP_PREPARSED_DATA data) = 0;
  virtual NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                             HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) = 0;

  // ------------------------------------------------------------ WinUSB
  // The file handle must have been opened with FILE_FLAG_OVERLAPPED.
  virtual BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) = 0;
  virtual BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) = 0;
  virtual BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                             USB_INTERFACE_DESCRIPTOR* descriptor) = 0;
  // ERROR_NO_MORE_ITEMS past the last pipe.
  virtual BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                                WINUSB_PIPE_INFORMATION* pipe) = 0;
  // Sets a policy of one pipe. PIPE_TRANSFER_TIMEOUT takes a ULONG of
  // milliseconds: a transfer on the pipe that the device has not completed by
  // then is cancelled and fails with ERROR_SEM_TIMEOUT.
  virtual BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                                    PVOID value) = 0;
  // Bulk/interrupt transfers. With overlapped null they are synchronous and,
  // with no transfer time-out set on the pipe, wait until the device completes
  // them.
  virtual BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                PULONG transferred, OVERLAPPED* overlapped) = 0;
  virtual BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                               PULONG transferred, OVERLAPPED* overlapped) = 0;

  // ------------------------------------------------------------ windows and notifications
  // Same name, same id, within the session. 0 on failure.
  virtual UINT RegisterWindowMessageW(LPCWSTR name) = 0;
  // Queues a message for the window's thread. FALSE with
  // ERROR_INVALID_WINDOW_HANDLE for a window that does not exist (null included).
  virtual BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Runs the window's procedure and returns its result. Sent to a null or
  // unknown window it does nothing and returns 0.
  virtual LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Registers a window (flags DEVICE_NOTIFY_WINDOW_HANDLE) for WM_DEVICECHANGE
  // on arrival and removal of interfaces of the filter's class
  // (DEV_BROADCAST_DEVICEINTERFACE_W). Null on failure.
  virtual HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) = 0;
  virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) = 0;

  // ------------------------------------------------------------ dialogs and controls (USER32)
  // Messages to windows of another thread: SendMessageW above blocks the caller
  // until the window's thread takes the message, which it does only while it
  // retrieves messages (a modal loop, a message box, GetMessage/PeekMessage) or
  // itself waits in SendMessageW. The caller meanwhile takes messages sent to
  // its own windows.
  //
  // The module handle of the running program (name null); null with
  // ERROR_MOD_NOT_FOUND otherwise.
  virtual HMODULE GetModuleHandleW(LPCWSTR name) = 0;
  // Builds the dialog of template `templateName` (MAKEINTRESOURCEW id) from the
  // module's resources (the resource loader picks the language: the user's UI
  // language when the module has it), owned by `parent` (may be null), sends WM_SETFONT (shell
  // font templates) and WM_INITDIALOG (wParam: the first tab-stop control,
  // lParam: `initParam`) to `proc`, and runs the modal loop until EndDialog.
  // Returns EndDialog's result; -1 with the last error when the dialog cannot
  // be made (a missing template: ERROR_RESOURCE_NAME_NOT_FOUND, or
  // ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_RESOURCE_DATA_NOT_FOUND when the
  // module has no dialogs / no resources at all; ERROR_CANNOT_FIND_WND_CLASS
  // for a control class not registered, e.g. the progress bar before
  // InitCommonControlsEx).
  // The owner is disabled while the dialog runs.
  virtual INT_PTR DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc,
                                  LPARAM initParam) = 0;
  // The same from a template in memory (DialogBoxIndirectParamW): standard
  // (DLGTEMPLATE) or extended (DLGTEMPLATEEX) form, as a resource holds it; the
  // same results and errors, and ERROR_INVALID_PARAMETER for a null template.
  virtual INT_PTR DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc,
                                          LPARAM initParam) = 0;
  // Ends a modal dialog: the loop returns `result` once the current message is
  // handled, and the dialog is destroyed (WM_DESTROY) before DialogBoxParamW
  // returns. FALSE with ERROR_INVALID_WINDOW_HANDLE for a window that is not a
  // modal dialog.
  virtual BOOL EndDialog(HWND dialog, INT_PTR result) = 0;
  // A dialog's control. Null with ERROR_CONTROL_ID_NOT_FOUND (or
  // ERROR_INVALID_WINDOW_HANDLE for an unknown dialog).
  virtual HWND GetDlgItem(HWND dialog, int id) = 0;
  // Window text (WM_SETTEXT/WM_GETTEXT). GetWindowTextW copies at most
  // maxCount - 1 units and a terminator and returns the units copied; 0 with
  // ERROR_INVALID_WINDOW_HANDLE for an unknown window.
  virtual BOOL SetWindowTextW(HWND window, LPCWSTR text) = 0;
  virtual int GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) = 0;
  virtual int GetWindowTextLengthW(HWND window) = 0;
  // Returns nonzero when the window was disabled before the call.
  virtual BOOL EnableWindow(HWND window, BOOL enable) = 0;
  virtual BOOL IsWindowEnabled(HWND window) = 0;
  // Dialog procedures set a message's result here (index DWLP_MSGRESULT).
  // Returns the previous value; 0 with the last error on failure.
  virtual LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) = 0;
  // Timer `id` of the window: WM_TIMER (wParam id) is posted every `elapse` ms
  // (at least 10) while the thread retrieves messages and nothing else is
  // queued; setting an existing id restarts it. Returns id, or 0 with the last
  // error. KillTimer: FALSE for an unknown id (the code is undocumented; the
  // simulated world gives ERROR_INVALID_PARAMETER).
  virtual UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) = 0;
  virtual BOOL KillTimer(HWND window, UINT_PTR id) = 0;
  // A modal message box owned by `owner` (disabled while it is shown). It runs
  // its own message loop, so the thread's posted and sent messages and device
  // notifications are handled while it is up. Returns the button pressed
  // (IDOK, ...), 0 with the last error on failure.
  virtual int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) = 0;

  // One message of the calling thread's queue, as PeekMessageW. Without PM_QS_*
  // kinds (or with PM_QS_SENDMESSAGE) it first handles the messages other
  // threads sent to the thread's windows; then it takes the first posted
  // message for `window` (null: any of the thread's windows) in
  // [filterMin, filterMax] (0, 0: all), and after those a WM_PAINT of a window
  // that needs painting (PM_QS_PAINT). With only PM_QS_PAINT nothing but
  // WM_PAINT is looked at: sent, posted, timer and input messages stay where
  // they are. WM_PAINT stays in the queue until the window is painted.
  // FALSE when there is none.
  virtual BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) = 0;
  // Calls the window procedure of msg->hwnd with the message; its result.
  virtual LRESULT DispatchMessageW(const MSG* msg) = 0;

  // ------------------------------------------------------------ painting, icons and bitmaps (USER32, GDI32)
  virtual BOOL IsIconic(HWND window) = 0;
  virtual BOOL GetClientRect(HWND window, RECT* rect) = 0;
  virtual int GetSystemMetrics(int index) = 0;
  // Paint cycle of WM_PAINT: a device context for the invalid area, null on
  // failure; EndPaint always returns TRUE.
  virtual HDC BeginPaint(HWND window, PAINTSTRUCT* paint) = 0;
  virtual BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) = 0;
  virtual BOOL DrawIcon(HDC dc, int x, int y, HICON icon) = 0;
  // Icon / bitmap resource of the module (MAKEINTRESOURCEW id). Null with
  // ERROR_RESOURCE_NAME_NOT_FOUND (or _TYPE_ / _DATA_NOT_FOUND, as for
  // DialogBoxParamW) when the module has none. Icons loaded so are shared and never destroyed; a bitmap
  // is freed with DeleteObject (FALSE for an unknown object).
  virtual HICON LoadIconW(HMODULE instance, LPCWSTR name) = 0;
  virtual HBITMAP LoadBitmapW(HMODULE instance, LPCWSTR name) = 0;
  virtual BOOL DeleteObject(HGDIOBJ object) = 0;

  // ------------------------------------------------------------ resources and the user's language (KERNEL32)
  // The resource of `type` and `name` (MAKEINTRESOURCEW ids) in exactly the
  // language `language` (FindResourceExW). MAKELANGID(LANG_NEUTRAL,
  // SUBLANG_NEUTRAL) takes the language associated with the calling thread.
  // Null with ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND or
  // ERROR_RESOURCE_LANG_NOT_FOUND (ERROR_RESOURCE_DATA_NOT_FOUND for a module
  // without resources).
  virtual HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) = 0;
  // The data of a found resource (a handle for LockResource, never to be freed)
  // and its size in bytes; null / 0 for a handle FindResourceExW did not give.
  virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource) = 0;
  virtual DWORD SizeofResource(HMODULE module, HRSRC resource) = 0;
  // The first byte of loaded resource data; valid while the module is loaded.
  virtual LPVOID LockResource(HGLOBAL data) = 0;
  // The user's UI language: the language the user chose for the Windows
  // interface (else the system's preferred or installed one).
  virtual LANGID GetUserDefaultUILanguage() = 0;

  // ------------------------------------------------------------ common controls and dialogs
  // Registers the control classes of dwICC. FALSE when dwSize is not
  // sizeof(INITCOMMONCONTROLSEX).
  virtual BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) = 0;
  // The modal file-open dialog (its own message loop, as MessageBoxW). TRUE with
  // the chosen full path in lpstrFile and nFileOffset/nFileExtension set; FALSE
  // when the user cancels (CommDlgExtendedError 0) or on an error
  // (CDERR_STRUCTSIZE, FNERR_BUFFERTOOSMALL with the size needed in the first
  // WORD of lpstrFile, ...). Without OFN_NOCHANGEDIR the current directory
  // follows the choice.
  virtual BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) = 0;
  virtual DWORD CommDlgExtendedError() = 0;

  // ------------------------------------------------------------ code pages
  // As Win32: size in units including the terminator when length is -1; with
  // outSize 0 returns the size needed. 0 on failure.
  virtual int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                                  LPCSTR defaultChar, BOOL* usedDefault) = 0;
  virtual int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize) = 0;
};

// The real platform (Windows builds only); null elsewhere.
std::unique_ptr<OsApi> MakeRealOsApi();

}  // namespace w32
