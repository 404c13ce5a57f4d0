#include "capture/replay.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "capture/capture_os_api.h"
#include "capture/usb_descriptors.h"
#include "sim/hid_device.h"
#include "sim/usb_tree.h"

namespace kv27::capture {

using namespace w32;

namespace {

std::string EndpointText(UCHAR endpoint) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", endpoint);
  return text;
}

void Charge(sim::CallEffects& fx, std::uint64_t us) {
  fx.delayMs = static_cast<DWORD>(us / 1000);
  fx.delayUs = static_cast<DWORD>(us % 1000);
}

// One request of the program's in the capture, with its captured answer.
struct Request {
  std::uint32_t frame = 0;
  int life = 0;
  UCHAR endpoint = 0;
  std::uint8_t transfer = 0;
  bool in = false;
  std::vector<std::uint8_t> data;  // OUT data, or the setup packet
  std::uint64_t timeUs = 0;
  bool answered = false;
  DWORD error = ERROR_SUCCESS;
  std::vector<std::uint8_t> reply;  // IN data, or the control transfer's data
  std::uint32_t moved = 0;
  std::uint64_t durationUs = 0;
  bool matched = false;
  std::uint64_t matchUs = 0;
};

// What came without a request of the program's.
struct Event {
  enum class Kind { Deliver, Attach, Detach };
  Kind kind = Kind::Deliver;
  int life = 0;
  std::vector<std::uint8_t> data;
  std::uint64_t timeUs = 0;
  long watermark = -1;  // the last request before it in the capture
};

}  // namespace

struct Answer {
  DWORD error = ERROR_GEN_FAILURE;
  const std::vector<std::uint8_t>* reply = nullptr;
  std::uint32_t moved = 0;
  std::uint64_t delayUs = 0;
  bool pending = false;  // never answered: the transfer stays until cancelled
};

class ReplayCollection;
class ReplayPort;
class ReplayWinUsb;

struct ReplayBus::Session : std::enable_shared_from_this<ReplayBus::Session> {
  explicit Session(sim::World& w) : world(w) {}

  struct Life {
    int id = 0;
    std::string kind;
    std::uint16_t address = 0;
    std::string path;
    std::optional<GUID> guid;
    std::string hub;
    int port = 0;
    bool present = false;
    std::optional<USB_DEVICE_DESCRIPTOR> device;
    std::vector<InterfaceFacts> interfaces;
    std::map<std::uint8_t, std::vector<HidCollectionFacts>> reports;
    // Built:
    int place = 0;                               // the port of the replay's root hub it goes on
    std::u16string instance;                     // its device node there
    std::vector<std::u16string> interfaceNodes;  // per HID device: the node of its USB interface
    std::u16string winusbPath;
    std::vector<std::unique_ptr<sim::HidDevice>> hid;
    std::vector<std::shared_ptr<ReplayCollection>> collections;
    std::shared_ptr<ReplayPort> function;
    std::shared_ptr<ReplayWinUsb> winusb;
    bool attached = false;
  };

  // An open for I/O of a device gets the outcome of the captured run's open
  // of the same rank (success once they are used up).
  DWORD OpenLocked(int life, DWORD access) {
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0) return ERROR_SUCCESS;
    auto& outcomes = opens[life];
    if (outcomes.empty()) return ERROR_SUCCESS;
    const DWORD error = outcomes.front();
    outcomes.pop_front();
    return error;
  }
  Answer MatchLocked(int life, UCHAR endpoint, const std::string& what, const std::uint8_t* data, std::size_t size,
                     bool in, std::size_t room);
  void DivergeLocked(std::uint32_t frame, std::string where, std::string captured, std::string sent);
  void ReleaseLocked();
  void Apply(std::size_t event);  // world unlocked; schedules the next
  void ApplyEvent(std::size_t event);
  void Attach(Life& life);
  void Detach(Life& life);
  void Build(Life& life);

  sim::World& world;
  std::vector<Request> requests;
  std::vector<Event> events;
  std::map<int, Life> lives;
  std::map<std::pair<int, UCHAR>, std::deque<std::size_t>> queues;
  std::map<int, std::deque<DWORD>> opens;
  std::map<std::pair<int, UCHAR>, std::uint32_t> lastFrame;  // the last request matched per endpoint
  std::size_t prefix = 0;                                    // requests[0, prefix) are all matched
  std::size_t nextEvent = 0;                                 // events[0, nextEvent) are scheduled
  bool eventScheduled = false;                               // events[nextEvent - 1] is yet to come
  std::size_t matched = 0;
  std::optional<Divergence> divergence;
  std::uint64_t startUs = 0;       // the capture's start
  std::uint64_t worldStartUs = 0;  // the world's time then
  std::map<std::string, std::string> run, end;
  bool complete = false;  // the capture holds its end record
  std::string problem;    // why it cannot be replayed
  std::unique_ptr<sim::UsbTree> tree;
  std::optional<sim::UsbHub> root;
};

// ---------------------------------------------------------------- devices

class ReplayCollection : public sim::HidCollection {
 public:
  ReplayCollection(std::weak_ptr<ReplayBus::Session> session, int life, std::uint16_t address, UCHAR outEndpoint,
                   const HIDD_ATTRIBUTES& attributes, const HidCollectionFacts& facts)
      : HidCollection(attributes, Describe(facts)),
        reportId(facts.reportId),
        session_(std::move(session)),
        life_(life),
        address_(address),
        out_(outEndpoint) {}

  DWORD OnOpen(sim::FileObject& file) override {
    auto session = session_.lock();
    if (!session) return ERROR_GEN_FAILURE;
    if (const DWORD error = session->OpenLocked(life_, file.access); error != ERROR_SUCCESS) return error;
    return HidCollection::OnOpen(file);
  }

  DWORD OnWrite(sim::IoRequest& request, DWORD* transferred, sim::CallEffects& fx) override {
    if (request.length != description().caps.OutputReportByteLength) return ERROR_INVALID_USER_BUFFER;
    auto session = session_.lock();
    if (!session) return ERROR_GEN_FAILURE;
    const Answer a = session->MatchLocked(
        life_, out_, "HID output report on endpoint " + EndpointText(out_) + " of device " + std::to_string(address_),
        static_cast<const std::uint8_t*>(request.buffer), request.length, false, 0);
    if (a.pending) return request.file->Overlapped() ? ERROR_IO_PENDING : ERROR_GEN_FAILURE;
    Charge(fx, a.delayUs);
    if (a.error != ERROR_SUCCESS) return a.error;
    *transferred = std::min<DWORD>(a.moved, request.length);
    return ERROR_SUCCESS;
  }

  const std::optional<std::uint8_t> reportId;

 private:
  static sim::HidDescription Describe(const HidCollectionFacts& f) {
    auto d = sim::MakeHidDescription(f.usagePage, f.usage, f.inputLength, f.outputLength, f.featureLength);
    // A collection with a report id shows it in its capabilities, as the
    // HID class driver's do.
    if (f.reportId) {
      if (f.inputLength > 1)
        sim::AddValueCaps(d, HidP_Input, sim::MakeValueCaps(f.usagePage, f.usage, 8, 0, 255, *f.reportId));
      if (f.outputLength > 1)
        sim::AddValueCaps(d, HidP_Output, sim::MakeValueCaps(f.usagePage, f.usage, 8, 0, 255, *f.reportId));
    }
    return d;
  }

  std::weak_ptr<ReplayBus::Session> session_;
  int life_;
  std::uint16_t address_;
  UCHAR out_;
};

// A device on a hub port: it answers the requests the hub carries to it.
class ReplayPort : public sim::UsbFunction {
 public:
  ReplayPort(std::weak_ptr<ReplayBus::Session> session, int life, std::uint16_t address,
             const USB_DEVICE_DESCRIPTOR& device, const std::vector<InterfaceFacts>& interfaces)
      : UsbFunction(device.idVendor, device.idProduct), session_(std::move(session)), life_(life), address_(address) {
    descriptor = device;
    openPipes.clear();
    for (const auto& i : interfaces) {
      for (const auto& e : i.endpoints) {
        USB_PIPE_INFO pipe{};
        pipe.EndpointDescriptor = e;
        openPipes.push_back(pipe);
      }
    }
  }

  sim::ControlReply OnGetDescriptor(ULONG, const USB_SETUP_PACKET& setup, BYTE* data, DWORD room) override {
    auto session = session_.lock();
    if (!session) return sim::ControlReply{ERROR_GEN_FAILURE, 0};
    // As the hub driver puts it on the bus (a standard GET_DESCRIPTOR).
    const std::uint8_t packet[8] = {0x80,
                                    6,
                                    static_cast<std::uint8_t>(setup.wValue),
                                    static_cast<std::uint8_t>(setup.wValue >> 8),
                                    static_cast<std::uint8_t>(setup.wIndex),
                                    static_cast<std::uint8_t>(setup.wIndex >> 8),
                                    static_cast<std::uint8_t>(setup.wLength),
                                    static_cast<std::uint8_t>(setup.wLength >> 8)};
    const Answer a =
        session->MatchLocked(life_, 0x80, "descriptor request through the hub to device " + std::to_string(address_),
                             packet, sizeof packet, false, 0);
    if (a.pending || a.error != ERROR_SUCCESS)
      return sim::ControlReply{a.error != ERROR_SUCCESS ? a.error : ERROR_GEN_FAILURE, 0};
    const std::size_t n = std::min<std::size_t>({a.reply->size(), room, setup.wLength});
    if (n != 0) std::memcpy(data, a.reply->data(), n);
    return sim::ControlReply{ERROR_SUCCESS, static_cast<DWORD>(n)};
  }

 private:
  std::weak_ptr<ReplayBus::Session> session_;
  int life_;
  std::uint16_t address_;
};

// A WinUSB device: its interface and pipes as captured, its pipe transfers
// answered from the capture.
class ReplayWinUsb : public sim::Device {
 public:
  ReplayWinUsb(std::weak_ptr<ReplayBus::Session> session, int life, std::uint16_t address, InterfaceFacts facts)
      : session_(std::move(session)), life_(life), address_(address), facts_(std::move(facts)) {}

  DWORD OnOpen(sim::FileObject& file) override {
    auto session = session_.lock();
    return session ? session->OpenLocked(life_, file.access) : ERROR_GEN_FAILURE;
  }
  DWORD OnWinUsbInitialize(sim::FileObject&) override { return ERROR_SUCCESS; }
  DWORD OnWinUsbQueryInterface(UCHAR alternateSetting, USB_INTERFACE_DESCRIPTOR* d) override {
    if (alternateSetting != 0) return ERROR_NO_MORE_ITEMS;
    *d = USB_INTERFACE_DESCRIPTOR{9,
                                  kDescriptorInterface,
                                  facts_.number,
                                  0,
                                  static_cast<UCHAR>(facts_.endpoints.size()),
                                  facts_.interfaceClass,
                                  facts_.subClass,
                                  facts_.protocol,
                                  0};
    return ERROR_SUCCESS;
  }
  DWORD OnWinUsbQueryPipe(UCHAR alternateSetting, UCHAR index, WINUSB_PIPE_INFORMATION* pipe) override {
    if (alternateSetting != 0 || index >= facts_.endpoints.size()) return ERROR_NO_MORE_ITEMS;
    const auto& e = facts_.endpoints[index];
    pipe->PipeType = static_cast<USBD_PIPE_TYPE>(e.bmAttributes & 3);
    pipe->PipeId = e.bEndpointAddress;
    pipe->MaximumPacketSize = e.wMaxPacketSize;
    pipe->Interval = e.bInterval;
    return ERROR_SUCCESS;
  }
  DWORD OnWinUsbWritePipe(UCHAR pipeId, const UCHAR* data, ULONG length, ULONG* transferred,
                          sim::CallEffects& fx) override {
    *transferred = 0;
    auto session = session_.lock();
    if (!session) return ERROR_GEN_FAILURE;
    const Answer a = session->MatchLocked(life_, pipeId, Where("OUT", pipeId), data, length, false, 0);
    if (a.pending) {
      fx.delayMs = sim::kNeverMs;
      return ERROR_SEM_TIMEOUT;
    }
    Charge(fx, a.delayUs);
    if (a.error != ERROR_SUCCESS) return a.error;
    *transferred = std::min<ULONG>(a.moved, length);
    return ERROR_SUCCESS;
  }
  DWORD OnWinUsbReadPipe(UCHAR pipeId, UCHAR* data, ULONG length, ULONG* transferred, sim::CallEffects& fx) override {
    *transferred = 0;
    auto session = session_.lock();
    if (!session) return ERROR_GEN_FAILURE;
    const Answer a = session->MatchLocked(life_, pipeId, Where("IN", pipeId), nullptr, 0, true, length);
    if (a.pending) {
      fx.delayMs = sim::kNeverMs;
      return ERROR_SEM_TIMEOUT;
    }
    Charge(fx, a.delayUs);
    if (a.error != ERROR_SUCCESS) return a.error;
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(a.reply->size(), length));
    if (n != 0) std::memcpy(data, a.reply->data(), n);
    *transferred = n;
    return ERROR_SUCCESS;
  }

 private:
  std::string Where(const char* direction, UCHAR pipeId) const {
    return std::string("bulk ") + direction + " transfer on endpoint " + EndpointText(pipeId) + " of device " +
           std::to_string(address_);
  }

  std::weak_ptr<ReplayBus::Session> session_;
  int life_;
  std::uint16_t address_;
  InterfaceFacts facts_;
};

// ---------------------------------------------------------------- matching

void ReplayBus::Session::DivergeLocked(std::uint32_t frame, std::string where, std::string captured, std::string sent) {
  if (divergence) return;
  divergence = Divergence{frame, std::move(where), std::move(captured), std::move(sent)};
}

Answer ReplayBus::Session::MatchLocked(int life, UCHAR endpoint, const std::string& what, const std::uint8_t* data,
                                       std::size_t size, bool in, std::size_t room) {
  Answer a;
  if (divergence) return a;  // the run is being stopped
  const std::string sent = in ? "a read of " + std::to_string(room) + " bytes" : Hex(data, size);
  auto& queue = queues[{life, endpoint}];
  if (queue.empty()) {
    const auto last = lastFrame.find({life, endpoint});
    DivergeLocked(
        0, what,
        last == lastFrame.end() ? "no request there" : "nothing more after frame " + std::to_string(last->second),
        sent);
    // Past the end of a capture that was cut: nothing there to compare with.
    divergence->pastTheEnd = !complete;
    return a;
  }
  Request& r = requests[queue.front()];
  if (!in && (r.data.size() != size || (size != 0 && std::memcmp(r.data.data(), data, size) != 0))) {
    DivergeLocked(r.frame, what, Hex(r.data), sent);
    std::size_t at = 0;
    while (at < size && at < r.data.size() && r.data[at] == data[at]) ++at;
    divergence->firstDifference = at;
    return a;
  }
  if (in && r.reply.size() > room) {
    DivergeLocked(r.frame, what, "a read answered with " + std::to_string(r.reply.size()) + " bytes: " + Hex(r.reply),
                  sent);
    return a;
  }
  queue.pop_front();
  lastFrame[{life, endpoint}] = r.frame;
  r.matched = true;
  r.matchUs = world.NowUsLocked();
  ++matched;
  ReleaseLocked();
  if (!r.answered || (r.error == ERROR_OPERATION_ABORTED && r.transfer == kTransferInterrupt)) {
    a.pending = true;
    return a;
  }
  a.error = r.error;
  a.reply = &r.reply;
  a.moved = r.moved;
  a.delayUs = r.durationUs;
  return a;
}

// Schedules what came without a request once the requests before it are
// matched, as long after the last of them as in the capture. One event is
// scheduled at a time, the next once it has come: a capture of many unasked
// reports does not fill the world's schedule with all of them at once.
void ReplayBus::Session::ReleaseLocked() {
  while (prefix < requests.size() && requests[prefix].matched) ++prefix;
  const std::uint64_t nowUs = world.NowUsLocked();
  if (!eventScheduled && nextEvent < events.size()) {
    const Event& e = events[nextEvent];
    if (e.watermark >= static_cast<long>(prefix)) return;
    const std::uint64_t baseCapture =
        e.watermark < 0 ? startUs : requests[static_cast<std::size_t>(e.watermark)].timeUs;
    const std::uint64_t baseWorld =
        e.watermark < 0 ? worldStartUs : requests[static_cast<std::size_t>(e.watermark)].matchUs;
    const std::uint64_t gapUs = e.timeUs > baseCapture ? std::min(e.timeUs - baseCapture, kMaxEventGapUs) : 0;
    const std::uint64_t dueUs = baseWorld + gapUs;
    const std::uint64_t delayMs = dueUs > nowUs ? (dueUs - nowUs + 999) / 1000 : 0;
    std::weak_ptr<Session> weak = weak_from_this();
    const std::size_t index = nextEvent;
    world.ScheduleLocked(delayMs, [weak, index] {
      if (auto session = weak.lock()) session->Apply(index);
    });
    eventScheduled = true;
    ++nextEvent;
  }
}

void ReplayBus::Session::Apply(std::size_t index) {
  ApplyEvent(index);
  auto lock = world.Lock();
  eventScheduled = false;
  ReleaseLocked();
}

void ReplayBus::Session::ApplyEvent(std::size_t index) {
  const Event& e = events[index];
  auto it = lives.find(e.life);
  if (it == lives.end()) return;
  Life& life = it->second;
  switch (e.kind) {
    case Event::Kind::Attach:
      Attach(life);
      break;
    case Event::Kind::Detach:
      Detach(life);
      break;
    case Event::Kind::Deliver: {
      std::shared_ptr<ReplayCollection> to;
      for (const auto& c : life.collections) {
        if (c->reportId ? !e.data.empty() && e.data[0] == *c->reportId
                        : c->description().caps.InputReportByteLength == e.data.size()) {
          to = c;
          break;
        }
      }
      if (!to && !life.collections.empty()) to = life.collections.front();
      if (to) to->SendInputReport(e.data);
      break;
    }
  }
}

// ---------------------------------------------------------------- devices on the bus

void ReplayBus::Session::Build(Life& life) {
  const USB_DEVICE_DESCRIPTOR device = life.device.value_or(MakeDeviceDescriptor(0, 0, 0));
  std::weak_ptr<Session> weak = weak_from_this();
  // Named after its place on the replay's bus, as Windows names a device
  // without a serial number: the node on the port, for a composite device a
  // node per interface below it, and a node per HID collection below that.
  if (life.place != 0)
    life.instance =
        sim::UsbDeviceInstanceId(device.idVendor, device.idProduct, root->Port(life.place).HubName(), life.place);
  if (life.kind == "hid") {
    HIDD_ATTRIBUTES attributes{sizeof(HIDD_ATTRIBUTES), device.idVendor, device.idProduct, device.bcdDevice};
    for (const auto& i : life.interfaces) {
      auto reports = life.reports.find(i.number);
      if (i.interfaceClass != kInterfaceClassHid || reports == life.reports.end()) continue;
      UCHAR out = 0x01;
      for (const auto& e : i.endpoints)
        if ((e.bEndpointAddress & 0x80) == 0 && (e.bmAttributes & 3) == UsbdPipeTypeInterrupt) out = e.bEndpointAddress;
      char node[96];
      std::snprintf(node, sizeof node, "USB\\VID_%04X&PID_%04X&MI_%02X\\6&%08zx&0&%04X", device.idVendor,
                    device.idProduct, i.number, std::hash<std::u16string>{}(life.instance) & 0xFFFFFFFFu, i.number);
      const std::u16string interfaceNode = sim::FromUtf8(node);
      std::snprintf(node, sizeof node, "7&%08zx&0&0000", std::hash<std::u16string>{}(interfaceNode)&0xFFFFFFFFu);
      auto hid = std::make_unique<sim::HidDevice>(device.idVendor, device.idProduct, i.number, sim::FromUtf8(node));
      life.interfaceNodes.push_back(interfaceNode);
      for (const auto& facts : reports->second) {
        auto c = std::make_shared<ReplayCollection>(weak, life.id, life.address, out, attributes, facts);
        hid->Add(c);
        life.collections.push_back(c);
      }
      life.hid.push_back(std::move(hid));
    }
  } else if (life.kind == "winusb") {
    InterfaceFacts facts;
    facts.interfaceClass = 0xFF;
    if (!life.interfaces.empty()) facts = life.interfaces.front();
    life.winusb = std::make_shared<ReplayWinUsb>(weak, life.id, life.address, facts);
    // Its one interface belongs to the device on the port itself (WinUSB its
    // function driver), so the interface is named after that node.
    std::string guid = GuidText(life.guid.value_or(GUID_DEVINTERFACE_USB_DEVICE));
    for (auto& c : guid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    life.winusbPath = u"\\\\?\\";
    for (char16_t c : life.instance) {
      if (c == u'\\') c = u'#';
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      life.winusbPath.push_back(c);
    }
    life.winusbPath += u"#" + sim::FromUtf8(guid);
  }
  if (life.place == 0) return;
  life.function = std::make_shared<ReplayPort>(weak, life.id, life.address, device, life.interfaces);
  if (life.kind == "winusb") life.function->setupClass = sim::kUsbDeviceSetupClass;
}

void ReplayBus::Session::Attach(Life& life) {
  if (life.attached) return;
  life.attached = true;
  if (life.function && root) root->Port(life.place).Plug(life.function);
  for (std::size_t k = 0; k < life.hid.size(); ++k) {
    sim::HidDevice& hid = *life.hid[k];
    if (life.function) world.AddDevNode(life.interfaceNodes[k], life.instance, sim::kHidSetupClass);
    for (std::size_t i = 0; life.function && i < hid.Count(); ++i) {
      std::u16string node = sim::InstanceIdOfInterface(hid.Path(i));
      for (auto& c : node)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
      world.AddDevNode(node, life.interfaceNodes[k], sim::kHidSetupClass);
    }
    hid.Attach(world);
  }
  if (life.winusb) world.Attach(life.winusbPath, life.winusb, life.guid.value_or(GUID_DEVINTERFACE_USB_DEVICE));
}

// Off the bus first, then off the port, which takes its device nodes along.
void ReplayBus::Session::Detach(Life& life) {
  if (!life.attached) return;
  life.attached = false;
  if (life.winusb && world.IsAttached(life.winusbPath)) world.Detach(life.winusbPath);
  for (auto& hid : life.hid) hid->Detach(world);
  if (life.function && root) {
    auto port = root->Port(life.place);
    if (port.Device() == life.function) port.Unplug();
  }
}

// ---------------------------------------------------------------- the bus

std::string Divergence::Report() const {
  std::string text = "replay diverged: " + where + "\n";
  text += frame != 0 ? "  capture frame " + std::to_string(frame) + ": " + captured + "\n"
                     : "  capture: " + captured + "\n";
  text += "  program: " + sent;
  if (firstDifference) text += "\n  first difference at byte " + std::to_string(*firstDifference);
  return text;
}

// What the bus learns from the capture's records, taken one at a time as
// they are read: the capture is not held beside what the bus keeps of it.
struct ReplayBus::Reader {
  explicit Reader(Session& session) : s(session) {}
  void Take(CaptureRecord& record);

  Session& s;
  std::map<std::uint16_t, int> lifeByAddress;
  std::map<std::uint64_t, std::size_t> open;                                   // submitted requests by IRP id
  std::map<std::uint64_t, std::pair<int, std::vector<std::uint8_t>>> rebuilt;  // rebuilt descriptor requests
  long lastRequest = -1;
  bool haveStart = false;
};

void ReplayBus::Reader::Take(CaptureRecord& record) {
  if (record.note) {
    const CaptureNote& note = record.record;
    if (!haveStart) {
      s.startUs = note.TimeUs();
      haveStart = true;
    }
    if (note.kind == "run") s.run = note.fields;
    if (note.kind == "end") {
      s.end = note.fields;
      s.complete = true;
    }
    if (note.kind == "present" || note.kind == "arrival") {
      Session::Life life;
      life.id = std::atoi(note.Field("life").c_str());
      life.kind = note.Field("kind");
      life.address = static_cast<std::uint16_t>(std::atoi(note.Field("address").c_str()));
      life.path = note.Field("path");
      GUID guid{};
      if (ParseGuid(note.Field("class"), &guid)) life.guid = guid;
      life.hub = note.Field("hub");
      life.port = std::atoi(note.Field("port").c_str());
      life.present = note.kind == "present";
      lifeByAddress[life.address] = life.id;
      if (!life.present) {
        Event e;
        e.kind = Event::Kind::Attach;
        e.life = life.id;
        const std::string seen = note.Field("seen");
        e.timeUs = seen.empty() ? note.TimeUs() : std::strtoull(seen.c_str(), nullptr, 10);
        e.watermark = lastRequest;
        s.events.push_back(e);
      }
      s.lives[life.id] = std::move(life);
    }
    if (note.kind == "open") {
      const DWORD error = static_cast<DWORD>(std::strtoul(note.Field("error").c_str(), nullptr, 10));
      s.opens[std::atoi(note.Field("life").c_str())].push_back(error);
    }
    if (note.kind == "removal") {
      Event e;
      e.kind = Event::Kind::Detach;
      e.life = std::atoi(note.Field("life").c_str());
      e.timeUs = note.TimeUs();
      e.watermark = lastRequest;
      s.events.push_back(e);
    }
    return;
  }
  CaptureFrame& f = record.frame;
  const auto& h = f.header;
  if (!haveStart) {
    s.startUs = f.timeUs;
    haveStart = true;
  }
  auto owner = lifeByAddress.find(h.device);
  if (owner == lifeByAddress.end()) return;
  const int life = owner->second;
  if (!h.completion() && f.Rebuilt()) {
    rebuilt[h.irpId] = {life, std::move(f.data)};
    return;
  }
  if (h.completion()) {
    if (auto r = rebuilt.find(h.irpId); r != rebuilt.end()) {
      // A descriptor of the device, as the capture rebuilt it.
      const auto& setup = r->second.second;
      Session::Life& l = s.lives[r->second.first];
      if (setup.size() == 8 && h.status == kUsbdSuccess) {
        if (setup[3] == kDescriptorDevice) l.device = ParseDeviceDescriptor(f.data.data(), f.data.size());
        if (setup[3] == kDescriptorConfiguration) {
          if (auto c = ParseConfigurationDescriptor(f.data.data(), f.data.size())) l.interfaces = *c;
        }
        if (setup[3] == kDescriptorHidReport) {
          if (auto rd = ParseReportDescriptor(f.data.data(), f.data.size())) l.reports[setup[4]] = *rd;
        }
      }
      rebuilt.erase(r);
      return;
    }
    if (auto o = open.find(h.irpId); o != open.end()) {
      Request& q = s.requests[o->second];
      q.answered = true;
      q.error = f.Error();
      q.reply = std::move(f.data);
      q.durationUs = f.timeUs > q.timeUs ? std::min(f.timeUs - q.timeUs, kMaxAnswerUs) : 0;
      if (auto moved = f.Moved())
        q.moved = *moved;
      else
        q.moved = q.error != ERROR_SUCCESS ? 0 : static_cast<std::uint32_t>(q.in ? q.reply.size() : q.data.size());
      open.erase(o);
      return;
    }
    if (h.transfer == kTransferInterrupt && h.in() && h.status == kUsbdSuccess && !f.data.empty()) {
      Event e;
      e.kind = Event::Kind::Deliver;
      e.life = life;
      e.data = std::move(f.data);
      e.timeUs = f.timeUs;
      e.watermark = lastRequest;
      s.events.push_back(std::move(e));
    }
    return;
  }
  // A submission: a request of the program's, except the reads of input
  // reports, which wait for whatever comes.
  if (h.transfer == kTransferInterrupt && h.in()) return;
  Request q;
  q.frame = f.number;
  q.life = life;
  q.endpoint = h.endpoint;
  q.transfer = h.transfer;
  q.in = h.transfer != kTransferControl && h.in();
  q.data = std::move(f.data);
  q.timeUs = f.timeUs;
  open[h.irpId] = s.requests.size();
  s.queues[{life, h.endpoint}].push_back(s.requests.size());
  lastRequest = static_cast<long>(s.requests.size());
  s.requests.push_back(std::move(q));
}

ReplayBus::ReplayBus(sim::World& world) : session_(std::make_shared<Session>(world)) {}

ReplayBus::ReplayBus(sim::World& world, CaptureLog log) : ReplayBus(world) {
  Reader reader(*session_);
  // Each record is taken from the capture as it is used, its memory given back.
  while (!log.records.empty()) {
    CaptureRecord record = std::move(log.records.front());
    log.records.pop_front();
    reader.Take(record);
  }
  Build();
}

std::unique_ptr<ReplayBus> ReplayBus::FromFile(sim::World& world, w32::OsApi& os, const std::u16string& path,
                                               std::uint64_t limit, std::string* error, w32::DWORD* osError) {
  std::unique_ptr<ReplayBus> bus(new ReplayBus(world));
  Reader reader(*bus->session_);
  if (!ForEachCaptureRecord(
          os, path, limit, [&reader](CaptureRecord& record) { reader.Take(record); }, error, osError, nullptr))
    return nullptr;
  bus->Build();
  return bus;
}

// The devices of the capture on the replay's bus.
void ReplayBus::Build() {
  Session& s = *session_;
  sim::World& world = s.world;
  // Each captured place on the bus (hub and port) gets a port of the
  // replay's root hub. A WinUSB device whose place the capture does not hold
  // (the run found it by its interface alone) takes the place of the device
  // before it, as a mouse that restarts as its bootloader stays on its port,
  // or a port of its own. A HID device whose place the run could not tell
  // stays off the hubs, so that the replayed run cannot tell it either.
  std::map<std::pair<std::string, int>, int> places;
  int lastPlace = 0;
  for (auto& [id, life] : s.lives) {
    if (life.port > 0) {
      auto place = places.find({life.hub, life.port});
      if (place == places.end())
        place = places.emplace(std::make_pair(life.hub, life.port), static_cast<int>(places.size()) + 1).first;
      life.place = place->second;
    } else if (life.kind == "winusb") {
      life.place = lastPlace != 0 ? lastPlace : static_cast<int>(places.size()) + 1;
      if (lastPlace == 0) places.emplace(std::make_pair(std::string(), -id), life.place);
    }
    lastPlace = life.place;
  }
  if (places.size() > static_cast<std::size_t>(kMaxReplayPlaces)) {
    s.problem = "the capture holds " + std::to_string(places.size()) + " places on the bus; a replay has " +
                std::to_string(kMaxReplayPlaces) + " (the ports of one hub)";
    s.lives.clear();
    s.requests.clear();
    s.events.clear();
    return;
  }
  const int ports = std::max(4, static_cast<int>(places.size()));
  s.tree = std::make_unique<sim::UsbTree>(world);
  s.root = s.tree->AddController(0, ports).Root();
  for (auto& [id, life] : s.lives) s.Build(life);
  for (auto& [id, life] : s.lives)
    if (life.present) s.Attach(life);
  auto lock = world.Lock();
  s.worldStartUs = world.NowUsLocked();
  s.ReleaseLocked();
}

ReplayBus::~ReplayBus() {
  for (auto& [id, life] : session_->lives) session_->Detach(life);
  session_->root.reset();
  session_->tree.reset();
}

const std::string& ReplayBus::Problem() const { return session_->problem; }

bool ReplayBus::Complete() const { return session_->complete; }

bool ReplayBus::Diverged() {
  auto lock = session_->world.Lock();
  return session_->divergence.has_value();
}

std::optional<Divergence> ReplayBus::FirstDivergence() {
  auto lock = session_->world.Lock();
  return session_->divergence;
}

std::optional<Divergence> ReplayBus::Finish() {
  auto lock = session_->world.Lock();
  Session& s = *session_;
  if (!s.divergence) {
    for (const auto& r : s.requests) {
      if (r.matched) continue;
      std::string where = r.transfer == kTransferControl ? "descriptor request through the hub"
                          : r.transfer == kTransferBulk  ? std::string("bulk ") + (r.in ? "IN" : "OUT") + " transfer"
                                                         : "HID output report";
      where += " on endpoint " + EndpointText(r.endpoint) + " of device " +
               std::to_string(s.lives.count(r.life) != 0 ? s.lives.at(r.life).address : 0);
      s.DivergeLocked(r.frame, where, r.in ? "a read answered with " + Hex(r.reply) : Hex(r.data),
                      "nothing: the run ended before it");
      break;
    }
  }
  return s.divergence;
}

std::size_t ReplayBus::Requests() {
  auto lock = session_->world.Lock();
  return session_->requests.size();
}

std::size_t ReplayBus::Matched() {
  auto lock = session_->world.Lock();
  return session_->matched;
}

std::string ReplayBus::RunField(const std::string& key) const {
  auto it = session_->run.find(key);
  return it == session_->run.end() ? std::string() : it->second;
}

std::optional<int> ReplayBus::CapturedExit() const {
  auto it = session_->end.find("exit");
  if (it == session_->end.end() || it->second.empty()) return std::nullopt;
  return std::atoi(it->second.c_str());
}

std::string ReplayBus::CapturedMessage() const {
  auto it = session_->end.find("message");
  return it == session_->end.end() ? std::string() : it->second;
}

}  // namespace kv27::capture
