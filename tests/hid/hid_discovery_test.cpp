// Opening HID interfaces, their capability records, and the search by ids and
// ordinal.
#include <cstring>

#include "tests/hid/hid_test_support.h"
#include "tests/support/oversized_detail_world.h"

namespace kv27::test {
namespace {

class HidDiscoveryTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(world.LeakReport(), ""); }

  sim::World world;
};

TEST_F(HidDiscoveryTest, OpenAndCloseCodes) {
  auto mouse = MakeCollection();
  const std::u16string path = AttachAt(world, mouse, kVid, kPid, 1);
  CHIDComm hid(world);

  ASSERT_EQ(hid.Open(path.c_str()), 0);
  EXPECT_EQ(hid.lastError, 0);
  ASSERT_NE(hid.device, nullptr);
  EXPECT_NE(hid.ioEvent, nullptr);
  EXPECT_EQ(PathOf(hid.devicePath), path);
  EXPECT_EQ(hid.deviceCaps.attributes.VendorID, kVid);
  EXPECT_EQ(hid.deviceCaps.caps.UsagePage, 0xFFB4);
  EXPECT_EQ(hid.GetInputReportLength(), 8u);
  // A probe for the access rights, the handle itself, and the probe that
  // fills deviceCaps; all overlapped, only the middle one with access.
  const auto opens = mouse->Opens();
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_EQ(opens[0].access, 0u);
  EXPECT_EQ(opens[1].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(opens[2].access, 0u);
  for (const auto& open : opens) EXPECT_EQ(open.flags, FILE_FLAG_OVERLAPPED);

  // Open on an open object changes nothing.
  HANDLE handle = hid.device;
  auto other = MakeCollection(kVid, 0x0042);
  const std::u16string otherPath = AttachAt(world, other, kVid, 0x0042, 0);
  EXPECT_EQ(hid.Open(otherPath.c_str()), 1247);
  EXPECT_EQ(hid.lastError, 1247);
  EXPECT_EQ(hid.device, handle);
  EXPECT_EQ(PathOf(hid.devicePath), path);
  EXPECT_EQ(hid.deviceCaps.attributes.ProductID, kPid);
  EXPECT_TRUE(other->Opens().empty());

  EXPECT_EQ(hid.Close(), 0);
  EXPECT_EQ(hid.device, nullptr);
  EXPECT_EQ(hid.ioEvent, nullptr);
  EXPECT_EQ(hid.Close(), 1011);
  EXPECT_EQ(hid.lastError, 1011);

  // The record outlives Close, the length query does not.
  EXPECT_EQ(hid.deviceCaps.caps.InputReportByteLength, 8);
  EXPECT_EQ(PathOf(hid.devicePath), path);
  EXPECT_EQ(hid.GetInputReportLength(), 0u);
  EXPECT_EQ(hid.lastError, 6);
  HIDDeviceCaps caps{};
  EXPECT_FALSE(hid.GetDeviceCaps(&caps));
  EXPECT_EQ(hid.lastError, 6);

  // And the object opens again, on another path.
  EXPECT_EQ(hid.Open(otherPath.c_str()), 0);
  EXPECT_EQ(hid.deviceCaps.attributes.ProductID, 0x0042);
}

// Reopening by the object's own record of the path, as a caller that kept no
// copy does: the path must be taken before the record is cleared.
TEST_F(HidDiscoveryTest, ReopensOnItsOwnDevicePath) {
  const std::u16string path = AttachAt(world, MakeCollection(), kVid, kPid, 1);
  CHIDComm hid(world);
  ASSERT_EQ(hid.Open(path.c_str()), 0);
  ASSERT_EQ(hid.Close(), 0);

  EXPECT_EQ(hid.Open(hid.devicePath), 0);
  EXPECT_NE(hid.device, nullptr);
  EXPECT_EQ(PathOf(hid.devicePath), path);
  EXPECT_EQ(hid.deviceCaps.attributes.ProductID, kPid);
  hid.Close();
}

TEST_F(HidDiscoveryTest, AccessRightsFollowReportLengths) {
  struct Case {
    USHORT input, output, feature;
    DWORD access;
  };
  const Case cases[] = {
      {8, 8, 0, GENERIC_READ | GENERIC_WRITE},
      {8, 0, 0, GENERIC_READ},
      {0, 8, 0, GENERIC_WRITE},
      {0, 0, 8, 0},  // feature reports play no part
  };
  int mi = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "in " << c.input << " out " << c.output << " feature " << c.feature);
    auto collection = MakeCollection(kVid, kPid, VendorCollection(c.input, c.output, c.feature));
    const std::u16string path = AttachAt(world, collection, kVid, kPid, mi++);
    CHIDComm hid(world);
    ASSERT_EQ(hid.Open(path.c_str()), 0);
    EXPECT_EQ(collection->OpenHandleAccess(), std::vector<DWORD>{c.access});

    // The rights are enforced: a write without GENERIC_WRITE is refused.
    const BYTE report[8] = {0xB4, 0x02};
    const std::int32_t expected = c.output != 0 ? 0 : static_cast<std::int32_t>(ERROR_ACCESS_DENIED);
    EXPECT_EQ(hid.Write(report, c.output != 0 ? c.output : 8, nullptr, nullptr, 1000), expected);
  }
}

TEST_F(HidDiscoveryTest, OpenFailuresLeaveTheObjectClosed) {
  struct Case {
    const char* name;
    sim::Fault fault;
    std::int32_t code;
  };
  const Case cases[] = {
      {"first probe", {"CreateFileW", ERROR_ACCESS_DENIED, 1}, 8},
      {"attributes", {"HidD_GetAttributes", ERROR_GEN_FAILURE, 1}, 8},
      {"preparsed data", {"HidD_GetPreparsedData", ERROR_GEN_FAILURE, 1}, 8},
      {"device handle", {"CreateFileW", ERROR_SHARING_VIOLATION, 2}, 32},
      {"second probe", {"CreateFileW", ERROR_ACCESS_DENIED, 3}, 8},
      {"second attributes", {"HidD_GetAttributes", ERROR_GEN_FAILURE, 2}, 8},
      {"event", {"CreateEventW", ERROR_OUTOFMEMORY, 1}, 14},
  };
  auto mouse = MakeCollection();
  const std::u16string path = AttachAt(world, mouse, kVid, kPid, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    world.ClearFaults();
    world.InjectFault(c.fault);
    CHIDComm hid(world);
    EXPECT_EQ(hid.Open(path.c_str()), c.code);
    EXPECT_EQ(hid.lastError, c.code);
    EXPECT_EQ(hid.device, nullptr);
    EXPECT_EQ(hid.ioEvent, nullptr);
    EXPECT_EQ(world.LeakReport(), "");
  }
  world.ClearFaults();

  CHIDComm hid(world);
  EXPECT_EQ(hid.Open(u"\\\\?\\hid#vid_4e5b&pid_0999#1&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}"), 8);
  EXPECT_EQ(hid.Open(nullptr), 87);
}

TEST_F(HidDiscoveryTest, PathThatDoesNotFitIsRefusedBeforeAnythingOpens) {
  // 259 units fit with the terminator; 260 do not.
  std::u16string fits = sim::HidInterfacePath(kVid, kPid, 1, 0);
  fits += u'#';
  fits.resize(kHidMaxPath - 1, u'x');
  const std::u16string tooLong = fits + u'x';
  world.Attach(fits, MakeCollection(), GUID_DEVINTERFACE_HID);
  world.Attach(tooLong, MakeCollection(), GUID_DEVINTERFACE_HID);

  CHIDComm hid(world);
  const auto before = world.CallCount("CreateFileW");
  EXPECT_EQ(hid.Open(tooLong.c_str()), kHidErrorPathTooLong);
  EXPECT_EQ(hid.device, nullptr);
  EXPECT_EQ(world.CallCount("CreateFileW"), before);

  ASSERT_EQ(hid.Open(fits.c_str()), 0);
  EXPECT_EQ(PathOf(hid.devicePath), fits);
  WCHAR copy[kHidMaxPath];
  hid.GetDevicePath(copy);
  EXPECT_EQ(PathOf(copy), fits);
}

TEST_F(HidDiscoveryTest, CapabilityListsHoldFourEntriesAndFullCounts) {
  sim::HidDescription d = VendorCollection(8, 8, 4);
  for (USAGE u = 1; u <= 6; ++u) sim::AddButtonCaps(d, HidP_Input, sim::MakeButtonCaps(0x09, u, u));
  for (USAGE u = 1; u <= 2; ++u) sim::AddValueCaps(d, HidP_Output, sim::MakeValueCaps(0xFFB4, u, 8, 0, 255));
  sim::AddValueCaps(d, HidP_Feature, sim::MakeValueCaps(0xFFB4, 0x30, 16, 0, 1000));
  auto collection = MakeCollection(kVid, kPid, d);
  const std::u16string path = AttachAt(world, collection, kVid, kPid, 0);

  CHIDComm hid(world);
  hid.lastError = 77;
  HIDDeviceCaps caps;
  std::memset(&caps, 0xCD, sizeof(caps));
  ASSERT_TRUE(hid.QueryDeviceCaps(path.c_str(), &caps));
  EXPECT_EQ(hid.lastError, 77);  // the query never touches it

  EXPECT_EQ(caps.attributes.VendorID, kVid);
  EXPECT_EQ(caps.attributes.ProductID, kPid);
  EXPECT_EQ(caps.attributes.VersionNumber, 0x0100);
  EXPECT_EQ(caps.caps.NumberInputButtonCaps, 6);
  EXPECT_EQ(caps.caps.FeatureReportByteLength, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(caps.inputButtonCaps[i].Range.UsageMin, i + 1) << i;
  EXPECT_EQ(caps.outputValueCaps[0].NotRange.Usage, 1);
  EXPECT_EQ(caps.outputValueCaps[1].NotRange.Usage, 2);
  EXPECT_EQ(caps.featureValueCaps[0].BitSize, 16);

  // Entries beyond the device's count, and empty lists, stay zero.
  const HIDP_VALUE_CAPS zeroValue{};
  const HIDP_BUTTON_CAPS zeroButton{};
  EXPECT_EQ(std::memcmp(&caps.outputValueCaps[2], &zeroValue, sizeof(zeroValue)), 0);
  EXPECT_EQ(std::memcmp(&caps.featureValueCaps[1], &zeroValue, sizeof(zeroValue)), 0);
  EXPECT_EQ(std::memcmp(&caps.inputValueCaps[0], &zeroValue, sizeof(zeroValue)), 0);
  EXPECT_EQ(std::memcmp(&caps.outputButtonCaps[0], &zeroButton, sizeof(zeroButton)), 0);

  // When HidP_GetCaps fails the query still succeeds, with zero capabilities.
  sim::HidDescription broken = d;
  broken.capsStatus = HIDP_STATUS_INVALID_PREPARSED_DATA;
  const std::u16string brokenPath = AttachAt(world, MakeCollection(kVid, kPid, broken), kVid, kPid, 3);
  std::memset(&caps, 0xCD, sizeof(caps));
  ASSERT_TRUE(hid.QueryDeviceCaps(brokenPath.c_str(), &caps));
  EXPECT_EQ(caps.attributes.VendorID, kVid);
  const HIDP_CAPS zeroCaps{};
  EXPECT_EQ(std::memcmp(&caps.caps, &zeroCaps, sizeof(zeroCaps)), 0);
  EXPECT_EQ(std::memcmp(&caps.inputButtonCaps[0], &zeroButton, sizeof(zeroButton)), 0);
  // ... and a device whose capabilities cannot be read opens with access 0.
  ASSERT_EQ(hid.Open(brokenPath.c_str()), 0);
  EXPECT_EQ(hid.GetInputReportLength(), 0u);
  hid.Close();

  // Failures: false, and the probe handle and preparsed data are released
  // (the fixture checks for leaks).
  world.InjectFault({"HidD_GetPreparsedData", ERROR_GEN_FAILURE, 1});
  EXPECT_FALSE(hid.QueryDeviceCaps(path.c_str(), &caps));
  world.InjectFault({"HidD_GetAttributes", ERROR_GEN_FAILURE, 1});
  EXPECT_FALSE(hid.QueryDeviceCaps(path.c_str(), &caps));
}

// Enumeration order: a match, another product, a match whose probe cannot be
// opened, a match whose attributes cannot be read, a match, a match.
class HidSearchTest : public HidDiscoveryTest {
 protected:
  void SetUp() override {
    paths.push_back(AttachAt(world, MakeCollection(), kVid, kPid, 0));
    AttachAt(world, MakeCollection(kVid, 0x0099), kVid, 0x0099, 0);
    const std::u16string unopenable = AttachAt(world, MakeCollection(), kVid, kPid, 2);
    const std::u16string unreadable = AttachAt(world, MakeCollection(), kVid, kPid, 3);
    paths.push_back(AttachAt(world, MakeCollection(), kVid, kPid, 4));
    paths.push_back(AttachAt(world, MakeCollection(), kVid, kPid, 5));
    world.InjectFault({"CreateFileW", ERROR_ACCESS_DENIED, 1, 0, u"mi_02"});
    world.InjectFault({"HidD_GetAttributes", ERROR_GEN_FAILURE, 1, 0, u"mi_03"});
  }

  std::vector<std::u16string> paths;  // the interfaces a search can find, in order
};

TEST_F(HidSearchTest, OrdinalCountsOnlyInterfacesThatCanBeProbed) {
  CStdHIDComm hid(world);
  for (USHORT ordinal = 0; ordinal < 3; ++ordinal) {
    WCHAR out[kHidMaxPath] = {};
    EXPECT_EQ(hid.FindDevicePath(kVid, kPid, ordinal, out), 0) << ordinal;
    EXPECT_EQ(PathOf(out), paths[ordinal]) << ordinal;
  }
  WCHAR out[kHidMaxPath] = u"untouched";
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 3, out), 2);
  EXPECT_EQ(hid.lastError, 2);
  EXPECT_EQ(PathOf(out), u"untouched");
  EXPECT_EQ(hid.FindDevicePath(0x1234, kPid, 0, out), 2);
  EXPECT_EQ(PathOf(out), u"untouched");
  EXPECT_EQ(world.CallCount("SetupDiGetClassDevsW"), world.CallCount("SetupDiDestroyDeviceInfoList"));
}

TEST_F(HidSearchTest, UnsetIdsAreRefusedWithoutEnumerating) {
  CStdHIDComm hid(world);
  const auto searches = world.CallCount("SetupDiGetClassDevsW");
  EXPECT_EQ(hid.OpenByIds(0, kPid, 2), -1);
  EXPECT_EQ(hid.lastError, -1);
  EXPECT_EQ(hid.vendorId, 0);
  EXPECT_EQ(hid.productId, kPid);
  EXPECT_EQ(hid.deviceIndex, 2);
  hid.SetVendorId(kVid);
  hid.SetProductId(0);
  WCHAR out[kHidMaxPath] = u"untouched";
  EXPECT_EQ(hid.FindDevicePath(out), -1);
  EXPECT_EQ(hid.OpenByIds(), -1);
  EXPECT_EQ(world.CallCount("SetupDiGetClassDevsW"), searches);
  EXPECT_EQ(PathOf(out), u"untouched");

  // No list of interfaces at all is -1 too.
  world.InjectFault({"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, 1});
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 0, out), -1);
}

TEST_F(HidSearchTest, OpensRecordIds) {
  // By ids: the ordinal-th match is opened and the stored ids stay.
  CStdHIDComm byIds(world);
  ASSERT_EQ(byIds.OpenByIds(kVid, kPid, 2), 0);
  EXPECT_EQ(PathOf(byIds.devicePath), paths[2]);
  EXPECT_EQ(byIds.deviceIndex, 2);
  EXPECT_EQ(byIds.OpenByIds(), 1247);
  byIds.Close();
  EXPECT_EQ(byIds.OpenByIds(kVid, kPid, 3), 2);
  EXPECT_EQ(byIds.device, nullptr);

  // By path: the device's ids are recorded, the ordinal kept.
  CStdHIDComm byPath(world);
  byPath.SetDeviceIndex(1);
  ASSERT_EQ(byPath.Open(paths[0].c_str()), 0);
  EXPECT_EQ(byPath.vendorId, kVid);
  EXPECT_EQ(byPath.productId, kPid);
  EXPECT_EQ(byPath.deviceIndex, 1);
  // A failed open records nothing.
  CStdHIDComm failed(world);
  EXPECT_EQ(failed.Open(u"\\\\?\\hid#nothing"), 8);
  EXPECT_EQ(failed.vendorId, 0);
  EXPECT_EQ(failed.productId, 0);
}

TEST_F(HidDiscoveryTest, SearchRefusesAMatchingPathThatDoesNotFit) {
  std::u16string longPath = sim::HidInterfacePath(kVid, kPid, 0, 0) + u"#";
  longPath.resize(kHidMaxPath + 20, u'y');
  world.Attach(longPath, MakeCollection(), GUID_DEVINTERFACE_HID);
  const std::u16string second = AttachAt(world, MakeCollection(), kVid, kPid, 1);

  CStdHIDComm hid(world);
  WCHAR out[kHidMaxPath] = u"untouched";
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 0, out), kHidErrorPathTooLong);
  EXPECT_EQ(PathOf(out), u"untouched");
  // It still counts as the first match.
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 1, out), 0);
  EXPECT_EQ(PathOf(out), second);
}

// The search runs on the dialog's thread for every device change: a list
// whose enumeration keeps failing (never reporting its end) must end it, while
// a few failing members in between are only skipped.
TEST_F(HidDiscoveryTest, SearchEndsAfterARunOfEnumerationFailures) {
  AttachAt(world, MakeCollection(), kVid, kPid, 0);
  const std::u16string path = AttachAt(world, MakeCollection(), kVid, kPid, 1);
  struct Case {
    const char* what;
    unsigned failures;  // enumeration calls that fail before the list answers again
    std::int32_t result;
  } cases[] = {
      {"a failing member is skipped", 1, 0},
      {"a long run of failures ends the search", 100000, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    world.ClearFaults();
    world.InjectFault({"SetupDiEnumDeviceInterfaces", ERROR_GEN_FAILURE, 1, c.failures, u""});
    const auto before = world.CallCount("SetupDiEnumDeviceInterfaces");
    CStdHIDComm hid(world);
    WCHAR out[kHidMaxPath] = u"untouched";
    EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 0, out), c.result);
    EXPECT_LT(world.CallCount("SetupDiEnumDeviceInterfaces") - before, 1000u);
    EXPECT_EQ(PathOf(out), c.result == 0 ? path : u"untouched");
  }
  EXPECT_EQ(world.CallCount("SetupDiGetClassDevsW"), world.CallCount("SetupDiDestroyDeviceInfoList"));
}

// A detail size no path can need (0xFFFFFFFF wraps the size + 1 to 0 in a
// 32-bit build) skips that interface: nothing is fetched into a buffer too
// small for it, and the next interface is still found.
TEST(HidSearchDetailSize, AbsurdDetailSizeSkipsTheInterface) {
  OversizedDetailWorld world;
  AttachAt(world, MakeCollection(), kVid, kPid, 0);
  const std::u16string second = AttachAt(world, MakeCollection(), kVid, kPid, 1);
  world.ReportSize(u"mi_00", 0xFFFFFFFFu);

  CStdHIDComm hid(world);
  WCHAR out[kHidMaxPath] = {};
  EXPECT_EQ(hid.FindDevicePath(kVid, kPid, 0, out), 0);
  EXPECT_EQ(PathOf(out), second);
  for (DWORD size : world.bufferSizes) EXPECT_GE(size, kDeviceInterfaceDetailFixedSize + sizeof(WCHAR));
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27::test
