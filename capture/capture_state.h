// The capture's state: the devices, handles and transfers a run met, and the
// blocks of the file waiting to be written. Private to the capture boundary
// (capture_os_api.cpp), which holds the one instance and takes its lock around
// every use.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/capture_os_api.h"
#include "capture/pcapng.h"

namespace kv27::capture {

namespace state_detail {

// Wide enough for every frame this system captures; longer data is cut.
inline constexpr std::uint32_t kSnapLength = 65535;
inline constexpr USHORT kFirstStandInAddress = 100;
inline constexpr std::uint16_t kBus = 1;
inline constexpr std::uint8_t kControlIn = 0x80;
inline constexpr char kRebuilt[] = "rebuilt from what the program read of the device; not seen on the bus";

// The capture's state lock: taken about once per frame and held for a few
// hundred instructions at most, never while a forwarded call or a file write
// runs (a mutex would cost more than the frame itself). A waiter spins
// briefly, then yields.
class StateLock {
 public:
  [[gnu::always_inline]] void lock() {
    if (held_.exchange(true, std::memory_order_acquire)) Contend();
  }
  [[gnu::always_inline]] void unlock() { held_.store(false, std::memory_order_release); }

 private:
  [[gnu::noinline]] void Contend() {
    do {
      for (int spins = 0; held_.load(std::memory_order_relaxed); ++spins)
        if (spins >= 64) std::this_thread::yield();
    } while (held_.exchange(true, std::memory_order_acquire));
  }
  std::atomic<bool> held_{false};
};

inline std::u16string Lower(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

inline std::u16string Terminated(LPCWSTR text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return std::u16string(text, n);
}

// "\\?\..." and "\\.\..." name devices; plain files never do.
inline bool IsDevicePath(LPCWSTR path) {
  return path != nullptr && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
         path[3] == u'\\';
}

// The value of "<tag>" followed by `digits` hex digits in a (lower-case) path.
inline std::optional<unsigned> HexAfter(const std::u16string& path, const std::u16string& tag, int digits) {
  const auto at = path.find(tag);
  if (at == std::u16string::npos || at + tag.size() + static_cast<std::size_t>(digits) > path.size())
    return std::nullopt;
  unsigned value = 0;
  for (int i = 0; i < digits; ++i) {
    const char16_t c = path[at + tag.size() + static_cast<std::size_t>(i)];
    const int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value;
}

inline std::vector<std::u16string> Split(const std::u16string& text, char16_t by) {
  std::vector<std::u16string> parts;
  std::size_t from = 0;
  for (;;) {
    const auto at = text.find(by, from);
    parts.push_back(text.substr(from, at == std::u16string::npos ? std::u16string::npos : at - from));
    if (at == std::u16string::npos) return parts;
    from = at + 1;
  }
}

// The device a (lower-case) interface path belongs to: the HID collections of
// one interface share their ids without "&colNN" and their instance without
// its last part; any other path is its own device.
inline std::u16string DeviceKey(const std::u16string& path) {
  auto parts = Split(path, u'#');
  if (parts.size() < 3) return path;
  if (parts[0].size() >= 3 && parts[0].compare(parts[0].size() - 3, 3, u"hid") == 0) {
    if (auto col = parts[1].find(u"&col"); col != std::u16string::npos) parts[1].erase(col, 6);
    if (auto amp = parts[2].rfind(u'&'); amp != std::u16string::npos) parts[2].erase(amp);
  }
  return parts[0] + u'#' + parts[1] + u'#' + parts[2];
}

inline std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

}  // namespace state_detail

using namespace state_detail;

struct CaptureOsApi::Impl {
  enum class Kind { Other, Hub, Hid, WinUsb, Port };

  // A device interface path the run met.
  struct Interface {
    std::u16string path;  // as the program gave it
    Kind kind = Kind::Other;
    std::optional<GUID> guid;
    std::uint64_t seenUs = 0;  // 0: not yet
    bool present = true;       // there before the run first listed its class
    std::optional<HIDD_ATTRIBUTES> attributes;
    std::optional<HIDP_CAPS> caps;
    std::optional<std::uint8_t> reportId;
    std::optional<USB_INTERFACE_DESCRIPTOR> usbInterface;
    std::vector<WINUSB_PIPE_INFORMATION> pipes;
  };

  // A hub port as its connection record showed it.
  struct Port {
    USB_NODE_CONNECTION_INFORMATION info{};
    std::vector<USB_ENDPOINT_DESCRIPTOR> pipes;
  };
  using PortKey = std::pair<std::u16string, ULONG>;  // hub path (lower case), port number

  // One device from its arrival (or the run's start) to its removal, as the
  // run saw it; only devices with traffic get one.
  struct Life {
    int id = 0;
    std::u16string key;
    Kind kind = Kind::Other;
    USHORT vendorId = 0, productId = 0;
    USHORT address = 0;
    bool standIn = false;
    bool gone = false;
    bool described = false;
    std::map<int, std::pair<UCHAR, UCHAR>> hidEndpoints;  // interface number -> (IN, OUT)
  };

  struct Handle {
    std::u16string path;  // lower case
    Kind kind = Kind::Other;
    Life* life = nullptr;                                 // once it carried traffic: a handle stays with its device
    const Interface* interface = nullptr;                 // a WinUSB handle's, once it has moved data
    std::optional<std::pair<UCHAR, UCHAR>> hidEndpoints;  // a HID handle's (IN, OUT), once it has moved data
    // A WinUSB handle's transfer type by pipe (PipeSlot), 0 until worked out
    // from the interface's pipes; cleared when a pipe query changes them.
    std::array<std::uint8_t, 32> transferOf{};
  };
  static std::size_t PipeSlot(UCHAR pipeId) { return (pipeId & 0x0Fu) | ((pipeId & 0x80u) >> 3); }

  // Handles by value, with the two looked up last kept at hand: a run's
  // transfers go through one or two handles at a time. Nodes of a map stay
  // where they are until erased.
  template <typename Key>
  class Handles {
   public:
    [[gnu::always_inline]] Handle* Find(Key key) {
      if (key == recent_[0].first && recent_[0].second != nullptr) return recent_[0].second;
      return FindFurther(key);
    }
    [[gnu::noinline]] Handle* FindFurther(Key key) {
      if (key == recent_[1].first && recent_[1].second != nullptr) {
        std::swap(recent_[0], recent_[1]);
        return recent_[0].second;
      }
      auto it = map_.find(key);
      if (it == map_.end()) return nullptr;
      recent_[1] = recent_[0];
      recent_[0] = {key, &it->second};
      return &it->second;
    }
    Handle& operator[](Key key) { return map_[key]; }
    bool Erase(Key key) {
      for (auto& r : recent_)
        if (r.first == key) r = {};
      return map_.erase(key) != 0;
    }
    std::map<Key, Handle>& all() { return map_; }

   private:
    std::map<Key, Handle> map_;
    std::pair<Key, Handle*> recent_[2] = {};
  };

  // The device of a handle, described once it carries traffic.
  [[gnu::always_inline]] Life& LifeOf(Handle& h) {
    if (h.life != nullptr && h.life->described) return *h.life;
    return DescribedLifeOf(h);
  }
  [[gnu::noinline]] Life& DescribedLifeOf(Handle& h) {
    if (h.life == nullptr) h.life = &LifeFor(h.path);
    if (!h.life->described) Describe(*h.life);
    return *h.life;
  }

  struct Pending {
    OVERLAPPED* overlapped = nullptr;
    HANDLE file = nullptr;
    bool read = false;
    const void* buffer = nullptr;
    DWORD length = 0;
    std::uint64_t irp = 0;
    Life* life = nullptr;
    UCHAR endpoint = 0;
  };

  struct Listing {
    GUID guid{};
    std::set<std::u16string> keys;  // device keys listed
  };

  Impl(OsApi& innerOs, CaptureSink& sinkTo, CaptureOptions opts)
      : inner(innerOs), sink(sinkTo), options(std::move(opts)), writer(blocks) {
    if (!options.clockUs) options.clockUs = [this] { return static_cast<std::uint64_t>(inner.GetTickCount()) * 1000; };
    clockStart = options.clockUs();
    out.resize(std::min<std::size_t>(options.flushBytes, 1u << 20) + 4096);
    writing.resize(out.size());
    writer.SectionHeader(options.application);
    writer.InterfaceDescription(kLinkTypeUsbPcap, kSnapLength, 6);
    Store(blocks.data(), blocks.size(), options.startUs);
    blocks.clear();
  }

  std::uint64_t NowUs() { return options.startUs + (options.clockUs() - clockStart); }

  // ------------------------------------------------------------ output (locked)
  // The file is written in large pieces: blocks gather in `out` until
  // `flushBytes` are there, or until a block comes `flushUs` of capture time
  // after the oldest one waiting. The program's own records (a device's
  // arrival, open and removal, the run's start and end) and failed transfers
  // are written at once, with everything before them: a run that dies leaves
  // its file holding what it did until its last second of traffic, and at
  // least until its last device event or failure.
  //
  // The writes run outside the state lock, one at a time and in the order
  // the blocks were made: Flush hands the waiting blocks over to the thread
  // that holds the file (`fileLock`), which writes them once it has let go of
  // the state (Locked); when the file is busy, its holder writes them after
  // its own.
  void Flush() {
    if (used == 0) return;
    if (!fileLock.try_lock()) {
      flushWanted = true;
      return;
    }
    HandOver();
    writeReady = true;
  }
  // (locked, holding the file) The waiting blocks become the ones to write.
  void HandOver() {
    out.swap(writing);
    writingSize = used;
    used = 0;
    flushWanted = false;
  }
  // (unlocked, holding the file) Writes what was handed over, and what was
  // wanted written meanwhile; then lets go of the file.
  [[gnu::noinline]] void WriteOut() {
    const DWORD error = inner.GetLastError();  // the file write must not show in the caller's last error
    for (;;) {
      const bool ok = sink.Write(writing.data(), writingSize);
      std::lock_guard<StateLock> lock(state);
      if (!ok) failed = true;
      if (!flushWanted || used == 0) {
        flushWanted = false;
        fileLock.unlock();
        break;
      }
      HandOver();
    }
    inner.SetLastError(error);
  }

  // The state lock, and the write Flush handed this thread, once it is let go.
  class Locked {
   public:
    [[gnu::always_inline]] explicit Locked(Impl& impl) : impl_(impl) { impl_.state.lock(); }
    [[gnu::always_inline]] ~Locked() {
      const bool write = impl_.writeReady;
      impl_.writeReady = false;
      impl_.state.unlock();
      if (write) impl_.WriteOut();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    Impl& impl_;
  };

  // Room for `size` more bytes at the end of what waits; `nowUs` is the
  // capture time of the block that goes there.
  [[gnu::always_inline]] std::uint8_t* Room(std::size_t size, std::uint64_t nowUs) {
    if (used == 0 || nowUs - oldestUs >= options.flushUs || out.size() - used < size) MakeRoom(size, nowUs);
    return out.data() + used;
  }
  [[gnu::noinline]] void MakeRoom(std::size_t size, std::uint64_t nowUs) {
    if (used != 0 && nowUs - oldestUs >= options.flushUs) Flush();
    if (used == 0) oldestUs = nowUs;
    if (out.size() - used < size) out.resize(used + size);
  }
  // The block just put at Room(size) is complete.
  [[gnu::always_inline]] void Stored(std::size_t size, bool now) {
    used += size;
    ++records;
    if (now || flushWanted || used >= options.flushBytes) Flush();
  }
  void Store(const std::uint8_t* data, std::size_t size, std::uint64_t nowUs) {
    std::memcpy(Room(size, nowUs), data, size);
    used += size;
  }

  // One frame: its USBPcap header (with the data's length), its data and an
  // optional comment, encoded straight into the waiting blocks. A failed
  // transfer, which always has its comment, is written at once.
  void Frame(const UsbPcapHeader& h, const std::uint8_t* data, std::size_t size) {
    if (finished) return;
    const std::size_t headSize = h.stage ? kUsbPcapControlHeaderSize : kUsbPcapHeaderSize;
    const std::size_t blockSize = EnhancedPacketSize(headSize + size, 0);
    const std::uint64_t now = NowUs();
    std::uint8_t* block = Room(blockSize, now);
    std::uint8_t* frame = PutEnhancedPacketStart(block, 0, now, headSize + size, blockSize);
    PutUsbPcapHeader(frame, h, static_cast<std::uint32_t>(size));
    if (size != 0) std::memcpy(frame + headSize, data, size);
    PutEnhancedPacketEnd(block, headSize + size, nullptr, 0, blockSize);
    Stored(blockSize, false);
  }
  // A bulk or interrupt transfer's frame without a comment, most of any
  // capture: the same bytes as Frame, without the header's record.
  [[gnu::always_inline]] void TransferFrame(std::uint64_t irpId, std::uint32_t status, std::uint8_t info,
                                            std::uint16_t device, std::uint8_t endpoint, std::uint8_t transfer,
                                            const std::uint8_t* data, std::size_t size) {
    if (finished) return;
    const std::size_t frameSize = kUsbPcapHeaderSize + size;
    const std::size_t blockSize = EnhancedPacketSize(frameSize, 0);
    const std::uint64_t now = NowUs();
    std::uint8_t* block = Room(blockSize, now);
    std::uint8_t* frame = PutEnhancedPacketStart(block, 0, now, frameSize, blockSize);
    PutUsbPcapTransferHeader(frame, irpId, status, info, kBus, device, endpoint, transfer,
                             static_cast<std::uint32_t>(size));
    if (size != 0) std::memcpy(frame + kUsbPcapHeaderSize, data, size);
    pcapng_detail::Put32(block + blockSize - 4, static_cast<std::uint32_t>(blockSize));
    Stored(blockSize, false);
  }
  [[gnu::noinline]] void Frame(const UsbPcapHeader& h, const std::uint8_t* data, std::size_t size,
                               const std::string& comment) {
    if (finished) return;
    const std::size_t headSize = h.stage ? kUsbPcapControlHeaderSize : kUsbPcapHeaderSize;
    const std::size_t blockSize = EnhancedPacketSize(headSize + size, comment.size());
    const std::uint64_t now = NowUs();
    std::uint8_t* block = Room(blockSize, now);
    std::uint8_t* frame = PutEnhancedPacketStart(block, 0, now, headSize + size, blockSize);
    PutUsbPcapHeader(frame, h, static_cast<std::uint32_t>(size));
    if (size != 0) std::memcpy(frame + headSize, data, size);
    PutEnhancedPacketEnd(block, headSize + size, comment.data(), comment.size(), blockSize);
    Stored(blockSize, h.status != kUsbdSuccess);
  }

  void NoteLocked(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields) {
    if (finished) return;
    std::string text = std::string(kCustomMagic) + kind + "\n";
    for (const auto& [key, value] : fields) text += key + "=" + value + "\n";
    const std::uint64_t now = NowUs();
    text += "time=" + std::to_string(now) + "\n";
    blocks.clear();
    writer.CustomBlock(kCustomBlockPen, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::memcpy(Room(blocks.size(), now), blocks.data(), blocks.size());
    Stored(blocks.size(), true);
  }

  static std::string FailureComment(DWORD error) {
    std::string text = "error " + std::to_string(error);
    if (const char* name = Win32ErrorName(error); *name != 0) text += std::string(" ") + name;
    return text;
  }

  [[gnu::always_inline]] std::uint64_t Submit(const Life& life, UCHAR endpoint, std::uint8_t transfer,
                                              const std::uint8_t* data, std::size_t size) {
    const std::uint64_t irpId = ++irp;
    TransferFrame(irpId, kUsbdSuccess, 0, life.address, endpoint, transfer, data, size);
    return irpId;
  }

  // The completion of a bulk or interrupt transfer; `requested` and `moved`
  // tell a short OUT transfer.
  [[gnu::always_inline]] void Complete(const Life& life, UCHAR endpoint, std::uint8_t transfer, std::uint64_t irpId,
                                       DWORD error, const std::uint8_t* data, std::size_t size,
                                       std::size_t requested = 0, std::size_t moved = 0) {
    if (error == ERROR_SUCCESS && ((endpoint & 0x80) != 0 || moved == requested))
      TransferFrame(irpId, kUsbdSuccess, kInfoCompletion, life.address, endpoint, transfer, data, size);
    else
      CompleteWithComment(life, endpoint, transfer, irpId, error, data, size, requested, moved);
  }
  [[gnu::noinline]] void CompleteWithComment(const Life& life, UCHAR endpoint, std::uint8_t transfer,
                                             std::uint64_t irpId, DWORD error, const std::uint8_t* data,
                                             std::size_t size, std::size_t requested, std::size_t moved) {
    UsbPcapHeader h;
    h.irpId = irpId;
    h.status = error == ERROR_SUCCESS ? kUsbdSuccess : UsbdStatusOf(error);
    h.info = kInfoCompletion;
    h.device = life.address;
    h.bus = kBus;
    h.endpoint = endpoint;
    h.transfer = transfer;
    if (error != ERROR_SUCCESS) {
      const std::string comment = FailureComment(error);
      Frame(h, nullptr, 0, comment);
    } else {
      const std::string comment = "moved " + std::to_string(moved) + " of " + std::to_string(requested) + " bytes";
      Frame(h, data, size, comment);
    }
  }

  // A control transfer: its setup frame, then (after the call) its completion.
  std::uint64_t ControlSetup(const Life& life, const std::uint8_t setup[8], std::uint16_t function,
                             const std::string& comment) {
    UsbPcapHeader h;
    h.irpId = ++irp;
    h.function = function;
    h.device = life.address;
    h.bus = kBus;
    h.endpoint = kControlIn;
    h.transfer = kTransferControl;
    h.stage = kStageSetup;
    if (comment.empty())
      Frame(h, setup, 8);
    else
      Frame(h, setup, 8, comment);
    return h.irpId;
  }
  void ControlComplete(const Life& life, std::uint64_t irpId, DWORD error, const std::uint8_t* data, std::size_t size) {
    UsbPcapHeader h;
    h.irpId = irpId;
    h.status = error == ERROR_SUCCESS ? kUsbdSuccess : UsbdStatusOf(error);
    h.function = kUrbControlTransfer;
    h.info = kInfoCompletion;
    h.device = life.address;
    h.bus = kBus;
    h.endpoint = kControlIn;
    h.transfer = kTransferControl;
    h.stage = kStageComplete;
    if (error == ERROR_SUCCESS) {
      Frame(h, data, size);
    } else {
      const std::string comment = FailureComment(error);
      Frame(h, nullptr, 0, comment);
    }
  }
  void Descriptor(const Life& life, std::uint8_t requestType, std::uint8_t type, std::uint16_t index,
                  const std::vector<std::uint8_t>& bytes) {
    const std::uint8_t setup[8] = {requestType,
                                   6,
                                   0,
                                   type,
                                   static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>(index >> 8),
                                   static_cast<std::uint8_t>(bytes.size()),
                                   static_cast<std::uint8_t>(bytes.size() >> 8)};
    const std::uint64_t id = ControlSetup(
        life, setup, requestType == 0x81 ? kUrbGetDescriptorFromInterface : kUrbGetDescriptorFromDevice, kRebuilt);
    ControlComplete(life, id, ERROR_SUCCESS, bytes.data(), bytes.size());
  }

  // ------------------------------------------------------------ devices (locked)
  Interface& InterfaceAt(const std::u16string& key, const std::u16string* original = nullptr) {
    Interface& i = interfaces[key];
    if (i.path.empty()) {
      i.path = original != nullptr ? *original : key;
      if (key.find(u"\\hid#") != std::u16string::npos) i.kind = Kind::Hid;
    }
    return i;
  }

  bool ClassListed(const GUID& guid) const {
    return std::find(classesListed.begin(), classesListed.end(), guid) != classesListed.end();
  }

  void Seen(Interface& i, std::optional<GUID> guid) {
    if (guid && !i.guid) i.guid = guid;
    if (i.seenUs != 0) return;
    i.seenUs = NowUs();
    i.present = !(guid && ClassListed(*guid));
  }

  const Port* PortOf(USHORT vendorId, USHORT productId, PortKey* key = nullptr) const {
    for (const auto& [k, port] : ports) {
      if (port.info.ConnectionStatus == DeviceConnected && port.info.DeviceDescriptor.idVendor == vendorId &&
          port.info.DeviceDescriptor.idProduct == productId) {
        if (key != nullptr) *key = k;
        return &port;
      }
    }
    return nullptr;
  }

  USHORT StandInAddress() { return nextStandIn++; }

  void Arrival(Life& life, const Interface* i, const PortKey* portKey) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"life", std::to_string(life.id)},
        {"address", std::to_string(life.address)},
        {"address-from", life.standIn ? "stand-in: the run never read it" : "hub connection record"},
        {"vid", Hex4(life.vendorId)},
        {"pid", Hex4(life.productId)},
        {"kind", life.kind == Kind::Hid      ? "hid"
                 : life.kind == Kind::WinUsb ? "winusb"
                                             : "port"},
    };
    if (i != nullptr) {
      fields.push_back({"path", Utf8(i->path)});
      if (i->guid) fields.push_back({"class", GuidText(*i->guid)});
      fields.push_back({"seen", std::to_string(i->seenUs)});
    }
    if (portKey != nullptr) {
      fields.push_back({"hub", Utf8(portKey->first)});
      fields.push_back({"port", std::to_string(portKey->second)});
    }
    const bool present = i == nullptr || i->present;
    NoteLocked(present ? "present" : "arrival", fields);
  }

  void Remove(Life& life, const std::string& reason) {
    if (life.gone) return;
    life.gone = true;
    if (auto it = active.find(life.key); it != active.end() && it->second == &life) active.erase(it);
    NoteLocked("removal",
               {{"life", std::to_string(life.id)}, {"address", std::to_string(life.address)}, {"reason", reason}});
  }

  // The device of an interface path, with its arrival record and descriptors
  // written when it first has traffic.
  Life& LifeFor(const std::u16string& pathKey) {
    Interface& i = InterfaceAt(pathKey);
    const std::u16string key = DeviceKey(pathKey);
    if (auto it = active.find(key); it != active.end()) return *it->second;
    if (i.seenUs == 0) Seen(i, std::nullopt);
    auto life = std::make_unique<Life>();
    life->id = static_cast<int>(lives.size()) + 1;
    life->key = key;
    // The interfaces this system opens are HID collections and WinUSB
    // devices.
    life->kind = i.kind == Kind::Hid ? Kind::Hid : Kind::WinUsb;
    life->vendorId = static_cast<USHORT>(HexAfter(pathKey, u"vid_", 4).value_or(0));
    life->productId = static_cast<USHORT>(HexAfter(pathKey, u"pid_", 4).value_or(0));
    if (i.attributes) {
      life->vendorId = i.attributes->VendorID;
      life->productId = i.attributes->ProductID;
    }
    PortKey portKey;
    const Port* port = PortOf(life->vendorId, life->productId, &portKey);
    life->address = port != nullptr ? port->info.DeviceAddress : StandInAddress();
    life->standIn = port == nullptr;
    Life& l = *life;
    lives.push_back(std::move(life));
    active[key] = &l;
    Arrival(l, &i, port != nullptr ? &portKey : nullptr);
    return l;
  }

  // A device reached through a hub port (the descriptor request): the one
  // with traffic that has the port's ids, or a device of its own.
  Life& PortLife(const PortKey& key) {
    const Port* port = nullptr;
    if (auto it = ports.find(key); it != ports.end()) port = &it->second;
    if (port != nullptr) {
      for (auto& [k, life] : active)
        if (life->vendorId == port->info.DeviceDescriptor.idVendor &&
            life->productId == port->info.DeviceDescriptor.idProduct)
          return *life;
    }
    const std::string number = std::to_string(key.second);
    const std::u16string lifeKey = u"port:" + key.first + u"#" + std::u16string(number.begin(), number.end());
    if (auto it = active.find(lifeKey); it != active.end()) return *it->second;
    auto life = std::make_unique<Life>();
    life->id = static_cast<int>(lives.size()) + 1;
    life->key = lifeKey;
    life->kind = Kind::Port;
    if (port != nullptr) {
      life->vendorId = port->info.DeviceDescriptor.idVendor;
      life->productId = port->info.DeviceDescriptor.idProduct;
      life->address = port->info.DeviceAddress;
    } else {
      life->address = StandInAddress();
      life->standIn = true;
    }
    Life& l = *life;
    lives.push_back(std::move(life));
    active[lifeKey] = &l;
    Arrival(l, nullptr, &key);
    l.described = true;
    if (port != nullptr) Descriptor(l, 0x80, kDescriptorDevice, 0, DeviceDescriptorBytes(port->info.DeviceDescriptor));
    return l;
  }

  void Describe(Life& life) {
    life.described = true;
    const Port* port = PortOf(life.vendorId, life.productId);
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<InterfaceFacts> facts;
    if (life.kind == Kind::Hid) {
      USHORT version = 0;
      // The probed collections of the device, by interface number.
      std::map<int, std::vector<std::pair<int, HidCollectionFacts>>> groups;
      for (const auto& [key, i] : interfaces) {
        if (i.kind != Kind::Hid || DeviceKey(key) != life.key) continue;
        if (i.attributes) version = i.attributes->VersionNumber;
        if (!i.caps) continue;
        HidCollectionFacts c;
        c.usagePage = i.caps->UsagePage;
        c.usage = i.caps->Usage;
        c.inputLength = i.caps->InputReportByteLength;
        c.outputLength = i.caps->OutputReportByteLength;
        c.featureLength = i.caps->FeatureReportByteLength;
        c.reportId = i.reportId;
        if (!c.reportId) {
          if (auto known = options.reportIds.find({c.usagePage, c.usage}); known != options.reportIds.end())
            c.reportId = known->second;
        }
        const int number = static_cast<int>(HexAfter(key, u"&mi_", 2).value_or(0));
        const int collection = static_cast<int>(HexAfter(key, u"&col", 2).value_or(0));
        groups[number].push_back({collection, c});
      }
      // The port's interrupt pipes, handed out from the last interface back.
      std::vector<USB_ENDPOINT_DESCRIPTOR> ins, outs;
      if (port != nullptr) {
        for (const auto& e : port->pipes) {
          if ((e.bmAttributes & 3) != UsbdPipeTypeInterrupt) continue;
          ((e.bEndpointAddress & 0x80) != 0 ? ins : outs).push_back(e);
        }
      } else {
        ins.push_back(USB_ENDPOINT_DESCRIPTOR{7, kDescriptorEndpoint, 0x81, 3, 64, 1});
        outs.push_back(USB_ENDPOINT_DESCRIPTOR{7, kDescriptorEndpoint, 0x01, 3, 64, 1});
      }
      for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
        auto& list = g->second;
        std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        InterfaceFacts f;
        f.number = static_cast<std::uint8_t>(g->first);
        bool output = false;
        for (const auto& [index, c] : list) {
          // A collection whose report id is unknown cannot share a report
          // descriptor with others.
          if (!c.reportId && list.size() > 1) continue;
          f.collections.push_back(c);
          output = output || c.outputLength > 1;
        }
        std::pair<UCHAR, UCHAR> endpoints{0, 0};
        if (!ins.empty()) {
          f.endpoints.push_back(ins.back());
          endpoints.first = ins.back().bEndpointAddress;
          ins.pop_back();
        }
        if (output && !outs.empty()) {
          f.endpoints.push_back(outs.back());
          endpoints.second = outs.back().bEndpointAddress;
          outs.pop_back();
        }
        life.hidEndpoints[g->first] = endpoints;
        facts.insert(facts.begin(), f);
      }
      device =
          port != nullptr ? port->info.DeviceDescriptor : MakeDeviceDescriptor(life.vendorId, life.productId, version);
    } else {
      device = port != nullptr ? port->info.DeviceDescriptor : MakeDeviceDescriptor(life.vendorId, life.productId, 0);
      InterfaceFacts f;
      f.interfaceClass = 0xFF;
      for (const auto& [key, i] : interfaces) {
        if (i.kind != Kind::WinUsb || DeviceKey(key) != life.key) continue;
        if (i.usbInterface) {
          f.number = i.usbInterface->bInterfaceNumber;
          f.interfaceClass = i.usbInterface->bInterfaceClass;
          f.subClass = i.usbInterface->bInterfaceSubClass;
          f.protocol = i.usbInterface->bInterfaceProtocol;
        }
        for (const auto& p : i.pipes)
          f.endpoints.push_back(USB_ENDPOINT_DESCRIPTOR{
              7, kDescriptorEndpoint, p.PipeId, static_cast<UCHAR>(p.PipeType), p.MaximumPacketSize, p.Interval});
      }
      facts.push_back(f);
    }
    Descriptor(life, 0x80, kDescriptorDevice, 0, DeviceDescriptorBytes(device));
    Descriptor(life, 0x80, kDescriptorConfiguration, 0,
               BuildConfigurationDescriptor(facts, port != nullptr ? port->info.CurrentConfigurationValue : 1));
    for (const auto& f : facts)
      if (f.interfaceClass == kInterfaceClassHid)
        Descriptor(life, 0x81, kDescriptorHidReport, f.number, BuildReportDescriptor(f.collections));
  }

  std::pair<UCHAR, UCHAR> HidEndpoints(const Life& life, const std::u16string& pathKey) const {
    const int number = static_cast<int>(HexAfter(pathKey, u"&mi_", 2).value_or(0));
    if (auto it = life.hidEndpoints.find(number); it != life.hidEndpoints.end()) return it->second;
    return {0x81, 0x01};
  }
  // A HID handle's device and endpoints; its device is described by then, so
  // that they stay what they are.
  std::pair<UCHAR, UCHAR> HidEndpoints(Handle& h) {
    if (!h.hidEndpoints) WorkOutHidEndpoints(h);
    return *h.hidEndpoints;
  }
  [[gnu::noinline]] void WorkOutHidEndpoints(Handle& h) { h.hidEndpoints = HidEndpoints(LifeOf(h), h.path); }

  // The transfers in flight: a few at a time.
  Pending* PendingOf(OVERLAPPED* overlapped) {
    for (auto& p : pending)
      if (p.overlapped == overlapped) return &p;
    return nullptr;
  }
  void AddPending(const Pending& p) {
    if (Pending* same = PendingOf(p.overlapped))
      *same = p;
    else
      pending.push_back(p);
  }
  void DropPending(Pending* p) {
    *p = pending.back();
    pending.pop_back();
  }

  std::uint8_t PipeTransfer(Handle& h, UCHAR pipeId) {
    std::uint8_t& known = h.transferOf[PipeSlot(pipeId)];
    if (known == 0) known = PipeTransferOf(h, pipeId);
    return known;
  }
  [[gnu::noinline]] std::uint8_t PipeTransferOf(Handle& h, UCHAR pipeId) {
    // Interfaces stay in the map for the capture's life.
    if (h.interface == nullptr) h.interface = &InterfaceAt(h.path);
    for (const auto& p : h.interface->pipes)
      if (p.PipeId == pipeId) return p.PipeType == UsbdPipeTypeInterrupt ? kTransferInterrupt : kTransferBulk;
    return kTransferBulk;
  }

  void Failed(Life& life, DWORD error) {
    if (error == ERROR_DEVICE_NOT_CONNECTED) Remove(life, "a transfer failed with ERROR_DEVICE_NOT_CONNECTED");
  }

  OsApi& inner;
  CaptureSink& sink;
  CaptureOptions options;
  StateLock state;
  std::mutex fileLock;            // held by the thread that writes
  std::vector<std::uint8_t> out;  // the blocks waiting for the file: its first `used` bytes
  std::size_t used = 0;
  std::vector<std::uint8_t> writing;  // the blocks being written: its first `writingSize` bytes
  std::size_t writingSize = 0;
  bool writeReady = false;           // Flush handed blocks over to the thread in the state lock
  bool flushWanted = false;          // Flush found the file busy
  std::uint64_t oldestUs = 0;        // the capture time of the first of them
  std::vector<std::uint8_t> blocks;  // the writer's, for the blocks other than frames
  PcapngWriter writer;
  std::uint64_t clockStart = 0;
  std::uint64_t irp = 0;
  USHORT nextStandIn = kFirstStandInAddress;
  std::uint32_t records = 0;
  bool finished = false;
  bool failed = false;

  std::map<std::u16string, Interface> interfaces;  // by lower-case path
  std::map<PortKey, Port> ports;
  std::vector<std::unique_ptr<Life>> lives;
  std::map<std::u16string, Life*> active;  // by device key
  Handles<HANDLE> handles;
  std::map<PHIDP_PREPARSED_DATA, std::u16string> preparsed;
  Handles<WINUSB_INTERFACE_HANDLE> winusb;
  std::map<HDEVINFO, Listing> listings;
  std::vector<GUID> classesListed;
  std::vector<Pending> pending;
};

}  // namespace kv27::capture
