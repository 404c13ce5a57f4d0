#include "tools/kv27m-update/update_tool.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/mouse_search.h"
#include "app/simulation.h"
#include "app/user_data_backup.h"
#include "capture/replay.h"
#include "protocol/kv27_usb_comm.h"
#include "protocol/kv8b05_comm.h"
#include "tools/console/logging_os_api.h"
#include "tools/console/output_files.h"
#include "tools/console/progress_display.h"
#include "tools/console/traffic_capture.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27 {
using namespace w32;
using console::ProgressDisplay;

namespace {

constexpr char16_t kImageName[] = u"KV27M_FW_UPGRADE.bimg";

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return Ascii(text);
}

struct Options {
  bool simulate = false;
  bool timing = false;  // the bus timing model, in real time
  std::string scenario = "ok";
  bool verbose = false;
  bool dryRun = false;
  bool list = false;
  std::u16string backup;               // empty: the default folder
  std::u16string image;                // empty: beside the program
  std::u16string capture;              // --capture FILE
  bool captureOverwrite = false;       // --capture-overwrite: FILE may be replaced
  std::u16string besideImage;          // the real image a simulation takes in place of its own
  std::u16string replay;               // --replay FILE
  std::optional<UiLanguage> language;  // --lang
  // A replay that diverged: the run stops where it can.
  std::function<bool()> stop;
};

std::u16string Usage() {
  std::u16string text =
      u"usage: kv27m-update [--simulate[=SCENARIO] [--timing]] [--verbose] [--dry-run] [--backup FILE]\n"
      u"                    [--capture FILE.pcapng [--capture-overwrite]] [--lang=zh|en] [IMAGE]\n"
      u"       kv27m-update --replay FILE.pcapng [--backup FILE] [--capture FILE.pcapng [--capture-overwrite]]\n"
      u"                    [IMAGE]\n"
      u"       kv27m-update --list\n"
      u"  Upgrades the mouse's firmware to IMAGE (.bimg) and keeps its settings.\n"
      u"  Without IMAGE: KV27M_FW_UPGRADE.bimg beside the program.\n"
      u"\n"
      u"  --simulate[=SCENARIO]  run on a simulated PC (default scenario \"ok\")\n"
      u"  --timing               with --simulate: USB frames, packets, flash and re-enumeration\n"
      u"                         times, in real time, so the run takes as long as on a real bus\n"
      u"  --verbose              print every HID report and bulk transfer, in hex, with times\n"
      u"  --dry-run              check the image and read the settings, change nothing\n"
      u"  --capture FILE         write the run's USB traffic to FILE, a pcapng file that\n"
      u"                         Wireshark opens (USBPcap frames, HID decoded); FILE must\n"
      u"                         not exist, and is never the image or the replayed capture\n"
      u"  --capture-overwrite    let --capture replace an existing FILE\n"
      u"  --replay FILE          run against the devices of a capture instead of the USB bus,\n"
      u"                         in virtual time: every request must be the capture's next one\n"
      u"                         on its endpoint, and is answered as it was then; IMAGE\n"
      u"                         defaults to the captured run's (no backup unless --backup);\n"
      u"                         the capture of a dry run replays as a dry run\n"
      u"  --list                 list the mice and bootloaders on the USB bus (bus and port\n"
      u"                         path, device node, whether this user can open it)\n"
      u"  --backup FILE          save the settings to FILE (default: a new file in the\n"
      u"                         per-user folder: %LOCALAPPDATA%\\KV27M on Windows,\n"
      u"                         $XDG_STATE_HOME/kv27m or ~/.local/state/kv27m elsewhere)\n"
      u"  --lang=zh|en           the messages in Simplified Chinese or English (default: the\n"
      u"                         locale's language, LC_ALL, LC_MESSAGES or LANG; on Windows\n"
      u"                         the user's UI language)\n"
      u"  --help                 this text\n"
      u"\n"
      u"  The settings are saved before the mouse is sent to its bootloader; if that\n"
      u"  file cannot be written, nothing is sent. Ctrl+C ends the wait for the\n"
      u"  bootloader; a flash that has begun runs to its end (a second Ctrl+C ends\n"
      u"  the program at once). A mouse left in its bootloader is recovered with:\n"
      u"  kv27m-isp --user-data BACKUP IMAGE\n"
      u"\n"
      u"scenarios:\n";
  for (const auto& s : Scenarios()) {
    std::string name = s.name;
    name.resize(std::max<std::size_t>(name.size(), 20), ' ');
    text += Ascii("  " + name + " " + s.description + "\n");
  }
  text +=
      u"\n"
      u"exit status:\n";
  text += console::ExitCodeLines(UpdateExitCodes());
  text.pop_back();
  return text;
}

// Parses the arguments; an error text for a usage error.
std::optional<std::u16string> Parse(const std::vector<std::u16string>& args, Options& o, bool& help) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::u16string& a = args[i];
    if (a == u"--help" || a == u"-h") {
      help = true;
    } else if (a == u"--simulate") {
      o.simulate = true;
    } else if (a.rfind(u"--simulate=", 0) == 0) {
      o.simulate = true;
      o.scenario = sim::ToUtf8(a.substr(11));
      if (FindScenario(o.scenario) == nullptr) return u"unknown scenario '" + a.substr(11) + u"'";
    } else if (a == u"--timing") {
      o.timing = true;
    } else if (a == u"--verbose" || a == u"-v") {
      o.verbose = true;
    } else if (a == u"--dry-run") {
      o.dryRun = true;
    } else if (a == u"--list") {
      o.list = true;
    } else if (a == u"--backup") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return u"--backup needs a FILE";
      o.backup = args[++i];
    } else if (a.rfind(u"--backup=", 0) == 0 && a.size() > 9) {
      o.backup = a.substr(9);
    } else if (a == u"--capture") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return u"--capture needs a FILE";
      o.capture = args[++i];
    } else if (a.rfind(u"--capture=", 0) == 0 && a.size() > 10) {
      o.capture = a.substr(10);
    } else if (a == u"--capture-overwrite") {
      o.captureOverwrite = true;
    } else if (a == u"--replay") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return u"--replay needs a FILE";
      o.replay = args[++i];
    } else if (a.rfind(u"--replay=", 0) == 0 && a.size() > 9) {
      o.replay = a.substr(9);
    } else if (a.rfind(u"--lang=", 0) == 0) {
      bool bad = false;
      o.language = LanguageOption(a, bad);
      if (bad) return u"--lang takes zh or en, not '" + a.substr(7) + u"'";
    } else if (a.size() > 1 && a[0] == u'-') {
      return u"unknown option " + a;
    } else if (o.image.empty() && !a.empty()) {
      o.image = a;
    } else {
      return u"only one IMAGE, please";
    }
  }
  if (o.timing && !o.simulate) return u"--timing needs --simulate";
  if (o.captureOverwrite && o.capture.empty()) return u"--capture-overwrite needs --capture FILE";
  if (!o.replay.empty() && o.simulate) return u"--replay runs on the capture's devices; it takes no --simulate";
  if (o.list && o.simulate) return u"--list looks at the real USB bus, not a simulated one";
  if (o.list && !o.replay.empty()) return u"--list looks at the real USB bus, not at a capture; it takes no --replay";
  return std::nullopt;
}

std::u16string DirectoryOf(const std::u16string& path) {
  const auto cut = path.find_last_of(u"\\/");
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
}
char16_t SeparatorOf(const std::u16string& dir) { return dir.find(u'\\') != std::u16string::npos ? u'\\' : u'/'; }

// The dialog's default: the image under its name in the program's directory.
std::u16string DefaultImagePath(OsApi& os) {
  WCHAR module[1024] = {};
  const DWORD length = os.GetModuleFileNameW(nullptr, module, 1024);
  if (length == 0 || length >= 1024) return kImageName;
  const std::u16string dir = DirectoryOf(std::u16string(module, length));
  return dir.empty() ? std::u16string(kImageName) : dir + SeparatorOf(dir) + kImageName;
}

// The files a run reads, which no output of it may replace: the image (and
// the real one beside the program that a simulation takes in its place), the
// capture being replayed; the backup named with --backup is an output but is
// never replaced by another output either.
std::vector<console::RunInput> RunInputs(OsApi& os, const Options& options) {
  return {{u"the image", options.image.empty() ? DefaultImagePath(os) : options.image},
          {u"the image", options.besideImage},
          {u"the capture being replayed", options.replay},
          {u"the settings backup (--backup)", options.backup},
          {u"the capture (--capture)", options.capture}};
}

// The console's face of the upgrade sequence.
class ConsoleFace : public UpgradeFace {
 public:
  ConsoleFace(OsApi& os, const Options& options, const UpdateToolIo& io, ProgressDisplay& display)
      : os_(os), options_(options), io_(io), display_(display) {}

  void SetProgress(int percent) override {
    if (percent >= 50)
      display_.SetStep(percent, console::FlashStepWords(percent));
    else
      display_.SetPercent(percent);
  }
  void ShowMessage(UpgradeStatus, const char16_t*) override { display_.Finish(); }
  // The port the run follows: the backup is named after it.
  void OnMousePort(const USBDeviceEntry& port) override { place = PortPlace(port); }
  void OnStage(UpgradeStage stage) override {
    stage_ = stage;
    if (io_.onStage) io_.onStage(stage);
    // The waits and the flash steps bring their own words (with the time left).
    if (stage != UpgradeStage::WaitBootloader && stage != UpgradeStage::Flash)
      display_.SetActivity(console::StageWords(stage));
  }
  bool OnUserDataRead(const std::uint8_t* data, std::size_t size) override {
    if (Interrupted()) return false;
    if (options_.dryRun) {
      display_.Finish();
      Summary(data);
      return false;
    }
    return SaveBackup(data);
  }
  bool OnWait(UpgradeStage stage, DWORD elapsedMs, DWORD limitMs) override {
    if (Interrupted()) return false;
    display_.SetWait(stage == UpgradeStage::WaitBootloader ? u"waiting for the bootloader" : u"opening the bootloader",
                     elapsedMs, limitMs);
    return true;
  }

  // Where the followed mouse is on the bus, for the backup's name (empty:
  // unknown).
  std::u16string place;
  bool cancelled = false;
  bool stopped = false;  // a replay that diverged
  bool backupFailed = false;
  std::u16string backupPath;  // set once written
  UpgradeStage stage_ = UpgradeStage::CheckImage;

 private:
  bool Interrupted() {
    if (!cancelled && io_.interrupted && io_.interrupted()) cancelled = true;
    if (!stopped && options_.stop && options_.stop()) stopped = true;
    return cancelled || stopped;
  }

  void Summary(const std::uint8_t* data) {
    io_.out(u"dry run: the image is accepted and the settings were read; nothing was sent to the mouse");
    io_.out(u"settings: " + Ascii(std::to_string(kUserDataSize)) + u" bytes for 0x3800, CRC-32 " +
            Hex32(Crc32(data, kUserDataSize)));
    for (std::size_t page = 0; page <= kUserDataPages; ++page) {
      const std::uint8_t* p = data + page * kUserDataPageSize;
      const std::size_t n =
          page < kUserDataPages ? kUserDataPageSize : kUserDataSize - kUserDataPages * kUserDataPageSize;
      std::string head = page < kUserDataPages ? "  page " + std::to_string(page) + "  " : "  copy    ";
      char text[32];
      std::snprintf(text, sizeof text, "0x%04X %3u bytes  CRC-32 ",
                    static_cast<unsigned>(kUserDataOffset + page * kUserDataPageSize), static_cast<unsigned>(n));
      std::string line = head + text;
      std::u16string wide = Ascii(line) + Hex32(Crc32(p, n)) + u" ";
      for (std::size_t i = 0; i < std::min<std::size_t>(n, 8); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", p[i]);
        wide += Ascii(byte);
      }
      io_.out(wide + (n > 8 ? u" ..." : u""));
    }
  }

  bool SaveBackup(const std::uint8_t* data) {
    if (!options_.replay.empty() && options_.backup.empty()) {
      display_.Line(u"replay: no settings backup is written (name one with --backup FILE)");
      return true;
    }
    const std::vector<std::uint8_t> bytes = EncodeBackup(data);
    std::u16string path = options_.backup;
    DWORD error = 0;
    bool written = false;
    if (path.empty()) {
      std::u16string folder = io_.backupFolder ? io_.backupFolder() : std::u16string();
      // A simulated mouse's settings stay apart from the real mice's.
      if (options_.simulate) folder = SimulatedBackupFolder(os_, folder);
      if (folder.empty()) {
        Fail(u"there is no per-user folder for the settings backup; name a file with --backup FILE");
        return false;
      }
      const std::u16string stamp = io_.timeStamp ? io_.timeStamp() : u"0";
      written = WriteNewBackupFile(os_, folder, stamp, place, bytes, path, error);
      if (!written) path = folder + SeparatorOf(folder) + u"backup-" + stamp + Ascii(kBackupExtension);
    } else {
      // A backup named on the command line may replace a file of its name,
      // but never one the run reads or its capture.
      std::vector<console::RunInput> inputs = RunInputs(os_, options_);
      inputs.erase(inputs.begin() + 3);  // the backup itself
      for (const auto& input : inputs) {
        if (console::SameFile(os_, path, input.path)) {
          Fail(u"refused --backup " + path + u": it is " + input.what + u"; choose another name");
          return false;
        }
      }
      written = WriteWholeFile(os_, path, bytes, true, error);
    }
    if (!written) {
      Fail(u"cannot write the settings backup " + path + u" (error " + Ascii(std::to_string(error)) + u")");
      return false;
    }
    backupPath = path;
    display_.Line(u"settings saved to " + path);
    return true;
  }

  void Fail(const std::u16string& text) {
    backupFailed = true;
    display_.Finish();
    io_.err(u"kv27m-update: " + text);
    io_.err(u"kv27m-update: stopped before the mouse was sent to its bootloader; it is unchanged");
  }

  OsApi& os_;
  const Options& options_;
  const UpdateToolIo& io_;
  ProgressDisplay& display_;
};

// The dialog's three device objects, on one boundary.
struct Devices {
  explicit Devices(OsApi& os) : monitor(os), bootLink(os), mouseLink(os) {}
  CUSBDeviceMonitor monitor;
  CKV8B05Comm bootLink;
  CKV27USBComm mouseLink;
};

int Finish(UpgradeStatus status, const ConsoleFace& face, const std::u16string& imagePath, const UpdateToolIo& io,
           UiLanguage language) {
  if (face.stopped) return kUpdateReplayDiverged;  // the caller reports the divergence
  if (face.backupFailed) return kUpdateBackupFailed;
  const bool afterRequest = status >= UpgradeStatus::BootloaderNotFound && status <= UpgradeStatus::ExitFailed;
  if (face.cancelled) {
    if (status == UpgradeStatus::Stopped) {
      io.err(u"kv27m-update: stopped by Ctrl+C before the mouse was sent to its bootloader; it is unchanged");
    } else {
      io.err(u"kv27m-update: stopped by Ctrl+C while waiting for the bootloader");
      if (!face.backupPath.empty())
        io.err(u"if the mouse stays in its bootloader, recover it with its settings:\n  kv27m-isp --user-data \"" +
               face.backupPath + u"\" \"" + imagePath + u"\"");
    }
    return kUpdateCancelled;
  }
  if (status == UpgradeStatus::Stopped) return kUpdateOk;  // the dry run printed its summary
  // In Chinese the program's own text with an English gloss; in English the
  // English text alone.
  const std::u16string text = language == UiLanguage::Chinese
                                  ? std::u16string(UpgradeMessage(status)) + u"  (" + UpgradeGloss(status) + u")"
                                  : std::u16string(UpgradeMessage(status, language));
  if (status == UpgradeStatus::Success) {
    io.out(text);
  } else {
    io.err(text);
    if (afterRequest && !face.backupPath.empty())
      io.err(u"if the mouse stays in its bootloader, recover it with its settings:\n  kv27m-isp --user-data \"" +
             face.backupPath + u"\" \"" + imagePath + u"\"");
  }
  return UpdateExitCode(status);
}

// The exit status of a run whose capture may have failed: a capture that
// could not be written completely turns success into kUpdateCaptureFailed; a
// run that failed keeps its own status (both were told).
int WithCapture(int code, const console::TrafficCapture* capture) {
  return code == kUpdateOk && capture != nullptr && capture->Incomplete() ? kUpdateCaptureFailed : code;
}

// One run on `os`; `owner` is the window that passes device changes to the
// mouse link (null on the real platform for now).
int RunOn(OsApi& baseOs, HWND owner, Devices*& devicesOut, const Options& options, const UpdateToolIo& io,
          console::TrafficCapture* capture = nullptr) {
  ProgressDisplay display(io.out, io.terminal);
  OsApi& observed = capture != nullptr ? capture->os() : baseOs;
  std::optional<console::LoggingOsApi> logging;
  if (options.verbose) logging.emplace(observed, [&display](const std::u16string& line) { display.Line(line); });
  OsApi& os = options.verbose ? static_cast<OsApi&>(*logging) : observed;

  const std::u16string imagePath = options.image.empty() ? DefaultImagePath(os) : options.image;
  io.out(u"image: " + imagePath);
  if (capture != nullptr) {
    capture->NoteRun({{"program", "kv27m-update"},
                      {"image", capture::Utf8(imagePath)},
                      {"mode", options.dryRun ? "dry-run" : "upgrade"},
                      {"simulated", options.simulate         ? options.scenario
                                    : options.replay.empty() ? "no"
                                                             : "replay"}});
  }

  Devices devices(os);
  devicesOut = &devices;
  devices.monitor.ownerWindow = owner;
  devices.monitor.Refresh();
  WCHAR path[kHidMaxPath] = {};
  if (FindMouseInterface(os, path)) {
    if (owner != nullptr)
      devices.mouseLink.Start(path, owner);
    else
      devices.mouseLink.Start(path);  // no window on the real boundary yet: the link starts without an owner
  }

  ConsoleFace face(os, options, io, display);
  const UpgradeStatus status =
      RunUpgrade(os, UpgradeDevices{devices.mouseLink, devices.bootLink, devices.monitor}, imagePath.c_str(), face);
  display.Finish();
  const UiLanguage language = options.language.value_or(io.language);
  const int code = Finish(status, face, imagePath, io, language);
  if (capture != nullptr) {
    const bool told = status != UpgradeStatus::Stopped && !face.cancelled && !face.stopped && !face.backupFailed;
    if (!capture->End(code, told ? UpgradeMessage(status, language) : u"")) {
      // Both are told; a failed run's own status is the one that stays.
      io.err(u"kv27m-update: the capture " + capture->path() + u" could not be written completely" +
             (code == kUpdateOk ? std::u16string(u" (exit status 7)")
                                : u"; the exit status is the upgrade's own (" + Ascii(std::to_string(code)) + u")"));
    } else {
      io.out(u"capture written to " + capture->path());
    }
  }
  devicesOut = nullptr;
  return code;
}

// RunOn in `world`, with a headless window of it as the mouse link's owner:
// device changes reach the link through it, as they would through a window of
// the program's.
int RunOnWorld(sim::World& world, const Options& options, const UpdateToolIo& io, console::TrafficCapture* capture) {
  Devices* devices = nullptr;
  HWND owner = world.CreateHeadlessWindow([&devices](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && devices != nullptr) devices->mouseLink.OnDeviceChange(wParam, lParam);
    return 0;
  });
  const int code = RunOn(world, owner, devices, options, io, capture);
  world.DestroyHeadlessWindow(owner);
  return code;
}

// The capture of --capture over `base`, its file created; null when none was
// asked for or when it cannot be written (`failed` then set, the reason told).
// An existing file is refused unless --capture-overwrite, and the files the
// run reads always.
std::unique_ptr<console::TrafficCapture> OpenCapture(OsApi& base, const Options& options, console::CaptureClock clock,
                                                     const UpdateToolIo& io, bool& failed) {
  failed = false;
  if (options.capture.empty()) return nullptr;
  std::vector<console::RunInput> inputs = RunInputs(base, options);
  inputs.pop_back();  // the capture itself
  const std::u16string problem =
      console::OutputFileProblem(base, options.capture, options.captureOverwrite, inputs, u"--capture-overwrite");
  if (!problem.empty()) {
    io.err(u"kv27m-update: refused --capture: " + problem);
    io.err(u"kv27m-update: nothing was sent to the mouse");
    failed = true;
    return nullptr;
  }
  auto capture = std::make_unique<console::TrafficCapture>(base, options.capture, "kv27m-update", std::move(clock));
  if (const DWORD error = capture->Open(options.captureOverwrite); error != 0) {
    io.err(u"kv27m-update: cannot write the capture " + options.capture + u" (error " + Ascii(std::to_string(error)) +
           u"); nothing was sent to the mouse");
    failed = true;
    return nullptr;
  }
  return capture;
}

// --replay: the run on the devices of a capture.
int RunReplay(Options options, const UpdateToolIo& io) {
  std::optional<sim::World> ownWorld;
  sim::World& world = io.world != nullptr ? *io.world : ownWorld.emplace();
  world.SetModulePath(sim::kRigProgramPath);
  if (io.prepareWorld) io.prepareWorld(world);

  DWORD error = 0;
  std::string why;
  std::unique_ptr<capture::ReplayBus> replay =
      capture::ReplayBus::FromFile(world, world, options.replay, capture::kCaptureFileLimit, &why, &error);
  if (!replay && error != 0) {
    io.err(u"kv27m-update: cannot read the capture " + options.replay + u" (error " + Ascii(std::to_string(error)) +
           (error == capture::kErrorFileTooLarge ? u": " + sim::FromUtf8(why) : u"") + u")");
    return kUpdateCaptureFailed;
  }
  if (!replay) {
    io.err(u"kv27m-update: " + options.replay + u" is not a capture that can be replayed: " + sim::FromUtf8(why));
    return kUpdateCaptureFailed;
  }
  capture::ReplayBus& bus = *replay;
  if (!bus.Problem().empty()) {
    io.err(u"kv27m-update: " + options.replay + u" is not a capture that can be replayed: " +
           sim::FromUtf8(bus.Problem()));
    return kUpdateCaptureFailed;
  }
  const std::string program = bus.RunField("program");
  io.out(u"replaying " + options.replay + u": a capture of " +
         (program.empty() ? u"an unknown program" : sim::FromUtf8(program)) + u", " +
         Ascii(std::to_string(bus.Requests())) + u" requests, in virtual time");
  if (bus.RunField("mode") == "dry-run" && !options.dryRun) {
    options.dryRun = true;
    io.out(u"the captured run was a dry run (--dry-run): replayed as one");
  }
  if (options.image.empty()) {
    // The captured run's image. A simulated run's lived only in its world:
    // its scenario's image file (none, for a scenario without one), or the
    // bundled sample.
    options.image = sim::FromUtf8(bus.RunField("image"));
    const std::string simulated = bus.RunField("simulated");
    std::vector<std::uint8_t> image;
    if (!options.image.empty() && !simulated.empty() && simulated != "no" &&
        !ReadWholeFile(world, options.image, 1u << 20, image, error)) {
      image = SampleImageBytes();
      if (const Scenario* scenario = FindScenario(simulated)) {
        sim::World scratch;
        image = BuildScenario(scratch, *scenario)->image();
      }
      if (!image.empty()) world.AddFile(options.image, image);
    }
  }
  options.stop = [&bus] { return bus.Diverged(); };

  bool failed = false;
  auto capture = OpenCapture(
      world, options, console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs}, io,
      failed);
  if (failed) return kUpdateCaptureFailed;
  const int code = RunOnWorld(world, options, io, capture.get());
  const bool captureIncomplete = capture != nullptr && capture->Incomplete();
  capture.reset();

  const auto divergence = bus.Finish();
  if (divergence && !divergence->pastTheEnd) {
    io.err(u"kv27m-update: " + sim::FromUtf8(divergence->Report()));
    return kUpdateReplayDiverged;
  }
  if (!bus.Complete()) {
    io.err(u"kv27m-update: replay: the " + Ascii(std::to_string(bus.Matched())) +
           u" requests the run made matched the capture, but the capture has no end record (the captured run was "
           u"stopped, or its file cut)" +
           (divergence ? u"; this run went on past its end with " + sim::FromUtf8(divergence->where)
                       : u"; this run ended with exit " + Ascii(std::to_string(code))) +
           u": the outcome cannot be compared");
    return kUpdateReplayIncomplete;
  }
  const auto captured = bus.CapturedExit();
  if (captured && *captured != code) {
    io.err(u"kv27m-update: replay diverged: every request matched, but the captured run ended with exit " +
           Ascii(std::to_string(*captured)) + u" (" + sim::FromUtf8(bus.CapturedMessage()) + u") and this one with " +
           Ascii(std::to_string(code)));
    return kUpdateReplayDiverged;
  }
  io.out(u"replay: the " + Ascii(std::to_string(bus.Matched())) +
         u" requests matched the capture; the run ended as the captured one did (exit " + Ascii(std::to_string(code)) +
         u")");
  return code == kUpdateOk && captureIncomplete ? kUpdateCaptureFailed : code;
}

// A run on real devices behind a world: device changes reach the mouse link
// through a window of the world, as they do in simulation. A run that failed
// because a device node was refused says which node and how to give the user
// access.
int RunOnRealUsb(console::RealUsb& usb, const Options& options, const UpdateToolIo& io) {
  if (options.list) {
    const std::vector<std::u16string> lines = usb.List();
    if (lines.empty()) io.out(u"no N4 mouse and no bootloader on the USB bus");
    for (const auto& line : lines) io.out(line);
    return kUpdateOk;
  }
  // A node of the mouse this user may not open stops the run before anything
  // is read or sent (the request that starts the bootloader included).
  if (const std::vector<std::u16string> early = usb.AdviceBeforeRun(true); !early.empty()) {
    for (const auto& line : early) io.err(u"kv27m-update: " + line);
    io.err(u"kv27m-update: nothing was sent to the mouse; it is unchanged");
    return kUpdateNoPermission;
  }
  sim::World& world = usb.World();
  bool failed = false;
  auto capture = OpenCapture(world, options, console::HostCaptureClock(), io, failed);
  if (failed) return kUpdateCaptureFailed;
  const int code = WithCapture(RunOnWorld(world, options, io, capture.get()), capture.get());
  capture.reset();
  if (code == kUpdateOk || code == kUpdateBackupFailed || code == kUpdateCancelled) return code;
  const std::vector<std::u16string> advice = usb.PermissionAdvice();
  if (advice.empty()) return code;
  for (const auto& line : advice) io.err(u"kv27m-update: " + line);
  return kUpdateNoPermission;
}

}  // namespace

int UpdateExitCode(UpgradeStatus status) {
  if (status == UpgradeStatus::Success || status == UpgradeStatus::Stopped) return kUpdateOk;
  return kUpdateFailureBase + static_cast<int>(status);
}

const std::vector<console::ExitCodeRow>& UpdateExitCodes() {
  static const std::vector<console::ExitCodeRow> rows = [] {
    std::vector<console::ExitCodeRow> r = {
        {kUpdateOk, u"success (a dry run included)"},
        {kUpdateUsage, u"usage error"},
        {kUpdateBackupFailed,
         u"the settings backup could not be written, or --backup names a file the run reads; nothing was sent to "
         u"the mouse"},
        {kUpdateCancelled, u"ended by Ctrl+C"},
        {kUpdateNoHardware, u"no USB access in this build"},
        {kUpdateReplayDiverged, u"the replay diverged from the capture: the report names the frame and both sides"},
        {kUpdateCaptureFailed,
         u"the capture file was refused (it exists, or the run reads it; nothing was sent to the mouse) or could "
         u"not be written completely, or the replayed capture could not be read; an upgrade that failed keeps its "
         u"own status"},
        {kUpdateNoPermission, u"a device node this user may not open (the message names it and the rule file)"},
        {kUpdateReplayIncomplete,
         u"replay: the capture has no end record (its run was stopped or the file cut), so the outcome cannot be "
         u"compared"},
    };
    for (int v = static_cast<int>(UpgradeStatus::MouseAbsent); v < static_cast<int>(UpgradeStatus::Stopped); ++v) {
      const auto status = static_cast<UpgradeStatus>(v);
      r.push_back({UpdateExitCode(status), UpgradeGloss(status)});
    }
    return r;
  }();
  return rows;
}

const char16_t* UpgradeGloss(UpgradeStatus status) {
  switch (status) {
    case UpgradeStatus::Success:
      return u"the upgrade succeeded";
    case UpgradeStatus::MouseAbsent:
      return u"plug in the mouse to be upgraded";
    case UpgradeStatus::NoImagePath:
      return u"choose an image file";
    case UpgradeStatus::OutOfMemory:
      return u"out of memory";
    case UpgradeStatus::ImageOpenFailed:
      return u"the image file cannot be opened";
    case UpgradeStatus::HeaderReadFailed:
      return u"the image header cannot be read";
    case UpgradeStatus::InvalidImage:
      return u"not a valid image file";
    case UpgradeStatus::NotKv27Image:
      return u"not an image for this mouse family";
    case UpgradeStatus::WrongImageName:
      return u"the image is for another model";
    case UpgradeStatus::WrongChecksum:
      return u"the image's checksum field is wrong";
    case UpgradeStatus::WrongLength:
      return u"the image's length field is wrong";
    case UpgradeStatus::DecodeInitFailed:
      return u"the image cannot be decoded";
    case UpgradeStatus::PayloadReadFailed:
      return u"the image's data cannot be read";
    case UpgradeStatus::DecodeVerifyFailed:
      return u"the decoded image fails its check";
    case UpgradeStatus::UserDataFailed:
      return u"the mouse's settings could not be read";
    case UpgradeStatus::BootloaderNotFound:
      return u"the bootloader did not appear; replug the mouse and run the upgrade again";
    case UpgradeStatus::BootloaderOpenFailed:
      return u"the bootloader could not be opened";
    case UpgradeStatus::EraseFailed:
      return u"erasing the flash failed";
    case UpgradeStatus::WriteFailed:
      return u"writing the flash failed";
    case UpgradeStatus::ReadFailed:
      return u"reading the flash back failed";
    case UpgradeStatus::CompareFailed:
      return u"the flash read back differs from the image";
    case UpgradeStatus::VerifyFailed:
      return u"the bootloader's verify failed";
    case UpgradeStatus::ProtectFailed:
      return u"setting read protection failed";
    case UpgradeStatus::ExitFailed:
      return u"leaving ISP mode failed";
    case UpgradeStatus::MousePortUnknown:
      return u"the mouse's USB port cannot be told; replug the mouse and run the upgrade again";
    case UpgradeStatus::Stopped:
      return u"stopped before the mouse was changed";
  }
  return u"";
}

int RunUpdateTool(const std::vector<std::u16string>& args, const UpdateToolIo& io) {
  Options options;
  bool help = false;
  if (auto problem = Parse(args, options, help)) {
    io.err(u"kv27m-update: " + *problem);
    io.err(Usage());
    return kUpdateUsage;
  }
  if (help) {
    io.out(Usage());
    return kUpdateOk;
  }

  if (!options.replay.empty()) return RunReplay(options, io);

  if (!options.simulate) {
    std::u16string why;
    std::unique_ptr<console::RealUsb> usb = io.openRealUsb ? io.openRealUsb(why) : nullptr;
    if (usb) return RunOnRealUsb(*usb, options, io);
    std::unique_ptr<OsApi> os = options.list ? nullptr : MakeRealOsApi();
    if (!os) {
      io.err(u"kv27m-update: " + (why.empty() ? std::u16string(u"this build has no USB access") : why) +
             u" (real hardware: the Windows program, or a Linux build with libusb and libudev). Here, try a "
             u"simulated upgrade: kv27m-update --simulate");
      return kUpdateNoHardware;
    }
    bool failed = false;
    auto capture = OpenCapture(*os, options, console::HostCaptureClock(), io, failed);
    if (failed) return kUpdateCaptureFailed;
    Devices* devices = nullptr;
    return WithCapture(RunOn(*os, nullptr, devices, options, io, capture.get()), capture.get());
  }

  const Scenario* scenario = FindScenario(options.scenario);
  std::optional<sim::World> ownWorld;
  sim::World& world = io.world != nullptr ? *io.world : ownWorld.emplace();

  // The real image beside the real program, read from the host disk.
  std::vector<std::uint8_t> beside;
  std::u16string besidePath;
  if (options.image.empty() && !io.programPath.empty()) {
    const std::u16string dir = DirectoryOf(io.programPath);
    besidePath = dir.empty() ? std::u16string(kImageName) : dir + SeparatorOf(dir) + kImageName;
    DWORD error = 0;
    if (!ReadWholeFile(world, besidePath, 1u << 20, beside, error)) beside.clear();
    options.besideImage = besidePath;
  }

  std::unique_ptr<sim::MouseRig> ownRig = BuildScenario(world, *scenario);
  sim::MouseRig* rig = ownRig.get();
  if (io.keepRig != nullptr) *io.keepRig = std::move(ownRig);
  io.out(u"simulated PC, scenario " + Ascii(scenario->name) + u": " + Ascii(scenario->description));
  if (!beside.empty()) {
    if (rig->image() == SampleImageBytes()) {
      world.AddFile(sim::kRigImagePath, beside);
      io.out(u"(the simulated program's image is " + besidePath + u")");
    }
  }
  if (options.timing) {
    // The bus model on, and the world's clock held to the real one: a person
    // watching sees the upgrade take its true time.
    const sim::UsbTiming timing;
    world.SetUsbTiming(timing);
    world.SetRealTime(true);
    const std::uint64_t floorMs = sim::ComputeUpgradeFloor(timing).TotalUs() / 1000;
    io.out(u"USB timing in real time: the bus alone needs " + Ascii(std::to_string(floorMs)) + u" ms for an upgrade");
  }
  if (io.prepareWorld) io.prepareWorld(world);

  bool failed = false;
  auto capture = OpenCapture(
      world, options, console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs}, io,
      failed);
  if (failed) return kUpdateCaptureFailed;
  return WithCapture(RunOnWorld(world, options, io, capture.get()), capture.get());
}

}  // namespace kv27
