// The virtual N4 mouse: one object for the whole physical device, on one hub
// port of a simulated USB tree.
//
// Normal mode: the port shows vendor id 0x4E5B, product id 0x002A, and the
// device exposes four HID collections, in this order:
//   col01  the standard mouse (usage page 1, usage 2; 5-byte input reports);
//   col02  a vendor collection on the same page with another usage and
//          65-byte reports (usage page 0xFFB4, usage 2);
//   col03  the command collection (usage page 0xFFB4, usage 1, 8-byte input
//          and output reports, report id 0xB4);
//   col04  consumer controls (usage page 0x0C, usage 1; 3-byte input reports).
// A search by the ids alone finds col01 first.
//
// Its place on the bus names it, as Windows names a device without a serial
// number: the device node on the port ("USB\VID_4E5B&PID_002A\5&<hub>&0&<port>"),
// the composite driver's node of interface 1 below it and one node per
// collection below that, each with an instance id made from its parent's; so
// the collection paths and the bootloader's path (the node of the bootloader
// on the same port) differ from those of another mouse on another port.
//
// The device owns a 16 KiB flash. Its user data lives at 0x3800: seven
// 256-byte pages, page n at 0x3800 + 256 n. Commands on the command
// collection (byte 1), each answered with the same code in byte 1:
//   0x02 flash read: byte 2 offset, byte 3 count (at most 4), byte 4 page;
//        the reply echoes the offset in byte 2, the count in byte 3 and
//        carries the bytes from the flash in bytes 4-7. A page beyond 6, a
//        count beyond 4 or a range that runs past the end of its page gets
//        no reply.
//   0x01 flash write: the same layout with the bytes in bytes 5-7 (count at
//        most 3); 0x03 erase page (byte 4), to 0xFF; 0x07 test setting;
//        0x20 mode information; 0x21 DPI information; 0x22 report-rate
//        information; 0x30, 0x31: answered with the parameters echoed or the
//        values the device keeps.
// Unasked reports: mode information (0x20) and key status (0x24), once on
// demand, after every n-th answer, or as a stream in virtual time.
//
// The bootloader-entry request: the string descriptor request with index 0xC3
// and language 0x5D1A through the hub port. The device answers it, then
// leaves the bus: its HID interfaces go (removal notifications; open handles
// fail with ERROR_DEVICE_NOT_CONNECTED) and the port empties. After the
// re-enumeration delay (virtual time, 1500 ms by default) the bootloader
// (VirtualBootloader) appears on the same port with its own ids and a new
// address, over the same flash. Exit ISP makes the bootloader leave and, after
// the delay, the device come back in normal mode, running what was flashed,
// its user data read from the flash. A flash without a complete, verified
// image keeps the device in its bootloader at every plug. With the world's USB
// timing model on, the two re-enumeration times are the model's
// (BootloaderEnumerationMs, MouseEnumerationMs) instead.
//
// Locking: the state is guarded by the world's lock. Device callbacks run with
// it held; the other public methods take it. Changes of the bus (plug, unplug,
// attach, detach) run without it, from scheduled actions.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/bootloader.h"
#include "sim/hid_device.h"
#include "sim/mouse_layouts.h"
#include "sim/usb_tree.h"

namespace kv27::sim {

inline constexpr USHORT kMouseVendorId = 0x4E5B;
inline constexpr USHORT kMouseProductId = 0x002A;
inline constexpr USHORT kMouseBootVendorId = 0x4E5B;
inline constexpr USHORT kMouseBootProductId = 0x7B05;
inline constexpr std::size_t kMouseUserDataOffset = 0x3800;
inline constexpr std::size_t kMouseUserDataPages = 7;
inline constexpr std::size_t kMouseUserDataPageSize = 256;
inline constexpr UCHAR kMouseBootStringIndex = 0xC3;
inline constexpr USHORT kMouseBootLanguage = 0x5D1A;
inline constexpr std::uint64_t kMouseDefaultReenumerationMs = 1500;
// The device's release number: bcdDevice of its device descriptor, which the
// HID class driver reports as every collection's VersionNumber.
inline constexpr USHORT kMouseVersion = 0x0105;
// Index of the command collection in the device's collections.
inline constexpr std::size_t kMouseCommandCollection = 2;

// The report descriptor of the mouse's HID interface (interface 1) is
// kMouseReportDescriptor (sim/mouse_layouts.h): its four top-level
// collections, in the order the class driver lists them, each with report ids
// of its own (the command collection's is 0xB4). The capabilities the virtual
// collections report are the ones it gives.

class VirtualMouse : public UsbFunction, public std::enable_shared_from_this<VirtualMouse> {
 public:
  enum class Mode { kAbsent, kNormal, kBootloader };

  // A mouse for `port` of a tree on `world`, not plugged yet. Its flash holds
  // `flash`, taken as a complete, verified image.
  static std::shared_ptr<VirtualMouse> Create(World& world, UsbPort port, const BootloaderFlash& flash);
  // A flash with a firmware-like body and distinct user data; another
  // `variant` gives other user data (the settings of another mouse).
  static BootloaderFlash FactoryFlash(unsigned variant = 0);

  // ------------------------------------------------------------ on the bus (world unlocked)
  // The port holds the device while it is plugged: unplug it before the tree
  // and the last reference go.
  // Plugs the device now: normal mode when the flash holds a verified image,
  // otherwise the bootloader.
  void Plug();
  // The device leaves, in whichever mode it is.
  void Unplug();
  void PlugAfter(std::uint64_t delayMs);
  void UnplugAfter(std::uint64_t delayMs);
  Mode CurrentMode();

  std::u16string CommandPath() const;  // path of the command collection
  std::u16string CollectionPath(std::size_t index) const;
  std::u16string BootloaderPath() const;
  std::shared_ptr<HidCollection> Collection(std::size_t index) const { return hid_.Collection(index); }
  std::shared_ptr<VirtualBootloader> Bootloader() const { return boot_; }
  UsbPort Port() const { return port_; }

  // ------------------------------------------------------------ state
  BootloaderFlash Flash();
  // Page `page` of the user data as the device holds it now.
  std::vector<std::uint8_t> UserPage(std::size_t page);
  // Bytes 2-7 of the mode-information, DPI and report-rate replies.
  void SetModeBytes(std::array<std::uint8_t, 6> bytes);
  void SetDpiBytes(std::array<std::uint8_t, 6> bytes);
  void SetRateBytes(std::array<std::uint8_t, 6> bytes);
  void SetReenumerationDelay(std::uint64_t ms);
  // Requests (output reports) the command collection received.
  std::size_t RequestCount();
  // Flash-read requests answered so far.
  std::size_t ReadsAnswered();

  // ------------------------------------------------------------ unasked reports
  void SendModeInfo();
  void SendKeyStatus(std::uint16_t keys);
  // An input report of any bytes on the command collection.
  void SendRaw(std::vector<std::uint8_t> report);
  // A mode-information report right after every n-th answer (0: off).
  void ModeInfoAfterAnswers(unsigned n);
  // A mode-information report every `periodMs` of virtual time (0: off).
  // Every finite wait in the world moves the clock to the next tick at once,
  // so with a reader thread waiting the stream flows as fast as it is read;
  // to land reports between the replies of a read, use ModeInfoAfterAnswers.
  void StreamModeInfo(std::uint64_t periodMs);

  // ------------------------------------------------------------ faults
  // The flash read of (page, offset) gets no reply.
  void DropReply(UCHAR page, UCHAR offset);
  // The flash read of (page, offset) is answered with offset `echo`.
  void EchoOffset(UCHAR page, UCHAR offset, UCHAR echo);
  // The flash read of (page, offset) is answered `delayMs` of virtual time
  // later.
  void DelayReply(UCHAR page, UCHAR offset, std::uint64_t delayMs);
  // Writes on the command collection never complete.
  void HangWrites();
  // The device answers the flash read of (page, offset) and leaves the bus
  // before the next request: that write fails with
  // ERROR_DEVICE_NOT_CONNECTED and the interfaces go.
  void UnplugAfterRead(UCHAR page, UCHAR offset);
  // The bootloader-entry request gets an ordinary answer and nothing more.
  void IgnoreBootloaderRequest(bool ignore);
  // The bootloader shows on the port but its WinUSB interface never appears.
  void BootloaderDriverMissing(bool missing);
  // Every fault above ends, the bootloader's included (its ClearFaults); the
  // re-enumeration delay and the unasked reports stay as they are.
  void ClearFaults();

  // ------------------------------------------------------------ UsbFunction (world locked)
  ControlReply OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) override;

  // The command collection's output report (world locked).
  void OnCommandLocked(const std::vector<std::uint8_t>& report);
  // A write reached the command collection (world locked): true when the
  // device has left since its last answer (UnplugAfterRead); it is then
  // unplugged once the call is over.
  bool TakeLeaveLocked();

 private:
  VirtualMouse(World& world, UsbPort port, const BootloaderFlash& flash);
  struct ReadFault {
    bool drop = false;
    std::optional<UCHAR> echo;
    std::uint64_t delayMs = 0;
    bool unplug = false;
  };

  void SendLocked(const std::vector<std::uint8_t>& report);
  std::vector<std::uint8_t> ModeReportLocked() const;
  void AnswerReadLocked(const std::vector<std::uint8_t>& report);
  void AfterAnswerLocked();
  // Bus changes, world unlocked.
  void EnterBootloader();
  void PlugNormal();
  // The HID collections of a normal-mode life, once the HID class driver has
  // them up (bus lock held).
  void AttachHidCollections();
  void PlugBootloader();
  void OnBootloaderExit();
  // Once `delayMs` has passed, the device comes back after a restart: into
  // its bootloader, or (kNormal) as at any plug, by what its flash holds;
  // unless it was pulled or plugged since the restart began (`generation`).
  void RestartAfter(std::uint64_t delayMs, std::uint64_t generation, Mode into);
  void StreamTick(std::uint64_t generation);
  std::uint64_t SubMillisecondCarry() const;

  World& world_;
  UsbPort port_;
  std::u16string deviceInstance_;     // the device node on the port in normal mode
  std::u16string interfaceInstance_;  // the composite driver's node of interface 1, parent of the collections
  HidDevice hid_;
  std::shared_ptr<VirtualBootloader> boot_ = std::make_shared<VirtualBootloader>();
  std::shared_ptr<UsbDeviceStub> bootFunction_;
  BootloaderFlash flash_;
  bool imageVerified_ = true;
  Mode mode_ = Mode::kAbsent;
  std::uint64_t reenumerationMs_ = kMouseDefaultReenumerationMs;
  std::array<std::uint8_t, 6> modeBytes_{0x00, 0x00, 0x91, 0x23, 0x05, 0x01};
  std::array<std::uint8_t, 6> dpiBytes_{0x00, 0x04, 0x08, 0x10, 0x20, 0x40};
  std::array<std::uint8_t, 6> rateBytes_{0x00, 0x01, 0x02, 0x04, 0x08, 0x00};
  std::size_t requests_ = 0;
  std::size_t readsAnswered_ = 0;
  std::size_t answers_ = 0;
  unsigned modeEvery_ = 0;
  std::uint64_t streamPeriodMs_ = 0;
  std::uint64_t streamGeneration_ = 0;
  std::map<std::pair<UCHAR, UCHAR>, ReadFault> readFaults_;
  bool ignoreBootRequest_ = false;
  bool driverMissing_ = false;
  bool leaveBeforeNextRequest_ = false;
  std::uint64_t busGeneration_ = 0;  // scheduled plugs of an older life are dropped
  // Bus changes (plug, unplug, the restarts into and out of the bootloader)
  // run one at a time, whole: scheduled actions run on whichever thread moves
  // the clock, and a pull that slipped between a restart's check and its plug
  // would leave the bootloader on the bus of a mouse taken as gone. Taken
  // with the world unlocked, before the world's lock.
  std::recursive_mutex bus_;
};

}  // namespace kv27::sim
