// The USB monitor against a hub driver whose every reply comes from the input:
// root hub names, node information, connection records, external hub names and
// string descriptors.
//
// Input: USHORT vendor id, USHORT product id (what FindDevice looks for), then
// one reply after another, taken in the order the monitor asks:
//   BYTE   mode: 0 success; 1 the call fails (ERROR_GEN_FAILURE, nothing
//          written); 2 ERROR_MORE_DATA with the data written, as the driver's
//          STATUS_BUFFER_OVERFLOW; 3 success with a byte count of its own
//   USHORT data length N, then N data bytes
//   USHORT (mode 3 only) the byte count the driver reports
// When the input runs out every further call fails.
//
// Like the I/O manager for buffered I/O controls, the driver never writes past
// the caller's output buffer and never reports more than its size: a count
// larger than what was written leaves the rest of the buffer as the caller
// passed it in.
//
// Checks for every input: no memory error, every handle closed, and the
// monitor's table holds only device records whose hub is a path it opened.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/world.h"
#include "usbmon/usb_device_monitor.h"

using namespace kv27;

namespace {

constexpr DWORD kErrorMoreData = 234;  // ERROR_MORE_DATA

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_usbmon: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  void Reset(const std::uint8_t* data, std::size_t size) {
    data_ = data;
    size_ = size;
  }
  bool Empty() const { return size_ == 0; }
  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  // Up to n bytes; fewer when the input ends.
  std::size_t Take(std::size_t n, const std::uint8_t** bytes) {
    n = std::min(n, size_);
    *bytes = data_;
    data_ += n;
    size_ -= n;
    return n;
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// One driver behind the controllers and every hub path.
class ScriptedHubDriver : public sim::Device {
 public:
  explicit ScriptedHubDriver(Input* input) : input_(input) {}

  DWORD OnIoctl(sim::FileObject&, DWORD code, const void*, DWORD, void* out, DWORD outSize, DWORD* returned,
                sim::CallEffects&) override {
    *returned = 0;
    if (code != IOCTL_USB_GET_ROOT_HUB_NAME && code != IOCTL_USB_GET_NODE_INFORMATION &&
        code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && code != IOCTL_USB_GET_NODE_CONNECTION_NAME &&
        code != IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION)
      return ERROR_INVALID_FUNCTION;
    if (input_->Empty()) return ERROR_GEN_FAILURE;
    const std::uint8_t mode = input_->Byte() & 3;
    const std::uint8_t* bytes = nullptr;
    const std::size_t length = input_->Take(input_->U16(), &bytes);
    if (mode == 1) return ERROR_GEN_FAILURE;
    const DWORD written = static_cast<DWORD>(std::min<std::size_t>(length, out != nullptr ? outSize : 0));
    if (written != 0) std::memcpy(out, bytes, written);
    DWORD count = written;
    if (mode == 3) count = std::min<DWORD>(input_->U16(), out != nullptr ? outSize : 0);
    *returned = count;
    return mode == 2 ? kErrorMoreData : ERROR_SUCCESS;
  }

 private:
  Input* input_;
};

// Controllers 0 and 3 (a gap between them), a root hub and two external hubs
// under names a reply can give.
constexpr const char16_t* kPaths[] = {u"\\\\.\\HCD0", u"\\\\.\\HCD3", u"\\\\.\\ROOT", u"\\\\.\\HUB1", u"\\\\.\\HUB2"};

struct Fixture {
  Input input;
  sim::World world;
  Fixture() {
    auto driver = std::make_shared<ScriptedHubDriver>(&input);
    for (const char16_t* path : kPaths) world.Attach(path, driver);
  }
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

// Hub paths compare without regard to case, as the object manager does.
bool IsKnownHub(const std::u16string& path) {
  auto fold = [](std::u16string s) {
    for (char16_t& c : s)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
  };
  for (const char16_t* known : kPaths)
    if (fold(path) == fold(known)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& f = TheFixture();
  f.input.Reset(data, size);
  const USHORT vendorId = f.input.U16();
  const USHORT productId = f.input.U16();

  CUSBDeviceMonitor monitor(f.world);
  monitor.Refresh();
  monitor.Refresh();  // the removal pass over what the first walk found, then a second walk

  USBDeviceEntry found;
  if (monitor.FindDevice(vendorId, productId, found) == 1) {
    Require(found.connection != nullptr && !found.hubPath.empty(), "FindDevice returned a free entry");
    (void)monitor.GetDeviceString(&found);
  }
  int asked = 0;
  for (int i = 0; i < CUSBDeviceMonitor::kMaxEntries && asked < 4; ++i) {
    const USBDeviceEntry& entry = monitor.Entry(i);
    if (entry.hubPath.empty()) continue;
    Require(entry.connection != nullptr, "an occupied entry without a record");
    Require(IsKnownHub(entry.hubPath), "an entry's hub path is not one the monitor could open");
    (void)monitor.GetDeviceString(&entry);
    ++asked;
  }
  Require(f.world.OpenHandles().empty(), "a handle is left open");
  return 0;
}
