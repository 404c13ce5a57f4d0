// The bytes of a capture: pcapng blocks, USBPcap headers, the USB and HID
// descriptors a capture carries, and reading them back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/pcapng.h"
#include "capture/usb_descriptors.h"
#include "capture/usbpcap.h"

namespace kv27::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

TEST(Pcapng, BlocksHaveTheirLayoutPaddingAndLengthAtBothEnds) {
  Bytes file;
  PcapngWriter w(file);
  w.SectionHeader("kv");
  w.InterfaceDescription(kLinkTypeUsbPcap, 65535, 6);
  const std::uint8_t packet[] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
  w.EnhancedPacket(0, 0x0000000100000002ull, packet, sizeof packet, "hi");
  const std::uint8_t custom[] = {'K', 'V'};
  w.CustomBlock(kCustomBlockPen, custom, sizeof custom);

  const Bytes expected = FromHex(
      // Section header: type, length 40, byte-order magic, version 1.0,
      // section length -1, shb_userappl "kv" padded, opt_endofopt, length.
      "0A0D0D0A 28000000 4D3C2B1A 0100 0000 FFFFFFFF FFFFFFFF 0400 0200 6B760000 00000000 28000000"
      // Interface: link type 249, snap length 65535, if_tsresol 6, end.
      "01000000 20000000 F900 0000 FFFF0000 0900 0100 06000000 00000000 20000000"
      // Enhanced packet: interface 0, timestamp high and low, 5 bytes
      // captured and on the wire, data padded to 8, opt_comment "hi", end.
      "06000000 34000000 00000000 01000000 02000000 05000000 05000000 AABBCCDD EE000000"
      "0100 0200 68690000 00000000 34000000"
      // Custom block: PEN 32473, data padded to 4.
      "AD0B0000 14000000 D97E0000 4B560000 14000000");
  EXPECT_EQ(Hex(file), Hex(expected));

  std::string error;
  auto read = ReadPcapng(file.data(), file.size(), &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->application, "kv");
  EXPECT_EQ(read->linkType, kLinkTypeUsbPcap);
  EXPECT_EQ(read->tsResolution, 6);
  ASSERT_EQ(read->records.size(), 2u);
  EXPECT_EQ(read->records[0].number, 1u);
  EXPECT_EQ(read->records[0].timestamp, 0x0000000100000002ull);
  EXPECT_EQ(read->records[0].data, Bytes(packet, packet + sizeof packet));
  EXPECT_EQ(read->records[0].comment, "hi");
  // Wireshark numbers custom blocks among the frames.
  EXPECT_EQ(read->records[1].kind, PcapngRecord::Kind::Custom);
  EXPECT_EQ(read->records[1].number, 2u);
  EXPECT_EQ(read->records[1].pen, kCustomBlockPen);
  EXPECT_EQ(read->records[1].data, FromHex("4B560000"));
}

TEST(Pcapng, ReaderRefusesMalformedFiles) {
  Bytes good;
  PcapngWriter w(good);
  w.SectionHeader("kv");
  w.InterfaceDescription(kLinkTypeUsbPcap, 65535, 6);
  const std::uint8_t packet[8] = {};
  w.EnhancedPacket(0, 1, packet, sizeof packet);
  const std::size_t epb = good.size() - 40;  // the packet block: 28 + 8 bytes of data + 4

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* reason;
  };
  const Case cases[] = {
      {"cut short", [](Bytes& b) { b.resize(b.size() - 2); }, "cut short"},
      {"trailing length differs", [](Bytes& b) { b[b.size() - 4] ^= 4; }, "ends with another length"},
      {"captured length beyond the block", [epb](Bytes& b) { b[epb + 20] = 200; }, "claims more bytes"},
      {"no section header", [](Bytes& b) { b[0] = 1; }, "does not start with a section header"},
      {"big-endian section", [](Bytes& b) { std::swap(b[8], b[11]), std::swap(b[9], b[10]); }, "little-endian"},
      {"unknown interface", [epb](Bytes& b) { b[epb + 8] = 1; }, "unknown interface"},
      {"length not a multiple of 4", [epb](Bytes& b) { b[epb + 4] += 1; }, "bad length"},
      // A classic pcap file's header (microsecond times, link type 249), as
      // tcpdump and older tools write it: named, with the way to convert it.
      {"classic pcap", [](Bytes& b) { b = FromHex("D4C3B2A1020004000000000000000000FFFF0000F9000000"); },
       "a classic pcap file, not pcapng; convert it with Wireshark's editcap (editcap -F pcapng"},
      {"empty", [](Bytes& b) { b.clear(); }, "the file is empty"},
      {"a piece of a block after the last",
       [](Bytes& b) {
         b.insert(b.end(), {6, 0, 0, 0, 0x20});
       },
       "cut short"},
      {"a block longer than the file", [epb](Bytes& b) { b[epb + 7] = 0x7F; }, "cut short"},
  };
  for (const auto& c : cases) {
    Bytes bad = good;
    c.damage(bad);
    std::string error;
    EXPECT_FALSE(ReadPcapng(bad.data(), bad.size(), &error)) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
  }
}

TEST(UsbPcap, HeaderIs27BytesOr28WithTheControlStage) {
  UsbPcapHeader bulk;
  bulk.irpId = 0x1122334455667788ull;
  bulk.status = kUsbdCanceled;
  bulk.function = kUrbBulkOrInterruptTransfer;
  bulk.info = kInfoCompletion;
  bulk.bus = 1;
  bulk.device = 0x0105;
  bulk.endpoint = 0x81;
  bulk.transfer = kTransferBulk;
  bulk.dataLength = 64;
  Bytes out;
  AppendUsbPcapHeader(out, bulk);
  EXPECT_EQ(Hex(out), "1B 00 88 77 66 55 44 33 22 11 00 00 01 C0 09 00 01 01 00 05 01 81 03 40 00 00 00");
  // A capture writes most of its headers field by field, in place.
  Bytes inPlace(kUsbPcapControlHeaderSize, 0xEE);
  PutUsbPcapTransferHeader(inPlace.data(), bulk.irpId, bulk.status, bulk.info, bulk.bus, bulk.device, bulk.endpoint,
                           bulk.transfer, bulk.dataLength);
  EXPECT_EQ(Hex(inPlace), Hex(out) + " EE");

  UsbPcapHeader setup;
  setup.irpId = 7;
  setup.function = kUrbGetDescriptorFromDevice;
  setup.device = 5;
  setup.endpoint = 0x80;
  setup.transfer = kTransferControl;
  setup.dataLength = 8;
  setup.stage = kStageSetup;
  out.clear();
  AppendUsbPcapHeader(out, setup);
  EXPECT_EQ(Hex(out), "1C 00 07 00 00 00 00 00 00 00 00 00 00 00 0B 00 00 01 00 05 00 80 02 08 00 00 00 00");

  std::size_t size = 0;
  auto back = ParseUsbPcapHeader(out.data(), out.size(), &size);
  ASSERT_TRUE(back);
  EXPECT_EQ(size, 28u);
  EXPECT_EQ(back->irpId, 7u);
  EXPECT_EQ(back->function, kUrbGetDescriptorFromDevice);
  EXPECT_EQ(back->stage, std::optional<std::uint8_t>(kStageSetup));
  out[0] = 26;
  EXPECT_FALSE(ParseUsbPcapHeader(out.data(), out.size(), &size));
  EXPECT_FALSE(ParseUsbPcapHeader(out.data(), 20, &size));
}

TEST(UsbPcap, StatusesMapBothWays) {
  using namespace w32;
  const std::pair<DWORD, std::uint32_t> pairs[] = {
      {ERROR_SUCCESS, kUsbdSuccess},
      {ERROR_DEVICE_NOT_CONNECTED, kUsbdDeviceGone},
      {ERROR_OPERATION_ABORTED, kUsbdCanceled},
      {ERROR_SEM_TIMEOUT, kUsbdTimeout},
      {ERROR_GEN_FAILURE, kUsbdStallPid},
  };
  for (const auto& [error, status] : pairs) {
    EXPECT_EQ(UsbdStatusOf(error), status) << error;
    EXPECT_EQ(Win32ErrorOf(status), error) << error;
  }
  // No USB counterpart: a failure all the same.
  EXPECT_EQ(UsbdStatusOf(ERROR_ACCESS_DENIED), kUsbdInvalidParameter);
  EXPECT_NE(Win32ErrorOf(0xC0000001), ERROR_SUCCESS);
}

TEST(UsbDescriptors, ReportDescriptorOfTheCommandCollectionAndBack) {
  HidCollectionFacts command;
  command.usagePage = 0xFFB4;
  command.usage = 1;
  command.inputLength = 8;
  command.outputLength = 8;
  command.reportId = 0xB4;
  const Bytes bytes = BuildReportDescriptor({command});
  EXPECT_EQ(Hex(bytes), "06 B4 FF 09 01 A1 01 85 B4 15 00 26 FF 00 75 08 09 01 95 07 81 02 09 01 95 07 91 02 C0");

  auto back = ParseReportDescriptor(bytes.data(), bytes.size());
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  EXPECT_EQ((*back)[0].usagePage, 0xFFB4);
  EXPECT_EQ((*back)[0].usage, 1);
  EXPECT_EQ((*back)[0].inputLength, 8);
  EXPECT_EQ((*back)[0].outputLength, 8);
  EXPECT_EQ((*back)[0].featureLength, 0);
  EXPECT_EQ((*back)[0].reportId, std::optional<std::uint8_t>(0xB4));
}

TEST(UsbDescriptors, ReportLengthsAsTheHidClassDriverCountsThem) {
  // A boot mouse: three buttons and five bits of padding, X and Y, no
  // report id: 3 data bytes, 4 with the id byte.
  const Bytes mouse = FromHex(
      "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02 95 01 75 05 81 03"
      " 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06 C0 C0");
  auto parsed = ParseReportDescriptor(mouse.data(), mouse.size());
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->size(), 1u);
  EXPECT_EQ((*parsed)[0].usagePage, 1);
  EXPECT_EQ((*parsed)[0].usage, 2);
  EXPECT_EQ((*parsed)[0].inputLength, 4);
  EXPECT_FALSE((*parsed)[0].reportId);

  // Several collections with ids; a 65-byte vendor report; push and pop.
  HidCollectionFacts a{0xFFB4, 2, 65, 65, 0, 2};
  HidCollectionFacts b{0x0C, 1, 3, 0, 0, 3};
  Bytes two = BuildReportDescriptor({a, b});
  two.insert(two.begin(), {0xA4});      // push
  two.insert(two.begin() + 1, {0xB4});  // pop
  auto both = ParseReportDescriptor(two.data(), two.size());
  ASSERT_TRUE(both);
  ASSERT_EQ(both->size(), 2u);
  EXPECT_EQ((*both)[0].inputLength, 65);
  EXPECT_EQ((*both)[0].outputLength, 65);
  EXPECT_EQ((*both)[1].usagePage, 0x0C);
  EXPECT_EQ((*both)[1].inputLength, 3);
  EXPECT_EQ((*both)[1].reportId, std::optional<std::uint8_t>(3));

  // Broken ones.
  for (const char* bad : {"A1 01", "C0", "06 B4", "81 02", "B4"}) {
    const Bytes b = FromHex(bad);
    EXPECT_FALSE(ParseReportDescriptor(b.data(), b.size())) << bad;
  }
}

TEST(UsbDescriptors, ConfigurationWithHidAndVendorInterfacesAndBack) {
  InterfaceFacts hid;
  hid.number = 1;
  hid.endpoints = {{7, 5, 0x82, 3, 8, 1}, {7, 5, 0x02, 3, 8, 1}};
  hid.collections = {{0xFFB4, 1, 8, 8, 0, 0xB4}};
  InterfaceFacts vendor;
  vendor.number = 2;
  vendor.interfaceClass = 0xFF;
  vendor.endpoints = {{7, 5, 0x81, 2, 64, 0}};
  const Bytes config = BuildConfigurationDescriptor({hid, vendor}, 1);
  // 9 + (9 + 9 + 2 * 7) + (9 + 7)
  ASSERT_EQ(config.size(), 57u);
  EXPECT_EQ(Hex(Bytes(config.begin(), config.begin() + 9)), "09 02 39 00 02 01 00 80 32");
  // The HID descriptor names the report descriptor's length (29 bytes).
  EXPECT_EQ(Hex(Bytes(config.begin() + 18, config.begin() + 27)), "09 21 11 01 00 01 22 1D 00");

  auto back = ParseConfigurationDescriptor(config.data(), config.size());
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 2u);
  EXPECT_EQ((*back)[0].number, 1);
  EXPECT_EQ((*back)[0].interfaceClass, kInterfaceClassHid);
  ASSERT_EQ((*back)[0].endpoints.size(), 2u);
  EXPECT_EQ((*back)[0].endpoints[1].bEndpointAddress, 0x02);
  EXPECT_EQ((*back)[1].interfaceClass, 0xFF);
  EXPECT_EQ((*back)[1].endpoints[0].wMaxPacketSize, 64);

  Bytes cut = config;
  cut[2] = 200;  // total length beyond the bytes
  EXPECT_FALSE(ParseConfigurationDescriptor(cut.data(), cut.size()));

  const auto device = MakeDeviceDescriptor(0x4E5B, 0x7B05, 0x0100);
  const Bytes deviceBytes = DeviceDescriptorBytes(device);
  EXPECT_EQ(Hex(deviceBytes), "12 01 00 02 00 00 00 40 5B 4E 05 7B 00 01 00 00 00 01");
  auto parsed = ParseDeviceDescriptor(deviceBytes.data(), deviceBytes.size());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->idProduct, 0x7B05);
}

}  // namespace
}  // namespace kv27::capture
