// An OS boundary that forwards every call to another one. Decorators that
// observe a few calls (the --verbose log, the traffic capture) derive from it
// and override only those; everything else reaches the inner boundary as it is.
#pragma once

#include "platform/os_api.h"

namespace w32 {

class ForwardingOsApi : public OsApi {
 public:
  explicit ForwardingOsApi(OsApi& inner) : inner_(inner) {}

  OsApi& inner() { return inner_; }

  DWORD GetLastError() override { return inner_.GetLastError(); }
  void SetLastError(DWORD error) override { inner_.SetLastError(error); }
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    return inner_.CreateFileW(path, access, share, security, disposition, flags, templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override { return inner_.CloseHandle(handle); }
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override {
    return inner_.ReadFile(file, buffer, toRead, read, overlapped);
  }
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override {
    return inner_.WriteFile(file, buffer, toWrite, written, overlapped);
  }
  BOOL FlushFileBuffers(HANDLE file) override { return inner_.FlushFileBuffers(file); }
  BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) override {
    return inner_.GetFileInformationByHandle(file, information);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override {
    return inner_.GetOverlappedResult(file, overlapped, transferred, wait);
  }
  BOOL CancelIo(HANDLE file) override { return inner_.CancelIo(file); }
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override {
    return inner_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
  }
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override {
    return inner_.GetModuleFileNameW(module, buffer, size);
  }
  BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) override {
    return inner_.CreateDirectoryW(path, security);
  }
  HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) override {
    return inner_.FindFirstFileW(pattern, data);
  }
  BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) override { return inner_.FindNextFileW(search, data); }
  BOOL FindClose(HANDLE search) override { return inner_.FindClose(search); }
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) override {
    return inner_.GetEnvironmentVariableW(name, buffer, size);
  }
  void GetLocalTime(SYSTEMTIME* time) override { inner_.GetLocalTime(time); }
  HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCWSTR name) override {
    return inner_.CreateEventW(security, manualReset, initialState, name);
  }
  BOOL SetEvent(HANDLE event) override { return inner_.SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return inner_.ResetEvent(event); }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return inner_.WaitForSingleObject(object, milliseconds);
  }
  HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override {
    return inner_.CreateThread(security, stackSize, start, parameter, flags, threadId);
  }
  DWORD ResumeThread(HANDLE thread) override { return inner_.ResumeThread(thread); }
  BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) override {
    return inner_.GetExitCodeThread(thread, exitCode);
  }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) override {
    return inner_.WaitForMultipleObjects(count, objects, waitAll, milliseconds);
  }
  HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
                          DWORD defaultTimeout, SECURITY_ATTRIBUTES* security) override {
    return inner_.CreateNamedPipeW(name, openMode, pipeMode, maxInstances, outSize, inSize, defaultTimeout, security);
  }
  INT_PTR DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc,
                                  LPARAM initParam) override {
    return inner_.DialogBoxIndirectParamW(instance, dialogTemplate, parent, proc, initParam);
  }
  HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) override {
    return inner_.FindResourceExW(module, type, name, language);
  }
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) override { return inner_.LoadResource(module, resource); }
  DWORD SizeofResource(HMODULE module, HRSRC resource) override { return inner_.SizeofResource(module, resource); }
  LPVOID LockResource(HGLOBAL data) override { return inner_.LockResource(data); }
  LANGID GetUserDefaultUILanguage() override { return inner_.GetUserDefaultUILanguage(); }
  DWORD GetTickCount() override { return inner_.GetTickCount(); }
  void Sleep(DWORD milliseconds) override { inner_.Sleep(milliseconds); }
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) override {
    return inner_.SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override {
    return inner_.SetupDiEnumDeviceInterfaces(set, devInfo, classGuid, index, data);
  }
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) override {
    return inner_.SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, devInfo);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override { return inner_.SetupDiDestroyDeviceInfoList(set); }
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override {
    return inner_.CM_Get_Parent(parent, node, flags);
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                              ULONG* length, ULONG flags) override {
    return inner_.CM_Get_DevNode_Registry_PropertyW(node, property, regDataType, buffer, length, flags);
  }
  void HidD_GetHidGuid(GUID* guid) override { inner_.HidD_GetHidGuid(guid); }
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    return inner_.HidD_GetAttributes(device, attributes);
  }
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override {
    return inner_.HidD_GetPreparsedData(device, data);
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override { return inner_.HidD_FreePreparsedData(data); }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override { return inner_.HidP_GetCaps(data, caps); }
  NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                      HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override {
    return inner_.HidP_GetSpecificButtonCaps(type, usagePage, linkCollection, usage, caps, length, data);
  }
  NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                     HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override {
    return inner_.HidP_GetSpecificValueCaps(type, usagePage, linkCollection, usage, caps, length, data);
  }
  BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) override {
    return inner_.WinUsb_Initialize(device, handle);
  }
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) override { return inner_.WinUsb_Free(handle); }
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                     USB_INTERFACE_DESCRIPTOR* descriptor) override {
    return inner_.WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor);
  }
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                        WINUSB_PIPE_INFORMATION* pipe) override {
    return inner_.WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, pipe);
  }
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                            PVOID value) override {
    return inner_.WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value);
  }
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED* overlapped) override {
    return inner_.WinUsb_WritePipe(handle, pipeId, buffer, length, transferred, overlapped);
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED* overlapped) override {
    return inner_.WinUsb_ReadPipe(handle, pipeId, buffer, length, transferred, overlapped);
  }
  UINT RegisterWindowMessageW(LPCWSTR name) override { return inner_.RegisterWindowMessageW(name); }
  BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    return inner_.PostMessageW(window, message, wParam, lParam);
  }
  LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    return inner_.SendMessageW(window, message, wParam, lParam);
  }
  HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override {
    return inner_.RegisterDeviceNotificationW(recipient, filter, flags);
  }
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override { return inner_.UnregisterDeviceNotification(handle); }
  HMODULE GetModuleHandleW(LPCWSTR name) override { return inner_.GetModuleHandleW(name); }
  INT_PTR DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc,
                          LPARAM initParam) override {
    return inner_.DialogBoxParamW(instance, templateName, parent, proc, initParam);
  }
  BOOL EndDialog(HWND dialog, INT_PTR result) override { return inner_.EndDialog(dialog, result); }
  HWND GetDlgItem(HWND dialog, int id) override { return inner_.GetDlgItem(dialog, id); }
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override { return inner_.SetWindowTextW(window, text); }
  int GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) override {
    return inner_.GetWindowTextW(window, buffer, maxCount);
  }
  int GetWindowTextLengthW(HWND window) override { return inner_.GetWindowTextLengthW(window); }
  BOOL EnableWindow(HWND window, BOOL enable) override { return inner_.EnableWindow(window, enable); }
  BOOL IsWindowEnabled(HWND window) override { return inner_.IsWindowEnabled(window); }
  LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) override {
    return inner_.SetWindowLongPtrW(window, index, value);
  }
  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) override {
    return inner_.SetTimer(window, id, elapse, proc);
  }
  BOOL KillTimer(HWND window, UINT_PTR id) override { return inner_.KillTimer(window, id); }
  int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) override {
    return inner_.MessageBoxW(owner, text, caption, type);
  }
  BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override {
    return inner_.PeekMessageW(msg, window, filterMin, filterMax, remove);
  }
  LRESULT DispatchMessageW(const MSG* msg) override { return inner_.DispatchMessageW(msg); }
  BOOL IsIconic(HWND window) override { return inner_.IsIconic(window); }
  BOOL GetClientRect(HWND window, RECT* rect) override { return inner_.GetClientRect(window, rect); }
  int GetSystemMetrics(int index) override { return inner_.GetSystemMetrics(index); }
  HDC BeginPaint(HWND window, PAINTSTRUCT* paint) override { return inner_.BeginPaint(window, paint); }
  BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) override { return inner_.EndPaint(window, paint); }
  BOOL DrawIcon(HDC dc, int x, int y, HICON icon) override { return inner_.DrawIcon(dc, x, y, icon); }
  HICON LoadIconW(HMODULE instance, LPCWSTR name) override { return inner_.LoadIconW(instance, name); }
  HBITMAP LoadBitmapW(HMODULE instance, LPCWSTR name) override { return inner_.LoadBitmapW(instance, name); }
  BOOL DeleteObject(HGDIOBJ object) override { return inner_.DeleteObject(object); }
  BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) override { return inner_.InitCommonControlsEx(init); }
  BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) override { return inner_.GetOpenFileNameW(ofn); }
  DWORD CommDlgExtendedError() override { return inner_.CommDlgExtendedError(); }
  int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                          LPCSTR defaultChar, BOOL* usedDefault) override {
    return inner_.WideCharToMultiByte(codePage, flags, text, length, out, outSize, defaultChar, usedDefault);
  }
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize) override {
    return inner_.MultiByteToWideChar(codePage, flags, text, length, out, outSize);
  }

 protected:
  OsApi& inner_;
};

}  // namespace w32
