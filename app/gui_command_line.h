// The dialog program's command line.
//
//   KV27MFirmwareUpdate.exe [--simulate[=SCENARIO]] [--simulate-log FILE] [--capture FILE.pcapng
//                           [--capture-overwrite]] [--lang=zh|en] [--help] [IMAGE]
//
// IMAGE (a .bimg dropped on the program, or opened with it) takes the place of
// the default image beside the program: it is shown in the path box and
// starts the upgrade by itself as the default would. Without options the
// program works on the real USB devices. --simulate shows
// the same dialog while the mouse, its bootloader and the bus are simulated
// (scenario "ok" unless named); --simulate-log writes what the user was shown,
// one event a line (UTF-8). --capture writes the run's USB traffic as a
// pcapng file (Wireshark), on the real devices or the simulated ones: a new
// file, or with --capture-overwrite an existing one, never the image. --lang
// shows the dialog in Simplified Chinese or English whatever the user's UI
// language. A GUI program has no console: --help and mistakes
// are shown in a message box.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/simulation.h"
#include "res/ui_text.h"

namespace kv27 {

struct GuiCommandLine {
  bool help = false;
  const Scenario* simulate = nullptr;  // null: the real devices
  std::u16string logPath;              // empty: no log
  std::u16string capturePath;          // empty: no capture
  bool captureOverwrite = false;       // --capture-overwrite: an existing capture file may be replaced
  std::u16string imagePath;            // empty: the default image beside the program
  std::optional<UiLanguage> language;  // none: the user's UI language
  std::u16string error;                // not empty: the command line is wrong; show it with the usage
};

// Splits a command line (without the program's name) as the C runtime does:
// blanks separate arguments, double quotes group, 2n backslashes before a
// quote give n and the quote groups, 2n+1 give n and a literal quote.
std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine);

GuiCommandLine ParseGuiCommandLine(const std::u16string& commandLine);

// The usage text with every scenario and its description.
std::u16string GuiUsage();

}  // namespace kv27
