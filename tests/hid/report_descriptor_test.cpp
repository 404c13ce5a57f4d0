// The report descriptor parser: lengths as the class driver counts them, per
// top-level collection, and refusals of descriptors it cannot trust.
#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_comm.h"
#include "sim/mouse_layouts.h"
#include "sim/mouse_rig.h"
#include "sim/virtual_mouse.h"

namespace kv27::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Expected {
  std::uint16_t page, usage, in, out, feature;
  std::vector<std::uint8_t> ids;
};

// A boot keyboard: no report ids, 8 input bytes, 5 LED bits and 3 of padding.
const Bytes kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
                         0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
                         0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
                         0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

struct GoodCase {
  const char* name;
  Bytes descriptor;
  bool withIds;
  std::vector<Expected> collections;
};

TEST(ReportDescriptor, LengthsPerTopLevelCollectionAsWindowsCountsThem) {
  const Bytes mouse(std::begin(sim::kMouseReportDescriptor), std::end(sim::kMouseReportDescriptor));
  const std::vector<GoodCase> cases = {
      {"the mouse's four collections",
       mouse,
       true,
       {{0x01, 0x02, 5, 0, 0, {0x01}},
        {0xFFB4, 0x02, 65, 65, 0, {0xB5}},
        {0xFFB4, 0x01, 8, 8, 0, {0xB4}},
        {0x0C, 0x01, 3, 0, 0, {0x03}}}},
      {"a boot keyboard without report ids: the id byte is counted all the same",
       kKeyboard,
       false,
       {{0x01, 0x06, 9, 2, 0, {}}}},
      // Feature reports of two ids: the longest counts; a 4-byte Usage brings
      // its own page; Push/Pop restore the report size; a long item is skipped.
      {"features, extended usage, push and pop, long item",
       {0x0B, 0x01, 0x00, 0xA0, 0xFF, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08, 0x95, 0x03, 0xB1, 0x02, 0xA4, 0x75, 0x20,
        0x95, 0x01, 0x85, 0x07, 0xB1, 0x02, 0xB4, 0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x95, 0x05, 0xB1, 0x02, 0xC0},
       true,
       {{0xFFA0, 0x01, 0, 0, 9, {0x02, 0x07}}}},
      {"odd bit counts round up",
       {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x03, 0x95, 0x03, 0x81, 0x02, 0xC0},
       false,
       {{0xFF00, 0x01, 3, 0, 0, {}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedReportDescriptor parsed = ParseReportDescriptor(c.descriptor.data(), c.descriptor.size());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.usesReportIds, c.withIds);
    ASSERT_EQ(parsed.collections.size(), c.collections.size());
    for (std::size_t i = 0; i < c.collections.size(); ++i) {
      SCOPED_TRACE(i);
      const auto& got = parsed.collections[i];
      const auto& want = c.collections[i];
      EXPECT_EQ(got.usagePage, want.page);
      EXPECT_EQ(got.usage, want.usage);
      EXPECT_EQ(got.inputLength, want.in);
      EXPECT_EQ(got.outputLength, want.out);
      EXPECT_EQ(got.featureLength, want.feature);
      EXPECT_EQ(got.reportIds, want.ids);
    }
  }
}

TEST(ReportDescriptor, RefusesWhatItCannotTrust) {
  Bytes deepPush = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  for (int i = 0; i < 17; ++i) deepPush.push_back(0xA4);
  Bytes deepNest;
  for (int i = 0; i < 33; ++i) deepNest.insert(deepNest.end(), {0x09, 0x01, 0xA1, 0x01});
  Bytes manyTops;
  for (int i = 0; i < 65; ++i) manyTops.insert(manyTops.end(), {0x09, 0x01, 0xA1, 0x01, 0xC0});
  Bytes tooLong(4097, 0x00);
  const struct {
    const char* name;
    Bytes descriptor;
    const char* reason;
  } cases[] = {
      {"empty", {}, "empty descriptor"},
      {"longer than the kernel hands over", tooLong, "longer than 4096"},
      {"an item cut short", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x26, 0xFF}, "truncated item"},
      {"a long item cut short", {0xFE, 0x10, 0x01, 0x00}, "truncated long item"},
      {"report outside a collection", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "outside any collection"},
      {"End Collection first", {0xC0}, "without a collection"},
      {"collection never ended", {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "not ended"},
      {"only globals", {0x05, 0x01, 0x75, 0x08}, "no top-level collection"},
      {"report id 0", {0x09, 0x01, 0xA1, 0x01, 0x85, 0x00, 0xC0}, "report id out of"},
      {"Pop without Push", {0xB4}, "Pop without Push"},
      {"Push without end", deepPush, "Push nested too deep"},
      {"nesting without end", deepNest, "nested too deep"},
      {"too many collections", manyTops, "too many top-level"},
      {"a report larger than a USHORT length",
       {0x09, 0x01, 0xA1, 0x01, 0x75, 0x20, 0x97, 0xFF, 0xFF, 0x00, 0x00, 0x81, 0x02, 0xC0},
       "longer than 65534"},
      {"ids mixed with id-less reports",
       {0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0xC0},
       "without an id"},
      {"one id in two collections",
       {0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x01,
        0x81, 0x02, 0xC0, 0x09, 0x02, 0xA1, 0x01, 0x81, 0x02, 0xC0},
       "in two top-level collections"},
      {"reserved item type", {0x0C}, "reserved item type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedReportDescriptor parsed = ParseReportDescriptor(c.descriptor.data(), c.descriptor.size());
    EXPECT_FALSE(parsed.ok);
    EXPECT_TRUE(parsed.collections.empty());
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << parsed.error;
    EXPECT_EQ(CollectionOfReport(parsed, 0xB4), -1);
  }
}

TEST(ReportDescriptor, ReportsGoToTheCollectionOfTheirId) {
  const ParsedReportDescriptor mouse =
      ParseReportDescriptor(sim::kMouseReportDescriptor, sizeof sim::kMouseReportDescriptor);
  EXPECT_EQ(CollectionOfReport(mouse, 0x01), 0);
  EXPECT_EQ(CollectionOfReport(mouse, 0xB5), 1);
  EXPECT_EQ(CollectionOfReport(mouse, 0xB4), static_cast<int>(sim::kMouseCommandCollection));
  EXPECT_EQ(CollectionOfReport(mouse, 0x03), 3);
  EXPECT_EQ(CollectionOfReport(mouse, 0x42), -1);
  const ParsedReportDescriptor keyboard = ParseReportDescriptor(kKeyboard.data(), kKeyboard.size());
  EXPECT_EQ(CollectionOfReport(keyboard, 0x00), 0);
}

// The virtual mouse's collections report what its descriptor says: the
// simulated world and a real kernel show the same device.
TEST(ReportDescriptor, VirtualMouseCapabilitiesAreItsDescriptors) {
  const ParsedReportDescriptor parsed =
      ParseReportDescriptor(sim::kMouseReportDescriptor, sizeof sim::kMouseReportDescriptor);
  ASSERT_TRUE(parsed.ok);
  sim::World world;
  sim::MouseRig rig(world, {});
  CStdHIDComm hid(world);
  for (std::size_t i = 0; i < parsed.collections.size(); ++i) {
    SCOPED_TRACE(i);
    HIDDeviceCaps caps{};
    ASSERT_TRUE(hid.QueryDeviceCaps(rig.mouse().CollectionPath(i).c_str(), &caps));
    EXPECT_EQ(caps.caps.UsagePage, parsed.collections[i].usagePage);
    EXPECT_EQ(caps.caps.Usage, parsed.collections[i].usage);
    EXPECT_EQ(caps.caps.InputReportByteLength, parsed.collections[i].inputLength);
    EXPECT_EQ(caps.caps.OutputReportByteLength, parsed.collections[i].outputLength);
    EXPECT_EQ(caps.caps.FeatureReportByteLength, parsed.collections[i].featureLength);
  }
}

// The layouts a mouse of the family may have: each interface's descriptor is
// one the class driver takes, with the collections the layout names; the
// command collection (0xFFB4/1, 8 bytes each way, report 0xB4) is on exactly
// one interface, the one marked; interfaces are numbered 0..n-1 in order, as
// a configuration must number them; boot interfaces use no report ids, as the
// boot protocol's reports have none; endpoint addresses are distinct.
TEST(ReportDescriptor, EveryMouseLayoutDeclaresWhatItSays) {
  struct Collection {
    std::uint16_t page, usage, in, out;
  };
  const Collection pointer{0x01, 0x02, 5, 0}, bootKeyboard{0x01, 0x06, 9, 2}, command{0xFFB4, 0x01, 8, 8},
      consumer{0x0C, 0x01, 3, 0};
  const std::vector<std::pair<const char*, std::vector<std::vector<Collection>>>> expected = {
      {"vendor", {{pointer, {0xFFB4, 0x02, 65, 65}, command, consumer}}},
      {"mouse-vendor", {{pointer}, {{0xFFB4, 0x02, 64, 64}, command, consumer}}},
      {"mouse-vendor-keyboard", {{pointer}, {{0xFFB4, 0x02, 64, 64}, command, consumer}, {bootKeyboard}}},
      {"vendor-mouse", {{{0xFFB4, 0x02, 64, 64}, command, consumer}, {pointer}}},
  };
  ASSERT_EQ(sim::MouseLayouts().size(), expected.size());
  EXPECT_EQ(sim::FindMouseLayout("no-such-layout"), nullptr);
  for (const auto& [name, interfaces] : expected) {
    SCOPED_TRACE(name);
    const sim::MouseLayout* layout = sim::FindMouseLayout(name);
    ASSERT_NE(layout, nullptr);
    ASSERT_EQ(layout->interfaces.size(), interfaces.size());
    std::vector<std::uint8_t> endpoints;
    int commandInterfaces = 0;
    for (std::size_t n = 0; n < interfaces.size(); ++n) {
      const sim::HidInterfaceLayout& intf = layout->interfaces[n];
      SCOPED_TRACE(intf.role);
      EXPECT_EQ(intf.number, n);
      const ParsedReportDescriptor parsed =
          ParseReportDescriptor(intf.reportDescriptor.data(), intf.reportDescriptor.size());
      ASSERT_TRUE(parsed.ok) << parsed.error;
      ASSERT_EQ(parsed.collections.size(), interfaces[n].size());
      bool hasCommands = false;
      for (std::size_t i = 0; i < interfaces[n].size(); ++i) {
        const auto& got = parsed.collections[i];
        const auto& want = interfaces[n][i];
        EXPECT_EQ(got.usagePage, want.page) << i;
        EXPECT_EQ(got.usage, want.usage) << i;
        EXPECT_EQ(got.inputLength, want.in) << i;
        EXPECT_EQ(got.outputLength, want.out) << i;
        hasCommands = hasCommands || (got.usagePage == 0xFFB4 && got.usage == 1);
      }
      EXPECT_EQ(hasCommands, intf.commands);
      if (intf.commands) {
        ++commandInterfaces;
        EXPECT_EQ(sim::CommandInterface(*layout), &intf);
        EXPECT_EQ(parsed.collections[CollectionOfReport(parsed, 0xB4)].usage, 1);
      }
      if (intf.subClass == sim::kHidSubClassBoot) {
        EXPECT_FALSE(parsed.usesReportIds);
      }
      EXPECT_EQ(intf.inEndpoint & 0x80, 0x80);
      EXPECT_NE(intf.inMaxPacketSize, 0);
      endpoints.push_back(intf.inEndpoint);
      if (intf.outEndpoint != 0) {
        EXPECT_EQ(intf.outEndpoint & 0x80, 0);
        EXPECT_NE(intf.outMaxPacketSize, 0);
        endpoints.push_back(intf.outEndpoint);
      }
    }
    EXPECT_EQ(commandInterfaces, 1);
    std::sort(endpoints.begin(), endpoints.end());
    EXPECT_EQ(std::adjacent_find(endpoints.begin(), endpoints.end()), endpoints.end()) << "endpoint addresses repeat";
  }
}

}  // namespace
}  // namespace kv27::test
