// --capture FILE of the console programs (and the dialog program): the run's
// device traffic as a pcapng file (capture/capture_os_api.h), written through
// the boundary the capture wraps.
//
// The file starts with a "run" record (program, image, simulation) and ends
// with an "end" record (exit status and final message), so that a replay
// (--replay) knows what the captured run ended with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_os_api.h"

namespace kv27::console {

using namespace w32;

struct CaptureClock {
  std::function<std::uint64_t()> us;  // a monotonic microsecond clock
  std::uint64_t startUs = 0;          // microseconds since 1970 at its first reading
};
// The wall clock and the host's steady clock (real devices).
CaptureClock HostCaptureClock();
// Microseconds since 1970 that stand for the start of a simulated world's
// clock: captures of simulated runs carry the same times on every machine.
inline constexpr std::uint64_t kSimulatedCaptureStartUs = 1704067200ull * 1000000;  // 2024-01-01 00:00 UTC

class TrafficCapture {
 public:
  TrafficCapture(OsApi& base, std::u16string path, std::string application, CaptureClock clock);
  ~TrafficCapture();
  // Creates the file: 0, or the Win32 error. An existing file is refused
  // (ERROR_FILE_EXISTS) unless `replace`.
  DWORD Open(bool replace = false);
  // The boundary to run the program on.
  OsApi& os() { return *capture_; }
  capture::CaptureOsApi& capture() { return *capture_; }
  const std::u16string& path() const { return path_; }
  void NoteRun(const std::vector<std::pair<std::string, std::string>>& fields);
  // The "end" record, then the file is closed. False when any part of it
  // could not be written.
  bool End(int exitCode, const std::u16string& message);
  // End found that some of the file could not be written.
  bool Incomplete() const { return incomplete_; }

 private:
  std::u16string path_;
  capture::FileCaptureSink sink_;
  std::optional<capture::CaptureOsApi> capture_;
  bool incomplete_ = false;
};

// A whole run of `body` on `base`, captured to `path`: the file created
// first (the body does not run when it cannot be: *openError takes the Win32
// error and the result is -1), the "run" record with `run`'s fields, the body
// on the capture's boundary, the "end" record with its exit code. *written
// says whether the whole file could be written. An existing file is refused
// (ERROR_FILE_EXISTS) unless `replace`.
int RunCaptured(OsApi& base, const std::u16string& path, const std::string& application, CaptureClock clock,
                const std::vector<std::pair<std::string, std::string>>& run, const std::function<int(OsApi&)>& body,
                DWORD* openError, bool* written, bool replace = false);

}  // namespace kv27::console
