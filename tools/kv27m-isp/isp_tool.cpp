#include "tools/kv27m-isp/isp_tool.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/simulation.h"
#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "capture/replay.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"
#include "tools/console/logging_os_api.h"
#include "tools/console/output_files.h"
#include "tools/console/progress_display.h"
#include "tools/console/traffic_capture.h"

namespace kv27 {
using namespace w32;

namespace {

std::u16string Usage() {
  std::u16string text =
      u"usage: kv27m-isp [--simulate] [--verbose] [--user-data BACKUP] [--capture FILE.pcapng [--capture-overwrite]]\n"
      u"                 [--lang=zh|en] IMAGE\n"
      u"       kv27m-isp --replay FILE.pcapng [--user-data BACKUP] [IMAGE]\n"
      u"       kv27m-isp --list\n"
      u"  flashes IMAGE (.bimg) onto a mouse that waits in its ISP bootloader\n"
      u"  --user-data BACKUP  put the settings saved by kv27m-update back into the image\n"
      u"                      (refused when the backup fails its checksum)\n"
      u"  --simulate          run against a simulated bootloader instead of the USB bus\n"
      u"  --capture FILE      write the run's USB traffic to FILE, a pcapng file that\n"
      u"                      Wireshark opens (USBPcap frames); FILE must not exist, and\n"
      u"                      is never the image, the backup or the replayed capture\n"
      u"  --capture-overwrite let --capture replace an existing FILE\n"
      u"  --replay FILE       run against the bootloader of a capture, in virtual time: every\n"
      u"                      transfer must be the capture's next one on its pipe (IMAGE\n"
      u"                      defaults to the captured run's)\n"
      u"  --verbose           print every bulk transfer, in hex, with times\n"
      u"  --list              list the mice and bootloaders on the USB bus (bus and port path,\n"
      u"                      device node, whether this user can open it)\n"
      u"  --lang=zh|en        the messages in Simplified Chinese or English (default: the\n"
      u"                      locale's language; on Windows the user's UI language)\n"
      u"  --help              this text\n"
      u"  Ctrl+C ends the wait for the bootloader; a flash that has begun runs to its end\n"
      u"  (a second Ctrl+C ends the program at once).\n"
      u"exit status:\n" +
      console::ExitCodeLines(IspExitCodes());
  text.pop_back();
  return text;
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

struct Options {
  bool simulate = false;
  bool verbose = false;
  bool list = false;
  std::u16string imagePath;
  std::u16string userData;
  std::u16string capture;
  bool captureOverwrite = false;  // --capture-overwrite
  std::u16string replay;
  // A replay that diverged: the wait for the bootloader stops.
  std::function<bool()> stop;
  UiLanguage language = UiLanguage::Chinese;
};

int FlashImageFileOn(OsApi& os, const Options& options, const IspToolIo& io, std::u16string& message);

// Loads and flashes the image through `os` (logged with --verbose); shows the
// progress and the message (also left in `message`).
int FlashImageFile(OsApi& os, const Options& options, const IspToolIo& io, std::u16string& message) {
  if (!options.verbose) return FlashImageFileOn(os, options, io, message);
  console::LoggingOsApi logging(os, [&io](const std::u16string& line) { io.out(line); });
  return FlashImageFileOn(logging, options, io, message);
}

int FlashImageFileOn(OsApi& os, const Options& options, const IspToolIo& io, std::u16string& message) {
  ImageFileResult image = LoadImageFile(os, options.imagePath.c_str());
  if (!image.ok()) {
    message = UpgradeMessage(UpgradeStatusOf(image.error), options.language);
    io.out(message);
    return kIspToolFailed;
  }
  if (!options.userData.empty()) {
    std::vector<std::uint8_t> file, userData;
    DWORD error = 0;
    if (!ReadWholeFile(os, options.userData, 1u << 16, file, error)) {
      io.err(u"kv27m-isp: cannot read the backup " + options.userData + u" (error " + Ascii(std::to_string(error)) +
             u")");
      return kIspToolBadBackup;
    }
    if (const auto problem = DecodeBackup(file, userData); problem != BackupError::None) {
      io.err(u"kv27m-isp: refused " + options.userData + u": " + BackupErrorText(problem));
      return kIspToolBadBackup;
    }
    std::memcpy(image.payload.data() + kUserDataOffset, userData.data(), kUserDataSize);
    io.out(u"settings from " + options.userData + u" merged into the image");
  }

  std::vector<BYTE> readBack(kIspFlashSize);
  CKV8B05Comm bootLink(os);
  console::ProgressDisplay display(io.out, io.terminal);
  bool cancelled = false;
  bool stopped = false;
  IspFlashResult result = RunIspFlash(
      os, bootLink, image.payload.data(), readBack.data(),
      [&display](int percent) { display.SetStep(percent, console::FlashStepWords(percent)); },
      [&](IspWaitPhase phase, DWORD elapsedMs, DWORD limitMs) {
        if (io.interrupted && io.interrupted()) {
          cancelled = true;
          return false;
        }
        if (options.stop && options.stop()) {
          stopped = true;
          return false;
        }
        display.SetWait(phase == IspWaitPhase::Search ? u"waiting for the bootloader" : u"opening the bootloader",
                        elapsedMs, limitMs);
        return true;
      });
  display.Finish();
  if (stopped) return kIspToolReplayDiverged;  // the caller reports the divergence
  if (cancelled) {
    io.err(u"kv27m-isp: stopped by Ctrl+C while waiting for the bootloader; nothing was written");
    return kIspToolCancelled;
  }
  message = UpgradeMessage(UpgradeStatusOf(result), options.language);
  io.out(message);
  // The link is released with bootLink; the device has normally left by now.
  return result == IspFlashResult::Success ? kIspToolOk : kIspToolFailed;
}

// FlashImageFile on `base`, through the capture of --capture when asked for.
// The capture file must not exist (unless --capture-overwrite) and is never
// one the run reads. `captureIncomplete` (optional) tells whether the capture
// could not be written completely; the result is the flash's own status.
int Flash(OsApi& base, const Options& options, const IspToolIo& io, console::CaptureClock clock, const char* simulation,
          bool* captureIncomplete = nullptr) {
  std::u16string message;
  if (options.capture.empty()) return FlashImageFile(base, options, io, message);
  const std::u16string problem = console::OutputFileProblem(base, options.capture, options.captureOverwrite,
                                                            {{u"the image", options.imagePath},
                                                             {u"the settings backup (--user-data)", options.userData},
                                                             {u"the capture being replayed", options.replay}},
                                                            u"--capture-overwrite");
  if (!problem.empty()) {
    io.err(u"kv27m-isp: refused --capture: " + problem);
    io.err(u"kv27m-isp: nothing was written to the mouse");
    return kIspToolCaptureFailed;
  }
  console::TrafficCapture capture(base, options.capture, "kv27m-isp", std::move(clock));
  if (const DWORD error = capture.Open(options.captureOverwrite); error != 0) {
    io.err(u"kv27m-isp: cannot write the capture " + options.capture + u" (error " + Ascii(std::to_string(error)) +
           u"); nothing was written to the mouse");
    return kIspToolCaptureFailed;
  }
  capture.NoteRun({{"program", "kv27m-isp"}, {"image", capture::Utf8(options.imagePath)}, {"simulated", simulation}});
  const int code = FlashImageFile(capture.os(), options, io, message);
  if (!capture.End(code, message)) {
    // Both are told; a failed flash's own status is the one that stays.
    io.err(u"kv27m-isp: the capture " + options.capture + u" could not be written completely" +
           (code == kIspToolOk ? std::u16string(u" (exit status 6)")
                               : u"; the exit status is the flash's own (" + Ascii(std::to_string(code)) + u")"));
    if (captureIncomplete != nullptr) *captureIncomplete = true;
    return code;
  }
  io.out(u"capture written to " + options.capture);
  return code;
}

// A flash's status once its capture is known: a capture that could not be
// written completely turns success into kIspToolCaptureFailed.
int WithCapture(int code, bool captureIncomplete) {
  return code == kIspToolOk && captureIncomplete ? kIspToolCaptureFailed : code;
}

// --replay: the flash against the bootloader of a capture.
int Replay(Options options, const IspToolIo& io) {
  std::optional<sim::World> ownWorld;
  sim::World& world = io.world != nullptr ? *io.world : ownWorld.emplace();
  if (io.prepareWorld) io.prepareWorld(world);
  DWORD error = 0;
  std::string why;
  std::unique_ptr<capture::ReplayBus> replay =
      capture::ReplayBus::FromFile(world, world, options.replay, capture::kCaptureFileLimit, &why, &error);
  if (!replay && error != 0) {
    io.err(u"kv27m-isp: cannot read the capture " + options.replay + u" (error " + Ascii(std::to_string(error)) +
           (error == capture::kErrorFileTooLarge ? u": " + sim::FromUtf8(why) : u"") + u")");
    return kIspToolCaptureFailed;
  }
  if (!replay) {
    io.err(u"kv27m-isp: " + options.replay + u" is not a capture that can be replayed: " + sim::FromUtf8(why));
    return kIspToolCaptureFailed;
  }
  capture::ReplayBus& bus = *replay;
  if (!bus.Problem().empty()) {
    io.err(u"kv27m-isp: " + options.replay + u" is not a capture that can be replayed: " +
           sim::FromUtf8(bus.Problem()));
    return kIspToolCaptureFailed;
  }
  io.out(u"replaying " + options.replay + u": " + Ascii(std::to_string(bus.Requests())) +
         u" requests, in virtual time");
  if (options.imagePath.empty()) {
    options.imagePath = sim::FromUtf8(bus.RunField("image"));
    const std::string simulated = bus.RunField("simulated");
    std::vector<std::uint8_t> image;
    if (!options.imagePath.empty() && !simulated.empty() && simulated != "no" &&
        !ReadWholeFile(world, options.imagePath, 1u << 20, image, error))
      world.AddFile(options.imagePath, SampleImageBytes());
  }
  options.stop = [&bus] { return bus.Diverged(); };
  bool captureIncomplete = false;
  const int code = Flash(world, options, io,
                         console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs},
                         "replay", &captureIncomplete);
  const auto divergence = bus.Finish();
  if (divergence && !divergence->pastTheEnd) {
    io.err(u"kv27m-isp: " + sim::FromUtf8(divergence->Report()));
    return kIspToolReplayDiverged;
  }
  if (!bus.Complete()) {
    io.err(u"kv27m-isp: replay: the " + Ascii(std::to_string(bus.Matched())) +
           u" transfers the run made matched the capture, but the capture has no end record (the captured run was "
           u"stopped, or its file cut)" +
           (divergence ? u"; this run went on past its end with " + sim::FromUtf8(divergence->where)
                       : u"; this run ended with exit " + Ascii(std::to_string(code))) +
           u": the outcome cannot be compared");
    return kIspToolReplayIncomplete;
  }
  const auto captured = bus.CapturedExit();
  if (captured && *captured != code) {
    io.err(u"kv27m-isp: replay diverged: every transfer matched, but the captured run ended with exit " +
           Ascii(std::to_string(*captured)) + u" and this one with " + Ascii(std::to_string(code)));
    return kIspToolReplayDiverged;
  }
  io.out(u"replay: the " + Ascii(std::to_string(bus.Matched())) +
         u" transfers matched the capture; the run ended as the captured one did");
  return WithCapture(code, captureIncomplete);
}

}  // namespace

const std::vector<console::ExitCodeRow>& IspExitCodes() {
  static const std::vector<console::ExitCodeRow> rows = {
      {kIspToolOk, u"success"},
      {kIspToolFailed, u"failure (its message says which)"},
      {kIspToolUsage, u"usage error, or no USB access on this platform"},
      {kIspToolBadBackup, u"the settings backup (--user-data) could not be read or fails its checks; nothing was sent"},
      {kIspToolCancelled, u"ended by Ctrl+C while waiting for the bootloader"},
      {kIspToolReplayDiverged, u"the replay diverged from the capture: the report names the frame and both sides"},
      {kIspToolCaptureFailed,
       u"the capture file was refused (it exists, or the run reads it; nothing was sent to the mouse) or could not "
       u"be written completely, or the replayed capture could not be read; a flash that failed keeps its own status"},
      {kIspToolNoPermission, u"a device node this user may not open (the message names it and the rule file)"},
      {kIspToolReplayIncomplete,
       u"replay: the capture has no end record (its run was stopped or the file cut), so the outcome cannot be "
       u"compared"},
  };
  return rows;
}

namespace {

// Parses the arguments into `options`; the problem, for a usage error.
std::optional<std::u16string> ParseIspArguments(const std::vector<std::u16string>& args, Options& options, bool& help) {
  // An option that takes a value: as the next argument or after '='.
  auto value = [&args](std::size_t& i, const std::u16string& name, std::u16string& to) -> std::optional<bool> {
    const std::u16string& arg = args[i];
    if (arg == name) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      to = args[++i];
      return true;
    }
    if (arg.rfind(name + u"=", 0) == 0) {
      to = arg.substr(name.size() + 1);
      return !to.empty();
    }
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const auto& arg = args[i];
    std::optional<bool> took;
    if (arg == u"--help" || arg == u"-h") {
      help = true;
    } else if (arg == u"--simulate") {
      options.simulate = true;
    } else if (arg == u"--verbose" || arg == u"-v") {
      options.verbose = true;
    } else if (arg == u"--list") {
      options.list = true;
    } else if ((took = value(i, u"--user-data", options.userData))) {
      if (!*took) return u"--user-data needs a BACKUP file";
    } else if ((took = value(i, u"--capture", options.capture))) {
      if (!*took) return u"--capture needs a FILE";
    } else if (arg == u"--capture-overwrite") {
      options.captureOverwrite = true;
    } else if ((took = value(i, u"--replay", options.replay))) {
      if (!*took) return u"--replay needs a FILE";
    } else if (arg.rfind(u"--lang=", 0) == 0) {
      bool bad = false;
      if (auto language = LanguageOption(arg, bad)) options.language = *language;
      if (bad) return u"--lang takes zh or en, not '" + arg.substr(7) + u"'";
    } else if (arg.size() > 1 && arg[0] == u'-') {
      return u"unknown option " + arg;
    } else if (options.imagePath.empty() && !arg.empty()) {
      options.imagePath = arg;
    } else {
      return u"only one IMAGE, please";
    }
  }
  if (help) return std::nullopt;
  if (options.list && options.simulate) return u"--list looks at the real USB bus, not a simulated one";
  if (options.list && !options.replay.empty())
    return u"--list looks at the real USB bus, not at a capture; it takes no --replay";
  if (options.simulate && !options.replay.empty())
    return u"--replay runs on the capture's bootloader; it takes no --simulate";
  if (options.captureOverwrite && options.capture.empty()) return u"--capture-overwrite goes with --capture FILE";
  if (options.imagePath.empty() && options.replay.empty() && !options.list) return u"which IMAGE? (a .bimg file)";
  return std::nullopt;
}

}  // namespace

int RunIspTool(const std::vector<std::u16string>& args, const IspToolIo& io) {
  Options options;
  options.language = io.language;
  bool help = false;
  if (const auto problem = ParseIspArguments(args, options, help)) {
    io.err(u"kv27m-isp: " + *problem);
    io.err(Usage());
    return kIspToolUsage;
  }
  if (help) {
    io.out(Usage());
    return kIspToolOk;
  }
  if (!options.replay.empty()) return Replay(options, io);

  if (!options.simulate) {
    std::u16string why;
    if (std::unique_ptr<console::RealUsb> usb = io.openRealUsb ? io.openRealUsb(why) : nullptr) {
      if (options.list) {
        const std::vector<std::u16string> lines = usb->List();
        if (lines.empty()) io.out(u"no N4 mouse and no bootloader on the USB bus");
        for (const auto& line : lines) io.out(line);
        return kIspToolOk;
      }
      if (const std::vector<std::u16string> early = usb->AdviceBeforeRun(false); !early.empty()) {
        for (const auto& line : early) io.err(u"kv27m-isp: " + line);
        return kIspToolNoPermission;
      }
      bool incomplete = false;
      const int flashed = Flash(usb->World(), options, io, console::HostCaptureClock(), "no", &incomplete);
      const int status = WithCapture(flashed, incomplete);
      if (status != kIspToolFailed) return status;
      const std::vector<std::u16string> advice = usb->PermissionAdvice();
      for (const auto& line : advice) io.err(u"kv27m-isp: " + line);
      return advice.empty() ? status : kIspToolNoPermission;
    }
    std::unique_ptr<OsApi> os = options.list ? nullptr : MakeRealOsApi();
    if (!os) {
      io.err(u"kv27m-isp: this platform has no USB access for the tool; only --simulate is available here");
      return kIspToolUsage;
    }
    bool incomplete = false;
    const int flashed = Flash(*os, options, io, console::HostCaptureClock(), "no", &incomplete);
    return WithCapture(flashed, incomplete);
  }

  if (io.world != nullptr) {
    sim::World& world = *io.world;
    if (io.prepareWorld) io.prepareWorld(world);
    bool incomplete = false;
    const int flashed =
        Flash(world, options, io,
              console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs},
              "bootloader", &incomplete);
    return WithCapture(flashed, incomplete);
  }
  sim::World world;
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  if (io.prepareWorld) io.prepareWorld(world);
  bool incomplete = false;
  const int flashed = Flash(
      world, options, io, console::CaptureClock{[&world] { return world.NowUs(); }, console::kSimulatedCaptureStartUs},
      "bootloader", &incomplete);
  const int status = WithCapture(flashed, incomplete);
  if (status == kIspToolOk) {
    io.out(bootloader->ReadProtected() && !world.IsAttached(sim::kDefaultBootloaderPath)
               ? u"(simulated bootloader: flashed, read-protected, left ISP mode)"
               : u"(simulated bootloader: unexpected state after the run)");
  }
  return status;
}

}  // namespace kv27
