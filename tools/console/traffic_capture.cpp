#include "tools/console/traffic_capture.h"

#include <chrono>

#include "app/mouse_search.h"
#include "protocol/kv27_usb_comm.h"

namespace kv27::console {

CaptureClock HostCaptureClock() {
  CaptureClock clock;
  clock.startUs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  clock.us = [] {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  return clock;
}

TrafficCapture::TrafficCapture(OsApi& base, std::u16string path, std::string application, CaptureClock clock)
    : path_(path), sink_(base, std::move(path)) {
  capture::CaptureOptions options;
  options.application = std::move(application);
  options.clockUs = std::move(clock.us);
  options.startUs = clock.startUs;
  // The mouse's command collection carries its protocol's report id.
  options.reportIds[{kMouseUsagePage, kMouseUsage}] = kMouseReportId;
  capture_.emplace(base, sink_, std::move(options));
}

TrafficCapture::~TrafficCapture() {
  if (capture_) capture_->Finish();
}

DWORD TrafficCapture::Open(bool replace) { return sink_.Open(replace); }

void TrafficCapture::NoteRun(const std::vector<std::pair<std::string, std::string>>& fields) {
  capture_->Note("run", fields);
}

bool TrafficCapture::End(int exitCode, const std::u16string& message) {
  capture_->Note("end", {{"exit", std::to_string(exitCode)}, {"message", capture::Utf8(message)}});
  incomplete_ = !capture_->Finish();
  return !incomplete_;
}

int RunCaptured(OsApi& base, const std::u16string& path, const std::string& application, CaptureClock clock,
                const std::vector<std::pair<std::string, std::string>>& run, const std::function<int(OsApi&)>& body,
                DWORD* openError, bool* written, bool replace) {
  TrafficCapture capture(base, path, application, std::move(clock));
  *openError = capture.Open(replace);
  *written = false;
  if (*openError != 0) return -1;
  capture.NoteRun(run);
  const int code = body(capture.os());
  *written = capture.End(code, u"");
  return code;
}

}  // namespace kv27::console
