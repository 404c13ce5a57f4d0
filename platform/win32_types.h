// Win32 types, structures and constants used by the system, in namespace w32.
//
// These mirror the Windows layouts of the build's pointer size: a 32-bit build
// (the product) has the 32-bit platform's, a 64-bit one (the 64-bit Windows
// program, and the native builds that run over the simulated world) the 64-bit
// platform's. The byte-packed records the protocols rely on are the same for
// both: the 365-byte hub connection record, the 267-byte descriptor request, the
// HID capability records. What differs is what holds a pointer or a pointer-sized
// integer (OVERLAPPED, the SetupAPI records, PAINTSTRUCT, OPENFILENAMEW) and the
// SetupAPI packing. The Windows builds check each size and offset against the
// platform headers (platform/win32_real.cpp). Text is UTF-16 everywhere: WCHAR is char16_t, which
// has the same size and representation as the platform's wchar_t on Windows.
//
// Nothing here includes <windows.h>; system code never sees its macros.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KV_WINAPI __stdcall
#else
#define KV_WINAPI
#endif

namespace w32 {

// ---------------------------------------------------------------- scalar types
using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using USAGE = std::uint16_t;
using WCHAR = char16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using NTSTATUS = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using LPDWORD = DWORD*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

// Handles are opaque pointers, as on Windows.
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HDEVINFO = void*;
using HDEVNOTIFY = void*;
// Configuration manager: a device node's handle, and the CR_* results.
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using WINUSB_INTERFACE_HANDLE = void*;
struct HIDP_PREPARSED_DATA_;
using PHIDP_PREPARSED_DATA = HIDP_PREPARSED_DATA_*;
struct HICON__;
using HICON = HICON__*;
struct HBITMAP__;
using HBITMAP = HBITMAP__*;
struct HDC__;
using HDC = HDC__*;
using HGDIOBJ = void*;
// A resource's information block (FindResourceExW) and its loaded data
// (LoadResource; LockResource gives the first byte).
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;
// A language: primary language in bits 0-9, sublanguage in bits 10-15.
using LANGID = WORD;
// A dialog template in memory (DLGTEMPLATE or DLGTEMPLATEEX and what follows).
struct DLGTEMPLATE;
using LPCDLGTEMPLATEW = const DLGTEMPLATE*;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;

using LPTHREAD_START_ROUTINE = DWORD(KV_WINAPI*)(LPVOID);
// Dialog procedure: TRUE when it handled the message (the result then goes in
// DWLP_MSGRESULT, or is the return value for the few messages that return it
// directly), FALSE for the dialog manager's default processing.
using DLGPROC = INT_PTR(KV_WINAPI*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void(KV_WINAPI*)(HWND, UINT, UINT_PTR, DWORD);
using LPOFNHOOKPROC = UINT_PTR(KV_WINAPI*)(HWND, UINT, WPARAM, LPARAM);

// A resource id as a name pointer (MAKEINTRESOURCEW), and the test for one.
inline LPCWSTR MAKEINTRESOURCEW(WORD id) { return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IS_INTRESOURCE(LPCWSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }
constexpr WORD LOWORD(ULONG_PTR v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(ULONG_PTR v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
  return static_cast<WPARAM>(low) | (static_cast<WPARAM>(high) << 16);
}
constexpr LPARAM MAKELPARAM(WORD low, WORD high) {
  return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// ---------------------------------------------------------------- structures
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// One directory entry, as FindFirstFileW and FindNextFileW give it.
struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
};

// What GetFileInformationByHandle gives for an open file. The volume's serial
// number and the file index together tell a file apart from every other one
// on the computer while it is open, whatever path it was opened by.
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

struct OVERLAPPED {
  ULONG_PTR Internal;      // completion status while/after the transfer runs
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
};

// SetupAPI. The platform packs these structures to 1 byte on 32-bit Windows and
// to 8 (their natural layout) on 64-bit Windows.
constexpr bool kPointerIs32Bit = sizeof(void*) == 4;
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif
struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
  DWORD cbSize;  // must be set to the fixed part's size: 6 (32-bit) or 8 (64-bit)
  WCHAR DevicePath[1];
};
#pragma pack(pop)
// The size SetupDiGetDeviceInterfaceDetailW wants in cbSize: the structure's own,
// padding included, which is 6 bytes on 32-bit and 8 on 64-bit Windows. Any other
// value fails with ERROR_INVALID_USER_BUFFER.
constexpr DWORD kDeviceInterfaceDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
static_assert(kDeviceInterfaceDetailFixedSize == (kPointerIs32Bit ? 6 : 8));
static_assert(sizeof(SP_DEVINFO_DATA) == (kPointerIs32Bit ? 28 : 32));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (kPointerIs32Bit ? 28 : 32));

// HID class driver.
struct HIDD_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};
static_assert(sizeof(HIDD_ATTRIBUTES) == 12);

struct HIDP_CAPS {
  USAGE Usage;
  USAGE UsagePage;
  USHORT InputReportByteLength;
  USHORT OutputReportByteLength;
  USHORT FeatureReportByteLength;
  USHORT Reserved[17];
  USHORT NumberLinkCollectionNodes;
  USHORT NumberInputButtonCaps;
  USHORT NumberInputValueCaps;
  USHORT NumberInputDataIndices;
  USHORT NumberOutputButtonCaps;
  USHORT NumberOutputValueCaps;
  USHORT NumberOutputDataIndices;
  USHORT NumberFeatureButtonCaps;
  USHORT NumberFeatureValueCaps;
  USHORT NumberFeatureDataIndices;
};
static_assert(sizeof(HIDP_CAPS) == 64);

struct HIDP_RANGE {
  USAGE UsageMin, UsageMax;
  USHORT StringMin, StringMax;
  USHORT DesignatorMin, DesignatorMax;
  USHORT DataIndexMin, DataIndexMax;
};
struct HIDP_NOT_RANGE {
  USAGE Usage, Reserved1;
  USHORT StringIndex, Reserved2;
  USHORT DesignatorIndex, Reserved3;
  USHORT DataIndex, Reserved4;
};

struct HIDP_BUTTON_CAPS {
  USAGE UsagePage;
  UCHAR ReportID;
  BOOLEAN IsAlias;
  USHORT BitField;
  USHORT LinkCollection;
  USAGE LinkUsage;
  USAGE LinkUsagePage;
  BOOLEAN IsRange;
  BOOLEAN IsStringRange;
  BOOLEAN IsDesignatorRange;
  BOOLEAN IsAbsolute;
  ULONG Reserved[10];
  union {
    HIDP_RANGE Range;
    HIDP_NOT_RANGE NotRange;
  };
};
static_assert(sizeof(HIDP_BUTTON_CAPS) == 72);

struct HIDP_VALUE_CAPS {
  USAGE UsagePage;
  UCHAR ReportID;
  BOOLEAN IsAlias;
  USHORT BitField;
  USHORT LinkCollection;
  USAGE LinkUsage;
  USAGE LinkUsagePage;
  BOOLEAN IsRange;
  BOOLEAN IsStringRange;
  BOOLEAN IsDesignatorRange;
  BOOLEAN IsAbsolute;
  BOOLEAN HasNull;
  UCHAR Reserved;
  USHORT BitSize;
  USHORT ReportCount;
  USHORT Reserved2[5];
  ULONG UnitsExp;
  ULONG Units;
  LONG LogicalMin, LogicalMax;
  LONG PhysicalMin, PhysicalMax;
  union {
    HIDP_RANGE Range;
    HIDP_NOT_RANGE NotRange;
  };
};
static_assert(sizeof(HIDP_VALUE_CAPS) == 72);

enum HIDP_REPORT_TYPE : int { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 };

constexpr NTSTATUS HIDP_STATUS_SUCCESS = 0x00110000;
constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<NTSTATUS>(0xC0110001u);
constexpr NTSTATUS HIDP_STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0110007u);
constexpr NTSTATUS HIDP_STATUS_USAGE_NOT_FOUND = static_cast<NTSTATUS>(0xC0110004u);

// USB descriptors and WinUSB.
#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);

enum USBD_PIPE_TYPE : int {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3,
};

// WinUsb_SetPipePolicy: the pipe's transfer time-out in milliseconds (a ULONG;
// 0, the default of bulk pipes, waits for ever).
constexpr ULONG PIPE_TRANSFER_TIMEOUT = 0x03;

struct WINUSB_PIPE_INFORMATION {
  USBD_PIPE_TYPE PipeType;
  UCHAR PipeId;
  USHORT MaximumPacketSize;
  UCHAR Interval;
};
static_assert(sizeof(WINUSB_PIPE_INFORMATION) == 12);

// USB host-controller and hub driver I/O controls. All byte-packed.
#pragma pack(push, 1)
struct USB_PIPE_INFO {
  USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
  ULONG ScheduleOffset;
};
// The fixed part of USB_NODE_CONNECTION_INFORMATION; the platform's pipe list
// follows it (see kConnectionRecordSize).
struct USB_NODE_CONNECTION_INFORMATION {
  ULONG ConnectionIndex;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  UCHAR CurrentConfigurationValue;
  BOOLEAN LowSpeed;
  BOOLEAN DeviceIsHub;
  USHORT DeviceAddress;
  ULONG NumberOfOpenPipes;
  ULONG ConnectionStatus;  // USB_CONNECTION_STATUS
};
struct USB_HUB_DESCRIPTOR {
  UCHAR bDescriptorLength;
  UCHAR bDescriptorType;
  UCHAR bNumberOfPorts;
  USHORT wHubCharacteristics;
  UCHAR bPowerOnToPowerGood;
  UCHAR bHubControlCurrent;
  UCHAR bRemoveAndPowerMask[64];
};
struct USB_HUB_INFORMATION {
  USB_HUB_DESCRIPTOR HubDescriptor;
  BOOLEAN HubIsBusPowered;
};
struct USB_NODE_INFORMATION {
  ULONG NodeType;  // USB_HUB_NODE: 0 UsbHub, 1 UsbMIParent
  union {
    USB_HUB_INFORMATION HubInformation;
    struct {
      ULONG NumberOfInterfaces;
    } MiParentInformation;
  } u;
};
struct USB_ROOT_HUB_NAME {
  ULONG ActualLength;
  WCHAR RootHubName[1];
};
struct USB_NODE_CONNECTION_NAME {
  ULONG ConnectionIndex;
  ULONG ActualLength;
  WCHAR NodeName[1];
};
struct USB_SETUP_PACKET {
  UCHAR bmRequest;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
// The fixed part of USB_DESCRIPTOR_REQUEST; the Data bytes follow it.
struct USB_DESCRIPTOR_REQUEST {
  ULONG ConnectionIndex;
  USB_SETUP_PACKET SetupPacket;
};
struct USB_NODE_CONNECTION_DRIVERKEY_NAME {
  ULONG ConnectionIndex;
  ULONG ActualLength;
  WCHAR DriverKeyName[1];
};
#pragma pack(pop)
static_assert(sizeof(USB_PIPE_INFO) == 11);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 35);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor) + offsetof(USB_DEVICE_DESCRIPTOR, idVendor) ==
              12);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == 24);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31);
static_assert(sizeof(USB_HUB_DESCRIPTOR) == 71);
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
static_assert(offsetof(USB_NODE_INFORMATION, u) + offsetof(USB_HUB_DESCRIPTOR, bNumberOfPorts) == 6);
static_assert(sizeof(USB_ROOT_HUB_NAME) == 6);
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == 10);
static_assert(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == 10);
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12);

// Connection record with room for 30 pipes: 35 + 30 * 11 bytes.
constexpr DWORD kConnectionRecordSize = 365;
// Descriptor request with 255 data bytes: 12 + 255 bytes.
constexpr DWORD kDescriptorRequestSize = 267;

enum USB_CONNECTION_STATUS : ULONG {
  NoDeviceConnected = 0,
  DeviceConnected = 1,
  DeviceFailedEnumeration = 2,
  DeviceGeneralFailure = 3,
  DeviceCausedOvercurrent = 4,
  DeviceNotEnoughPower = 5,
  DeviceNotEnoughBandwidth = 6,
  DeviceHubNestedTooDeeply = 7,
  DeviceInLegacyHub = 8,
  DeviceEnumerating = 9,
  DeviceReset = 10,
};

constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = 0x220408;  // same code; the target decides
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
constexpr DWORD IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = 0x220410;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;

// Configuration manager results and the one device property read here.
constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_INVALID_DEVINST = CR_INVALID_DEVNODE;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
constexpr CONFIGRET CR_NO_SUCH_DEVINST = CR_NO_SUCH_DEVNODE;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
constexpr CONFIGRET CR_INVALID_PROPERTY = 0x35;
constexpr ULONG CM_DRP_MIN = 0x01;
constexpr ULONG CM_DRP_DRIVER = 0x0A;  // the device's software key under its setup class, REG_SZ
constexpr ULONG CM_DRP_MAX = 0x23;
constexpr ULONG REG_SZ = 1;

// Device notifications.
struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};
struct DEV_BROADCAST_DEVICEINTERFACE_W {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  WCHAR dbcc_name[1];
};
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);

// ---------------------------------------------------------------- window system structures
struct RECT {
  LONG left, top, right, bottom;
};
struct POINT {
  LONG x, y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
// The file dialog's in/out record (the full form: 88 bytes on 32-bit Windows,
// 152 on 64-bit).
struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HMODULE hInstance;
  LPCWSTR lpstrFilter;  // pairs of NUL-terminated texts, ended by an empty one
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;
  LPWSTR lpstrFile;  // in: initial name; out: the chosen full path
  DWORD nMaxFile;    // units in lpstrFile, terminator included
  LPWSTR lpstrFileTitle;
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;
  WORD nFileExtension;
  LPCWSTR lpstrDefExt;
  LPARAM lCustData;
  LPOFNHOOKPROC lpfnHook;
  LPCWSTR lpTemplateName;
  void* pvReserved;
  DWORD dwReserved;
  DWORD FlagsEx;
};

// ---------------------------------------------------------------- constants
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
// Named pipes (CreateNamedPipeW): open and pipe modes.
constexpr DWORD PIPE_ACCESS_INBOUND = 0x1;
constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x2;
constexpr DWORD PIPE_ACCESS_DUPLEX = 0x3;
constexpr DWORD PIPE_TYPE_BYTE = 0x0;
constexpr DWORD PIPE_READMODE_BYTE = 0x0;
constexpr DWORD PIPE_WAIT = 0x0;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_LISTENING = 536;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_ALREADY_INITIALIZED = 1247;
constexpr DWORD ERROR_SECRET_TOO_LONG = 1382;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD DIGCF_DEFAULT = 0x1;
constexpr DWORD DIGCF_PRESENT = 0x2;
constexpr DWORD DIGCF_ALLCLASSES = 0x4;
constexpr DWORD DIGCF_PROFILE = 0x8;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
constexpr DWORD SPINT_ACTIVE = 0x1;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_QUERYDRAGICON = 0x0037;
constexpr UINT WM_ICONERASEBKGND = 0x0027;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_TIMER = 0x0113;
// PeekMessage: removal and the kinds of messages looked at (QS_* << 16).
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_QS_INPUT = 0x04070000;
constexpr UINT PM_QS_POSTMESSAGE = 0x00980000;
constexpr UINT PM_QS_PAINT = 0x00200000;
constexpr UINT PM_QS_SENDMESSAGE = 0x00400000;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_HELP = 0x0053;
constexpr UINT STM_SETIMAGE = 0x0172;
constexpr UINT STM_GETIMAGE = 0x0173;
constexpr UINT PBM_SETRANGE = 0x0401;
constexpr UINT PBM_SETPOS = 0x0402;
constexpr UINT PBM_SETRANGE32 = 0x0406;
constexpr UINT PBM_GETRANGE = 0x0407;
constexpr UINT PBM_GETPOS = 0x0408;
constexpr WORD BN_CLICKED = 0;
constexpr WPARAM ICON_SMALL = 0;
constexpr WPARAM ICON_BIG = 1;
constexpr WPARAM IMAGE_BITMAP = 0;
constexpr WPARAM IMAGE_ICON = 1;
constexpr int DWLP_MSGRESULT = 0;
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_CHILD = 0x40000000u;
constexpr DWORD WS_MINIMIZE = 0x20000000u;
constexpr DWORD WS_VISIBLE = 0x10000000u;
constexpr DWORD WS_DISABLED = 0x08000000u;
constexpr DWORD WS_CAPTION = 0x00C00000u;
constexpr DWORD WS_BORDER = 0x00800000u;
constexpr DWORD WS_SYSMENU = 0x00080000u;
constexpr DWORD WS_GROUP = 0x00020000u;
constexpr DWORD WS_TABSTOP = 0x00010000u;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000u;
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_FIXEDSYS = 0x0008;
constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;
constexpr DWORD SS_RIGHT = 0x2;
constexpr DWORD SS_BITMAP = 0xE;
constexpr DWORD SS_TYPEMASK = 0x1F;
constexpr DWORD ES_AUTOHSCROLL = 0x80;
constexpr DWORD ES_READONLY = 0x800;
constexpr DWORD BS_PUSHBUTTON = 0x0;

// Message boxes: buttons, icons and answers.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_TYPEMASK = 0xF;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONASTERISK = 0x40;
constexpr UINT MB_ICONMASK = 0xF0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Common controls and the file dialog.
constexpr DWORD ICC_WIN95_CLASSES = 0xFF;
constexpr DWORD ICC_PROGRESS_CLASS = 0x20;
constexpr DWORD OFN_NOCHANGEDIR = 0x8;
constexpr DWORD OFN_FILEMUSTEXIST = 0x1000;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;
constexpr DWORD CDERR_STRUCTSIZE = 0x0001;

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

// Languages (LANGID) and resource types by ordinal.
constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_CHINESE = 0x04;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_ENGLISH_US = 0x01;
constexpr WORD SUBLANG_CHINESE_SIMPLIFIED = 0x02;
constexpr LANGID MAKELANGID(WORD primary, WORD sub) { return static_cast<LANGID>((sub << 10) | primary); }
constexpr WORD PRIMARYLANGID(LANGID language) { return static_cast<WORD>(language & 0x3FF); }
constexpr WORD kRtDialogOrdinal = 5;  // RT_DIALOG
constexpr WORD kRtStringOrdinal = 6;  // RT_STRING
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_USER = 0x0400;
constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x0;
constexpr DWORD DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 0x4;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

// ---------------------------------------------------------------- well-known GUIDs
// {4D1E55B2-F16F-11CF-88CB-001111000030}: the HID interface class.
constexpr GUID GUID_DEVINTERFACE_HID = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {A5DCBF10-6530-11D2-901F-00C04FB951ED}: USB devices.
constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

}  // namespace w32
