// The N4 mouse and its bootloader as a Linux kernel shows them, modelled with
// umockdev for a real program run under umockdev-wrapper.
//
// One simulated world in this process holds the devices (a MouseRig: the
// virtual mouse with its flash, and the virtual bootloader it restarts into),
// so that what they do is what the rest of the suite checks. The model mirrors
// that world into the test bed:
//   - the mouse in normal mode: its USB device on root hub port 2 (usbfs node
//     with its descriptors) with the HID interfaces of one of the layouts of
//     sim/mouse_layouts.h, and below each interface the HID device with its id
//     and report descriptor and a hidraw node (a pty: this model holds the
//     master end); output reports written to the command interface's node go
//     to the virtual mouse's command collection, its input reports come back
//     through that node (the other nodes carry nothing); control URBs on its
//     usbfs node are answered by the virtual mouse as it answers a request
//     through its hub;
//   - the bootloader: a USB device on the same port with its own ids, a new
//     device number and a usbfs node whose URBs (bulk OUT and IN on the pipes
//     the virtual bootloader has) are served by the virtual bootloader through
//     the world's WinUSB calls;
//   - every change of the device's life (to its bootloader, back to normal
//     mode, pulled out) as the kernel shows it: the records of what left go,
//     leaf first, and a uevent makes udev listeners look again (umockdev sends
//     none for a removal); what came gets new node names and numbers.
//
// Threads: the world is created and driven by the model's own thread (the
// pump), which also moves the world's clock, serves the hidraw node and
// carries the URBs to the bootloader. The test bed answers the preload
// library's calls from the default GLib main context, on a thread of its own;
// the ioctl handlers there never wait on the world: a URB is queued and
// completed by the pump, a bulk IN with nothing to give stays pending until
// the program discards it, as a real device NAKs it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/mouse_layouts.h"
#include "sim/mouse_rig.h"
#include "sim/world.h"
#include "tests/support/child_run.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace kv27::test {

class UsbfsNode;

// The test bed with its GLib thread: one per test.
class KernelTestbed {
 public:
  KernelTestbed();
  ~KernelTestbed();
  KernelTestbed(const KernelTestbed&) = delete;
  KernelTestbed& operator=(const KernelTestbed&) = delete;

  // True when this process runs under umockdev-wrapper (its preload library
  // is in LD_PRELOAD): only then do /sys and /dev lead to a test bed.
  static bool UnderWrapper();

  UMockdevTestbed* get() const { return testbed_; }
  // The test bed's root directory on the host disk (the programs see /sys and
  // /dev below it).
  const std::string& root() const { return root_; }

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  std::atomic<bool> stop_{false};
  std::thread glib_;
};

// What a model is asked to build: faults set on the world once the rig is
// built (on the pump, world unlocked), before anything reaches the devices;
// `expected` is the flash a good upgrade would leave.
struct KernelModelOptions {
  std::function<void(sim::MouseRig& rig, const sim::BootloaderFlash& expected)> prepare;
  // The device is pulled out once the bootloader has taken this many write
  // blocks (its 64-byte data packets); 0: never.
  std::size_t pullAfterWriteBlocks = 0;
  // Nodes that come without permission for anyone but root (mode 0), as
  // when the rule file is not installed or lacks their line: the mouse's
  // hidraw node, its usbfs node (the one the bootloader request goes
  // through), the bootloader's usbfs node.
  bool denyMouseHidraw = false;
  bool denyMouseUsbNode = false;
  bool denyBootloaderNode = false;
  // The bootloader's node, refused at first, is given its access this long
  // (real time) after it appears, as udev applies the rule file a moment
  // after the kernel made the node; 0: never.
  int permitBootloaderNodeAfterMs = 0;
  // How the mouse lays out its HID interfaces in normal mode (null: the
  // first of sim::MouseLayouts(), the vendor interface alone).
  const sim::MouseLayout* layout = nullptr;
  // No uevents at all, as on a system without udevd: the records come and go
  // in sysfs and nothing announces it (the program's subscription stays, and
  // hears nothing).
  bool noUevents = false;
  // Real time between the mouse leaving for its bootloader and the
  // bootloader's records appearing (0: in the same step), as a real device
  // takes a moment to come back on the bus.
  int bootloaderAppearsAfterMs = 0;
};

class KernelModel {
 public:
  KernelModel(KernelTestbed& testbed, KernelModelOptions options = {});
  ~KernelModel();
  KernelModel(const KernelModel&) = delete;
  KernelModel& operator=(const KernelModel&) = delete;

  // The image the rig's program directory holds, written to the host disk for
  // the real program.
  const std::string& imagePath() const { return imagePath_; }
  // The flash a good upgrade leaves: the image with the mouse's settings.
  const sim::BootloaderFlash& expectedFlash() const { return expected_; }
  // The mouse's settings (0x3800, seven pages) as the rig built them.
  const std::vector<std::uint8_t>& settings() const { return settings_; }

  // The device's flash and state now (world locked for the call).
  sim::BootloaderFlash Flash();
  sim::VirtualMouse::Mode Mode();
  // Transfers the virtual bootloader saw.
  std::vector<sim::WireTransfer> BootloaderWire();
  unsigned BootloaderOpens();
  // Control requests that reached the mouse through its usbfs node, and
  // their setup packets in order.
  std::size_t MouseControlRequests();
  std::vector<w32::USB_SETUP_PACKET> MouseControlSetups();
  // Output reports the mouse's command collection received (through hidraw).
  std::size_t MouseRequests();
  // Write blocks the bootloader's node carried (64-byte bulk OUT URBs).
  std::size_t WriteBlocks();
  // Calls on a usbfs node refused with ENODEV once its device had left.
  std::size_t CallsAfterDisconnect();
  // The usbfs and hidraw nodes the device has had, in order ("/dev/...").
  std::vector<std::string> Nodes();

  // The HID driver lets the mouse's interface `number` go (its HID device and
  // hidraw node leave; the USB device and its other interfaces stay), or
  // takes it again (under a new hidraw name). Return once done.
  void UnbindInterface(int number);
  void BindInterface(int number);

  // The cable is pulled now, in whichever state the device is: returns once
  // it has left the test bed (its nodes hung up or gone, its records removed,
  // the uevent sent).
  void Pull();

  // A run as another user (root runs the program as nobody): the test bed's
  // records, the preload library's sockets and the files in it are opened to
  // anyone, and each node keeps the access this model gave it. False when
  // that could not be done.
  bool ShareWithOtherUsers();

  // Waits (real time, bounded) until `done` holds; false when it never did.
  static bool Eventually(const std::function<bool()>& done, int seconds = 10);

 private:
  friend class UsbfsNode;
  enum class Shown { kNone, kMouse, kBootloader };
  void Run(std::promise<void>* ready);
  void Mirror();
  void ShowMouse();
  void ShowBootloader();
  void HideCurrent();
  struct ShownHid {
    int number = -1;
    bool commands = false;
    std::string node;      // /dev/hidrawN
    std::string hid, raw;  // sysfs paths of the HID device and the hidraw node
    int master = -1;       // the pty's master end
  };
  static std::string InterfacePath(int number);
  void ShowHid(const sim::HidInterfaceLayout& intf);
  void HideHid(const ShownHid& shown);
  void HangUp(const std::string& node, int master);
  void Uevent(const std::string& sysPath, const char* action);
  void Silence();
  // Runs `task` on the pump and waits for it.
  void OnPump(std::function<void()> task);
  void ServeHid();
  void Permit(const std::string& node, bool allowed);
  void OpenIoctlSocket(const std::string& node);
  void OpenCommandCollection();
  void CloseCommandCollection();
  std::string NextUsbNode();

  KernelTestbed& testbed_;
  KernelModelOptions options_;
  sim::MouseLayout layout_;
  std::string imagePath_;
  sim::BootloaderFlash expected_{};
  std::vector<std::uint8_t> settings_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> pull_{false};
  std::promise<void> pulled_;
  std::thread pump_;
  sim::World* world_ = nullptr;
  sim::MouseRig* rig_ = nullptr;

  // Pump state.
  Shown shown_ = Shown::kNone;
  int devnum_ = 2;  // the last device number given out on bus 1
  int hidrawIndex_ = -1;
  int hidDeviceIndex_ = 0;
  std::vector<ShownHid> hidraws_;  // the mouse's HID interfaces shown now
  int master_ = -1;                // the command interface's pty master
  std::chrono::steady_clock::time_point permitAt_{};
  std::string permitNode_;  // the node to give its access at permitAt_
  std::chrono::steady_clock::time_point showBootloaderAt_{};
  std::vector<std::string> removeOnHide_;  // sysfs paths of what is shown, leaf first
  std::shared_ptr<UsbfsNode> usbfs_;       // the node of what is shown
  std::vector<std::shared_ptr<UsbfsNode>> oldNodes_;
  w32::HANDLE command_ = w32::INVALID_HANDLE_VALUE;
  w32::OVERLAPPED readOv_{};
  w32::OVERLAPPED writeOv_{};
  bool reading_ = false;
  std::uint8_t reply_[8] = {};

  std::uint8_t request_[8] = {};
  std::size_t requestBytes_ = 0;

  // A URB came: the pump looks at once instead of at its next tick.
  void Wake();
  std::mutex wakeMutex_;
  std::condition_variable wakeUp_;
  bool woken_ = false;

  std::mutex tasksMutex_;
  std::deque<std::packaged_task<void()>> tasks_;

  std::mutex mutex_;  // guards what other threads read
  std::vector<std::string> nodes_;
  std::vector<std::string> denied_;  // nodes shown without permission
  std::vector<w32::USB_SETUP_PACKET> mouseSetups_;
  std::size_t writeBlocks_ = 0;
  std::size_t refusedGone_ = 0;
};

// Runs `program` with `args` (RunChild of tests/support/child_run.h); kills it
// and says so when it has not ended within `seconds`. `interruptWhen`, when it
// returns true while the program runs, sends it SIGINT once (Ctrl+C).
// `asNobody`: a run started as root is made as nobody (exit status
// kCannotBecomeNobody when that cannot be done). A program that cannot be
// started ends with kCannotStart.
inline constexpr int kCannotBecomeNobody = kCannotChangeUser;
ChildRun RunChild(const std::string& program, const std::vector<std::string>& args, int seconds,
                  const std::function<bool(const std::string& out)>& interruptWhen = {}, bool asNobody = false);

// Why a run as nobody could not be made (empty when it was): the reason a
// test that needs one skips with.
std::string WhyNotRunAsNobody(const ChildRun& run);

// The message of `status` in English as the console programs print it.
std::string EnglishMessage(int status);

}  // namespace kv27::test
