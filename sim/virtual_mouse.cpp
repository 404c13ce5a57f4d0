#include "sim/virtual_mouse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

namespace kv27::sim {

namespace {

constexpr std::uint8_t kReportId = 0xB4;
constexpr UCHAR kStringDescriptor = 3;
constexpr UCHAR kDeviceDescriptor = 1;
constexpr USHORT kEnglish = 0x0409;

// The command collection hands its output reports to the device.
class CommandCollection : public HidCollection {
 public:
  using HidCollection::HidCollection;
  std::weak_ptr<VirtualMouse> owner;

  // A device that has gone between two requests fails the next write as the
  // HID class driver does for a removed device.
  DWORD OnWrite(IoRequest& request, DWORD* transferred, CallEffects& fx) override {
    if (auto mouse = owner.lock(); mouse && mouse->TakeLeaveLocked()) return ERROR_DEVICE_NOT_CONNECTED;
    return HidCollection::OnWrite(request, transferred, fx);
  }

 protected:
  void OnOutputReport(const std::vector<std::uint8_t>& report) override {
    if (auto mouse = owner.lock()) mouse->OnCommandLocked(report);
  }
};

ControlReply StringReply(const std::u16string& text, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) {
  std::vector<BYTE> descriptor;
  const std::size_t units = std::min<std::size_t>(text.size(), 126);
  descriptor.push_back(static_cast<BYTE>(2 + 2 * units));
  descriptor.push_back(kStringDescriptor);
  for (std::size_t i = 0; i < units; ++i) {
    descriptor.push_back(static_cast<BYTE>(text[i] & 0xFF));
    descriptor.push_back(static_cast<BYTE>(text[i] >> 8));
  }
  // The device sends at most wLength bytes.
  const std::size_t sent = std::min<std::size_t>({descriptor.size(), setup.wLength, room});
  if (sent != 0) std::memcpy(data, descriptor.data(), sent);
  return ControlReply{ERROR_SUCCESS, static_cast<DWORD>(sent)};
}

// An instance part that stands for the parent's instance id, as Windows makes
// them ("7&1c2d3e4f&0&0000"): a hash of the parent's id, so that two devices of
// the same kind on different ports have different ids.
std::u16string ChildInstance(char level, const std::u16string& parent, const char* tail) {
  char text[48];
  std::snprintf(text, sizeof text, "%c&%08zx&0&%s", level, std::hash<std::u16string>{}(parent)&0xFFFFFFFFu, tail);
  return std::u16string(text, text + std::strlen(text));
}

std::u16string Upper(std::u16string text) {
  for (auto& c : text)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return text;
}

}  // namespace

VirtualMouse::VirtualMouse(World& world, UsbPort port, const BootloaderFlash& flash)
    : UsbFunction(kMouseVendorId, kMouseProductId),
      world_(world),
      port_(port),
      deviceInstance_(UsbDeviceInstanceId(kMouseVendorId, kMouseProductId, port.HubName(), port.Number())),
      interfaceInstance_(u"USB\\VID_4E5B&PID_002A&MI_01\\" + ChildInstance('6', deviceInstance_, "0001")),
      hid_(kMouseVendorId, kMouseProductId, 1, ChildInstance('7', interfaceInstance_, "0000")),
      bootFunction_(std::make_shared<UsbDeviceStub>(kMouseBootVendorId, kMouseBootProductId)),
      flash_(flash) {
  // The bootloader is a WinUSB device: its node installs under the class of
  // such devices.
  bootFunction_->setupClass = kUsbDeviceSetupClass;
  // One version for the device and its collections, as a real device has.
  descriptor.bcdDevice = kMouseVersion;
  const USHORT version = kMouseVersion;
  hid_.Add(std::make_shared<HidCollection>(kMouseVendorId, kMouseProductId, version, MakeHidDescription(1, 2, 5, 0)));
  hid_.Add(
      std::make_shared<HidCollection>(kMouseVendorId, kMouseProductId, version, MakeHidDescription(0xFFB4, 2, 65, 65)));
  hid_.Add(std::make_shared<CommandCollection>(kMouseVendorId, kMouseProductId, version,
                                               MakeHidDescription(0xFFB4, 1, 8, 8)));
  hid_.Add(
      std::make_shared<HidCollection>(kMouseVendorId, kMouseProductId, version, MakeHidDescription(0x0C, 1, 3, 0)));
  // Interrupt IN endpoints of the mouse and the command interface, and the
  // command interface's interrupt OUT.
  openPipes.clear();
  for (UCHAR address : {UCHAR{0x81}, UCHAR{0x82}, UCHAR{0x02}}) {
    USB_PIPE_INFO pipe{};
    pipe.EndpointDescriptor = USB_ENDPOINT_DESCRIPTOR{7, 5, address, 3, 8, 1};
    openPipes.push_back(pipe);
  }
}

std::shared_ptr<VirtualMouse> VirtualMouse::Create(World& world, UsbPort port, const BootloaderFlash& flash) {
  std::shared_ptr<VirtualMouse> mouse(new VirtualMouse(world, port, flash));
  std::static_pointer_cast<CommandCollection>(mouse->hid_.Collection(kMouseCommandCollection))->owner = mouse;
  std::weak_ptr<VirtualMouse> weak = mouse;
  mouse->boot_->SetOnExit([weak](const BootloaderFlash&) {
    if (auto m = weak.lock()) m->OnBootloaderExit();
  });
  return mouse;
}

BootloaderFlash VirtualMouse::FactoryFlash(unsigned variant) {
  BootloaderFlash flash{};
  for (std::size_t i = 0; i < kMouseUserDataOffset; ++i) flash[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
  for (std::size_t i = kMouseUserDataOffset; i < flash.size(); ++i)
    flash[i] = static_cast<std::uint8_t>((i * (11 + 2 * variant) + (i >> 8) * 37 + 5 + 91 * variant) & 0xFF);
  return flash;
}

std::u16string VirtualMouse::CollectionPath(std::size_t index) const { return hid_.Path(index); }
std::u16string VirtualMouse::CommandPath() const { return hid_.Path(kMouseCommandCollection); }
// The bootloader's WinUSB interface belongs to the USB device on the port
// itself (one interface, WinUSB its function driver): it is named after the
// device node of that place, which no other device on the bus shares.
std::u16string VirtualMouse::BootloaderPath() const {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : UsbDeviceInstanceId(kMouseBootVendorId, kMouseBootProductId, port_.HubName(), port_.Number())) {
    if (c == u'\\') c = u'#';
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    path.push_back(c);
  }
  return path + u"#{6e0b2f48-95d1-4c37-b2a6-1f9d83e45c70}";
}

// ---------------------------------------------------------------- on the bus

VirtualMouse::Mode VirtualMouse::CurrentMode() {
  auto lock = world_.Lock();
  return mode_;
}

void VirtualMouse::Plug() {
  std::lock_guard<std::recursive_mutex> bus(bus_);
  bool verified;
  {
    auto lock = world_.Lock();
    if (mode_ != Mode::kAbsent) return;
    verified = imageVerified_;
    ++busGeneration_;
  }
  // As a bootloader does at reset: it starts the firmware only over a
  // complete, verified image.
  if (verified)
    PlugNormal();
  else
    PlugBootloader();
}

void VirtualMouse::PlugNormal() {
  std::uint64_t generation;
  std::uint32_t hidDelay;
  {
    auto lock = world_.Lock();
    mode_ = Mode::kNormal;
    generation = busGeneration_;
    hidDelay = world_.HidArrivalDelayLocked();
  }
  // The port's device node comes with the plug; below it the composite
  // driver's node for interface 1, and below that one node per HID
  // collection. They go with the port's node when the device leaves.
  port_.Plug(shared_from_this());
  world_.AddDevNode(interfaceInstance_, deviceInstance_, kHidSetupClass);
  // The HID collections come up later than the USB device's own interface:
  // the HID class driver first reads the report descriptor and then has its
  // collections enumerated and started.
  if (hidDelay == 0) {
    AttachHidCollections();
    return;
  }
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(hidDelay, [weak, generation] {
    auto m = weak.lock();
    if (!m) return;
    std::lock_guard<std::recursive_mutex> bus(m->bus_);
    {
      auto lock = m->world_.Lock();
      if (m->busGeneration_ != generation || m->mode_ != Mode::kNormal) return;  // gone again meanwhile
    }
    m->AttachHidCollections();
  });
}

void VirtualMouse::AttachHidCollections() {
  for (std::size_t i = 0; i < hid_.Count(); ++i)
    world_.AddDevNode(Upper(InstanceIdOfInterface(hid_.Path(i))), interfaceInstance_, kHidSetupClass);
  hid_.Attach(world_);
}

void VirtualMouse::PlugBootloader() {
  bool missing;
  {
    // The bootloader takes over the flash in the same step as the mode, so
    // that nobody ever sees the flash of its previous life.
    auto lock = world_.Lock();
    mode_ = Mode::kBootloader;
    boot_->PowerOnLocked(flash_, imageVerified_);
    missing = driverMissing_;
  }
  port_.Plug(bootFunction_);
  if (!missing) boot_->Plug(world_, BootloaderPath());
}

void VirtualMouse::Unplug() {
  std::lock_guard<std::recursive_mutex> bus(bus_);
  Mode was;
  {
    auto lock = world_.Lock();
    was = mode_;
  }
  // Off the bus first: from here on the host's handles fail with
  // ERROR_DEVICE_NOT_CONNECTED.
  if (was == Mode::kBootloader && world_.IsAttached(BootloaderPath())) world_.Detach(BootloaderPath());
  {
    auto lock = world_.Lock();
    if (was == Mode::kBootloader) {
      // The power goes and the flash keeps what the bootloader left in it, in
      // one step: a status the bootloader had not sent is lost with it, and
      // no block can be acknowledged after the flash was taken as final.
      bool verified = false;
      flash_ = boot_->PowerOffLocked(&verified);
      imageVerified_ = verified;
    }
    mode_ = Mode::kAbsent;
    leaveBeforeNextRequest_ = false;
    ++busGeneration_;
  }
  if (was == Mode::kNormal) hid_.Detach(world_);
  port_.Unplug();
}

void VirtualMouse::PlugAfter(std::uint64_t delayMs) {
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(delayMs, [weak] {
    if (auto m = weak.lock()) m->Plug();
  });
}

void VirtualMouse::UnplugAfter(std::uint64_t delayMs) {
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(delayMs, [weak] {
    if (auto m = weak.lock()) m->Unplug();
  });
}

// The restart is scheduled on the millisecond clock: a restart that began
// inside a millisecond (after a bulk transfer) ends a millisecond later, so
// that no part of the re-enumeration time is lost (world locked).
std::uint64_t VirtualMouse::SubMillisecondCarry() const { return world_.NowUsLocked() % 1000 != 0 ? 1 : 0; }

void VirtualMouse::EnterBootloader() {
  std::lock_guard<std::recursive_mutex> bus(bus_);
  std::uint64_t generation;
  std::uint64_t delay;
  {
    auto lock = world_.Lock();
    if (mode_ != Mode::kNormal) return;
    mode_ = Mode::kAbsent;
    generation = ++busGeneration_;
    const UsbTiming* timing = world_.UsbTimingLocked();
    delay = timing ? BootloaderEnumerationMs(*timing) + SubMillisecondCarry() : reenumerationMs_;
  }
  hid_.Detach(world_);
  port_.Unplug();
  RestartAfter(delay, generation, Mode::kBootloader);
}

void VirtualMouse::OnBootloaderExit() {
  std::lock_guard<std::recursive_mutex> bus(bus_);
  std::uint64_t generation;
  std::uint64_t delay;
  {
    auto lock = world_.Lock();
    // The exit of an earlier life (pulled and plugged again since) changes
    // nothing.
    if (mode_ != Mode::kBootloader || !boot_->GoneLocked()) return;
    bool verified = false;
    flash_ = boot_->PowerOffLocked(&verified);
    imageVerified_ = verified;
    mode_ = Mode::kAbsent;
    generation = ++busGeneration_;
    const UsbTiming* timing = world_.UsbTimingLocked();
    delay = timing ? MouseEnumerationMs(*timing) + SubMillisecondCarry() : reenumerationMs_;
  }
  port_.Unplug();
  RestartAfter(delay, generation, Mode::kNormal);
}

void VirtualMouse::RestartAfter(std::uint64_t delayMs, std::uint64_t generation, Mode into) {
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(delayMs, [weak, generation, into] {
    auto m = weak.lock();
    if (!m) return;
    std::lock_guard<std::recursive_mutex> bus(m->bus_);
    {
      auto lock = m->world_.Lock();
      if (m->busGeneration_ != generation || m->mode_ != Mode::kAbsent) return;  // unplugged or replugged meanwhile
    }
    if (into == Mode::kBootloader)
      m->PlugBootloader();
    else
      m->Plug();
  });
}

// ---------------------------------------------------------------- state

BootloaderFlash VirtualMouse::Flash() {
  auto lock = world_.Lock();
  return mode_ == Mode::kBootloader ? boot_->FlashLocked() : flash_;
}

std::vector<std::uint8_t> VirtualMouse::UserPage(std::size_t page) {
  const BootloaderFlash flash = Flash();
  const auto begin = flash.begin() + static_cast<std::ptrdiff_t>(kMouseUserDataOffset + page * kMouseUserDataPageSize);
  return std::vector<std::uint8_t>(begin, begin + kMouseUserDataPageSize);
}

void VirtualMouse::SetModeBytes(std::array<std::uint8_t, 6> bytes) {
  auto lock = world_.Lock();
  modeBytes_ = bytes;
}

void VirtualMouse::SetDpiBytes(std::array<std::uint8_t, 6> bytes) {
  auto lock = world_.Lock();
  dpiBytes_ = bytes;
}

void VirtualMouse::SetRateBytes(std::array<std::uint8_t, 6> bytes) {
  auto lock = world_.Lock();
  rateBytes_ = bytes;
}

void VirtualMouse::SetReenumerationDelay(std::uint64_t ms) {
  auto lock = world_.Lock();
  reenumerationMs_ = ms;
}

std::size_t VirtualMouse::RequestCount() {
  auto lock = world_.Lock();
  return requests_;
}

std::size_t VirtualMouse::ReadsAnswered() {
  auto lock = world_.Lock();
  return readsAnswered_;
}

// ---------------------------------------------------------------- unasked reports

void VirtualMouse::SendLocked(const std::vector<std::uint8_t>& report) {
  if (mode_ != Mode::kNormal) return;
  hid_.Collection(kMouseCommandCollection)->SendInputReportLocked(report);
}

std::vector<std::uint8_t> VirtualMouse::ModeReportLocked() const {
  std::vector<std::uint8_t> report(8, 0);
  report[0] = kReportId;
  report[1] = 0x20;
  std::copy(modeBytes_.begin(), modeBytes_.end(), report.begin() + 2);
  return report;
}

void VirtualMouse::SendModeInfo() {
  auto lock = world_.Lock();
  SendLocked(ModeReportLocked());
}

void VirtualMouse::SendKeyStatus(std::uint16_t keys) {
  auto lock = world_.Lock();
  SendLocked(
      {kReportId, 0x24, static_cast<std::uint8_t>(keys & 0xFF), static_cast<std::uint8_t>(keys >> 8), 0, 0, 0, 0});
}

void VirtualMouse::SendRaw(std::vector<std::uint8_t> report) {
  auto lock = world_.Lock();
  SendLocked(report);
}

void VirtualMouse::ModeInfoAfterAnswers(unsigned n) {
  auto lock = world_.Lock();
  modeEvery_ = n;
}

void VirtualMouse::StreamModeInfo(std::uint64_t periodMs) {
  std::uint64_t generation;
  {
    auto lock = world_.Lock();
    streamPeriodMs_ = periodMs;
    generation = ++streamGeneration_;
  }
  if (periodMs == 0) return;
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(periodMs, [weak, generation] {
    if (auto m = weak.lock()) m->StreamTick(generation);
  });
}

void VirtualMouse::StreamTick(std::uint64_t generation) {
  std::uint64_t period;
  {
    auto lock = world_.Lock();
    if (generation != streamGeneration_ || streamPeriodMs_ == 0) return;
    SendLocked(ModeReportLocked());
    period = streamPeriodMs_;
  }
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.Schedule(period, [weak, generation] {
    if (auto m = weak.lock()) m->StreamTick(generation);
  });
}

// ---------------------------------------------------------------- faults

void VirtualMouse::DropReply(UCHAR page, UCHAR offset) {
  auto lock = world_.Lock();
  readFaults_[{page, offset}].drop = true;
}

void VirtualMouse::EchoOffset(UCHAR page, UCHAR offset, UCHAR echo) {
  auto lock = world_.Lock();
  readFaults_[{page, offset}].echo = echo;
}

void VirtualMouse::DelayReply(UCHAR page, UCHAR offset, std::uint64_t delayMs) {
  auto lock = world_.Lock();
  readFaults_[{page, offset}].delayMs = delayMs;
}

void VirtualMouse::UnplugAfterRead(UCHAR page, UCHAR offset) {
  auto lock = world_.Lock();
  readFaults_[{page, offset}].unplug = true;
}

void VirtualMouse::HangWrites() {
  hid_.Collection(kMouseCommandCollection)->SetWriteMode(HidCollection::WriteMode::kNever);
}

void VirtualMouse::IgnoreBootloaderRequest(bool ignore) {
  auto lock = world_.Lock();
  ignoreBootRequest_ = ignore;
}

void VirtualMouse::BootloaderDriverMissing(bool missing) {
  auto lock = world_.Lock();
  driverMissing_ = missing;
}

void VirtualMouse::ClearFaults() {
  hid_.Collection(kMouseCommandCollection)->SetWriteMode(HidCollection::WriteMode::kImmediate);
  {
    auto lock = world_.Lock();
    readFaults_.clear();
    ignoreBootRequest_ = false;
    driverMissing_ = false;
    leaveBeforeNextRequest_ = false;
  }
  boot_->ClearFaults();
}

// ---------------------------------------------------------------- commands (world locked)

void VirtualMouse::AfterAnswerLocked() {
  ++answers_;
  if (modeEvery_ != 0 && answers_ % modeEvery_ == 0) SendLocked(ModeReportLocked());
}

void VirtualMouse::AnswerReadLocked(const std::vector<std::uint8_t>& report) {
  const UCHAR offset = report[2];
  const UCHAR count = report[3];
  const UCHAR page = report[4];
  // Like a write, a read that would run past the end of its page (into the
  // next page, or beyond the user data) gets no reply.
  if (page >= kMouseUserDataPages || count > 4 || offset + count > kMouseUserDataPageSize) return;
  ReadFault fault;
  if (auto it = readFaults_.find({page, offset}); it != readFaults_.end()) fault = it->second;
  if (fault.drop) return;

  std::vector<std::uint8_t> reply{kReportId, 0x02, fault.echo.value_or(offset), count, 0, 0, 0, 0};
  const std::size_t base = kMouseUserDataOffset + page * kMouseUserDataPageSize + offset;
  std::copy_n(flash_.begin() + static_cast<std::ptrdiff_t>(base), count, reply.begin() + 4);
  ++readsAnswered_;

  if (fault.delayMs != 0) {
    std::weak_ptr<VirtualMouse> weak = weak_from_this();
    world_.ScheduleLocked(fault.delayMs, [weak, reply] {
      auto m = weak.lock();
      if (!m) return;
      auto lock = m->world_.Lock();
      m->SendLocked(reply);
    });
    return;
  }
  SendLocked(reply);
  AfterAnswerLocked();
  // Pulled out once the host has this reply: the next request finds it gone.
  if (fault.unplug) leaveBeforeNextRequest_ = true;
}

bool VirtualMouse::TakeLeaveLocked() {
  if (!leaveBeforeNextRequest_) return false;
  leaveBeforeNextRequest_ = false;
  std::weak_ptr<VirtualMouse> weak = weak_from_this();
  world_.ScheduleLocked(0, [weak] {
    if (auto m = weak.lock()) m->Unplug();
  });
  return true;
}

void VirtualMouse::OnCommandLocked(const std::vector<std::uint8_t>& report) {
  ++requests_;
  if (mode_ != Mode::kNormal || report.size() != 8 || report[0] != kReportId) return;
  std::vector<std::uint8_t> reply(report);
  switch (report[1]) {
    case 0x02:
      AnswerReadLocked(report);
      return;
    case 0x01: {  // write up to 3 bytes (bytes 5-7) at offset (byte 2) of page (byte 4)
      const UCHAR offset = report[2];
      const UCHAR page = report[4];
      const std::size_t n = std::min<std::size_t>(report[3], 3);
      if (page >= kMouseUserDataPages || offset + n > kMouseUserDataPageSize) return;
      std::copy_n(
          report.begin() + 5, n,
          flash_.begin() + static_cast<std::ptrdiff_t>(kMouseUserDataOffset + page * kMouseUserDataPageSize + offset));
      break;
    }
    case 0x03: {  // erase page (byte 4)
      const UCHAR page = report[4];
      if (page >= kMouseUserDataPages) return;
      std::fill_n(flash_.begin() + static_cast<std::ptrdiff_t>(kMouseUserDataOffset + page * kMouseUserDataPageSize),
                  kMouseUserDataPageSize, 0xFF);
      break;
    }
    case 0x07:
    case 0x30:
    case 0x31:
      break;
    case 0x20:
      reply = ModeReportLocked();
      break;
    case 0x21:
      std::copy(dpiBytes_.begin(), dpiBytes_.end(), reply.begin() + 2);
      break;
    case 0x22:
      std::copy(rateBytes_.begin(), rateBytes_.end(), reply.begin() + 2);
      break;
    default:
      return;  // unknown commands get no answer
  }
  SendLocked(reply);
  AfterAnswerLocked();
}

ControlReply VirtualMouse::OnGetDescriptor(ULONG, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) {
  const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
  const UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
  if (type == kDeviceDescriptor) {
    const std::size_t sent = std::min<std::size_t>({sizeof descriptor, setup.wLength, room});
    std::memcpy(data, &descriptor, sent);
    return ControlReply{ERROR_SUCCESS, static_cast<DWORD>(sent)};
  }
  if (type != kStringDescriptor) return ControlReply{ERROR_GEN_FAILURE, 0};
  if (index == kMouseBootStringIndex && setup.wIndex == kMouseBootLanguage && !ignoreBootRequest_ &&
      mode_ == Mode::kNormal) {
    // The firmware answers, then restarts into its bootloader once the
    // request is over.
    std::weak_ptr<VirtualMouse> weak = weak_from_this();
    world_.ScheduleLocked(0, [weak] {
      if (auto m = weak.lock()) m->EnterBootloader();
    });
    return StringReply(u"ISP", setup, data, room);
  }
  if (index == 0) return StringReply(std::u16string(1, static_cast<char16_t>(kEnglish)), setup, data, room);
  if (setup.wIndex != kEnglish) return ControlReply{ERROR_GEN_FAILURE, 0};
  if (index == 1) return StringReply(u"KV", setup, data, room);
  if (index == 2) return StringReply(u"N4 Gaming Mouse", setup, data, room);
  return ControlReply{ERROR_GEN_FAILURE, 0};
}

}  // namespace kv27::sim
