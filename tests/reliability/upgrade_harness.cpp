#include "tests/reliability/upgrade_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/mouse_search.h"
#include "image/image_file.h"
#include "protocol/isp_flash.h"

namespace kv27::test {

int ProgressAfter(UpgradeStatus status) {
  switch (status) {
    case UpgradeStatus::MouseAbsent:
    case UpgradeStatus::NoImagePath:
    case UpgradeStatus::Stopped:
      return -1;
    case UpgradeStatus::UserDataFailed:
      return 10;
    case UpgradeStatus::BootloaderNotFound:
      return 20;
    case UpgradeStatus::BootloaderOpenFailed:
      return 50;
    case UpgradeStatus::EraseFailed:
      return 55;
    case UpgradeStatus::WriteFailed:
      return 60;
    case UpgradeStatus::ReadFailed:
      return 80;
    case UpgradeStatus::CompareFailed:
      return 85;
    case UpgradeStatus::VerifyFailed:
      return 90;
    case UpgradeStatus::ProtectFailed:
      return 95;
    case UpgradeStatus::ExitFailed:
    case UpgradeStatus::Success:
      return 100;
    default:
      return 0;  // the image file rows
  }
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void RecordingFace::SetProgress(int percent) {
  progress.push_back(percent);
  auto hook = atProgress.find(percent);
  if (hook != atProgress.end()) hook->second();
}

void RecordingFace::ShowMessage(UpgradeStatus status, const char16_t* text) {
  statuses.push_back(status);
  messages.emplace_back(text);
}

bool RecordingFace::OnUserDataRead(const std::uint8_t* data, std::size_t size) {
  userData.assign(data, data + size);
  return true;
}

UpgradeBench::UpgradeBench() : rig_(BuildScenario(world, *FindScenario("ok"))) {
  monitor_ = std::make_unique<CUSBDeviceMonitor>(world);
  bootLink_ = std::make_unique<CKV8B05Comm>(world);
  mouseLink_ = std::make_unique<CKV27USBComm>(world);
  owner_ = world.CreateHeadlessWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_DEVICECHANGE && mouseLink_) mouseLink_->OnDeviceChange(wParam, lParam);
    return 0;
  });
  monitor_->ownerWindow = owner_;
  monitor_->Refresh();
  WCHAR path[kHidMaxPath] = {};
  if (FindMouseInterface(world, path)) mouseLink_->Start(path, owner_);

  for (std::size_t p = 0; p < kUserDataPages; ++p) pages_.push_back(mouse().UserPage(p));
  {
    sim::World files;
    files.AddFile(u"C:\\x.bimg", rig_->image());
    ImageFileResult image = LoadImageFile(files, u"C:\\x.bimg");
    plain_ = image.payload;
  }
  std::copy(plain_.begin(), plain_.begin() + std::min(plain_.size(), expected_.size()), expected_.begin());
  for (std::size_t p = 0; p < kUserDataPages; ++p)
    std::copy(pages_[p].begin(), pages_[p].end(), expected_.begin() + kUserDataOffset + p * kUserDataPageSize);
  std::copy(pages_[6].begin(), pages_[6].begin() + 6, expected_.begin() + 0x3F00);
  std::fill(expected_.begin() + 0x3FFB, expected_.end(), 0xFF);
}

UpgradeBench::~UpgradeBench() {
  mouseLink_.reset();  // stops the reader before the rig goes
  bootLink_.reset();
  monitor_.reset();
  rig_.reset();
  world.DestroyHeadlessWindow(owner_);
}

UpgradeStatus UpgradeBench::Run() {
  return RunUpgrade(world, UpgradeDevices{*mouseLink_, *bootLink_, *monitor_}, sim::kRigImagePath, face);
}

void UpgradeBench::Settle(std::uint64_t ms) {
  world.Advance(ms);
  world.PumpMessages(owner_);
}

namespace {
// Where two flashes differ, for the report: the first offset and the count.
std::string FlashDiff(const sim::BootloaderFlash& got, const sim::BootloaderFlash& want) {
  std::size_t first = got.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] == want[i]) continue;
    if (count++ == 0) first = i;
  }
  char text[96];
  std::snprintf(text, sizeof text, " (%zu bytes differ, the first at 0x%04zX: 0x%02X, not 0x%02X)", count, first,
                count ? got[first] : 0, count ? want[first] : 0);
  return text;
}
}  // namespace

std::string UpgradeBench::CheckAfter(UpgradeStatus status) {
  std::string out;
  auto fail = [&out](const std::string& what) { out += what + "\n"; };

  if (face.messages.size() != 1) {
    fail("messages shown: " + std::to_string(face.messages.size()));
  } else {
    if (face.messages[0] != UpgradeMessage(status)) fail("message: " + Narrow(face.messages[0]));
    if (face.statuses[0] != status) fail("message for another status than the run's");
  }
  const int shown = face.progress.empty() ? -1 : face.progress.back();
  if (shown != ProgressAfter(status)) fail("progress left at " + std::to_string(shown));
  if (!std::is_sorted(face.progress.begin(), face.progress.end())) fail("progress went back");
  if (status == UpgradeStatus::Success && mouse().Flash() != expected_)
    fail("success reported without the expected image in the flash" + FlashDiff(mouse().Flash(), expected_));

  // The dialog's two links are the only things a run may leave open.
  mouseLink_.reset();
  bootLink_->Close();
  const std::string leaks = world.LeakReport();
  if (!leaks.empty()) fail("left open after the run: " + leaks);

  out += Recover(status);
  return out;
}

// Long enough for any re-enumeration the soak draws (at most 20 s).
constexpr std::uint64_t kSettleMs = 30'000;

std::string UpgradeBench::Recover(UpgradeStatus status) {
  std::string out;
  auto fail = [&out](const std::string& what) { out += what + "\n"; };

  // The glitch is over; the user waits, and plugs the mouse in again if it is
  // not back on its own.
  mouse().ClearFaults();
  world.ClearFaults();
  Settle(kSettleMs);
  if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) {
    if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kAbsent) mouse().Unplug();
    mouse().Plug();
    Settle(5'000);
  }

  // A mouse that stays in its bootloader gets the image again, with the
  // settings the run read before it changed anything.
  bool reflashed = false;
  if (mouse().CurrentMode() == sim::VirtualMouse::Mode::kBootloader) {
    if (face.userData.size() != kUserDataSize) {
      fail("mouse in its bootloader, but the run had not read its settings");
    } else {
      std::vector<std::uint8_t> image = plain_;
      std::copy(face.userData.begin(), face.userData.end(), image.begin() + kUserDataOffset);
      std::vector<std::uint8_t> readBack(kIspFlashSize);
      CKV8B05Comm link(world);
      const IspFlashResult result = RunIspFlash(world, link, image.data(), readBack.data(), {});
      link.Close();
      if (result != IspFlashResult::Success) fail("recovery flash: " + Narrow(IspFlashMessage(result)));
      reflashed = true;
      Settle(kSettleMs);
    }
  }

  if (mouse().CurrentMode() != sim::VirtualMouse::Mode::kNormal) fail("mouse not back in normal mode");
  for (std::size_t p = 0; p < kUserDataPages; ++p)
    if (mouse().UserPage(p) != pages_[p]) fail("settings page " + std::to_string(p) + " lost");
  if ((status == UpgradeStatus::Success || reflashed) && mouse().Flash() != expected_)
    fail("flash differs from the image with the settings after recovery" + FlashDiff(mouse().Flash(), expected_));
  const std::string leaks = world.LeakReport();
  if (!leaks.empty()) fail("left open after recovery: " + leaks);
  return out;
}

}  // namespace kv27::test
