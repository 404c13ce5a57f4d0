// The HID capability records against a collection whose whole description —
// capabilities, their status, and the button and value capability lists with
// counts that need not agree with them — comes from the input. Drives
// OpenByIds (discovery, probe, open) and QueryDeviceCaps, then a write of the
// output report length the device claims.
//
// Input: BYTE flags (bit 0: HidP_GetCaps fails), the 64-byte HIDP_CAPS, then
// for input, output and feature reports a BYTE button-list size and a BYTE
// value-list size (each 0..7), then the list entries' raw bytes in that order
// (zero when the input runs out).
//
// Checks: every list in the record holds exactly the first min(count, 4, list
// size) entries of the device's list and zeros after them (an overrun from one
// list into the next stays inside the record, so AddressSanitizer alone would
// not see it), a failed HidP_GetCaps leaves no capabilities, and no handle is
// left open after Close.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hid/hid_comm.h"
#include "sim/hid_device.h"
#include "sim/world.h"

using namespace kv27;

namespace {

constexpr USHORT kVid = 0x4E5B;
constexpr USHORT kPid = 0x002A;

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_hid_caps: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  template <typename T>
  T Raw() {
    T value{};
    const std::size_t n = std::min(sizeof value, size_);
    std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

sim::HidDescription Describe(Input& in) {
  sim::HidDescription d;
  const std::uint8_t flags = in.Byte();
  d.caps = in.Raw<HIDP_CAPS>();
  if (flags & 1) d.capsStatus = HIDP_STATUS_INVALID_PREPARSED_DATA;
  std::size_t buttons[3], values[3];
  for (int t = 0; t < 3; ++t) {
    buttons[t] = in.Byte() % 8;
    values[t] = in.Byte() % 8;
  }
  for (int t = 0; t < 3; ++t) {
    for (std::size_t i = 0; i < buttons[t]; ++i) d.buttonCaps[t].push_back(in.Raw<HIDP_BUTTON_CAPS>());
    for (std::size_t i = 0; i < values[t]; ++i) d.valueCaps[t].push_back(in.Raw<HIDP_VALUE_CAPS>());
  }
  return d;
}

template <typename Caps>
void CheckList(const Caps* record, USHORT count, const std::vector<Caps>& device, const char* what) {
  const std::size_t filled = std::min<std::size_t>({count, kHidCapsListSize, device.size()});
  static const Caps zero{};
  for (std::size_t i = 0; i < kHidCapsListSize; ++i) {
    const Caps& expected = i < filled ? device[i] : zero;
    Require(std::memcmp(&record[i], &expected, sizeof expected) == 0, what);
  }
}

void CheckRecord(const HIDDeviceCaps& record, const sim::HidDescription& d) {
  Require(record.attributes.VendorID == kVid && record.attributes.ProductID == kPid, "attributes not recorded");
  const HIDP_CAPS none{};
  const HIDP_CAPS& expected = d.capsStatus == HIDP_STATUS_SUCCESS ? d.caps : none;
  Require(std::memcmp(&record.caps, &expected, sizeof expected) == 0, "caps differ from the device's");
  const HIDP_CAPS& c = record.caps;
  CheckList(record.inputButtonCaps, c.NumberInputButtonCaps, d.buttonCaps[HidP_Input], "input button caps");
  CheckList(record.outputButtonCaps, c.NumberOutputButtonCaps, d.buttonCaps[HidP_Output], "output button caps");
  CheckList(record.featureButtonCaps, c.NumberFeatureButtonCaps, d.buttonCaps[HidP_Feature], "feature button caps");
  CheckList(record.inputValueCaps, c.NumberInputValueCaps, d.valueCaps[HidP_Input], "input value caps");
  CheckList(record.outputValueCaps, c.NumberOutputValueCaps, d.valueCaps[HidP_Output], "output value caps");
  CheckList(record.featureValueCaps, c.NumberFeatureValueCaps, d.valueCaps[HidP_Feature], "feature value caps");
}

sim::World& TheWorld() {
  static sim::World* world = new sim::World();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const sim::HidDescription description = Describe(in);
  sim::World& world = TheWorld();
  const std::u16string path = sim::HidInterfacePath(kVid, kPid, 1, 0);
  auto collection = std::make_shared<sim::HidCollection>(kVid, kPid, USHORT{0x0100}, description);
  world.Attach(path, collection, GUID_DEVINTERFACE_HID);
  {
    CStdHIDComm link(world);
    HIDDeviceCaps probe;
    std::memset(&probe, 0xA5, sizeof probe);  // the query must clear what it does not fill
    Require(link.QueryDeviceCaps(path.c_str(), &probe), "the capability query failed");
    CheckRecord(probe, description);

    if (link.OpenByIds(kVid, kPid, 0) == 0) {
      HIDDeviceCaps record{};
      Require(link.GetDeviceCaps(&record), "GetDeviceCaps failed on an open device");
      CheckRecord(record, description);
      Require(link.GetInputReportLength() == record.caps.InputReportByteLength, "input length differs");
      const USHORT outputLength = record.caps.OutputReportByteLength;
      if (outputLength != 0) {
        std::vector<std::uint8_t> report(outputLength, 0x5A);
        DWORD sent = 0;
        link.Write(report.data(), outputLength, &sent, nullptr, 100);
      }
      link.Close();
    }
  }
  world.Detach(path);
  Require(world.OpenHandles().empty(), "a handle is left open");
  return 0;
}
