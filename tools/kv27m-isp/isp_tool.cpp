#include "tools/kv27m-isp/isp_tool.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"
#include "tools/console/progress_display.h"

namespace kv27 {
using namespace w32;

namespace {

const char16_t kUsage[] =
    u"usage: kv27m-isp [--simulate] [--user-data BACKUP] [--lang=zh|en] IMAGE\n"
    u"  flashes IMAGE (.bimg) onto a mouse that waits in its ISP bootloader\n"
    u"  --user-data BACKUP  put the settings saved by kv27m-update back into the image\n"
    u"                      (refused when the backup fails its checksum)\n"
    u"  --simulate          run against a simulated bootloader instead of the USB bus\n"
    u"  --lang=zh|en        the messages in Simplified Chinese or English (default: the\n"
    u"                      locale's language; on Windows the user's UI language)\n"
    u"  --help              this text\n"
    u"  Ctrl+C ends the wait for the bootloader; a flash that has begun runs to its end\n"
    u"  (a second Ctrl+C ends the program at once).\n"
    u"exit status: 0 success, 1 failure (the message says which), 2 usage error or no\n"
    u"  USB access on this platform, 3 backup refused, 4 ended by Ctrl+C";

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

struct Options {
  bool simulate = false;
  std::u16string imagePath;
  std::u16string userData;
  UiLanguage language = UiLanguage::Chinese;
};

// Loads and flashes the image through `os`; shows the progress and the message.
int FlashImageFile(OsApi& os, const Options& options, const IspToolIo& io) {
  ImageFileResult image = LoadImageFile(os, options.imagePath.c_str());
  if (!image.ok()) {
    io.out(UpgradeMessage(UpgradeStatusOf(image.error), options.language));
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
  IspFlashResult result = RunIspFlash(
      os, bootLink, image.payload.data(), readBack.data(),
      [&display](int percent) { display.SetStep(percent, console::FlashStepWords(percent)); },
      [&](IspWaitPhase phase, DWORD elapsedMs, DWORD limitMs) {
        if (io.interrupted && io.interrupted()) {
          cancelled = true;
          return false;
        }
        display.SetWait(phase == IspWaitPhase::Search ? u"waiting for the bootloader" : u"opening the bootloader",
                        elapsedMs, limitMs);
        return true;
      });
  display.Finish();
  if (cancelled) {
    io.err(u"kv27m-isp: stopped by Ctrl+C while waiting for the bootloader; nothing was written");
    return kIspToolCancelled;
  }
  io.out(UpgradeMessage(UpgradeStatusOf(result), options.language));
  // The link is released with bootLink; the device has normally left by now.
  return result == IspFlashResult::Success ? kIspToolOk : kIspToolFailed;
}

}  // namespace

int RunIspTool(const std::vector<std::u16string>& args, const IspToolIo& io) {
  Options options;
  options.language = io.language;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const auto& arg = args[i];
    if (arg == u"--help" || arg == u"-h") {
      io.out(kUsage);
      return kIspToolOk;
    } else if (arg == u"--simulate") {
      options.simulate = true;
    } else if (arg == u"--user-data" && i + 1 < args.size() && !args[i + 1].empty()) {
      options.userData = args[++i];
    } else if (arg.rfind(u"--user-data=", 0) == 0 && arg.size() > 12) {
      options.userData = arg.substr(12);
    } else if (arg.rfind(u"--lang=", 0) == 0) {
      bool bad = false;
      if (auto language = LanguageOption(arg, bad)) options.language = *language;
      if (bad) {
        io.err(kUsage);
        return kIspToolUsage;
      }
    } else if (arg.size() > 1 && arg[0] == u'-') {
      io.err(kUsage);
      return kIspToolUsage;
    } else if (options.imagePath.empty()) {
      options.imagePath = arg;
    } else {
      io.err(kUsage);
      return kIspToolUsage;
    }
  }
  if (options.imagePath.empty()) {
    io.err(kUsage);
    return kIspToolUsage;
  }

  if (!options.simulate) {
    std::unique_ptr<OsApi> os = MakeRealOsApi();
    if (!os) {
      io.err(u"kv27m-isp: this platform has no USB access for the tool; only --simulate is available here");
      return kIspToolUsage;
    }
    return FlashImageFile(*os, options, io);
  }

  if (io.world != nullptr) {
    if (io.prepareWorld) io.prepareWorld(*io.world);
    return FlashImageFile(*io.world, options, io);
  }
  sim::World world;
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  if (io.prepareWorld) io.prepareWorld(world);
  const int status = FlashImageFile(world, options, io);
  if (status == kIspToolOk) {
    io.out(bootloader->ReadProtected() && !world.IsAttached(sim::kDefaultBootloaderPath)
               ? u"(simulated bootloader: flashed, read-protected, left ISP mode)"
               : u"(simulated bootloader: unexpected state after the run)");
  }
  return status;
}

}  // namespace kv27
