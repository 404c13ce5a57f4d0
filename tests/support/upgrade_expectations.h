// What the failure table says a run leaves on show: the progress after each
// outcome. Written from the table, independently of the sequence, so that the
// tests of every face check the sequence against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/upgrade_sequence.h"
#include "sim/bootloader.h"

namespace kv27::test {

// The progress a run that ended with `status` leaves on show; -1 where the run
// shows none (the display keeps what it had).
inline int ProgressAfter(UpgradeStatus status) {
  switch (status) {
    case UpgradeStatus::MouseAbsent:
    case UpgradeStatus::NoImagePath:
    case UpgradeStatus::MousePortUnknown:
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
      return 0;  // the image file rows and the first buffer
  }
}

// The flash a good upgrade leaves: the plain (descrambled) image with the
// mouse's settings, the seven pages read before the run, at 0x3800, the first
// six bytes of the last page again at 0x3F00, and 0xFF at 0x3FFB-0x3FFF.
inline sim::BootloaderFlash FlashAfterUpgrade(const std::vector<std::uint8_t>& plainImage,
                                              const std::vector<std::vector<std::uint8_t>>& pages) {
  sim::BootloaderFlash flash{};
  std::copy(plainImage.begin(), plainImage.begin() + std::min(plainImage.size(), flash.size()), flash.begin());
  for (std::size_t p = 0; p < pages.size() && p < kUserDataPages; ++p)
    std::copy(pages[p].begin(), pages[p].end(), flash.begin() + kUserDataOffset + p * kUserDataPageSize);
  if (pages.size() >= kUserDataPages) std::copy(pages[6].begin(), pages[6].begin() + 6, flash.begin() + 0x3F00);
  std::fill(flash.begin() + 0x3FFB, flash.end(), 0xFF);
  return flash;
}

}  // namespace kv27::test
