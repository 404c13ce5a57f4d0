#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "sim/world.h"
#include "tools/console/console_platform.h"

namespace kv27::console {
namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

// The first press asks the program to stop where it safely can; a second one
// is the user insisting: the default action ends the process.
void OnSigint(int) {
  if (g_interrupted.exchange(true)) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
  }
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void WriteStdout(const std::u16string& text) { WriteAll(STDOUT_FILENO, sim::ToUtf8(text)); }
void WriteStderr(const std::u16string& text) { WriteAll(STDERR_FILENO, sim::ToUtf8(text)); }
bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}
bool InterruptRequested() { return g_interrupted.load(); }

std::vector<std::u16string> Arguments(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(sim::FromUtf8(argv[i]));
  return args;
}

std::u16string ProgramPath() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::u16string() : sim::FromUtf8(path.string());
}

std::u16string BackupFolder() {
  std::filesystem::path base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != 0) {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  const auto folder = base / "kv27m";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (!std::filesystem::is_directory(folder, ec)) return {};
  return sim::FromUtf8(folder.string());
}

std::u16string LocalTimeStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  char millis[24];
  std::snprintf(millis, sizeof millis, "-%03ld", now.tv_nsec / 1'000'000);
  return sim::FromUtf8(std::string(text) + millis);
}

UiLanguage UserLanguage() {
  // POSIX: LC_ALL overrides every category, then LC_MESSAGES names the
  // messages' locale, then LANG; unset or empty ones are skipped.
  return LanguageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

}  // namespace kv27::console
