// A virtual ISP bootloader: the mouse after it has restarted into its
// in-system-programming mode, as a WinUSB device.
//
// It registers its interface under the bootloader's own class GUID and offers,
// on alternate setting 0, bulk IN 0x81 and bulk OUT 0x02 unless a test gives it
// another pipe list. Its 16 KiB flash behaves like NOR flash: erase sets every
// byte to 0xFF and programming can only clear bits, so a write without an erase
// leaves corrupt data that a read-back will show.
//
// Protocol as the device sees it: a 10-byte command packet on a bulk OUT pipe
// (code in byte 0, big-endian byte offset in bytes 5-6, block length in
// byte 8).
//   0x25 erase        -> 1 status byte
//   0x28 write block  -> 64 data bytes follow on OUT, then 1 status byte
//   0x2A read block   -> 64 data bytes, then 1 status byte
//   0x2F verify, 0x2C read protection, 0x20 exit ISP -> nothing
// Status 0 is success. Exit ISP makes the device leave the bus at the end of the
// transfer that carried it.
//
// A read with nothing to deliver is never answered, as on the real device: it
// fails with ERROR_SEM_TIMEOUT once the pipe's transfer time-out has passed
// (and without one the world reports a hang). A read shorter than the packet
// waiting gets its first bytes, and the rest waits for the next read.
//
// With the world's USB timing model on (World::SetUsbTiming), every bulk
// transfer takes the host latency and the bus time of its 64-byte packets,
// and the status after an erase or a programmed block comes once the flash
// has done that work (sim/usb_timing.h); SetTransferDelay and SetEraseDelay
// add to that.
//
// Every transfer, failed ones included, goes on a wire log that tests read.
// Accessors lock the world; the Device callbacks run with it locked already.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {

// {6E0B2F48-95D1-4C37-B2A6-1F9D83E45C70}
inline constexpr GUID kBootloaderInterfaceClass = {
    0x6E0B2F48, 0x95D1, 0x4C37, {0xB2, 0xA6, 0x1F, 0x9D, 0x83, 0xE4, 0x5C, 0x70}};
inline constexpr std::size_t kBootloaderFlashSize = 0x4000;
inline constexpr std::size_t kBootloaderBlockSize = 64;
inline constexpr char16_t kDefaultBootloaderPath[] =
    u"\\\\?\\usb#vid_0000&pid_0000#isp0#{6e0b2f48-95d1-4c37-b2a6-1f9d83e45c70}";

using BootloaderFlash = std::array<std::uint8_t, kBootloaderFlashSize>;

// One bulk (or other) transfer as the device saw it.
struct WireTransfer {
  bool out = false;  // host to device
  UCHAR pipe = 0;
  ULONG requested = 0;             // bytes the host offered or asked for
  std::vector<std::uint8_t> data;  // bytes actually moved
  DWORD error = ERROR_SUCCESS;     // what the device answered the call with
  std::uint64_t atMs = 0;          // virtual time of the call
};

class VirtualBootloader : public Device {
 public:
  VirtualBootloader();

  // ------------------------------------------------------------ on the bus
  // Attaches the device at `path` under the bootloader class, now.
  void Plug(World& world, const std::u16string& path = kDefaultBootloaderPath);
  // Attaches it once the virtual clock has moved on by `delayMs`: the mouse
  // restarting into its bootloader.
  void PlugAfter(World& world, std::uint64_t delayMs, const std::u16string& path = kDefaultBootloaderPath);
  // Runs (world unlocked) once the device has left the bus after exit ISP, with
  // the flash as it was left; the virtual mouse comes back from here.
  void SetOnExit(std::function<void(const BootloaderFlash& flash)> onExit);
  // Whether the flash holds a complete, verified image: every block programmed
  // with status 0 since the last erase, and the verify command received after
  // that. An erase or a failed block takes it back. What a restarting device
  // boots from: without it, it stays in its bootloader.
  bool ImageVerified();
  void SetImageVerified(bool verified);

  // ------------------------------------------------------------ power (world locked)
  // The device loses its power: it answers nothing more, the answers it had
  // not sent yet are lost, and its flash, returned with whether it holds a
  // verified image (`verified`), is what it keeps.
  BootloaderFlash PowerOffLocked(bool* verified);
  // Power comes back over `flash`: a device that has not left the bus.
  void PowerOnLocked(const BootloaderFlash& flash, bool verified);
  // Whether it has left the bus (exit ISP, a pull) since it last came up.
  bool GoneLocked() const { return gone_; }
  const BootloaderFlash& FlashLocked() const { return flash_; }

  // ------------------------------------------------------------ set-up (call before the host opens it)
  void SetPipes(std::vector<WINUSB_PIPE_INFORMATION> pipes);
  void SetFlash(const BootloaderFlash& contents);
  // Virtual time every transfer takes (default 0).
  void SetTransferDelay(DWORD ms);
  // Virtual time between the erase command and its status byte (default 0;
  // kNeverMs: the erase never ends).
  void SetEraseDelay(DWORD ms);

  // ------------------------------------------------------------ faults
  // The status byte after block `block` of `command` (0x25, 0x28 or 0x2A; the
  // erase is block 0) is `status` instead of 0.
  void FailStatus(UCHAR command, unsigned block, UCHAR status = 0x01);
  // The nth command packet from now (1 = the next) reports 9 bytes moved, and
  // the device drops it.
  void ShortCommandPacket(unsigned nth);
  // The nth 64-byte block read from now (1 = the next) delivers 63 bytes.
  void ShortBlockRead(unsigned nth);
  // The nth status byte read from now (1 = the next) reports 0 bytes moved,
  // though the byte, with its usual value, is in the host's buffer: only the
  // count shows the fault.
  void ShortStatusRead(unsigned nth);
  // The nth 64-byte write block from now (1 = the next) reports 63 bytes
  // moved; the device still programs all 64 and acknowledges with its usual
  // status: only the count shows the fault.
  void ShortBlockWrite(unsigned nth);
  // The first `count` opens from now are refused with `error`.
  void RefuseOpens(unsigned count, DWORD error = ERROR_ACCESS_DENIED);
  // After taking the data of write block `block`, the device leaves the bus
  // before it answers.
  void LeaveDuringWrite(unsigned block);
  // Worn cells: the bits of `mask` at flash `offset` stay 0 through erases.
  void StuckBits(std::size_t offset, std::uint8_t mask);
  // Every fault above ends, and transfers and erases take no time again: what
  // was a passing glitch (a loose cable, a marginal supply) is over. Tests use
  // it to show that a mouse left half-flashed can be brought back.
  void ClearFaults();

  // ------------------------------------------------------------ what happened
  BootloaderFlash Flash();
  std::vector<WireTransfer> WireLog();
  void ClearWireLog();
  // The benchmark turns the log off so it measures the link, not the log.
  void SetWireLogEnabled(bool enabled);
  bool ReadProtected();
  unsigned EraseCount();
  unsigned VerifyCount();
  unsigned ExitCount();
  unsigned OpenCount();  // CreateFileW calls that reached the device, refused ones included
  // Access, sharing and flags of the last CreateFileW that reached the device.
  struct OpenRecord {
    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
  };
  OpenRecord LastOpen();

  // ------------------------------------------------------------ Device
  DWORD OnOpen(FileObject& file) override;
  DWORD OnWinUsbInitialize(FileObject& file) override;
  DWORD OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* descriptor) override;
  DWORD OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) override;
  DWORD OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred, CallEffects& fx) override;
  DWORD OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred, CallEffects& fx) override;
  void OnWinUsbPipeTimeout(UCHAR pipeId, DWORD elapsedMs) override;

 private:
  struct Reply {
    std::vector<std::uint8_t> bytes;
    DWORD delayMs = 0;
    bool block = false;           // a 64-byte read block (for the short-read fault)
    std::uint64_t readyAtUs = 0;  // timing model: world time (us) the device has it ready
  };
  struct StatusFault {
    UCHAR command;
    unsigned block;
    UCHAR status;
  };

  std::unique_lock<std::mutex> LockWorld();
  const WINUSB_PIPE_INFORMATION* FindPipe(UCHAR pipeId) const;
  UCHAR StatusFor(UCHAR command, unsigned block) const;
  void HandleCommand(const UCHAR* packet);
  void HandleWriteData(const UCHAR* data, ULONG length);
  void LeaveBus();
  // Timing model: what the transfer costs on the bus, charged to the caller.
  void ChargeBus(CallEffects& fx, std::uint64_t us);
  void Log(bool out, UCHAR pipe, ULONG requested, const UCHAR* data, ULONG moved, DWORD error);

  std::vector<WINUSB_PIPE_INFORMATION> pipes_;
  BootloaderFlash flash_{};
  std::deque<Reply> replies_;
  std::optional<Reply> lastRead_;               // the reply the last read took, until the next read
  bool lastReadSplit_ = false;                  // its rest went back to the front of replies_
  std::optional<unsigned> pendingWriteOffset_;  // a write command waits for its data
  bool pendingWriteValid_ = false;
  std::u16string path_;
  std::function<void(const BootloaderFlash&)> onExit_;

  DWORD transferDelayMs_ = 0;
  std::uint64_t workStartUs_ = 0;  // timing model: when the OUT transfer being handled ends
  DWORD eraseDelayMs_ = 0;
  std::vector<StatusFault> statusFaults_;
  unsigned shortCommandIn_ = 0;  // counts down; fires when it reaches 1
  unsigned shortReadIn_ = 0;
  unsigned shortStatusIn_ = 0;
  unsigned shortWriteIn_ = 0;
  unsigned refuseOpens_ = 0;
  DWORD refuseError_ = ERROR_ACCESS_DENIED;
  std::optional<unsigned> leaveAtBlock_;
  std::vector<std::pair<std::size_t, std::uint8_t>> stuckBits_;
  OpenRecord lastOpen_;

  bool logEnabled_ = true;
  std::vector<WireTransfer> log_;
  bool readProtected_ = false;
  bool erased_ = false;                                                      // since the last SetImageVerified
  std::array<bool, kBootloaderFlashSize / kBootloaderBlockSize> written_{};  // programmed since the erase
  bool verified_ = false;
  bool gone_ = false;
  unsigned erases_ = 0;
  unsigned verifies_ = 0;
  unsigned exits_ = 0;
  unsigned opens_ = 0;
};

}  // namespace kv27::sim
