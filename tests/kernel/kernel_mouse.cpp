#include "tests/kernel/kernel_mouse.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "app/simulation.h"
#include "image/image_file.h"
#include "sim/virtual_mouse.h"
#include "tests/support/upgrade_expectations.h"

namespace kv27::test {

using namespace w32;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kCommandReportId = 0xB4;
constexpr std::size_t kCommandReportSize = 8;  // the id and 7 bytes

void Put16(std::vector<std::uint8_t>& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> DeviceDescriptor(const USB_DEVICE_DESCRIPTOR& d) {
  std::vector<std::uint8_t> out = {18, 1};
  Put16(out, d.bcdUSB);
  out.insert(out.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
  Put16(out, d.idVendor);
  Put16(out, d.idProduct);
  Put16(out, d.bcdDevice);
  out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
  return out;
}

// The configuration's header; its total length and interface count are
// filled in at the end.
std::vector<std::uint8_t> ConfigHeader() { return {9, 2, 0, 0, 0, 1, 0, 0x80, 50}; }

void FinishConfig(std::vector<std::uint8_t>& config, std::uint8_t interfaces) {
  config[2] = static_cast<std::uint8_t>(config.size() & 0xFF);
  config[3] = static_cast<std::uint8_t>(config.size() >> 8);
  config[4] = interfaces;
}

void AddEndpoint(std::vector<std::uint8_t>& config, std::vector<GadgetEndpoint>& endpoints, const GadgetEndpoint& e) {
  config.insert(config.end(), {7, 5, e.address, e.attributes});
  Put16(config, e.maxPacketSize);
  config.push_back(e.interval);
  endpoints.push_back(e);
}

// The HID class descriptor of an interface: HID 1.11, one report descriptor.
std::vector<std::uint8_t> HidDescriptor(const sim::HidInterfaceLayout& intf) {
  std::vector<std::uint8_t> d = {9, 0x21, 0x11, 0x01, 0, 1, 0x22};
  Put16(d, static_cast<unsigned>(intf.reportDescriptor.size()));
  return d;
}

const sim::HidInterfaceLayout* FindInterface(const sim::MouseLayout& layout, unsigned number) {
  for (const auto& intf : layout.interfaces)
    if (intf.number == number) return &intf;
  return nullptr;
}

}  // namespace

KernelMouse::KernelMouse(KernelMouseOptions options)
    : options_(std::move(options)),
      layout_(options_.layout != nullptr ? options_.layout : &sim::MouseLayouts().front()) {
  ::mkdir(options_.directory.c_str(), 0755);
  imagePath_ = options_.directory + "/KV27M_FW_UPGRADE.bimg";
  std::promise<void> ready;
  auto started = ready.get_future();
  pump_ = std::thread([this, &ready] { Run(&ready); });
  started.wait();
}

KernelMouse::~KernelMouse() {
  stop_ = true;
  Wake();
  pump_.join();
}

bool KernelMouse::Eventually(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

std::string KernelMouse::Error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}
sim::BootloaderFlash KernelMouse::Flash() { return rig_->mouse().Flash(); }
sim::VirtualMouse::Mode KernelMouse::Mode() { return rig_->mouse().CurrentMode(); }
KernelMouse::Shown KernelMouse::ShownAs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shownNow_;
}
int KernelMouse::TimesShown(Shown life) {
  std::lock_guard<std::mutex> lock(mutex_);
  return life == Shown::kMouse ? shownMouse_ : life == Shown::kBootloader ? shownBootloader_ : 0;
}
std::vector<sim::WireTransfer> KernelMouse::BootloaderWire() { return rig_->mouse().Bootloader()->WireLog(); }
std::vector<ControlRecord> KernelMouse::Controls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_;
}
std::size_t KernelMouse::BootloaderRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(controls_.begin(), controls_.end(), [](const ControlRecord& c) {
    return !c.bootloader && c.setup.bRequestType == 0x80 && c.setup.bRequest == 6 &&
           c.setup.wValue == (0x0300 | sim::kMouseBootStringIndex) && c.setup.wIndex == sim::kMouseBootLanguage;
  }));
}
std::size_t KernelMouse::MouseRequests() { return rig_->mouse().RequestCount(); }
std::size_t KernelMouse::WriteBlocks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeBlocks_;
}

void KernelMouse::OnPump(const std::function<void(sim::MouseRig&)>& action) {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    actions_.push_back([action, done](sim::MouseRig& rig) {
      action(rig);
      done->set_value();
    });
  }
  Wake();
  finished.wait();
}

void KernelMouse::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  wake_.notify_one();
}

// ---------------------------------------------------------------- the gadget's side

// The default pipe. String descriptors (the bootloader-entry request among
// them) are the device's own to answer, in whichever life it is; the HID
// class requests are the interfaces'; anything else is stalled.
ControlAnswer KernelMouse::OnControl(const usb_ctrlrequest& setup, const std::vector<std::uint8_t>& out) {
  std::shared_ptr<sim::UsbFunction> function;
  bool bootloader;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_.push_back(ControlRecord{bootloaderShown_, setup});
    function = function_;
    bootloader = bootloaderShown_;
  }
  ControlAnswer answer;
  const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
  if (setup.bRequest == USB_REQ_GET_STATUS && (setup.bRequestType & USB_DIR_IN) != 0) {
    answer.data = {0, 0};
    return answer;
  }
  if (setup.bRequestType == 0x80 && setup.bRequest == USB_REQ_GET_DESCRIPTOR && type == USB_DT_STRING && function) {
    USB_SETUP_PACKET packet{};
    packet.bmRequest = setup.bRequestType;
    packet.bRequest = setup.bRequest;
    packet.wValue = setup.wValue;
    packet.wIndex = setup.wIndex;
    packet.wLength = setup.wLength;
    std::vector<std::uint8_t> data(setup.wLength);
    sim::ControlReply reply;
    {
      auto lock = world_->Lock();
      reply = function->OnGetDescriptor(1, packet, data.data(), static_cast<DWORD>(data.size()));
    }
    Wake();  // the mouse may be leaving
    if (reply.error != ERROR_SUCCESS) {
      answer.stall = true;
      return answer;
    }
    data.resize(std::min<std::size_t>(reply.length, data.size()));
    answer.data = std::move(data);
    return answer;
  }
  const sim::HidInterfaceLayout* intf = bootloader ? nullptr : FindInterface(*layout_, setup.wIndex & 0xFF);
  if (intf != nullptr && setup.bRequestType == 0x81 && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
    if (type == 0x22) {
      answer.data.assign(intf->reportDescriptor.begin(), intf->reportDescriptor.end());
      return answer;
    }
    if (type == 0x21) {
      answer.data = HidDescriptor(*intf);
      return answer;
    }
  }
  if (intf != nullptr && setup.bRequestType == 0x21) {
    switch (setup.bRequest) {
      case 0x0A:  // SET_IDLE
      case 0x0B:  // SET_PROTOCOL
        return answer;
      case 0x09:  // SET_REPORT: an output report on the default pipe
        if (intf->commands) OnOut(0, out);
        return answer;
      default:
        break;
    }
  }
  if (setup.bRequestType == 0x02 && setup.bRequest == USB_REQ_CLEAR_FEATURE) return answer;  // an endpoint's halt
  answer.stall = true;
  return answer;
}

void KernelMouse::OnOut(std::uint8_t address, std::vector<std::uint8_t> data) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bootloaderShown_) {
      bulkPackets_.push_back(std::move(data));
    } else {
      const sim::HidInterfaceLayout* intf = sim::CommandInterface(*layout_);
      if (address == 0 || (intf != nullptr && address == intf->outEndpoint)) outputReports_.push_back(std::move(data));
    }
    woken_ = true;
  }
  wake_.notify_one();
}

// ---------------------------------------------------------------- the pump

void KernelMouse::Run(std::promise<void>* ready) {
  sim::World world;
  const std::vector<std::uint8_t> image = SampleImageBytes();
  sim::MouseRig rig(world, image);
  world_ = &world;
  rig_ = &rig;
  factory_ = rig.factoryFlash();
  {
    std::ofstream file(imagePath_, std::ios::binary);
    file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  ::chmod(imagePath_.c_str(), 0644);
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t p = 0; p < sim::kMouseUserDataPages; ++p) {
    pages.push_back(rig.mouse().UserPage(p));
    settings_.insert(settings_.end(), pages.back().begin(), pages.back().end());
  }
  {
    sim::World files;
    files.AddFile(u"C:\\x.bimg", image);
    expected_ = FlashAfterUpgrade(LoadImageFile(files, u"C:\\x.bimg").payload, pages);
  }
  if (options_.prepare) options_.prepare(rig, expected_);
  Mirror();
  ready->set_value();

  auto clock = std::chrono::steady_clock::now();
  while (!stop_) {
    std::deque<std::function<void(sim::MouseRig&)>> actions;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      actions.swap(actions_);
    }
    for (auto& action : actions) action(rig);
    Mirror();
    ServeHid();
    ServeBootloader();
    // The pump waits for the bus (a transfer or a request wakes it at once),
    // then the world's clock moves on as far as the real one did (at once:
    // this thread is the only one in the world).
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, 10ms, [this] { return woken_ || stop_; });
      woken_ = false;
    }
    const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clock);
    if (passed.count() > 0) {
      world.Sleep(static_cast<DWORD>(passed.count()));
      clock += passed;
    }
  }
  HideCurrent();
  rig_ = nullptr;
  world_ = nullptr;
}

void KernelMouse::Mirror() {
  const sim::VirtualMouse::Mode mode = rig_->mouse().CurrentMode();
  const Shown want = mode == sim::VirtualMouse::Mode::kNormal       ? Shown::kMouse
                     : mode == sim::VirtualMouse::Mode::kBootloader ? Shown::kBootloader
                                                                    : Shown::kNone;
  if (want == shown_) return;
  HideCurrent();
  if (want == Shown::kMouse) ShowMouse();
  if (want == Shown::kBootloader) ShowBootloader();
  shown_ = want;
  std::lock_guard<std::mutex> lock(mutex_);
  shownNow_ = want;
  if (want == Shown::kMouse) ++shownMouse_;
  if (want == Shown::kBootloader) ++shownBootloader_;
}

// The mouse in normal mode: its device descriptor, and each HID interface of
// the layout with its class descriptor and interrupt endpoints.
void KernelMouse::ShowMouse() {
  std::vector<std::uint8_t> config = ConfigHeader();
  std::vector<GadgetEndpoint> endpoints;
  for (const sim::HidInterfaceLayout& intf : layout_->interfaces) {
    const std::uint8_t count = intf.outEndpoint != 0 ? 2 : 1;
    config.insert(config.end(), {9, 4, intf.number, 0, count, 3, intf.subClass, intf.protocol, 0});
    const std::vector<std::uint8_t> hid = HidDescriptor(intf);
    config.insert(config.end(), hid.begin(), hid.end());
    AddEndpoint(config, endpoints, {intf.inEndpoint, 3, intf.inMaxPacketSize, intf.inInterval});
    if (intf.outEndpoint != 0)
      AddEndpoint(config, endpoints, {intf.outEndpoint, 3, intf.outMaxPacketSize, intf.outInterval});
  }
  FinishConfig(config, static_cast<std::uint8_t>(layout_->interfaces.size()));
  const std::vector<std::uint8_t> device = DeviceDescriptor(rig_->mouse().descriptor);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    function_ = rig_->mouseShared();
    bootloaderShown_ = false;
    outputReports_.clear();
  }
  gadget_ = std::make_unique<Gadget>(options_.gadgetfs, device, config, endpoints, *this);
  if (!gadget_->error().empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = gadget_->error();
  }
}

// The bootloader: its device descriptor and one interface with the bulk
// pipes of the virtual bootloader, which is opened as WinUSB opens it; its IN
// pipe gives up at once when it has nothing to say, so that the pump asks
// again.
void KernelMouse::ShowBootloader() {
  sim::World& world = *world_;
  auto boot = rig_->mouse().Bootloader();
  USB_INTERFACE_DESCRIPTOR intf{};
  std::vector<WINUSB_PIPE_INFORMATION> pipes;
  {
    auto lock = world.Lock();
    boot->OnWinUsbQueryInterface(0, &intf);
    WINUSB_PIPE_INFORMATION pipe{};
    for (UCHAR i = 0; boot->OnWinUsbQueryPipe(0, i, &pipe) == ERROR_SUCCESS; ++i) pipes.push_back(pipe);
  }
  std::vector<std::uint8_t> config = ConfigHeader();
  config.insert(config.end(), {9, 4, 0, 0, static_cast<std::uint8_t>(pipes.size()), intf.bInterfaceClass,
                               intf.bInterfaceSubClass, intf.bInterfaceProtocol, 0});
  std::vector<GadgetEndpoint> endpoints;
  for (const auto& pipe : pipes) {
    AddEndpoint(config, endpoints,
                {pipe.PipeId, static_cast<std::uint8_t>(pipe.PipeType), pipe.MaximumPacketSize, pipe.Interval});
    ((pipe.PipeId & 0x80) != 0 ? bulkIn_ : bulkOut_) = pipe.PipeId;
  }
  FinishConfig(config, 1);
  std::shared_ptr<sim::UsbFunction> function = rig_->mouse().Port().Device();
  const std::vector<std::uint8_t> device = DeviceDescriptor(function->descriptor);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    function_ = function;
    bootloaderShown_ = true;
    bulkPackets_.clear();
  }
  bootFile_ =
      world.CreateFileW(rig_->mouse().BootloaderPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (bootFile_ != INVALID_HANDLE_VALUE && !world.WinUsb_Initialize(bootFile_, &winusb_)) winusb_ = nullptr;
  if (winusb_ != nullptr) {
    ULONG timeout = 1;
    world.WinUsb_SetPipePolicy(winusb_, bulkIn_, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
  }
  gadget_ = std::make_unique<Gadget>(options_.gadgetfs, device, config, endpoints, *this);
  if (!gadget_->error().empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = gadget_->error();
  }
}

// What is shown leaves the bus.
void KernelMouse::HideCurrent() {
  sim::World& world = *world_;
  if (shown_ == Shown::kMouse) {
    // The answer to a request the device took just before it left (the
    // bootloader-entry request) is on its way to the host: a moment for it.
    std::this_thread::sleep_for(20ms);
  }
  gadget_.reset();
  if (command_ != INVALID_HANDLE_VALUE) {
    world.CancelIo(command_);
    if (reading_) {
      DWORD n = 0;
      world.GetOverlappedResult(command_, &readOv_, &n, TRUE);
    }
    world.CloseHandle(command_);
  }
  if (readOv_.hEvent != nullptr) world.CloseHandle(readOv_.hEvent);
  if (writeOv_.hEvent != nullptr) world.CloseHandle(writeOv_.hEvent);
  command_ = INVALID_HANDLE_VALUE;
  readOv_ = OVERLAPPED{};
  writeOv_ = OVERLAPPED{};
  reading_ = false;
  if (winusb_ != nullptr) world.WinUsb_Free(winusb_);
  if (bootFile_ != INVALID_HANDLE_VALUE) world.CloseHandle(bootFile_);
  winusb_ = nullptr;
  bootFile_ = INVALID_HANDLE_VALUE;
  std::lock_guard<std::mutex> lock(mutex_);
  function_.reset();
  shown_ = Shown::kNone;
}

// The command collection: each output report the host sent goes to it; each
// input report it gives goes out on the command interface's IN endpoint.
void KernelMouse::ServeHid() {
  sim::World& world = *world_;
  if (shown_ != Shown::kMouse || !gadget_) return;
  if (command_ == INVALID_HANDLE_VALUE) {
    // The command collection comes once the class driver has the interface
    // up (at once, or a moment of virtual time after the plug).
    command_ =
        world.CreateFileW(rig_->mouse().CommandPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (command_ == INVALID_HANDLE_VALUE) return;
    readOv_ = OVERLAPPED{};
    readOv_.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOv_ = OVERLAPPED{};
    writeOv_.hEvent = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reading_ = false;
  }
  const std::uint8_t in = sim::CommandInterface(*layout_)->inEndpoint;
  DWORD n = 0;
  auto read = [&] {
    if (!reading_)
      reading_ =
          world.ReadFile(command_, reply_, sizeof reply_, &n, &readOv_) || world.GetLastError() == ERROR_IO_PENDING;
  };
  auto forward = [&](DWORD waitMs) {
    if (!reading_ || world.WaitForSingleObject(readOv_.hEvent, waitMs) != WAIT_OBJECT_0) return;
    reading_ = false;
    if (world.GetOverlappedResult(command_, &readOv_, &n, FALSE))
      gadget_->Send(in, std::vector<std::uint8_t>(reply_, reply_ + n));
  };
  read();
  forward(0);  // a report the device sent by itself
  for (;;) {
    std::vector<std::uint8_t> report;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (outputReports_.empty()) break;
      report = std::move(outputReports_.front());
      outputReports_.pop_front();
    }
    if (report.size() != kCommandReportSize || report[0] != kCommandReportId) continue;  // another collection's
    if (!world.WriteFile(command_, report.data(), static_cast<DWORD>(report.size()), &n, &writeOv_) &&
        world.GetLastError() == ERROR_IO_PENDING)
      world.GetOverlappedResult(command_, &writeOv_, &n, TRUE);
    read();
    // The mouse answers within its own time (virtual); none is an answer too.
    forward(200);
  }
}

// The bootloader: each bulk OUT transfer, in order, is a WinUSB write; what
// the device answers is read as soon as it has it and queued on bulk IN.
void KernelMouse::ServeBootloader() {
  sim::World& world = *world_;
  if (shown_ != Shown::kBootloader || winusb_ == nullptr || !gadget_) return;
  for (;;) {
    std::vector<std::uint8_t> packet;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (bulkPackets_.empty()) break;
      packet = std::move(bulkPackets_.front());
      bulkPackets_.pop_front();
    }
    ULONG moved = 0;
    const bool ok =
        world.WinUsb_WritePipe(winusb_, bulkOut_, packet.data(), static_cast<ULONG>(packet.size()), &moved, nullptr);
    if (ok && packet.size() == sim::kBootloaderBlockSize) {
      std::size_t blocks;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks = ++writeBlocks_;
      }
      if (options_.pullAfterWriteBlocks != 0 && blocks == options_.pullAfterWriteBlocks) {
        // The cable is pulled: the device leaves before it answers.
        rig_->mouse().Unplug();
        return;
      }
    }
  }
  std::uint8_t data[64];
  ULONG moved = 0;
  while (world.WinUsb_ReadPipe(winusb_, bulkIn_, data, sizeof data, &moved, nullptr))
    gadget_->Send(bulkIn_, std::vector<std::uint8_t>(data, data + moved));
}

}  // namespace kv27::test
