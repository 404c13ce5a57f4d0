// The USB timing model of the simulated world: how long the bus itself makes
// the host wait, with no software cost at all.
//
// Off by default: a world without it answers every transfer in zero virtual
// time (unless a test gives a device a delay of its own). World::SetUsbTiming
// switches it on for one world. The model follows the full-speed rules of the
// USB 2.0 standard:
//   - time is cut into 1 ms frames (section 8.4.3.1, the SOF packet every
//     1.000 ms); the host runs its periodic schedule once per frame;
//   - an interrupt endpoint is polled once every bInterval frames
//     (section 9.6.6). An output report goes out in the first poll of the OUT
//     endpoint that starts at or after WriteFile and the write completes at the
//     end of that frame; a report the device arms goes back in the first poll
//     of the IN endpoint after the frame in which it was armed, one report per
//     poll, and the read completes at the end of that frame;
//   - a bulk transfer is cut into packets of wMaxPacketSize (64 bytes) and
//     costs a host latency per transfer plus the bus time of its packets; the
//     data of a packet reaches the device at the end of the transfer;
//   - the device's own work (the bootloader's erase and block programming)
//     delays the status it answers afterwards;
//   - a device that restarts re-enumerates: attach debounce, port reset,
//     reset recovery, SET_ADDRESS recovery and its set-up requests (section
//     7.1.7.3, 7.1.7.5, 9.2.6.3).
#pragma once

#include <cstdint>

namespace kv27::sim {

// Length of a full-speed frame.
inline constexpr std::uint64_t kUsbFrameUs = 1000;

struct UsbTiming {
  // Polling interval of the mouse's vendor HID collection, OUT and IN
  // endpoints, in frames (its endpoint descriptors ask for bInterval 1).
  std::uint32_t hidOutIntervalFrames = 1;
  std::uint32_t hidInIntervalFrames = 1;

  // Bulk: a full-speed frame carries at most 19 bulk transactions of 64 bytes
  // (USB 2.0 table 5-10, with the protocol overhead of each transaction), so
  // one 64-byte packet holds the bus for 1000/19 = 52.6 us: 53 us, rounded up.
  std::uint32_t bulkPacketBytes = 64;
  std::uint32_t bulkPacketUs = 53;
  // Host latency per bulk transfer: the host controller looks at its
  // asynchronous schedule again at the earliest one microframe (125 us,
  // USB 2.0 section 8.4.3.1) after a transfer is queued or finished, which is
  // the least a transfer of a full-speed device behind a USB 2.0 hub or root
  // port waits before its first packet and after its last.
  std::uint32_t bulkHostLatencyUs = 125;

  // The bootloader's flash, as small 8-bit flash microcontrollers' data sheets
  // give it: a 512-byte sector erases in at most 5 ms, so the 16 KiB flash
  // (32 sectors) in 160 ms; a byte programs in at most 30 us, so a 64-byte
  // block in 1920 us.
  std::uint32_t eraseUs = 32 * 5000;
  std::uint32_t programBlockUs = 64 * 30;

  // Re-enumeration after a restart: 100 ms attach debounce (TATTDB, 7.1.7.3),
  // a 10 ms port reset (TDRST, 7.1.7.5), 10 ms reset recovery (TRSTRCY,
  // 7.1.7.5), 2 ms SET_ADDRESS recovery (TSETADDR, 9.2.6.3), then the set-up
  // requests, each a control transfer whose setup, data and status stages
  // take a frame each. The bootloader answers six (device descriptor twice,
  // configuration descriptor twice, address, configuration); the mouse also
  // its HID report descriptor and SET_IDLE: eight. The host's driver start-up
  // comes on top on a real PC; it is software, not the bus, so the model
  // leaves it out.
  std::uint32_t attachDebounceMs = 100;
  std::uint32_t portResetMs = 10;
  std::uint32_t resetRecoveryMs = 10;
  std::uint32_t setAddressRecoveryMs = 2;
  std::uint32_t controlTransferFrames = 3;
  std::uint32_t bootloaderSetupRequests = 6;
  std::uint32_t mouseSetupRequests = 8;
};

// Time from a restart until the device's interfaces are there.
std::uint64_t BootloaderEnumerationMs(const UsbTiming& timing);
std::uint64_t MouseEnumerationMs(const UsbTiming& timing);

// Frame number of the first poll of an endpoint with `intervalFrames` that
// starts at or after `us`.
std::uint64_t PollFrameAtOrAfter(std::uint64_t us, std::uint32_t intervalFrames);
// Frame number of the first poll after the frame that holds `us`.
std::uint64_t PollFrameAfter(std::uint64_t us, std::uint32_t intervalFrames);
// Bus time of a bulk transfer of `bytes` (a zero-length transfer is one packet),
// host latency included.
std::uint64_t BulkTransferUs(const UsbTiming& timing, std::uint64_t bytes);

// The traffic of one whole upgrade.
struct UpgradeTraffic {
  std::uint32_t hidExchanges = 7 * 64;  // seven 256-byte pages, 4 bytes per flash read
  std::uint32_t blocks = 256;           // 16 KiB in 64-byte blocks, written and read back
  std::uint32_t commandBytes = 10;      // one command packet
};

// The least time the protocol itself needs for a whole upgrade, in parts (us):
// the HID exchanges back to back from a frame start; every bulk transfer (the
// erase and its status, per block a write command, the data and the status
// after programming, per block a read command, the data and the status, then
// verify, read protection and exit); the two re-enumerations. No software cost
// and no pauses.
struct UpgradeFloor {
  std::uint64_t hidUs = 0;
  std::uint64_t bulkUs = 0;  // erase and programming included
  std::uint64_t bulkTransfers = 0;
  std::uint64_t enumerationUs = 0;
  std::uint64_t TotalUs() const { return hidUs + bulkUs + enumerationUs; }
};
UpgradeFloor ComputeUpgradeFloor(const UsbTiming& timing, const UpgradeTraffic& traffic = {});

}  // namespace kv27::sim
