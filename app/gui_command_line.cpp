#include "app/gui_command_line.h"

namespace kv27 {

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
  std::vector<std::u16string> args;
  std::u16string current;
  bool inArg = false, quoted = false;
  for (std::size_t i = 0; i < line.size();) {
    char16_t c = line[i];
    if (!quoted && (c == u' ' || c == u'\t')) {
      if (inArg) args.push_back(current);
      current.clear();
      inArg = false;
      ++i;
      continue;
    }
    inArg = true;
    if (c == u'\\') {
      std::size_t n = 0;
      while (i < line.size() && line[i] == u'\\') ++n, ++i;
      if (i < line.size() && line[i] == u'"') {
        current.append(n / 2, u'\\');
        if (n % 2) {
          current += u'"';
          ++i;
        }
      } else {
        current.append(n, u'\\');
      }
      continue;
    }
    if (c == u'"') {
      // "" inside quotes is a literal quote (the runtime's rule since 2008).
      if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
        current += u'"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (inArg) args.push_back(current);
  return args;
}

GuiCommandLine ParseGuiCommandLine(const std::u16string& commandLine) {
  GuiCommandLine out;
  auto args = SplitCommandLine(commandLine);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::u16string& a = args[i];
    if (a == u"--help" || a == u"-h" || a == u"/?") {
      out.help = true;
    } else if (a == u"--simulate" || a.rfind(u"--simulate=", 0) == 0) {
      std::string name = a == u"--simulate" ? "ok" : Narrow(a.substr(11));
      out.simulate = FindScenario(name);
      if (!out.simulate) {
        out.error = u"unknown scenario '" + Widen(name) + u"'";
        return out;
      }
    } else if (a == u"--simulate-log" || a.rfind(u"--simulate-log=", 0) == 0) {
      if (a == u"--simulate-log") {
        if (i + 1 >= args.size()) {
          out.error = u"--simulate-log needs a file name";
          return out;
        }
        out.logPath = args[++i];
      } else {
        out.logPath = a.substr(15);
      }
      if (out.logPath.empty()) {
        out.error = u"--simulate-log needs a file name";
        return out;
      }
    } else if (a == u"--capture" || a.rfind(u"--capture=", 0) == 0) {
      if (a == u"--capture") {
        if (i + 1 >= args.size()) {
          out.error = u"--capture needs a file name";
          return out;
        }
        out.capturePath = args[++i];
      } else {
        out.capturePath = a.substr(10);
      }
      if (out.capturePath.empty()) {
        out.error = u"--capture needs a file name";
        return out;
      }
    } else if (a == u"--capture-overwrite") {
      out.captureOverwrite = true;
    } else if (a.rfind(u"--lang=", 0) == 0) {
      bool bad = false;
      out.language = LanguageOption(a, bad);
      if (bad) {
        out.error = u"--lang takes zh or en, not '" + a.substr(7) + u"'";
        return out;
      }
    } else if (a.empty() || a[0] == u'-' || a[0] == u'/') {
      out.error = a.empty() ? u"an empty argument is no image path" : u"unknown option '" + a + u"'";
      return out;
    } else if (!out.imagePath.empty()) {
      out.error = u"only one image, please: '" + out.imagePath + u"' and '" + a + u"'";
      return out;
    } else {
      out.imagePath = a;
    }
  }
  if (!out.logPath.empty() && !out.simulate) out.error = u"--simulate-log works only with --simulate";
  if (out.captureOverwrite && out.capturePath.empty()) out.error = u"--capture-overwrite works only with --capture";
  return out;
}

std::u16string GuiUsage() {
  std::u16string text =
      u"KV27MFirmwareUpdate.exe [--simulate[=SCENARIO]] [--simulate-log FILE] [--capture FILE\n"
      u"                        [--capture-overwrite]] [--lang=zh|en] [IMAGE]\n"
      u"\n"
      u"Without options the program upgrades the mouse plugged into this PC.\n"
      u"IMAGE                  the firmware image (.bimg) to use instead of\n"
      u"                       KV27M_FW_UPGRADE.bimg beside the program\n"
      u"--simulate[=SCENARIO]  show the same dialog over a simulated mouse, bootloader\n"
      u"                       and USB bus, in real time (default scenario: ok)\n"
      u"--simulate-log FILE    write what the dialog showed, one event a line (UTF-8)\n"
      u"--capture FILE         write the run's USB traffic to FILE, a pcapng file that\n"
      u"                       Wireshark opens (with or without --simulate); FILE must\n"
      u"                       not exist, and is never the image\n"
      u"--capture-overwrite    let --capture replace an existing FILE\n"
      u"--lang=zh|en           the dialog in Simplified Chinese or English (default:\n"
      u"                       Chinese on a Chinese Windows, English on any other)\n"
      u"--help                 this text\n"
      u"\n"
      u"Scenarios:\n";
  for (const auto& s : Scenarios()) text += u"  " + Widen(s.name) + u" \u2013 " + Widen(s.description) + u"\n";
  return text;
}

}  // namespace kv27
