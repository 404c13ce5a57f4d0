#include "protocol/kv27_usb_comm.h"

#include <algorithm>
#include <cstring>

namespace kv27 {
using namespace w32;

namespace {

// Reply codes the dispatcher accepts when it waits for them.
bool IsAwaitableReply(BYTE code) {
  switch (code) {
    case 0x01:  // flash write
    case 0x02:  // flash read
    case 0x03:  // flash erase
    case 0x07:  // test setting
    case 0x20:  // mode information
    case 0x21:  // DPI information
    case 0x22:  // report-rate information
    case 0x30:
    case 0x31:
      return true;
    default:
      return false;
  }
}

}  // namespace

MouseModeValues DecodeModeValues(const BYTE* report) {
  MouseModeValues v;
  v.value1 = report[4] & 0x03;
  v.value2 = report[5] & 0x0F;
  v.value3 = (report[5] >> 4) & 0x0F;
  v.value4 = (report[4] & 0x80) != 0 ? 4 : 0;
  v.value5 = report[6];
  v.value6 = report[7];
  v.value7 = static_cast<BYTE>((report[4] >> 4) & 0x03);
  return v;
}

CKV27USBComm::CKV27USBComm(OsApi& os) : CHIDCommMFC(os) {
  replyEvent = os.CreateEventW(nullptr, FALSE, FALSE, kReplyEventName);
  const DWORD created = os.GetLastError();  // ERROR_ALREADY_EXISTS when another link made it
  wakeEvent_ = os.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  os.SetLastError(created);
}

CKV27USBComm::~CKV27USBComm() {
  // The reader thread calls OnInputReport on this object: it must be gone
  // before this part is.
  if (readThread != nullptr || devNotify != nullptr || device != nullptr) Close();
  if (replyEvent != nullptr) os().CloseHandle(replyEvent);
  if (wakeEvent_ != nullptr) os().CloseHandle(wakeEvent_);
}

BOOL CKV27USBComm::OnDeviceChange(WPARAM wParam, LPARAM lParam) { return CHIDCommMFC::OnDeviceChange(wParam, lParam); }

// ---------------------------------------------------------------- requests

int CKV27USBComm::ReadUserData(BYTE index, BYTE* buffer) {
  if (device == nullptr || buffer == nullptr) return 0;
  if (busy != 0) return 0;
  // The mouse keeps seven blocks; anything beyond would be read from outside
  // its user data.
  if (index >= kUserDataBlocks) return 0;
  busy = 1;
  for (DWORD offset = 0; offset < kUserDataBlockSize; offset += kUserDataStep) {
    const BYTE count = static_cast<BYTE>(std::min<DWORD>(kUserDataStep, kUserDataBlockSize - offset));
    const BYTE payload[7] = {kMouseFlashRead, static_cast<BYTE>(offset), count, index, 0, 0, 0};
    BYTE answer[7];
    // The reply echoes the offset; its bytes 3 to 6 are the data.
    if (!Exchange(payload, kMouseFlashRead, answer) || answer[1] != offset) {
      busy = 0;
      return 0;
    }
    std::memcpy(buffer + offset, answer + 3, kUserDataStep);
  }
  busy = 0;
  return 1;
}

bool CKV27USBComm::Exchange(const BYTE* payload, BYTE replyCode, BYTE* replyOut) {
  if (device == nullptr || payload == nullptr) return false;
  std::memcpy(request, payload, sizeof request);
  HIDReport report{};
  if (BuildReportWithId(request, sizeof request, &report, kMouseReportId) != 0) return false;

  {
    std::lock_guard<std::mutex> hold(replyLock);
    expectedReply = replyCode;
    replyReceived = 0;
  }
  // A signal left from an earlier exchange (a reply accepted just as that
  // wait gave up) must not end this wait. ResetEvent works on auto-reset
  // events as well. Only the link's own event is cleared: clearing the named
  // one could take a signal from another program's link.
  const HANDLE waitEvent = WaitEvent();
  if (waitEvent != nullptr) os().ResetEvent(waitEvent);

  bool ok = Write(report.data, report.length, nullptr, nullptr, kMouseWriteTimeoutMs) == 0;
  if (ok) {
    // Wait for this exchange's own reply: a wake-up without it (a stale or
    // foreign signal) waits again for the rest of the time.
    const DWORD start = os().GetTickCount();
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(replyLock);
        if (replyReceived != 0) break;
      }
      const DWORD elapsed = os().GetTickCount() - start;
      if (elapsed >= kMouseReplyTimeoutMs || waitEvent == nullptr) break;
      if (os().WaitForSingleObject(waitEvent, kMouseReplyTimeoutMs - elapsed) != WAIT_OBJECT_0) break;
    }
  }

  // Back to idle and collect the reply in one step, so that no report can
  // change `reply` between the check and the copy.
  std::lock_guard<std::mutex> hold(replyLock);
  expectedReply = 0;
  if (!ok || replyReceived == 0) return false;
  if (replyOut != nullptr) std::memcpy(replyOut, reply, sizeof reply);
  return true;
}

// ---------------------------------------------------------------- dispatcher

bool CKV27USBComm::AcceptLocked(const BYTE* report, BYTE code) {
  if (expectedReply == 0 || expectedReply != code) return false;
  std::memcpy(reply, report + 1, sizeof reply);
  replyReceived = 1;
  return true;
}

bool CKV27USBComm::OnInputReport(const BYTE* report, DWORD length) {
  if (report == nullptr || length != kMouseReportLength || report[0] != kMouseReportId) return true;
  const BYTE code = report[1];
  bool signal = false;
  bool postModeChange = false;
  bool postKeyStatus = false;
  USHORT keys = 0;
  {
    std::lock_guard<std::mutex> hold(replyLock);
    if (code == kMouseModeInfo) {
      modeValues = DecodeModeValues(report);
      if (expectedReply == kMouseModeInfo) {
        signal = AcceptLocked(report, code);
      } else {
        // An accepted reply that its requester has not collected yet stays
        // as it is: the mode values above still change.
        if (!(expectedReply != 0 && replyReceived != 0)) std::memcpy(reply, report + 1, sizeof reply);
        postModeChange = true;
      }
    } else if (code == kMouseKeyStatus) {
      keyStatus = static_cast<USHORT>(report[2] | (report[3] << 8));
      keys = keyStatus;
      postKeyStatus = true;
    } else if (IsAwaitableReply(code)) {
      signal = AcceptLocked(report, code);
      if (signal && code == 0x21) std::memcpy(dpiInfo, report + 3, sizeof dpiInfo);
      if (signal && code == 0x22) std::memcpy(reportRateInfo, report + 3, sizeof reportRateInfo);
    }
  }
  if (signal) {
    if (replyEvent != nullptr) os().SetEvent(replyEvent);
    if (wakeEvent_ != nullptr) os().SetEvent(wakeEvent_);
  }
  if (postModeChange && GetNotifyWindow() != nullptr) PostToOwner(kModeDpiChangeMessage, 0);
  // Posted to the owner as it stands, even none: then it reaches no window.
  if (postKeyStatus) PostToOwner(kKeyStatusMessage, keys);
  return true;
}

void CKV27USBComm::PostToOwner(const char16_t* name, WPARAM wParam) {
  const UINT message = os().RegisterWindowMessageW(name);
  os().PostMessageW(GetNotifyWindow(), message, wParam, 0);
}

// ---------------------------------------------------------------- snapshots

MouseModeValues CKV27USBComm::GetModeValues() {
  std::lock_guard<std::mutex> hold(replyLock);
  return modeValues;
}

std::array<BYTE, 7> CKV27USBComm::GetReply() {
  std::lock_guard<std::mutex> hold(replyLock);
  std::array<BYTE, 7> out;
  std::memcpy(out.data(), reply, out.size());
  return out;
}

std::array<BYTE, 5> CKV27USBComm::GetDpiInfo() {
  std::lock_guard<std::mutex> hold(replyLock);
  std::array<BYTE, 5> out;
  std::memcpy(out.data(), dpiInfo, out.size());
  return out;
}

std::array<BYTE, 5> CKV27USBComm::GetReportRateInfo() {
  std::lock_guard<std::mutex> hold(replyLock);
  std::array<BYTE, 5> out;
  std::memcpy(out.data(), reportRateInfo, out.size());
  return out;
}

USHORT CKV27USBComm::GetKeyStatus() {
  std::lock_guard<std::mutex> hold(replyLock);
  return keyStatus;
}

}  // namespace kv27
