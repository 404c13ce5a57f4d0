// HID device access: one HID interface opened by its path for overlapped I/O
// (CHIDComm), and the search of the present HID interfaces by vendor id,
// product id and ordinal (CStdHIDComm).
//
// Result codes. Every operation that returns a code keeps it in lastError:
//   0                              success
//   ERROR_FILE_NOT_FOUND (2)       FindDevicePath: no interface matched
//   ERROR_INVALID_HANDLE (6)       the operation needs an open device
//   ERROR_NOT_ENOUGH_MEMORY (8)    Open: the capability query failed
//   ERROR_INVALID_PARAMETER (87)   a null path, buffer or report record
//   ERROR_ALREADY_EXISTS (183)     RegisterNotification: already registered
//   kHidErrorPathTooLong (206)     a device path that does not fit kHidMaxPath
//   ERROR_CANTOPEN (1011)          Close on an object that is not open
//   ERROR_DEVICE_NOT_CONNECTED (1167)  a transfer on a device that has gone
//   ERROR_ALREADY_INITIALIZED (1247)   Open on an object that is already open
//   ERROR_SECRET_TOO_LONG (1382)   report building: too many bytes
//   ERROR_TIMEOUT (1460)           a transfer did not finish in time
//   -1                             CStdHIDComm: vendor or product id not set,
//                                  or no list of HID interfaces
//   anything else                  the failing platform call's error
//
// The library knows nothing of any particular device: the caller supplies every
// id and every test.
//
// Threads: a CHIDComm takes no locks; one thread at a time per object
// (CHIDCommWnd adds the lock and the reader thread).
#pragma once

#include <cstdint>

#include "platform/os_api.h"

namespace kv27 {
using namespace w32;

// Device paths are kept in buffers of this many UTF-16 units, terminator
// included.
inline constexpr DWORD kHidMaxPath = 260;

// Win32's "file name too long" code: what the library returns for a device
// path that does not fit a kHidMaxPath buffer.
inline constexpr std::int32_t kHidErrorPathTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// Room for capability entries of one kind in HIDDeviceCaps.
inline constexpr USHORT kHidCapsListSize = 4;

// The capability record of one HID interface, as the HID class driver fills
// it. Entries beyond the device's count (and whole lists whose count is 0) stay
// zero; the counts in `caps` keep the device's full numbers even above four.
struct HIDDeviceCaps {
  HIDD_ATTRIBUTES attributes;
  HIDP_CAPS caps;
  HIDP_BUTTON_CAPS inputButtonCaps[kHidCapsListSize];
  HIDP_BUTTON_CAPS outputButtonCaps[kHidCapsListSize];
  HIDP_BUTTON_CAPS featureButtonCaps[kHidCapsListSize];
  HIDP_VALUE_CAPS inputValueCaps[kHidCapsListSize];
  HIDP_VALUE_CAPS outputValueCaps[kHidCapsListSize];
  HIDP_VALUE_CAPS featureValueCaps[kHidCapsListSize];
};

// One report as it goes on the wire: report id in the first byte unless built
// raw. `length` counts the valid bytes of `data` and is at most 255.
struct HIDReport {
  BYTE data[256];
  DWORD length;
};

// Largest payloads the report builders take: 254 bytes after a report id,
// 255 raw bytes.
inline constexpr DWORD kHidMaxPayloadWithId = 254;
inline constexpr DWORD kHidMaxRawReport = 255;

class CHIDComm {
 public:
  explicit CHIDComm(OsApi& os);
  // Closes the device if it is still open (CHIDComm's own Close).
  virtual ~CHIDComm();
  CHIDComm(const CHIDComm&) = delete;
  CHIDComm& operator=(const CHIDComm&) = delete;

  // Opens the interface for overlapped I/O, with GENERIC_READ when it has input
  // reports and GENERIC_WRITE when it has output reports, reads its capability
  // record into deviceCaps and creates ioEvent. Returns 0; 1247 when already
  // open (nothing changes); 8 when the capabilities cannot be read; 206 for a
  // path longer than kHidMaxPath - 1 units; 87 for a null path; or the
  // platform's error. Every failure leaves the object closed.
  virtual std::int32_t Open(LPCWSTR path);
  // Closes the device and ioEvent. 0, or 1011 when nothing is open.
  // devicePath and deviceCaps keep the last device's data.
  virtual std::int32_t Close();

  // Overlapped transfers on the device.
  //   transferred  may be null; receives the byte count (0 until done).
  //   overlapped   null: the call waits up to timeoutMs itself on ioEvent;
  //                given: a transfer that does not complete at once is left
  //                pending on it for the caller, and the call returns 0.
  // Returns 0, 6 (not open), 1460 (timed out and cancelled), or the transfer's
  // error. When the call waited itself, the transfer is over once it returns:
  // a cancelled transfer no longer touches the buffer or the count. A transfer
  // that finished just as the time ran out counts as done (0).
  // The text form writes the bytes of a NUL-terminated string without the
  // terminator, through the buffer form.
  virtual std::int32_t Write(LPCSTR text, DWORD* transferred, OVERLAPPED* overlapped, DWORD timeoutMs);
  virtual std::int32_t Write(const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                             DWORD timeoutMs);
  virtual std::int32_t Read(void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped, DWORD timeoutMs);

  // The capability record of the open device, read afresh by devicePath.
  // False with lastError = 6 when nothing is open.
  virtual bool GetDeviceCaps(HIDDeviceCaps* out);
  // The capability record of any HID interface path, through a probe handle
  // opened with access 0. True when the attributes and the preparsed data could
  // be read; the record is then filled as far as the driver answered (caps all
  // zero when HidP_GetCaps fails). Never touches lastError.
  virtual bool QueryDeviceCaps(LPCWSTR path, HIDDeviceCaps* out);

  // Report building. With an id: `reportId` then up to 254 payload bytes.
  // BuildReport uses report id 0. Raw: up to 255 bytes as they are. Too many
  // bytes: 1382 and the report is left untouched. Text forms take a
  // NUL-terminated string without its terminator.
  virtual std::int32_t BuildReportWithId(LPCSTR text, HIDReport* report, BYTE reportId);
  virtual std::int32_t BuildReportWithId(const void* data, DWORD length, HIDReport* report, BYTE reportId);
  virtual std::int32_t BuildReport(LPCSTR text, HIDReport* report);
  virtual std::int32_t BuildReport(const void* data, DWORD length, HIDReport* report);
  virtual std::int32_t BuildRawReport(LPCSTR text, HIDReport* report);
  virtual std::int32_t BuildRawReport(const void* data, DWORD length, HIDReport* report);

  // InputReportByteLength of the open device; 0 with lastError = 6 when
  // nothing is open (deviceCaps may still hold an old device's lengths).
  DWORD GetInputReportLength();
  // Copies devicePath with its terminator into a buffer of kHidMaxPath units.
  void GetDevicePath(WCHAR* out) const;

  std::int32_t lastError = 0;
  HANDLE device = nullptr;  // open exactly while non-null
  // Successful opens of this object so far. A caller that keeps what it
  // learnt about the open device sees by it that the handle was replaced
  // (closed and opened again) while the object stayed open to its eyes.
  std::uint32_t openCount = 0;
  HANDLE ioEvent = nullptr;  // manual-reset; used when a transfer gets no OVERLAPPED
  WCHAR devicePath[kHidMaxPath] = {};
  HIDDeviceCaps deviceCaps = {};

 protected:
  OsApi& os() const { return os_; }
  std::int32_t SetResult(std::int32_t code) {
    lastError = code;
    return code;
  }
  // The calling thread's last error, or `fallback` when the platform left none
  // although the call failed.
  std::int32_t LastErrorOr(std::int32_t fallback);

 private:
  std::int32_t Transfer(bool write, void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped,
                        DWORD timeoutMs);
  // Cancels the transfer pending on the internal OVERLAPPED and waits until
  // the cancellation (or the completion that beat it) has happened, whoever
  // else sets the event meanwhile.
  bool FinishPending(OVERLAPPED* overlapped, DWORD* counter);

  OsApi& os_;
};

class CStdHIDComm : public CHIDComm {
 public:
  explicit CStdHIDComm(OsApi& os);

  // CHIDComm's Open; on success also records the device's vendor and product
  // id (deviceIndex stays as it was).
  std::int32_t Open(LPCWSTR path) override;

  // Opens the deviceIndex-th present interface carrying vendorId and productId.
  // -1 without any search when an id is 0; otherwise FindDevicePath's code, or
  // the open's. The stored ids are not replaced by the open.
  virtual std::int32_t OpenByIds();
  // Stores the three values, then OpenByIds().
  virtual std::int32_t OpenByIds(USHORT vendorId, USHORT productId, USHORT ordinal);
  // FindDevicePath with the stored ids; -1 when an id is 0.
  virtual std::int32_t FindDevicePath(WCHAR* out);
  // Walks the present HID interfaces in enumeration order and gives the path
  // of the `ordinal`-th (0-based) one whose attributes carry vendorId and
  // productId. Interfaces that cannot be probed, or whose attributes cannot be
  // read, are skipped and not counted. 0 with `out` set (kHidMaxPath units);
  // 2 when none matched, -1 when there is no interface list, 206 when the
  // matching path does not fit; `out` is untouched on any non-zero code.
  virtual std::int32_t FindDevicePath(USHORT vendorId, USHORT productId, USHORT ordinal, WCHAR* out);

  void SetVendorId(USHORT value) { vendorId = value; }
  void SetProductId(USHORT value) { productId = value; }
  void SetDeviceIndex(USHORT value) { deviceIndex = value; }

  USHORT vendorId = 0;     // 0: not set
  USHORT productId = 0;    // 0: not set
  USHORT deviceIndex = 0;  // ordinal among the matching interfaces
};

}  // namespace kv27
