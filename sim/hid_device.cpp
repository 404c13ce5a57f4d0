#include "sim/hid_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kv27::sim {

using namespace w32;

namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (const char* p = text; *p != 0; ++p) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
  return out;
}

USHORT* ButtonCount(HIDP_CAPS& caps, HIDP_REPORT_TYPE type) {
  switch (type) {
    case HidP_Input:
      return &caps.NumberInputButtonCaps;
    case HidP_Output:
      return &caps.NumberOutputButtonCaps;
    default:
      return &caps.NumberFeatureButtonCaps;
  }
}

USHORT* ValueCount(HIDP_CAPS& caps, HIDP_REPORT_TYPE type) {
  switch (type) {
    case HidP_Input:
      return &caps.NumberInputValueCaps;
    case HidP_Output:
      return &caps.NumberOutputValueCaps;
    default:
      return &caps.NumberFeatureValueCaps;
  }
}

}  // namespace

std::u16string HidInterfacePath(USHORT vendorId, USHORT productId, int interfaceNumber, int collection,
                                const std::u16string& instance) {
  char ids[64];
  std::snprintf(ids, sizeof(ids), "vid_%04x&pid_%04x", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId));
  std::u16string path = u"\\\\?\\hid#" + Ascii(ids);
  if (interfaceNumber >= 0) {
    char mi[16];
    std::snprintf(mi, sizeof(mi), "&mi_%02x", static_cast<unsigned>(interfaceNumber & 0xFF));
    path += Ascii(mi);
  }
  if (collection > 0) {
    char col[16];
    std::snprintf(col, sizeof(col), "&col%02d", collection % 100);
    path += Ascii(col);
  }
  path += u"#" + instance + u"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  return path;
}

HidDescription MakeHidDescription(USAGE usagePage, USAGE usage, USHORT inputLength, USHORT outputLength,
                                  USHORT featureLength) {
  HidDescription d;
  d.caps.UsagePage = usagePage;
  d.caps.Usage = usage;
  d.caps.InputReportByteLength = inputLength;
  d.caps.OutputReportByteLength = outputLength;
  d.caps.FeatureReportByteLength = featureLength;
  d.caps.NumberLinkCollectionNodes = 1;
  return d;
}

HIDP_BUTTON_CAPS MakeButtonCaps(USAGE usagePage, USAGE usageMin, USAGE usageMax, UCHAR reportId) {
  HIDP_BUTTON_CAPS c{};
  c.UsagePage = usagePage;
  c.ReportID = reportId;
  c.IsAbsolute = 1;
  c.IsRange = usageMin != usageMax ? 1 : 0;
  c.Range.UsageMin = usageMin;
  c.Range.UsageMax = usageMax;
  return c;
}

HIDP_VALUE_CAPS MakeValueCaps(USAGE usagePage, USAGE usage, USHORT bitSize, LONG logicalMin, LONG logicalMax,
                              UCHAR reportId) {
  HIDP_VALUE_CAPS c{};
  c.UsagePage = usagePage;
  c.ReportID = reportId;
  c.IsAbsolute = 1;
  c.BitSize = bitSize;
  c.ReportCount = 1;
  c.LogicalMin = logicalMin;
  c.LogicalMax = logicalMax;
  c.NotRange.Usage = usage;
  return c;
}

void AddButtonCaps(HidDescription& description, HIDP_REPORT_TYPE type, const HIDP_BUTTON_CAPS& caps) {
  description.buttonCaps[type].push_back(caps);
  *ButtonCount(description.caps, type) = static_cast<USHORT>(description.buttonCaps[type].size());
}

void AddValueCaps(HidDescription& description, HIDP_REPORT_TYPE type, const HIDP_VALUE_CAPS& caps) {
  description.valueCaps[type].push_back(caps);
  *ValueCount(description.caps, type) = static_cast<USHORT>(description.valueCaps[type].size());
}

// ---------------------------------------------------------------- HidCollection

HidCollection::HidCollection(HIDD_ATTRIBUTES attributes, HidDescription description)
    : attributes_(attributes), description_(std::move(description)) {
  attributes_.Size = sizeof(HIDD_ATTRIBUTES);
}

HidCollection::HidCollection(USHORT vendorId, USHORT productId, USHORT version, HidDescription description)
    : HidCollection(HIDD_ATTRIBUTES{static_cast<ULONG>(sizeof(HIDD_ATTRIBUTES)), vendorId, productId, version},
                    std::move(description)) {}

std::unique_lock<std::mutex> HidCollection::LockWorld() {
  if (world() == nullptr) return {};
  return world()->Lock();
}

void HidCollection::SendInputReport(std::vector<std::uint8_t> report) {
  auto lock = LockWorld();
  SendInputReportLocked(report);
}

void HidCollection::SetWriteMode(WriteMode mode, DWORD delayMs) {
  auto lock = LockWorld();
  writeMode_ = mode;
  writeDelayMs_ = delayMs;
}

void HidCollection::SetInputBufferLimit(std::size_t reports) {
  auto lock = LockWorld();
  inputBufferLimit_ = std::max<std::size_t>(reports, 1);
}

void HidCollection::SetOutputLogEnabled(bool enabled) {
  auto lock = LockWorld();
  outputLogEnabled_ = enabled;
}

std::vector<std::vector<std::uint8_t>> HidCollection::OutputReports() {
  auto lock = LockWorld();
  return outputReports_;
}

std::vector<HidCollection::Traffic> HidCollection::TrafficLog() {
  auto lock = LockWorld();
  return traffic_;
}

std::vector<HidOpenRecord> HidCollection::Opens() {
  auto lock = LockWorld();
  return opens_;
}

std::vector<DWORD> HidCollection::OpenHandleAccess() {
  auto lock = LockWorld();
  std::vector<DWORD> access;
  for (const HidOpenRecord& open : opens_)
    if (handles_.count(open.fileId) != 0) access.push_back(open.access);
  return access;
}

std::size_t HidCollection::PendingReads() {
  auto lock = LockWorld();
  return pendingReads_.size();
}

std::size_t HidCollection::PendingWrites() {
  auto lock = LockWorld();
  return pendingWrites_.size();
}

void HidCollection::SendInputReportLocked(const std::vector<std::uint8_t>& report) {
  const UsbTiming* timing = world() ? world()->UsbTimingLocked() : nullptr;
  if (timing == nullptr) {
    DeliverInputLocked(report);
    return;
  }
  // The report waits in the device for the next IN poll after this frame; a
  // poll carries one report.
  std::uint64_t frame = PollFrameAfter(world()->NowUsLocked(), timing->hidInIntervalFrames);
  if (inPollTaken_ && frame <= lastInPollFrame_)
    frame = lastInPollFrame_ + std::max<std::uint32_t>(timing->hidInIntervalFrames, 1);
  lastInPollFrame_ = frame;
  inPollTaken_ = true;
  // Reports wait in order; each scheduled delivery hands on every report due
  // by then, so they stay in order whichever thread moves the clock.
  const std::uint64_t deliverAtMs = (frame + 1) * kUsbFrameUs / 1000;
  armedInputs_.push_back({deliverAtMs, report});
  std::weak_ptr<Device> self = weak_from_this();
  world()->ScheduleLocked(deliverAtMs - world()->NowLocked(), [self]() {
    auto device = self.lock();
    if (!device) return;
    auto* collection = static_cast<HidCollection*>(device.get());
    auto lock = collection->LockWorld();
    const std::uint64_t now = collection->world()->NowLocked();
    while (!collection->armedInputs_.empty() && collection->armedInputs_.front().first <= now) {
      const std::vector<std::uint8_t> due = std::move(collection->armedInputs_.front().second);
      collection->armedInputs_.pop_front();
      collection->DeliverInputLocked(due);
    }
  });
}

void HidCollection::DeliverInputLocked(const std::vector<std::uint8_t>& report) {
  for (auto& [fileId, handle] : handles_) {
    if (!handle.readable) continue;
    bool delivered = false;
    while (!handle.reads.empty() && !delivered) {
      const std::uint64_t id = handle.reads.front();
      handle.reads.pop_front();
      auto it = pendingReads_.find(id);
      if (it == pendingReads_.end()) continue;
      const PendingRead read = it->second;
      pendingReads_.erase(it);
      const DWORD n = static_cast<DWORD>(std::min<std::size_t>(report.size(), read.length));
      if (n != 0) std::memcpy(read.buffer, report.data(), n);
      delivered = world()->CompleteIoLocked(id, ERROR_SUCCESS, n);
      if (delivered && outputLogEnabled_) traffic_.push_back(Traffic{true, report});
    }
    if (delivered) continue;
    handle.reports.push_back(report);
    while (handle.reports.size() > inputBufferLimit_) handle.reports.pop_front();
  }
}

DWORD HidCollection::OnOpen(FileObject& file) {
  opens_.push_back(HidOpenRecord{file.access, file.flags, file.id});
  Handle& handle = handles_[file.id];
  handle.readable = (file.access & GENERIC_READ) != 0;
  return ERROR_SUCCESS;
}

void HidCollection::OnClose(FileObject& file) {
  auto it = handles_.find(file.id);
  if (it == handles_.end()) return;
  for (std::uint64_t id : it->second.reads) pendingReads_.erase(id);
  handles_.erase(it);
}

DWORD HidCollection::OnRead(IoRequest& request, DWORD* transferred, CallEffects& fx) {
  if (request.length < description_.caps.InputReportByteLength) return ERROR_INVALID_USER_BUFFER;
  auto it = handles_.find(request.file->id);
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  Handle& handle = it->second;
  if (!handle.reports.empty()) {
    const std::vector<std::uint8_t> report = std::move(handle.reports.front());
    handle.reports.pop_front();
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(report.size(), request.length));
    if (n != 0) std::memcpy(request.buffer, report.data(), n);
    *transferred = n;
    if (outputLogEnabled_) traffic_.push_back(Traffic{true, report});
    return ERROR_SUCCESS;
  }
  // The system reads overlapped only; a synchronous read has nothing to wait on.
  if (!request.file->Overlapped()) return ERROR_NOT_SUPPORTED;
  handle.reads.push_back(request.id);
  pendingReads_[request.id] = PendingRead{request.file->id, request.buffer, request.length};
  return ERROR_IO_PENDING;
}

DWORD HidCollection::OnWrite(IoRequest& request, DWORD* transferred, CallEffects& fx) {
  if (request.length != description_.caps.OutputReportByteLength) return ERROR_INVALID_USER_BUFFER;
  const auto* bytes = static_cast<const std::uint8_t*>(request.buffer);
  std::vector<std::uint8_t> report(bytes, bytes + request.length);
  const bool overlapped = request.file->Overlapped();
  const UsbTiming* timing = world()->UsbTimingLocked();
  if (timing != nullptr && writeMode_ == WriteMode::kImmediate && overlapped)
    return WriteOnFrames(*timing, request, std::move(report));
  if (writeMode_ == WriteMode::kImmediate || !overlapped) {
    DeliverOutput(report);
    *transferred = request.length;
    return ERROR_SUCCESS;
  }
  const std::uint64_t id = request.id;
  pendingWrites_[id] = std::move(report);
  if (writeMode_ == WriteMode::kDelayed) {
    std::weak_ptr<Device> self = weak_from_this();
    world()->ScheduleLocked(writeDelayMs_, [self, id]() {
      if (auto device = self.lock()) static_cast<HidCollection*>(device.get())->CompleteDelayedWrite(id);
    });
  }
  return ERROR_IO_PENDING;
}

// The report goes out in the OUT endpoint's next poll: the device has it at
// the start of that frame, and the write completes at its end. The completion
// is scheduled from the delivery, so that the two stay in order whichever
// thread moves the clock.
DWORD HidCollection::WriteOnFrames(const UsbTiming& timing, IoRequest& request, std::vector<std::uint8_t> report) {
  const std::uint64_t id = request.id;
  const std::uint64_t frameMs =
      PollFrameAtOrAfter(world()->NowUsLocked(), timing.hidOutIntervalFrames) * kUsbFrameUs / 1000;
  pendingWrites_[id] = std::move(report);
  std::weak_ptr<Device> self = weak_from_this();
  world()->ScheduleLocked(frameMs - world()->NowLocked(), [self, id, frameMs]() {
    auto device = self.lock();
    if (!device) return;
    auto* collection = static_cast<HidCollection*>(device.get());
    auto lock = collection->LockWorld();
    auto it = collection->pendingWrites_.find(id);
    if (it == collection->pendingWrites_.end()) return;  // cancelled meanwhile
    collection->DeliverOutput(it->second);
    World* w = collection->world();
    const std::uint64_t endMs = frameMs + kUsbFrameUs / 1000;
    w->ScheduleLocked(endMs - std::min(endMs, w->NowLocked()), [self, id]() {
      auto device = self.lock();
      if (!device) return;
      auto* collection = static_cast<HidCollection*>(device.get());
      auto lock = collection->LockWorld();
      auto it = collection->pendingWrites_.find(id);
      if (it == collection->pendingWrites_.end()) return;
      const DWORD size = static_cast<DWORD>(it->second.size());
      collection->pendingWrites_.erase(it);
      collection->world()->CompleteIoLocked(id, ERROR_SUCCESS, size);
    });
  });
  return ERROR_IO_PENDING;
}

void HidCollection::CompleteDelayedWrite(std::uint64_t requestId) {
  auto lock = LockWorld();
  auto it = pendingWrites_.find(requestId);
  if (it == pendingWrites_.end()) return;  // cancelled meanwhile
  const std::vector<std::uint8_t> report = std::move(it->second);
  pendingWrites_.erase(it);
  DeliverOutput(report);
  world()->CompleteIoLocked(requestId, ERROR_SUCCESS, static_cast<DWORD>(report.size()));
}

void HidCollection::DeliverOutput(const std::vector<std::uint8_t>& report) {
  if (outputLogEnabled_) {
    outputReports_.push_back(report);
    traffic_.push_back(Traffic{false, report});
  }
  OnOutputReport(report);
}

void HidCollection::OnCancel(std::uint64_t requestId) {
  pendingWrites_.erase(requestId);
  auto it = pendingReads_.find(requestId);
  if (it == pendingReads_.end()) return;
  auto handle = handles_.find(it->second.fileId);
  if (handle != handles_.end()) {
    auto& reads = handle->second.reads;
    reads.erase(std::remove(reads.begin(), reads.end(), requestId), reads.end());
  }
  pendingReads_.erase(it);
}

DWORD HidCollection::OnHidGetAttributes(FileObject& file, HIDD_ATTRIBUTES* attributes) {
  *attributes = attributes_;
  return ERROR_SUCCESS;
}

DWORD HidCollection::OnHidGetDescription(FileObject& file, HidDescription* description) {
  *description = description_;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- HidDevice

HidDevice::HidDevice(USHORT vendorId, USHORT productId, int interfaceNumber, std::u16string instance)
    : vendorId_(vendorId), productId_(productId), interfaceNumber_(interfaceNumber), instance_(std::move(instance)) {}

void HidDevice::Add(std::shared_ptr<HidCollection> collection) { collections_.push_back(std::move(collection)); }

std::u16string HidDevice::Path(std::size_t index) const {
  const int collection = collections_.size() > 1 ? static_cast<int>(index) + 1 : 0;
  return HidInterfacePath(vendorId_, productId_, interfaceNumber_, collection, instance_);
}

void HidDevice::Attach(World& world) {
  for (std::size_t i = 0; i < collections_.size(); ++i) world.Attach(Path(i), collections_[i], GUID_DEVINTERFACE_HID);
}

void HidDevice::Detach(World& world) {
  for (std::size_t i = 0; i < collections_.size(); ++i) world.Detach(Path(i));
}

}  // namespace kv27::sim
