#include "sim/bootloader.h"

#include <algorithm>
#include <utility>

namespace kv27::sim {

namespace {

constexpr UCHAR kErase = 0x25;
constexpr UCHAR kWrite = 0x28;
constexpr UCHAR kRead = 0x2A;
constexpr UCHAR kVerify = 0x2F;
constexpr UCHAR kProtect = 0x2C;
constexpr UCHAR kExit = 0x20;
constexpr ULONG kPacketSize = 10;
constexpr UCHAR kStatusOk = 0x00;
constexpr UCHAR kStatusBadAddress = 0x02;
constexpr UCHAR kStatusBadLength = 0x03;

// What a flash left by an older firmware might hold: anything but 0xFF, so that
// programming over it without an erase shows.
BootloaderFlash OldFirmware() {
  BootloaderFlash flash{};
  std::uint32_t x = 0x2545F491u;
  for (auto& byte : flash) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x & 0x7F);  // bit 7 clear
  }
  return flash;
}

}  // namespace

VirtualBootloader::VirtualBootloader()
    : pipes_{{UsbdPipeTypeBulk, 0x81, 64, 0}, {UsbdPipeTypeBulk, 0x02, 64, 0}}, flash_(OldFirmware()) {}

std::unique_lock<std::mutex> VirtualBootloader::LockWorld() {
  if (World* w = world()) return w->Lock();
  return {};
}

// ------------------------------------------------------------ on the bus

void VirtualBootloader::Plug(World& world, const std::u16string& path) {
  {
    auto lock = LockWorld();
    path_ = path;
    gone_ = false;
    replies_.clear();
    pendingWriteOffset_.reset();
  }
  world.Attach(path, shared_from_this(), kBootloaderInterfaceClass);
}

void VirtualBootloader::PlugAfter(World& world, std::uint64_t delayMs, const std::u16string& path) {
  std::weak_ptr<Device> self = shared_from_this();
  World* w = &world;
  world.Schedule(delayMs, [self, w, path] {
    if (auto device = std::static_pointer_cast<VirtualBootloader>(self.lock())) device->Plug(*w, path);
  });
}

void VirtualBootloader::SetOnExit(std::function<void(const BootloaderFlash& flash)> onExit) {
  auto lock = LockWorld();
  onExit_ = std::move(onExit);
}

bool VirtualBootloader::ImageVerified() {
  auto lock = LockWorld();
  return verified_;
}

void VirtualBootloader::SetImageVerified(bool verified) {
  auto lock = LockWorld();
  verified_ = verified;
  erased_ = false;
  written_.fill(false);
}

void VirtualBootloader::LeaveBus() {
  gone_ = true;
  replies_.clear();
  pendingWriteOffset_.reset();
  World* w = world();
  if (w == nullptr) return;
  std::u16string path = path_;
  auto onExit = onExit_;
  std::weak_ptr<Device> self = shared_from_this();
  w->ScheduleLocked(0, [w, path, onExit, self] {
    w->Detach(path);
    if (!onExit) return;
    if (auto device = std::static_pointer_cast<VirtualBootloader>(self.lock())) onExit(device->Flash());
  });
}

// ------------------------------------------------------------ power

BootloaderFlash VirtualBootloader::PowerOffLocked(bool* verified) {
  gone_ = true;
  replies_.clear();
  pendingWriteOffset_.reset();
  lastRead_.reset();
  lastReadSplit_ = false;
  *verified = verified_;
  return flash_;
}

void VirtualBootloader::PowerOnLocked(const BootloaderFlash& flash, bool verified) {
  flash_ = flash;
  verified_ = verified;
  erased_ = false;
  written_.fill(false);
  gone_ = false;
  replies_.clear();
  pendingWriteOffset_.reset();
  lastRead_.reset();
  lastReadSplit_ = false;
}

// ------------------------------------------------------------ set-up and faults

void VirtualBootloader::SetPipes(std::vector<WINUSB_PIPE_INFORMATION> pipes) {
  auto lock = LockWorld();
  pipes_ = std::move(pipes);
}

void VirtualBootloader::SetFlash(const BootloaderFlash& contents) {
  auto lock = LockWorld();
  flash_ = contents;
}

void VirtualBootloader::SetTransferDelay(DWORD ms) {
  auto lock = LockWorld();
  transferDelayMs_ = ms;
}

void VirtualBootloader::SetEraseDelay(DWORD ms) {
  auto lock = LockWorld();
  eraseDelayMs_ = ms;
}

void VirtualBootloader::FailStatus(UCHAR command, unsigned block, UCHAR status) {
  auto lock = LockWorld();
  statusFaults_.push_back({command, block, status});
}

void VirtualBootloader::ShortCommandPacket(unsigned nth) {
  auto lock = LockWorld();
  shortCommandIn_ = nth;
}

void VirtualBootloader::ShortBlockRead(unsigned nth) {
  auto lock = LockWorld();
  shortReadIn_ = nth;
}

void VirtualBootloader::ShortStatusRead(unsigned nth) {
  auto lock = LockWorld();
  shortStatusIn_ = nth;
}

void VirtualBootloader::ShortBlockWrite(unsigned nth) {
  auto lock = LockWorld();
  shortWriteIn_ = nth;
}

void VirtualBootloader::RefuseOpens(unsigned count, DWORD error) {
  auto lock = LockWorld();
  refuseOpens_ = count;
  refuseError_ = error;
}

void VirtualBootloader::LeaveDuringWrite(unsigned block) {
  auto lock = LockWorld();
  leaveAtBlock_ = block;
}

void VirtualBootloader::StuckBits(std::size_t offset, std::uint8_t mask) {
  auto lock = LockWorld();
  if (offset < kBootloaderFlashSize) stuckBits_.emplace_back(offset, mask);
}

void VirtualBootloader::ClearFaults() {
  auto lock = LockWorld();
  transferDelayMs_ = 0;
  eraseDelayMs_ = 0;
  statusFaults_.clear();
  shortCommandIn_ = 0;
  shortReadIn_ = 0;
  shortStatusIn_ = 0;
  shortWriteIn_ = 0;
  refuseOpens_ = 0;
  leaveAtBlock_.reset();
  stuckBits_.clear();
}

// ------------------------------------------------------------ what happened

BootloaderFlash VirtualBootloader::Flash() {
  auto lock = LockWorld();
  return flash_;
}

std::vector<WireTransfer> VirtualBootloader::WireLog() {
  auto lock = LockWorld();
  return log_;
}

void VirtualBootloader::ClearWireLog() {
  auto lock = LockWorld();
  log_.clear();
}

void VirtualBootloader::SetWireLogEnabled(bool enabled) {
  auto lock = LockWorld();
  logEnabled_ = enabled;
}

bool VirtualBootloader::ReadProtected() {
  auto lock = LockWorld();
  return readProtected_;
}

unsigned VirtualBootloader::EraseCount() {
  auto lock = LockWorld();
  return erases_;
}

unsigned VirtualBootloader::VerifyCount() {
  auto lock = LockWorld();
  return verifies_;
}

unsigned VirtualBootloader::ExitCount() {
  auto lock = LockWorld();
  return exits_;
}

unsigned VirtualBootloader::OpenCount() {
  auto lock = LockWorld();
  return opens_;
}

// ------------------------------------------------------------ Device

VirtualBootloader::OpenRecord VirtualBootloader::LastOpen() {
  auto lock = LockWorld();
  return lastOpen_;
}

DWORD VirtualBootloader::OnOpen(FileObject& file) {
  ++opens_;
  lastOpen_ = {file.access, file.share, file.flags};
  if (path_.empty()) path_ = file.path;
  if (refuseOpens_ > 0) {
    --refuseOpens_;
    return refuseError_;
  }
  return ERROR_SUCCESS;
}

DWORD VirtualBootloader::OnWinUsbInitialize(FileObject& file) { return ERROR_SUCCESS; }

DWORD VirtualBootloader::OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* descriptor) {
  if (alternateSetting != 0) return ERROR_NO_MORE_ITEMS;
  *descriptor = USB_INTERFACE_DESCRIPTOR{};
  descriptor->bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
  descriptor->bDescriptorType = 0x04;
  descriptor->bNumEndpoints = static_cast<UCHAR>(pipes_.size());
  descriptor->bInterfaceClass = 0xFF;  // vendor specific
  return ERROR_SUCCESS;
}

DWORD VirtualBootloader::OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) {
  if (alternateSetting != 0 || index >= pipes_.size()) return ERROR_NO_MORE_ITEMS;
  *pipe = pipes_[index];
  return ERROR_SUCCESS;
}

const WINUSB_PIPE_INFORMATION* VirtualBootloader::FindPipe(UCHAR pipeId) const {
  for (const auto& pipe : pipes_)
    if (pipe.PipeId == pipeId) return &pipe;
  return nullptr;
}

UCHAR VirtualBootloader::StatusFor(UCHAR command, unsigned block) const {
  for (const auto& fault : statusFaults_)
    if (fault.command == command && fault.block == block) return fault.status;
  return kStatusOk;
}

void VirtualBootloader::Log(bool out, UCHAR pipe, ULONG requested, const UCHAR* data, ULONG moved, DWORD error) {
  if (!logEnabled_) return;
  WireTransfer t;
  t.out = out;
  t.pipe = pipe;
  t.requested = requested;
  if (data != nullptr && moved > 0) t.data.assign(data, data + moved);
  t.error = error;
  t.atMs = world() ? world()->NowLocked() : 0;
  log_.push_back(std::move(t));
}

namespace {
DWORD AddDelay(DWORD a, DWORD b) {
  if (a == kNeverMs || b == kNeverMs) return kNeverMs;
  const std::uint64_t sum = std::uint64_t{a} + b;
  return sum >= kNeverMs ? kNeverMs - 1 : static_cast<DWORD>(sum);
}
}  // namespace

void VirtualBootloader::ChargeBus(CallEffects& fx, std::uint64_t us) {
  fx.delayMs = AddDelay(fx.delayMs, static_cast<DWORD>(std::min<std::uint64_t>(us / 1000, kNeverMs - 1)));
  fx.delayUs = static_cast<DWORD>(us % 1000);
}

DWORD VirtualBootloader::OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred,
                                           CallEffects& fx) {
  fx.delayMs = transferDelayMs_;
  *transferred = 0;
  const UsbTiming* timing = world() ? world()->UsbTimingLocked() : nullptr;
  if (timing != nullptr) {
    const std::uint64_t busUs = BulkTransferUs(*timing, length);
    ChargeBus(fx, busUs);
    workStartUs_ = world()->NowUsLocked() + busUs;
  }
  const WINUSB_PIPE_INFORMATION* pipe = FindPipe(pipeId);
  if (pipe == nullptr || (pipeId & 0x80) != 0 || gone_) {
    Log(true, pipeId, length, nullptr, 0, ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  if (pipe->PipeType != UsbdPipeTypeBulk) {
    // The firmware does not listen on its other pipes: the bytes go nowhere.
    *transferred = length;
    Log(true, pipeId, length, data, length, ERROR_SUCCESS);
    return ERROR_SUCCESS;
  }

  if (pendingWriteOffset_) {
    *transferred = length;
    if (length == kBootloaderBlockSize && shortWriteIn_ > 0 && --shortWriteIn_ == 0) *transferred = length - 1;
    Log(true, pipeId, length, data, *transferred, ERROR_SUCCESS);
    HandleWriteData(data, length);
    return ERROR_SUCCESS;
  }

  if (length != kPacketSize) {
    // Not a command packet: the firmware stalls the pipe.
    Log(true, pipeId, length, data, 0, ERROR_GEN_FAILURE);
    return ERROR_GEN_FAILURE;
  }
  if (shortCommandIn_ > 0 && --shortCommandIn_ == 0) {
    *transferred = kPacketSize - 1;
    Log(true, pipeId, length, data, kPacketSize - 1, ERROR_SUCCESS);
    return ERROR_SUCCESS;
  }
  *transferred = length;
  Log(true, pipeId, length, data, length, ERROR_SUCCESS);
  HandleCommand(data);
  return ERROR_SUCCESS;
}

void VirtualBootloader::HandleCommand(const UCHAR* packet) {
  const unsigned offset = (unsigned{packet[5]} << 8) | packet[6];
  const UCHAR blockLength = packet[8];
  const bool blockOk = blockLength == kBootloaderBlockSize && offset % kBootloaderBlockSize == 0 &&
                       offset + kBootloaderBlockSize <= kBootloaderFlashSize;
  switch (packet[0]) {
    case kErase: {
      ++erases_;
      flash_.fill(0xFF);
      erased_ = true;
      verified_ = false;
      written_.fill(false);
      for (const auto& [at, mask] : stuckBits_) flash_[at] &= static_cast<std::uint8_t>(~mask);
      UCHAR status = StatusFor(kErase, 0);
      const UsbTiming* timing = world() ? world()->UsbTimingLocked() : nullptr;
      replies_.push_back({{status}, eraseDelayMs_, false, timing ? workStartUs_ + timing->eraseUs : 0});
      break;
    }
    case kWrite:
      pendingWriteOffset_ = offset;
      pendingWriteValid_ = blockOk;
      break;
    case kRead: {
      if (!blockOk) {
        replies_.push_back({{kStatusBadAddress}, 0, false});
        break;
      }
      std::vector<std::uint8_t> block(flash_.begin() + offset, flash_.begin() + offset + kBootloaderBlockSize);
      replies_.push_back({std::move(block), 0, true});
      replies_.push_back({{StatusFor(kRead, offset / kBootloaderBlockSize)}, 0, false});
      break;
    }
    case kVerify:
      ++verifies_;
      verified_ = erased_ && std::all_of(written_.begin(), written_.end(), [](bool w) { return w; });
      break;
    case kProtect:
      readProtected_ = true;
      break;
    case kExit:
      ++exits_;
      LeaveBus();
      break;
    default:
      break;  // unknown commands are ignored
  }
}

void VirtualBootloader::HandleWriteData(const UCHAR* data, ULONG length) {
  const unsigned offset = *pendingWriteOffset_;
  const bool valid = pendingWriteValid_;
  pendingWriteOffset_.reset();
  const unsigned block = offset / kBootloaderBlockSize;

  if (leaveAtBlock_ && *leaveAtBlock_ == block) {
    leaveAtBlock_.reset();
    LeaveBus();
    return;
  }
  if (!valid) {
    replies_.push_back({{kStatusBadAddress}, 0, false});
    return;
  }
  if (length != kBootloaderBlockSize) {
    replies_.push_back({{kStatusBadLength}, 0, false});
    return;
  }
  // NOR flash: programming clears bits and never sets them.
  for (std::size_t i = 0; i < kBootloaderBlockSize; ++i) flash_[offset + i] &= data[i];
  const UCHAR status = StatusFor(kWrite, block);
  written_[block] = status == kStatusOk;
  verified_ = false;  // the image changed after its verification
  const UsbTiming* timing = world() ? world()->UsbTimingLocked() : nullptr;
  replies_.push_back({{status}, 0, false, timing ? workStartUs_ + timing->programBlockUs : 0});
}

DWORD VirtualBootloader::OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred,
                                          CallEffects& fx) {
  fx.delayMs = transferDelayMs_;
  *transferred = 0;
  lastRead_.reset();
  lastReadSplit_ = false;
  const WINUSB_PIPE_INFORMATION* pipe = FindPipe(pipeId);
  if (pipe == nullptr || (pipeId & 0x80) == 0 || pipe->PipeType != UsbdPipeTypeBulk || gone_) {
    Log(false, pipeId, length, nullptr, 0, ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  if (replies_.empty()) {
    // Nothing to send: the device leaves the IN transfer unanswered.
    fx.delayMs = kNeverMs;
    Log(false, pipeId, length, nullptr, 0, ERROR_SEM_TIMEOUT);
    return ERROR_SEM_TIMEOUT;
  }
  Reply reply = std::move(replies_.front());
  replies_.pop_front();
  fx.delayMs = AddDelay(fx.delayMs, reply.delayMs);
  lastRead_ = reply;
  ULONG moved = std::min<ULONG>(length, static_cast<ULONG>(reply.bytes.size()));
  if (const UsbTiming* timing = world() ? world()->UsbTimingLocked() : nullptr) {
    // The IN packets go once the host has looked at the pipe and the device
    // has the answer ready, whichever is later.
    const std::uint64_t now = world()->NowUsLocked();
    const std::uint64_t start = std::max<std::uint64_t>(now + timing->bulkHostLatencyUs, reply.readyAtUs);
    ChargeBus(fx, start + (BulkTransferUs(*timing, moved) - timing->bulkHostLatencyUs) - now);
  }
  if (reply.block && shortReadIn_ > 0 && --shortReadIn_ == 0 && moved > 0) {
    --moved;  // a short packet: the device sent no more
  } else if (moved < reply.bytes.size()) {
    // A read shorter than the packet: WinUSB keeps the rest for the next read
    // (ALLOW_PARTIAL_READS on and AUTO_FLUSH off, the defaults of a bulk IN
    // pipe).
    Reply rest{std::vector<std::uint8_t>(reply.bytes.begin() + moved, reply.bytes.end()), 0, false};
    replies_.push_front(std::move(rest));
    lastReadSplit_ = true;
  }
  std::copy(reply.bytes.begin(), reply.bytes.begin() + moved, data);
  // Status bytes are the only replies that are not read blocks.
  if (!reply.block && shortStatusIn_ > 0 && --shortStatusIn_ == 0) moved = 0;
  *transferred = moved;
  Log(false, pipeId, length, data, moved, ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

void VirtualBootloader::OnWinUsbPipeTimeout(UCHAR pipeId, DWORD elapsedMs) {
  if (logEnabled_ && !log_.empty()) {
    log_.back().data.clear();
    log_.back().error = ERROR_SEM_TIMEOUT;
  }
  if ((pipeId & 0x80) == 0 || !lastRead_) return;
  // The answer was not taken: it is still on its way.
  if (lastReadSplit_) replies_.pop_front();
  Reply reply = std::move(*lastRead_);
  if (reply.delayMs != kNeverMs) reply.delayMs = reply.delayMs > elapsedMs ? reply.delayMs - elapsedMs : 0;
  replies_.push_front(std::move(reply));
  lastRead_.reset();
  lastReadSplit_ = false;
}

}  // namespace kv27::sim
