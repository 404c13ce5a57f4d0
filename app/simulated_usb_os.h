// The program's real windows over a simulated USB world.
//
// One OsApi composed of two: the window system (dialogs, controls, GDI, message
// boxes, the file dialog, resources, code pages, the program file and ordinary
// files) goes to `windows`, normally the real platform; the devices (device
// paths, SetupAPI, the configuration manager, HID, WinUSB, hub I/O controls,
// device notifications) and the
// kernel objects they work with (events, threads, waits, the clock) go to the
// simulated world. A person sees the program's own dialog while the mouse, its
// bootloader and the bus are virtual.
//
// Device arrivals and removals reach the real dialog as Windows delivers them:
// WM_DEVICECHANGE sent (not posted) to the registered window from another
// thread, the DEV_BROADCAST_DEVICEINTERFACE_W payload valid for the duration of
// the call, in the order they happened.
//
// In real-time mode the world's clock follows the wall clock (the window
// system's GetTickCount): a call that moved virtual time on returns only once
// as much real time has passed, so a two-second wait for the bootloader takes
// two seconds on screen; and while nobody waits in the world (the program sits
// in a message loop) a clock thread moves it on, so that devices that restart
// come back while a message box is up, as they do on a PC.
//
// With a log, what the user is shown is written one event a line: progress
// values, texts and enabled states of the dialog's controls, the device
// indicator's picture, and each message box's caption, text and answer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/os_api.h"
#include "sim/world.h"

namespace kv27 {

using namespace w32;

class SimulatedUsbOsApi final : public OsApi {
 public:
  struct Options {
    bool realTime = true;
    // One line (UTF-8, no newline) per event shown to the user; may be empty.
    std::function<void(const std::string&)> log;
  };
  SimulatedUsbOsApi(w32::OsApi& windows, sim::World& world, Options options);
  ~SimulatedUsbOsApi() override;
  SimulatedUsbOsApi(const SimulatedUsbOsApi&) = delete;
  SimulatedUsbOsApi& operator=(const SimulatedUsbOsApi&) = delete;

  // Ordinary file paths served by the world instead of `windows` (an image
  // file a scenario damages or removes). Compared without regard to case.
  void ServeFileFromWorld(const std::u16string& path);

  // True for a path that names a device (\\?\ or \\.\ prefix).
  static bool IsDevicePath(const std::u16string& path);

  // errors
  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;
  // files and devices
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override;
  BOOL FlushFileBuffers(HANDLE file) override;
  BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override;
  BOOL CancelIo(HANDLE file) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override;
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override;
  BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) override;
  HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) override;
  BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) override;
  BOOL FindClose(HANDLE search) override;
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) override;
  void GetLocalTime(SYSTEMTIME* time) override;
  // kernel objects, threads, time
  HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCWSTR name) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override;
  DWORD ResumeThread(HANDLE thread) override;
  HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
                          DWORD defaultTimeout, SECURITY_ATTRIBUTES* security) override;
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) override;
  BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) override;
  DWORD GetTickCount() override;
  void Sleep(DWORD milliseconds) override;
  // SetupAPI
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  // configuration manager
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                              ULONG* length, ULONG flags) override;
  // HID
  void HidD_GetHidGuid(GUID* guid) override;
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override;
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override;
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override;
  NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                      HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                     HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override;
  // WinUSB
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
  // windows and notifications
  UINT RegisterWindowMessageW(LPCWSTR name) override;
  BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override;
  LRESULT DispatchMessageW(const MSG* msg) override;
  HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override;
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override;
  // dialogs and controls
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
  // painting, icons, bitmaps
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
  // common controls and dialogs
  BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) override;
  BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) override;
  DWORD CommDlgExtendedError() override;
  // code pages
  int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                          LPCSTR defaultChar, BOOL* usedDefault) override;
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize) override;

 private:
  struct Notification {
    HWND window;
    WPARAM event;
    std::vector<std::uint8_t> payload;
  };
  template <typename R>
  R FromWindows(R result);
  template <typename R>
  R FromWorld(R result);
  bool IsWindowsHandle(HANDLE handle);
  bool IsWorldWindow(HWND window);
  bool ServedByWorld(const std::u16string& path);
  void Pace();
  void Log(const std::string& line);
  std::string ControlName(HWND window);
  // Records what `window` shows as `what`; true when it differs from before.
  bool Changed(HWND window, const std::string& what, const std::string& shown);
  void DeliveryLoop();
  void ClockLoop();

  w32::OsApi& windows_;
  sim::World& world_;
  Options options_;
  std::uint64_t worldStart_;
  DWORD wallStart_;

  std::mutex mutex_;
  std::set<HANDLE> windowsHandles_;                                // files opened on the real side
  std::set<std::u16string> worldFiles_;                            // lower case
  std::map<HWND, int> controlIds_;                                 // from GetDlgItem
  std::map<HBITMAP, WORD> bitmapIds_;                              // from LoadBitmapW
  std::map<std::pair<HWND, std::string>, std::string> lastShown_;  // to log only changes

  std::mutex deliveryMutex_;
  std::condition_variable deliveryCv_;
  std::deque<Notification> deliveries_;
  bool stopping_ = false;
  std::thread delivery_;
  std::thread clock_;  // real-time mode only
};

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string Utf8(const std::u16string& text);

}  // namespace kv27
