// The bootloader link against the virtual bootloader: discovery, open and close,
// the packets and blocks on the wire, and the failure paths.
#include <algorithm>
#include <cstring>
#include <functional>

#include "tests/protocol/isp_fixture.h"
#include "tests/support/oversized_detail_world.h"

namespace kv27::test {
namespace {

constexpr std::uint8_t kUntouched = 0xA5;
constexpr DWORD kSentinel = 0xDEADBEEF;

// ------------------------------------------------------------ discovery

TEST(FindIspDevice, NoneOneAndTwoBootloaders) {
  World world;
  std::u16string path = u"unchanged";
  EXPECT_EQ(FindIspDevice(world, path), FALSE);
  EXPECT_EQ(path, u"unchanged");

  // Another class on the bus is not a bootloader.
  auto other = std::make_shared<VirtualBootloader>();
  world.Attach(u"\\\\?\\hid#other", other, GUID_DEVINTERFACE_HID);
  EXPECT_EQ(FindIspDevice(world, path), FALSE);
  EXPECT_EQ(path, u"unchanged");

  auto first = std::make_shared<VirtualBootloader>();
  first->Plug(world, u"\\\\?\\usb#isp#first");
  EXPECT_EQ(FindIspDevice(world, path), TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#first");

  // With two, the first the platform lists wins; the second is never seen.
  auto second = std::make_shared<VirtualBootloader>();
  second->Plug(world, u"\\\\?\\usb#isp#second");
  path.clear();
  EXPECT_EQ(FindIspDevice(world, path), TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#first");

  world.Detach(u"\\\\?\\usb#isp#first");
  EXPECT_EQ(FindIspDevice(world, path), TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#second");
  EXPECT_EQ(world.LeakReport(), "");
}

// A search that takes only some interfaces (the bootloader on one hub port)
// passes over the others in the platform's order; with none taken the path
// stays as it was.
TEST(FindIspDevice, TakesTheFirstInterfaceTheCallerAccepts) {
  World world;
  auto first = std::make_shared<VirtualBootloader>();
  auto second = std::make_shared<VirtualBootloader>();
  first->Plug(world, u"\\\\?\\usb#isp#first");
  second->Plug(world, u"\\\\?\\usb#isp#second");
  std::vector<std::u16string> asked;
  std::u16string path = u"unchanged";
  EXPECT_EQ(FindIspDevice(world, path,
                          [&](const std::u16string& candidate) {
                            asked.push_back(candidate);
                            return candidate.find(u"second") != std::u16string::npos;
                          }),
            TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#second");
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"\\\\?\\usb#isp#first", u"\\\\?\\usb#isp#second"}));

  path = u"unchanged";
  EXPECT_EQ(FindIspDevice(world, path, [](const std::u16string&) { return false; }), FALSE);
  EXPECT_EQ(path, u"unchanged");
  EXPECT_EQ(world.LeakReport(), "");
}

TEST(FindIspDevice, PlatformFailuresEndTheSearch) {
  struct Case {
    const char* call;
    DWORD error;
    unsigned times;  // 0 = every call from the first on
  };
  const Case cases[] = {
      {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, 1},
      {"SetupDiGetDeviceInterfaceDetailW", ERROR_GEN_FAILURE, 0},
      // An enumeration that never reports the end of the list must not hang.
      {"SetupDiEnumDeviceInterfaces", ERROR_GEN_FAILURE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    boot->Plug(world);
    world.InjectFault(sim::Fault{c.call, c.error, 1, c.times, u""});
    std::u16string path = u"unchanged";
    EXPECT_EQ(FindIspDevice(world, path), FALSE);
    EXPECT_EQ(path, u"unchanged");
    EXPECT_EQ(world.LeakReport(), "");
  }
}

TEST(FindIspDevice, SkipsAnInterfaceThatFailsToEnumerate) {
  World world;
  auto first = std::make_shared<VirtualBootloader>();
  auto second = std::make_shared<VirtualBootloader>();
  first->Plug(world, u"\\\\?\\usb#isp#first");
  second->Plug(world, u"\\\\?\\usb#isp#second");
  world.InjectFault(sim::Fault{"SetupDiEnumDeviceInterfaces", ERROR_GEN_FAILURE, 1, 1, u""});
  std::u16string path;
  EXPECT_EQ(FindIspDevice(world, path), TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#second");
  EXPECT_EQ(world.LeakReport(), "");
}

// A detail size no path can need (0xFFFFFFFF wraps the size + 1 to 0) skips
// that interface: nothing is fetched into a buffer too small for it.
TEST(FindIspDevice, AbsurdDetailSizeSkipsTheInterface) {
  OversizedDetailWorld world;
  auto first = std::make_shared<VirtualBootloader>();
  auto second = std::make_shared<VirtualBootloader>();
  first->Plug(world, u"\\\\?\\usb#isp#first");
  second->Plug(world, u"\\\\?\\usb#isp#second");
  world.ReportSize(u"first", 0xFFFFFFFFu);
  std::u16string path;
  EXPECT_EQ(FindIspDevice(world, path), TRUE);
  EXPECT_EQ(path, u"\\\\?\\usb#isp#second");
  for (DWORD size : world.bufferSizes) EXPECT_GE(size, kDeviceInterfaceDetailFixedSize + sizeof(WCHAR));
  EXPECT_EQ(world.LeakReport(), "");
}

// ------------------------------------------------------------ open and close

TEST_F(IspTest, OpenPicksTheBulkPipesAndOpensForOverlappedReadWrite) {
  boot->Plug(world);
  EXPECT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
  EXPECT_EQ(link.lastError, 0u);
  EXPECT_NE(link.deviceHandle, nullptr);
  EXPECT_NE(link.winUsbHandle, nullptr);
  EXPECT_EQ(link.bulkInPipe, 0x81);
  EXPECT_EQ(link.bulkOutPipe, 0x02);
  EXPECT_EQ(std::u16string(link.devicePath), sim::kDefaultBootloaderPath);
  auto open = boot->LastOpen();
  EXPECT_EQ(open.access, 0xC0000000u);
  EXPECT_EQ(open.share, 3u);
  EXPECT_EQ(open.flags, 0x40000080u);
}

TEST_F(IspTest, DoubleOpenKeepsTheFirstAndDoubleCloseReports1011) {
  PlugAndOpen();
  HANDLE first = link.deviceHandle;
  EXPECT_EQ(link.Open(sim::kDefaultBootloaderPath), ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(link.lastError, ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(link.deviceHandle, first);
  EXPECT_EQ(boot->OpenCount(), 1u);
  EXPECT_EQ(link.EraseFlash(), TRUE);  // the first open still works

  EXPECT_EQ(link.Close(), 0u);
  EXPECT_EQ(link.lastError, 0u);
  EXPECT_EQ(link.deviceHandle, nullptr);
  EXPECT_EQ(world.LeakReport(), "");
  EXPECT_EQ(link.Close(), ERROR_CANTOPEN);
  EXPECT_EQ(link.lastError, ERROR_CANTOPEN);

  // Closed links open again.
  EXPECT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
  EXPECT_EQ(link.Close(), 0u);
  EXPECT_EQ(world.LeakReport(), "");
}

// Reopening by the link's own record of the path: the path must be taken
// before the record is cleared.
TEST_F(IspTest, ReopensOnItsOwnDevicePath) {
  PlugAndOpen();
  ASSERT_EQ(link.Close(), 0u);
  EXPECT_EQ(link.Open(link.devicePath), 0u);
  EXPECT_EQ(std::u16string(link.devicePath), sim::kDefaultBootloaderPath);
  EXPECT_EQ(link.EraseFlash(), TRUE);
  EXPECT_EQ(link.Close(), 0u);
  // And once more, from the record the reopen left.
  EXPECT_EQ(link.Open(link.devicePath), 0u);
  EXPECT_EQ(std::u16string(link.devicePath), sim::kDefaultBootloaderPath);
}

TEST_F(IspTest, FailedOpenReturnsThePlatformCodeAndLeavesNothingOpen) {
  struct Case {
    const char* call;
    DWORD error;
    DWORD expected;
  };
  const Case cases[] = {
      {"CreateFileW", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"WinUsb_Initialize", ERROR_NOT_READY, ERROR_NOT_READY},
      {"WinUsb_QueryInterfaceSettings", ERROR_DEV_NOT_EXIST, ERROR_DEV_NOT_EXIST},
      // A failure that leaves no error code behind must not read as success.
      {"CreateFileW", ERROR_SUCCESS, ERROR_GEN_FAILURE},
      {"WinUsb_QueryInterfaceSettings", ERROR_SUCCESS, ERROR_GEN_FAILURE},
  };
  boot->Plug(world);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.call << " " << c.error);
    world.InjectFault(sim::Fault{c.call, c.error, 1, 1, u""});
    EXPECT_EQ(link.Open(sim::kDefaultBootloaderPath), c.expected);
    EXPECT_EQ(link.lastError, c.expected);
    EXPECT_EQ(link.deviceHandle, nullptr);
    EXPECT_EQ(world.LeakReport(), "");
    EXPECT_EQ(link.Close(), ERROR_CANTOPEN);
  }
  // Not attached at all.
  world.Detach(sim::kDefaultBootloaderPath);
  EXPECT_EQ(link.Open(sim::kDefaultBootloaderPath), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(link.deviceHandle, nullptr);
}

TEST_F(IspTest, PathThatDoesNotFitDevicePathIsRefusedBeforeOpening) {
  // 259 units and the terminator fit; the open reaches the platform.
  std::u16string fits(kIspMaxPath - 1, u'x');
  boot->Plug(world, fits);
  EXPECT_EQ(link.Open(fits.c_str()), 0u);
  EXPECT_EQ(std::u16string(link.devicePath), fits);
  EXPECT_EQ(link.Close(), 0u);

  std::u16string tooLong(kIspMaxPath, u'x');
  auto calls = world.CallCount("CreateFileW");
  EXPECT_EQ(link.Open(tooLong.c_str()), kIspErrorPathTooLong);
  EXPECT_EQ(link.lastError, kIspErrorPathTooLong);
  EXPECT_EQ(link.deviceHandle, nullptr);
  EXPECT_EQ(world.CallCount("CreateFileW"), calls);

  EXPECT_EQ(link.Open(nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(IspTest, DestructorReleasesAnOpenLink) {
  boot->Plug(world);
  {
    CKV8B05Comm other(world);
    ASSERT_EQ(other.Open(sim::kDefaultBootloaderPath), 0u);
    EXPECT_NE(world.LeakReport(), "");
  }
  EXPECT_EQ(world.LeakReport(), "");
}

TEST(IspPipes, SelectionAmongMixedPipes) {
  using P = WINUSB_PIPE_INFORMATION;
  struct Case {
    const char* name;
    std::vector<P> pipes;
    UCHAR in, out;
  };
  const Case cases[] = {
      {"bulk among interrupt and isochronous",
       {{UsbdPipeTypeInterrupt, 0x83, 8, 1},
        {UsbdPipeTypeBulk, 0x81, 64, 0},
        {UsbdPipeTypeIsochronous, 0x04, 64, 1},
        {UsbdPipeTypeBulk, 0x02, 64, 0},
        {UsbdPipeTypeInterrupt, 0x05, 8, 1},
        {UsbdPipeTypeIsochronous, 0x86, 64, 1}},
       0x81,
       0x02},
      {"last bulk pipe of a direction wins",
       {{UsbdPipeTypeBulk, 0x81, 64, 0},
        {UsbdPipeTypeBulk, 0x01, 64, 0},
        {UsbdPipeTypeBulk, 0x83, 64, 0},
        {UsbdPipeTypeBulk, 0x04, 64, 0}},
       0x83,
       0x04},
      {"no bulk OUT", {{UsbdPipeTypeBulk, 0x81, 64, 0}, {UsbdPipeTypeInterrupt, 0x02, 8, 1}}, 0x81, 0x00},
      {"no bulk IN", {{UsbdPipeTypeInterrupt, 0x81, 8, 1}, {UsbdPipeTypeBulk, 0x02, 64, 0}}, 0x00, 0x02},
      {"no pipes", {}, 0x00, 0x00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    boot->SetPipes(c.pipes);
    boot->Plug(world);
    CKV8B05Comm link(world);
    ASSERT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
    EXPECT_EQ(link.bulkInPipe, c.in);
    EXPECT_EQ(link.bulkOutPipe, c.out);

    // A direction without a bulk pipe fails every operation that needs it, and
    // nothing goes to a pipe the link did not pick.
    const bool complete = c.in != 0 && c.out != 0;
    EXPECT_EQ(link.EraseFlash(), complete ? TRUE : FALSE);
    EXPECT_EQ(link.VerifyFlash(), c.out != 0 ? TRUE : FALSE);
    for (const auto& t : boot->WireLog()) EXPECT_EQ(t.pipe, t.out ? c.out : c.in);
    EXPECT_EQ(link.Close(), 0u);
    EXPECT_EQ(world.LeakReport(), "");
  }
}

// ------------------------------------------------------------ packets on the wire

TEST_F(IspTest, CommandPacketsOnTheWire) {
  PlugAndOpen();
  ASSERT_EQ(link.EraseFlash(), TRUE);
  ASSERT_EQ(link.VerifyFlash(), TRUE);
  ASSERT_EQ(link.SetReadProtection(), TRUE);
  ASSERT_EQ(link.ExitIsp(), TRUE);
  auto log = boot->WireLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].data, Hex("25 00 00 00 00 00 00 00 FF 00"));
  EXPECT_TRUE(!log[1].out && log[1].requested == 1 && log[1].data == Hex("00"));
  EXPECT_EQ(log[2].data, Hex("2F 00 00 00 00 00 00 00 40 00"));
  EXPECT_EQ(log[3].data, Hex("2C 00 00 00 00 00 00 00 40 00"));
  EXPECT_EQ(log[4].data, Hex("20 00 00 00 00 00 00 00 40 00"));
  EXPECT_TRUE(boot->ReadProtected());
  EXPECT_EQ(boot->VerifyCount(), 1u);

  // Exit ISP takes the device off the bus; the link stays open until Close.
  EXPECT_FALSE(world.IsAttached(sim::kDefaultBootloaderPath));
  EXPECT_NE(link.deviceHandle, nullptr);
  EXPECT_EQ(link.EraseFlash(), FALSE);
  EXPECT_EQ(link.Close(), 0u);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(IspTest, FullWriteSendsThreeTransfersPerBlockAndForcesTheLastFiveBytes) {
  PlugAndOpen();
  auto image = TestImage();
  ASSERT_EQ(link.EraseFlash(), TRUE);
  boot->ClearWireLog();
  DWORD written = kSentinel;
  ASSERT_EQ(link.WriteFlash(image.data(), kIspFlashSize, written), TRUE);
  EXPECT_EQ(written, kIspFlashSize);

  auto log = boot->WireLog();
  ASSERT_EQ(log.size(), 3u * 256);
  for (unsigned block = 0; block < 256; ++block) {
    const auto& packet = log[3 * block];
    const auto& data = log[3 * block + 1];
    const auto& status = log[3 * block + 2];
    ASSERT_TRUE(packet.out && packet.data.size() == 10);
    EXPECT_EQ(packet.data[0], 0x28);
    EXPECT_EQ((packet.data[5] << 8) | packet.data[6], int(block * 64));
    EXPECT_EQ(packet.data[8], 0x40);
    ASSERT_TRUE(data.out && data.data.size() == 64);
    ASSERT_TRUE(!status.out && status.requested == 1);
  }
  EXPECT_EQ(log[3 * (0x1240 / 64)].data, Hex("28 00 00 00 00 12 40 00 40 00"));

  auto flash = boot->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + kIspReservedOffset, flash.begin()));
  for (DWORD i = kIspReservedOffset; i < kIspFlashSize; ++i) EXPECT_EQ(flash[i], 0xFF) << i;
  EXPECT_NE(image[0x3FFB], 0xFF);  // the image itself held other values there
}

TEST_F(IspTest, WriteOfShortLengthsPadsWithFF) {
  struct Case {
    DWORD length;
    size_t blocks;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {64, 1}, {100, 2}};
  auto image = TestImage();
  PlugAndOpen();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ASSERT_EQ(link.EraseFlash(), TRUE);
    boot->ClearWireLog();
    DWORD written = kSentinel;
    EXPECT_EQ(link.WriteFlash(image.data(), c.length, written), TRUE);
    EXPECT_EQ(written, c.length);
    auto out = Direction(boot->WireLog(), true);
    ASSERT_EQ(out.size(), 2 * c.blocks);
    auto flash = boot->Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + c.length, flash.begin()));
    // The filler after the data, and nothing programmed beyond the blocks sent.
    EXPECT_TRUE(std::all_of(flash.begin() + c.length, flash.end(), [](auto b) { return b == 0xFF; }));
    if (c.length == 100) {
      EXPECT_EQ(out[2].data, Hex("28 00 00 00 00 00 40 00 40 00"));
      std::vector<std::uint8_t> second(image.begin() + 64, image.begin() + 100);
      second.resize(64, 0xFF);
      EXPECT_EQ(out[3].data, second);
    }
  }
}

TEST_F(IspTest, ReadDeliversOnlyTheBytesAskedFor) {
  PlugAndOpen();
  auto image = TestImage(7);
  sim::BootloaderFlash contents;
  std::copy(image.begin(), image.end(), contents.begin());
  boot->SetFlash(contents);
  for (DWORD length : {0u, 100u, 0x4000u}) {
    SCOPED_TRACE(length);
    boot->ClearWireLog();
    std::vector<std::uint8_t> buffer(kIspFlashSize + 1, kUntouched);
    DWORD read = kSentinel;
    EXPECT_EQ(link.ReadFlash(buffer.data(), length, read), TRUE);
    EXPECT_EQ(read, length);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + length, buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + length, buffer.end(), [](auto b) { return b == kUntouched; }));
    auto log = boot->WireLog();
    const size_t blocks = (length + 63) / 64;
    ASSERT_EQ(log.size(), 3 * blocks);
    if (blocks > 1) {
      EXPECT_EQ(log[3].data, Hex("2A 00 00 00 00 00 40 00 40 00"));
      EXPECT_EQ(log[4].requested, 64u);
      EXPECT_EQ(log[5].requested, 1u);
    }
  }
}

// ------------------------------------------------------------ failures

TEST_F(IspTest, NonZeroStatusAfterBlockNStopsWithThePreviousBlocksCounted) {
  auto image = TestImage();
  for (unsigned n : {0u, 5u, 255u}) {
    SCOPED_TRACE(n);
    World world;
    auto boot = std::make_shared<VirtualBootloader>();
    boot->Plug(world);
    CKV8B05Comm link(world);
    ASSERT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
    boot->FailStatus(0x28, n);
    boot->FailStatus(0x2A, n);

    DWORD written = kSentinel;
    EXPECT_EQ(link.WriteFlash(image.data(), kIspFlashSize, written), FALSE);
    EXPECT_EQ(written, 64 * n);
    EXPECT_EQ(link.lastError, 0u);  // unchanged by a failed transfer

    std::vector<std::uint8_t> buffer(kIspFlashSize, kUntouched);
    DWORD read = kSentinel;
    EXPECT_EQ(link.ReadFlash(buffer.data(), kIspFlashSize, read), FALSE);
    EXPECT_EQ(read, 64 * n);
    // The failed block's bytes are not delivered.
    EXPECT_TRUE(std::all_of(buffer.begin() + 64 * n, buffer.end(), [](auto b) { return b == kUntouched; }));
    // Nothing was sent after the failing status.
    auto log = boot->WireLog();
    EXPECT_FALSE(log.back().out);
    EXPECT_EQ(log.back().data, Hex("01"));
  }
}

TEST_F(IspTest, EraseFailsOnANonZeroStatus) {
  PlugAndOpen();
  boot->FailStatus(0x25, 0, 0x7F);
  EXPECT_EQ(link.EraseFlash(), FALSE);
}

TEST_F(IspTest, ShortTransfersAreFailures) {
  auto image = TestImage();
  PlugAndOpen();

  // A 10-byte packet that reports 9.
  boot->ShortCommandPacket(1);
  EXPECT_EQ(link.EraseFlash(), FALSE);
  boot->ShortCommandPacket(1);
  EXPECT_EQ(link.ExitIsp(), FALSE);
  EXPECT_TRUE(world.IsAttached(sim::kDefaultBootloaderPath));
  boot->ShortCommandPacket(2);  // the second block's packet
  DWORD written = kSentinel;
  EXPECT_EQ(link.WriteFlash(image.data(), 200, written), FALSE);
  EXPECT_EQ(written, 64u);

  // A status read that reports no byte, though a 0 landed in the buffer.
  boot->ShortStatusRead(1);
  EXPECT_EQ(link.EraseFlash(), FALSE);
  boot->ShortStatusRead(2);  // the second block's status
  written = kSentinel;
  EXPECT_EQ(link.WriteFlash(image.data(), 200, written), FALSE);
  EXPECT_EQ(written, 64u);

  // A 64-byte read that returns 63.
  boot->ShortBlockRead(3);
  std::vector<std::uint8_t> buffer(kIspFlashSize);
  DWORD read = kSentinel;
  EXPECT_EQ(link.ReadFlash(buffer.data(), kIspFlashSize, read), FALSE);
  EXPECT_EQ(read, 128u);
  EXPECT_EQ(boot->WireLog().back().data.size(), 63u);

  // A 64-byte block write that reports 63, though the device took it all
  // (last: the device still has that block's status to send).
  boot->ShortBlockWrite(2);
  written = kSentinel;
  EXPECT_EQ(link.WriteFlash(image.data(), 200, written), FALSE);
  EXPECT_EQ(written, 64u);
  const std::vector<WireTransfer> log = boot->WireLog();
  EXPECT_TRUE(log.back().out);
  EXPECT_EQ(log.back().data.size(), 63u) << "the write stops at the short block, before its status";
}

TEST_F(IspTest, TransferErrorsFromThePlatformAreFailures) {
  PlugAndOpen();
  world.InjectFault(sim::Fault{"WinUsb_ReadPipe", ERROR_GEN_FAILURE, 1, 1, u""});
  EXPECT_EQ(link.EraseFlash(), FALSE);
  world.InjectFault(sim::Fault{"WinUsb_WritePipe", ERROR_GEN_FAILURE, 1, 1, u""});
  EXPECT_EQ(link.SetReadProtection(), FALSE);
  EXPECT_FALSE(boot->ReadProtected());
  EXPECT_EQ(link.lastError, 0u);
}

TEST_F(IspTest, OperationsOnAClosedLinkSetError6AndSendNothing) {
  boot->Plug(world);
  auto image = TestImage();
  std::vector<std::uint8_t> buffer(kIspFlashSize);
  DWORD written = kSentinel, read = kSentinel;
  struct Case {
    const char* name;
    std::function<BOOL()> run;
  };
  const Case cases[] = {
      {"EraseFlash", [&] { return link.EraseFlash(); }},
      {"WriteFlash", [&] { return link.WriteFlash(image.data(), kIspFlashSize, written); }},
      {"ReadFlash", [&] { return link.ReadFlash(buffer.data(), kIspFlashSize, read); }},
      {"VerifyFlash", [&] { return link.VerifyFlash(); }},
      {"SetReadProtection", [&] { return link.SetReadProtection(); }},
      {"ExitIsp", [&] { return link.ExitIsp(); }},
  };
  for (int round = 0; round < 2; ++round) {  // never opened, then opened and closed
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      link.lastError = 0;
      EXPECT_EQ(c.run(), FALSE);
      EXPECT_EQ(link.lastError, ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(written, kSentinel);
    EXPECT_EQ(read, kSentinel);
    EXPECT_TRUE(boot->WireLog().empty());
    ASSERT_EQ(link.Open(sim::kDefaultBootloaderPath), 0u);
    ASSERT_EQ(link.Close(), 0u);
  }
}

TEST_F(IspTest, LengthsTheOffsetFieldCannotAddressAreRefused) {
  PlugAndOpen();
  std::vector<std::uint8_t> big(kIspMaxTransferLength + 64);
  DWORD count = kSentinel;
  EXPECT_EQ(link.WriteFlash(big.data(), kIspMaxTransferLength + 1, count), FALSE);
  EXPECT_EQ(link.lastError, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(link.ReadFlash(big.data(), kIspMaxTransferLength + 1, count), FALSE);
  EXPECT_EQ(link.WriteFlash(nullptr, 1, count), FALSE);
  EXPECT_EQ(link.ReadFlash(nullptr, 1, count), FALSE);
  EXPECT_EQ(count, kSentinel);
  EXPECT_TRUE(boot->WireLog().empty());
}

TEST_F(IspTest, DeviceLeavingInTheMiddleOfAWriteFailsIt) {
  PlugAndOpen();
  auto image = TestImage();
  boot->LeaveDuringWrite(10);
  ASSERT_EQ(link.EraseFlash(), TRUE);
  DWORD written = kSentinel;
  EXPECT_EQ(link.WriteFlash(image.data(), kIspFlashSize, written), FALSE);
  EXPECT_EQ(written, 640u);
  EXPECT_FALSE(world.IsAttached(sim::kDefaultBootloaderPath));
  EXPECT_EQ(link.Close(), 0u);
  EXPECT_EQ(world.LeakReport(), "");
}

TEST_F(IspTest, OpenGivesBothBulkPipesATransferTimeOut) {
  // A bootloader that takes the erase command and never answers: the status
  // read ends after the time-out instead of hanging the caller.
  PlugAndOpen();
  boot->SetEraseDelay(sim::kNeverMs);
  const auto start = world.Now();
  EXPECT_FALSE(link.EraseFlash());
  EXPECT_EQ(world.Now() - start, kIspPipeTimeoutMs);
  EXPECT_EQ(world.CallCount("WinUsb_SetPipePolicy"), 2u);

  // A command packet the device does not take in time fails the same way.
  boot->SetTransferDelay(kIspPipeTimeoutMs + 1);
  EXPECT_FALSE(link.VerifyFlash());
  EXPECT_EQ(boot->VerifyCount(), 1u) << "the device got it, the host gave up";
  EXPECT_EQ(link.Close(), 0u);
  EXPECT_EQ(world.LeakReport(), "");
}

// The WinUSB pipes of the virtual bootloader, driven directly.
class IspPipeModel : public ::testing::Test {
 protected:
  void SetUp() override {
    boot->Plug(world);
    file = world.CreateFileW(sim::kDefaultBootloaderPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(world.WinUsb_Initialize(file, &usb));
  }
  void TearDown() override {
    if (file != nullptr) world.CloseHandle(file);
    world.WinUsb_Free(usb);
    EXPECT_EQ(world.LeakReport(), "");
  }

  World world;
  std::shared_ptr<VirtualBootloader> boot = std::make_shared<VirtualBootloader>();
  HANDLE file = nullptr;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  // Read command for the block at 0x40: 64 data bytes, then the status.
  UCHAR readBlock40[10] = {0x2A, 0, 0, 0, 0, 0x00, 0x40, 0, 0x40, 0};
};

TEST_F(IspPipeModel, ShortReadKeepsTheRestOfThePacketForTheNextRead) {
  const auto flash = boot->Flash();
  ULONG n = 0;
  ASSERT_TRUE(world.WinUsb_WritePipe(usb, 0x02, readBlock40, 10, &n, nullptr));
  UCHAR block[64] = {};
  ASSERT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, block, 16, &n, nullptr));
  EXPECT_EQ(n, 16u);
  ASSERT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, block + 16, 64, &n, nullptr));
  EXPECT_EQ(n, 48u) << "the rest of the packet, and no more";
  EXPECT_TRUE(std::equal(block, block + 64, flash.begin() + 0x40));
  UCHAR status = 0xEE;
  ASSERT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(status, 0);
}

TEST_F(IspPipeModel, InterfaceHandleDiesWithItsFile) {
  ASSERT_TRUE(world.CloseHandle(file));
  file = nullptr;
  ULONG n = 0;
  UCHAR block[64] = {};
  ULONG timeout = 1000;
  EXPECT_FALSE(world.WinUsb_WritePipe(usb, 0x02, readBlock40, 10, &n, nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(world.WinUsb_ReadPipe(usb, 0x81, block, 64, &n, nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(world.WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(boot->WireLog().empty()) << "nothing reached the device";
}

TEST_F(IspPipeModel, TransferTimeOutPolicy) {
  ULONG timeout = 2000;
  // Bad arguments are refused: an unknown pipe, a wrong value size.
  EXPECT_FALSE(world.WinUsb_SetPipePolicy(usb, 0x85, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(world.WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, 1, &timeout));
  EXPECT_EQ(world.GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(world.WinUsb_SetPipePolicy(usb, 0x81, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout));

  // Nothing to read: ERROR_SEM_TIMEOUT after the time-out.
  ULONG n = 0;
  UCHAR status = 0;
  auto start = world.Now();
  EXPECT_FALSE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_EQ(world.Now() - start, 2000u);

  // A status that comes later than the time-out is not lost: the next read
  // gets it once it is there.
  boot->SetEraseDelay(3000);
  UCHAR erase[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0};
  ASSERT_TRUE(world.WinUsb_WritePipe(usb, 0x02, erase, 10, &n, nullptr));
  start = world.Now();
  EXPECT_FALSE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr));
  EXPECT_EQ(world.GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_EQ(n, 0u);
  status = 0xEE;
  EXPECT_TRUE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(world.Now() - start, 3000u);
}

TEST(IspPipeHang, ReadThatNothingAnswersWithoutATimeOutIsReported) {
  // On a PC this call would never return; the world returns and names it.
  World world;
  auto boot = std::make_shared<VirtualBootloader>();
  boot->Plug(world);
  HANDLE file = world.CreateFileW(sim::kDefaultBootloaderPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(world.WinUsb_Initialize(file, &usb));
  ULONG n = 0;
  UCHAR status = 0;
  EXPECT_FALSE(world.WinUsb_ReadPipe(usb, 0x81, &status, 1, &n, nullptr));
  world.WinUsb_Free(usb);
  world.CloseHandle(file);
  EXPECT_NE(world.LeakReport().find("WinUsb_ReadPipe that would never return"), std::string::npos)
      << world.LeakReport();
}

}  // namespace
}  // namespace kv27::test
