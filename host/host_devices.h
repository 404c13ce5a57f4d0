// The real devices a HostBus attaches to its world: a hidraw node's top-level
// collections, the bootloader's WinUSB interface and any device on a hub port,
// each a sim::Device (or UsbFunction) whose callbacks reach the kernel.
//
// Callbacks run with the world locked, as for every device. The calls they
// make to the kernel are short (a hidraw write, a control or bulk transfer
// bounded by its time-out); reads never wait there: each readable hidraw
// handle has a thread of its own that polls the node and completes the
// pending read, taking the world's lock only to hand a report over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/report_descriptor.h"
#include "sim/usb_tree.h"
#include "sim/world.h"

struct libusb_context;
struct libusb_device_handle;

namespace kv27::host {
using namespace w32;

// What the devices share with their bus: the refused nodes, a way to ask for
// a new look at sysfs, and a count of the reader threads still running.
struct HostShared {
  std::mutex mutex;
  std::condition_variable threadsDone;
  int readerThreads = 0;
  // Nodes whose last open was refused for lack of permission. A node opened
  // after a refusal (udev gives a new node its access a moment after it
  // appears) leaves the list: that refusal stopped nothing.
  std::vector<std::string> refused;
  std::function<void()> requestRescan;
  libusb_context* usb = nullptr;

  void Refused(const std::string& node);
  void Opened(const std::string& node);
};

// A usbfs node path, /dev/bus/usb/BBB/DDD.
std::string UsbfsNode(int bus, int devnum);

// A Win32 error for an errno.
DWORD ErrorOfErrno(int error);

// One hidraw node: the whole HID interface with its descriptor.
struct HidrawNode {
  std::string devnode;  // /dev/hidrawN
  HIDD_ATTRIBUTES attributes{};
  ParsedReportDescriptor descriptor;
};

// One top-level collection of a hidraw node, as the class driver shows it: a
// HID interface of its own whose reads give only the reports of its ids.
class HidrawCollection : public sim::Device {
 public:
  HidrawCollection(std::shared_ptr<HostShared> shared, std::shared_ptr<const HidrawNode> node, std::size_t index);
  DWORD OnOpen(sim::FileObject& file) override;
  void OnClose(sim::FileObject& file) override;
  DWORD OnRead(sim::IoRequest& request, DWORD* transferred, sim::CallEffects& fx) override;
  DWORD OnWrite(sim::IoRequest& request, DWORD* transferred, sim::CallEffects& fx) override;
  void OnCancel(std::uint64_t requestId) override;
  DWORD OnHidGetAttributes(sim::FileObject& file, HIDD_ATTRIBUTES* attributes) override;
  DWORD OnHidGetDescription(sim::FileObject& file, sim::HidDescription* description) override;

  struct Handle;

 private:
  bool StartReader(const std::shared_ptr<Handle>& handle);
  void ReaderLoop(std::shared_ptr<Handle> handle);
  std::shared_ptr<HostShared> shared_;
  std::shared_ptr<const HidrawNode> node_;
  std::size_t index_;
  std::map<std::uint64_t, std::shared_ptr<Handle>> handles_;  // by file id
};

// A device on a hub port. A GET_DESCRIPTOR request through the hub is sent to
// the device itself as a standard control transfer on endpoint 0.
class HostUsbFunction : public sim::UsbFunction {
 public:
  HostUsbFunction(std::shared_ptr<HostShared> shared, int bus, int devnum, USHORT vendorId, USHORT productId,
                  USHORT bcdDevice);
  sim::ControlReply OnGetDescriptor(ULONG connectionIndex, const USB_SETUP_PACKET& setup, BYTE* data,
                                    DWORD room) override;

 private:
  std::shared_ptr<HostShared> shared_;
  int bus_, devnum_;
};

// The bootloader's WinUSB interface through usbfs.
class HostBootloader : public sim::Device {
 public:
  HostBootloader(std::shared_ptr<HostShared> shared, int bus, int devnum);
  ~HostBootloader() override;
  DWORD OnOpen(sim::FileObject& file) override;
  void OnClose(sim::FileObject& file) override;
  DWORD OnWinUsbInitialize(sim::FileObject& file) override;
  DWORD OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* descriptor) override;
  DWORD OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) override;
  DWORD OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred,
                          sim::CallEffects& fx) override;
  DWORD OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred, sim::CallEffects& fx) override;
  void OnWinUsbPipeTimeoutSet(UCHAR pipeId, ULONG timeoutMs) override;

 private:
  void Release();
  std::shared_ptr<HostShared> shared_;
  int bus_, devnum_;
  libusb_device_handle* handle_ = nullptr;
  int fd_ = -1;
  int opens_ = 0;
  bool claimed_ = false;
  std::map<UCHAR, ULONG> timeouts_;
  std::deque<UCHAR> leftover_;  // the rest of a packet a short read did not take
};

}  // namespace kv27::host
