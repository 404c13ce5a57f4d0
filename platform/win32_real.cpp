// The real platform: every OsApi operation forwards to the Win32, SetupAPI, HID
// or WinUSB function of the same name.
//
// Our types live in w32 (namespace w32); the platform's are the global ones
// (::HANDLE, ::OVERLAPPED, ...). Structures are passed through by pointer, so each
// one we hand over is checked below to have the platform's size and field
// offsets, and each constant to have the platform's value.
#include "platform/os_api.h"

// Our constants, taken before <windows.h> turns most of their names into macros.
// KV_CHECKED_CONSTANTS lists every w32 constant that the platform defines too.
#define KV_CHECKED_CONSTANTS(X)                    \
  X(GENERIC_READ)                                  \
  X(GENERIC_WRITE)                                 \
  X(FILE_SHARE_READ)                               \
  X(FILE_SHARE_WRITE)                              \
  X(FILE_SHARE_DELETE)                             \
  X(CREATE_NEW)                                    \
  X(CREATE_ALWAYS)                                 \
  X(OPEN_EXISTING)                                 \
  X(OPEN_ALWAYS)                                   \
  X(TRUNCATE_EXISTING)                             \
  X(FILE_ATTRIBUTE_DIRECTORY)                      \
  X(FILE_ATTRIBUTE_NORMAL)                         \
  X(FILE_FLAG_OVERLAPPED)                          \
  X(PIPE_ACCESS_INBOUND)                           \
  X(PIPE_ACCESS_OUTBOUND)                          \
  X(PIPE_ACCESS_DUPLEX)                            \
  X(PIPE_TYPE_BYTE)                                \
  X(PIPE_READMODE_BYTE)                            \
  X(PIPE_WAIT)                                     \
  X(ERROR_BROKEN_PIPE)                             \
  X(ERROR_INVALID_NAME)                            \
  X(ERROR_PIPE_BUSY)                               \
  X(ERROR_NO_DATA)                                 \
  X(ERROR_PIPE_LISTENING)                          \
  X(ERROR_SUCCESS)                                 \
  X(NO_ERROR)                                      \
  X(ERROR_INVALID_FUNCTION)                        \
  X(ERROR_FILE_NOT_FOUND)                          \
  X(ERROR_PATH_NOT_FOUND)                          \
  X(ERROR_TOO_MANY_OPEN_FILES)                     \
  X(ERROR_ACCESS_DENIED)                           \
  X(ERROR_INVALID_HANDLE)                          \
  X(ERROR_NOT_ENOUGH_MEMORY)                       \
  X(ERROR_OUTOFMEMORY)                             \
  X(ERROR_NO_MORE_FILES)                           \
  X(ERROR_WRITE_PROTECT)                           \
  X(ERROR_NOT_READY)                               \
  X(ERROR_BAD_LENGTH)                              \
  X(ERROR_WRITE_FAULT)                             \
  X(ERROR_GEN_FAILURE)                             \
  X(ERROR_SHARING_VIOLATION)                       \
  X(ERROR_HANDLE_EOF)                              \
  X(ERROR_NOT_SUPPORTED)                           \
  X(ERROR_DEV_NOT_EXIST)                           \
  X(ERROR_FILE_EXISTS)                             \
  X(ERROR_INVALID_PARAMETER)                       \
  X(ERROR_DISK_FULL)                               \
  X(ERROR_SEM_TIMEOUT)                             \
  X(ERROR_BUSY)                                    \
  X(ERROR_INSUFFICIENT_BUFFER)                     \
  X(ERROR_BAD_PATHNAME)                            \
  X(ERROR_ALREADY_EXISTS)                          \
  X(ERROR_ENVVAR_NOT_FOUND)                        \
  X(ERROR_FILENAME_EXCED_RANGE)                    \
  X(ERROR_NO_MORE_ITEMS)                           \
  X(ERROR_OPERATION_ABORTED)                       \
  X(ERROR_IO_INCOMPLETE)                           \
  X(ERROR_IO_PENDING)                              \
  X(ERROR_INVALID_FLAGS)                           \
  X(ERROR_CANTOPEN)                                \
  X(ERROR_DEVICE_NOT_CONNECTED)                    \
  X(ERROR_NOT_FOUND)                               \
  X(ERROR_ALREADY_INITIALIZED)                     \
  X(ERROR_SECRET_TOO_LONG)                         \
  X(ERROR_INVALID_WINDOW_HANDLE)                   \
  X(ERROR_TIMEOUT)                                 \
  X(ERROR_DEVICE_REMOVED)                          \
  X(ERROR_NOACCESS)                                \
  X(ERROR_INVALID_USER_BUFFER)                     \
  X(PIPE_TRANSFER_TIMEOUT)                         \
  X(INFINITE)                                      \
  X(WAIT_OBJECT_0)                                 \
  X(WAIT_ABANDONED)                                \
  X(WAIT_TIMEOUT)                                  \
  X(WAIT_FAILED)                                   \
  X(CREATE_SUSPENDED)                              \
  X(STILL_ACTIVE)                                  \
  X(DIGCF_DEFAULT)                                 \
  X(DIGCF_PRESENT)                                 \
  X(DIGCF_ALLCLASSES)                              \
  X(DIGCF_PROFILE)                                 \
  X(DIGCF_DEVICEINTERFACE)                         \
  X(SPINT_ACTIVE)                                  \
  X(WM_NULL)                                       \
  X(WM_DESTROY)                                    \
  X(WM_CLOSE)                                      \
  X(WM_SHOWWINDOW)                                 \
  X(WM_TIMER)                                      \
  X(WM_COMMAND)                                    \
  X(WM_DEVICECHANGE)                               \
  X(WM_USER)                                       \
  X(DBT_DEVNODES_CHANGED)                          \
  X(DBT_DEVICEARRIVAL)                             \
  X(DBT_DEVICEREMOVECOMPLETE)                      \
  X(DBT_DEVTYP_DEVICEINTERFACE)                    \
  X(DEVICE_NOTIFY_WINDOW_HANDLE)                   \
  X(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)           \
  X(CP_ACP)                                        \
  X(CP_THREAD_ACP)                                 \
  X(CP_UTF8)                                       \
  X(HIDP_STATUS_SUCCESS)                           \
  X(HIDP_STATUS_INVALID_PREPARSED_DATA)            \
  X(HIDP_STATUS_BUFFER_TOO_SMALL)                  \
  X(HIDP_STATUS_USAGE_NOT_FOUND)                   \
  X(IOCTL_USB_GET_ROOT_HUB_NAME)                   \
  X(IOCTL_USB_GET_NODE_INFORMATION)                \
  X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION)     \
  X(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) \
  X(IOCTL_USB_GET_NODE_CONNECTION_NAME)            \
  X(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME)  \
  X(CR_SUCCESS)                                    \
  X(CR_INVALID_POINTER)                            \
  X(CR_INVALID_FLAG)                               \
  X(CR_INVALID_DEVNODE)                            \
  X(CR_INVALID_DEVINST)                            \
  X(CR_NO_SUCH_DEVNODE)                            \
  X(CR_NO_SUCH_DEVINST)                            \
  X(CR_FAILURE)                                    \
  X(CR_BUFFER_SMALL)                               \
  X(CR_NO_SUCH_VALUE)                              \
  X(CR_INVALID_PROPERTY)                           \
  X(CM_DRP_MIN)                                    \
  X(CM_DRP_DRIVER)                                 \
  X(CM_DRP_MAX)                                    \
  X(REG_SZ)                                        \
  X(WM_PAINT)                                      \
  X(WM_QUERYDRAGICON)                              \
  X(WM_NCDESTROY)                                  \
  X(WM_ICONERASEBKGND)                             \
  X(WM_SETFONT)                                    \
  X(WM_SETICON)                                    \
  X(WM_SETTEXT)                                    \
  X(WM_GETTEXT)                                    \
  X(WM_GETTEXTLENGTH)                              \
  X(WM_INITDIALOG)                                 \
  X(WM_HELP)                                       \
  X(STM_SETIMAGE)                                  \
  X(STM_GETIMAGE)                                  \
  X(PBM_SETRANGE)                                  \
  X(PBM_SETPOS)                                    \
  X(PBM_SETRANGE32)                                \
  X(PBM_GETRANGE)                                  \
  X(PBM_GETPOS)                                    \
  X(BN_CLICKED)                                    \
  X(ICON_SMALL)                                    \
  X(ICON_BIG)                                      \
  X(IMAGE_BITMAP)                                  \
  X(IMAGE_ICON)                                    \
  X(DWLP_MSGRESULT)                                \
  X(SM_CXICON)                                     \
  X(SM_CYICON)                                     \
  X(WS_POPUP)                                      \
  X(WS_CHILD)                                      \
  X(WS_MINIMIZE)                                   \
  X(WS_VISIBLE)                                    \
  X(WS_DISABLED)                                   \
  X(WS_CAPTION)                                    \
  X(WS_BORDER)                                     \
  X(WS_SYSMENU)                                    \
  X(WS_GROUP)                                      \
  X(WS_TABSTOP)                                    \
  X(WS_EX_APPWINDOW)                               \
  X(DS_MODALFRAME)                                 \
  X(DS_SETFONT)                                    \
  X(DS_FIXEDSYS)                                   \
  X(DS_SHELLFONT)                                  \
  X(SS_RIGHT)                                      \
  X(SS_BITMAP)                                     \
  X(SS_TYPEMASK)                                   \
  X(ES_AUTOHSCROLL)                                \
  X(ES_READONLY)                                   \
  X(BS_PUSHBUTTON)                                 \
  X(MB_OK)                                         \
  X(MB_OKCANCEL)                                   \
  X(MB_YESNO)                                      \
  X(MB_TYPEMASK)                                   \
  X(MB_ICONHAND)                                   \
  X(MB_ICONEXCLAMATION)                            \
  X(MB_ICONMASK)                                   \
  X(IDOK)                                          \
  X(IDCANCEL)                                      \
  X(IDYES)                                         \
  X(IDNO)                                          \
  X(ICC_WIN95_CLASSES)                             \
  X(ICC_PROGRESS_CLASS)                            \
  X(OFN_NOCHANGEDIR)                               \
  X(OFN_FILEMUSTEXIST)                             \
  X(FNERR_BUFFERTOOSMALL)                          \
  X(CDERR_STRUCTSIZE)                              \
  X(ERROR_MOD_NOT_FOUND)                           \
  X(ERROR_RESOURCE_DATA_NOT_FOUND)                 \
  X(ERROR_RESOURCE_TYPE_NOT_FOUND)                 \
  X(ERROR_RESOURCE_NAME_NOT_FOUND)                 \
  X(ERROR_RESOURCE_LANG_NOT_FOUND)                 \
  X(LANG_NEUTRAL)                                  \
  X(LANG_CHINESE)                                  \
  X(LANG_ENGLISH)                                  \
  X(SUBLANG_NEUTRAL)                               \
  X(SUBLANG_ENGLISH_US)                            \
  X(SUBLANG_CHINESE_SIMPLIFIED)                    \
  X(ERROR_CONTROL_ID_NOT_FOUND)                    \
  X(ERROR_CANNOT_FIND_WND_CLASS)                   \
  X(ERROR_INVALID_INDEX)

namespace kv_ours {
#define KV_TAKE(name) constexpr auto kv_##name = w32::name;
KV_CHECKED_CONSTANTS(KV_TAKE)
#undef KV_TAKE
}  // namespace kv_ours

// The order matters: each header needs some of the ones before it.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// MinGW's HID headers lack the extern "C" block the others have.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <winusb.h>
// MinGW's <winusbio.h> defines LowSpeed (a device speed value) as a macro,
// which would break the field of that name in <usbioctl.h>.
#undef LowSpeed
#include <usbioctl.h>
#include <dbt.h>
#include <commctrl.h>
#include <commdlg.h>
#include <cderr.h>
// clang-format on

// SetWindowLongPtrW is a macro for SetWindowLongW on 32-bit Windows; it would
// rename the OsApi operation of that name.
static LONG_PTR KvSetWindowLongPtr(::HWND window, int index, LONG_PTR value) {
  return SetWindowLongPtrW(window, index, value);
}
#undef SetWindowLongPtrW

#include <cstddef>
#include <memory>

// ------------------------------------------------------------------ constants
// A parameter next to ## is not macro-expanded: kv_ours::kv_NAME is our value, the
// bare name is the platform's macro (or enumerator).
#define KV_SAME_VALUE(name) \
  static_assert(static_cast<long long>(kv_ours::kv_##name) == static_cast<long long>(name), #name " differs");
KV_CHECKED_CONSTANTS(KV_SAME_VALUE)
#undef KV_SAME_VALUE

// Enumerators: ours in w32, the platform's at global scope.
#define KV_SAME_ENUMERATOR(name) \
  static_assert(static_cast<int>(w32::name) == static_cast<int>(::name), #name " differs");
KV_SAME_ENUMERATOR(HidP_Input)
KV_SAME_ENUMERATOR(HidP_Output)
KV_SAME_ENUMERATOR(HidP_Feature)
KV_SAME_ENUMERATOR(UsbdPipeTypeControl)
KV_SAME_ENUMERATOR(UsbdPipeTypeIsochronous)
KV_SAME_ENUMERATOR(UsbdPipeTypeBulk)
KV_SAME_ENUMERATOR(UsbdPipeTypeInterrupt)
KV_SAME_ENUMERATOR(NoDeviceConnected)
KV_SAME_ENUMERATOR(DeviceConnected)
KV_SAME_ENUMERATOR(DeviceFailedEnumeration)
KV_SAME_ENUMERATOR(DeviceGeneralFailure)
KV_SAME_ENUMERATOR(DeviceCausedOvercurrent)
KV_SAME_ENUMERATOR(DeviceNotEnoughPower)
KV_SAME_ENUMERATOR(DeviceNotEnoughBandwidth)
KV_SAME_ENUMERATOR(DeviceHubNestedTooDeeply)
KV_SAME_ENUMERATOR(DeviceInLegacyHub)
KV_SAME_ENUMERATOR(DeviceEnumerating)
KV_SAME_ENUMERATOR(DeviceReset)
#undef KV_SAME_ENUMERATOR
static_assert(w32::kDeviceInterfaceDetailFixedSize == sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_W));

// ------------------------------------------------------------------ layouts
// KV_SAME_SIZE(type, bytes): the same size on both architectures;
// KV_SAME_SIZE_BY_ARCH(type, bytes32, bytes64): a structure that holds pointers.
#define KV_SAME_SIZE_BY_ARCH(type, bytes32, bytes64)                                 \
  static_assert(sizeof(w32::type) == sizeof(::type), #type ": size differs");        \
  static_assert(sizeof(::type) == (sizeof(void*) == 4 ? (bytes32) : (bytes64)),      \
                #type ": not the platform's documented size for this architecture"); \
  static_assert(alignof(w32::type) <= alignof(::type), #type ": stricter alignment")
#define KV_SAME_SIZE(type, bytes) KV_SAME_SIZE_BY_ARCH(type, bytes, bytes)
#define KV_SAME_OFFSET(type, field) \
  static_assert(offsetof(w32::type, field) == offsetof(::type, field), #type "." #field ": offset differs")

static_assert(sizeof(w32::WCHAR) == sizeof(::WCHAR) && sizeof(w32::DWORD) == sizeof(::DWORD) &&
              sizeof(w32::ULONG) == sizeof(::ULONG) && sizeof(w32::LONG) == sizeof(::LONG) &&
              sizeof(w32::BOOL) == sizeof(::BOOL) && sizeof(w32::ULONG_PTR) == sizeof(::ULONG_PTR) &&
              sizeof(w32::WPARAM) == sizeof(::WPARAM) && sizeof(w32::LPARAM) == sizeof(::LPARAM) &&
              sizeof(w32::LRESULT) == sizeof(::LRESULT) && sizeof(w32::NTSTATUS) == sizeof(::NTSTATUS) &&
              sizeof(w32::HIDP_REPORT_TYPE) == sizeof(::HIDP_REPORT_TYPE) &&
              sizeof(w32::DEVINST) == sizeof(::DEVINST) && sizeof(w32::CONFIGRET) == sizeof(::CONFIGRET));

KV_SAME_SIZE(GUID, 16);
KV_SAME_OFFSET(GUID, Data2);
KV_SAME_OFFSET(GUID, Data4);

KV_SAME_SIZE_BY_ARCH(SECURITY_ATTRIBUTES, 12, 24);
KV_SAME_OFFSET(SECURITY_ATTRIBUTES, lpSecurityDescriptor);
KV_SAME_OFFSET(SECURITY_ATTRIBUTES, bInheritHandle);

KV_SAME_SIZE(FILETIME, 8);
KV_SAME_SIZE(SYSTEMTIME, 16);
KV_SAME_OFFSET(SYSTEMTIME, wDay);
KV_SAME_OFFSET(SYSTEMTIME, wMilliseconds);
KV_SAME_SIZE(WIN32_FIND_DATAW, 592);
KV_SAME_SIZE(BY_HANDLE_FILE_INFORMATION, 52);
KV_SAME_OFFSET(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
KV_SAME_OFFSET(BY_HANDLE_FILE_INFORMATION, nFileIndexLow);
KV_SAME_OFFSET(WIN32_FIND_DATAW, ftLastWriteTime);
KV_SAME_OFFSET(WIN32_FIND_DATAW, nFileSizeLow);
KV_SAME_OFFSET(WIN32_FIND_DATAW, cFileName);
KV_SAME_OFFSET(WIN32_FIND_DATAW, cAlternateFileName);

KV_SAME_SIZE_BY_ARCH(OVERLAPPED, 20, 32);
KV_SAME_OFFSET(OVERLAPPED, InternalHigh);
static_assert(offsetof(w32::OVERLAPPED, u.s.Offset) == offsetof(::OVERLAPPED, Offset));
static_assert(offsetof(w32::OVERLAPPED, u.s.OffsetHigh) == offsetof(::OVERLAPPED, OffsetHigh));
KV_SAME_OFFSET(OVERLAPPED, hEvent);

KV_SAME_SIZE_BY_ARCH(SP_DEVINFO_DATA, 28, 32);
KV_SAME_OFFSET(SP_DEVINFO_DATA, ClassGuid);
KV_SAME_OFFSET(SP_DEVINFO_DATA, DevInst);
KV_SAME_OFFSET(SP_DEVINFO_DATA, Reserved);

KV_SAME_SIZE_BY_ARCH(SP_DEVICE_INTERFACE_DATA, 28, 32);
KV_SAME_OFFSET(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid);
KV_SAME_OFFSET(SP_DEVICE_INTERFACE_DATA, Flags);
KV_SAME_OFFSET(SP_DEVICE_INTERFACE_DATA, Reserved);

KV_SAME_SIZE_BY_ARCH(SP_DEVICE_INTERFACE_DETAIL_DATA_W, 6, 8);
KV_SAME_OFFSET(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

KV_SAME_SIZE(HIDD_ATTRIBUTES, 12);
KV_SAME_OFFSET(HIDD_ATTRIBUTES, VendorID);
KV_SAME_OFFSET(HIDD_ATTRIBUTES, ProductID);
KV_SAME_OFFSET(HIDD_ATTRIBUTES, VersionNumber);

KV_SAME_SIZE(HIDP_CAPS, 64);
KV_SAME_OFFSET(HIDP_CAPS, InputReportByteLength);
KV_SAME_OFFSET(HIDP_CAPS, OutputReportByteLength);
KV_SAME_OFFSET(HIDP_CAPS, FeatureReportByteLength);
KV_SAME_OFFSET(HIDP_CAPS, NumberLinkCollectionNodes);
KV_SAME_OFFSET(HIDP_CAPS, NumberInputButtonCaps);
KV_SAME_OFFSET(HIDP_CAPS, NumberOutputValueCaps);
KV_SAME_OFFSET(HIDP_CAPS, NumberFeatureValueCaps);
KV_SAME_OFFSET(HIDP_CAPS, NumberFeatureDataIndices);

KV_SAME_SIZE(HIDP_BUTTON_CAPS, 72);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, ReportID);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, LinkCollection);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, IsRange);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, IsAbsolute);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, Range);
KV_SAME_OFFSET(HIDP_BUTTON_CAPS, NotRange);
static_assert(offsetof(w32::HIDP_BUTTON_CAPS, NotRange.Usage) == offsetof(::HIDP_BUTTON_CAPS, NotRange.Usage));
static_assert(offsetof(w32::HIDP_BUTTON_CAPS, NotRange.DataIndex) == offsetof(::HIDP_BUTTON_CAPS, NotRange.DataIndex));
static_assert(offsetof(w32::HIDP_BUTTON_CAPS, Range.UsageMax) == offsetof(::HIDP_BUTTON_CAPS, Range.UsageMax));

KV_SAME_SIZE(HIDP_VALUE_CAPS, 72);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, ReportID);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, LinkCollection);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, IsRange);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, HasNull);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, BitSize);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, ReportCount);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, UnitsExp);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, LogicalMin);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, PhysicalMax);
KV_SAME_OFFSET(HIDP_VALUE_CAPS, Range);
static_assert(offsetof(w32::HIDP_VALUE_CAPS, NotRange.Usage) == offsetof(::HIDP_VALUE_CAPS, NotRange.Usage));
static_assert(offsetof(w32::HIDP_VALUE_CAPS, NotRange.DataIndex) == offsetof(::HIDP_VALUE_CAPS, NotRange.DataIndex));

KV_SAME_SIZE(USB_DEVICE_DESCRIPTOR, 18);
KV_SAME_OFFSET(USB_DEVICE_DESCRIPTOR, idVendor);
KV_SAME_OFFSET(USB_DEVICE_DESCRIPTOR, idProduct);
KV_SAME_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice);
KV_SAME_OFFSET(USB_DEVICE_DESCRIPTOR, bNumConfigurations);

KV_SAME_SIZE(USB_INTERFACE_DESCRIPTOR, 9);
KV_SAME_OFFSET(USB_INTERFACE_DESCRIPTOR, bNumEndpoints);
KV_SAME_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceClass);
KV_SAME_OFFSET(USB_INTERFACE_DESCRIPTOR, iInterface);

KV_SAME_SIZE(WINUSB_PIPE_INFORMATION, 12);
KV_SAME_OFFSET(WINUSB_PIPE_INFORMATION, PipeId);
KV_SAME_OFFSET(WINUSB_PIPE_INFORMATION, MaximumPacketSize);
KV_SAME_OFFSET(WINUSB_PIPE_INFORMATION, Interval);

KV_SAME_SIZE(USB_PIPE_INFO, 11);
KV_SAME_OFFSET(USB_PIPE_INFO, ScheduleOffset);

KV_SAME_SIZE(USB_NODE_CONNECTION_INFORMATION, 35);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, CurrentConfigurationValue);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, LowSpeed);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, DeviceAddress);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes);
KV_SAME_OFFSET(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus);
static_assert(offsetof(::USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31);
static_assert(offsetof(::USB_NODE_CONNECTION_INFORMATION, PipeList) == sizeof(w32::USB_NODE_CONNECTION_INFORMATION));

KV_SAME_SIZE(USB_HUB_DESCRIPTOR, 71);
KV_SAME_OFFSET(USB_HUB_DESCRIPTOR, bNumberOfPorts);
KV_SAME_OFFSET(USB_HUB_DESCRIPTOR, bRemoveAndPowerMask);
KV_SAME_SIZE(USB_HUB_INFORMATION, 72);
KV_SAME_OFFSET(USB_HUB_INFORMATION, HubIsBusPowered);
KV_SAME_SIZE(USB_NODE_INFORMATION, 76);
KV_SAME_OFFSET(USB_NODE_INFORMATION, u);
static_assert(offsetof(w32::USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) ==
              offsetof(::USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts));
static_assert(offsetof(w32::USB_NODE_INFORMATION, u.MiParentInformation.NumberOfInterfaces) ==
              offsetof(::USB_NODE_INFORMATION, u.MiParentInformation.NumberOfInterfaces));

KV_SAME_SIZE(USB_ROOT_HUB_NAME, 6);
KV_SAME_OFFSET(USB_ROOT_HUB_NAME, RootHubName);
KV_SAME_SIZE(USB_NODE_CONNECTION_NAME, 10);
KV_SAME_OFFSET(USB_NODE_CONNECTION_NAME, ActualLength);
KV_SAME_OFFSET(USB_NODE_CONNECTION_NAME, NodeName);
KV_SAME_SIZE(USB_NODE_CONNECTION_DRIVERKEY_NAME, 10);
KV_SAME_OFFSET(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength);
KV_SAME_OFFSET(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName);

KV_SAME_SIZE(USB_DESCRIPTOR_REQUEST, 12);
KV_SAME_OFFSET(USB_DESCRIPTOR_REQUEST, SetupPacket);
static_assert(offsetof(w32::USB_DESCRIPTOR_REQUEST, SetupPacket.wValue) ==
              offsetof(::USB_DESCRIPTOR_REQUEST, SetupPacket.wValue));
static_assert(offsetof(w32::USB_DESCRIPTOR_REQUEST, SetupPacket.wLength) ==
              offsetof(::USB_DESCRIPTOR_REQUEST, SetupPacket.wLength));
static_assert(offsetof(::USB_DESCRIPTOR_REQUEST, Data) == sizeof(w32::USB_DESCRIPTOR_REQUEST));

KV_SAME_SIZE(DEV_BROADCAST_HDR, 12);
KV_SAME_SIZE(DEV_BROADCAST_DEVICEINTERFACE_W, 32);
KV_SAME_OFFSET(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_devicetype);
KV_SAME_OFFSET(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid);
KV_SAME_OFFSET(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

KV_SAME_SIZE(RECT, 16);
KV_SAME_OFFSET(RECT, bottom);
KV_SAME_SIZE_BY_ARCH(PAINTSTRUCT, 64, 72);
KV_SAME_OFFSET(PAINTSTRUCT, rcPaint);
KV_SAME_OFFSET(PAINTSTRUCT, rgbReserved);
KV_SAME_SIZE(INITCOMMONCONTROLSEX, 8);
KV_SAME_OFFSET(INITCOMMONCONTROLSEX, dwICC);
// The platform packs it to 1 byte on 32-bit Windows; its fields still fall on
// their natural offsets, which the checks below compare.
static_assert(sizeof(w32::OPENFILENAMEW) == sizeof(::OPENFILENAMEW) &&
              sizeof(::OPENFILENAMEW) == (sizeof(void*) == 4 ? 88 : 152));
KV_SAME_OFFSET(OPENFILENAMEW, lpstrFilter);
KV_SAME_OFFSET(OPENFILENAMEW, lpstrFile);
KV_SAME_OFFSET(OPENFILENAMEW, nMaxFile);
KV_SAME_OFFSET(OPENFILENAMEW, Flags);
KV_SAME_OFFSET(OPENFILENAMEW, nFileOffset);
KV_SAME_OFFSET(OPENFILENAMEW, nFileExtension);
KV_SAME_OFFSET(OPENFILENAMEW, lpstrDefExt);
KV_SAME_OFFSET(OPENFILENAMEW, FlagsEx);

#undef KV_SAME_SIZE
#undef KV_SAME_SIZE_BY_ARCH
#undef KV_SAME_OFFSET

namespace w32 {
namespace {

// Pointer conversions between our types and the platform's, checked above.
template <typename To, typename From>
To* As(From* p) {
  return reinterpret_cast<To*>(p);
}
template <typename To, typename From>
const To* As(const From* p) {
  return reinterpret_cast<const To*>(p);
}

::HWND Hwnd(HWND window) { return reinterpret_cast<::HWND>(window); }
HWND Ours(::HWND window) { return reinterpret_cast<HWND>(window); }

class RealOsApi final : public OsApi {
 public:
  // ---------------------------------------------------------------- errors
  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD error) override { ::SetLastError(error); }

  // ---------------------------------------------------------------- files and devices
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    return ::CreateFileW(As<wchar_t>(path), access, share, As<::SECURITY_ATTRIBUTES>(security), disposition, flags,
                         templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) override {
    return ::ReadFile(file, buffer, toRead, As<::DWORD>(read), As<::OVERLAPPED>(overlapped));
  }
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) override {
    return ::WriteFile(file, buffer, toWrite, As<::DWORD>(written), As<::OVERLAPPED>(overlapped));
  }
  HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
                          DWORD defaultTimeout, SECURITY_ATTRIBUTES* security) override {
    return ::CreateNamedPipeW(As<wchar_t>(name), openMode, pipeMode, maxInstances, outSize, inSize, defaultTimeout,
                              As<::SECURITY_ATTRIBUTES>(security));
  }
  BOOL FlushFileBuffers(HANDLE file) override { return ::FlushFileBuffers(file); }
  BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) override {
    return ::GetFileInformationByHandle(file, As<::BY_HANDLE_FILE_INFORMATION>(information));
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) override {
    return ::GetOverlappedResult(file, As<::OVERLAPPED>(overlapped), As<::DWORD>(transferred), wait);
  }
  BOOL CancelIo(HANDLE file) override { return ::CancelIo(file); }
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       OVERLAPPED* overlapped) override {
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, As<::DWORD>(returned),
                             As<::OVERLAPPED>(overlapped));
  }
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override {
    return ::GetModuleFileNameW(reinterpret_cast<::HMODULE>(module), As<wchar_t>(buffer), size);
  }
  BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) override {
    return ::CreateDirectoryW(As<wchar_t>(path), As<::SECURITY_ATTRIBUTES>(security));
  }
  HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) override {
    return ::FindFirstFileW(As<wchar_t>(pattern), As<::WIN32_FIND_DATAW>(data));
  }
  BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) override {
    return ::FindNextFileW(search, As<::WIN32_FIND_DATAW>(data));
  }
  BOOL FindClose(HANDLE search) override { return ::FindClose(search); }
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) override {
    return ::GetEnvironmentVariableW(As<wchar_t>(name), As<wchar_t>(buffer), size);
  }
  void GetLocalTime(SYSTEMTIME* time) override { ::GetLocalTime(As<::SYSTEMTIME>(time)); }

  // ---------------------------------------------------------------- kernel objects, threads, time
  HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState, LPCWSTR name) override {
    return ::CreateEventW(As<::SECURITY_ATTRIBUTES>(security), manualReset, initialState, As<wchar_t>(name));
  }
  BOOL SetEvent(HANDLE event) override { return ::SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return ::WaitForSingleObject(object, milliseconds);
  }
  HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override {
    // Same calling convention (__stdcall) and argument; the result type differs
    // only in spelling (unsigned int against unsigned long, both 32 bits).
    return ::CreateThread(As<::SECURITY_ATTRIBUTES>(security), stackSize,
                          reinterpret_cast<::LPTHREAD_START_ROUTINE>(start), parameter, flags, As<::DWORD>(threadId));
  }
  DWORD ResumeThread(HANDLE thread) override { return ::ResumeThread(thread); }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) override {
    return ::WaitForMultipleObjects(count, objects, waitAll, milliseconds);
  }
  BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) override {
    return ::GetExitCodeThread(thread, As<::DWORD>(exitCode));
  }
  DWORD GetTickCount() override { return ::GetTickCount(); }
  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

  // ---------------------------------------------------------------- SetupAPI
  HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) override {
    return ::SetupDiGetClassDevsW(As<::GUID>(classGuid), As<wchar_t>(enumerator), reinterpret_cast<::HWND>(parent),
                                  flags);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override {
    return ::SetupDiEnumDeviceInterfaces(set, As<::SP_DEVINFO_DATA>(devInfo), As<::GUID>(classGuid), index,
                                         As<::SP_DEVICE_INTERFACE_DATA>(data));
  }
  BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                        DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) override {
    return ::SetupDiGetDeviceInterfaceDetailW(set, As<::SP_DEVICE_INTERFACE_DATA>(data),
                                              As<::SP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail), detailSize,
                                              As<::DWORD>(requiredSize), As<::SP_DEVINFO_DATA>(devInfo));
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override { return ::SetupDiDestroyDeviceInfoList(set); }

  // ---------------------------------------------------------------- configuration manager
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override {
    return ::CM_Get_Parent(As<::DEVINST>(parent), node, flags);
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, ULONG* regDataType, PVOID buffer,
                                              ULONG* length, ULONG flags) override {
    return ::CM_Get_DevNode_Registry_PropertyW(node, property, As<::ULONG>(regDataType), buffer, As<::ULONG>(length),
                                               flags);
  }

  // ---------------------------------------------------------------- HID class driver
  void HidD_GetHidGuid(GUID* guid) override { ::HidD_GetHidGuid(As<::GUID>(guid)); }
  BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    return ::HidD_GetAttributes(device, As<::HIDD_ATTRIBUTES>(attributes));
  }
  BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override {
    return ::HidD_GetPreparsedData(device, reinterpret_cast<::PHIDP_PREPARSED_DATA*>(data));
  }
  BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override {
    return ::HidD_FreePreparsedData(reinterpret_cast<::PHIDP_PREPARSED_DATA>(data));
  }
  NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override {
    return ::HidP_GetCaps(reinterpret_cast<::PHIDP_PREPARSED_DATA>(data), As<::HIDP_CAPS>(caps));
  }
  NTSTATUS HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                      HIDP_BUTTON_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override {
    return ::HidP_GetSpecificButtonCaps(static_cast<::HIDP_REPORT_TYPE>(type), usagePage, linkCollection, usage,
                                        As<::HIDP_BUTTON_CAPS>(caps), length,
                                        reinterpret_cast<::PHIDP_PREPARSED_DATA>(data));
  }
  NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE usage,
                                     HIDP_VALUE_CAPS* caps, USHORT* length, PHIDP_PREPARSED_DATA data) override {
    return ::HidP_GetSpecificValueCaps(static_cast<::HIDP_REPORT_TYPE>(type), usagePage, linkCollection, usage,
                                       As<::HIDP_VALUE_CAPS>(caps), length,
                                       reinterpret_cast<::PHIDP_PREPARSED_DATA>(data));
  }

  // ---------------------------------------------------------------- WinUSB
  BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) override {
    return ::WinUsb_Initialize(device, handle);
  }
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) override { return ::WinUsb_Free(handle); }
  BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                     USB_INTERFACE_DESCRIPTOR* descriptor) override {
    return ::WinUsb_QueryInterfaceSettings(handle, alternateSetting, As<::USB_INTERFACE_DESCRIPTOR>(descriptor));
  }
  BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                        WINUSB_PIPE_INFORMATION* pipe) override {
    return ::WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, As<::WINUSB_PIPE_INFORMATION>(pipe));
  }
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policyType, ULONG valueLength,
                            PVOID value) override {
    return ::WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value);
  }
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                        OVERLAPPED* overlapped) override {
    return ::WinUsb_WritePipe(handle, pipeId, buffer, length, As<::ULONG>(transferred), As<::OVERLAPPED>(overlapped));
  }
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length, PULONG transferred,
                       OVERLAPPED* overlapped) override {
    return ::WinUsb_ReadPipe(handle, pipeId, buffer, length, As<::ULONG>(transferred), As<::OVERLAPPED>(overlapped));
  }

  // ---------------------------------------------------------------- windows and notifications
  UINT RegisterWindowMessageW(LPCWSTR name) override { return ::RegisterWindowMessageW(As<wchar_t>(name)); }
  BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    // Win32 would post a message for a null window to the calling thread's
    // queue, where no window procedure sees it; the contract refuses it instead.
    if (window == nullptr) {
      ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    return ::PostMessageW(reinterpret_cast<::HWND>(window), message, wParam, lParam);
  }
  BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) override {
    ::MSG m{};
    BOOL got = ::PeekMessageW(&m, reinterpret_cast<::HWND>(window), filterMin, filterMax, remove);
    if (got && msg) {
      msg->hwnd = reinterpret_cast<HWND>(m.hwnd);
      msg->message = m.message;
      msg->wParam = m.wParam;
      msg->lParam = m.lParam;
      msg->time = m.time;
      msg->pt = POINT{m.pt.x, m.pt.y};
    }
    return got;
  }
  LRESULT DispatchMessageW(const MSG* msg) override {
    if (!msg) return 0;
    ::MSG m{};
    m.hwnd = reinterpret_cast<::HWND>(msg->hwnd);
    m.message = msg->message;
    m.wParam = msg->wParam;
    m.lParam = msg->lParam;
    m.time = msg->time;
    m.pt = ::POINT{msg->pt.x, msg->pt.y};
    return ::DispatchMessageW(&m);
  }
  LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    return ::SendMessageW(reinterpret_cast<::HWND>(window), message, wParam, lParam);
  }
  HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override {
    return ::RegisterDeviceNotificationW(recipient, filter, flags);
  }
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override { return ::UnregisterDeviceNotification(handle); }

  // ---------------------------------------------------------------- dialogs and controls
  HMODULE GetModuleHandleW(LPCWSTR name) override {
    return reinterpret_cast<HMODULE>(::GetModuleHandleW(As<wchar_t>(name)));
  }
  INT_PTR DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc,
                          LPARAM initParam) override {
    // Same calling convention and arguments; the handle types differ only in name.
    return ::DialogBoxParamW(reinterpret_cast<::HINSTANCE>(instance), As<wchar_t>(templateName), Hwnd(parent),
                             reinterpret_cast<::DLGPROC>(proc), initParam);
  }
  INT_PTR DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc,
                                  LPARAM initParam) override {
    return ::DialogBoxIndirectParamW(reinterpret_cast<::HINSTANCE>(instance),
                                     reinterpret_cast<const ::DLGTEMPLATE*>(dialogTemplate), Hwnd(parent),
                                     reinterpret_cast<::DLGPROC>(proc), initParam);
  }
  BOOL EndDialog(HWND dialog, INT_PTR result) override { return ::EndDialog(Hwnd(dialog), result); }
  HWND GetDlgItem(HWND dialog, int id) override { return Ours(::GetDlgItem(Hwnd(dialog), id)); }
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override { return ::SetWindowTextW(Hwnd(window), As<wchar_t>(text)); }
  int GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) override {
    return ::GetWindowTextW(Hwnd(window), As<wchar_t>(buffer), maxCount);
  }
  int GetWindowTextLengthW(HWND window) override { return ::GetWindowTextLengthW(Hwnd(window)); }
  BOOL EnableWindow(HWND window, BOOL enable) override { return ::EnableWindow(Hwnd(window), enable); }
  BOOL IsWindowEnabled(HWND window) override { return ::IsWindowEnabled(Hwnd(window)); }
  LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) override {
    return KvSetWindowLongPtr(Hwnd(window), index, value);
  }
  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) override {
    return ::SetTimer(Hwnd(window), id, elapse, reinterpret_cast<::TIMERPROC>(proc));
  }
  BOOL KillTimer(HWND window, UINT_PTR id) override { return ::KillTimer(Hwnd(window), id); }
  int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) override {
    return ::MessageBoxW(Hwnd(owner), As<wchar_t>(text), As<wchar_t>(caption), type);
  }

  // ---------------------------------------------------------------- painting, icons and bitmaps
  BOOL IsIconic(HWND window) override { return ::IsIconic(Hwnd(window)); }
  BOOL GetClientRect(HWND window, RECT* rect) override { return ::GetClientRect(Hwnd(window), As<::RECT>(rect)); }
  int GetSystemMetrics(int index) override { return ::GetSystemMetrics(index); }
  HDC BeginPaint(HWND window, PAINTSTRUCT* paint) override {
    return reinterpret_cast<HDC>(::BeginPaint(Hwnd(window), As<::PAINTSTRUCT>(paint)));
  }
  BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) override {
    return ::EndPaint(Hwnd(window), As<::PAINTSTRUCT>(paint));
  }
  BOOL DrawIcon(HDC dc, int x, int y, HICON icon) override {
    return ::DrawIcon(reinterpret_cast<::HDC>(dc), x, y, reinterpret_cast<::HICON>(icon));
  }
  HICON LoadIconW(HMODULE instance, LPCWSTR name) override {
    return reinterpret_cast<HICON>(::LoadIconW(reinterpret_cast<::HINSTANCE>(instance), As<wchar_t>(name)));
  }
  HBITMAP LoadBitmapW(HMODULE instance, LPCWSTR name) override {
    return reinterpret_cast<HBITMAP>(::LoadBitmapW(reinterpret_cast<::HINSTANCE>(instance), As<wchar_t>(name)));
  }
  BOOL DeleteObject(HGDIOBJ object) override { return ::DeleteObject(object); }

  HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) override {
    return reinterpret_cast<HRSRC>(
        ::FindResourceExW(reinterpret_cast<::HMODULE>(module), As<wchar_t>(type), As<wchar_t>(name), language));
  }
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) override {
    return ::LoadResource(reinterpret_cast<::HMODULE>(module), reinterpret_cast<::HRSRC>(resource));
  }
  DWORD SizeofResource(HMODULE module, HRSRC resource) override {
    return ::SizeofResource(reinterpret_cast<::HMODULE>(module), reinterpret_cast<::HRSRC>(resource));
  }
  LPVOID LockResource(HGLOBAL data) override { return ::LockResource(data); }
  LANGID GetUserDefaultUILanguage() override { return ::GetUserDefaultUILanguage(); }

  // ---------------------------------------------------------------- common controls and dialogs
  BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) override {
    return ::InitCommonControlsEx(As<::INITCOMMONCONTROLSEX>(init));
  }
  BOOL GetOpenFileNameW(OPENFILENAMEW* ofn) override { return ::GetOpenFileNameW(As<::OPENFILENAMEW>(ofn)); }
  DWORD CommDlgExtendedError() override { return ::CommDlgExtendedError(); }

  // ---------------------------------------------------------------- code pages
  int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out, int outSize,
                          LPCSTR defaultChar, BOOL* usedDefault) override {
    return ::WideCharToMultiByte(codePage, flags, As<wchar_t>(text), length, out, outSize, defaultChar, usedDefault);
  }
  int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out, int outSize) override {
    return ::MultiByteToWideChar(codePage, flags, text, length, As<wchar_t>(out), outSize);
  }
};

}  // namespace

std::unique_ptr<OsApi> MakeRealOsApi() { return std::make_unique<RealOsApi>(); }

}  // namespace w32
