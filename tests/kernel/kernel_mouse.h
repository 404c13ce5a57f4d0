// The N4 mouse and its bootloader on a real Linux kernel's USB stack: the
// simulated world's virtual mouse and virtual bootloader (a MouseRig), shown
// to the kernel as a USB device through gadgetfs (tests/kernel/gadget.h).
//
// One thread (the pump) owns the world, moves its clock and mirrors the
// device's life onto the bus:
//   - the mouse in normal mode: its device descriptor, one HID interface per
//     interface of its layout (sim/mouse_layouts.h) with its report
//     descriptor and interrupt endpoints; output reports for the command
//     collection (on the interrupt OUT endpoint, or as SET_REPORT on the
//     default pipe) go to the virtual mouse's command collection, its input
//     reports go back on the interface's interrupt IN endpoint; string
//     descriptor requests are answered by the virtual mouse, the
//     bootloader-entry one included, after which the mouse leaves the bus;
//   - the bootloader: its device descriptor and its one interface with the
//     bulk pipes the virtual bootloader has; each bulk OUT transfer goes to it
//     as a WinUSB write, its replies go out on the bulk IN endpoint;
//   - every change of mode: the gadget of the old life is closed (the kernel
//     sees a disconnect) and one of the new life opened (a new enumeration).
// What the devices received is kept for the tests to assert.
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
#include "tests/kernel/gadget.h"

namespace kv27::test {

struct KernelMouseOptions {
  const sim::MouseLayout* layout = nullptr;  // null: the first of sim::MouseLayouts()
  // Faults set on the world once the rig is built (pump thread, world unlocked).
  std::function<void(sim::MouseRig& rig, const sim::BootloaderFlash& expected)> prepare;
  // The bootloader is pulled out once it has taken this many 64-byte write
  // blocks (0: never).
  std::size_t pullAfterWriteBlocks = 0;
  // Where the image file goes (the program's input) and where gadgetfs is.
  std::string directory = "/tmp/kv27m";
  std::string gadgetfs = "/dev/gadget";
};

// A control request the device was asked on its default pipe, and by which life.
struct ControlRecord {
  bool bootloader = false;
  usb_ctrlrequest setup{};
};

class KernelMouse : public GadgetFunction {
 public:
  explicit KernelMouse(KernelMouseOptions options = {});
  ~KernelMouse() override;
  KernelMouse(const KernelMouse&) = delete;
  KernelMouse& operator=(const KernelMouse&) = delete;

  enum class Shown { kNone, kMouse, kBootloader };

  const sim::MouseLayout& layout() const { return *layout_; }
  const std::string& imagePath() const { return imagePath_; }
  const sim::BootloaderFlash& expectedFlash() const { return expected_; }
  const sim::BootloaderFlash& factoryFlash() const { return factory_; }
  const std::vector<std::uint8_t>& settings() const { return settings_; }
  // Why the device could not be shown (empty: it could).
  std::string Error();

  // The device now (world locked for the call).
  sim::BootloaderFlash Flash();
  sim::VirtualMouse::Mode Mode();
  Shown ShownAs();
  // How many times each life has been shown on the bus so far.
  int TimesShown(Shown life);
  std::vector<sim::WireTransfer> BootloaderWire();
  std::vector<ControlRecord> Controls();
  // Bootloader-entry requests (string 0xC3, language 0x5D1A) the mouse got.
  std::size_t BootloaderRequests();
  std::size_t MouseRequests();  // output reports the command collection received
  std::size_t WriteBlocks();    // 64-byte write blocks the bootloader took
  // Runs `action` on the pump (world unlocked) and waits for it.
  void OnPump(const std::function<void(sim::MouseRig&)>& action);

  // Waits (real time) until `done` holds; false when it never did.
  static bool Eventually(const std::function<bool()>& done, double seconds = 10);

  // GadgetFunction (gadget threads).
  ControlAnswer OnControl(const usb_ctrlrequest& setup, const std::vector<std::uint8_t>& out) override;
  void OnOut(std::uint8_t address, std::vector<std::uint8_t> data) override;

 private:
  void Run(std::promise<void>* ready);
  void Mirror();
  void ShowMouse();
  void ShowBootloader();
  void HideCurrent();
  void ServeHid();
  void ServeBootloader();
  void Wake();

  KernelMouseOptions options_;
  const sim::MouseLayout* layout_;
  std::string imagePath_;
  sim::BootloaderFlash expected_{};
  sim::BootloaderFlash factory_{};
  std::vector<std::uint8_t> settings_;

  std::atomic<bool> stop_{false};
  std::thread pump_;
  sim::World* world_ = nullptr;
  sim::MouseRig* rig_ = nullptr;

  // Pump state.
  Shown shown_ = Shown::kNone;
  std::unique_ptr<Gadget> gadget_;
  w32::HANDLE command_ = w32::INVALID_HANDLE_VALUE;
  w32::OVERLAPPED readOv_{};
  w32::OVERLAPPED writeOv_{};
  bool reading_ = false;
  std::uint8_t reply_[8] = {};
  w32::HANDLE bootFile_ = w32::INVALID_HANDLE_VALUE;
  w32::WINUSB_INTERFACE_HANDLE winusb_ = nullptr;
  std::uint8_t bulkIn_ = 0, bulkOut_ = 0;

  // Shared with the gadget's threads and the tests.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::string error_;
  std::shared_ptr<sim::UsbFunction> function_;  // what answers the default pipe now
  bool bootloaderShown_ = false;
  std::deque<std::vector<std::uint8_t>> outputReports_;  // for the command collection
  std::deque<std::vector<std::uint8_t>> bulkPackets_;    // for the bootloader
  std::deque<std::function<void(sim::MouseRig&)>> actions_;
  std::vector<ControlRecord> controls_;
  std::size_t writeBlocks_ = 0;
  int shownMouse_ = 0, shownBootloader_ = 0;
  Shown shownNow_ = Shown::kNone;
};

}  // namespace kv27::test
