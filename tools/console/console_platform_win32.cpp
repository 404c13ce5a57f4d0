#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "tools/console/console_platform.h"

namespace kv27::console {
namespace {

std::atomic<bool> g_interrupted{false};

// The console runs the handler on a thread of its own; returning TRUE tells it
// the event is handled, so the process is not ended (SetConsoleCtrlHandler).
// The first press asks the program to stop where it safely can; on a second
// one FALSE passes the event on to the default handler, which ends the process.
BOOL WINAPI OnConsoleCtrl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return g_interrupted.exchange(true) ? FALSE : TRUE;
  return FALSE;
}

void Write(DWORD stream, const std::u16string& text) {
  HANDLE handle = GetStdHandle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  std::wstring wide(text.begin(), text.end());
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
  WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void WriteStdout(const std::u16string& text) { Write(STD_OUTPUT_HANDLE, text); }
void WriteStderr(const std::u16string& text) { Write(STD_ERROR_HANDLE, text); }
bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleCtrl, TRUE); }
bool InterruptRequested() { return g_interrupted.load(); }

std::vector<std::u16string> Arguments(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg(argv[i]);
    args.emplace_back(arg.begin(), arg.end());
  }
  return args;
}

std::u16string ProgramPath() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  return std::u16string(buffer.begin(), buffer.begin() + length);
}

std::u16string BackupFolder() {
  std::wstring base(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), static_cast<DWORD>(base.size()));
  if (length == 0 || length >= base.size()) return {};
  base.resize(length);
  const std::wstring folder = base + L"\\KV27M";
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  return std::u16string(folder.begin(), folder.end());
}

std::u16string LocalTimeStamp() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  wchar_t text[32];
  wsprintfW(text, L"%04u%02u%02u-%02u%02u%02u-%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
            t.wMilliseconds);
  std::wstring wide(text);
  return std::u16string(wide.begin(), wide.end());
}

UiLanguage UserLanguage() { return LanguageOfLangId(::GetUserDefaultUILanguage()); }

}  // namespace kv27::console
