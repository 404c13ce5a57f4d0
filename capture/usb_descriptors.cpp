#include "capture/usb_descriptors.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kv27::capture {

using namespace w32;

namespace {

// Short items (HID 1.11 section 6.2.2.2): tag and type in the prefix byte,
// 0, 1, 2 or 4 data bytes.
void Item(std::vector<std::uint8_t>& out, std::uint8_t prefix, std::uint32_t value, bool isSigned = false) {
  int size = 1;
  if (isSigned) {
    const auto v = static_cast<std::int32_t>(value);
    size = v >= -128 && v <= 127 ? 1 : v >= -32768 && v <= 32767 ? 2 : 4;
  } else {
    size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4;
  }
  out.push_back(static_cast<std::uint8_t>(prefix | (size == 4 ? 3 : size)));
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

constexpr std::uint8_t kUsagePage = 0x04;
constexpr std::uint8_t kUsage = 0x08;
constexpr std::uint8_t kCollection = 0xA0;
constexpr std::uint8_t kEndCollection = 0xC0;
constexpr std::uint8_t kReportId = 0x84;
constexpr std::uint8_t kLogicalMin = 0x14;
constexpr std::uint8_t kLogicalMax = 0x24;
constexpr std::uint8_t kReportSize = 0x74;
constexpr std::uint8_t kReportCount = 0x94;
constexpr std::uint8_t kInput = 0x80;
constexpr std::uint8_t kOutput = 0x90;
constexpr std::uint8_t kFeature = 0xB0;

}  // namespace

std::vector<std::uint8_t> BuildReportDescriptor(const std::vector<HidCollectionFacts>& collections) {
  std::vector<std::uint8_t> out;
  for (const auto& c : collections) {
    Item(out, kUsagePage, c.usagePage);
    Item(out, kUsage, c.usage);
    Item(out, kCollection, 0x01);  // application
    if (c.reportId) Item(out, kReportId, *c.reportId);
    Item(out, kLogicalMin, 0, true);
    Item(out, kLogicalMax, 0xFF, true);
    Item(out, kReportSize, 8);
    const std::pair<std::uint8_t, USHORT> reports[] = {
        {kInput, c.inputLength}, {kOutput, c.outputLength}, {kFeature, c.featureLength}};
    for (const auto& [main, length] : reports) {
      if (length <= 1) continue;  // the id byte alone: no report of this type
      Item(out, kUsage, c.usage);
      Item(out, kReportCount, static_cast<std::uint32_t>(length - 1));
      Item(out, main, 0x02);  // data, variable, absolute
    }
    out.push_back(kEndCollection);
  }
  return out;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor(const std::vector<InterfaceFacts>& interfaces,
                                                       std::uint8_t configurationValue) {
  std::vector<std::uint8_t> out = {
      9, kDescriptorConfiguration, 0, 0, static_cast<std::uint8_t>(interfaces.size()), configurationValue, 0, 0x80, 50};
  for (const auto& i : interfaces) {
    const std::uint8_t head[] = {
        9,          kDescriptorInterface, i.number, 0, static_cast<std::uint8_t>(i.endpoints.size()), i.interfaceClass,
        i.subClass, i.protocol,           0};
    out.insert(out.end(), head, head + sizeof head);
    if (i.interfaceClass == kInterfaceClassHid) {
      const std::size_t reportLength = BuildReportDescriptor(i.collections).size();
      const std::uint8_t hid[] = {9,
                                  kDescriptorHid,
                                  0x11,
                                  0x01,
                                  0,
                                  1,
                                  kDescriptorHidReport,
                                  static_cast<std::uint8_t>(reportLength),
                                  static_cast<std::uint8_t>(reportLength >> 8)};
      out.insert(out.end(), hid, hid + sizeof hid);
    }
    for (const auto& e : i.endpoints) {
      const std::uint8_t ep[] = {7,
                                 kDescriptorEndpoint,
                                 e.bEndpointAddress,
                                 e.bmAttributes,
                                 static_cast<std::uint8_t>(e.wMaxPacketSize),
                                 static_cast<std::uint8_t>(e.wMaxPacketSize >> 8),
                                 e.bInterval};
      out.insert(out.end(), ep, ep + sizeof ep);
    }
  }
  out[2] = static_cast<std::uint8_t>(out.size());
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

std::vector<std::uint8_t> DeviceDescriptorBytes(const USB_DEVICE_DESCRIPTOR& descriptor) {
  std::vector<std::uint8_t> out(sizeof descriptor);
  std::memcpy(out.data(), &descriptor, sizeof descriptor);
  // The structure is the wire layout, little-endian like every build target.
  out[0] = sizeof descriptor;
  out[1] = kDescriptorDevice;
  return out;
}

USB_DEVICE_DESCRIPTOR MakeDeviceDescriptor(USHORT vendorId, USHORT productId, USHORT bcdDevice) {
  USB_DEVICE_DESCRIPTOR d{};
  d.bLength = sizeof d;
  d.bDescriptorType = kDescriptorDevice;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = 64;
  d.idVendor = vendorId;
  d.idProduct = productId;
  d.bcdDevice = bcdDevice;
  d.bNumConfigurations = 1;
  return d;
}

std::optional<USB_DEVICE_DESCRIPTOR> ParseDeviceDescriptor(const std::uint8_t* data, std::size_t size) {
  USB_DEVICE_DESCRIPTOR d{};
  if (size < sizeof d || data[0] < sizeof d || data[1] != kDescriptorDevice) return std::nullopt;
  std::memcpy(&d, data, sizeof d);
  return d;
}

std::optional<std::vector<InterfaceFacts>> ParseConfigurationDescriptor(const std::uint8_t* data, std::size_t size) {
  if (size < 9 || data[1] != kDescriptorConfiguration) return std::nullopt;
  const std::size_t total = static_cast<std::size_t>(data[2] | data[3] << 8);
  if (total > size) return std::nullopt;
  std::vector<InterfaceFacts> interfaces;
  bool inAlternate = false;  // endpoints of an alternate setting other than 0 are skipped
  for (std::size_t at = data[0]; at < total;) {
    const std::uint8_t length = data[at];
    if (length < 2 || at + length > total) return std::nullopt;
    const std::uint8_t type = data[at + 1];
    if (type == kDescriptorInterface) {
      if (length < 9) return std::nullopt;
      inAlternate = data[at + 3] != 0;
      if (!inAlternate) {
        InterfaceFacts i;
        i.number = data[at + 2];
        i.interfaceClass = data[at + 5];
        i.subClass = data[at + 6];
        i.protocol = data[at + 7];
        interfaces.push_back(i);
      }
    } else if (type == kDescriptorEndpoint && !inAlternate && !interfaces.empty()) {
      if (length < 7) return std::nullopt;
      USB_ENDPOINT_DESCRIPTOR e{};
      e.bLength = 7;
      e.bDescriptorType = kDescriptorEndpoint;
      e.bEndpointAddress = data[at + 2];
      e.bmAttributes = data[at + 3];
      e.wMaxPacketSize = static_cast<USHORT>(data[at + 4] | data[at + 5] << 8);
      e.bInterval = data[at + 6];
      interfaces.back().endpoints.push_back(e);
    }
    at += length;
  }
  return interfaces;
}

std::optional<std::vector<HidCollectionFacts>> ParseReportDescriptor(const std::uint8_t* data, std::size_t size) {
  // Global state (usage page, report id, size, count) with push/pop; the
  // bits of each report id per main item type, per top-level collection.
  struct Globals {
    std::uint32_t usagePage = 0, reportId = 0, reportSize = 0, reportCount = 0;
  };
  Globals g;
  std::vector<Globals> stack;
  std::uint32_t localUsage = 0;
  bool haveLocalUsage = false;
  int depth = 0;
  std::vector<HidCollectionFacts> out;
  std::vector<std::map<std::uint32_t, std::uint32_t>> bits[3];  // per collection: report id -> bits
  for (std::size_t at = 0; at < size;) {
    const std::uint8_t prefix = data[at];
    if (prefix == 0xFE) {  // long item: skipped
      if (at + 2 >= size) return std::nullopt;
      at += 3 + data[at + 1];
      continue;
    }
    const std::size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + n > size) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) value |= static_cast<std::uint32_t>(data[at + 1 + i]) << (8 * i);
    const std::uint8_t tag = prefix & 0xFC;
    at += 1 + n;
    switch (tag) {
      case 0x04:
        g.usagePage = value;
        break;
      case 0x84:
        g.reportId = value;
        break;
      case 0x74:
        g.reportSize = value;
        break;
      case 0x94:
        g.reportCount = value;
        break;
      case 0xA4:
        stack.push_back(g);
        break;
      case 0xB4:
        if (stack.empty()) return std::nullopt;
        g = stack.back();
        stack.pop_back();
        break;
      case 0x08:
        localUsage = value;
        haveLocalUsage = true;
        break;
      case 0xA0:  // collection
        if (depth == 0) {
          HidCollectionFacts c;
          // A 4-byte usage carries its own page in its upper half.
          c.usagePage = static_cast<USAGE>(haveLocalUsage && (localUsage >> 16) != 0 ? localUsage >> 16 : g.usagePage);
          c.usage = static_cast<USAGE>(haveLocalUsage ? localUsage & 0xFFFF : 0);
          out.push_back(c);
          for (auto& b : bits) b.emplace_back();
        }
        ++depth;
        break;
      case 0xC0:
        if (depth == 0) return std::nullopt;
        --depth;
        break;
      case 0x80:
      case 0x90:
      case 0xB0: {
        if (depth == 0 || out.empty()) return std::nullopt;
        const int type = tag == 0x80 ? 0 : tag == 0x90 ? 1 : 2;
        bits[type].back()[g.reportId] += g.reportSize * g.reportCount;
        if (g.reportId != 0) out.back().reportId = static_cast<std::uint8_t>(g.reportId);
        break;
      }
      default:
        break;
    }
    if ((prefix & 0x0C) == 0x00) haveLocalUsage = false;  // local items end with each main item
  }
  if (depth != 0) return std::nullopt;
  // The HID class driver's lengths: the longest report of the type in bytes,
  // plus one byte for the report id (present or not).
  for (std::size_t c = 0; c < out.size(); ++c) {
    USHORT* lengths[3] = {&out[c].inputLength, &out[c].outputLength, &out[c].featureLength};
    for (int type = 0; type < 3; ++type) {
      std::uint32_t longest = 0;
      for (const auto& [id, b] : bits[type][c]) longest = std::max(longest, b);
      *lengths[type] = longest == 0 ? 0 : static_cast<USHORT>((longest + 7) / 8 + 1);
    }
  }
  return out;
}

}  // namespace kv27::capture
