// What the failure table says a run leaves on show: the progress after each
// outcome. Written from the table, independently of the sequence, so that the
// tests of every face check the sequence against it.
#pragma once

#include "app/upgrade_sequence.h"

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

}  // namespace kv27::test
