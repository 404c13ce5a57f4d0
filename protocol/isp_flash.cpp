#include "protocol/isp_flash.h"

#include <cstring>
#include <string>

namespace kv27 {
using namespace w32;

const char16_t* IspFlashMessage(IspFlashResult result) {
  switch (result) {
    case IspFlashResult::Success:
      return u"恭喜亲，在线升级成功！";
    case IspFlashResult::NotFound:
      return u"升级设备驱动安装失败！请重新插拔设备，之后重新执行升级程序！";
    case IspFlashResult::OpenFailed:
      return u"升级设备打开失败！";
    case IspFlashResult::EraseFailed:
      return u"Flash擦除失败！";
    case IspFlashResult::WriteFailed:
      return u"Flash写失败！";
    case IspFlashResult::ReadFailed:
      return u"Flash读失败！";
    case IspFlashResult::CompareFailed:
      return u"Flash数据校验失败！";
    case IspFlashResult::VerifyFailed:
      return u"Flash验证失败！";
    case IspFlashResult::ProtectFailed:
      return u"Flash读保护失败！";
    case IspFlashResult::ExitFailed:
      return u"退出ISP模式失败！";
  }
  return u"";
}

IspFlashResult RunIspFlash(OsApi& os, CKV8B05Comm& bootLink, const BYTE* image, BYTE* readBack,
                           const IspProgress& progress, const IspWait& wait, const IspAccept& accept) {
  auto report = [&progress](int percent) {
    if (progress) progress(percent);
  };

  // Wait for the bootloader to enumerate.
  std::u16string path;
  for (DWORD search = 0; search < kIspSearches; ++search) {
    if (wait && !wait(IspWaitPhase::Search, search * kIspSearchPauseMs, kIspSearchLimitMs)) {
      path.clear();
      break;
    }
    if (FindIspDevice(os, path, accept)) break;
    os.Sleep(kIspSearchPauseMs);
  }
  if (path.empty()) return IspFlashResult::NotFound;
  report(50);

  // Open it. A link left open by an earlier run is closed first: Open refuses an
  // open link. Unsigned tick differences survive the counter's wrap.
  bool opened = false;
  const DWORD start = os.GetTickCount();
  bool stopped = false;
  for (DWORD elapsed; (elapsed = static_cast<DWORD>(os.GetTickCount() - start)) < kIspOpenWindowMs;) {
    if (wait && !wait(IspWaitPhase::Open, elapsed, kIspOpenWindowMs)) {
      stopped = true;
      break;
    }
    bootLink.Close();
    if (bootLink.Open(path.c_str()) == 0) {
      opened = true;
      break;
    }
    os.Sleep(kIspOpenPauseMs);
  }
  if (stopped) return IspFlashResult::OpenFailed;
  if (!opened) {
    bootLink.Close();
    if (bootLink.Open(path.c_str()) != 0) return IspFlashResult::OpenFailed;
  }
  report(55);

  if (!bootLink.EraseFlash()) return IspFlashResult::EraseFailed;
  report(60);

  DWORD written = 0;
  if (!bootLink.WriteFlash(image, kIspFlashSize, written) || written != kIspFlashSize)
    return IspFlashResult::WriteFailed;
  report(80);

  DWORD read = 0;
  if (!bootLink.ReadFlash(readBack, kIspFlashSize, read) || read != kIspFlashSize) return IspFlashResult::ReadFailed;
  report(85);

  // The last five bytes are always programmed as 0xFF, whatever the image holds.
  if (std::memcmp(image, readBack, kIspReservedOffset) != 0) return IspFlashResult::CompareFailed;
  report(90);

  if (!bootLink.VerifyFlash()) return IspFlashResult::VerifyFailed;
  report(95);

  if (!bootLink.SetReadProtection()) return IspFlashResult::ProtectFailed;
  report(100);

  if (!bootLink.ExitIsp()) return IspFlashResult::ExitFailed;
  return IspFlashResult::Success;
}

}  // namespace kv27
