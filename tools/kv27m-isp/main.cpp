// kv27m-isp's entry point: command-line text in, console text out.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kv27m-isp/isp_tool.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
// A console gets UTF-16 through WriteConsoleW; a pipe or file gets UTF-8.
void Print(DWORD stream, const std::u16string& line) {
  HANDLE handle = GetStdHandle(stream);
  std::wstring text(line.begin(), line.end());
  text += L"\r\n";
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    DWORD written = 0;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}
#else
void Print(FILE* stream, const std::u16string& line) {
  std::string text = kv27::sim::ToUtf8(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}
#endif

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg(argv[i]);
    args.emplace_back(arg.begin(), arg.end());
  }
  kv27::IspToolIo io;
  io.out = [](const std::u16string& line) { Print(STD_OUTPUT_HANDLE, line); };
  io.err = [](const std::u16string& line) { Print(STD_ERROR_HANDLE, line); };
  return kv27::RunIspTool(args, io);
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(kv27::sim::FromUtf8(argv[i]));
  kv27::IspToolIo io;
  io.out = [](const std::u16string& line) { Print(stdout, line); };
  io.err = [](const std::u16string& line) { Print(stderr, line); };
  return kv27::RunIspTool(args, io);
}
#endif
