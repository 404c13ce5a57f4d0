// The dialog program's entry (Windows builds): the application object on the
// real platform, or with --simulate the same dialog on the real screen over a
// simulated USB world.
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "app/firmware_update_app.h"
#include "app/gui_command_line.h"
#include "app/simulated_usb_os.h"
#include "app/simulation.h"
#include "platform/os_api.h"
#include "sim/mouse_rig.h"
#include "tools/console/output_files.h"
#include "tools/console/traffic_capture.h"
#include "ui/app.h"

namespace kv27 {

// The program's one application object.
CKV27MFirmwareUpdateApp theApp;

namespace {

// The log of --simulate-log: one line per event, UTF-8, written through at
// once so that a reader sees every line of a run that is still going.
class LineLog {
 public:
  LineLog(w32::OsApi& os, const std::u16string& path) : os_(os) {
    file_ = os_.CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  }
  ~LineLog() {
    if (ok()) os_.CloseHandle(file_);
  }
  bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
  void Write(const std::string& line) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!ok()) return;
    std::string text = line + "\n";
    DWORD written = 0;
    os_.WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

 private:
  w32::OsApi& os_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::mutex mutex_;
};

std::u16string ProgramDirectory(w32::OsApi& os) {
  WCHAR path[1024] = {};
  DWORD n = os.GetModuleFileNameW(nullptr, path, 1024);
  std::u16string s(path, n);
  auto slash = s.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : s.substr(0, slash);
}

std::u16string ImageFileName() {
  std::u16string rig = sim::kRigImagePath;
  return rig.substr(rig.find_last_of(u'\\') + 1);
}

// The dialog's run on `os`; with --capture, on a capture of it. `screen`
// shows what goes wrong with the capture file.
int RunApp(w32::OsApi& os, w32::OsApi& screen, const GuiCommandLine& options, console::CaptureClock clock) {
  if (options.capturePath.empty()) return AppMain(os);
  const std::u16string image =
      options.imagePath.empty() ? ProgramDirectory(screen) + u"\\" + ImageFileName() : options.imagePath;
  // A new file, or an existing one the user let it replace; never the image
  // or the log.
  const std::u16string problem = console::OutputFileProblem(
      screen, options.capturePath, options.captureOverwrite,
      {{u"the image", image}, {u"the log (--simulate-log)", options.logPath}}, u"--capture-overwrite");
  if (!problem.empty()) {
    const std::u16string text = u"Refused --capture: " + problem + u".\n\nNothing was sent to the mouse.";
    screen.MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate", MB_OK | MB_ICONHAND);
    return 2;
  }
  DWORD error = 0;
  bool written = false;
  const int rc = console::RunCaptured(
      os, options.capturePath, "KV27MFirmwareUpdate", std::move(clock),
      {{"program", "KV27MFirmwareUpdate"},
       {"image", capture::Utf8(image)},
       {"simulated", options.simulate != nullptr ? options.simulate->name : "no"}},
      [](w32::OsApi& captured) { return AppMain(captured); }, &error, &written, options.captureOverwrite);
  if (error != 0) {
    const std::string code = std::to_string(error);
    std::u16string text = u"Cannot write the capture file " + options.capturePath + u" (error " +
                          std::u16string(code.begin(), code.end()) + u"); nothing was sent to the mouse";
    screen.MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate", MB_OK | MB_ICONHAND);
    return 2;
  }
  if (!written) {
    std::u16string text = u"The capture file " + options.capturePath + u" could not be written completely";
    screen.MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate", MB_OK | MB_ICONEXCLAMATION);
  }
  return rc;
}

int RunSimulated(w32::OsApi& real, const GuiCommandLine& options) {
  std::unique_ptr<LineLog> log;
  if (!options.logPath.empty()) {
    // The log, named by the user, may replace a file of its name, but never
    // the image beside the program, the one named, or the capture.
    const std::u16string image =
        options.imagePath.empty() ? ProgramDirectory(real) + u"\\" + ImageFileName() : options.imagePath;
    for (const std::u16string& input : {image, options.capturePath}) {
      if (console::SameFile(real, options.logPath, input)) {
        const std::u16string text = u"Refused --simulate-log " + options.logPath + u": it is " + input;
        real.MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate", MB_OK | MB_ICONHAND);
        return 2;
      }
    }
    log = std::make_unique<LineLog>(real, options.logPath);
    if (!log->ok()) {
      std::u16string text = u"Cannot write the log file " + options.logPath;
      real.MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate", MB_OK | MB_ICONHAND);
      return 2;
    }
    log->Write(std::string("scenario ") + options.simulate->name);
  }
  sim::World world;
  world.SetHostFiles(false);  // ordinary files stay the real ones, through the screen's side
  auto rig = BuildScenario(world, *options.simulate);
  SimulatedUsbOsApi::Options o;
  o.realTime = true;
  if (log) o.log = [&log](const std::string& line) { log->Write(line); };
  SimulatedUsbOsApi os(real, world, std::move(o));
  // A scenario that damages or removes the image file puts its own file in the
  // place of the one beside the program.
  if (rig->image() != SampleImageBytes()) {
    std::u16string path = ProgramDirectory(real) + u"\\" + ImageFileName();
    if (!rig->image().empty()) world.AddFile(path, rig->image());
    os.ServeFileFromWorld(path);
  }
  int rc = RunApp(os, real, options,
                  console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs});
  if (log) log->Write("exit " + std::to_string(rc));
  return rc;
}

}  // namespace

int GuiMain(const std::u16string& commandLine) {
  auto real = w32::MakeRealOsApi();
  GuiCommandLine options = ParseGuiCommandLine(commandLine);
  if (options.help || !options.error.empty()) {
    std::u16string text = options.error.empty() ? GuiUsage() : options.error + u"\n\n" + GuiUsage();
    real->MessageBoxW(nullptr, text.c_str(), u"KV27MFirmwareUpdate",
                      MB_OK | (options.error.empty() ? MB_ICONASTERISK : MB_ICONHAND));
    return options.error.empty() ? 0 : 2;
  }
  theApp.imagePath = options.imagePath;
  theApp.language = options.language;
  theApp.simulated = options.simulate != nullptr;
  if (!options.simulate) return RunApp(*real, *real, options, console::HostCaptureClock());
  return RunSimulated(*real, options);
}

}  // namespace kv27

// The program's entry with -municode: the command line after the program name.
// An allocation that fails anywhere below ends the program with the dialog's
// own out-of-memory message in a box, not with an uncaught exception.
extern "C" int __stdcall wWinMain(void*, void*, wchar_t* commandLine, int) {
  try {
    std::u16string line;
    for (const wchar_t* p = commandLine; p && *p; ++p) line += static_cast<char16_t>(*p);
    return kv27::GuiMain(line);
  } catch (const std::bad_alloc&) {
    if (auto os = w32::MakeRealOsApi()) {
      // The dialog's language: --lang, else the user's UI language.
      const kv27::UiLanguage language =
          kv27::theApp.language.value_or(kv27::LanguageOfLangId(os->GetUserDefaultUILanguage()));
      os->MessageBoxW(nullptr, kv27::UpgradeMessage(kv27::UpgradeStatus::OutOfMemory, language), u"KV27MFirmwareUpdate",
                      w32::MB_OK | w32::MB_ICONHAND);
    }
    return 1;
  }
}
