// Flashing a mouse whose bootloader is (or is about to be) on the bus: wait for
// the bootloader, open it, erase, write, read back and compare, then verify, set
// read protection and leave ISP mode.
//
// The upgrade sequence runs this after it has asked the mouse to restart into
// its bootloader; the console recovery tool runs it on its own for a mouse that
// is already there. The caller owns the link, the image and the read-back
// buffer, and shows the message of the result.
#pragma once

#include <functional>

#include "protocol/kv8b05_comm.h"

namespace kv27 {
using namespace w32;

enum class IspFlashResult {
  Success,
  NotFound,  // the bootloader never appeared
  OpenFailed,
  EraseFailed,
  WriteFailed,    // a failed write, or fewer than 16384 bytes acknowledged
  ReadFailed,     // a failed read, or fewer than 16384 bytes delivered
  CompareFailed,  // the read-back differs in its first 0x3FFB bytes
  VerifyFailed,
  ProtectFailed,
  ExitFailed,
};

// The user-visible text of a result: the failure's message, or the
// congratulation for Success.
const char16_t* IspFlashMessage(IspFlashResult result);

// Receives the progress percentage at fixed points: 50 once the bootloader is
// found, 55 opened, 60 erased, 80 written, 85 read back, 90 compared,
// 95 verified, 100 read-protected.
using IspProgress = std::function<void(int percent)>;

// The two waits for the bootloader, in the clock of the OsApi.
inline constexpr DWORD kIspSearches = 6000;      // FindIspDevice calls at most
inline constexpr DWORD kIspSearchPauseMs = 100;  // after each unsuccessful search
inline constexpr DWORD kIspOpenWindowMs = 5000;  // Close + Open attempts for this long, by the tick count
inline constexpr DWORD kIspOpenPauseMs = 200;    // after each failed attempt; one last attempt follows the window

// The two waits, for an observer that shows them (a countdown) or ends them.
enum class IspWaitPhase {
  Search,  // looking for the bootloader's interface: elapsed = searches so far x kIspSearchPauseMs
  Open,    // opening it: elapsed by the tick count since the first attempt
};
inline constexpr DWORD kIspSearchLimitMs = kIspSearches * kIspSearchPauseMs;  // 600 s

// Called before each search and before each open attempt of the window. It
// only looks: the calls it makes do not move the steps or their pauses.
// Returning false ends that wait at once as if the bootloader never came
// (Search: NotFound; Open: OpenFailed, without the last attempt).
using IspWait = std::function<bool(IspWaitPhase phase, DWORD elapsedMs, DWORD limitMs)>;

// Runs the flash. `image` and `readBack` are kIspFlashSize bytes each. The link
// is closed before every open attempt and is left open afterwards, whatever the
// result: the next run's first Close releases it (or the link's destructor).
// `progress` and `wait` may be empty. The search takes the first bootloader
// interface listed that `accept` takes (any, when empty).
IspFlashResult RunIspFlash(OsApi& os, CKV8B05Comm& bootLink, const BYTE* image, BYTE* readBack,
                           const IspProgress& progress, const IspWait& wait = {}, const IspAccept& accept = {});

}  // namespace kv27
