#include "tests/kernel/gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv27::test {

namespace {

// KV_GADGET_TRACE=1: what the device does, on stderr.
bool Tracing() {
  static const bool on = std::getenv("KV_GADGET_TRACE") != nullptr;
  return on;
}
double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
#define TRACE(...)                          \
  do {                                      \
    if (Tracing()) {                        \
      std::fprintf(stderr, "%.3f ", Now()); \
      std::fprintf(stderr, __VA_ARGS__);    \
    }                                       \
  } while (0)

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::string> Files(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

Gadget::Gadget(const std::string& directory, std::vector<std::uint8_t> device, std::vector<std::uint8_t> config,
               std::vector<GadgetEndpoint> endpoints, GadgetFunction& function)
    : function_(function), directory_(directory) {
  for (const GadgetEndpoint& e : endpoints) {
    auto ep = std::make_unique<Endpoint>();
    ep->descriptor = e;
    endpoints_[e.address] = std::move(ep);
  }
  // Before the device is bound, the directory holds the controller's file
  // alone: ep0, named after the controller.
  std::string chip;
  for (const std::string& name : Files(directory))
    if (name.rfind("ep", 0) != 0) chip = name;
  if (chip.empty()) {
    error_ = "no controller file in " + directory;
    return;
  }
  ep0_ = ::open((directory + "/" + chip).c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) {
    error_ = "cannot open " + directory + "/" + chip + ": " + std::strerror(errno);
    return;
  }
  // Tag 0, the full-speed configuration, the device descriptor: a full-speed
  // device only (no high-speed configuration), as the mouse is.
  std::vector<std::uint8_t> message;
  Put32(message, 0);
  message.insert(message.end(), config.begin(), config.end());
  message.insert(message.end(), device.begin(), device.end());
  if (::write(ep0_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
    error_ = std::string("the controller refused the descriptors: ") + std::strerror(errno);
    ::close(ep0_);
    ep0_ = -1;
    return;
  }
  // Bound now: the endpoint files are there.
  std::vector<std::string> taken;
  for (auto& [address, ep] : endpoints_) {
    ep->file = PickFile(ep->descriptor, taken);
    if (ep->file.empty()) {
      error_ = "no endpoint of the controller fits endpoint " + std::to_string(address);
      break;
    }
    taken.push_back(ep->file);
  }
  // A signal that only interrupts a blocking call (no SA_RESTART).
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
  ep0Running_ = true;
  ep0Thread_ = std::thread([this] {
    Ep0Loop();
    ep0Running_ = false;
  });
}

Gadget::~Gadget() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  // The endpoints' threads first: gadgetfs takes the device off the bus
  // (ep0 closed) only once no endpoint file is in a transfer, since its
  // unbinding waits for each endpoint's lock, which a blocked transfer holds.
  // A signal ends the transfer (gadgetfs dequeues it).
  for (auto& [address, ep] : endpoints_) {
    while (ep->running) {
      ::pthread_kill(ep->thread.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ep->thread.joinable()) ep->thread.join();
    if (ep->fd >= 0) ::close(ep->fd);
  }
  // Then ep0's thread, which closes ep0: the device leaves the bus.
  while (ep0Running_) {
    ::pthread_kill(ep0Thread_.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (ep0Thread_.joinable()) ep0Thread_.join();
  if (ep0_ >= 0) ::close(ep0_);
}

// An endpoint of the controller of the right direction and kind: the dummy
// controller names them by what they can do ("ep1in-bulk", "ep5in-int",
// "ep2out-bulk", "ep-aout", ...); an interrupt endpoint may be served by a
// bulk one of the same direction, never by an isochronous one.
std::string Gadget::PickFile(const GadgetEndpoint& endpoint, const std::vector<std::string>& taken) const {
  const bool in = (endpoint.address & 0x80) != 0;
  const bool interrupt = (endpoint.attributes & 3) == 3;
  std::string best;
  for (const std::string& name : Files(directory_)) {
    if (name.rfind("ep", 0) != 0 || std::find(taken.begin(), taken.end(), name) != taken.end()) continue;
    if (name.find("iso") != std::string::npos) continue;
    const bool nameIn = name.find("in") != std::string::npos;
    const bool nameOut = name.find("out") != std::string::npos;
    if (in ? !nameIn : !nameOut) continue;
    const bool nameInt = name.find("int") != std::string::npos;
    if (!interrupt && nameInt) continue;
    if (interrupt && nameInt) return name;  // the best fit
    if (best.empty()) best = name;
  }
  return best;
}

void Gadget::Send(std::uint8_t address, std::vector<std::uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(address);
  if (it == endpoints_.end()) return;
  it->second->queue.push_back(std::move(data));
  changed_.notify_all();
}

void Gadget::Ep0Loop() {
  while (!stop_) {
    pollfd p{ep0_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    usb_gadgetfs_event events[5];
    const ssize_t n = ::read(ep0_, events, sizeof events);
    if (n < 0) continue;  // EIDRM: a request the host gave up on
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      TRACE("gadget: ep0 event %d\n", static_cast<int>(events[i].type));
      if (events[i].type == GADGETFS_SETUP) HandleSetup(events[i].u.setup);
    }
  }
  // The device leaves the bus: the controller disconnects it and disables
  // the endpoints, which ends their transfers.
  TRACE("gadget: closing\n");
  ::close(ep0_);
  TRACE("gadget: closed\n");
  ep0_ = -1;
}

// One control request. IN: the data stage is written, or a read stalls it.
// OUT without data: a read of nothing acknowledges it, a write stalls it. OUT
// with data: gadgetfs has taken the data stage already; reading it ends the
// request.
void Gadget::HandleSetup(const usb_ctrlrequest& setup) {
  const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
  const std::uint16_t length = setup.wLength;
  TRACE("gadget: setup %02x %02x %04x %04x %u\n", setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex,
        length);
  char none = 0;
  if (setup.bRequestType == 0 && setup.bRequest == USB_REQ_SET_CONFIGURATION) {
    if (setup.wValue != 0 && !configured_) EnableEndpoints();
    (void)!::read(ep0_, &none, 0);
    return;
  }
  if (setup.bRequestType == USB_RECIP_INTERFACE && setup.bRequest == USB_REQ_SET_INTERFACE) {
    (void)!::read(ep0_, &none, 0);
    return;
  }
  std::vector<std::uint8_t> out;
  if (!in && length > 0) {
    out.resize(length);
    const ssize_t got = ::read(ep0_, out.data(), out.size());
    if (got < 0) return;
    out.resize(static_cast<std::size_t>(got));
  }
  const ControlAnswer answer = function_.OnControl(setup, out);
  if (in) {
    if (answer.stall) {
      (void)!::read(ep0_, &none, 0);
    } else {
      const std::size_t size = std::min<std::size_t>(answer.data.size(), length);
      (void)!::write(ep0_, answer.data.data(), size);
    }
  } else if (length == 0) {
    if (answer.stall)
      (void)!::write(ep0_, &none, 0);
    else
      (void)!::read(ep0_, &none, 0);
  }
}

// SET_CONFIGURATION: each endpoint's file takes its descriptor (tag 1, the
// full-speed descriptor) and gets its thread, before the request is
// acknowledged, so that the host finds them enabled.
void Gadget::EnableEndpoints() {
  for (auto& [address, ep] : endpoints_) {
    if (ep->file.empty()) continue;
    ep->fd = ::open((directory_ + "/" + ep->file).c_str(), O_RDWR | O_CLOEXEC);
    if (ep->fd < 0) continue;
    std::vector<std::uint8_t> message;
    Put32(message, 1);
    const GadgetEndpoint& d = ep->descriptor;
    message.insert(message.end(),
                   {7, USB_DT_ENDPOINT, d.address, d.attributes, static_cast<std::uint8_t>(d.maxPacketSize & 0xFF),
                    static_cast<std::uint8_t>(d.maxPacketSize >> 8), d.interval});
    if (::write(ep->fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
      ::close(ep->fd);
      ep->fd = -1;
      continue;
    }
    TRACE("gadget: endpoint %02x on %s\n", address, ep->file.c_str());
    Endpoint* raw = ep.get();
    ep->running = true;
    ep->thread = std::thread([this, raw] {
      if ((raw->descriptor.address & 0x80) != 0)
        InLoop(raw);
      else
        OutLoop(raw);
      raw->running = false;
    });
  }
  configured_ = true;
}

// An IN endpoint: each queued transfer is written whole and waits there until
// the host has taken it. A transfer shorter than the endpoint's packets ends
// with a short packet; one of whole packets is not ended (the host's read of
// that length ends it).
void Gadget::InLoop(Endpoint* ep) {
  for (;;) {
    std::vector<std::uint8_t> data;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || !ep->queue.empty(); });
      if (stop_) return;
      data = ep->queue.front();
    }
    const ssize_t n = ::write(ep->fd, data.data(), data.size());
    const int error = errno;
    TRACE("gadget: in %02x %zu bytes: %zd %s\n", ep->descriptor.address, data.size(), n,
          n < 0 ? std::strerror(error) : "");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (n >= 0 && !ep->queue.empty()) ep->queue.pop_front();
    }
    if (n < 0 && error != EINTR && error != ECONNRESET) return;  // gone (ESHUTDOWN, ENODEV)
    if (stop_) return;
  }
}

// An OUT endpoint: one read of a packet's size per transfer (a read longer
// than the transfer would wait for a short packet that a transfer of whole
// packets never sends).
void Gadget::OutLoop(Endpoint* ep) {
  std::vector<std::uint8_t> buffer(ep->descriptor.maxPacketSize);
  while (!stop_) {
    const ssize_t n = ::read(ep->fd, buffer.data(), buffer.size());
    TRACE("gadget: out %02x: %zd %s\n", ep->descriptor.address, n, n < 0 ? std::strerror(errno) : "");
    if (n < 0) {
      if ((errno == EINTR || errno == ECONNRESET) && !stop_) continue;
      return;
    }
    function_.OnOut(ep->descriptor.address, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n));
  }
}

}  // namespace kv27::test
