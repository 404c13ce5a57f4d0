#include "capture/capture_os_api.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "capture/pcapng.h"

namespace kv27::capture {

namespace {

// Wide enough for every frame this system captures; longer data is cut.
constexpr std::uint32_t kSnapLength = 65535;
constexpr USHORT kFirstStandInAddress = 100;
constexpr std::uint16_t kBus = 1;
constexpr std::uint8_t kControlIn = 0x80;
constexpr char kRebuilt[] = "rebuilt from what the program read of the device; not seen on the bus";

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

}  // namespace

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

std::u16string Lower(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

std::u16string Terminated(LPCWSTR text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return std::u16string(text, n);
}

// "\\?\..." and "\\.\..." name devices; plain files never do.
bool IsDevicePath(LPCWSTR path) {
  return path != nullptr && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
         path[3] == u'\\';
}

// The value of "<tag>" followed by `digits` hex digits in a (lower-case) path.
std::optional<unsigned> HexAfter(const std::u16string& path, const std::u16string& tag, int digits) {
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

std::vector<std::u16string> Split(const std::u16string& text, char16_t by) {
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
std::u16string DeviceKey(const std::u16string& path) {
  auto parts = Split(path, u'#');
  if (parts.size() < 3) return path;
  if (parts[0].size() >= 3 && parts[0].compare(parts[0].size() - 3, 3, u"hid") == 0) {
    if (auto col = parts[1].find(u"&col"); col != std::u16string::npos) parts[1].erase(col, 6);
    if (auto amp = parts[2].rfind(u'&'); amp != std::u16string::npos) parts[2].erase(amp);
  }
  return parts[0] + u'#' + parts[1] + u'#' + parts[2];
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

}  // namespace

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  unsigned v[11] = {};
  if (text.size() != 38 || std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &v[0], &v[1], &v[2],
                                       &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]) != 11)
    return false;
  guid->Data1 = v[0];
  guid->Data2 = static_cast<std::uint16_t>(v[1]);
  guid->Data3 = static_cast<std::uint16_t>(v[2]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<std::uint8_t>(v[3 + i]);
  return true;
}

// ---------------------------------------------------------------- file sink

DWORD FileCaptureSink::Open() {
  Close();
  file_ = os_.CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    const DWORD error = os_.GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  return ERROR_SUCCESS;
}

bool FileCaptureSink::Write(const std::uint8_t* data, std::size_t size) {
  if (file_ == INVALID_HANDLE_VALUE) return false;
  while (size != 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
    DWORD written = 0;
    if (!os_.WriteFile(file_, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool FileCaptureSink::Close() {
  if (file_ == INVALID_HANDLE_VALUE) return true;
  const BOOL ok = os_.CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  return ok != FALSE;
}

// ---------------------------------------------------------------- state

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

// ---------------------------------------------------------------- the boundary

CaptureOsApi::CaptureOsApi(OsApi& inner, CaptureSink& sink, CaptureOptions options)
    : ForwardingOsApi(inner), impl_(std::make_unique<Impl>(inner, sink, std::move(options))) {}

CaptureOsApi::~CaptureOsApi() { Finish(); }

void CaptureOsApi::Note(const std::string& kind, const std::vector<std::pair<std::string, std::string>>& fields) {
  Impl::Locked lock(*impl_);
  impl_->NoteLocked(kind, fields);
}

bool CaptureOsApi::Finish() {
  // A write under way ends first; the rest is written here.
  std::lock_guard<std::mutex> file(impl_->fileLock);
  bool close = false;
  {
    std::lock_guard<StateLock> lock(impl_->state);
    if (!impl_->finished) {
      impl_->finished = true;
      impl_->HandOver();
      close = true;
    }
  }
  if (close) {
    const DWORD error = inner_.GetLastError();
    bool ok = impl_->writingSize == 0 || impl_->sink.Write(impl_->writing.data(), impl_->writingSize);
    ok = impl_->sink.Close() && ok;
    inner_.SetLastError(error);
    std::lock_guard<StateLock> lock(impl_->state);
    if (!ok) impl_->failed = true;
  }
  std::lock_guard<StateLock> lock(impl_->state);
  return !impl_->failed;
}

std::uint32_t CaptureOsApi::Records() {
  Impl::Locked lock(*impl_);
  return impl_->records;
}

HANDLE CaptureOsApi::CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE handle = inner_.CreateFileW(path, access, share, security, disposition, flags, templateFile);
  if (!IsDevicePath(path)) return handle;
  const bool forIo = path[2] == u'?' && (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
  if (handle == INVALID_HANDLE_VALUE) {
    // A device interface that refuses to open for I/O: the run saw it.
    if (!forIo) return handle;
    const DWORD error = inner_.GetLastError();
    Impl::Locked lock(*impl_);
    if (!impl_->finished) {
      const std::u16string original = Terminated(path, 4096);
      impl_->InterfaceAt(Lower(original), &original);
      Impl::Life& life = impl_->LifeFor(Lower(original));
      impl_->NoteLocked("open", {{"life", std::to_string(life.id)}, {"error", std::to_string(error)}});
    }
    inner_.SetLastError(error);
    return handle;
  }
  Impl::Locked lock(*impl_);
  const std::u16string original = Terminated(path, 4096);
  const std::u16string key = Lower(original);
  Impl::Handle h;
  h.path = key;
  if (path[2] == u'.') {
    h.kind = Impl::Kind::Hub;
  } else {
    Impl::Interface& i = impl_->InterfaceAt(key, &original);
    h.kind = i.kind;
  }
  auto& stored = impl_->handles[handle] = h;
  // A device interface opened for I/O is in the run's use from here, traffic
  // or not. A HID interface is described now; a WinUSB device once its
  // interface has been queried, at its first transfer.
  if (forIo && !impl_->finished) {
    const DWORD error = inner_.GetLastError();
    stored.life = &impl_->LifeFor(key);
    impl_->NoteLocked("open", {{"life", std::to_string(stored.life->id)}, {"error", "0"}});
    if (h.kind == Impl::Kind::Hid) impl_->LifeOf(stored);
    inner_.SetLastError(error);
  }
  return handle;
}

BOOL CaptureOsApi::CloseHandle(HANDLE handle) {
  {
    Impl::Locked lock(*impl_);
    if (impl_->handles.Erase(handle)) {
      // Closing cancels what is still pending on the handle, taken in the
      // order of their OVERLAPPED records.
      std::vector<Impl::Pending> cancelled;
      for (std::size_t i = 0; i < impl_->pending.size();) {
        if (impl_->pending[i].file != handle) {
          ++i;
          continue;
        }
        cancelled.push_back(impl_->pending[i]);
        impl_->DropPending(&impl_->pending[i]);
      }
      std::sort(cancelled.begin(), cancelled.end(), [](const Impl::Pending& a, const Impl::Pending& b) {
        return std::less<const OVERLAPPED*>()(a.overlapped, b.overlapped);
      });
      for (const auto& p : cancelled)
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_OPERATION_ABORTED, nullptr, 0);
    }
  }
  return inner_.CloseHandle(handle);
}

BOOL CaptureOsApi::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped) {
  std::uint64_t irp = 0;
  Impl::Life* life = nullptr;
  UCHAR endpoint = 0;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(file);
    if (h != nullptr && h->kind == Impl::Kind::Hid && !impl_->finished) {
      endpoint = impl_->HidEndpoints(*h).first;
      life = h->life;
      irp = impl_->Submit(*life, endpoint, kTransferInterrupt, nullptr, 0);
      // Registered before the call: the transfer may complete, and another
      // thread learn of it, before this one returns.
      if (overlapped != nullptr) impl_->AddPending({overlapped, file, true, buffer, toRead, irp, life, endpoint});
    }
  }
  const BOOL ok = inner_.ReadFile(file, buffer, toRead, read, overlapped);
  if (life == nullptr) return ok;
  // Only a failure is read and put back: nothing the capture does on success
  // sets the last error (a file write keeps it).
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && overlapped != nullptr && error == ERROR_IO_PENDING) return ok;  // completes later
  {
    Impl::Locked lock(*impl_);
    bool mine = true;
    if (overlapped != nullptr) {
      Impl::Pending* p = impl_->PendingOf(overlapped);
      mine = p != nullptr && p->irp == irp;
      if (mine) impl_->DropPending(p);
    }
    if (mine) {
      if (ok) {
        const DWORD n = read != nullptr ? *read : static_cast<DWORD>(overlapped->InternalHigh);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, ERROR_SUCCESS,
                        static_cast<const std::uint8_t*>(buffer), std::min(n, toRead));
      } else {
        impl_->Failed(*life, error);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, error, nullptr, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped) {
  std::uint64_t irp = 0;
  Impl::Life* life = nullptr;
  UCHAR endpoint = 0;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(file);
    if (h != nullptr && h->kind == Impl::Kind::Hid && !impl_->finished) {
      endpoint = impl_->HidEndpoints(*h).second;
      if (endpoint == 0) endpoint = 0x01;
      life = h->life;
      irp = impl_->Submit(*life, endpoint, kTransferInterrupt, static_cast<const std::uint8_t*>(buffer), toWrite);
      if (overlapped != nullptr) impl_->AddPending({overlapped, file, false, buffer, toWrite, irp, life, endpoint});
    }
  }
  const BOOL ok = inner_.WriteFile(file, buffer, toWrite, written, overlapped);
  if (life == nullptr) return ok;
  // Only a failure is read and put back: nothing the capture does on success
  // sets the last error (a file write keeps it).
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && overlapped != nullptr && error == ERROR_IO_PENDING) return ok;  // completes later
  {
    Impl::Locked lock(*impl_);
    bool mine = true;
    if (overlapped != nullptr) {
      Impl::Pending* p = impl_->PendingOf(overlapped);
      mine = p != nullptr && p->irp == irp;
      if (mine) impl_->DropPending(p);
    }
    if (mine) {
      if (ok) {
        const DWORD n = written != nullptr ? *written : static_cast<DWORD>(overlapped->InternalHigh);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, ERROR_SUCCESS, nullptr, 0, toWrite, n);
      } else {
        impl_->Failed(*life, error);
        impl_->Complete(*life, endpoint, kTransferInterrupt, irp, error, nullptr, 0, toWrite, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, LPDWORD transferred, BOOL wait) {
  const BOOL ok = inner_.GetOverlappedResult(file, overlapped, transferred, wait);
  const DWORD error = ok ? ERROR_SUCCESS : inner_.GetLastError();
  if (!ok && error == ERROR_IO_INCOMPLETE) return ok;  // still running
  {
    Impl::Locked lock(*impl_);
    Impl::Pending* found = impl_->PendingOf(overlapped);
    if (found != nullptr && found->file == file) {
      const Impl::Pending p = *found;
      impl_->DropPending(found);
      const DWORD n = transferred != nullptr ? *transferred : static_cast<DWORD>(overlapped->InternalHigh);
      if (ok && p.read) {
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_SUCCESS,
                        static_cast<const std::uint8_t*>(p.buffer), std::min(n, p.length));
      } else if (ok) {
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, ERROR_SUCCESS, nullptr, 0, p.length, n);
      } else {
        impl_->Failed(*p.life, error);
        impl_->Complete(*p.life, p.endpoint, kTransferInterrupt, p.irp, error, nullptr, 0, p.read ? 0 : p.length, 0);
      }
    }
  }
  if (!ok) inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                   LPDWORD returned, OVERLAPPED* overlapped) {
  std::u16string hub;
  {
    Impl::Locked lock(*impl_);
    Impl::Handle* h = impl_->handles.Find(device);
    if (h != nullptr && h->kind == Impl::Kind::Hub) hub = h->path;
  }
  if (hub.empty()) return inner_.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);

  if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && in != nullptr &&
      inSize >= sizeof(USB_DESCRIPTOR_REQUEST)) {
    USB_DESCRIPTOR_REQUEST request{};
    std::memcpy(&request, in, sizeof request);
    // The hub driver puts a standard GET_DESCRIPTOR on the bus with the
    // request's value, index and length.
    const std::uint8_t setup[8] = {0x80,
                                   6,
                                   static_cast<std::uint8_t>(request.SetupPacket.wValue),
                                   static_cast<std::uint8_t>(request.SetupPacket.wValue >> 8),
                                   static_cast<std::uint8_t>(request.SetupPacket.wIndex),
                                   static_cast<std::uint8_t>(request.SetupPacket.wIndex >> 8),
                                   static_cast<std::uint8_t>(request.SetupPacket.wLength),
                                   static_cast<std::uint8_t>(request.SetupPacket.wLength >> 8)};
    Impl::Life* life = nullptr;
    std::uint64_t irp = 0;
    {
      Impl::Locked lock(*impl_);
      if (!impl_->finished) {
        const ULONG connection = request.ConnectionIndex;  // out of a byte-packed record
        life = &impl_->PortLife({hub, connection});
        irp = impl_->ControlSetup(*life, setup, kUrbGetDescriptorFromDevice, {});
      }
    }
    DWORD got = 0;
    const BOOL ok = inner_.DeviceIoControl(device, code, in, inSize, out, outSize, &got, overlapped);
    if (returned != nullptr) *returned = got;
    const DWORD error = inner_.GetLastError();
    if (life != nullptr) {
      Impl::Locked lock(*impl_);
      const DWORD header = sizeof(USB_DESCRIPTOR_REQUEST);
      const DWORD n = ok && out != nullptr && got > header && outSize > header ? std::min(got, outSize) - header : 0;
      if (ok) {
        impl_->ControlComplete(*life, irp, ERROR_SUCCESS, static_cast<const std::uint8_t*>(out) + header, n);
      } else {
        impl_->Failed(*life, error);
        impl_->ControlComplete(*life, irp, error != 0 ? error : ERROR_GEN_FAILURE, nullptr, 0);
      }
    }
    inner_.SetLastError(error);
    return ok;
  }

  DWORD got = 0;
  const BOOL ok = inner_.DeviceIoControl(device, code, in, inSize, out, outSize, &got, overlapped);
  if (returned != nullptr) *returned = got;
  if (ok && code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && out != nullptr &&
      got >= sizeof(USB_NODE_CONNECTION_INFORMATION) && outSize >= got) {
    const DWORD error = inner_.GetLastError();
    Impl::Locked lock(*impl_);
    Impl::Port port;
    std::memcpy(&port.info, out, sizeof port.info);
    const auto* bytes = static_cast<const std::uint8_t*>(out);
    const DWORD room = (got - sizeof(USB_NODE_CONNECTION_INFORMATION)) / sizeof(USB_PIPE_INFO);
    // The record is byte-packed: its fields are copied out, never bound to a
    // reference (std::min, a pair's constructor).
    const DWORD openPipes = port.info.NumberOfOpenPipes;
    const ULONG connection = port.info.ConnectionIndex;
    const DWORD pipes = std::min<DWORD>(openPipes, room);
    for (DWORD p = 0; p < pipes; ++p) {
      USB_PIPE_INFO info{};
      std::memcpy(&info, bytes + sizeof(USB_NODE_CONNECTION_INFORMATION) + p * sizeof(USB_PIPE_INFO), sizeof info);
      port.pipes.push_back(info.EndpointDescriptor);
    }
    impl_->ports[{hub, connection}] = port;
    inner_.SetLastError(error);
  }
  return ok;
}

HDEVINFO CaptureOsApi::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags) {
  HDEVINFO set = inner_.SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
  if (set != INVALID_HANDLE_VALUE && classGuid != nullptr) {
    Impl::Locked lock(*impl_);
    impl_->listings[set] = Impl::Listing{*classGuid, {}};
  }
  return set;
}

BOOL CaptureOsApi::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devInfo, const GUID* classGuid,
                                               DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  const BOOL ok = inner_.SetupDiEnumDeviceInterfaces(set, devInfo, classGuid, index, data);
  if (ok) return ok;
  const DWORD error = inner_.GetLastError();
  if (error == ERROR_NO_MORE_ITEMS) {
    // A whole listing: a device of the class with traffic that is not in it
    // has gone.
    Impl::Locked lock(*impl_);
    auto it = impl_->listings.find(set);
    if (it != impl_->listings.end()) {
      std::vector<Impl::Life*> gone;
      for (auto& [key, life] : impl_->active) {
        if (it->second.keys.count(key) != 0) continue;
        bool ofClass = false;
        for (const auto& [path, i] : impl_->interfaces)
          if (i.guid && *i.guid == it->second.guid && DeviceKey(path) == key) ofClass = true;
        if (ofClass) gone.push_back(life);
      }
      for (auto* life : gone) impl_->Remove(*life, "no longer listed by SetupAPI");
    }
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                                    DWORD* requiredSize, SP_DEVINFO_DATA* devInfo) {
  const BOOL ok = inner_.SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, devInfo);
  if (!ok || detail == nullptr || detailSize <= kDeviceInterfaceDetailFixedSize) return ok;
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    auto it = impl_->listings.find(set);
    const std::size_t units = (detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    const std::u16string original = Terminated(detail->DevicePath, units);
    const std::u16string key = Lower(original);
    Impl::Interface& i = impl_->InterfaceAt(key, &original);
    if (it != impl_->listings.end()) {
      it->second.keys.insert(DeviceKey(key));
      impl_->Seen(i, it->second.guid);
    } else {
      impl_->Seen(i, std::nullopt);
    }
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  {
    Impl::Locked lock(*impl_);
    if (auto it = impl_->listings.find(set); it != impl_->listings.end()) {
      if (!impl_->ClassListed(it->second.guid)) impl_->classesListed.push_back(it->second.guid);
      impl_->listings.erase(it);
    }
  }
  return inner_.SetupDiDestroyDeviceInfoList(set);
}

BOOLEAN CaptureOsApi::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
  const BOOLEAN ok = inner_.HidD_GetAttributes(device, attributes);
  if (ok && attributes != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) impl_->InterfaceAt(h->path).attributes = *attributes;
  }
  return ok;
}

BOOLEAN CaptureOsApi::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  const BOOLEAN ok = inner_.HidD_GetPreparsedData(device, data);
  if (ok && data != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) impl_->preparsed[*data] = h->path;
  }
  return ok;
}

BOOLEAN CaptureOsApi::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  {
    Impl::Locked lock(*impl_);
    impl_->preparsed.erase(data);
  }
  return inner_.HidD_FreePreparsedData(data);
}

NTSTATUS CaptureOsApi::HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
  const NTSTATUS status = inner_.HidP_GetCaps(data, caps);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end()) impl_->InterfaceAt(p->second).caps = *caps;
  }
  return status;
}

NTSTATUS CaptureOsApi::HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                  USAGE usage, HIDP_BUTTON_CAPS* caps, USHORT* length,
                                                  PHIDP_PREPARSED_DATA data) {
  const NTSTATUS status = inner_.HidP_GetSpecificButtonCaps(type, usagePage, linkCollection, usage, caps, length, data);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr && length != nullptr && *length != 0 && caps[0].ReportID != 0) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end())
      impl_->InterfaceAt(p->second).reportId = caps[0].ReportID;
  }
  return status;
}

NTSTATUS CaptureOsApi::HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                                 USAGE usage, HIDP_VALUE_CAPS* caps, USHORT* length,
                                                 PHIDP_PREPARSED_DATA data) {
  const NTSTATUS status = inner_.HidP_GetSpecificValueCaps(type, usagePage, linkCollection, usage, caps, length, data);
  if (status == HIDP_STATUS_SUCCESS && caps != nullptr && length != nullptr && *length != 0 && caps[0].ReportID != 0) {
    Impl::Locked lock(*impl_);
    if (auto p = impl_->preparsed.find(data); p != impl_->preparsed.end())
      impl_->InterfaceAt(p->second).reportId = caps[0].ReportID;
  }
  return status;
}

BOOL CaptureOsApi::WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) {
  const BOOL ok = inner_.WinUsb_Initialize(device, handle);
  if (ok && handle != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* h = impl_->handles.Find(device)) {
      Impl::Handle& w = impl_->winusb[*handle];
      w = Impl::Handle{};
      w.path = h->path;
      w.kind = Impl::Kind::WinUsb;
      impl_->InterfaceAt(h->path).kind = Impl::Kind::WinUsb;
      h->kind = Impl::Kind::WinUsb;
    }
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  {
    Impl::Locked lock(*impl_);
    impl_->winusb.Erase(handle);
  }
  return inner_.WinUsb_Free(handle);
}

BOOL CaptureOsApi::WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting,
                                                 USB_INTERFACE_DESCRIPTOR* descriptor) {
  const BOOL ok = inner_.WinUsb_QueryInterfaceSettings(handle, alternateSetting, descriptor);
  if (ok && alternateSetting == 0 && descriptor != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* w = impl_->winusb.Find(handle)) impl_->InterfaceAt(w->path).usbInterface = *descriptor;
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternateSetting, UCHAR pipeIndex,
                                    WINUSB_PIPE_INFORMATION* pipe) {
  const BOOL ok = inner_.WinUsb_QueryPipe(handle, alternateSetting, pipeIndex, pipe);
  if (ok && alternateSetting == 0 && pipe != nullptr) {
    Impl::Locked lock(*impl_);
    if (Impl::Handle* w = impl_->winusb.Find(handle)) {
      auto& pipes = impl_->InterfaceAt(w->path).pipes;
      auto same = std::find_if(pipes.begin(), pipes.end(), [&](const auto& p) { return p.PipeId == pipe->PipeId; });
      if (same != pipes.end())
        *same = *pipe;
      else
        pipes.push_back(*pipe);
      // The transfer types the handles worked out may have changed.
      for (auto& [key, other] : impl_->winusb.all()) other.transferOf = {};
    }
  }
  return ok;
}

BOOL CaptureOsApi::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                    PULONG transferred, OVERLAPPED* overlapped) {
  // The system moves pipe data synchronously only; an overlapped pipe
  // transfer passes uncaptured.
  Impl::Life* life = nullptr;
  std::uint64_t irp = 0;
  std::uint8_t transfer = kTransferBulk;
  if (overlapped == nullptr) {
    Impl::Locked lock(*impl_);
    Impl::Handle* w = impl_->winusb.Find(handle);
    if (w != nullptr && !impl_->finished) {
      life = &impl_->LifeOf(*w);
      transfer = impl_->PipeTransfer(*w, pipeId);
      irp = impl_->Submit(*life, pipeId, transfer, buffer, buffer != nullptr ? length : 0);
    }
  }
  ULONG moved = 0;
  const BOOL ok = inner_.WinUsb_WritePipe(handle, pipeId, buffer, length, &moved, overlapped);
  if (transferred != nullptr) *transferred = moved;
  if (life == nullptr) return ok;
  if (ok) {
    // A completion calls nothing that sets the last error (a file write keeps
    // it): the inner call's stays.
    Impl::Locked lock(*impl_);
    impl_->Complete(*life, pipeId, transfer, irp, ERROR_SUCCESS, nullptr, 0, length, moved);
    return ok;
  }
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    impl_->Failed(*life, error);
    impl_->Complete(*life, pipeId, transfer, irp, error, nullptr, 0, length, 0);
  }
  inner_.SetLastError(error);
  return ok;
}

BOOL CaptureOsApi::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                                   PULONG transferred, OVERLAPPED* overlapped) {
  Impl::Life* life = nullptr;
  std::uint64_t irp = 0;
  std::uint8_t transfer = kTransferBulk;
  if (overlapped == nullptr) {
    Impl::Locked lock(*impl_);
    Impl::Handle* w = impl_->winusb.Find(handle);
    if (w != nullptr && !impl_->finished) {
      life = &impl_->LifeOf(*w);
      transfer = impl_->PipeTransfer(*w, pipeId);
      irp = impl_->Submit(*life, pipeId, transfer, nullptr, 0);
    }
  }
  ULONG moved = 0;
  const BOOL ok = inner_.WinUsb_ReadPipe(handle, pipeId, buffer, length, &moved, overlapped);
  if (transferred != nullptr) *transferred = moved;
  if (life == nullptr) return ok;
  if (ok) {
    Impl::Locked lock(*impl_);
    impl_->Complete(*life, pipeId, transfer, irp, ERROR_SUCCESS, buffer,
                    buffer != nullptr ? std::min<ULONG>(moved, length) : 0);
    return ok;
  }
  const DWORD error = inner_.GetLastError();
  {
    Impl::Locked lock(*impl_);
    impl_->Failed(*life, error);
    impl_->Complete(*life, pipeId, transfer, irp, error, buffer, 0);
  }
  inner_.SetLastError(error);
  return ok;
}

}  // namespace kv27::capture
