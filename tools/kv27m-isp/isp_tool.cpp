#include "tools/kv27m-isp/isp_tool.h"

#include <memory>
#include <string>

#include "image/image_file.h"
#include "protocol/isp_flash.h"
#include "protocol/kv8b05_comm.h"
#include "sim/bootloader.h"

namespace kv27 {
using namespace w32;

namespace {

const char16_t kUsage[] =
    u"usage: kv27m-isp [--simulate] IMAGE\n"
    u"  flashes IMAGE (.bimg) onto a mouse that waits in its ISP bootloader\n"
    u"  --simulate  run against a simulated bootloader instead of the USB bus";

std::u16string Percent(int value) {
  std::string text = std::to_string(value) + "%";
  return std::u16string(text.begin(), text.end());
}

// Loads and flashes the image through `os`; prints progress and the message.
int FlashImageFile(OsApi& os, const std::u16string& imagePath, const IspToolIo& io) {
  ImageFileResult image = LoadImageFile(os, imagePath.c_str());
  if (!image.ok()) {
    io.out(image.Message());
    return kIspToolFailed;
  }
  std::vector<BYTE> readBack(kIspFlashSize);
  CKV8B05Comm bootLink(os);
  io.out(u"waiting for the bootloader (up to 600 s)...");
  IspFlashResult result = RunIspFlash(os, bootLink, image.payload.data(), readBack.data(),
                                      [&io](int percent) { io.out(Percent(percent)); });
  io.out(IspFlashMessage(result));
  // The link is released with bootLink; the device has normally left by now.
  return result == IspFlashResult::Success ? kIspToolOk : kIspToolFailed;
}

}  // namespace

int RunIspTool(const std::vector<std::u16string>& args, const IspToolIo& io) {
  bool simulate = false;
  std::u16string imagePath;
  for (const auto& arg : args) {
    if (arg == u"--simulate") {
      simulate = true;
    } else if (arg.size() > 1 && arg[0] == u'-') {
      io.err(kUsage);
      return kIspToolUsage;
    } else if (imagePath.empty()) {
      imagePath = arg;
    } else {
      io.err(kUsage);
      return kIspToolUsage;
    }
  }
  if (imagePath.empty()) {
    io.err(kUsage);
    return kIspToolUsage;
  }

  if (!simulate) {
    std::unique_ptr<OsApi> os = MakeRealOsApi();
    if (!os) {
      io.err(u"kv27m-isp: this platform has no USB access for the tool; only --simulate is available here");
      return kIspToolUsage;
    }
    return FlashImageFile(*os, imagePath, io);
  }

  sim::World world;
  auto bootloader = std::make_shared<sim::VirtualBootloader>();
  bootloader->Plug(world);
  if (io.prepareWorld) io.prepareWorld(world);
  const int status = FlashImageFile(world, imagePath, io);
  if (status == kIspToolOk) {
    io.out(bootloader->ReadProtected() && !world.IsAttached(sim::kDefaultBootloaderPath)
               ? u"(simulated bootloader: flashed, read-protected, left ISP mode)"
               : u"(simulated bootloader: unexpected state after the run)");
  }
  return status;
}

}  // namespace kv27
