// The virtual mouse on its hub port: its collections, its string requests,
// the way into its bootloader and back, its unasked reports and faults.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "protocol/isp_flash.h"
#include "protocol/kv8b05_comm.h"
#include "tests/protocol/mouse_fixture.h"
#include "usbmon/usb_device_monitor.h"

namespace kv27::test {
namespace {

// The dialog's search: the first HID interface with the command collection's
// usage and report lengths and the mouse's ids.
std::u16string FindCommandInterface(sim::World& world) {
  CStdHIDComm probe(world);
  for (USHORT ordinal = 0; ordinal < 16; ++ordinal) {
    WCHAR path[kHidMaxPath] = {};
    if (probe.FindDevicePath(sim::kMouseVendorId, sim::kMouseProductId, ordinal, path) != 0) break;
    HIDDeviceCaps caps{};
    if (!probe.QueryDeviceCaps(path, &caps)) continue;
    if (caps.caps.UsagePage == 0xFFB4 && caps.caps.Usage == 1 && caps.caps.InputReportByteLength == 8 &&
        caps.caps.OutputReportByteLength == 8)
      return path;
  }
  return {};
}

USB_NODE_CONNECTION_INFORMATION Record(const USBDeviceEntry& entry) {
  USB_NODE_CONNECTION_INFORMATION info{};
  std::memcpy(&info, entry.connection, sizeof info);
  return info;
}

// A string descriptor request through the mouse's hub port, as the hub
// driver carries it.
std::vector<BYTE> AskString(sim::World& world, const std::u16string& hub, UCHAR index, USHORT language) {
  HANDLE h = world.CreateFileW(hub.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<BYTE> block(sizeof(USB_DESCRIPTOR_REQUEST) + 255, 0);
  USB_DESCRIPTOR_REQUEST request{};
  request.ConnectionIndex = 2;
  request.SetupPacket.wValue = static_cast<USHORT>(0x0300 | index);
  request.SetupPacket.wIndex = language;
  request.SetupPacket.wLength = 255;
  std::memcpy(block.data(), &request, sizeof request);
  DWORD returned = 0;
  const BOOL ok = world.DeviceIoControl(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, block.data(),
                                        static_cast<DWORD>(block.size()), block.data(),
                                        static_cast<DWORD>(block.size()), &returned, nullptr);
  world.CloseHandle(h);
  if (!ok) return {};
  return std::vector<BYTE>(block.begin() + sizeof request, block.begin() + returned);
}

// The arrivals and removals of interfaces (DBT_DEVNODES_CHANGED, which every
// top-level window gets and which names no device, left out).
std::vector<WPARAM> DeviceEvents(sim::World& world, HWND window) {
  std::vector<WPARAM> events;
  for (const auto& m : world.Received(window))
    if (m.message == WM_DEVICECHANGE && m.wParam != 0 && m.wParam != DBT_DEVNODES_CHANGED) events.push_back(m.wParam);
  return events;
}

class VirtualMouseTest : public MouseTest {
 protected:
  CUSBDeviceMonitor monitor{world};
  HDEVNOTIFY bootNotify = nullptr;

  void SetUp() override {
    MouseTest::SetUp();
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = sim::kBootloaderInterfaceClass;
    bootNotify = world.RegisterDeviceNotificationW(owner, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(bootNotify, nullptr);
  }
  void TearDown() override {
    world.UnregisterDeviceNotification(bootNotify);
    MouseTest::TearDown();
  }

  // Sends the bootloader-entry request the way the upgrade does.
  void RequestBootloader() {
    monitor.Refresh();
    USBDeviceEntry entry;
    ASSERT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, entry), 1);
    monitor.GetDeviceString(&entry);
  }
};

TEST_F(VirtualMouseTest, ASearchByIdsAloneFindsAnotherCollection) {
  CStdHIDComm probe(world);
  WCHAR first[kHidMaxPath] = {};
  ASSERT_EQ(probe.FindDevicePath(sim::kMouseVendorId, sim::kMouseProductId, 0, first), 0);
  EXPECT_NE(std::u16string(first), mouse->CommandPath());
  EXPECT_EQ(FindCommandInterface(world), mouse->CommandPath());
  int others = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    HIDDeviceCaps caps{};
    ASSERT_TRUE(probe.QueryDeviceCaps(mouse->CollectionPath(i).c_str(), &caps));
    EXPECT_EQ(caps.attributes.VendorID, sim::kMouseVendorId);
    if (i != sim::kMouseCommandCollection) ++others;
  }
  EXPECT_EQ(others, 3);
}

// A real device agrees with itself: the version its device descriptor
// carries (what the hub reports for the port, and what the device answers to
// GET_DESCRIPTOR) is the one every HID collection reports, as the HID class
// driver takes VersionNumber from bcdDevice.
TEST_F(VirtualMouseTest, TheDeviceDescriptorAndTheCollectionsTellOneVersion) {
  monitor.Refresh();
  USBDeviceEntry entry;
  ASSERT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, entry), 1);
  const USHORT version = Record(entry).DeviceDescriptor.bcdDevice;
  EXPECT_EQ(version, 0x0105);
  HANDLE hub =
      world.CreateFileW(hc.Root().Path().c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<BYTE> block(sizeof(USB_DESCRIPTOR_REQUEST) + 18, 0);
  const USB_DESCRIPTOR_REQUEST request{2, USB_SETUP_PACKET{0x80, 6, 0x0100, 0, 18}};
  std::memcpy(block.data(), &request, sizeof request);
  DWORD returned = 0;
  ASSERT_TRUE(world.DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, block.data(),
                                    static_cast<DWORD>(block.size()), block.data(), static_cast<DWORD>(block.size()),
                                    &returned, nullptr));
  world.CloseHandle(hub);
  ASSERT_EQ(returned, block.size());
  EXPECT_EQ(block[sizeof request + 12] | block[sizeof request + 13] << 8, version);  // bcdDevice
  CStdHIDComm probe(world);
  for (std::size_t i = 0; i < 4; ++i) {
    HIDDeviceCaps caps{};
    ASSERT_TRUE(probe.QueryDeviceCaps(mouse->CollectionPath(i).c_str(), &caps));
    EXPECT_EQ(caps.attributes.VersionNumber, version) << i;
  }
}

TEST_F(VirtualMouseTest, AnswersOrdinaryStringRequestsAndStays) {
  const std::u16string hub = hc.Root().Path();
  const std::vector<BYTE> product = AskString(world, hub, 2, 0x0409);
  ASSERT_GE(product.size(), 4u);
  EXPECT_EQ(product[0], product.size());
  EXPECT_EQ(product[1], 3);
  EXPECT_EQ(product[2], 'N');
  EXPECT_TRUE(AskString(world, hub, 0xC3, 0x0409).empty());  // the index alone is nothing special
  EXPECT_FALSE(AskString(world, hub, 0, 0).empty());         // the language list
  world.Advance(5000);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);

  mouse->IgnoreBootloaderRequest(true);
  RequestBootloader();
  world.Advance(5000);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_TRUE(world.IsAttached(mouse->CommandPath()));
}

// Normal mode, the bootloader-entry request, the bootloader on the same port,
// a flash of a new image carrying the user data read before, and the mouse
// back with that image and that data.
TEST_F(VirtualMouseTest, RoundTripThroughTheBootloader) {
  ASSERT_EQ(FindCommandInterface(world), mouse->CommandPath());
  std::vector<BYTE> image(kIspFlashSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>((i * 13 + 7) % 251);
  for (BYTE page = 0; page < 7; ++page) {
    int result = 0;
    const Bytes block = ReadBlock(page, &result);
    ASSERT_EQ(result, 1);
    ASSERT_EQ(block, mouse->UserPage(page));
    std::memcpy(image.data() + 0x3800 + 256 * page, block.data(), 256);
  }

  monitor.Refresh();
  USBDeviceEntry entry;
  ASSERT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, entry), 1);
  const USB_NODE_CONNECTION_INFORMATION before = Record(entry);
  EXPECT_EQ(ULONG{before.ConnectionIndex}, 2u);
  EXPECT_EQ(entry.hubPath, hc.Root().Path());
  world.ClearReceived(owner);
  monitor.GetDeviceString(&entry);

  // The HID interfaces are gone: removal for each, the link stops.
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kAbsent);
  world.PumpMessages(owner);
  EXPECT_EQ(DeviceEvents(world, owner), std::vector<WPARAM>(4, DBT_DEVICEREMOVECOMPLETE));
  EXPECT_EQ(link->device, nullptr);
  monitor.Refresh();
  EXPECT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, entry), 0);

  // The bootloader comes after the re-enumeration delay, on the same port.
  std::u16string bootPath;
  world.Advance(sim::kMouseDefaultReenumerationMs - 1);
  EXPECT_FALSE(FindIspDevice(world, bootPath));
  world.ClearReceived(owner);
  world.Advance(1);
  ASSERT_TRUE(FindIspDevice(world, bootPath));
  EXPECT_EQ(bootPath, mouse->BootloaderPath());
  world.PumpMessages(owner);
  EXPECT_EQ(DeviceEvents(world, owner), std::vector<WPARAM>{DBT_DEVICEARRIVAL});
  monitor.Refresh();
  USBDeviceEntry bootEntry;
  ASSERT_EQ(monitor.FindDevice(sim::kMouseBootVendorId, sim::kMouseBootProductId, bootEntry), 1);
  EXPECT_EQ(bootEntry.hubPath, entry.hubPath);
  EXPECT_EQ(ULONG{Record(bootEntry).ConnectionIndex}, 2u);
  EXPECT_NE(unsigned{Record(bootEntry).DeviceAddress}, unsigned{before.DeviceAddress});

  // Flash; the bootloader leaves and the mouse comes back with the image.
  CKV8B05Comm bootLink(world);
  std::vector<BYTE> readBack(kIspFlashSize);
  world.ClearReceived(owner);
  ASSERT_EQ(RunIspFlash(world, bootLink, image.data(), readBack.data(), {}), IspFlashResult::Success);
  bootLink.Close();
  world.Advance(sim::kMouseDefaultReenumerationMs);
  ASSERT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  world.Advance(world.HidArrivalDelay());
  world.PumpMessages(owner);
  std::vector<WPARAM> back{DBT_DEVICEREMOVECOMPLETE};  // the bootloader, then the mouse's four collections
  back.resize(5, DBT_DEVICEARRIVAL);
  EXPECT_EQ(DeviceEvents(world, owner), back);
  const sim::BootloaderFlash flash = mouse->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x3FFB, flash.begin()));
  monitor.Refresh();
  EXPECT_EQ(monitor.FindDevice(sim::kMouseBootVendorId, sim::kMouseBootProductId, bootEntry), 0);
  ASSERT_EQ(monitor.FindDevice(sim::kMouseVendorId, sim::kMouseProductId, entry), 1);
  EXPECT_EQ(ULONG{Record(entry).ConnectionIndex}, 2u);

  // Connect as the dialog does and read the user data of the new image.
  link->Close();
  const std::u16string path = FindCommandInterface(world);
  ASSERT_EQ(path, mouse->CommandPath());
  ASSERT_EQ(link->Start(path.c_str(), owner), 0);
  for (BYTE page = 0; page < 7; ++page) {
    int result = 0;
    const Bytes block = ReadBlock(page, &result);
    ASSERT_EQ(result, 1);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + 0x3800 + 256 * page)) << int{page};
  }
}

// A flash left without a verified image keeps the device in its bootloader at
// every plug, until a complete flash succeeds.
TEST_F(VirtualMouseTest, AnUnfinishedFlashKeepsTheBootloaderUntilRecovered) {
  link->Close();
  RequestBootloader();
  world.Advance(sim::kMouseDefaultReenumerationMs);
  CKV8B05Comm bootLink(world);
  ASSERT_EQ(bootLink.Open(mouse->BootloaderPath().c_str()), 0u);
  ASSERT_EQ(bootLink.EraseFlash(), 1);
  bootLink.Close();
  mouse->Unplug();  // pulled out after the erase
  mouse->PlugAfter(200);
  world.Advance(200);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
  ASSERT_EQ(bootLink.Open(mouse->BootloaderPath().c_str()), 0u);
  ASSERT_EQ(bootLink.ExitIsp(), 1);  // leaving without an image
  bootLink.Close();
  world.Advance(sim::kMouseDefaultReenumerationMs);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kBootloader);

  std::vector<BYTE> image(kIspFlashSize, 0x5A);
  std::vector<BYTE> readBack(kIspFlashSize);
  ASSERT_EQ(RunIspFlash(world, bootLink, image.data(), readBack.data(), {}), IspFlashResult::Success);
  bootLink.Close();
  world.Advance(sim::kMouseDefaultReenumerationMs);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_EQ(mouse->UserPage(6), Bytes(256, 0x5A));
}

// Pulled out while another thread flashes it: once Unplug has returned, every
// block the bootloader acknowledged is in the flash the mouse keeps, and no
// transfer reaches the device after its flash was taken as final.
TEST_F(VirtualMouseTest, PulledOutDuringAFlashKeepsEveryAcknowledgedBlock) {
  link->Close();
  RequestBootloader();
  world.Advance(sim::kMouseDefaultReenumerationMs);
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
    CKV8B05Comm bootLink(world);
    ASSERT_EQ(bootLink.Open(mouse->BootloaderPath().c_str()), 0u);
    ASSERT_EQ(bootLink.EraseFlash(), 1);
    mouse->Bootloader()->ClearWireLog();
    const std::vector<BYTE> image(kIspFlashSize, static_cast<BYTE>(0x10 + round % 64));
    DWORD written = 0;
    std::thread writer([&] { bootLink.WriteFlash(image.data(), kIspFlashSize, written); });
    // Let a few blocks through, a different number each round.
    while (mouse->Bootloader()->WireLog().size() < static_cast<std::size_t>(3 * (round % 40 + 1)))
      std::this_thread::yield();
    mouse->Unplug();
    writer.join();
    const sim::BootloaderFlash kept = mouse->Flash();
    for (DWORD i = 0; i < written && i < kIspReservedOffset; ++i)
      ASSERT_EQ(kept[i], image[i]) << "round " << round << " at " << i;
    EXPECT_EQ(kept, mouse->Bootloader()->Flash()) << "round " << round;
    bootLink.Close();
    mouse->Plug();  // no verified image: back in its bootloader
  }
}

TEST_F(VirtualMouseTest, ReenumerationFaults) {
  link->Close();
  // A long re-enumeration.
  mouse->SetReenumerationDelay(20000);
  RequestBootloader();
  std::u16string bootPath;
  world.Advance(19999);
  EXPECT_FALSE(FindIspDevice(world, bootPath));
  world.Advance(1);
  EXPECT_TRUE(FindIspDevice(world, bootPath));

  // A bootloader whose driver never comes: the port shows it, no interface.
  mouse->Unplug();
  mouse->SetReenumerationDelay(sim::kMouseDefaultReenumerationMs);
  mouse->BootloaderDriverMissing(true);
  mouse->Plug();  // still the verified factory image: normal mode
  ASSERT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  RequestBootloader();
  world.Advance(60000);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kBootloader);
  EXPECT_FALSE(FindIspDevice(world, bootPath));
  monitor.Refresh();
  USBDeviceEntry entry;
  EXPECT_EQ(monitor.FindDevice(sim::kMouseBootVendorId, sim::kMouseBootProductId, entry), 1);
}

// With the bus timing model on, each flash read of the user data is one
// exchange of two frames: the request in one, the reply in the next IN poll.
TEST_F(VirtualMouseTest, UserDataReadOnFrames) {
  world.SetUsbTiming(sim::UsbTiming{});
  const std::uint64_t start = world.Now();
  int result = 0;
  EXPECT_EQ(ReadBlock(3, &result), mouse->UserPage(3));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(world.Now() - start, 64u * 2);
}

// With the bus timing model on, the restarts take the model's re-enumeration
// times, each its own, instead of the device's fixed delay.
TEST_F(VirtualMouseTest, ReenumerationTimesOfTheTimingModel) {
  link->Close();
  sim::UsbTiming timing;
  timing.mouseSetupRequests = 20;  // a test may change any of them: 100 + 22 + 60 ms
  world.SetUsbTiming(timing);
  const std::uint64_t toBootloader = sim::BootloaderEnumerationMs(timing);
  const std::uint64_t toMouse = sim::MouseEnumerationMs(timing);
  ASSERT_EQ(toBootloader, 140u);
  ASSERT_EQ(toMouse, 182u);

  RequestBootloader();
  std::u16string bootPath;
  world.Advance(toBootloader - 1);
  EXPECT_FALSE(FindIspDevice(world, bootPath));
  world.Advance(1);
  ASSERT_TRUE(FindIspDevice(world, bootPath));

  CKV8B05Comm bootLink(world);
  ASSERT_EQ(bootLink.Open(bootPath.c_str()), 0);
  ASSERT_TRUE(bootLink.ExitIsp());
  bootLink.Close();
  world.Advance(toMouse - 1);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kAbsent);
  world.Advance(1);
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
}

// Unplugged in normal mode at a virtual time: open handles fail with 1167;
// replugged later, the interfaces are back.
TEST_F(VirtualMouseTest, UnplugAndReplugAtVirtualTimes) {
  mouse->UnplugAfter(100);
  world.Advance(100);
  const BYTE report[8] = {0xB4, 0x02, 0, 4, 0, 0, 0, 0};
  EXPECT_EQ(link->Write(report, 8, nullptr, nullptr, 1000), static_cast<std::int32_t>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(world.IsAttached(mouse->CommandPath()));
  // The replug is scheduled once the link is closed: a running reader idles on
  // timed reads that move the clock too, and could carry it past the plug
  // before the checks above.
  link->Close();
  mouse->PlugAfter(200);
  world.Advance(199);
  EXPECT_FALSE(world.IsAttached(mouse->CommandPath()));
  world.Advance(1);
  // The USB device is back; its HID collections follow once the HID class
  // driver has them up.
  EXPECT_EQ(mouse->CurrentMode(), sim::VirtualMouse::Mode::kNormal);
  EXPECT_FALSE(world.IsAttached(mouse->CommandPath()));
  world.Advance(world.HidArrivalDelay() - 1);
  EXPECT_FALSE(world.IsAttached(mouse->CommandPath()));
  world.Advance(1);
  EXPECT_TRUE(world.IsAttached(mouse->CommandPath()));
  ASSERT_EQ(link->Start(mouse->CommandPath().c_str(), owner), 0);
  int result = 0;
  EXPECT_EQ(ReadBlock(5, &result), mouse->UserPage(5));
}

// A flash read is answered only inside one page of the user data: a page
// beyond the last, more than four bytes, or a range that runs past the end of
// its page gets no reply.
TEST_F(VirtualMouseTest, AnswersFlashReadsOnlyInsideAPage) {
  struct Case {
    BYTE offset;
    BYTE count;
    BYTE page;
    bool answered;
  };
  const Case cases[] = {
      {0, 4, 0, true},    {252, 4, 6, true}, {253, 3, 6, true}, {253, 4, 6, false},
      {255, 2, 0, false}, {255, 1, 0, true}, {0, 5, 0, false},  {0, 4, 7, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "offset " << int{c.offset} << " count " << int{c.count} << " page "
                                      << int{c.page});
    const std::size_t before = mouse->ReadsAnswered();
    const BYTE report[8] = {0xB4, 0x02, c.offset, c.count, c.page, 0, 0, 0};
    ASSERT_EQ(link->Write(report, 8, nullptr, nullptr, 1000), 0);
    EXPECT_EQ(mouse->ReadsAnswered() - before, c.answered ? 1u : 0u);
  }
}

// Unasked reports on a handle of the test's own (no reader thread moves the
// clock): once, and a stream in virtual time.
TEST_F(VirtualMouseTest, SendsUnaskedReportsOnceOrAsAStream) {
  link->Close();
  HANDLE h = world.CreateFileW(mouse->CommandPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE ev = world.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto readNow = [&]() -> Bytes {
    BYTE buffer[8] = {};
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD n = 0;
    if (world.ReadFile(h, buffer, 8, &n, &ov)) return Bytes(buffer, buffer + n);
    world.CancelIo(h);
    world.GetOverlappedResult(h, &ov, &n, TRUE);
    return {};
  };
  mouse->SendKeyStatus(0x1234);
  EXPECT_EQ(readNow(), (Bytes{0xB4, 0x24, 0x34, 0x12, 0, 0, 0, 0}));
  mouse->StreamModeInfo(10);
  world.Advance(50);
  mouse->StreamModeInfo(0);
  world.Advance(50);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(readNow(), (Bytes{0xB4, 0x20, 0x00, 0x00, 0x91, 0x23, 0x05, 0x01})) << i;
  EXPECT_TRUE(readNow().empty());
  world.CloseHandle(ev);
  world.CloseHandle(h);
}

}  // namespace
}  // namespace kv27::test
