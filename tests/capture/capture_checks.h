// What the capture tests read out of a capture: a simulated run of
// kv27m-update with --capture, and the traffic of its file by device.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_log.h"
#include "capture/usb_descriptors.h"
#include "sim/mouse_rig.h"
#include "sim/world.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27::capture {

// kv27m-update --simulate=SCENARIO --capture C:\captures\run.pcapng on a world
// with in-memory files; the capture read back.
struct CapturedUpdate {
  explicit CapturedUpdate(const std::string& scenario, std::vector<std::u16string> extra = {},
                          std::function<void(sim::World&)> prepare = nullptr) {
    UpdateToolIo io;
    io.out = [this](const std::u16string& line) { out.push_back(line); };
    io.err = [this](const std::u16string& line) { err.push_back(line); };
    io.backupFolder = [] { return std::u16string(u"C:\\backups"); };
    io.timeStamp = [] { return std::u16string(u"1"); };
    io.world = &world;
    io.keepRig = &rig;
    io.prepareWorld = [prepare](sim::World& w) {
      w.SetHostFiles(false);
      w.AddDirectory(u"C:\\captures");
      w.AddDirectory(u"C:\\backups");  // made by the program's platform layer when missing
      if (prepare) prepare(w);
    };
    std::vector<std::u16string> args = {u"--simulate=" + std::u16string(scenario.begin(), scenario.end()), u"--capture",
                                        path};
    args.insert(args.end(), extra.begin(), extra.end());
    status = RunUpdateTool(args, io);
    if (auto bytes = world.FileBytes(path)) {
      this->bytes = *bytes;
      log = ParseCapture(bytes->data(), bytes->size(), &error);
    } else {
      error = "no capture file";
    }
  }
  ~CapturedUpdate() { rig.reset(); }

  const std::u16string path = u"C:\\captures\\run.pcapng";
  sim::World world;
  std::unique_ptr<sim::MouseRig> rig;
  std::vector<std::u16string> out, err;
  int status = -1;
  std::vector<std::uint8_t> bytes;
  std::optional<CaptureLog> log;
  std::string error;
};

// One device's traffic in a capture, by USB address.
struct DeviceTraffic {
  w32::USB_DEVICE_DESCRIPTOR device{};
  std::vector<InterfaceFacts> interfaces;
  std::map<std::uint8_t, std::vector<HidCollectionFacts>> reports;  // by interface
  bool describedBeforeTraffic = false;
  bool anyTraffic = false;
  std::vector<std::vector<std::uint8_t>> interruptOut;   // data of the OUT submissions
  std::vector<std::vector<std::uint8_t>> interruptIn;    // data of the IN completions that carried some
  std::vector<std::vector<std::uint8_t>> controlSetups;  // requests the program made (not rebuilt ones)
  std::vector<std::vector<std::uint8_t>> controlReplies;
  std::vector<std::vector<std::uint8_t>> bulkOut;
  std::uint64_t bulkTransfers = 0;
};

struct Traffic {
  std::map<std::uint16_t, DeviceTraffic> devices;
  // Submissions without a completion and completions without a submission
  // (a read still pending when the run ended is allowed).
  std::string unpaired;
  std::uint64_t stringRequestUs = 0;
};

inline Traffic Summarise(const CaptureLog& log) {
  Traffic t;
  std::map<std::uint64_t, const CaptureFrame*> open;  // submissions by IRP id
  for (const auto* f : log.Frames()) {
    DeviceTraffic& d = t.devices[f->header.device];
    const auto& h = f->header;
    if (f->Rebuilt() ||
        (h.transfer == kTransferControl && h.completion() && open.count(h.irpId) != 0 && open.at(h.irpId)->Rebuilt())) {
      // A rebuilt descriptor: its answer describes the device.
      if (h.completion() && !f->data.empty()) {
        const auto* setup = open.at(h.irpId);
        const std::uint8_t type = setup->data.at(3);
        if (type == kDescriptorDevice) {
          if (auto dd = ParseDeviceDescriptor(f->data.data(), f->data.size())) d.device = *dd;
        } else if (type == kDescriptorConfiguration) {
          if (auto c = ParseConfigurationDescriptor(f->data.data(), f->data.size())) d.interfaces = *c;
        } else if (type == kDescriptorHidReport) {
          if (auto r = ParseReportDescriptor(f->data.data(), f->data.size())) d.reports[setup->data.at(4)] = *r;
        }
        if (!d.anyTraffic) d.describedBeforeTraffic = true;
      }
    } else {
      d.anyTraffic = true;
      if (h.transfer == kTransferInterrupt && !h.in() && !h.completion()) d.interruptOut.push_back(f->data);
      if (h.transfer == kTransferInterrupt && h.in() && h.completion() && !f->data.empty())
        d.interruptIn.push_back(f->data);
      if (h.transfer == kTransferControl && !h.completion()) {
        d.controlSetups.push_back(f->data);
        if (f->data.size() == 8 && f->data[3] == kDescriptorString) t.stringRequestUs = f->timeUs;
      }
      if (h.transfer == kTransferControl && h.completion()) d.controlReplies.push_back(f->data);
      if (h.transfer == kTransferBulk && !h.completion()) {
        ++d.bulkTransfers;
        if (!h.in()) d.bulkOut.push_back(f->data);
      }
    }
    if (!h.completion()) {
      if (open.count(h.irpId) != 0) t.unpaired += "IRP " + std::to_string(h.irpId) + " submitted twice; ";
      open[h.irpId] = f;
    } else if (open.count(h.irpId) == 0 || open.at(h.irpId)->header.endpoint != h.endpoint) {
      t.unpaired += "frame " + std::to_string(f->number) + " completes nothing; ";
    } else {
      open.erase(h.irpId);
    }
  }
  for (const auto& [irp, f] : open) {
    const bool pendingRead = f->header.transfer == kTransferInterrupt && f->header.in();
    if (!pendingRead) t.unpaired += "frame " + std::to_string(f->number) + " never completes; ";
  }
  return t;
}

}  // namespace kv27::capture
