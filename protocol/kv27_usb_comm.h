// The mouse command link: the HID link on the mouse's vendor-defined
// collection (usage page 0xFFB4, usage 1, 8-byte input and output reports with
// report id 0xB4), with the mouse's request/reply protocol and the dispatcher
// of its input reports.
//
// Reports, both directions: byte 0 the report id 0xB4, byte 1 the command or
// reply code (a reply carries the code of the command it answers), bytes 2-7
// the parameters or the reply data.
//
// The one command sent is the flash read (0x02): offset in the 256-byte block
// in byte 2, byte count 4 in byte 3, block index in byte 4. The reply echoes
// the offset in byte 2 and carries the four bytes in bytes 4-7.
//
// One request is outstanding at a time. The requester sets the reply code it
// waits for, writes the request and waits on the named auto-reset event
// "reply_event"; the reader thread's dispatcher accepts a reply of that code
// (copies it, marks it received, signals the event). Besides, the dispatcher
// keeps the mode values of every mode-information report (0x20) and the key
// status of every key-status report (0x24), and tells the owner window with
// the registered messages "MODEDPICHANGE_MSG" (an unasked mode-information
// report, only with an owner) and "KEYSTATUS_MSG" (wParam the key status).
//
// Threads: ReadUserData runs on the owner's thread, OnInputReport on the
// reader thread. The reply state (expectedReply, replyReceived, reply) and the
// values the dispatcher keeps are guarded by replyLock; the event only wakes
// the requester, which then looks at the state under the lock. Read the kept
// values with the Get* accessors from other threads.
//
// Because the event is named, every link in the session shares it, those of
// another program beside this one (a second dialog, the console upgrader)
// included: a wake-up does not prove that this link's reply came, and a
// signal meant for this link may wake another link's requester instead (an
// auto-reset event wakes one waiter) or be cleared by it. So the dispatcher
// signals a second, unnamed event of this link's own as well, and the
// requester clears and waits on that one: it wakes for its own replies only,
// and no other link can take them from it. It still waits again, for the rest
// of its time, after a wake-up that brought no reply.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "hid/hid_comm_wnd.h"

namespace kv27 {
using namespace w32;

inline constexpr BYTE kMouseReportId = 0xB4;
inline constexpr DWORD kMouseReportLength = 8;
inline constexpr BYTE kMouseFlashRead = 0x02;
inline constexpr BYTE kMouseModeInfo = 0x20;
inline constexpr BYTE kMouseKeyStatus = 0x24;
// User data: seven blocks of 256 bytes, read 4 bytes per exchange.
inline constexpr BYTE kUserDataBlocks = 7;
inline constexpr DWORD kUserDataBlockSize = 256;
inline constexpr DWORD kUserDataStep = 4;
inline constexpr DWORD kMouseWriteTimeoutMs = 1000;
inline constexpr DWORD kMouseReplyTimeoutMs = 1000;
inline constexpr char16_t kReplyEventName[] = u"reply_event";
inline constexpr char16_t kModeDpiChangeMessage[] = u"MODEDPICHANGE_MSG";
inline constexpr char16_t kKeyStatusMessage[] = u"KEYSTATUS_MSG";

// The seven values of a mode-information report (byte n = byte n of the
// 8-byte report).
struct MouseModeValues {
  std::int32_t value1 = 0;  // byte 4, bits 0-1
  std::int32_t value2 = 0;  // byte 5, bits 0-3
  std::int32_t value3 = 0;  // byte 5, bits 4-7
  std::int32_t value4 = 0;  // byte 4, bit 7: 4 when set, 0 when clear
  BYTE value5 = 0;          // byte 6
  BYTE value6 = 0;          // byte 7
  BYTE value7 = 0;          // byte 4, bits 4-5
  bool operator==(const MouseModeValues&) const = default;
};

// Decodes bytes 4 to 7 of a mode-information report.
MouseModeValues DecodeModeValues(const BYTE* report);

class CKV27USBComm : public CHIDCommMFC {
 public:
  // Creates (or opens, when another link made it) the event "reply_event",
  // and the link's own wake-up event.
  explicit CKV27USBComm(OsApi& os);
  // Stops the link first, so that the reader thread is gone before this
  // object's part is; then the base destruction; closes the events.
  ~CKV27USBComm() override;

  // Reads user-data block `index` (0 to 6) into `buffer` (256 bytes): 64
  // flash-read exchanges. 1 on success; 0 when the link is not open, a read is
  // already running, an index beyond 6 is asked for, a write fails or times
  // out (1000 ms), no reply comes within 1000 ms, or a reply echoes another
  // offset. Nothing is retried and nothing more is sent after a failure.
  int ReadUserData(BYTE index, BYTE* buffer);

  // One request/reply exchange: sends `payload` (the 7 bytes after the report
  // id) and waits up to 1000 ms for a reply with code `replyCode`, whose bytes
  // 1 to 7 go to `replyOut` (may be null). True when the write went out and
  // the reply came; ReadUserData is built on it. Not for a code the
  // dispatcher never awaits (0x24, unknown codes).
  bool Exchange(const BYTE* payload, BYTE replyCode, BYTE* replyOut);

  // The dispatcher (reader thread). Always true.
  bool OnInputReport(const BYTE* report, DWORD length) override;
  // The base's device-change handling, unchanged.
  BOOL OnDeviceChange(WPARAM wParam, LPARAM lParam) override;

  // Snapshots of the values the dispatcher keeps, for any thread.
  MouseModeValues GetModeValues();
  std::array<BYTE, 7> GetReply();
  std::array<BYTE, 5> GetDpiInfo();
  std::array<BYTE, 5> GetReportRateInfo();
  USHORT GetKeyStatus();

  std::int32_t busy = 0;
  std::int32_t replyReceived = 0;
  HANDLE replyEvent = nullptr;
  std::int32_t expectedReply = 0;
  BYTE request[7] = {};
  BYTE reply[7] = {};
  MouseModeValues modeValues;
  BYTE dpiInfo[5] = {};
  BYTE reportRateInfo[5] = {};
  USHORT keyStatus = 0;

 private:
  // Accepts `report` as the awaited reply when `code` is awaited (replyLock
  // held); true when accepted.
  bool AcceptLocked(const BYTE* report, BYTE code);
  void PostToOwner(const char16_t* name, WPARAM wParam);
  // The event the requester waits on: the link's own, or the named one when
  // the own could not be made.
  HANDLE WaitEvent() const { return wakeEvent_ != nullptr ? wakeEvent_ : replyEvent; }

  std::mutex replyLock;
  // Unnamed, auto-reset: signalled with replyEvent, for this link alone.
  HANDLE wakeEvent_ = nullptr;
};

}  // namespace kv27
