#include "sim/usb_timing.h"

#include <algorithm>

namespace kv27::sim {

namespace {
std::uint64_t EnumerationMs(const UsbTiming& t, std::uint32_t requests) {
  return std::uint64_t{t.attachDebounceMs} + t.portResetMs + t.resetRecoveryMs + t.setAddressRecoveryMs +
         std::uint64_t{requests} * t.controlTransferFrames * (kUsbFrameUs / 1000);
}
std::uint64_t RoundUpTo(std::uint64_t frame, std::uint32_t interval) {
  const std::uint64_t i = std::max<std::uint32_t>(interval, 1);
  return (frame + i - 1) / i * i;
}
}  // namespace

std::uint64_t BootloaderEnumerationMs(const UsbTiming& timing) {
  return EnumerationMs(timing, timing.bootloaderSetupRequests);
}

std::uint64_t MouseEnumerationMs(const UsbTiming& timing) { return EnumerationMs(timing, timing.mouseSetupRequests); }

std::uint64_t PollFrameAtOrAfter(std::uint64_t us, std::uint32_t intervalFrames) {
  return RoundUpTo((us + kUsbFrameUs - 1) / kUsbFrameUs, intervalFrames);
}

std::uint64_t PollFrameAfter(std::uint64_t us, std::uint32_t intervalFrames) {
  return RoundUpTo(us / kUsbFrameUs + 1, intervalFrames);
}

std::uint64_t BulkTransferUs(const UsbTiming& timing, std::uint64_t bytes) {
  const std::uint64_t size = std::max<std::uint32_t>(timing.bulkPacketBytes, 1);
  const std::uint64_t packets = bytes == 0 ? 1 : (bytes + size - 1) / size;
  return timing.bulkHostLatencyUs + packets * timing.bulkPacketUs;
}

UpgradeFloor ComputeUpgradeFloor(const UsbTiming& timing, const UpgradeTraffic& traffic) {
  UpgradeFloor floor;

  // Exchanges back to back: the next request goes as soon as the reply is in.
  std::uint64_t t = 0;
  for (std::uint32_t i = 0; i < traffic.hidExchanges; ++i) {
    const std::uint64_t out = PollFrameAtOrAfter(t, timing.hidOutIntervalFrames);
    const std::uint64_t in = PollFrameAfter(out * kUsbFrameUs, timing.hidInIntervalFrames);
    t = (in + 1) * kUsbFrameUs;
  }
  floor.hidUs = t;

  const std::uint64_t command = BulkTransferUs(timing, traffic.commandBytes);
  const std::uint64_t block = BulkTransferUs(timing, 64);
  const std::uint64_t status = BulkTransferUs(timing, 1);
  // A status waits for the device's work when that outlasts the host latency.
  auto statusAfter = [&](std::uint64_t workUs) {
    return std::max<std::uint64_t>(timing.bulkHostLatencyUs, workUs) + (status - timing.bulkHostLatencyUs);
  };
  const std::uint64_t erase = command + statusAfter(timing.eraseUs);
  const std::uint64_t write = command + block + statusAfter(timing.programBlockUs);
  const std::uint64_t read = command + block + status;
  const std::uint64_t tail = 3 * command;  // verify, read protection, exit
  floor.bulkUs = erase + traffic.blocks * (write + read) + tail;
  floor.bulkTransfers = 2 + std::uint64_t{traffic.blocks} * 6 + 3;

  floor.enumerationUs = (BootloaderEnumerationMs(timing) + MouseEnumerationMs(timing)) * 1000;
  return floor;
}

}  // namespace kv27::sim
