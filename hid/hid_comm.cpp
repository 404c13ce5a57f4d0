#include "hid/hid_comm.h"

#include <cstring>
#include <vector>

#include "platform/device_interfaces.h"

namespace kv27 {
using namespace w32;

namespace {

// Length of a NUL-terminated UTF-16 string, looking at no more than `limit`
// units; `limit` when no terminator was found within them.
DWORD BoundedLength(LPCWSTR text, DWORD limit) {
  DWORD n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

SECURITY_ATTRIBUTES NonInheritable() {
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof(sa);
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = FALSE;
  return sa;
}

}  // namespace

CHIDComm::CHIDComm(OsApi& os) : os_(os) {}

CHIDComm::~CHIDComm() {
  if (device != nullptr) CHIDComm::Close();
}

std::int32_t CHIDComm::LastErrorOr(std::int32_t fallback) {
  const DWORD error = os_.GetLastError();
  return error != 0 ? static_cast<std::int32_t>(error) : fallback;
}

bool CHIDComm::QueryDeviceCaps(LPCWSTR path, HIDDeviceCaps* out) {
  if (path == nullptr || out == nullptr) return false;
  SECURITY_ATTRIBUTES sa = NonInheritable();
  HANDLE probe =
      os_.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;

  std::memset(out, 0, sizeof(*out));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!os_.HidD_GetAttributes(probe, &attributes)) {
    os_.CloseHandle(probe);
    return false;
  }
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!os_.HidD_GetPreparsedData(probe, &preparsed)) {
    os_.CloseHandle(probe);
    return false;
  }

  HIDP_CAPS caps{};
  const NTSTATUS status = os_.HidP_GetCaps(preparsed, &caps);
  out->attributes = attributes;
  // A failed HidP_GetCaps leaves nothing trustworthy in `caps`: the record
  // keeps zero capabilities rather than whatever the call left behind.
  if (status == HIDP_STATUS_SUCCESS) {
    out->caps = caps;

    auto buttons = [&](HIDP_REPORT_TYPE type, USHORT count, HIDP_BUTTON_CAPS* list) {
      if (count == 0) return;
      USHORT n = count < kHidCapsListSize ? count : kHidCapsListSize;
      os_.HidP_GetSpecificButtonCaps(type, 0, 0, 0, list, &n, preparsed);
    };
    auto values = [&](HIDP_REPORT_TYPE type, USHORT count, HIDP_VALUE_CAPS* list) {
      if (count == 0) return;
      USHORT n = count < kHidCapsListSize ? count : kHidCapsListSize;
      os_.HidP_GetSpecificValueCaps(type, 0, 0, 0, list, &n, preparsed);
    };
    buttons(HidP_Input, caps.NumberInputButtonCaps, out->inputButtonCaps);
    buttons(HidP_Output, caps.NumberOutputButtonCaps, out->outputButtonCaps);
    buttons(HidP_Feature, caps.NumberFeatureButtonCaps, out->featureButtonCaps);
    values(HidP_Input, caps.NumberInputValueCaps, out->inputValueCaps);
    values(HidP_Output, caps.NumberOutputValueCaps, out->outputValueCaps);
    values(HidP_Feature, caps.NumberFeatureValueCaps, out->featureValueCaps);
  }

  os_.HidD_FreePreparsedData(preparsed);
  os_.CloseHandle(probe);
  return true;
}

bool CHIDComm::GetDeviceCaps(HIDDeviceCaps* out) {
  if (device == nullptr) {
    SetResult(ERROR_INVALID_HANDLE);
    return false;
  }
  return QueryDeviceCaps(devicePath, out);
}

std::int32_t CHIDComm::Open(LPCWSTR path) {
  if (device != nullptr) return SetResult(ERROR_ALREADY_INITIALIZED);
  if (path == nullptr) return SetResult(ERROR_INVALID_PARAMETER);
  // devicePath holds kHidMaxPath units with the terminator; refuse what does
  // not fit before anything is opened.
  const DWORD length = BoundedLength(path, kHidMaxPath);
  if (length >= kHidMaxPath) return SetResult(kHidErrorPathTooLong);
  // Work on a copy: `path` may be our own devicePath (a reopen after Close),
  // which is cleared below.
  WCHAR own[kHidMaxPath] = {};
  std::memcpy(own, path, length * sizeof(WCHAR));
  path = own;

  HIDDeviceCaps probe{};
  if (!QueryDeviceCaps(path, &probe)) return SetResult(ERROR_NOT_ENOUGH_MEMORY);

  DWORD access = 0;
  if (probe.caps.InputReportByteLength != 0) access |= GENERIC_READ;
  if (probe.caps.OutputReportByteLength != 0) access |= GENERIC_WRITE;

  SECURITY_ATTRIBUTES sa = NonInheritable();
  HANDLE handle = os_.CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return SetResult(LastErrorOr(ERROR_GEN_FAILURE));
  device = handle;

  std::memset(devicePath, 0, sizeof(devicePath));
  std::memset(&deviceCaps, 0, sizeof(deviceCaps));
  std::memcpy(devicePath, path, length * sizeof(WCHAR));

  if (!GetDeviceCaps(&deviceCaps)) {
    os_.CloseHandle(device);
    device = nullptr;
    return SetResult(ERROR_NOT_ENOUGH_MEMORY);
  }

  ioEvent = os_.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ioEvent == nullptr) {
    const std::int32_t error = LastErrorOr(ERROR_GEN_FAILURE);
    os_.CloseHandle(device);
    device = nullptr;
    return SetResult(error);
  }
  ++openCount;
  return SetResult(0);
}

std::int32_t CHIDComm::Close() {
  if (device == nullptr) return SetResult(ERROR_CANTOPEN);
  if (ioEvent != nullptr) os_.CloseHandle(ioEvent);
  ioEvent = nullptr;
  os_.CloseHandle(device);
  device = nullptr;
  return SetResult(0);
}

DWORD CHIDComm::GetInputReportLength() {
  if (device == nullptr) {
    SetResult(ERROR_INVALID_HANDLE);
    return 0;
  }
  return deviceCaps.caps.InputReportByteLength;
}

void CHIDComm::GetDevicePath(WCHAR* out) const {
  if (out == nullptr) return;
  std::memcpy(out, devicePath, sizeof(devicePath));
}

// ---------------------------------------------------------------- transfers

std::int32_t CHIDComm::Write(LPCSTR text, DWORD* transferred, OVERLAPPED* overlapped, DWORD timeoutMs) {
  if (text == nullptr) {
    if (transferred != nullptr) *transferred = 0;
    return SetResult(ERROR_INVALID_PARAMETER);
  }
  return Write(text, static_cast<DWORD>(std::strlen(text)), transferred, overlapped, timeoutMs);
}

std::int32_t CHIDComm::Write(const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                             DWORD timeoutMs) {
  return Transfer(true, const_cast<void*>(buffer), length, transferred, overlapped, timeoutMs);
}

std::int32_t CHIDComm::Read(void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped, DWORD timeoutMs) {
  return Transfer(false, buffer, length, transferred, overlapped, timeoutMs);
}

bool CHIDComm::FinishPending(OVERLAPPED* overlapped, DWORD* counter) {
  os_.CancelIo(device);
  // The cancellation completes later, and the event can be set without the
  // transfer being over: JoinReader sets the reader's event to wake it. A
  // wait on the event (GetOverlappedResult with wait = TRUE does no more)
  // could then end with the transfer still pending on this frame's
  // OVERLAPPED. So the event is cleared, the transfer asked whether it is
  // over, and only then waited for, until it is over. A completion that came
  // before the reset is not lost: its status is set before its event.
  for (;;) {
    os_.ResetEvent(overlapped->hEvent);
    if (os_.GetOverlappedResult(device, overlapped, counter, FALSE)) return true;
    if (os_.GetLastError() != ERROR_IO_INCOMPLETE) return false;
    if (os_.WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) {
      // Nothing left to wait with but the transfer itself.
      return os_.GetOverlappedResult(device, overlapped, counter, TRUE) != FALSE;
    }
  }
}

std::int32_t CHIDComm::Transfer(bool write, void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                                DWORD timeoutMs) {
  DWORD ownCounter = 0;
  DWORD* counter = transferred != nullptr ? transferred : &ownCounter;
  *counter = 0;
  if (device == nullptr) return SetResult(ERROR_INVALID_HANDLE);

  // The internal OVERLAPPED lives on this stack frame: every path below that
  // leaves a transfer on it waits for that transfer to be over first.
  OVERLAPPED own{};
  own.hEvent = ioEvent;
  OVERLAPPED* used = overlapped != nullptr ? overlapped : &own;

  const BOOL done = write ? os_.WriteFile(device, buffer, length, counter, used)
                          : os_.ReadFile(device, buffer, length, counter, used);
  if (done) {
    os_.SetEvent(used->hEvent);
    return SetResult(0);
  }
  DWORD error = os_.GetLastError();
  if (error != ERROR_IO_PENDING) return SetResult(error != 0 ? static_cast<std::int32_t>(error) : ERROR_GEN_FAILURE);
  if (overlapped != nullptr) return SetResult(0);  // the caller completes it

  const DWORD wait = os_.WaitForSingleObject(ioEvent, timeoutMs);
  if (wait == WAIT_OBJECT_0) {
    if (os_.GetOverlappedResult(device, used, counter, FALSE)) return SetResult(0);
    error = os_.GetLastError();
    if (error != ERROR_IO_INCOMPLETE)
      return SetResult(error != 0 ? static_cast<std::int32_t>(error) : ERROR_GEN_FAILURE);
    // Woken while the transfer still runs: cancel it like a time-out, but
    // report what the transfer itself ended with.
    if (FinishPending(used, counter)) return SetResult(0);
    return SetResult(LastErrorOr(ERROR_OPERATION_ABORTED));
  }
  if (wait == WAIT_TIMEOUT) {
    if (FinishPending(used, counter)) return SetResult(0);
    return SetResult(ERROR_TIMEOUT);
  }
  const std::int32_t waitError = LastErrorOr(ERROR_GEN_FAILURE);
  FinishPending(used, counter);
  return SetResult(waitError);
}

// ---------------------------------------------------------------- report building

std::int32_t CHIDComm::BuildReportWithId(LPCSTR text, HIDReport* report, BYTE reportId) {
  if (text == nullptr) return SetResult(ERROR_INVALID_PARAMETER);
  return BuildReportWithId(text, static_cast<DWORD>(std::strlen(text)), report, reportId);
}

std::int32_t CHIDComm::BuildReportWithId(const void* data, DWORD length, HIDReport* report, BYTE reportId) {
  if (length > kHidMaxPayloadWithId) return SetResult(ERROR_SECRET_TOO_LONG);
  if (report == nullptr || (data == nullptr && length != 0)) return SetResult(ERROR_INVALID_PARAMETER);
  report->data[0] = reportId;
  if (length != 0) std::memcpy(report->data + 1, data, length);
  report->length = length + 1;
  return SetResult(0);
}

std::int32_t CHIDComm::BuildReport(LPCSTR text, HIDReport* report) {
  if (text == nullptr) return SetResult(ERROR_INVALID_PARAMETER);
  return BuildReport(text, static_cast<DWORD>(std::strlen(text)), report);
}

std::int32_t CHIDComm::BuildReport(const void* data, DWORD length, HIDReport* report) {
  return BuildReportWithId(data, length, report, 0);
}

std::int32_t CHIDComm::BuildRawReport(LPCSTR text, HIDReport* report) {
  if (text == nullptr) return SetResult(ERROR_INVALID_PARAMETER);
  return BuildRawReport(text, static_cast<DWORD>(std::strlen(text)), report);
}

std::int32_t CHIDComm::BuildRawReport(const void* data, DWORD length, HIDReport* report) {
  if (length > kHidMaxRawReport) return SetResult(ERROR_SECRET_TOO_LONG);
  if (report == nullptr || (data == nullptr && length != 0)) return SetResult(ERROR_INVALID_PARAMETER);
  if (length != 0) std::memcpy(report->data, data, length);
  report->length = length;
  return SetResult(0);
}

// ---------------------------------------------------------------- CStdHIDComm

CStdHIDComm::CStdHIDComm(OsApi& os) : CHIDComm(os) {}

std::int32_t CStdHIDComm::Open(LPCWSTR path) {
  const std::int32_t r = CHIDComm::Open(path);
  if (r == 0) {
    vendorId = deviceCaps.attributes.VendorID;
    productId = deviceCaps.attributes.ProductID;
  }
  return r;
}

std::int32_t CStdHIDComm::OpenByIds() {
  if (vendorId == 0 || productId == 0) return SetResult(-1);
  WCHAR path[kHidMaxPath] = {};
  const std::int32_t r = FindDevicePath(path);
  if (r != 0) return SetResult(r);
  return CHIDComm::Open(path);
}

std::int32_t CStdHIDComm::OpenByIds(USHORT vendor, USHORT product, USHORT ordinal) {
  SetVendorId(vendor);
  SetProductId(product);
  SetDeviceIndex(ordinal);
  return OpenByIds();
}

std::int32_t CStdHIDComm::FindDevicePath(WCHAR* out) {
  if (vendorId == 0 || productId == 0) return SetResult(-1);
  return FindDevicePath(vendorId, productId, deviceIndex, out);
}

std::int32_t CStdHIDComm::FindDevicePath(USHORT vendor, USHORT product, USHORT ordinal, WCHAR* out) {
  if (out == nullptr) return SetResult(ERROR_INVALID_PARAMETER);
  GUID guid{};
  os().HidD_GetHidGuid(&guid);
  USHORT matches = 0;
  std::int32_t result = ERROR_FILE_NOT_FOUND;
  const bool listed = ForEachDeviceInterface(os(), guid, [&](const ListedInterface& candidate) {
    SECURITY_ATTRIBUTES sa = NonInheritable();
    HANDLE probe = os().CreateFileW(candidate.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    const bool same =
        os().HidD_GetAttributes(probe, &attributes) && attributes.VendorID == vendor && attributes.ProductID == product;
    os().CloseHandle(probe);
    if (!same) return false;
    if (matches < ordinal) {
      ++matches;
      return false;
    }
    if (candidate.path.size() >= kHidMaxPath) {
      result = kHidErrorPathTooLong;
    } else {
      std::memcpy(out, candidate.path.c_str(), (candidate.path.size() + 1) * sizeof(WCHAR));
      result = 0;
    }
    return true;
  });
  return SetResult(listed ? result : -1);
}

}  // namespace kv27
