// The little the console programs' entry points need from the platform itself,
// outside the OS boundary of the system: the standard streams, Ctrl+C, the
// program's own path, the per-user state folder, the user's language and the
// local time.
#pragma once

#include <string>
#include <vector>

#include "res/ui_text.h"

namespace kv27::console {

// Text to standard output or standard error as it stands (no newline added).
// A Windows console gets UTF-16; pipes and files get UTF-8.
void WriteStdout(const std::u16string& text);
void WriteStderr(const std::u16string& text);
// Whether standard output is a terminal (a console on Windows).
bool StdoutIsTerminal();

// Ctrl+C: after InstallInterruptHandler, a press (SIGINT; on Windows the
// console's Ctrl+C and Ctrl+Break events) only sets a flag, which the programs
// look at while they wait; the process is not ended. A second press ends it
// the ordinary way.
void InstallInterruptHandler();
bool InterruptRequested();

// The program's arguments after its name, as UTF-16 (the command line's own
// units on Windows, UTF-8 elsewhere).
#if defined(_WIN32)
std::vector<std::u16string> Arguments(int argc, wchar_t** argv);
#else
std::vector<std::u16string> Arguments(int argc, char** argv);
#endif

// The running program's full path; empty when unknown.
std::u16string ProgramPath();
// The per-user folder for backups, created when missing: %LOCALAPPDATA%\KV27M
// on Windows, $XDG_STATE_HOME/kv27m or ~/.local/state/kv27m elsewhere. Empty
// when there is none and it cannot be made.
std::u16string BackupFolder();
// The language of the user's messages: on Windows the user's UI language
// (Chinese for a primary language of Chinese), elsewhere the locale's (LC_ALL,
// else LC_MESSAGES, else LANG). English for every language but Chinese.
UiLanguage UserLanguage();
// The local time as YYYYMMDD-HHMMSS-mmm (milliseconds), for file names.
std::u16string LocalTimeStamp();

}  // namespace kv27::console
