// Virtual HID devices for the simulated world.
//
// A HidCollection is one top-level collection of a HID device: one device
// interface under the HID class GUID, with its own path, attributes (vendor
// id, product id, version), capabilities and button/value capability lists.
// A HidDevice groups the collections of one USB device and attaches them to a
// world under Windows-like paths, e.g.
//   \\?\hid#vid_4e5b&pid_002a&mi_01&col02#7&2a1b3c4d&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}
//
// I/O behaves as the HID class driver's on an overlapped handle:
//   - every handle opened with GENERIC_READ has its own buffer of input
//     reports. SendInputReport completes the oldest pending read of each such
//     handle, or queues the report (at most InputBufferLimit per handle; the
//     oldest is dropped when full). A read finds a queued report at once, or
//     stays pending until one comes. A read buffer shorter than the input
//     report length fails with ERROR_INVALID_USER_BUFFER;
//   - a write of exactly the output report length goes to OnOutputReport (a
//     derived device answers there, e.g. with SendInputReportLocked) and
//     completes at once, after a virtual delay, or never (SetWriteMode);
//     another length fails with ERROR_INVALID_USER_BUFFER;
//   - cancellation, closing and the device leaving are the world's: pending
//     requests are forgotten in OnCancel;
//   - with the world's USB timing model on (World::SetUsbTiming), reports
//     move on frame boundaries: an immediate-mode write on an overlapped
//     handle reaches the device in the next poll of the OUT endpoint and
//     completes at the end of that frame; an input report the device arms
//     goes back in the first poll of the IN endpoint after the frame it was
//     armed in, one report per poll, and is delivered at the end of that
//     frame (sim/usb_timing.h).
// A report of another length than the input report length is delivered as it
// is, so a test gets a short read by sending a short report.
//
// Faults at the operating-system level (a probe open that fails, attributes or
// preparsed data that cannot be read, HidP_GetCaps failing, CreateThread
// failing) are injected with World::InjectFault; HidDescription::capsStatus
// makes HidP_GetCaps fail for one collection.
//
// Locking: the Device callbacks and the *Locked methods run with the world
// locked; the other public methods take the lock themselves.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/world.h"

namespace kv27::sim {

using namespace w32;

// Interface path of a HID collection as Windows names it. interfaceNumber < 0
// leaves out "&mi_NN"; collection 0 leaves out "&colNN" (a device with one
// collection).
std::u16string HidInterfacePath(USHORT vendorId, USHORT productId, int interfaceNumber, int collection,
                                const std::u16string& instance = u"7&2a1b3c4d&0&0000");

// A description with the given usage and report lengths and no capability
// entries.
HidDescription MakeHidDescription(USAGE usagePage, USAGE usage, USHORT inputLength, USHORT outputLength,
                                  USHORT featureLength = 0);
// Capability entries; each call appends one and raises the matching count.
HIDP_BUTTON_CAPS MakeButtonCaps(USAGE usagePage, USAGE usageMin, USAGE usageMax, UCHAR reportId = 0);
HIDP_VALUE_CAPS MakeValueCaps(USAGE usagePage, USAGE usage, USHORT bitSize, LONG logicalMin, LONG logicalMax,
                              UCHAR reportId = 0);
void AddButtonCaps(HidDescription& description, HIDP_REPORT_TYPE type, const HIDP_BUTTON_CAPS& caps);
void AddValueCaps(HidDescription& description, HIDP_REPORT_TYPE type, const HIDP_VALUE_CAPS& caps);

// One CreateFileW that reached a collection.
struct HidOpenRecord {
  DWORD access = 0;
  DWORD flags = 0;
  std::uint64_t fileId = 0;
};

class HidCollection : public Device {
 public:
  enum class WriteMode {
    kImmediate,  // completes inside WriteFile
    kDelayed,    // pending, completes after the write delay in virtual time
    kNever,      // pending until cancelled or the device leaves
  };
  static constexpr std::size_t kDefaultInputBufferLimit = 32;

  HidCollection(HIDD_ATTRIBUTES attributes, HidDescription description);
  HidCollection(USHORT vendorId, USHORT productId, USHORT version, HidDescription description);

  // ------------------------------------------------------------ for tests (take the world's lock)
  void SendInputReport(std::vector<std::uint8_t> report);
  void SetWriteMode(WriteMode mode, DWORD delayMs = 0);
  void SetInputBufferLimit(std::size_t reports);
  // Keep output reports for OutputReports and the traffic for Traffic
  // (default on; long runs turn it off).
  void SetOutputLogEnabled(bool enabled);
  // Output reports delivered so far (a write that never completes delivers
  // nothing).
  std::vector<std::vector<std::uint8_t>> OutputReports();
  // Both directions in order, as a bus analyser beside the program would show
  // them: an output report when it reaches the device, an input report when a
  // read of the program takes it (reports that no read took are not there).
  struct Traffic {
    bool input = false;
    std::vector<std::uint8_t> report;
  };
  std::vector<Traffic> TrafficLog();
  // Every CreateFileW that reached this collection, in order.
  std::vector<HidOpenRecord> Opens();
  // Access rights of the handles open right now, in opening order.
  std::vector<DWORD> OpenHandleAccess();
  std::size_t PendingReads();
  std::size_t PendingWrites();

  // ------------------------------------------------------------ for devices (world locked)
  void SendInputReportLocked(const std::vector<std::uint8_t>& report);
  const HidDescription& description() const { return description_; }
  const HIDD_ATTRIBUTES& attributes() const { return attributes_; }

  // ------------------------------------------------------------ Device
  DWORD OnOpen(FileObject& file) override;
  void OnClose(FileObject& file) override;
  DWORD OnRead(IoRequest& request, DWORD* transferred, CallEffects& fx) override;
  DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects& fx) override;
  void OnCancel(std::uint64_t requestId) override;
  DWORD OnHidGetAttributes(FileObject& file, HIDD_ATTRIBUTES* attributes) override;
  DWORD OnHidGetDescription(FileObject& file, HidDescription* description) override;

 protected:
  // An output report went out to the device (world locked). The default does
  // nothing; a device model answers here.
  virtual void OnOutputReport(const std::vector<std::uint8_t>& report) {}

  // The world's lock, or no lock before the collection is attached.
  std::unique_lock<std::mutex> LockWorld();

 private:
  struct Handle {
    bool readable = false;
    std::deque<std::vector<std::uint8_t>> reports;
    std::deque<std::uint64_t> reads;  // pending read request ids, oldest first
  };
  struct PendingRead {
    std::uint64_t fileId = 0;
    void* buffer = nullptr;
    DWORD length = 0;
  };

  void DeliverOutput(const std::vector<std::uint8_t>& report);
  void CompleteDelayedWrite(std::uint64_t requestId);
  DWORD WriteOnFrames(const UsbTiming& timing, IoRequest& request, std::vector<std::uint8_t> report);
  void DeliverInputLocked(const std::vector<std::uint8_t>& report);

  HIDD_ATTRIBUTES attributes_{};
  HidDescription description_;
  WriteMode writeMode_ = WriteMode::kImmediate;
  DWORD writeDelayMs_ = 0;
  std::size_t inputBufferLimit_ = kDefaultInputBufferLimit;
  bool outputLogEnabled_ = true;
  std::map<std::uint64_t, Handle> handles_;  // by FileObject id
  std::map<std::uint64_t, PendingRead> pendingReads_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> pendingWrites_;
  std::vector<std::vector<std::uint8_t>> outputReports_;
  std::vector<Traffic> traffic_;
  std::vector<HidOpenRecord> opens_;
  std::uint64_t lastInPollFrame_ = 0;  // timing model: the IN poll the last armed report took
  bool inPollTaken_ = false;
  std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> armedInputs_;  // (delivery ms, report)
};

// Answers every output report with the same bytes as an input report: a device
// with no latency of its own.
class HidEchoCollection : public HidCollection {
 public:
  using HidCollection::HidCollection;

 protected:
  void OnOutputReport(const std::vector<std::uint8_t>& report) override { SendInputReportLocked(report); }
};

// The HID collections of one USB device (one interface), attached and
// detached together.
class HidDevice {
 public:
  // interfaceNumber < 0: no "&mi_NN" in the paths.
  HidDevice(USHORT vendorId, USHORT productId, int interfaceNumber = -1,
            std::u16string instance = u"7&2a1b3c4d&0&0000");

  // Adds a collection; the paths number them "&col01", "&col02", ... once
  // there are two or more.
  void Add(std::shared_ptr<HidCollection> collection);
  std::size_t Count() const { return collections_.size(); }
  std::shared_ptr<HidCollection> Collection(std::size_t index) const { return collections_.at(index); }
  std::u16string Path(std::size_t index) const;

  // Attaches every collection under GUID_DEVINTERFACE_HID, in order.
  void Attach(World& world);
  void Detach(World& world);

 private:
  USHORT vendorId_;
  USHORT productId_;
  int interfaceNumber_;
  std::u16string instance_;
  std::vector<std::shared_ptr<HidCollection>> collections_;
};

}  // namespace kv27::sim
