// The mouse link's input-report dispatcher on reports of any length and
// content, with or without a reply being awaited, with or without an owner
// window.
//
// Input: BYTE the reply code awaited (0: none), BYTE flags (bit 0: an accepted
// reply not collected yet; bit 1: an owner window), then reports, each a BYTE
// length N and N bytes. Every report is handed over in a buffer of exactly its
// length, so a read past it is caught.
//
// Checks after every report: only an 8-byte report with the mouse's report id
// changes anything; an awaited reply is taken whole and marked received; a
// mode-information report always updates the mode values, a key-status report
// the key status; and a reply accepted but not yet collected is never
// overwritten by an unasked report.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "protocol/kv27_usb_comm.h"
#include "sim/world.h"

using namespace kv27;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_mouse_reports: %s\n", what);
    std::abort();
  }
}

class Link : public CKV27USBComm {
 public:
  using CKV27USBComm::CKV27USBComm;
  void SetOwner(HWND window) { notifyWnd.store(window); }
};

struct Fixture {
  sim::World world;
  HWND owner = world.CreateHeadlessWindow();
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

struct Kept {
  std::array<BYTE, 7> reply;
  MouseModeValues mode;
  USHORT keys;
  std::int32_t received;
  bool operator==(const Kept&) const = default;
};

Kept Snapshot(Link& link) {
  return Kept{link.GetReply(), link.GetModeValues(), link.GetKeyStatus(), link.replyReceived};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& f = TheFixture();
  std::size_t at = 0;
  auto byte = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
  const BYTE awaited = byte();
  const std::uint8_t flags = byte();

  Link link(f.world);
  link.expectedReply = awaited;
  link.replyReceived = (flags & 1) ? 1 : 0;
  if (flags & 2) link.SetOwner(f.owner);

  while (at < size) {
    const std::size_t length = std::min<std::size_t>(byte(), size - at);
    std::unique_ptr<BYTE[]> report(new BYTE[length]);
    std::memcpy(report.get(), data + at, length);
    at += length;

    const Kept before = Snapshot(link);
    Require(link.OnInputReport(length != 0 ? report.get() : nullptr, static_cast<DWORD>(length)),
            "the dispatcher returned false");
    const Kept after = Snapshot(link);

    const bool valid = length == kMouseReportLength && report[0] == kMouseReportId;
    if (!valid) {
      Require(before == after, "a malformed report changed the link's state");
      continue;
    }
    const BYTE code = report[1];
    std::array<BYTE, 7> body;
    std::memcpy(body.data(), report.get() + 1, body.size());
    if (code == kMouseModeInfo) Require(after.mode == DecodeModeValues(report.get()), "mode values not kept");
    if (code == kMouseKeyStatus) Require(after.keys == (report[2] | (report[3] << 8)), "key status not kept");
    if (awaited != 0 && code == awaited && code != kMouseKeyStatus && after.received == 1 && after.reply == body) {
      continue;  // taken as the awaited reply
    }
    if (awaited != 0 && before.received != 0) {
      Require(after.reply == before.reply, "an accepted reply was overwritten before it was collected");
    }
  }
  f.world.PumpMessages(f.owner);
  f.world.ClearReceived(f.owner);
  return 0;
}
